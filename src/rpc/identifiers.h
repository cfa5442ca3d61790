// Identifiers of the session class and its interface, as clients and the
// class registration name them.
#pragma once

#include <cstdint>
#include <string_view>

namespace tillbase::rpc {

inline constexpr std::string_view kTypeLibraryName = "TillcoreServer";
inline constexpr std::string_view kClassName = "CoTillbaseServer";
inline constexpr std::string_view kClassClsid = "{46359509-A19A-4D07-9D00-F7BA83D6ABBE}";
inline constexpr std::string_view kClassDescription = "CoKeppaServer Object";
inline constexpr std::string_view kProgId = "TillcoreServer.CoTillbaseServer";
inline constexpr std::string_view kInterfaceName = "ICoTillhubServer";
inline constexpr std::string_view kInterfaceIid = "{DFA6B925-EDDC-4429-B175-E76F4D33E935}";
inline constexpr std::string_view kInterfaceHelpString =
    "Dispatch interface for CoKeppaServer Object";
inline constexpr std::string_view kAppServerName = "IAppServer";
inline constexpr std::string_view kAppServerIid = "{1AEFCC20-7A24-11D2-98B0-C69BEB4B5B6D}";

// HRESULTs the wire protocol and the call frame use.
using HResult = std::int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
inline constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFFu);
inline constexpr HResult kDispEUnknownName = static_cast<HResult>(0x80020006u);
inline constexpr HResult kDispETypeMismatch = static_cast<HResult>(0x80020005u);
inline constexpr HResult kDispEBadParamCount = static_cast<HResult>(0x8002000Eu);
inline constexpr HResult kDispEMemberNotFound = static_cast<HResult>(0x80020003u);

}  // namespace tillbase::rpc
