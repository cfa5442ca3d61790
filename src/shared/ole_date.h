// OLE dates (days since 1899-12-30 as a double; the fraction is the time of
// day) and their calendar form, the fixed "yyyy-mm-dd hh:nn:ss" texts and the
// process clock.
//
// A negative OLE date counts days back from 1899-12-30 and its fraction's
// absolute value is still the time: -1.25 is 1899-12-29 06:00.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tillbase {

// A value that is no calendar date or time.
class DateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const DateTimeParts&, const DateTimeParts&) = default;
};

// Years 1 to 9999.
bool IsValidDate(int year, int month, int day);
// The OLE date of a calendar date and time; raises DateError on a date or
// time outside the calendar ("2023-02-30", hour 24, ...).
double EncodeDateTime(const DateTimeParts& parts);
double EncodeDate(int year, int month, int day);
std::optional<double> TryEncodeDateTime(const DateTimeParts& parts);
// The calendar form, milliseconds rounded. Raises DateError outside the
// years 1 to 9999 or for NaN.
DateTimeParts DecodeDateTime(double ole_date);

// "yyyy-mm-dd", "yyyy-mm-dd hh:nn:ss" and "hh:nn:ss", with "-" whatever the
// locale.
std::string FormatDate(double ole_date);
std::string FormatDateTime(double ole_date);
std::string FormatTime(double ole_date);

// Reads "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" or "hh:nn[:ss]" ("/" is
// accepted for "-"); blanks around are ignored. nullopt when the text is no
// such date or time.
std::optional<double> TryParseDateTime(std::string_view text);

// The fixed-position reading of a date text: year from characters 1 to 4,
// month from 6 to 7, day from 9 to 10 (1-based; characters 5 and 8 are not
// looked at). nullopt when the text is shorter or those characters are no
// valid date.
std::optional<double> TryReadFixedPositionDate(std::string_view text);
// As above; raises DateError "'<text>' is not a valid date".
double ReadFixedPositionDate(std::string_view text);

// The process clock, injectable so that tests never wait on the real time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Local date and time as an OLE date.
  virtual double Now() const = 0;
};

// The machine's local time.
class SystemClock : public Clock {
 public:
  double Now() const override;
};

// A clock that stands still until told otherwise; safe to move from another
// thread while readers read it.
class FixedClock : public Clock {
 public:
  explicit FixedClock(double ole_date) : now_(ole_date) {}
  double Now() const override { return now_.load(); }
  void Set(double ole_date) { now_.store(ole_date); }
  void AdvanceSeconds(double seconds);

 private:
  std::atomic<double> now_;
};

// A process-wide SystemClock.
const Clock& DefaultClock();
// The clock's now, and its date without the time.
double Now(const Clock& clock = DefaultClock());
double Today(const Clock& clock = DefaultClock());

}  // namespace tillbase
