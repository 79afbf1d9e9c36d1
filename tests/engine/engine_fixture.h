// What the engine tests share: a sandboxed HKCU and temporary folder, the
// global locks, the debug log on, a fast clock, the simulated world reached
// through its control, and a fake Outlook whose version the test chooses.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "com_object.h"
#include "dispatch.h"
#include "control/sim_control.h"
#include "fake_outlook.h"
#include "sandbox.h"
#include "sync_engine.h"

namespace engine_testing {

// The simulated world's control (simrdo.dll, the module COM loads).
sim::ISimControl* SimControl();

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new engine over the fake Outlook of `version`, published as
  // g_pSyncEngine.
  CSyncEngine* MakeEngine(const wchar_t* version);
  void DestroyEngine();
  // The debug log's text so far.
  std::string DebugLogText() const;
  std::string ErrorLogText() const;
  // Polls `done` for up to `realMs` real milliseconds, pumping messages.
  static bool WaitFor(const std::function<bool()>& done, DWORD realMs = 5000);

  std::unique_ptr<testing_support::Sandbox> box_;
  sim::ISimControl* sim_ = nullptr;
  std::wstring store_;  // the default store's StoreID
  com::ComObject<testing_support::FakeApplication>* app_ = nullptr;
  com::ComPtr<IDispatch> nameSpace_;
  CSyncEngine* engine_ = nullptr;
};

// Counts the occurrences of `what` in `text`.
size_t CountOf(const std::string& text, const std::string& what);
// Position of `what` in `text` at or after `from`; npos when absent.
size_t Find(const std::string& text, const std::string& what, size_t from = 0);

}  // namespace engine_testing
