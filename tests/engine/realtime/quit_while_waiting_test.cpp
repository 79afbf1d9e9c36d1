// The session thread at the clock's real speed: its 10-second wait between
// logons really lasts 10 s here, so a Quit that had to wait it out would
// show. The other engine tests run the clock fast, where that difference is
// too small to see.
#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "sync_engine.h"

namespace engine_testing {
namespace {

constexpr HRESULT kMapiTimeout = static_cast<HRESULT>(0x80040401);

class EngineRealTime : public EngineTest {};

TEST_F(EngineRealTime, QuitEndsTheWaitBetweenLogonsAtOnce) {
  sim_->InjectFailure(L"Session.Logon", 2, kMapiTimeout, -1);  // never succeeds
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(WaitFor([&] { return DebugLogText().find("Try enter Session again") != std::string::npos; }));
  const ULONGLONG before = GetTickCount64();
  e->InitiateShutdown();
  ASSERT_TRUE(WaitFor([&] { return !e->SessionThreadRunning(); }, 15000));
  // Half the 10 s wait: ample for a loaded machine, and far less than
  // sitting out the wait.
  EXPECT_LT(GetTickCount64() - before, 5000u);
  EXPECT_FALSE(e->IsReady());
  DestroyEngine();
}

}  // namespace
}  // namespace engine_testing
