// The session object as the wire protocol serves it: calls by the type
// library's methods are dispatched to TCoTillbaseServer inside the common
// call frame; methods not built yet fail with E_NOTIMPL "not implemented".
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "rpc/object.h"
#include "server/session/co_tillbase_server.h"

namespace tillbase::session {

class SessionObject : public rpc::ServedObject {
 public:
  explicit SessionObject(SessionServer& server) : session_(server) {}
  rpc::InvokeResult Invoke(const rpc::MethodInfo& method, std::vector<Variant>& args) override;
  TCoTillbaseServer& session() { return session_; }

 private:
  TCoTillbaseServer session_;
};

// Creates one session object per creation request.
class SessionFactory : public rpc::ObjectFactory {
 public:
  // `last_released` runs (on the releasing object's thread) each time the
  // number of live objects drops to zero.
  SessionFactory(SessionServer& server, std::function<void()> last_released = {})
      : server_(server), last_released_(std::move(last_released)) {}

  std::unique_ptr<rpc::ServedObject> Create(std::string_view class_name) override;
  void Released(std::size_t remaining) override;

 private:
  SessionServer& server_;
  std::function<void()> last_released_;
};

}  // namespace tillbase::session
