// The world's times. MAPI keeps every date property (PT_SYSTIME) in UTC, and
// so does the world; the object model, the wrapper's message times and the
// scenario language speak local time. Conversions use the rules of the
// process's time zone for the date converted (daylight saving included), not
// today's offset.
#pragma once

namespace sim::times {

// Now as a UTC OLE Automation date (millisecond resolution).
double NowUtc();
// A UTC date in local time, and back.
double ToLocal(double utc);
double ToUtc(double local);
// A date cut to its whole second, as connector and server stores keep times.
double WholeSeconds(double date);

inline constexpr double kSecond = 1.0 / 86400.0;

}  // namespace sim::times
