// Calendar arithmetic for the engine's date and time values, kept as text
// "yyyy-mm-dd hh:mi:ss.mmm" in storage and as microseconds since
// 1900-01-01 in the API.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tillbase::engine::sql {

struct CivilTime {
  int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0, millis = 0;
};

int64_t DaysFromCivil(int y, int m, int d);  // days since 1900-01-01
CivilTime CivilFromMicros(int64_t micros);
int64_t MicrosFromCivil(const CivilTime& c);

// dateformat is "mdy", "dmy", "ymd", ...: the order of ambiguous numeric dates.
std::optional<CivilTime> ParseDateTimeText(std::string_view text, std::string_view dateformat);
std::string FormatStorage(const CivilTime& c, bool date_only);
std::optional<CivilTime> ParseStorage(std::string_view text);
// CONVERT(varchar, datetime, style); style 0 is the default "Mon dd yyyy hh:miAM".
std::string FormatStyle(const CivilTime& c, int style, bool date_only);

bool ValidCivil(const CivilTime& c);
int DaysInMonth(int y, int m);
int DayOfWeek(const CivilTime& c);  // 1 = Sunday (DATEFIRST 7)
int DayOfYear(const CivilTime& c);

}  // namespace tillbase::engine::sql
