#include "engine/sql/datetime.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace tillbase::engine::sql {
namespace {

int64_t DaysFromCivilEpoch(int y, unsigned m, unsigned d) {
  // Days since 1970-01-01 (proleptic Gregorian).
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

const int64_t kEpoch1900 = DaysFromCivilEpoch(1900, 1, 1);

const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

int64_t DaysFromCivil(int y, int m, int d) { return DaysFromCivilEpoch(y, m, d) - kEpoch1900; }

CivilTime CivilFromMicros(int64_t micros) {
  const int64_t kDay = 86400000000LL;
  int64_t days = micros >= 0 ? micros / kDay : -((-micros + kDay - 1) / kDay);
  int64_t rem = micros - days * kDay;
  int64_t z = days + kEpoch1900 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  CivilTime c;
  c.year = static_cast<int>(y + (m <= 2));
  c.month = static_cast<int>(m);
  c.day = static_cast<int>(d);
  int64_t ms = rem / 1000;
  c.hour = static_cast<int>(ms / 3600000);
  c.minute = static_cast<int>(ms / 60000 % 60);
  c.second = static_cast<int>(ms / 1000 % 60);
  c.millis = static_cast<int>(ms % 1000);
  return c;
}

int64_t MicrosFromCivil(const CivilTime& c) {
  int64_t days = DaysFromCivil(c.year, c.month, c.day);
  return days * 86400000000LL +
         ((c.hour * 3600LL + c.minute * 60LL + c.second) * 1000LL + c.millis) * 1000LL;
}

int DaysInMonth(int y, int m) {
  static const int k[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return k[(m - 1) % 12];
}

bool ValidCivil(const CivilTime& c) {
  return c.year >= 1753 && c.year <= 9999 && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
         c.day <= DaysInMonth(c.year, c.month) && c.hour >= 0 && c.hour < 24 && c.minute >= 0 &&
         c.minute < 60 && c.second >= 0 && c.second < 60 && c.millis >= 0 && c.millis < 1000;
}

int DayOfWeek(const CivilTime& c) {
  int64_t days = DaysFromCivil(c.year, c.month, c.day);  // 1900-01-01 was a Monday
  int64_t w = ((days % 7) + 7) % 7;                      // 0 = Monday
  return static_cast<int>((w + 1) % 7) + 1;
}

int DayOfYear(const CivilTime& c) {
  return static_cast<int>(DaysFromCivil(c.year, c.month, c.day) - DaysFromCivil(c.year, 1, 1)) + 1;
}

std::optional<CivilTime> ParseDateTimeText(std::string_view text, std::string_view dateformat) {
  size_t i = 0;
  auto skip_ws = [&]() {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  };
  auto read_num = [&](int* digits) -> long {
    long v = 0;
    *digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      v = v * 10 + (text[i] - '0');
      ++*digits;
      ++i;
    }
    return v;
  };
  skip_ws();
  CivilTime c;
  bool have_date = false;
  size_t start = i;
  int d1 = 0;
  long n1 = read_num(&d1);
  if (d1 == 8 && (i == text.size() || text[i] == ' ' || text[i] == 'T')) {
    c.year = static_cast<int>(n1 / 10000);
    c.month = static_cast<int>(n1 / 100 % 100);
    c.day = static_cast<int>(n1 % 100);
    have_date = true;
  } else if (d1 > 0 && i < text.size() && (text[i] == '-' || text[i] == '/' || text[i] == '.')) {
    char sep = text[i++];
    int d2 = 0, d3 = 0;
    long n2 = read_num(&d2);
    if (d2 == 0 || i >= text.size() || text[i] != sep) return std::nullopt;
    ++i;
    long n3 = read_num(&d3);
    if (d3 == 0) return std::nullopt;
    if (d1 == 4) {
      c.year = static_cast<int>(n1);
      c.month = static_cast<int>(n2);
      c.day = static_cast<int>(n3);
    } else {
      long y = n3;
      if (d3 == 2) y += y < 50 ? 2000 : 1900;
      c.year = static_cast<int>(y);
      if (dateformat == "dmy") {
        c.day = static_cast<int>(n1);
        c.month = static_cast<int>(n2);
      } else {
        c.month = static_cast<int>(n1);
        c.day = static_cast<int>(n2);
      }
    }
    have_date = true;
  } else {
    i = start;
  }
  if (have_date) {
    if (i < text.size() && text[i] == 'T') ++i;
    skip_ws();
  }
  if (i < text.size()) {
    int dh = 0, dm = 0, ds = 0;
    long h = read_num(&dh);
    if (dh == 0 || i >= text.size() || text[i] != ':') return std::nullopt;
    ++i;
    long mi = read_num(&dm);
    if (dm == 0) return std::nullopt;
    long s = 0, ms = 0;
    if (i < text.size() && text[i] == ':') {
      ++i;
      s = read_num(&ds);
      if (ds == 0) return std::nullopt;
      if (i < text.size() && (text[i] == '.' || text[i] == ':')) {
        ++i;
        int dms = 0;
        size_t fs = i;
        long f = read_num(&dms);
        (void)fs;
        while (dms > 3) {
          f /= 10;
          --dms;
        }
        while (dms < 3) {
          f *= 10;
          ++dms;
        }
        ms = f;
      }
    }
    skip_ws();
    if (i + 1 < text.size() &&
        (text[i] == 'A' || text[i] == 'a' || text[i] == 'P' || text[i] == 'p') &&
        (text[i + 1] == 'M' || text[i + 1] == 'm')) {
      bool pm = text[i] == 'P' || text[i] == 'p';
      if (h > 12) return std::nullopt;
      if (h == 12) h = 0;
      if (pm) h += 12;
      i += 2;
    }
    c.hour = static_cast<int>(h);
    c.minute = static_cast<int>(mi);
    c.second = static_cast<int>(s);
    c.millis = static_cast<int>(ms);
  }
  skip_ws();
  if (i != text.size()) return std::nullopt;
  if (!have_date && i == start) return std::nullopt;
  if (!ValidCivil(c)) return std::nullopt;
  return c;
}

std::string FormatStorage(const CivilTime& c, bool date_only) {
  char buf[40];
  if (date_only) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day,
                  c.hour, c.minute, c.second, c.millis);
  }
  return buf;
}

namespace {

// Digits at text[at, at + n) as a number; -1 when any is no digit.
int FixedDigits(std::string_view text, size_t at, size_t n) {
  int value = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The form the engine itself stores, "yyyy-mm-dd", "yyyy-mm-dd hh:mi:ss" or
// that with ".fraction", read without sscanf: every fetched date and time
// passes here. Anything else is left to the general reading.
bool ParseCanonicalStorage(std::string_view text, CivilTime& c) {
  if (text.size() != 10 && text.size() < 19) return false;
  if (text[4] != '-' || text[7] != '-') return false;
  int year = FixedDigits(text, 0, 4), month = FixedDigits(text, 5, 2),
      day = FixedDigits(text, 8, 2);
  if (year < 0 || month < 0 || day < 0) return false;
  CivilTime out;
  out.year = year;
  out.month = month;
  out.day = day;
  if (text.size() > 10) {
    if (text[10] != ' ' || text[13] != ':' || text[16] != ':') return false;
    int hour = FixedDigits(text, 11, 2), minute = FixedDigits(text, 14, 2),
        second = FixedDigits(text, 17, 2);
    if (hour < 0 || minute < 0 || second < 0) return false;
    out.hour = hour;
    out.minute = minute;
    out.second = second;
    if (text.size() > 19) {
      // As "%d" reads it: the fraction's digits as a whole number.
      if (text[19] != '.' || text.size() == 20 || text.size() > 28) return false;
      int fraction = FixedDigits(text, 20, text.size() - 20);
      if (fraction < 0) return false;
      out.millis = fraction;
    }
  }
  c = out;
  return true;
}

}  // namespace

std::optional<CivilTime> ParseStorage(std::string_view text) {
  CivilTime c;
  if (ParseCanonicalStorage(text, c)) return c;
  if (text.size() < 10) return std::nullopt;
  int n = std::sscanf(std::string(text).c_str(), "%d-%d-%d %d:%d:%d.%d", &c.year, &c.month, &c.day,
                      &c.hour, &c.minute, &c.second, &c.millis);
  if (n < 3) return std::nullopt;
  return c;
}

std::string FormatStyle(const CivilTime& c, int style, bool date_only) {
  char buf[64];
  int h12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
  const char* ampm = c.hour < 12 ? "AM" : "PM";
  int base = style >= 100 ? style - 100 : style;
  bool century = style >= 100 || style == 20 || style == 21 || style == 23 || style == 120 ||
                 style == 121 || style == 126;
  int yy = century ? c.year : c.year % 100;
  const char* yfmt = century ? "%04d" : "%02d";
  std::string y;
  {
    char t[8];
    std::snprintf(t, sizeof t, yfmt, yy);
    y = t;
  }
  switch (style) {
    case 0:
    case 100:
      if (date_only) {
        std::snprintf(buf, sizeof buf, "%s %2d %04d", kMonths[c.month - 1], c.day, c.year);
      } else {
        std::snprintf(buf, sizeof buf, "%s %2d %04d %2d:%02d%s", kMonths[c.month - 1], c.day,
                      c.year, h12, c.minute, ampm);
      }
      return buf;
    case 9:
    case 109:
      std::snprintf(buf, sizeof buf, "%s %2d %04d %2d:%02d:%02d:%03d%s", kMonths[c.month - 1],
                    c.day, c.year, h12, c.minute, c.second, c.millis, ampm);
      return buf;
    case 8:
    case 108:
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", c.hour, c.minute, c.second);
      return buf;
    case 20:
    case 120:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day,
                    c.hour, c.minute, c.second);
      return buf;
    case 21:
    case 121:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day,
                    c.hour, c.minute, c.second, c.millis);
      return buf;
    case 126:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", c.year, c.month, c.day,
                    c.hour, c.minute, c.second, c.millis);
      return buf;
    case 23:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
      return buf;
    default:
      break;
  }
  switch (base) {
    case 1:
      std::snprintf(buf, sizeof buf, "%02d/%02d/%s", c.month, c.day, y.c_str());
      return buf;
    case 2:
      std::snprintf(buf, sizeof buf, "%s.%02d.%02d", y.c_str(), c.month, c.day);
      return buf;
    case 3:
      std::snprintf(buf, sizeof buf, "%02d/%02d/%s", c.day, c.month, y.c_str());
      return buf;
    case 4:
      std::snprintf(buf, sizeof buf, "%02d.%02d.%s", c.day, c.month, y.c_str());
      return buf;
    case 5:
      std::snprintf(buf, sizeof buf, "%02d-%02d-%s", c.day, c.month, y.c_str());
      return buf;
    case 10:
      std::snprintf(buf, sizeof buf, "%02d-%02d-%s", c.month, c.day, y.c_str());
      return buf;
    case 11:
      std::snprintf(buf, sizeof buf, "%s/%02d/%02d", y.c_str(), c.month, c.day);
      return buf;
    case 12:
      std::snprintf(buf, sizeof buf, "%s%02d%02d", y.c_str(), c.month, c.day);
      return buf;
    default:
      return "";
  }
}

}  // namespace tillbase::engine::sql
