// Canaries that must fail: they prove that a crash or a failed library
// assertion under Wine is reported as a failure, never as a pass.
#include <gtest/gtest.h>

#include <vector>

namespace {

int Deref(volatile int* p) { return *p; }

TEST(Canary, NullDereference) {
  volatile int* p = nullptr;
  EXPECT_EQ(Deref(p), 0);
}

TEST(Canary, LibraryAssertion) {
  std::vector<int> v(2);
  volatile size_t i = 5;
  EXPECT_EQ(v[i], 0);
}

}  // namespace
