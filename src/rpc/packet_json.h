// The JSON form of a data packet, the member of {"$packet": ...} that the
// variant codec writes for a byte array holding a packet (docs/packets.md):
//   {"kind": "data" | "delta" | "errors",
//    "fields": [{"name": "CardID", "type": 14, "size": 0, "precision": 0,
//                "scale": 0, "flags": ["required", "readonly", "key", "autoinc"]}],
//    "rows": [[v, ...],                       an unchanged row without error
//             {"state": "modified", "values": [...], "original": [...],
//              "error": {"code": -1, "message": "..."}}]}
// Values are variants in the codec's own JSON form. Reading it back and
// encoding gives exactly the bytes that were written.
#pragma once

#include <boost/json/value.hpp>
#include <optional>
#include <string>
#include <vector>

#include "shared/data_packet.h"

namespace tillbase::rpc {

boost::json::value PacketToJson(const DataPacket& packet);
// Raises CodecError naming the place ("params[2].$packet.rows[3][1]").
DataPacket PacketFromJson(const boost::json::value& json, const std::string& where);

// The $packet member for a byte array, when the bytes are a packet that
// its JSON form carries exactly; otherwise (no packet, malformed, a value
// without JSON form) nothing, and the bytes travel as $bytes.
std::optional<boost::json::value> PacketBytesToJson(const std::vector<uint8_t>& bytes);

}  // namespace tillbase::rpc
