#include "clock.h"

#include <oleauto.h>

#include <cstdlib>
#include <cwchar>
#include <atomic>
#include <mutex>
#include <string>

namespace clk {
namespace {

struct Base {
  double scale = 1.0;
  uint64_t anchor = 0;  // process creation time, UTC FILETIME
};

const Base& TheBase() {
  static const Base base = [] {
    Base b;
#ifdef TALLOWBY_TEST_SEAMS
    wchar_t text[64] = {};
    DWORD n = GetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", text, 64);
    if (n > 0 && n < 64) {
      double v = wcstod(text, nullptr);
      if (v >= 1.0 && v <= 10000.0) b.scale = v;
    }
#endif
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
      b.anchor = (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return b;
  }();
  return base;
}

uint64_t RealNowUtc() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

double Scale() { return TheBase().scale; }

uint64_t NowUtc() {
  const Base& b = TheBase();
  uint64_t real = RealNowUtc();
  if (b.scale == 1.0 || b.anchor == 0 || real < b.anchor) return real;
  return b.anchor + uint64_t(double(real - b.anchor) * b.scale);
}

bool LocalZone(TIME_ZONE_INFORMATION* zone) {
#ifdef TALLOWBY_TEST_SEAMS
  wchar_t name[128] = {};
  DWORD n = GetEnvironmentVariableW(L"TALLOWBY_TIME_ZONE", name, 128);
  if (n == 0 || n >= 128) return false;
  // The zone last named, kept: its rules are looked up only when the name changes.
  static std::mutex mutex;
  static std::wstring lastName;
  static TIME_ZONE_INFORMATION lastZone{};
  static bool lastFound = false;
  std::lock_guard lock(mutex);
  if (lastName != name) {
    lastName = name;
    lastFound = false;
    // The zone's rules as the system keeps them: its "TZI" value.
    struct {
      LONG bias, standardBias, daylightBias;
      SYSTEMTIME standardDate, daylightDate;
    } tzi{};
    DWORD size = sizeof tzi;
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\" + lastName;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TZI", RRF_RT_REG_BINARY, nullptr, &tzi, &size) ==
            ERROR_SUCCESS &&
        size == sizeof tzi) {
      lastFound = true;
      lastZone = TIME_ZONE_INFORMATION{tzi.bias, {}, tzi.standardDate, tzi.standardBias, {}, tzi.daylightDate,
                                       tzi.daylightBias};
    }
  }
  if (lastFound) *zone = lastZone;
  return lastFound;
#else
  (void)zone;
  return false;
#endif
}

SYSTEMTIME NowLocalSystemTime() {
  uint64_t utc = NowUtc();
  FILETIME ft{DWORD(utc), DWORD(utc >> 32)}, local{};
  SYSTEMTIME st{};
  TIME_ZONE_INFORMATION zone;
  if (LocalZone(&zone)) {
    SYSTEMTIME now{};
    FileTimeToSystemTime(&ft, &now);
    if (SystemTimeToTzSpecificLocalTime(&zone, &now, &st)) return st;
  }
  FileTimeToLocalFileTime(&ft, &local);
  FileTimeToSystemTime(&local, &st);
  return st;
}

double NowLocalDate() {
  SYSTEMTIME st = NowLocalSystemTime();
  // SystemTimeToVariantTime drops milliseconds; keep them.
  double date = 0;
  WORD ms = st.wMilliseconds;
  st.wMilliseconds = 0;
  SystemTimeToVariantTime(&st, &date);
  return date + (date >= 0 ? 1 : -1) * ms / 86400000.0;
}

uint64_t TickMs() {
  const Base& b = TheBase();
  uint64_t real = RealNowUtc();
  uint64_t since = real > b.anchor ? real - b.anchor : 0;
  return uint64_t(double(since) * b.scale) / 10000;
}

DWORD RealMs(DWORD ms) {
  if (ms == INFINITE || ms == 0) return ms;
  double s = Scale();
  DWORD r = DWORD(double(ms) / s);
  return r == 0 ? 1 : r;
}

UINT TimerPeriod(UINT ms) { return RealMs(ms); }

namespace {
std::atomic<uint64_t> g_pausedClockMs{0};
std::atomic<bool> g_skipSleeps{false};
}  // namespace

void Sleep(DWORD ms) {
  g_pausedClockMs += ms;
#ifdef TALLOWBY_TEST_SEAMS
  if (g_skipSleeps) return;
#endif
  ::Sleep(RealMs(ms));
}

uint64_t PausedClockMs() { return g_pausedClockMs.load(); }

void SkipSleeps(bool skip) { g_skipSleeps = skip; }

DWORD Wait(HANDLE h, DWORD ms) { return WaitForSingleObject(h, RealMs(ms)); }

namespace {

// A plain wait for what is left of `real` ms since `start` (GetTickCount64).
DWORD WaitLeft(HANDLE h, DWORD real, ULONGLONG start) {
  DWORD left = INFINITE;
  if (real != INFINITE) {
    ULONGLONG spent = GetTickCount64() - start;
    left = spent >= real ? 0 : DWORD(real - spent);
  }
  return WaitForSingleObject(h, left);
}

}  // namespace

DWORD WaitPumping(HANDLE h, DWORD ms) {
  const DWORD real = RealMs(ms);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    DWORD left = INFINITE;
    if (real != INFINITE) {
      ULONGLONG spent = GetTickCount64() - start;
      if (spent >= real) return WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
      left = DWORD(real - spent);
    }
    DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, left, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    if (r == WAIT_OBJECT_0 + 1) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          // Taking WM_QUIT clears the thread's quit state: put it back for
          // the thread's own loop and wait without pumping from now on (a
          // pumping wait would only take it again at once).
          PostQuitMessage(int(msg.wParam));
          return WaitLeft(h, real, start);
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      continue;
    }
    if (r == WAIT_TIMEOUT) return WAIT_TIMEOUT;
    return r;
  }
}

}  // namespace clk
