#include "shared/ole_date.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "shared/value_format.h"

namespace tillbase {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
  *month = m;
  *day = d;
}

// 1899-12-30 is OLE day 0.
const int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);
const double kMinOleDate = static_cast<double>(DaysFromCivil(1, 1, 1) - kOleEpochDays);
const double kMaxOleDate = static_cast<double>(DaysFromCivil(9999, 12, 31) - kOleEpochDays + 1);

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::string Describe(const DateTimeParts& p) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return buffer;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads 1 to `max_digits` decimal digits at text[*pos].
bool ReadNumber(std::string_view text, size_t* pos, size_t max_digits, int* value) {
  size_t start = *pos;
  int result = 0;
  while (*pos < text.size() && IsDigit(text[*pos]) && *pos - start < max_digits) {
    result = result * 10 + (text[*pos] - '0');
    ++*pos;
  }
  if (*pos == start) return false;
  *value = result;
  return true;
}

bool ReadTime(std::string_view text, size_t* pos, DateTimeParts* parts) {
  if (!ReadNumber(text, pos, 2, &parts->hour)) return false;
  if (*pos >= text.size() || text[*pos] != ':') return false;
  ++*pos;
  if (!ReadNumber(text, pos, 2, &parts->minute)) return false;
  if (*pos < text.size() && text[*pos] == ':') {
    ++*pos;
    if (!ReadNumber(text, pos, 2, &parts->second)) return false;
    if (*pos < text.size() && text[*pos] == '.') {
      ++*pos;
      size_t start = *pos;
      if (!ReadNumber(text, pos, 3, &parts->millisecond)) return false;
      for (size_t n = *pos - start; n < 3; ++n) parts->millisecond *= 10;
    }
  }
  return true;
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

std::optional<double> TryEncodeDateTime(const DateTimeParts& p) {
  if (!IsValidDate(p.year, p.month, p.day)) return std::nullopt;
  if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 || p.second > 59 ||
      p.millisecond < 0 || p.millisecond > 999) {
    return std::nullopt;
  }
  double days = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) - kOleEpochDays);
  int64_t ms = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  double time = static_cast<double>(ms) / kMsPerDay;
  // Before day 0 the time still counts forward from midnight, so it is
  // subtracted from the negative day number.
  return days >= 0 ? days + time : days - time;
}

double EncodeDateTime(const DateTimeParts& parts) {
  auto value = TryEncodeDateTime(parts);
  if (!value) throw DateError("Invalid date or time: " + Describe(parts));
  return *value;
}

double EncodeDate(int year, int month, int day) {
  DateTimeParts parts;
  parts.year = year;
  parts.month = month;
  parts.day = day;
  return EncodeDateTime(parts);
}

DateTimeParts DecodeDateTime(double ole_date) {
  if (!std::isfinite(ole_date) || ole_date <= kMinOleDate - 1 || ole_date >= kMaxOleDate) {
    throw DateError("Invalid date value: " + FloatToStr(ole_date));
  }
  double whole = std::trunc(ole_date);
  int64_t days = static_cast<int64_t>(whole);
  int64_t ms = std::llround(std::fabs(ole_date - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {
    // Rounded up to midnight: the next calendar day, whatever the sign.
    ms -= kMsPerDay;
    ++days;
  }
  DateTimeParts p;
  CivilFromDays(days + kOleEpochDays, &p.year, &p.month, &p.day);
  if (p.year < 1 || p.year > 9999) throw DateError("Invalid date value: " + FloatToStr(ole_date));
  p.millisecond = static_cast<int>(ms % 1000);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.hour = static_cast<int>(ms / 3600000);
  return p;
}

std::string FormatDate(double ole_date) {
  DateTimeParts p = DecodeDateTime(ole_date);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", p.year, p.month, p.day);
  return buffer;
}

std::string FormatTime(double ole_date) {
  DateTimeParts p = DecodeDateTime(ole_date);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", p.hour, p.minute, p.second);
  return buffer;
}

std::string FormatDateTime(double ole_date) {
  return FormatDate(ole_date) + " " + FormatTime(ole_date);
}

std::optional<double> TryParseDateTime(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  DateTimeParts parts;
  size_t pos = 0;
  size_t colon = text.find(':');
  size_t separator = text.find_first_of("-/");
  if (separator != std::string_view::npos &&
      (colon == std::string_view::npos || separator < colon)) {
    char sep = text[separator];
    if (!ReadNumber(text, &pos, 4, &parts.year) || pos >= text.size() || text[pos] != sep) {
      return std::nullopt;
    }
    ++pos;
    if (!ReadNumber(text, &pos, 2, &parts.month) || pos >= text.size() || text[pos] != sep) {
      return std::nullopt;
    }
    ++pos;
    if (!ReadNumber(text, &pos, 2, &parts.day)) return std::nullopt;
    if (pos < text.size()) {
      if (text[pos] != ' ') return std::nullopt;
      while (pos < text.size() && text[pos] == ' ') ++pos;
      if (!ReadTime(text, &pos, &parts)) return std::nullopt;
    }
  } else {
    if (!ReadTime(text, &pos, &parts)) return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  return TryEncodeDateTime(parts);
}

std::optional<double> TryReadFixedPositionDate(std::string_view text) {
  // Each field is what lies at its positions, as far as the text reaches.
  auto field = [&](size_t start, size_t length) {
    return start < text.size() ? text.substr(start, length) : std::string_view();
  };
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  if (!TryStrToInt(field(0, 4), &year) || !TryStrToInt(field(5, 2), &month) ||
      !TryStrToInt(field(8, 2), &day) || !IsValidDate(year, month, day)) {
    return std::nullopt;
  }
  return EncodeDate(year, month, day);
}

double ReadFixedPositionDate(std::string_view text) {
  auto value = TryReadFixedPositionDate(text);
  if (!value) throw DateError("'" + std::string(text) + "' is not a valid date");
  return *value;
}

double SystemClock::Now() const {
  auto now = std::chrono::system_clock::now();
  auto ms_since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ms_since_epoch / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  DateTimeParts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second
  p.millisecond = static_cast<int>(ms_since_epoch % 1000);
  return EncodeDateTime(p);
}

void FixedClock::AdvanceSeconds(double seconds) {
  double current = now_.load();
  while (!now_.compare_exchange_weak(current, current + seconds / 86400.0)) {
  }
}

const Clock& DefaultClock() {
  static const SystemClock clock;
  return clock;
}

double Now(const Clock& clock) { return clock.Now(); }

double Today(const Clock& clock) { return std::trunc(clock.Now()); }

}  // namespace tillbase
