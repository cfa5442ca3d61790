#include "server/session/session_server.h"

#include <stdexcept>

#include "server/session/co_tillbase_server.h"
#include "server/session/host_address.h"

namespace tillbase::session {
namespace {

Companion::Options CompanionOptions(const SessionServer::Options& options) {
  Companion::Options companion = options.companion;
  if (companion.home.empty()) companion.home = options.home;
  return companion;
}

}  // namespace

SessionServer::SessionServer(Options options)
    : options_(std::move(options)),
      client_table_(options_.clock != nullptr ? *options_.clock : DefaultClock()),
      companion_(CompanionOptions(options_)) {}

void SessionServer::AddSession(TCoTillbaseServer* session) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.insert(session);
}

void SessionServer::RemoveSession(TCoTillbaseServer* session) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.erase(session);
}

void SessionServer::CancelRunningStatements() {
  // Held while cancelling, so that no session is destroyed meanwhile.
  std::lock_guard lock(sessions_mutex_);
  for (TCoTillbaseServer* session : sessions_) session->cnnAdo.Cancel();
}

ConnectSettings SessionServer::LoadSettings() const {
  if (!options_.load_settings) throw std::runtime_error("no connection settings are configured");
  return options_.load_settings();
}

std::vector<std::string> SessionServer::HostAddresses() const {
  return options_.host_addresses ? options_.host_addresses() : HostIpv4Addresses();
}

}  // namespace tillbase::session
