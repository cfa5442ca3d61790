// Data packets from the session's datasets: the field definitions of a
// record set, rows read in pages of Count records, and the provider's record
// request (AS_GetRecords) on the dataset it wraps.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "db/dataset.h"
#include "db/record_set.h"
#include "server/session/provider_catalogue.h"
#include "shared/data_packet.h"

namespace tillbase::session {

// Bits of AS_GetRecords' Options.
inline constexpr int32_t kGetRecordsMetaData = 1;
// Start again from the first record: the dataset is closed and reopened.
inline constexpr int32_t kGetRecordsReset = 2;

// The record set's field definitions as a packet carries them. An identity
// column is read-only and auto-increment; key fields are those of the base
// table's primary key.
std::vector<PacketField> PacketFieldsOf(const db::RecordSet& records);

// A packet of up to `count` records from the current record on (-1: all the
// rest; 0: none, field definitions only), leaving the record set on the
// first record not read, so that the next call continues there. With
// `fixed` the packet has exactly those fields, read by name ("Field '<name>'
// not found" when the result lacks one). recs_out: the records in the packet.
// The rows go straight into the packet's bytes.
Variant WritePacket(db::RecordSet& records, int32_t count, int32_t& recs_out,
                    const std::vector<PacketField>* fixed = nullptr);

// The provider's record request on its dataset (nullptr for a dataset the
// session does not have, an in-memory one without data):
//   - Options with kGetRecordsReset starts over;
//   - a command text, where the provider allows it, replaces the dataset's
//     SQL text or procedure (refreshing its parameters); where it does not,
//     the request fails;
//   - Params (a packed parameter list or a procedure parameter array) set
//     the dataset's parameters by name; a name the dataset lacks fails with
//     "Parameter '<name>' not found";
//   - the dataset is opened if closed and stays open, so that the next
//     request continues where this one stopped.
// Returns the packet as its variant.
Variant GetRecords(const ProviderInfo& provider, db::DataSet* dataset, int32_t count,
                   int32_t options, std::string_view command_text, const Variant& params,
                   int32_t& recs_out);

// AS_GetParams on a provider: the dataset's parameters as a procedure
// parameter array (return value first; Null for a query).
Variant GetParams(db::DataSet* dataset);

// AS_Execute on a provider: a stored procedure takes Params by position
// (ArrayToProcParams), or the command text as its procedure where the
// provider allows it, runs without rows, and Params becomes its parameter
// array afterwards; a query runs its SQL text (or the command text).
void Execute(const ProviderInfo& provider, db::DataSet* dataset, std::string_view command_text,
             Variant& params);

// AS_RowRequest and AS_DataRequest: packets carry every value inline
// (blobs and details included) and no provider answers data requests, so
// both answer Null; the dataset must exist.
Variant RowRequest(db::DataSet* dataset);
Variant DataRequest(const Variant& data);

}  // namespace tillbase::session
