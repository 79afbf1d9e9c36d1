#include "engine_fixture.h"

#include "clock.h"
#include "locks.h"
#include "logs.h"

namespace engine_testing {
namespace {

// The add-in's clock runs 200 times faster in this process (the session
// thread's 10-second waits take 50 ms), unless the test program says
// otherwise. Set before anything reads the clock.
#ifndef ENGINE_TEST_CLOCK_SCALE
#define ENGINE_TEST_CLOCK_SCALE L"200"
#endif
const bool kFastClock = SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", ENGINE_TEST_CLOCK_SCALE);

}  // namespace

sim::ISimControl* SimControl() {
  static sim::ISimControl* control = [] {
    HMODULE m = LoadLibraryW(L"simrdo.dll");
    auto get = m ? reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl")) : nullptr;
    return get ? get() : nullptr;
  }();
  return control;
}

void EngineTest::SetUp() {
  ASSERT_TRUE(kFastClock);
  box_ = std::make_unique<testing_support::Sandbox>();
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  InitializeGlobalLocks();
  sim_ = SimControl();
  ASSERT_NE(sim_, nullptr);
  sim_->Reset();
  sim::SimStore store;
  store.isDefault = true;
  store_ = sim_->AddStore(store);
  SetDebugLogPath((box_->Temp() + kDebugLogName).c_str());
  SetErrorLogPath((box_->Temp() + kErrorLogName).c_str());
  g_bDebugLog = true;
  com::ComObject<testing_support::FakeApplication>::Create(&app_);
  app_->AddRef();
  com::Variant ns;
  ASSERT_EQ(com::CallMethod(static_cast<IDispatch*>(app_), L"GetNamespace", {com::Variant(L"MAPI")}, ns.Put()), S_OK);
  ASSERT_EQ(com::ResultToDispatch(ns, nameSpace_.Put()), S_OK);
}

void EngineTest::TearDown() {
  DestroyEngine();
  nameSpace_.Reset();
  if (app_) app_->Release();
  g_bDebugLog = false;
  DeleteGlobalLocks();
  CoUninitialize();
  box_.reset();
}

CSyncEngine* EngineTest::MakeEngine(const wchar_t* version) {
  app_->version = version;
  engine_ = new CSyncEngine(nameSpace_.Get(), (box_->Temp() + kDebugLogName).c_str());
  g_pSyncEngine = engine_;
  return engine_;
}

void EngineTest::DestroyEngine() {
  if (!engine_) return;
  g_pSyncEngine = nullptr;
  delete engine_;
  engine_ = nullptr;
}

std::string EngineTest::DebugLogText() const {
  return testing_support::ReadFileBytes(box_->Temp() + kDebugLogName);
}

std::string EngineTest::ErrorLogText() const {
  return testing_support::ReadFileBytes(box_->Temp() + kErrorLogName);
}

bool EngineTest::WaitFor(const std::function<bool()>& done, DWORD realMs) {
  const DWORD end = GetTickCount() + realMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount() > end) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

size_t Find(const std::string& text, const std::string& what, size_t from) {
  return from == std::string::npos ? std::string::npos : text.find(what, from);
}

}  // namespace engine_testing
