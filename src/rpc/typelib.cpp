#include "rpc/typelib.h"

#include <boost/json.hpp>
#include <cctype>
#include <stdexcept>

#include "rpc/identifiers.h"

namespace tillbase::rpc {
namespace {

struct MethodRow {
  const char* name;
  std::int32_t dispid;
  const char* params;
};

// IAppServer, from which ICoTillhubServer derives.
constexpr MethodRow kAppServerMethods[] = {
    {"AS_ApplyUpdates", 20000000,
     "[in] BSTR ProviderName; [in] VARIANT Delta; [in] long MaxErrors; [out] long* ErrorCount; "
     "[in, out] VARIANT* OwnerData; [out, retval] VARIANT* Result"},
    {"AS_GetRecords", 20000001,
     "[in] BSTR ProviderName; [in] long Count; [out] long* RecsOut; [in] long Options; "
     "[in] BSTR CommandText; [in, out] VARIANT* Params; [in, out] VARIANT* OwnerData; "
     "[out, retval] VARIANT* Result"},
    {"AS_DataRequest", 20000002,
     "[in] BSTR ProviderName; [in] VARIANT Data; [out, retval] VARIANT* Result"},
    {"AS_GetProviderNames", 20000003, "[out, retval] VARIANT* Result"},
    {"AS_GetParams", 20000004,
     "[in] BSTR ProviderName; [in, out] VARIANT* OwnerData; [out, retval] VARIANT* Result"},
    {"AS_RowRequest", 20000005,
     "[in] BSTR ProviderName; [in] VARIANT Row; [in] long RequestType; "
     "[in, out] VARIANT* OwnerData; [out, retval] VARIANT* Result"},
    {"AS_Execute", 20000006,
     "[in] BSTR ProviderName; [in] BSTR CommandText; [in, out] VARIANT* Params; "
     "[in, out] VARIANT* OwnerData"},
};

// ICoTillhubServer's own methods, in declaration order.
constexpr MethodRow kSessionMethods[] = {
    {"ConnectDB", 1, "[in] BSTR szComputerName; [in] BSTR szIPAddress; [out, retval] VARIANT_BOOL* nResult"},
    {"ExecuteProc", 2, "[in] BSTR szProcedureName; [in] VARIANT vInputParams; [in, out] VARIANT* vOutParams; [out, retval] long* nResult"},
    {"OpenProc", 3, "[in] BSTR szProcedureName; [in] VARIANT vInputParams; [out, retval] long* nResult"},
    {"ExecuteSQL", 4, "[in] BSTR szSQL; [out, retval] long* nResult"},
    {"OpenSQL", 5, "[in] BSTR szSQL; [out, retval] long* nResult"},
    {"ChangeDB", 6, "[in] BSTR szDBName; [out, retval] VARIANT_BOOL* nResult"},
    {"CreateAccount", 7, "[in] BSTR szAccountName; [in] BSTR szLogin; [in] BSTR szPassword; [out, retval] VARIANT_BOOL* nResult"},
    {"DeleteAccount", 8, "[in] BSTR szAccountName; [in] BSTR szLogin; [in] BSTR szPassword; [out, retval] VARIANT_BOOL* nResult"},
    {"Login", 9, "[in] BSTR szLogin; [in] BSTR szPassword; [out, retval] VARIANT_BOOL* nResult"},
    {"TestParams", 10, "none"},
    {"ForceCloseExpireAr", 11, "[in] long nVchcode; [out, retval] VARIANT_BOOL* bResult"},
    {"GetSysValue", 12, "[in] BSTR szName; [out, retval] BSTR* bResult"},
    {"SetSysValue", 13, "[in] BSTR szName; [in] BSTR szValue"},
    {"CheckSysCon", 14, "[in] long nSysCon; [out, retval] VARIANT_BOOL* bResult"},
    {"CheckLimit", 15, "[in] BSTR szOperatorID; [in] long nLimit; [out, retval] VARIANT_BOOL* bResult"},
    {"GetServerDate", 16, "[out, retval] DATE* dResult"},
    {"GetDatabaseDate", 17, "[out, retval] DATE* dResult"},
    {"GetAllButtonType", 19, "[in] long nVersion"},
    {"GetAllDataType", 20, "[in] long nVersion"},
    {"GetAllStrings", 21, "[in] long nVersion"},
    {"GetStrings", 22, "[in] long nVersion; [in] long nStringNo; [out, retval] BSTR* sResult"},
    {"GetMessages", 23, "[in] long nVersion; [in] long nMessageNo; [out, retval] BSTR* sResult"},
    {"GetFullNameByID", 18, "[in] BSTR szParamName; [in] BSTR szTypeID; [out, retval] BSTR* sResult"},
    {"GetATypeID", 24, "[in] long nATypeIDNo; [out, retval] BSTR* sResult"},
    {"BaseSelect", 25, "[in] enSelectBaseType enBaseType; [in] BSTR szSearchType; [in] BSTR szSearchString; [in] BSTR szParID; [in] BSTR szKTypeID; [in] BSTR szAssistant1; [in] BSTR szAssistant2; [in] enSubjectType enSubjectType; [in] VARIANT SelectOptions; [in] VARIANT BusinessType; [in] VARIANT StockType; [in] BSTR szOperatorID; [out, retval] VARIANT_BOOL* bResult"},
    {"GetVchNumber", 26, "[in] long nWork; [in] long nVchType; [in] BSTR szDate; [in] BSTR szNumberIn; [out] BSTR* szNumber; [out, retval] VARIANT_BOOL* bResult"},
    {"GetBaseTree", 27, "[in] long Param1; [in] long Param2; [in] long Param3; [in] long Param4"},
    {"GetVchPrefix", 28, "[in] long nVchType; [out, retval] BSTR* szString"},
    {"ProcessBill", 29, "[in] enProcessMode pm; [in] VARIANT_BOOL bIsOrder; [in] VARIANT OwnerData; [out] VARIANT* vOutParams; [out, retval] long* bResult"},
    {"GetPriceTrack", 31, "[in] BSTR szBTypeID; [in] BSTR szPTypeID; [out] VARIANT* vPrice; [out, retval] VARIANT_BOOL* bResult"},
    {"GetColNames", 30, "[in] BSTR AFormName; [out, retval] BSTR* szResult"},
    {"GetUserPass", 32, "[in, out] BSTR* nRet1; [in, out] BSTR* nRet2; [in, out] BSTR* nRet3; [in, out] BSTR* nRet4; [in, out] BSTR* nRet5"},
    {"BackUpDataBase", 33, "[in] BSTR Param1; [in] BSTR Param2; [in, out] long* Param3; [out] BSTR* Param4"},
    {"DeleteBackup", 34, "[in] VARIANT Param1"},
    {"RestoreDataBase", 35, "[in] VARIANT Param1; [out] long* nRet; [out] BSTR* sErrorMsg"},
    {"UpdateData", 36, "[in] VARIANT Param1; [out] long* Param2; [out] BSTR* ErrorMsg"},
    {"CreateZT", 37, "[in] VARIANT szUserName; [in] VARIANT szPassword; [in] VARIANT szFullname; [in] VARIANT dbname; [in] VARIANT IsDemo; [out] long* nRet; [out] BSTR* sErrorMsg"},
    {"DeleteZT", 38, "[in] BSTR Param1; [in] BSTR Param2; [in] long Param3; [out] long* Param4"},
    {"GetBasicFullname", 128, "[in] VARIANT Param1; [in] VARIANT Param2; [in] VARIANT Param3; [in] VARIANT Param4; [in] VARIANT Param5; [out] long* Param6"},
    {"NetConnect", 42, "[in] BSTR szGUID; [out] long* lsReturn"},
    {"DisConnect", 43, "[in] BSTR szGUID; [in] BSTR szComputerName; [in] BSTR szIPAddress"},
    {"Refresh", 44, "none"},
    {"GetServerVersion", 46, "[out] VARIANT* szReturn"},
    {"GetZT", 47, "[out] long* Param1"},
    {"CheckBackUp", 56, "[in] long Days; [out, retval] VARIANT_BOOL* nRet"},
    {"GetBackupInfo", 40, "[in, out] VARIANT* BackupInfo; [out, retval] VARIANT_BOOL* nRet"},
    {"TransactionController", 41, "[in] long TransMode"},
    {"SaveDlyChecked", 302, "[in] long Vchcode; [in] VARIANT OwnerData; [out, retval] VARIANT_BOOL* nRst"},
    {"testbinary", 303, "[in] VARIANT NewParam"},
    {"ProcessBillDetail", 301, "[in] enProcessMode pm; [in] VARIANT_BOOL bIsOrder; [in] VARIANT OwnerData; [out] VARIANT* vOutParams; [out, retval] BSTR* Value"},
    {"GetIPAddress", 304, "[out, retval] BSTR* RetIPStr"},
    {"GetUpdateSystemGuage", 305, "[out] long* iGuage; [out] long* iCount; [out] long* Param2; [out] BSTR* ErrorMsg; [in] long* iItemIndex"},
    {"DisposeListItem", 306, "[in] long* iItemIndex"},
    {"ExecProcRet", 307, "[in] long* iItemIndex; [out] VARIANT* vOutParams; [out, retval] long* nResult"},
    {"SetQuerySQL", 308, "[in] BSTR szSQL; [out, retval] long* nResult"},
    {"KeepConnection", 309, "none"},
};

const std::pair<const char*, std::int32_t> kSelectBaseType[] = {
    {"sbtAType", 0}, {"sbtPType", 1}, {"sbtBType", 2}, {"sbtCBType", 3}, {"sbtSBType", 4}, {"sbtOBType", 5}, {"sbtOARBType", 6}, {"sbtOAPBType", 7}, {"sbtFBType", 8}, {"sbtArea", 9}, {"sbtKType", 10}, {"sbtEType", 11}, {"sbtZType", 12}, {"sbtDType", 13}, {"sbtJType", 14}, {"sbtMType", 15}, {"sbtVchtype", 16}, {"sbtOType", 17}, {"sbtGPType", 18}, {"sbtDWType", 19}, {"sbtCBObject", 20}, {"sbtATypeCW", 21}, {"sbtColor", 22}, {"sbtSize", 23}, {"sbtSizeGroup", 24}, {"sbtBTypeAndAgent", 25}, {"sbtJoin", 26}, {"sbtAgent", 27}, {"sbtSShop", 28}, {"sbtBTypeAndShop", 29}, {"sbtSelf", 30}, {"sbtShop", 31}, {"sbtNoOnWay", 32}, {"sbtSeason", 33}, {"sbtPinPai", 34}, {"sbtAssThree", 35}, {"sbtAssFour", 36}, {"sbtEType1", 37}, {"sbtColorGroup", 38}, {"sbtPMtype", 39}, {"sbtStockAndSelf", 40}, {"sbtJoinCust", 41}, {"sbtjoinselfAndShop", 42}, {"sbtStypeJoinAndAgent", 43}, {"sbtYsFztype", 44}, {"sbtStock", 45}, {"sbtStockAndJoin", 46}, {"sbtNOShop", 47}, {"sbtStypeAndShop", 48}, {"sbtKtypeAndJoin", 49}, {"sbtSelfAndShop", 50}, {"sbtCardType", 51}, {"sbtStockReceive", 52}, {"sbtSPType", 53}, {"sbtPtypeGroup", 54}, {"sbtShopReceive", 55}, {"sbtCtypeGroup", 56}, {"sbtZone", 57}, {"sbtPdKtype", 58}, {"sbtSite", 59}, {"sbtAssFive", 60}, {"sbtAssSix", 61}, {"sbtAssSeven", 62}, {"sbtAssEight", 63}, {"sbtsaleTrait", 64},
};

const std::pair<const char*, std::int32_t> kSubjectType[] = {
    {"stAll", 0},           {"stCash", 1},           {"stBank", 2},
    {"stBankroll", 3},      {"stExpenses", 4},       {"stOperatinExpenses", 5},
    {"stOverheadExpenses", 6}, {"stFinancialExpenses", 7}, {"stAsset", 8},
    {"stLiability", 9},     {"stIncome", 10},        {"stOutlay", 11},
    {"stPorfitLoss", 12},   {"stOwnerEquity", 13},   {"stCost", 14},
    {"stOtherIncome", 15},  {"stEquipment", 16},     {"stCashBankLend", 17},
    {"stBankrollExt", 18},
};

const std::pair<const char*, std::int32_t> kProcessMode[] = {
    {"pmSave", 0},   {"pmSaveAs", 1}, {"pmDraft", 2},     {"pmUpdate", 3},
    {"pmDelete", 4}, {"pmRed", 5},    {"pmAuditing", 6}, {"pmKeepAccount", 7},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

template <size_t N>
EnumInfo MakeEnum(const char* name, const std::pair<const char*, std::int32_t> (&values)[N]) {
  EnumInfo info;
  info.name = name;
  for (const auto& [value_name, value] : values) info.values.emplace_back(value_name, value);
  return info;
}

}  // namespace

std::vector<const ParamInfo*> MethodInfo::InputParams() const {
  std::vector<const ParamInfo*> inputs;
  for (const ParamInfo& p : params) {
    if (p.direction == Direction::kIn || p.direction == Direction::kInOut) inputs.push_back(&p);
  }
  return inputs;
}

const ParamInfo* MethodInfo::Retval() const {
  for (const ParamInfo& p : params) {
    if (p.direction == Direction::kRetval) return &p;
  }
  return nullptr;
}

int MethodInfo::IndexOf(std::string_view param_name) const {
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].name == param_name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<ParamInfo> TypeLibrary::ParseParams(std::string_view declaration) {
  std::vector<ParamInfo> params;
  declaration = Trim(declaration);
  if (declaration.empty() || declaration == "none") return params;
  while (!declaration.empty()) {
    size_t end = declaration.find(';');
    std::string_view item = Trim(declaration.substr(0, end));
    declaration = end == std::string_view::npos ? std::string_view() : declaration.substr(end + 1);
    if (item.empty() || item.front() != '[') {
      throw std::invalid_argument("parameter declaration without attributes: " + std::string(item));
    }
    size_t close = item.find(']');
    if (close == std::string_view::npos) {
      throw std::invalid_argument("unterminated attributes: " + std::string(item));
    }
    std::string attributes;
    for (char c : item.substr(1, close - 1)) {
      if (c != ' ') attributes += c;
    }
    ParamInfo param;
    if (attributes == "in") {
      param.direction = Direction::kIn;
    } else if (attributes == "out") {
      param.direction = Direction::kOut;
    } else if (attributes == "in,out") {
      param.direction = Direction::kInOut;
    } else if (attributes == "out,retval") {
      param.direction = Direction::kRetval;
    } else {
      throw std::invalid_argument("unknown attributes [" + attributes + "]");
    }
    std::string_view rest = Trim(item.substr(close + 1));
    size_t space = rest.rfind(' ');
    if (space == std::string_view::npos) {
      throw std::invalid_argument("parameter without a name: " + std::string(item));
    }
    std::string_view type = Trim(rest.substr(0, space));
    param.name = std::string(Trim(rest.substr(space + 1)));
    if (!type.empty() && type.back() == '*') {
      param.by_reference = true;
      type.remove_suffix(1);
    }
    if (type == "BSTR") {
      param.type = ParamType::kBstr;
    } else if (type == "VARIANT") {
      param.type = ParamType::kVariant;
    } else if (type == "VARIANT_BOOL") {
      param.type = ParamType::kBool;
    } else if (type == "long") {
      param.type = ParamType::kLong;
    } else if (type == "DATE") {
      param.type = ParamType::kDate;
    } else if (type.starts_with("en")) {
      param.type = ParamType::kEnum;
      param.enum_name = std::string(type);
    } else {
      throw std::invalid_argument("unknown parameter type " + std::string(type));
    }
    params.push_back(std::move(param));
  }
  return params;
}

TypeLibrary::TypeLibrary() {
  auto add = [this](const MethodRow& row, std::string_view interface_name) {
    MethodInfo method;
    method.name = row.name;
    method.dispid = row.dispid;
    method.interface_name = std::string(interface_name);
    method.params = ParseParams(row.params);
    methods_.push_back(std::move(method));
  };
  for (const MethodRow& row : kAppServerMethods) add(row, kAppServerName);
  for (const MethodRow& row : kSessionMethods) add(row, kInterfaceName);
  enums_.push_back(MakeEnum("enSelectBaseType", kSelectBaseType));
  enums_.push_back(MakeEnum("enSubjectType", kSubjectType));
  enums_.push_back(MakeEnum("enProcessMode", kProcessMode));
}

const TypeLibrary& TypeLibrary::Get() {
  static const TypeLibrary library;
  return library;
}

const MethodInfo* TypeLibrary::FindByName(std::string_view name) const {
  for (const MethodInfo& m : methods_) {
    if (EqualsIgnoringCase(m.name, name)) return &m;
  }
  return nullptr;
}

const MethodInfo* TypeLibrary::FindByDispid(std::int32_t dispid) const {
  for (const MethodInfo& m : methods_) {
    if (m.dispid == dispid) return &m;
  }
  return nullptr;
}

const EnumInfo* TypeLibrary::FindEnum(std::string_view name) const {
  for (const EnumInfo& e : enums_) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

std::string_view ParamTypeName(const ParamInfo& param) {
  switch (param.type) {
    case ParamType::kBstr:
      return "BSTR";
    case ParamType::kVariant:
      return "VARIANT";
    case ParamType::kBool:
      return "VARIANT_BOOL";
    case ParamType::kLong:
      return "long";
    case ParamType::kDate:
      return "DATE";
    case ParamType::kEnum:
      return param.enum_name;
  }
  return "VARIANT";
}

std::string_view DirectionName(Direction direction) {
  switch (direction) {
    case Direction::kIn:
      return "in";
    case Direction::kOut:
      return "out";
    case Direction::kInOut:
      return "in,out";
    case Direction::kRetval:
      return "out,retval";
  }
  return "in";
}

std::string TypeLibrary::ToJson() const {
  namespace json = boost::json;
  json::object root;
  root["library"] = std::string(kTypeLibraryName);
  json::object coclass;
  coclass["name"] = std::string(kClassName);
  coclass["clsid"] = std::string(kClassClsid);
  coclass["progid"] = std::string(kProgId);
  coclass["description"] = std::string(kClassDescription);
  root["coclass"] = std::move(coclass);
  json::array interfaces;
  for (auto [name, iid, base] :
       {std::tuple{kAppServerName, kAppServerIid, std::string_view()},
        std::tuple{kInterfaceName, kInterfaceIid, kAppServerName}}) {
    json::object itf;
    itf["name"] = std::string(name);
    itf["iid"] = std::string(iid);
    itf["dual"] = true;
    if (!base.empty()) {
      itf["base"] = std::string(base);
      itf["helpstring"] = std::string(kInterfaceHelpString);
    }
    json::array methods;
    for (const MethodInfo& m : methods_) {
      if (m.interface_name != name) continue;
      json::object method;
      method["name"] = m.name;
      method["dispid"] = m.dispid;
      json::array params;
      for (const ParamInfo& p : m.params) {
        json::object param;
        param["name"] = p.name;
        param["type"] = std::string(ParamTypeName(p)) + (p.by_reference ? "*" : "");
        param["direction"] = std::string(DirectionName(p.direction));
        params.push_back(std::move(param));
      }
      method["params"] = std::move(params);
      methods.push_back(std::move(method));
    }
    itf["methods"] = std::move(methods);
    interfaces.push_back(std::move(itf));
  }
  root["interfaces"] = std::move(interfaces);
  json::array enums;
  for (const EnumInfo& e : enums_) {
    json::object en;
    en["name"] = e.name;
    json::array values;
    for (const auto& [value_name, value] : e.values) {
      values.push_back(json::object{{"name", value_name}, {"value", value}});
    }
    en["values"] = std::move(values);
    enums.push_back(std::move(en));
  }
  root["enums"] = std::move(enums);
  return json::serialize(root);
}

}  // namespace tillbase::rpc
