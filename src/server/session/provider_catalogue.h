// The session's providers: each wraps one dataset of the session and says
// what a client may do through it (send its own command text, have updates
// written through the dataset, how generated statements find a row).
// Looked up by name without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shared/data_packet.h"
#include "shared/variant.h"

namespace tillbase::db {
class DataSet;
}

namespace tillbase::session {

class TCoTillbaseServer;

enum class DatasetKind { kStoredProc, kQuery, kClientDataSet };

// How generated UPDATE and DELETE statements locate the row.
enum class UpdateMode {
  kWhereAll,      // by every field's original value
  kWhereKeyOnly,  // by the key fields alone
};

struct ProviderInfo {
  std::string_view name;     // the provider's component name
  std::string_view dataset;  // the dataset's component name
  DatasetKind kind;
  // The dataset's own SQL text or procedure; empty when a call prepares it.
  std::string_view fixed_text;
  bool allow_command_text;
  bool resolve_to_dataset;
  UpdateMode update_mode;
  // The dataset has fixed fields (only AdoVipCards): see VipCardsFields.
  bool fixed_fields = false;
};

// All providers, in the order the session registers them.
const std::vector<ProviderInfo>& ProviderCatalogue();

// By name without regard to case; nullptr when no provider has that name.
const ProviderInfo* FindProvider(std::string_view name);
// As FindProvider; raises "Provider not exported: <name>".
const ProviderInfo& ProviderByName(std::string_view name);

// AS_GetProviderNames: a variant array (lower bound 0) of the names.
Variant AS_GetProviderNames();

// The fixed fields of AdoVipCards (table VIPCards), in order; CardID is the
// auto-increment key, read-only, and the only field that locates a row.
const std::vector<PacketField>& VipCardsFields();

// The session's dataset that the provider wraps; nullptr for dst_Custom,
// the in-memory dataset that holds no data.
db::DataSet* DatasetOf(TCoTillbaseServer& session, const ProviderInfo& provider);

}  // namespace tillbase::session
