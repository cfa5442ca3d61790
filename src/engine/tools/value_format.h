// Text forms of engine values as the command-line tool prints them, and the
// display widths of column types. The logic tests compare against the same
// text forms, so a value means one thing wherever it is shown.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tillbase::engine::tools {

// The value in text: "NULL" for NULL; exact numbers at the column's declared
// scale ("12.50" for decimal(9,2), "3.0000" for money); datetime as
// "yyyy-mm-dd hh:mm:ss.mmm", smalldatetime without milliseconds, date as
// "yyyy-mm-dd"; binary as 0x and upper-case hex; float in the shortest form
// that reads back to the same number.
std::string FormatValue(const Value& value, const TypeInfo& type);

// Characters a column of this type takes in a result grid before its name is
// taken into account (int 11, datetime 23, varchar(n) n, ...). Large types
// (max, text, image) take kLargeTypeWidth.
int TypeDisplayWidth(const TypeInfo& type);
inline constexpr int kLargeTypeWidth = 256;

// Large types print at most kLargeTypeWidth characters.
bool IsLargeType(const TypeInfo& type);

// Numbers and dates are right-aligned in a grid, text is left-aligned.
bool IsRightAligned(SqlType type);

// Characters (code points) of UTF-8 text; what column widths count.
size_t TextWidth(std::string_view utf8);

// The first `chars` characters of UTF-8 text.
std::string_view TextPrefix(std::string_view utf8, size_t chars);

// "yyyy-mm-dd hh:mm:ss.mmm" and friends; exposed for the logic tests.
std::string FormatDateTime(const DateTime& value, SqlType type);

// unscaled * 10^-scale written at `target_scale` digits after the point,
// rounding half away from zero when digits are dropped.
std::string FormatDecimal(__int128 unscaled, int scale, int target_scale);

}  // namespace tillbase::engine::tools
