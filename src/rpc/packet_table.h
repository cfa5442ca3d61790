// A data packet as a plain-text table for terminals: the field names, a
// rule, one line per row, and a count. Delta packets get a leading state
// column, error packets a trailing message column.
#pragma once

#include <string>

#include "shared/data_packet.h"

namespace tillbase::rpc {

// Values: NULL as NULL, Empty as nothing, byte arrays as 0x..., dates as
// yyyy-mm-dd hh:nn:ss; long values are cut to 60 columns with "...".
// Columns are padded by display width (CJK characters take two columns).
std::string FormatPacketTable(const DataPacket& packet);

}  // namespace tillbase::rpc
