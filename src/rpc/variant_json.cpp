#include "rpc/variant_json.h"

#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <limits>

#include "rpc/json_parse.h"
#include "rpc/json_writer.h"
#include "rpc/packet_json.h"
#include "shared/ole_date.h"

namespace tillbase::rpc {
namespace json = boost::json;
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void Fail(const JsonPlace& where, const std::string& what) {
  throw CodecError(where.Text() + ": " + what);
}

std::string CurrencyText(Currency cy) {
  // Exact: the scaled integer with four decimals.
  bool negative = cy.scaled < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(cy.scaled) : cy.scaled;
  std::string digits = std::to_string(magnitude);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
  digits.insert(digits.size() - 4, ".");
  return (negative ? "-" : "") + digits;
}

Currency ParseCurrency(std::string_view text, const JsonPlace& where) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  size_t dot = s.find('.');
  std::string_view whole = s.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
  auto all_digits = [](std::string_view d) {
    for (char c : d) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  };
  if (whole.empty() || !all_digits(whole) || !all_digits(fraction) || fraction.size() > 4 ||
      (dot != std::string_view::npos && fraction.empty())) {
    Fail(where,
         "$cy needs decimal text with at most 4 decimals, got \"" + std::string(text) + "\"");
  }
  std::string scaled(whole);
  scaled += fraction;
  scaled.append(4 - fraction.size(), '0');
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(scaled.data(), scaled.data() + scaled.size(), magnitude);
  uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                            : uint64_t(std::numeric_limits<int64_t>::max());
  if (ec != std::errc() || magnitude > limit) Fail(where, "$cy out of range: " + std::string(text));
  Currency cy;
  cy.scaled = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return cy;
}

const json::value* Field(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  return it == o.end() ? nullptr : &it->value();
}

int64_t IntegerOf(const json::value& v, const JsonPlace& where, std::string_view tag, int64_t low,
                  int64_t high) {
  int64_t i;
  if (v.is_int64()) {
    i = v.get_int64();
  } else if (v.is_uint64() && v.get_uint64() <= uint64_t(std::numeric_limits<int64_t>::max())) {
    i = static_cast<int64_t>(v.get_uint64());
  } else {
    Fail(where, std::string(tag) + " needs an integer");
  }
  if (i < low || i > high) Fail(where, std::string(tag) + " out of range: " + std::to_string(i));
  return i;
}

double NumberOf(const json::value& v, const JsonPlace& where, std::string_view tag) {
  if (v.is_double()) return v.get_double();
  if (v.is_int64()) return static_cast<double>(v.get_int64());
  if (v.is_uint64()) return static_cast<double>(v.get_uint64());
  Fail(where, std::string(tag) + " needs a number");
}

std::string_view TextOf(const json::value& v, const JsonPlace& where, std::string_view tag) {
  if (!v.is_string()) Fail(where, std::string(tag) + " needs a string");
  return v.get_string();
}

Variant FromTagged(const json::object& o, const JsonPlace& where) {
  if (o.empty()) Fail(where, "an object needs a tag such as \"$date\"");
  auto only = [&](std::initializer_list<std::string_view> allowed) {
    for (const auto& kv : o) {
      bool ok = false;
      for (std::string_view a : allowed) ok = ok || kv.key() == a;
      if (!ok) Fail(where, "unexpected member \"" + std::string(kv.key()) + "\"");
    }
  };
  if (const json::value* v = Field(o, "$empty")) {
    only({"$empty"});
    if (!v->is_bool() || !v->get_bool()) Fail(where, "$empty must be true");
    return Variant();
  }
  if (const json::value* v = Field(o, "$i2")) {
    only({"$i2"});
    return Variant(static_cast<int16_t>(IntegerOf(*v, where, "$i2", -32768, 32767)));
  }
  if (const json::value* v = Field(o, "$ui1")) {
    only({"$ui1"});
    return Variant(static_cast<uint8_t>(IntegerOf(*v, where, "$ui1", 0, 255)));
  }
  if (const json::value* v = Field(o, "$i8")) {
    only({"$i8"});
    if (v->is_string()) {
      std::string_view text = TextOf(*v, where, "$i8");
      int64_t i = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
      if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        Fail(where, "$i8 needs a 64-bit integer as text, got \"" + std::string(text) + "\"");
      }
      return Variant(static_cast<int64_t>(i));
    }
    return Variant(
        static_cast<int64_t>(IntegerOf(*v, where, "$i8", std::numeric_limits<int64_t>::min(),
                                       std::numeric_limits<int64_t>::max())));
  }
  if (const json::value* v = Field(o, "$r4")) {
    only({"$r4"});
    if (v->is_string()) {
      std::string text(v->get_string());
      if (text == "NaN") return Variant(std::numeric_limits<float>::quiet_NaN());
      if (text == "Infinity") return Variant(std::numeric_limits<float>::infinity());
      if (text == "-Infinity") return Variant(-std::numeric_limits<float>::infinity());
      Fail(where, "$r4 text must be NaN, Infinity or -Infinity");
    }
    double d = NumberOf(*v, where, "$r4");
    if (std::fabs(d) > std::numeric_limits<float>::max()) Fail(where, "$r4 out of range");
    return Variant(static_cast<float>(d));
  }
  if (const json::value* v = Field(o, "$r8")) {
    only({"$r8"});
    if (v->is_string()) {
      std::string text(v->get_string());
      if (text == "NaN") return Variant(std::numeric_limits<double>::quiet_NaN());
      if (text == "Infinity") return Variant(std::numeric_limits<double>::infinity());
      if (text == "-Infinity") return Variant(-std::numeric_limits<double>::infinity());
      Fail(where, "$r8 text must be NaN, Infinity or -Infinity");
    }
    return Variant(NumberOf(*v, where, "$r8"));
  }
  if (const json::value* v = Field(o, "$cy")) {
    only({"$cy"});
    if (v->is_string()) return Variant(ParseCurrency(v->get_string(), where));
    try {
      return Variant(Currency::FromDouble(NumberOf(*v, where, "$cy")));
    } catch (const std::exception& e) {
      Fail(where, e.what());
    }
  }
  if (const json::value* v = Field(o, "$date")) {
    only({"$date"});
    if (v->is_string()) {
      std::optional<double> date = TryParseDateTime(v->get_string());
      if (!date) Fail(where, "$date text is no date: \"" + std::string(v->get_string()) + "\"");
      return Variant::FromDate(*date);
    }
    double d = NumberOf(*v, where, "$date");
    if (!std::isfinite(d)) Fail(where, "$date must be finite");
    return Variant::FromDate(d);
  }
  if (const json::value* v = Field(o, "$decimal")) {
    only({"$decimal"});
    try {
      return Variant(Decimal::Parse(TextOf(*v, where, "$decimal")));
    } catch (const VariantError& e) {
      Fail(where, e.what());
    }
  }
  if (const json::value* v = Field(o, "$bytes")) {
    only({"$bytes"});
    return Variant(Base64Decode(TextOf(*v, where, "$bytes"), where));
  }
  if (const json::value* v = Field(o, "$fmtbcd")) {
    only({"$fmtbcd"});
    return Variant::Custom(kVarTypeFmtBcd, std::string(TextOf(*v, where, "$fmtbcd")));
  }
  if (const json::value* v = Field(o, "$sqltimestamp")) {
    only({"$sqltimestamp"});
    return Variant::Custom(kVarTypeSqlTimeStamp, std::string(TextOf(*v, where, "$sqltimestamp")));
  }
  if (const json::value* v = Field(o, "$array")) {
    only({"$array", "lbound"});
    if (!v->is_array()) Fail(where, "$array needs an array");
    VariantArray array;
    if (const json::value* lb = Field(o, "lbound")) {
      array.low_bound =
          static_cast<int32_t>(IntegerOf(*lb, where, "lbound", std::numeric_limits<int32_t>::min(),
                                         std::numeric_limits<int32_t>::max()));
    }
    const json::array& items = v->get_array();
    if (items.size() > 0 && int64_t(array.low_bound) + int64_t(items.size()) - 1 >
                                std::numeric_limits<int32_t>::max()) {
      Fail(where, "$array bounds exceed 32 bits");
    }
    array.items.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      array.items.push_back(VariantFromJson(items[i], where.Element(i)));
    }
    return Variant(std::move(array));
  }
  if (const json::value* v = Field(o, "$packet")) {
    only({"$packet"});
    try {
      return Variant(PacketJsonToBytes(*v, where));
    } catch (const PacketError& e) {
      Fail(where, e.what());
    }
  }
  Fail(where, "unknown tag \"" + std::string(o.begin()->key()) + "\"");
}

}  // namespace

namespace {

// {"$tag":
void OpenTag(std::string& out, std::string_view tag) {
  out += "{\"";
  out += tag;
  out += "\":";
}

// A double as VT_R8 and VT_R4 write it: NaN and infinities as text.
void WriteNumber(std::string& out, std::string_view tag, double d) {
  if (std::isfinite(d)) {
    if (!tag.empty()) OpenTag(out, tag);
    AppendJsonDouble(out, d);
    if (!tag.empty()) out += '}';
    return;
  }
  OpenTag(out, tag.empty() ? "$r8" : tag);
  out += std::isnan(d) ? "\"NaN\"}" : d > 0 ? "\"Infinity\"}" : "\"-Infinity\"}";
}

void WriteTaggedText(std::string& out, std::string_view tag, std::string_view text) {
  if (!IsValidUtf8(text)) throw CodecError("text is not valid UTF-8");
  OpenTag(out, tag);
  AppendJsonString(out, text);
  out += '}';
}

void WriteBytes(std::string& out, std::span<const uint8_t> bytes) {
  size_t mark = out.size();
  if (IsPacket(bytes)) {
    OpenTag(out, "$packet");
    if (TryWritePacketJson(out, bytes)) {
      out += '}';
      return;
    }
    out.resize(mark);
  }
  OpenTag(out, "$bytes");
  out += '"';
  AppendBase64(out, bytes);
  out += "\"}";
}

// A view of a variant that is no variant array, as a packet holds it.
PacketValue ViewOf(const Variant& value) {
  PacketValue v;
  v.type = value.type();
  switch (v.type) {
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_BOOL:
      v.integer = value.ToBool() ? 1 : 0;
      break;
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
      v.integer = value.ToInt64();
      break;
    case VT_R4:
      v.single = static_cast<float>(value.ToDouble());
      break;
    case VT_R8:
      v.real = value.ToDouble();
      break;
    case VT_DATE:
      v.real = value.ToDate();
      break;
    case VT_CY:
      v.integer = value.ToCurrency().scaled;
      break;
    case VT_DECIMAL:
      v.decimal = value.ToDecimal();
      break;
    default:
      if (value.IsByteArray()) {
        v.bytes = value.Bytes();
      } else if (v.type == VT_BSTR || value.IsCustom()) {
        v.text = value.StringValue();
      } else {
        throw CodecError("variant of type (" + VarTypeAsText(v.type) + ") has no JSON form");
      }
  }
  return v;
}

}  // namespace

void WriteValueJson(std::string& out, const PacketValue& v) {
  switch (v.type) {
    case VT_EMPTY:
      out += "{\"$empty\":true}";
      return;
    case VT_NULL:
      out += "null";
      return;
    case VT_BOOL:
      out += v.integer != 0 ? "true" : "false";
      return;
    case VT_BSTR:
      if (!IsValidUtf8(v.text)) throw CodecError("text is not valid UTF-8");
      AppendJsonString(out, v.text);
      return;
    case VT_I4:
      JsonPiece().Int(v.integer).AppendTo(out);
      return;
    case VT_R8:
      if (std::isfinite(v.real)) return JsonPiece().Double(v.real).AppendTo(out);
      WriteNumber(out, {}, v.real);
      return;
    case VT_I2:
      JsonPiece().Put("{\"$i2\":").Int(v.integer).Put("}").AppendTo(out);
      return;
    case VT_UI1:
      JsonPiece().Put("{\"$ui1\":").Int(v.integer).Put("}").AppendTo(out);
      return;
    case VT_I8:
      JsonPiece().Put("{\"$i8\":\"").Int(v.integer).Put("\"}").AppendTo(out);
      return;
    case VT_R4:
      WriteNumber(out, "$r4", static_cast<double>(v.single));
      return;
    case VT_CY:
      WriteTaggedText(out, "$cy", CurrencyText(Currency{v.integer}));
      return;
    case VT_DATE:
      if (!std::isfinite(v.real)) throw CodecError("a date must be finite");
      JsonPiece().Put("{\"$date\":").Double(v.real).Put("}").AppendTo(out);
      return;
    case VT_DECIMAL:
      WriteTaggedText(out, "$decimal", v.decimal.ToString());
      return;
    case kVarTypeFmtBcd:
      WriteTaggedText(out, "$fmtbcd", v.text);
      return;
    case kVarTypeSqlTimeStamp:
      WriteTaggedText(out, "$sqltimestamp", v.text);
      return;
    case VT_ARRAY | VT_UI1:
      WriteBytes(out, v.bytes);
      return;
    default:
      throw CodecError("variant of type (" + VarTypeAsText(v.type) + ") has no JSON form");
  }
}

void WriteVariantJson(std::string& out, const Variant& value) {
  if (value.type() != (VT_ARRAY | VT_VARIANT)) return WriteValueJson(out, ViewOf(value));
  const VariantArray& array = value.Array();
  if (array.low_bound != 0) OpenTag(out, "$array");
  out += '[';
  for (size_t i = 0; i < array.items.size(); ++i) {
    if (i > 0) out += ',';
    WriteVariantJson(out, array.items[i]);
  }
  out += ']';
  if (array.low_bound != 0) {
    out += ",\"lbound\":";
    AppendJsonInt(out, array.low_bound);
    out += '}';
  }
}

Variant VariantFromJson(const json::value& v, const JsonPlace& where) {
  switch (v.kind()) {
    case json::kind::null:
      return Variant::Null();
    case json::kind::bool_:
      return Variant(v.get_bool());
    case json::kind::string:
      return Variant(std::string(v.get_string()));
    case json::kind::int64: {
      int64_t i = v.get_int64();
      if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max()) {
        return Variant(static_cast<int32_t>(i));
      }
      return Variant(static_cast<double>(i));
    }
    case json::kind::uint64:
      return Variant(static_cast<double>(v.get_uint64()));
    case json::kind::double_:
      return Variant(v.get_double());
    case json::kind::array: {
      const json::array& items = v.get_array();
      VariantArray array;
      array.items.reserve(items.size());
      for (size_t i = 0; i < items.size(); ++i) {
        array.items.push_back(VariantFromJson(items[i], where.Element(i)));
      }
      return Variant(std::move(array));
    }
    case json::kind::object:
      return FromTagged(v.get_object(), where);
  }
  Fail(where, "unsupported JSON value");
}

Variant VariantFromJson(const json::value& json, const std::string& where) {
  return VariantFromJson(json, JsonPlace{nullptr, where});
}

std::string EncodeVariant(const Variant& value) {
  std::string out;
  WriteVariantJson(out, value);
  return out;
}

Variant DecodeVariant(std::string_view text) {
  try {
    return VariantFromJson(ParseJson(text));
  } catch (const JsonError& e) {
    throw CodecError(e.what());
  }
}

void AppendBase64(std::string& out, std::span<const uint8_t> bytes) {
  size_t at = out.size();
  out.resize(at + (bytes.size() + 2) / 3 * 4);
  char* p = out.data() + at;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    *p++ = kBase64[(n >> 18) & 63];
    *p++ = kBase64[(n >> 12) & 63];
    *p++ = kBase64[(n >> 6) & 63];
    *p++ = kBase64[n & 63];
  }
  if (i + 1 == bytes.size()) {
    uint32_t n = bytes[i] << 16;
    *p++ = kBase64[(n >> 18) & 63];
    *p++ = kBase64[(n >> 12) & 63];
    *p++ = '=';
    *p++ = '=';
  } else if (i + 2 == bytes.size()) {
    uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    *p++ = kBase64[(n >> 18) & 63];
    *p++ = kBase64[(n >> 12) & 63];
    *p++ = kBase64[(n >> 6) & 63];
    *p++ = '=';
  }
}

std::vector<uint8_t> Base64Decode(std::string_view text, const std::string& where) {
  return Base64Decode(text, JsonPlace{nullptr, where});
}

std::vector<uint8_t> Base64Decode(std::string_view text, const JsonPlace& where) {
  auto value_of = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) Fail(where, "$bytes is not base64 (length not a multiple of 4)");
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0 || (v[k] = value_of(c)) < 0) Fail(where, "$bytes is not base64");
    }
    uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(n));
    // Non-canonical padding bits would make two texts decode alike.
    if ((pad == 1 && (v[2] & 3) != 0) || (pad == 2 && (v[1] & 15) != 0)) {
      Fail(where, "$bytes is not canonical base64");
    }
  }
  return out;
}

}  // namespace tillbase::rpc
