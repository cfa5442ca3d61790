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
      {"ExecuteProc",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.ExecuteProc(Text(a, 0), a.at(1), a.at(2)));
       }},
      {"OpenProc",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.OpenProc(Text(a, 0), a.at(1)));
       }},
      {"ExecuteSQL",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.ExecuteSQL(Text(a, 0)));
       }},
      {"OpenSQL",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.OpenSQL(Text(a, 0)));
       }},
      {"SetQuerySQL",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return Variant(s.SetQuerySQL(Text(a, 0)));
       }},
      {"testbinary",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         s.testbinary(a.at(0));
         return Variant();
       }},
      {"AS_ApplyUpdates",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         int32_t error_count = 0;
         Variant result;
         try {
           result = s.AS_ApplyUpdates(Text(a, 0), a.at(1), Long(a, 2), error_count, a.at(4));
         } catch (...) {
           a.at(3) = Variant(error_count);
           throw;
         }
         a.at(3) = Variant(error_count);
         return result;
       }},
      {"AS_GetRecords",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         int32_t recs_out = 0;
         Variant result =
             s.AS_GetRecords(Text(a, 0), Long(a, 1), recs_out, Long(a, 3), Text(a, 4), a.at(5), a.at(6));
         a.at(2) = Variant(recs_out);
         return result;
       }},
      {"AS_DataRequest",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return s.AS_DataRequest(Text(a, 0), a.at(1));
       }},
      {"AS_GetProviderNames",
       [](TCoTillbaseServer& s, std::vector<Variant>&) { return s.AS_GetProviderNames(); }},
      {"AS_GetParams",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return s.AS_GetParams(Text(a, 0), a.at(1));
       }},
      {"AS_RowRequest",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         return s.AS_RowRequest(Text(a, 0), a.at(1), Long(a, 2), a.at(3));
       }},
      {"AS_Execute",
       [](TCoTillbaseServer& s, std::vector<Variant>& a) {
         s.AS_Execute(Text(a, 0), Text(a, 1), a.at(2), a.at(3));
         return Variant();
       }},
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
