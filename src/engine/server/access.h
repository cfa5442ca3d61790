// The server level's door into a session's internals. Kept in one place so
// that the interpreter's private state is reached from as few spots as
// possible.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::core {
class Session;
struct EngineShared;
struct TableInfo;
}  // namespace tillbase::engine::core

namespace tillbase::engine::server {

class Server;

class Access {
 public:
  // Ends the session's storage: open transactions roll back, locks go.
  static void Close(core::Session& s);
  static void Cancel(core::Session& s);
  // Whether the running statement is to stop: cancelled, killed or past
  // its command time-out.
  static bool ShouldStop(core::Session& s);
  static bool IsOpen(core::Session& s);
  static Server& ServerOf(core::Session& s);
  static int Spid(core::Session& s);
  static int TranCount(core::Session& s);
  static std::string Database(core::Session& s);
  static const std::string& DatabaseRef(core::Session& s);
  static const ConnectOptions& Options(core::Session& s);
  static std::vector<ProcParamInfo> Describe(core::Session& s, const std::string& name);
  // Detaches the other databases the session's statements attached (outside
  // a transaction), so that its own DROP or RESTORE does not find them in use.
  static void ReleaseAttached(core::Session& s);
  // The session's storage handle (its current database as schema main).
  static sqlite3* Db(core::Session& s);
  static std::shared_ptr<const core::TableInfo> FindTable(core::Session& s,
                                                          const std::string& name);
};

}  // namespace tillbase::engine::server
