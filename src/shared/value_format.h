// Text forms of values: the number formats of SQL batches built from
// templates (%d, %g, '%s'), the readings of client text as integers, flags
// and LIKE patterns, and the library's general float text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "shared/variant.h"

namespace tillbase {

// A text that does not read as the value asked for, or a template that does
// not fit its arguments.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// %d: a signed 32-bit integer in decimal.
std::string FormatD(int32_t value);

// %g: rounded to 15 significant digits, general form, "." as the decimal
// point. Fixed notation when 0.0001 <= |value| < 1e15, else scientific with
// "E", a "-" only for negative exponents and at least three exponent digits
// (0.000001 -> "1E-006", 1.5e20 -> "1.5E020"). Zero is "0". NaN and
// infinities raise FormatError (no SQL text can hold them).
std::string FormatG(double value);

// The library's float-to-text: as FormatG but the exponent has only the
// digits it needs (1e20 -> "1E20", 0.000001 -> "1E-6"). NaN and infinities
// give "NAN", "INF" and "-INF".
std::string FloatToStr(double value);

// The text as a T-SQL string literal: between single quotes, every single
// quote doubled. The one safe way to put client text into SQL.
std::string QuoteSql(std::string_view text);

// Reads text as a 32-bit integer: leading blanks, an optional sign, then
// decimal digits or hex digits after "$", "0x" or "x" (hex covers 32 bits
// and wraps, so "$FFFFFFFF" is -1). Nothing may follow the digits.
bool TryStrToInt(std::string_view text, int32_t* value);
bool TryStrToInt64(std::string_view text, int64_t* value);
// Reads text as a float: blanks around, sign, digits with "." as the decimal
// point, optional exponent ("1.5E-3"). No hex, no thousands separators.
bool TryStrToFloat(std::string_view text, double* value);

// int(X): the integer X reads as; any text that does not, the empty text
// included, gives 0.
int32_t IntOf(std::string_view text);
// strict int(X): the empty text gives 0; a text that is not a valid integer
// raises FormatError "'<text>' is not a valid integer value".
int32_t StrictIntOf(std::string_view text);
// flag(X): IntOf(X) has a non-zero lowest byte.
bool FlagOf(std::string_view text);
// pattern(X): "%" + X + "%".
std::string PatternOf(std::string_view text);

// Fills the %d, %g and %s placeholders of a template in order; "%%" is one
// "%". A placeholder written between single quotes ('%s', also '%d' or
// '%g') is replaced with its quotes by QuoteSql of the argument's text, so
// client text never ends a literal early. A bare %s inserts the text as it
// is: only for trusted SQL fragments. Arguments convert as record fields
// read: Null gives 0 for %d and %g and "" for %s. A placeholder without an
// argument, an argument without a placeholder or an unknown placeholder
// raises FormatError "Format '<template>' invalid or incompatible with
// argument".
std::string Format(std::string_view templ, const std::vector<Variant>& args);

}  // namespace tillbase
