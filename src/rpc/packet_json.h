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
#include <span>
#include <string>
#include <vector>

#include "rpc/json_place.h"
#include "shared/data_packet.h"

namespace tillbase::rpc {

// Appends the JSON form of a packet's bytes, read in place (no packet or
// tree is built). Raises PacketError for malformed bytes and CodecError for
// a packet without an exact JSON form (text that is not UTF-8, a value
// kind the codec does not know); `out` then holds a part of the text.
void WritePacketJson(std::string& out, std::span<const uint8_t> bytes);
// The same, but false, with `out` as it was, where WritePacketJson raises.
bool TryWritePacketJson(std::string& out, std::span<const uint8_t> bytes);

boost::json::value PacketToJson(const DataPacket& packet);
// Raises CodecError naming the place ("params[2].$packet.rows[3][1]").
DataPacket PacketFromJson(const boost::json::value& json, const std::string& where);
// The packet's bytes straight from its JSON form, checked as PacketFromJson
// checks it; `where` is the place of the {"$packet": ...} object.
std::vector<uint8_t> PacketJsonToBytes(const boost::json::value& json, const JsonPlace& where);

}  // namespace tillbase::rpc
