#include "server/session/provider_catalogue.h"

#include <stdexcept>

#include "server/session/co_tillbase_server.h"
#include "shared/proc_params.h"

namespace tillbase::session {
namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

constexpr DatasetKind kProc = DatasetKind::kStoredProc;
constexpr DatasetKind kQuery = DatasetKind::kQuery;
constexpr UpdateMode kAll = UpdateMode::kWhereAll;
constexpr UpdateMode kKey = UpdateMode::kWhereKeyOnly;

PacketField Text(const char* name, int length) {
  PacketField f;
  f.name = name;
  f.data_type = ftString;
  f.size = length;
  return f;
}

PacketField Of(const char* name, int type) {
  PacketField f;
  f.name = name;
  f.data_type = type;
  return f;
}

// An exact decimal field reports its scale as its size.
PacketField Bcd(const char* name, int precision, int scale) {
  PacketField f;
  f.name = name;
  f.data_type = ftBCD;
  f.size = scale;
  f.precision = precision;
  f.scale = scale;
  return f;
}

}  // namespace

const std::vector<ProviderInfo>& ProviderCatalogue() {
  static const std::vector<ProviderInfo> catalogue = {
      {"pv_sp_Execute", "sp_Execute", kProc, "", true, false, kAll},
      {"pv_sp_Open", "sp_Open", kProc, "", true, false, kAll},
      {"pv_qry_Execute", "qry_Execute", kQuery, "", true, false, kAll},
      {"pv_qry_Open", "qry_Open", kQuery, "", true, false, kAll},
      {"DataSetProvider", "ADOStoredProc", kProc, "", false, false, kAll},
      {"pv_Test", "sp_Test", kProc, "p_test;1", false, false, kAll},
      {"pv_qry_BaseSelect", "qry_BaseSelect", kQuery, "", true, false, kAll},
      {"pv_sp_BaseSelect", "sp_BaseSelect", kProc, "", true, false, kAll},
      {"pv_dst_Custom", "dst_Custom", DatasetKind::kClientDataSet, "", false, false, kAll},
      {"dspScheduler", "qScheduler", kQuery, "", true, true, kAll},
      {"dspPersonalNote", "qPersonalNote", kQuery, "", true, true, kAll},
      {"dspCustomerNote", "qCustomerNote", kQuery, "", true, true, kAll},
      {"dspQuery", "ADOQuery2", kQuery, "", true, true, kAll},
      {"dspResource", "qResource", kQuery, "", true, true, kAll},
      {"dpVipCards", "AdoVipCards", kQuery, "select * from VIPCards", true, false, kKey, true},
      {"dpVipCardTypes", "AdoVipCardTypes", kQuery, "select * from VipCardTypes", true, false,
       kAll},
      {"dpBtype", "AdoBtype", kQuery, "select * from btype", true, false, kAll},
      {"dpPosPtypeView", "adoPosPtypeView", kQuery, "select * from PosPtypeView", true, false,
       kKey},
      {"dpPosPtypeColorSizeView", "adoPosPtypeColorSizeView", kQuery,
       "select * from PosPtypeColorSizeView", true, false, kKey},
      {"dpPosBarCodeView", "adoPosBarCodeView", kQuery, "select * from PosBarCodeView", true, false,
       kKey},
      // SetQuerySQL replaces this text.
      {"dtpLocalView", "adoLocalView", kQuery, "select * from PosBarCodeView", true, false, kKey},
  };
  return catalogue;
}

const ProviderInfo* FindProvider(std::string_view name) {
  for (const ProviderInfo& p : ProviderCatalogue()) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

const ProviderInfo& ProviderByName(std::string_view name) {
  const ProviderInfo* p = FindProvider(name);
  if (!p) throw std::runtime_error("Provider not exported: " + std::string(name));
  return *p;
}

Variant AS_GetProviderNames() {
  std::vector<Variant> names;
  for (const ProviderInfo& p : ProviderCatalogue()) names.emplace_back(std::string(p.name));
  return VarArrayOf(std::move(names));
}

const std::vector<PacketField>& VipCardsFields() {
  static const std::vector<PacketField> fields = [] {
    PacketField id = Of("CardID", ftAutoInc);
    id.key = id.read_only = id.auto_increment = true;
    return std::vector<PacketField>{
        id,
        Text("CardNo", 18),
        Text("HandOutDate", 10),
        Text("ValidDate", 10),
        Text("HandOutDept", 25),
        Of("CardTypeID", ftInteger),
        Of("CardState", ftSmallint),
        Text("HolderName", 66),
        Text("HolderID", 18),
        Text("HolderTel", 66),
        Text("HolderAdd", 66),
        Of("HolderPhoto", ftBlob),
        Text("Birthday", 10),
        Text("Holderwork", 50),
        Text("Comment", 255),
        Text("LastDate", 10),
        Bcd("LastTotal", 24, 10),
        Of("LastRate", ftInteger),
        Bcd("LastDiscountTotal", 24, 10),
        Bcd("NowTotal", 24, 10),
        Of("NowRate", ftInteger),
        Bcd("NowDiscountTotal", 24, 10),
        Text("BtypeID", 25),
        Of("UsedCount", ftInteger),
        Bcd("PeriodTotal", 24, 10),
        Of("usevipprice", ftInteger),
        Text("password", 20),
        Bcd("ConsumeAbility", 24, 10),
        Bcd("SaveMoney", 24, 10),
        Bcd("AllConsume", 24, 10),
        Of("AllIntegral", ftInteger),
        Of("DoIntegral", ftInteger),
        Of("UndoIntegral", ftInteger),
        Bcd("favourable", 24, 10),
        Bcd("BackTotal", 24, 10),
        Bcd("UndoTotal", 24, 10),
        Bcd("LJXFJFJE", 24, 2),
    };
  }();
  return fields;
}

db::DataSet* DatasetOf(TCoTillbaseServer& session, const ProviderInfo& provider) {
  TCoTillbaseServer& s = session;
  const std::pair<std::string_view, db::DataSet*> datasets[] = {
      {"sp_Execute", &s.sp_Execute},
      {"sp_Open", &s.sp_Open},
      {"qry_Execute", &s.qry_Execute},
      {"qry_Open", &s.qry_Open},
      {"ADOStoredProc", &s.ADOStoredProc},
      {"sp_Test", &s.sp_Test},
      {"qry_BaseSelect", &s.qry_BaseSelect},
      {"sp_BaseSelect", &s.sp_BaseSelect},
      {"qScheduler", &s.qScheduler},
      {"qPersonalNote", &s.qPersonalNote},
      {"qCustomerNote", &s.qCustomerNote},
      {"ADOQuery2", &s.ADOQuery2},
      {"qResource", &s.qResource},
      {"AdoVipCards", &s.AdoVipCards},
      {"AdoVipCardTypes", &s.AdoVipCardTypes},
      {"AdoBtype", &s.AdoBtype},
      {"adoPosPtypeView", &s.adoPosPtypeView},
      {"adoPosPtypeColorSizeView", &s.adoPosPtypeColorSizeView},
      {"adoPosBarCodeView", &s.adoPosBarCodeView},
      {"adoLocalView", &s.adoLocalView},
  };
  for (const auto& [name, dataset] : datasets) {
    if (name == provider.dataset) return dataset;
  }
  return nullptr;
}

}  // namespace tillbase::session
