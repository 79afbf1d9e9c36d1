// The clock at a test-bench speed: TALLOWBY_CLOCK_SCALE is set before the
// clock is first read, as a host does before it loads the add-in.
#include <gtest/gtest.h>

#include <windows.h>

#include "clock.h"

namespace {

const bool kScaleSet = SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"50") != FALSE;

TEST(ClockScale, WaitsShrinkAndTimeRunsFasterByTheFactor) {
  ASSERT_TRUE(kScaleSet);
  EXPECT_EQ(clk::Scale(), 50.0);
  EXPECT_EQ(clk::RealMs(5000), 100u);
  EXPECT_EQ(clk::TimerPeriod(5000), 100u);
  EXPECT_EQ(clk::RealMs(10), 1u) << "a wait never becomes zero";
  EXPECT_EQ(clk::RealMs(0), 0u);
  EXPECT_EQ(clk::RealMs(INFINITE), INFINITE);

  const uint64_t tick0 = clk::TickMs();
  const uint64_t utc0 = clk::NowUtc();
  const ULONGLONG real0 = GetTickCount64();
  clk::Sleep(10000);  // 200 ms of real time
  const double real = double(GetTickCount64() - real0);
  const double ticked = double(clk::TickMs() - tick0);
  const double utcMs = double(clk::NowUtc() - utc0) / 10000.0;
  EXPECT_GE(real, 150.0);
  EXPECT_LT(real, 5000.0) << "far less than 10 s";
  EXPECT_NEAR(ticked / real, 50.0, 12.0);
  EXPECT_NEAR(utcMs / real, 50.0, 12.0);

  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const ULONGLONG w0 = GetTickCount64();
  EXPECT_EQ(clk::Wait(never, 5000), DWORD(WAIT_TIMEOUT));
  EXPECT_EQ(clk::WaitPumping(never, 5000), DWORD(WAIT_TIMEOUT));
  EXPECT_LT(GetTickCount64() - w0, 5000u) << "two 5 s waits take about 200 ms, far less than 10 s";
  CloseHandle(never);
}

// A benchmark's pauses are counted but not slept, and sleeping again counts
// as before.
TEST(ClockScale, SkippedSleepsAreCountedAndReturnAtOnce) {
  const uint64_t paused0 = clk::PausedClockMs();
  clk::SkipSleeps(true);
  const ULONGLONG real0 = GetTickCount64();
  for (int i = 0; i < 1000; ++i) clk::Sleep(20000);  // 400 s of real time if slept
  EXPECT_LT(GetTickCount64() - real0, 2000u);
  EXPECT_EQ(clk::PausedClockMs() - paused0, 20000000u);
  clk::SkipSleeps(false);
  const ULONGLONG real1 = GetTickCount64();
  clk::Sleep(5000);  // 100 ms of real time
  EXPECT_GE(GetTickCount64() - real1, 80u);
  EXPECT_EQ(clk::PausedClockMs() - paused0, 20005000u);
}

}  // namespace
