// The HTTP/1.1 server of the wire protocol (keep-alive, JSON bodies).
// Boost.Beast stays inside http_server.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rpc/object.h"
#include "rpc/server_options.h"

namespace tillbase::rpc {

class ObjectTable;

class HttpServer {
 public:
  // Checks the options (CheckServerOptions) and binds or takes over the
  // listening socket; throws ConfigError on unsafe settings and
  // std::runtime_error when the address cannot be used.
  HttpServer(ServerOptions options, ObjectFactory& factory);
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts the I/O threads and the lease timer; returns at once.
  void Start();
  // Stops accepting, closes connections, releases every object (their
  // queued calls still run) and joins the threads. Idempotent. Must not be
  // called from an object's thread.
  void Stop();

  std::uint16_t port() const;
  std::string address() const;  // the address listened on
  ObjectTable& objects();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillbase::rpc
