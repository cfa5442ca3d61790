// Date functions of the library.
#include <chrono>
#include <cmath>
#include <ctime>

#include "engine/errors.h"
#include "engine/sql/datetime.h"
#include "engine/sql/fn_impl.h"
#include "engine/sql/text.h"

namespace tillbase::engine::sql {
namespace {

using Args = std::vector<TypeInfo>;

const int64_t kMicrosPerDay = 86400000000LL;

TypeInfo Nth(const Args& a, size_t i) { return i < a.size() ? a[i] : IntType(); }

enum class Part {
  kYear,
  kQuarter,
  kMonth,
  kDayOfYear,
  kDay,
  kWeek,
  kWeekday,
  kHour,
  kMinute,
  kSecond,
  kMillisecond
};

Part ParsePart(std::string_view word, std::string_view function) {
  std::string w = ToLower(word);
  if (w == "year" || w == "yy" || w == "yyyy") return Part::kYear;
  if (w == "quarter" || w == "qq" || w == "q") return Part::kQuarter;
  if (w == "month" || w == "mm" || w == "m") return Part::kMonth;
  if (w == "dayofyear" || w == "dy" || w == "y") return Part::kDayOfYear;
  if (w == "day" || w == "dd" || w == "d") return Part::kDay;
  if (w == "week" || w == "wk" || w == "ww") return Part::kWeek;
  if (w == "weekday" || w == "dw" || w == "w") return Part::kWeekday;
  if (w == "hour" || w == "hh") return Part::kHour;
  if (w == "minute" || w == "mi" || w == "n") return Part::kMinute;
  if (w == "second" || w == "ss" || w == "s") return Part::kSecond;
  if (w == "millisecond" || w == "ms") return Part::kMillisecond;
  throw MakeError(
      155, 15, 1,
      "'" + std::string(word) + "' is not a recognized " + std::string(function) + " option.");
}

bool IsTimePart(Part p) {
  return p == Part::kHour || p == Part::kMinute || p == Part::kSecond || p == Part::kMillisecond;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// A date argument in microseconds; text converts as datetime does.
int64_t DateArg(const Call& c, int i) {
  TypeInfo t = c.Type(i);
  TypeInfo as = IsDateType(t.type) ? t : DateTimeType();
  return MicrosOfStored(c.As(i, as));
}

int WeekdayOf(const CivilTime& t, int datefirst) {
  int sunday_based = DayOfWeek(t);  // 1 = Sunday
  return ((sunday_based - 1) - (datefirst % 7) + 7) % 7 + 1;
}

int64_t PartOf(Part p, int64_t micros, int datefirst) {
  CivilTime t = CivilFromMicros(micros);
  switch (p) {
    case Part::kYear:
      return t.year;
    case Part::kQuarter:
      return (t.month - 1) / 3 + 1;
    case Part::kMonth:
      return t.month;
    case Part::kDayOfYear:
      return DayOfYear(t);
    case Part::kDay:
      return t.day;
    case Part::kWeek: {
      CivilTime jan1 = t;
      jan1.month = 1;
      jan1.day = 1;
      return (DayOfYear(t) - 1 + WeekdayOf(jan1, datefirst) - 1) / 7 + 1;
    }
    case Part::kWeekday:
      return WeekdayOf(t, datefirst);
    case Part::kHour:
      return t.hour;
    case Part::kMinute:
      return t.minute;
    case Part::kSecond:
      return t.second;
    case Part::kMillisecond:
      return t.millis;
  }
  return 0;
}

int64_t NowMicros(const FunctionSettings& s) {
  if (s.now) return s.now();
  auto now = std::chrono::system_clock::now();
  int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(us / 1000000);
  std::tm local{};
  localtime_r(&secs, &local);
  CivilTime c;
  c.year = local.tm_year + 1900;
  c.month = local.tm_mon + 1;
  c.day = local.tm_mday;
  c.hour = local.tm_hour;
  c.minute = local.tm_min;
  c.second = local.tm_sec;
  return MicrosFromCivil(c) + us % 1000000;
}

Stored GetDate(const Call& c) { return StoredOfMicros(NowMicros(*c.settings), DateTimeType()); }

Stored GetUtcDate(const Call& c) {
  if (c.settings->now) return StoredOfMicros(c.settings->now(), DateTimeType());
  auto now = std::chrono::system_clock::now();
  int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  return StoredOfMicros(us + DaysFromCivil(1970, 1, 1) * kMicrosPerDay, DateTimeType());
}

Stored DateAdd(const Call& c) {
  Part p = ParsePart(c.Text(0), "dateadd");
  if (c.IsNullArg(1) || c.IsNullArg(2)) return Stored::Null();
  TypeInfo t = c.Type(2);
  TypeInfo rt = DateResultOf(t);
  if (rt.type == SqlType::kDate && IsTimePart(p)) {
    throw MakeError(9810, 16, 1,
                    "The datepart " + ToLower(c.Text(0)) +
                        " is not supported by date function dateadd for data type date.");
  }
  TypeInfo nt = c.Type(1);
  // The number is an int: fractions are dropped, larger values overflow.
  Stored whole = StorageOf(nt.type) == Storage::kReal || StorageOf(nt.type) == Storage::kScaled
                     ? ConvertStored(Stored::Real(std::trunc(c.Float(1))), FloatType(), IntType())
                     : c.As(1, IntType());
  int64_t n = whole.i;
  int64_t m = DateArg(c, 2);
  auto add_months = [&](int64_t months) {
    CivilTime ct = CivilFromMicros(m);
    int64_t total = ct.year * 12LL + (ct.month - 1) + months;
    int64_t year = FloorDiv(total, 12);
    if (year < 1 || year > 9999) throw ArithmeticOverflow(SqlTypeName(rt.type));
    ct.year = static_cast<int>(year);
    ct.month = static_cast<int>(total - year * 12) + 1;
    ct.day = std::min(ct.day, DaysInMonth(ct.year, ct.month));
    return MicrosFromCivil(ct);
  };
  // Microseconds per unit of the other parts; 128 bits hold any int of them.
  __int128 unit = 0;
  switch (p) {
    case Part::kYear:
      return StoredOfMicros(add_months(n * 12), rt);
    case Part::kQuarter:
      return StoredOfMicros(add_months(n * 3), rt);
    case Part::kMonth:
      return StoredOfMicros(add_months(n), rt);
    case Part::kDayOfYear:
    case Part::kDay:
    case Part::kWeekday:
      unit = kMicrosPerDay;
      break;
    case Part::kWeek:
      unit = 7 * kMicrosPerDay;
      break;
    case Part::kHour:
      unit = 3600000000LL;
      break;
    case Part::kMinute:
      unit = 60000000LL;
      break;
    case Part::kSecond:
      unit = 1000000LL;
      break;
    case Part::kMillisecond:
      unit = 1000LL;
      break;
  }
  __int128 r = static_cast<__int128>(m) + unit * n;
  const __int128 kRange = static_cast<__int128>(3700000) * kMicrosPerDay;  // past year 9999
  if (r > kRange || r < -kRange) throw ArithmeticOverflow(SqlTypeName(rt.type));
  return StoredOfMicros(static_cast<int64_t>(r), rt);
}

Stored DateDiff(const Call& c) {
  Part p = ParsePart(c.Text(0), "datediff");
  if (c.IsNullArg(1) || c.IsNullArg(2)) return Stored::Null();
  int64_t a = DateArg(c, 1), b = DateArg(c, 2);
  CivilTime x = CivilFromMicros(a), y = CivilFromMicros(b);
  int64_t r = 0;
  switch (p) {
    case Part::kYear:
      r = y.year - x.year;
      break;
    case Part::kQuarter:
      r = (y.year * 4LL + (y.month - 1) / 3) - (x.year * 4LL + (x.month - 1) / 3);
      break;
    case Part::kMonth:
      r = (y.year * 12LL + y.month) - (x.year * 12LL + x.month);
      break;
    case Part::kDayOfYear:
    case Part::kDay:
    case Part::kWeekday:
      r = FloorDiv(b, kMicrosPerDay) - FloorDiv(a, kMicrosPerDay);
      break;
    case Part::kWeek:
      // Week boundaries are Sundays whatever DATEFIRST says; 1900-01-01 was a Monday.
      r = FloorDiv(FloorDiv(b, kMicrosPerDay) + 1, 7) - FloorDiv(FloorDiv(a, kMicrosPerDay) + 1, 7);
      break;
    case Part::kHour:
      r = FloorDiv(b, 3600000000LL) - FloorDiv(a, 3600000000LL);
      break;
    case Part::kMinute:
      r = FloorDiv(b, 60000000LL) - FloorDiv(a, 60000000LL);
      break;
    case Part::kSecond:
      r = FloorDiv(b, 1000000LL) - FloorDiv(a, 1000000LL);
      break;
    case Part::kMillisecond:
      r = FloorDiv(b, 1000LL) - FloorDiv(a, 1000LL);
      break;
  }
  if (r > INT32_MAX || r < INT32_MIN) {
    throw MakeError(535, 16, 0,
                    "The datediff function resulted in an overflow. The number of dateparts "
                    "separating two date/time instances is too large. Try to use datediff with a "
                    "less precise datepart.");
  }
  return Stored::Int(r);
}

Stored DatePart(const Call& c) {
  Part p = ParsePart(c.Text(0), "datepart");
  if (c.IsNullArg(1)) return Stored::Null();
  return Stored::Int(PartOf(p, DateArg(c, 1), c.settings->datefirst));
}

Stored DateName(const Call& c) {
  static const char* kMonths[] = {"January",   "February", "March",    "April",
                                  "May",       "June",     "July",     "August",
                                  "September", "October",  "November", "December"};
  static const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};
  Part p = ParsePart(c.Text(0), "datename");
  if (c.IsNullArg(1)) return Stored::Null();
  int64_t m = DateArg(c, 1);
  if (p == Part::kMonth) return Stored::Text(kMonths[CivilFromMicros(m).month - 1]);
  if (p == Part::kWeekday) return Stored::Text(kDays[DayOfWeek(CivilFromMicros(m)) - 1]);
  return Stored::Text(std::to_string(PartOf(p, m, c.settings->datefirst)));
}

template <Part kPart>
Stored PartFn(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  return Stored::Int(PartOf(kPart, DateArg(c, 0), c.settings->datefirst));
}

Stored IsDate(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Int(0);
  if (IsDateType(c.Type(0).type)) return Stored::Int(1);
  // '' converts to 1900-01-01 but is no date.
  if (IsCharType(c.Type(0).type) && TrimTrailingBlanks(TrimLeadingBlanks(c.Text(0))).empty()) {
    return Stored::Int(0);
  }
  try {
    c.As(0, DateTimeType());
    return Stored::Int(1);
  } catch (const EngineError&) {
    return Stored::Int(0);
  }
}

TypeInfo IntResult(const Args&) { return IntType(); }

}  // namespace

void AddDateBuiltins(std::vector<Builtin>& t) {
  auto add = [&](std::string_view name, std::string_view sqlite, int min, int max, bool datepart,
                 bool deterministic, TypeInfo (*rt)(const Args&), Impl impl) {
    t.push_back(
        {{name, sqlite, FunctionKind::kScalar, min, max, datepart, deterministic, rt}, impl});
  };
  auto datetime = [](const Args&) { return DateTimeType(); };
  add("GETDATE", "tsql_getdate", 0, 0, false, false, datetime, GetDate);
  add("GETUTCDATE", "tsql_getutcdate", 0, 0, false, false, datetime, GetUtcDate);
  add(
      "DATEADD", "tsql_dateadd", 3, 3, true, true,
      [](const Args& a) { return DateResultOf(Nth(a, 2)); }, DateAdd);
  add("DATEDIFF", "tsql_datediff", 3, 3, true, true, IntResult, DateDiff);
  add("DATEPART", "tsql_datepart", 2, 2, true, true, IntResult, DatePart);
  add(
      "DATENAME", "tsql_datename", 2, 2, true, true, [](const Args&) { return NVarCharType(30); },
      DateName);
  add("YEAR", "tsql_year", 1, 1, false, true, IntResult, PartFn<Part::kYear>);
  add("MONTH", "tsql_month", 1, 1, false, true, IntResult, PartFn<Part::kMonth>);
  add("DAY", "tsql_day", 1, 1, false, true, IntResult, PartFn<Part::kDay>);
  add("ISDATE", "tsql_isdate", 1, 1, false, true, IntResult, IsDate);
}

}  // namespace tillbase::engine::sql
