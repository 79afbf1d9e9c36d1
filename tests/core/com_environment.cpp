// Every test thread of core_tests runs in a COM apartment, as Outlook's
// user-interface thread does: the engine creates the wrapper library's
// objects by ProgID when the add-in connects.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

namespace {

class ComApartmentEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override { CoUninitialize(); }
};

const auto* const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComApartmentEnvironment);

}  // namespace
