// The OLE variant: the value type of every argument that crosses the session
// interface, of record-set fields and of procedure parameters.
//
// A Variant is a plain value: copies are deep and independent, so a Variant
// may be handed to another thread by copy or move. One Variant object must
// not be written by two threads at once (like any std type).
//
// Conversions behave as the automation platform's variant library does where
// callers rely on it (see docs/values.md):
//   - Empty converts to 0, "" and false; Null converts to nothing and raises
//     "Could not convert variant of type (Null) into type (Integer)".
//   - Floats round to integers half to even; a value out of range raises
//     "Overflow while converting variant of type (Double) into type (Integer)".
//   - Text converts to numbers by its decimal (or "$"/"0x" hex) form.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tillbase {

// OLE variant type codes. A variant array is VT_ARRAY | element type.
enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_TYPEMASK = 0x0FFF,
  VT_ARRAY = 0x2000,
};

// Type codes of the two custom (non-automation) kinds that the database layer
// produces: exact decimals of arbitrary precision and timestamps. They never
// cross the interface as such; they are written there as their text form.
inline constexpr uint16_t kVarTypeFmtBcd = 0x010F;
inline constexpr uint16_t kVarTypeSqlTimeStamp = 0x0110;

// HRESULT-style codes carried by VariantError.
inline constexpr uint32_t kDispETypeMismatch = 0x80020005;  // DISP_E_TYPEMISMATCH
inline constexpr uint32_t kDispEOverflow = 0x8002000A;      // DISP_E_OVERFLOW
inline constexpr uint32_t kDispEBadIndex = 0x8002000B;      // DISP_E_BADINDEX
inline constexpr uint32_t kEInvalidArg = 0x80070057;        // E_INVALIDARG

// A failed variant operation. what() is the message text shown to clients.
class VariantError : public std::runtime_error {
 public:
  VariantError(uint32_t code, const std::string& message);
  uint32_t code() const noexcept { return code_; }

  // "Could not convert variant of type (<from>) into type (<to>)".
  static VariantError Conversion(std::string_view from, std::string_view to);
  // "Overflow while converting variant of type (<from>) into type (<to>)".
  static VariantError Overflow(std::string_view from, std::string_view to);
  // "Variant or safe array index out of bounds".
  static VariantError BadIndex();
  // "Invalid argument".
  static VariantError InvalidArgument();

 private:
  uint32_t code_;
};

// The library's name of a type code: "Empty", "Null", "Smallint", "Integer",
// "OleStr", ..., "Array Variant" for VT_ARRAY | VT_VARIANT.
std::string VarTypeAsText(uint16_t type);

// VT_CY: a fixed-point number, the value times 10000 in 64 bits.
struct Currency {
  static constexpr int64_t kScale = 10000;
  int64_t scaled = 0;

  // Rounds to four decimals, half to even; raises the overflow error naming
  // (Double) into (Currency) when out of range.
  static Currency FromDouble(double value);
  double ToDouble() const { return static_cast<double>(scaled) / kScale; }
  friend bool operator==(const Currency&, const Currency&) = default;
};

// VT_DECIMAL: a 96-bit unsigned magnitude with a sign and a decimal scale
// (0 to 28): value = (-1)^negative * magnitude / 10^scale.
struct Decimal {
  bool negative = false;
  uint8_t scale = 0;
  uint32_t hi32 = 0;
  uint64_t lo64 = 0;

  // Parses "[-+]digits[.digits]"; raises the conversion error naming
  // (OleStr) into (Decimal) on anything else or more than 29 digits.
  static Decimal Parse(std::string_view text);
  // The double's 15-significant-digit value; raises on NaN or out of range.
  static Decimal FromDouble(double value);
  double ToDouble() const;
  // Plain decimal text without exponent or trailing fraction zeros ("12.5"
  // for magnitude 1250, scale 2); "-" for negative non-zero values.
  std::string ToString() const;
  bool IsZero() const { return hi32 == 0 && lo64 == 0; }
  friend bool operator==(const Decimal&, const Decimal&) = default;
};

class Variant;

// A one-dimensional variant array (VT_ARRAY | VT_VARIANT).
struct VariantArray {
  int32_t low_bound = 0;
  std::vector<Variant> items;
};

class Variant {
 public:
  // Empty.
  Variant() = default;

  // Implicit construction from the C++ types with an obvious kind.
  Variant(int16_t value);               // VT_I2
  Variant(int32_t value);               // VT_I4
  Variant(int64_t value);               // VT_I8
  Variant(long long value);             // VT_I8
  Variant(uint8_t value);               // VT_UI1
  Variant(float value);                 // VT_R4
  Variant(double value);                // VT_R8
  Variant(bool value);                  // VT_BOOL
  Variant(Currency value);              // VT_CY
  Variant(Decimal value);               // VT_DECIMAL
  Variant(const char* value);           // VT_BSTR
  Variant(std::string value);           // VT_BSTR
  Variant(std::string_view value);      // VT_BSTR
  Variant(std::vector<uint8_t> bytes);  // VT_ARRAY | VT_UI1, lower bound 0
  Variant(VariantArray array);          // VT_ARRAY | VT_VARIANT

  static Variant Empty() { return Variant(); }
  static Variant Null();
  // VT_DATE from an OLE date (days since 1899-12-30, the fraction the time).
  static Variant FromDate(double ole_date);
  // A custom kind (kVarTypeFmtBcd, kVarTypeSqlTimeStamp) held by its text form.
  static Variant Custom(uint16_t type_code, std::string text);

  // The type code, VT_ARRAY included for arrays.
  uint16_t type() const { return type_; }
  bool IsEmpty() const { return type_ == VT_EMPTY; }
  bool IsNull() const { return type_ == VT_NULL; }
  bool IsArray() const { return (type_ & VT_ARRAY) != 0; }
  bool IsByteArray() const { return type_ == (VT_ARRAY | VT_UI1); }
  bool IsString() const { return type_ == VT_BSTR; }
  // A kind outside the standard automation kinds (custom variant kinds).
  bool IsCustom() const;
  // Integer, float, currency, date, decimal, Boolean or byte kinds.
  bool IsNumeric() const;

  // Conversions. Each raises VariantError (type mismatch or overflow) naming
  // the source and target types when the value does not convert.
  int16_t ToInt16() const;       // target "Smallint"
  int32_t ToInt32() const;       // target "Integer"
  int64_t ToInt64() const;       // target "Int64"
  uint8_t ToByte() const;        // target "Byte"
  double ToDouble() const;       // target "Double"
  Currency ToCurrency() const;   // target "Currency"
  Decimal ToDecimal() const;     // target "Decimal"
  bool ToBool() const;           // target "Boolean"
  double ToDate() const;         // target "Date"; the OLE date
  std::string ToString() const;  // target "String"; Null raises

  // Direct access to the held value; raises "Invalid argument" when the
  // variant is not of that kind.
  const std::string& StringValue() const;     // VT_BSTR or custom text
  const std::vector<uint8_t>& Bytes() const;  // byte array
  std::vector<uint8_t>& MutableBytes();
  const VariantArray& Array() const;  // variant array
  VariantArray& MutableArray();

  // Arrays (both kinds). A non-array raises "Invalid argument"; an index
  // outside [LowBound(), HighBound()] raises
  // "Variant or safe array index out of bounds".
  int32_t LowBound() const;
  int32_t HighBound() const;  // LowBound() - 1 for an array without elements
  int32_t Count() const;
  Variant Get(int32_t index) const;  // copy of one element
  void Set(int32_t index, Variant value);
  // Reference to an element of a variant array (not of a byte array).
  const Variant& At(int32_t index) const;
  Variant& At(int32_t index);

  // Same kind and same value (arrays element by element, bounds included).
  // This is identity, not the library's loose comparison: see VarEquals.
  friend bool operator==(const Variant& a, const Variant& b);

  // A short readable form for logs and test output, e.g. "I4 12",
  // "BSTR \"x\"", "Array[0..1]{I4 1, Null}".
  std::string DebugString() const;

 private:
  class ArrayBox {
   public:
    ArrayBox() = default;
    explicit ArrayBox(VariantArray array);
    ArrayBox(const ArrayBox& other);
    ArrayBox& operator=(const ArrayBox& other);
    ArrayBox(ArrayBox&&) noexcept = default;
    ArrayBox& operator=(ArrayBox&&) noexcept = default;
    ~ArrayBox();
    VariantArray& get() const { return *array_; }

   private:
    std::unique_ptr<VariantArray> array_;
  };

  // The library's type name of this variant, for messages.
  std::string TypeName() const;
  double NumberForConversion(std::string_view target) const;
  int64_t IntegerForConversion(std::string_view target, int64_t low, int64_t high) const;

  uint16_t type_ = VT_EMPTY;
  // int64_t: I2, I4, I8, UI1, BOOL (0 / -1), CY (scaled).
  // double: R4, R8, DATE. std::string: BSTR and custom kinds.
  std::variant<std::monostate, int64_t, double, std::string, Decimal, std::vector<uint8_t>,
               ArrayBox>
      value_;
};

// gtest printing.
void PrintTo(const Variant& value, std::ostream* os);
std::ostream& operator<<(std::ostream& os, const Variant& value);

// A variant array with bounds [low, high], every element Empty. high may be
// low - 1 (no elements); anything smaller raises "Invalid argument".
Variant VarArrayCreate(int32_t low, int32_t high);
// A variant array with lower bound 0 holding the given elements.
Variant VarArrayOf(std::vector<Variant> items);

bool VarIsArray(const Variant& v);
bool VarIsNull(const Variant& v);
bool VarIsEmpty(const Variant& v);
// Null or Empty.
bool VarIsClear(const Variant& v);

// Bounds of a one-dimensional array (the "last dimension"); a non-array
// raises "Invalid argument".
int32_t VarArrayLowBound(const Variant& v);
int32_t VarArrayHighBound(const Variant& v);

// Text of a variant where Null reads as the empty text.
std::string VarToStr(const Variant& v);

// The library's loose equality:
//   - Null equals only Null; Empty equals Empty, any zero and "".
//   - Two texts compare exactly (case counts).
//   - Numbers of any kind (Boolean included: True is -1, False 0) compare by
//     value; a text compared with a number is converted to a number first,
//     a text compared with a Boolean to a Boolean, and a text that does not
//     convert raises the conversion error.
//   - Arrays compare element by element with equal bounds.
bool VarEquals(const Variant& a, const Variant& b);

}  // namespace tillbase
