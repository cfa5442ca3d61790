// Variant: construction, kinds, arrays and printing. Conversions live in
// variant_convert.cpp, comparisons in variant_compare.cpp.
#include "shared/variant.h"

#include <cstdio>
#include <iterator>
#include <ostream>

#include "shared/value_format.h"

namespace tillbase {

VariantError::VariantError(uint32_t code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

VariantError VariantError::Conversion(std::string_view from, std::string_view to) {
  return VariantError(kDispETypeMismatch, "Could not convert variant of type (" +
                                              std::string(from) + ") into type (" +
                                              std::string(to) + ")");
}

VariantError VariantError::Overflow(std::string_view from, std::string_view to) {
  return VariantError(kDispEOverflow, "Overflow while converting variant of type (" +
                                          std::string(from) + ") into type (" + std::string(to) +
                                          ")");
}

VariantError VariantError::BadIndex() {
  return VariantError(kDispEBadIndex, "Variant or safe array index out of bounds");
}

VariantError VariantError::InvalidArgument() {
  return VariantError(kEInvalidArg, "Invalid argument");
}

std::string VarTypeAsText(uint16_t type) {
  static constexpr const char* kNames[] = {
      "Empty",   "Null",   "Smallint", "Integer", "Single",  "Double",   "Currency",
      "Date",    "OleStr", "Dispatch", "Error",   "Boolean", "Variant",  "Unknown",
      "Decimal", "$000F",  "ShortInt", "Byte",    "Word",    "LongWord", "Int64"};
  uint16_t base = type & VT_TYPEMASK;
  std::string name;
  if (base < std::size(kNames)) {
    name = kNames[base];
  } else if (base == 0x0100) {
    name = "String";
  } else if (base == kVarTypeFmtBcd) {
    name = "FMTBcdVariantType";
  } else if (base == kVarTypeSqlTimeStamp) {
    name = "SQLTimeStampVariantType";
  } else {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "$%04X", base);
    name = buffer;
  }
  if (type & VT_ARRAY) name = "Array " + name;
  return name;
}

Variant::ArrayBox::ArrayBox(VariantArray array)
    : array_(std::make_unique<VariantArray>(std::move(array))) {}

Variant::ArrayBox::ArrayBox(const ArrayBox& other)
    : array_(other.array_ ? std::make_unique<VariantArray>(*other.array_) : nullptr) {}

Variant::ArrayBox& Variant::ArrayBox::operator=(const ArrayBox& other) {
  if (this != &other) {
    array_ = other.array_ ? std::make_unique<VariantArray>(*other.array_) : nullptr;
  }
  return *this;
}

Variant::ArrayBox::~ArrayBox() = default;

Variant::Variant(int16_t value) : type_(VT_I2), value_(int64_t{value}) {}
Variant::Variant(int32_t value) : type_(VT_I4), value_(int64_t{value}) {}
Variant::Variant(int64_t value) : type_(VT_I8), value_(value) {}
Variant::Variant(long long value) : type_(VT_I8), value_(static_cast<int64_t>(value)) {}
Variant::Variant(uint8_t value) : type_(VT_UI1), value_(int64_t{value}) {}
Variant::Variant(float value) : type_(VT_R4), value_(double{value}) {}
Variant::Variant(double value) : type_(VT_R8), value_(value) {}
Variant::Variant(bool value) : type_(VT_BOOL), value_(int64_t{value ? -1 : 0}) {}
Variant::Variant(Currency value) : type_(VT_CY), value_(value.scaled) {}
Variant::Variant(Decimal value) : type_(VT_DECIMAL), value_(value) {}
Variant::Variant(const char* value) : type_(VT_BSTR), value_(std::string(value ? value : "")) {}
Variant::Variant(std::string value) : type_(VT_BSTR), value_(std::move(value)) {}
Variant::Variant(std::string_view value) : type_(VT_BSTR), value_(std::string(value)) {}
Variant::Variant(std::vector<uint8_t> bytes) : type_(VT_ARRAY | VT_UI1), value_(std::move(bytes)) {}
Variant::Variant(VariantArray array)
    : type_(VT_ARRAY | VT_VARIANT), value_(ArrayBox(std::move(array))) {}

Variant Variant::Null() {
  Variant v;
  v.type_ = VT_NULL;
  return v;
}

Variant Variant::FromDate(double ole_date) {
  Variant v(ole_date);
  v.type_ = VT_DATE;
  return v;
}

Variant Variant::Custom(uint16_t type_code, std::string text) {
  // Only codes beyond the automation kinds are custom; a standard code here
  // would make a string pose as, say, an integer.
  if (type_code < 0x0100 || (type_code & ~VT_TYPEMASK) != 0) throw VariantError::InvalidArgument();
  Variant v(std::move(text));
  v.type_ = type_code;
  return v;
}

bool Variant::IsCustom() const { return !IsArray() && type_ >= 0x0100; }

bool Variant::IsNumeric() const {
  switch (type_) {
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

std::string Variant::TypeName() const { return VarTypeAsText(type_); }

const std::string& Variant::StringValue() const {
  if (type_ != VT_BSTR && !IsCustom()) throw VariantError::InvalidArgument();
  return std::get<std::string>(value_);
}

const std::vector<uint8_t>& Variant::Bytes() const {
  if (!IsByteArray()) throw VariantError::InvalidArgument();
  return std::get<std::vector<uint8_t>>(value_);
}

std::vector<uint8_t>& Variant::MutableBytes() {
  if (!IsByteArray()) throw VariantError::InvalidArgument();
  return std::get<std::vector<uint8_t>>(value_);
}

const VariantArray& Variant::Array() const {
  if (type_ != (VT_ARRAY | VT_VARIANT)) throw VariantError::InvalidArgument();
  return std::get<ArrayBox>(value_).get();
}

VariantArray& Variant::MutableArray() {
  if (type_ != (VT_ARRAY | VT_VARIANT)) throw VariantError::InvalidArgument();
  return std::get<ArrayBox>(value_).get();
}

int32_t Variant::LowBound() const {
  if (IsByteArray()) return 0;
  return Array().low_bound;
}

int32_t Variant::Count() const {
  if (IsByteArray()) return static_cast<int32_t>(Bytes().size());
  return static_cast<int32_t>(Array().items.size());
}

int32_t Variant::HighBound() const { return LowBound() + Count() - 1; }

namespace {

size_t Offset(int32_t index, int32_t low, size_t count) {
  int64_t offset = int64_t{index} - low;
  if (offset < 0 || offset >= static_cast<int64_t>(count)) throw VariantError::BadIndex();
  return static_cast<size_t>(offset);
}

}  // namespace

Variant Variant::Get(int32_t index) const {
  if (IsByteArray()) {
    const auto& bytes = Bytes();
    return Variant(bytes[Offset(index, 0, bytes.size())]);
  }
  return At(index);
}

void Variant::Set(int32_t index, Variant value) {
  if (IsByteArray()) {
    auto& bytes = MutableBytes();
    size_t offset = Offset(index, 0, bytes.size());
    bytes[offset] = value.ToByte();
    return;
  }
  At(index) = std::move(value);
}

const Variant& Variant::At(int32_t index) const {
  const VariantArray& array = Array();
  return array.items[Offset(index, array.low_bound, array.items.size())];
}

Variant& Variant::At(int32_t index) {
  VariantArray& array = MutableArray();
  return array.items[Offset(index, array.low_bound, array.items.size())];
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.type_ != b.type_) return false;
  if (a.type_ == (VT_ARRAY | VT_VARIANT)) {
    const VariantArray& x = a.Array();
    const VariantArray& y = b.Array();
    return x.low_bound == y.low_bound && x.items == y.items;
  }
  if (a.type_ == VT_R4 || a.type_ == VT_R8 || a.type_ == VT_DATE) {
    double x = std::get<double>(a.value_);
    double y = std::get<double>(b.value_);
    return x == y || (x != x && y != y);  // NaN is itself here
  }
  return a.value_.index() == b.value_.index() && [&] {
    switch (a.value_.index()) {
      case 0:
        return true;
      case 1:
        return std::get<int64_t>(a.value_) == std::get<int64_t>(b.value_);
      case 3:
        return std::get<std::string>(a.value_) == std::get<std::string>(b.value_);
      case 4:
        return std::get<Decimal>(a.value_) == std::get<Decimal>(b.value_);
      case 5:
        return std::get<std::vector<uint8_t>>(a.value_) == std::get<std::vector<uint8_t>>(b.value_);
      default:
        return false;
    }
  }();
}

std::string Variant::DebugString() const {
  switch (type_) {
    case VT_EMPTY:
      return "Empty";
    case VT_NULL:
      return "Null";
    case VT_I2:
      return "I2 " + std::to_string(std::get<int64_t>(value_));
    case VT_I4:
      return "I4 " + std::to_string(std::get<int64_t>(value_));
    case VT_I8:
      return "I8 " + std::to_string(std::get<int64_t>(value_));
    case VT_UI1:
      return "UI1 " + std::to_string(std::get<int64_t>(value_));
    case VT_R4:
      return "R4 " + FloatToStr(std::get<double>(value_));
    case VT_R8:
      return "R8 " + FloatToStr(std::get<double>(value_));
    case VT_CY:
      return "CY " + ToString();
    case VT_DATE:
      return "DATE " + FloatToStr(std::get<double>(value_));
    case VT_BOOL:
      return std::get<int64_t>(value_) ? "BOOL True" : "BOOL False";
    case VT_BSTR:
      return "BSTR \"" + std::get<std::string>(value_) + "\"";
    case VT_DECIMAL:
      return "DECIMAL " + std::get<Decimal>(value_).ToString();
    case VT_ARRAY | VT_UI1: {
      std::string out = "Bytes[" + std::to_string(Count()) + "]{";
      const auto& bytes = Bytes();
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(bytes[i]);
      }
      return out + "}";
    }
    case VT_ARRAY | VT_VARIANT: {
      const VariantArray& array = Array();
      std::string out =
          "Array[" + std::to_string(LowBound()) + ".." + std::to_string(HighBound()) + "]{";
      for (size_t i = 0; i < array.items.size(); ++i) {
        if (i) out += ", ";
        out += array.items[i].DebugString();
      }
      return out + "}";
    }
    default:
      return TypeName() + " \"" + std::get<std::string>(value_) + "\"";
  }
}

void PrintTo(const Variant& value, std::ostream* os) { *os << value.DebugString(); }

std::ostream& operator<<(std::ostream& os, const Variant& value) {
  return os << value.DebugString();
}

Variant VarArrayCreate(int32_t low, int32_t high) {
  if (int64_t{high} < int64_t{low} - 1) throw VariantError::InvalidArgument();
  VariantArray array;
  array.low_bound = low;
  array.items.resize(static_cast<size_t>(int64_t{high} - low + 1));
  return Variant(std::move(array));
}

Variant VarArrayOf(std::vector<Variant> items) {
  return Variant(VariantArray{0, std::move(items)});
}

bool VarIsArray(const Variant& v) { return v.IsArray(); }
bool VarIsNull(const Variant& v) { return v.IsNull(); }
bool VarIsEmpty(const Variant& v) { return v.IsEmpty(); }
bool VarIsClear(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

int32_t VarArrayLowBound(const Variant& v) { return v.LowBound(); }
int32_t VarArrayHighBound(const Variant& v) { return v.HighBound(); }

std::string VarToStr(const Variant& v) { return v.IsNull() ? std::string() : v.ToString(); }

}  // namespace tillbase
