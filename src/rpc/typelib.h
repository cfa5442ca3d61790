// The type library of the session class: every method of ICoTillhubServer
// and of IAppServer from which it derives, with dispids, parameter
// directions and types, and the three enumerations. The wire protocol
// checks calls against it and serves it as JSON at /v1/typelib.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tillbase::rpc {

enum class ParamType {
  kBstr,     // BSTR: text
  kVariant,  // VARIANT: any value
  kBool,     // VARIANT_BOOL
  kLong,     // 32-bit signed integer
  kDate,     // DATE: days since 1899-12-30
  kEnum,     // an enumeration of the library; carried as a long
};

enum class Direction { kIn, kOut, kInOut, kRetval };

struct ParamInfo {
  std::string name;
  ParamType type = ParamType::kVariant;
  Direction direction = Direction::kIn;
  bool by_reference = false;  // declared with '*'
  std::string enum_name;      // for kEnum
};

struct MethodInfo {
  std::string name;
  std::int32_t dispid = 0;
  std::string interface_name;  // "ICoTillhubServer" or "IAppServer"
  std::vector<ParamInfo> params;  // in declaration order, retval (if any) last

  // Parameters a caller passes: [in] and [in, out], in declaration order.
  std::vector<const ParamInfo*> InputParams() const;
  const ParamInfo* Retval() const;
  int IndexOf(std::string_view param_name) const;  // -1 when absent
};

struct EnumInfo {
  std::string name;
  std::vector<std::pair<std::string, std::int32_t>> values;
};

class TypeLibrary {
 public:
  // The library of TillcoreServer; built once, immutable, safe to share.
  static const TypeLibrary& Get();

  const std::vector<MethodInfo>& methods() const { return methods_; }
  const std::vector<EnumInfo>& enums() const { return enums_; }
  // Method names compare without regard to case, as dispatch names do.
  const MethodInfo* FindByName(std::string_view name) const;
  const MethodInfo* FindByDispid(std::int32_t dispid) const;
  const EnumInfo* FindEnum(std::string_view name) const;

  // Parses "[in] BSTR szName; [out, retval] VARIANT_BOOL* nResult" ("none"
  // or empty for no parameters). Throws on a malformed declaration.
  static std::vector<ParamInfo> ParseParams(std::string_view declaration);

  std::string ToJson() const;

 private:
  TypeLibrary();
  std::vector<MethodInfo> methods_;
  std::vector<EnumInfo> enums_;
};

std::string_view ParamTypeName(const ParamInfo& param);
std::string_view DirectionName(Direction direction);

}  // namespace tillbase::rpc
