#include "server/session/session_object.h"

#include <string>
#include <unordered_map>

#include "rpc/call_frame.h"

namespace tillbase::session {
namespace {

using Body = Variant (*)(TCoTillbaseServer&, std::vector<Variant>&);

// The protocol has checked the argument count and coerced the [in] values
// to their declared types, so the bodies read them directly.
std::string Text(const std::vector<Variant>& args, size_t i) { return VarToStr(args.at(i)); }
int32_t Long(const std::vector<Variant>& args, size_t i) { return args.at(i).ToInt32(); }

const std::unordered_map<std::string, Body>& Bodies() {
  static const std::unordered_map<std::string, Body> bodies = {
      {"ConnectDB",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.ConnectDB(Text(a, 0), Text(a, 1)));
       }},
      {"ChangeDB",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         bool result = false;
         s.ChangeDB(Text(a, 0), result);
         return Variant(result);
       }},
      {"NetConnect",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         int32_t ls_return = 0;
         s.NetConnect(Text(a, 0), ls_return);
         a.at(1) = Variant(ls_return);
         return Variant();
       }},
      {"DisConnect",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         s.DisConnect(Text(a, 0), Text(a, 1), Text(a, 2));
         return Variant();
       }},
      {"Refresh",
       [](TCoTillbaseServer& s, std::vector<Variant>&) {
         s.Refresh();
         return Variant();
       }},
      {"GetServerVersion",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         s.GetServerVersion(a.at(0));
         return Variant();
       }},
      {"TransactionController",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         s.TransactionController(Long(a, 0));
         return Variant();
       }},
      {"GetIPAddress",
       [](TCoTillbaseServer& s, std::vector<Variant>&) { return Variant(s.GetIPAddress()); }},
      {"KeepConnection",
       [](TCoTillbaseServer& s, std::vector<Variant>&) {
         s.KeepConnection();
         return Variant();
       }},
  };
  return bodies;
}

}  // namespace

rpc::InvokeResult SessionObject::Invoke(const rpc::MethodInfo& method, std::vector<Variant>& args) {
  auto it = Bodies().find(method.name);
  return rpc::RunInCallFrame(method, args, [&]() -> Variant {
    if (it == Bodies().end()) rpc::ThrowNotImplemented();
    return it->second(session_, args);
  });
}

std::unique_ptr<rpc::ServedObject> SessionFactory::Create(std::string_view class_name) {
  if (!rpc::IsSessionClass(class_name)) throw rpc::ClassNotRegistered(class_name);
  return std::make_unique<SessionObject>(server_);
}

void SessionFactory::Released(std::size_t remaining) {
  if (remaining == 0 && last_released_) last_released_();
}

}  // namespace tillbase::session
