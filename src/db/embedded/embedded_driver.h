// The embedded driver: the engine in the same process. One Engine is shared
// by every connection to the same data directory.
#pragma once

#include <memory>
#include <string>

#include "db/driver.h"
#include "engine/engine.h"

namespace tillbase::db::embedded {

// Opens a connection to the engine of settings.data_dir (opened on first
// use). The password of an sa login becomes sa's password when the data
// directory is created by this connection.
std::unique_ptr<DriverConnection> OpenEmbeddedConnection(const DriverSettings& settings,
                                                         const LoginInfo& login);

// The process's engine for a data directory; the same object for every
// spelling of the same directory, open until the process ends.
std::shared_ptr<engine::Engine> SharedEngine(const std::string& data_dir,
                                             const std::string& sa_password);

// A driver connection over an engine connection that the caller made.
std::unique_ptr<DriverConnection> WrapEngineConnection(
    std::shared_ptr<engine::Engine> engine, std::unique_ptr<engine::Connection> connection);

}  // namespace tillbase::db::embedded
