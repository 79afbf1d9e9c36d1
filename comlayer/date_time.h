// DateTime: an OLE Automation date (days since 1899-12-30, local time) with
// the comparison rules the synchronisation uses: two dates are equal when
// they are strictly less than half a second apart; otherwise they order as
// their values do.
#pragma once
#include <windows.h>
#include <string>

namespace com {

class DateTime {
 public:
  static constexpr double kSecond = 1.0 / 86400.0;

  DateTime() = default;
  explicit DateTime(double date) : date_(date) {}
  static DateTime Now();  // local time from the add-in's clock

  double Date() const { return date_; }
  bool IsNull() const { return date_ == 0; }

  // Seconds from `other` to this (positive when this is later).
  double SecondsSince(DateTime other) const { return (date_ - other.date_) * 86400.0; }
  DateTime PlusSeconds(double s) const { return DateTime(date_ + s * kSecond); }
  DateTime PlusDays(double d) const { return DateTime(date_ + d); }

  bool operator==(DateTime o) const;
  bool operator!=(DateTime o) const { return !(*this == o); }
  bool operator<(DateTime o) const { return *this != o && date_ < o.date_; }
  bool operator>(DateTime o) const { return *this != o && date_ > o.date_; }
  bool operator<=(DateTime o) const { return !(*this > o); }
  bool operator>=(DateTime o) const { return !(*this < o); }

  // "%H:%M:%S".
  std::wstring TimeOfDay() const;
  // Date and time in the user's default format (VarBstrFromDate, LOCALE_USER_DEFAULT).
  std::wstring UserFormat() const;
  SYSTEMTIME ToSystemTime() const;

 private:
  double date_ = 0;
};

}  // namespace com
