#include "engine/server/access.h"

#include "engine/core/session.h"
#include "engine/errors.h"
#include "engine/server/server.h"

namespace tillbase::engine::server {

void Access::Close(core::Session& s) { s.CloseDatabase(); }
void Access::Cancel(core::Session& s) { s.Cancel(); }
bool Access::ShouldStop(core::Session& s) { return s.ShouldInterrupt(); }
bool Access::IsOpen(core::Session& s) { return s.db_ != nullptr; }
Server& Access::ServerOf(core::Session& s) {
  if (!s.shared_->server) throw MakeError(0, 16, 1, "The engine's server level is not running.");
  return *s.shared_->server;
}
int Access::Spid(core::Session& s) { return s.spid_; }
int Access::TranCount(core::Session& s) { return s.trancount_; }
std::string Access::Database(core::Session& s) { return s.database_; }
const std::string& Access::DatabaseRef(core::Session& s) { return s.database_; }
const ConnectOptions& Access::Options(core::Session& s) { return s.options_; }
std::vector<ProcParamInfo> Access::Describe(core::Session& s, const std::string& name) {
  return s.DescribeProcedure(name);
}

void Access::ReleaseAttached(core::Session& s) { s.ReleaseAttached(); }

sqlite3* Access::Db(core::Session& s) { return s.db_; }
std::shared_ptr<const core::TableInfo> Access::FindTable(core::Session& s,
                                                         const std::string& name) {
  s.CheckVersion();
  return s.catalog_->FindTable(name);
}

}  // namespace tillbase::engine::server
