// The variant JSON codec of the wire protocol, exact in both directions:
//   Empty                 {"$empty": true}  (a missing value also reads as Empty)
//   Null                  null
//   VT_BOOL               true / false
//   VT_BSTR               "text"
//   VT_I4                 a JSON integer (a JSON integer outside 32 bits reads as VT_R8)
//   VT_R8                 a JSON number with fraction or exponent (2.0, 1E300);
//                         NaN and infinities as {"$r8": "NaN" | "Infinity" | "-Infinity"}
//   VT_I2 / VT_UI1        {"$i2": 5} / {"$ui1": 7}
//   VT_I8                 {"$i8": "9007199254740993"}  (text: other languages lose digits)
//   VT_R4                 {"$r4": 1.5}; NaN and infinities as for VT_R8 under "$r4"
//   VT_CY                 {"$cy": "12.3400"}  (exact decimal text, up to 4 decimals)
//   VT_DATE               {"$date": 40973.5882986111}  (OLE date; text "yyyy-mm-dd hh:nn:ss"
//                         is accepted when reading)
//   VT_DECIMAL            {"$decimal": "-12.50"}
//   byte array            {"$bytes": "base64"}
//   variant array         [ ... ] with lower bound 0, else {"$array": [...], "lbound": n}
//   custom kinds          {"$fmtbcd": "text"} / {"$sqltimestamp": "text"}
//   data packet           {"$packet": {...}}: a byte array holding a data packet
//                         (rpc/packet_json.h, docs/packets.md)
#pragma once

#include <boost/json/value.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "rpc/json_place.h"
#include "shared/packet_reader.h"
#include "shared/variant.h"

namespace tillbase::rpc {

// A JSON value that is no variant; the message names the place ("params[1][0]").
class CodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How deeply variant arrays may nest when a written value is read back as
// a tree (PacketToJson).
inline constexpr std::size_t kMaxVariantDepth = 1024;

// Appends the value's JSON text; throws CodecError for a value without a
// JSON form (nothing of it is then left in `out` that matters: callers
// drop the text). EncodeVariant returns the same text.
void WriteVariantJson(std::string& out, const Variant& value);
// The same for a value read from a packet's bytes (any but a variant array,
// whose elements the caller writes).
void WriteValueJson(std::string& out, const PacketValue& value);

// `where` names the value in error messages.
Variant VariantFromJson(const boost::json::value& json, const std::string& where = "value");
Variant VariantFromJson(const boost::json::value& json, const JsonPlace& where);

std::string EncodeVariant(const Variant& value);
Variant DecodeVariant(std::string_view text);

// Base64 (RFC 4648, with padding); decoding throws CodecError on bad input.
void AppendBase64(std::string& out, std::span<const uint8_t> bytes);
std::vector<uint8_t> Base64Decode(std::string_view text, const std::string& where);
std::vector<uint8_t> Base64Decode(std::string_view text, const JsonPlace& where);

}  // namespace tillbase::rpc
