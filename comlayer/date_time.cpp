#include "date_time.h"

#include <cmath>
#include <cwchar>
#include <oleauto.h>

#include "bstr.h"
#include "clock.h"

namespace com {

DateTime DateTime::Now() { return DateTime(clk::NowLocalDate()); }

bool DateTime::operator==(DateTime o) const {
  return std::fabs(date_ - o.date_) * 86400.0 < 0.5;
}

SYSTEMTIME DateTime::ToSystemTime() const {
  SYSTEMTIME st{};
  VariantTimeToSystemTime(date_, &st);  // rounds to whole seconds
  return st;
}

std::wstring DateTime::TimeOfDay() const {
  SYSTEMTIME st = ToSystemTime();
  wchar_t text[16];
  swprintf(text, 16, L"%02u:%02u:%02u", st.wHour, st.wMinute, st.wSecond);
  return text;
}

std::wstring DateTime::UserFormat() const {
  Bstr text;
  if (FAILED(VarBstrFromDate(date_, LOCALE_USER_DEFAULT, 0, text.Put()))) return {};
  return text.Str();
}

}  // namespace com
