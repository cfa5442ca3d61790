// The variant library's loose equality.
#include "shared/variant.h"

namespace tillbase {
namespace {

bool IsText(const Variant& v) { return v.IsString() || v.IsCustom(); }

bool IsExactInteger(const Variant& v) {
  switch (v.type()) {
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

bool NumbersEqual(const Variant& a, const Variant& b) {
  // Integers compare exactly: two Int64 values beyond 2^53 may share a double.
  if (IsExactInteger(a) && IsExactInteger(b)) return a.ToInt64() == b.ToInt64();
  if (a.type() == VT_CY && b.type() == VT_CY) return a.ToCurrency() == b.ToCurrency();
  return a.ToDouble() == b.ToDouble();
}

bool IsZero(const Variant& v) {
  if (v.type() == VT_DECIMAL) return v.ToDecimal().IsZero();
  return v.ToDouble() == 0;
}

bool ArraysEqual(const Variant& a, const Variant& b) {
  if (a.LowBound() != b.LowBound() || a.Count() != b.Count()) return false;
  for (int32_t i = a.LowBound(); i <= a.HighBound(); ++i) {
    if (!VarEquals(a.Get(i), b.Get(i))) return false;
  }
  return true;
}

}  // namespace

bool VarEquals(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  if (a.IsArray() || b.IsArray()) return a.IsArray() && b.IsArray() && ArraysEqual(a, b);
  if (a.IsEmpty() || b.IsEmpty()) {
    const Variant& other = a.IsEmpty() ? b : a;
    if (other.IsEmpty()) return true;
    if (IsText(other)) return other.StringValue().empty();
    return other.IsNumeric() && IsZero(other);
  }
  if (IsText(a) && IsText(b)) return a.StringValue() == b.StringValue();
  if (IsText(a) || IsText(b)) {
    const Variant& text = IsText(a) ? a : b;
    const Variant& other = IsText(a) ? b : a;
    if (other.type() == VT_BOOL) return text.ToBool() == other.ToBool();
    if (other.type() == VT_DATE) return text.ToDate() == other.ToDate();
    return text.ToDouble() == other.ToDouble();
  }
  if (a.IsNumeric() && b.IsNumeric()) return NumbersEqual(a, b);
  return false;
}

}  // namespace tillbase
