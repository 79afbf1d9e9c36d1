#include "world/times.h"

#include <windows.h>

#include <cmath>
#include <cstdint>

#include "clock.h"

namespace sim::times {
namespace {

constexpr double kTicksPerDay = 864000000000.0;  // 100 ns units
constexpr double kEpochDays = 109205.0;          // 1601-01-01 to 1899-12-30

SYSTEMTIME ToSystemTime(double date) {
  const int64_t ticks = int64_t(std::llround((date + kEpochDays) * kTicksPerDay));
  FILETIME ft{DWORD(uint64_t(ticks)), DWORD(uint64_t(ticks) >> 32)};
  SYSTEMTIME st{};
  FileTimeToSystemTime(&ft, &st);
  return st;
}

double FromSystemTime(const SYSTEMTIME& st) {
  FILETIME ft{};
  if (!SystemTimeToFileTime(&st, &ft)) return 0;
  const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return double(ticks) / kTicksPerDay - kEpochDays;
}

}  // namespace

double NowUtc() { return double(clk::NowUtc()) / kTicksPerDay - kEpochDays; }

// Local times follow the zone the machine is in now (clk::LocalZone): a zone
// changed while Outlook runs changes every local time given from then on.
double ToLocal(double utc) {
  if (utc <= 0) return utc;  // "never" stays never
  SYSTEMTIME in = ToSystemTime(utc), out{};
  TIME_ZONE_INFORMATION zone;
  const TIME_ZONE_INFORMATION* rules = clk::LocalZone(&zone) ? &zone : nullptr;
  return SystemTimeToTzSpecificLocalTime(rules, &in, &out) ? FromSystemTime(out) : utc;
}

double ToUtc(double local) {
  if (local <= 0) return local;
  SYSTEMTIME in = ToSystemTime(local), out{};
  TIME_ZONE_INFORMATION zone;
  const TIME_ZONE_INFORMATION* rules = clk::LocalZone(&zone) ? &zone : nullptr;
  return TzSpecificLocalTimeToSystemTime(rules, &in, &out) ? FromSystemTime(out) : local;
}

double WholeSeconds(double date) { return std::floor(date / kSecond + 1e-6) * kSecond; }

}  // namespace sim::times
