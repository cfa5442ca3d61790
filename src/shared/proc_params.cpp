#include "shared/proc_params.h"

#include <array>
#include <stdexcept>

namespace tillbase {
namespace {

constexpr std::array<std::string_view, kFieldTypeCount> kFieldTypeNames = {
    "ftUnknown",    "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
    "ftFloat",      "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
    "ftBytes",      "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
    "ftFmtMemo",    "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftCursor",    "ftFixedChar",
    "ftWideString", "ftLargeint",   "ftADT",      "ftArray",       "ftReference", "ftDataSet",
    "ftOraBlob",    "ftOraClob",    "ftVariant",  "ftInterface",   "ftIDispatch", "ftGuid",
    "ftTimeStamp",  "ftFMTBcd"};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// A value as it may cross the interface: custom kinds become their text.
Variant InterfaceValue(const Variant& value) {
  if (value.IsCustom()) return Variant(value.ToString());
  return value;
}

}  // namespace

std::string_view FieldTypeName(int code) {
  if (code < 0 || code >= kFieldTypeCount) return {};
  return kFieldTypeNames[static_cast<size_t>(code)];
}

Variant PackParams(const std::vector<ParamEntry>& entries) {
  if (entries.empty()) return Variant::Null();
  std::vector<Variant> items;
  items.reserve(entries.size());
  for (const ParamEntry& entry : entries) {
    items.push_back(VarArrayOf({Variant(entry.name), InterfaceValue(entry.value),
                                Variant(entry.data_type), Variant(entry.kind), Variant(entry.size),
                                Variant(entry.precision), Variant(entry.numeric_scale)}));
  }
  return VarArrayOf(std::move(items));
}

std::vector<ParamEntry> UnpackParams(const Variant& list) {
  std::vector<ParamEntry> entries;
  // An array without elements reads as no entries: there is nothing in it to
  // misread. One whose lower bound is above 0 has entries but no element 0,
  // and raises the index error rather than dropping what the client sent.
  if (!list.IsArray() || list.Count() == 0) return entries;
  if (!list.Get(0).IsArray()) return entries;
  for (int32_t i = 0; i <= list.HighBound(); ++i) {
    const Variant item = list.Get(i);
    ParamEntry entry;
    int32_t high = item.HighBound();  // "Invalid argument" for a non-array
    entry.name = item.Get(0).ToString();
    entry.value = item.Get(1);
    if (high > 1) entry.data_type = item.Get(2).ToInt32();
    if (high > 2) entry.kind = item.Get(3).ToInt32();
    if (high > 3) entry.size = item.Get(4).ToInt32();
    if (high > 4) entry.precision = item.Get(5).ToInt32();
    if (high > 5) entry.numeric_scale = item.Get(6).ToInt32();
    entries.push_back(std::move(entry));
  }
  return entries;
}

const ParamEntry* FindParam(const std::vector<ParamEntry>& entries, std::string_view name) {
  for (const ParamEntry& entry : entries) {
    if (EqualsIgnoreAsciiCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

Variant MakeProcParamEntry(const ProcParam& param) {
  return VarArrayOf({Variant(param.name), InterfaceValue(param.value), Variant(param.data_type),
                     Variant(param.direction)});
}

Variant MakeProcParamArray(const std::vector<ProcParam>& params) {
  if (params.empty()) return Variant::Null();
  std::vector<Variant> items;
  items.reserve(params.size());
  for (const ProcParam& param : params) items.push_back(MakeProcParamEntry(param));
  return VarArrayOf(std::move(items));
}

namespace {

// A parameter of a number, date or Boolean type cannot hold a value that
// does not convert to that type; raises the conversion error when it
// cannot. Null and Empty fit every type.
void CheckValueFits(const Variant& value, int data_type) {
  if (value.IsNull() || value.IsEmpty()) return;
  switch (data_type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      (void)value.ToInt64();
      break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
      (void)value.ToDouble();
      break;
    case ftBoolean:
      (void)value.ToBool();
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      (void)value.ToDate();
      break;
    default:
      break;
  }
}

}  // namespace

void ApplyProcParamArray(const Variant& array, ProcParamTarget& target) {
  if (!array.IsArray()) return;
  if (!array.Get(1).IsArray()) return;  // no element 1: the index error
  for (int32_t i = 1; i <= array.HighBound(); ++i) {
    std::string name = target.ParamName(i);
    try {
      const Variant entry = array.Get(i);
      const Variant value = entry.Get(1);
      target.SetValue(i, value);
      int data_type = entry.Get(2).ToInt32();
      // Exact decimals travel as doubles.
      target.SetDataType(i, data_type == ftBCD ? ftFloat : data_type);
      CheckValueFits(value, data_type);
      target.SetDirection(i, entry.Get(3).ToInt32());
    } catch (const std::exception&) {
      throw std::runtime_error("执行存储过程失败。\r\r过程参数 '" + name +
                               "' 的数据类型与传入值的数据类型不一致。");
    }
  }
}

}  // namespace tillbase
