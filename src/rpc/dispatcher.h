// The protocol's request handling, apart from HTTP itself: routes a request
// to the object table, checks calls against the type library and writes the
// JSON answers. The HTTP server feeds it parsed requests; tests can too.
#pragma once

#include <functional>
#include <string>

#include "rpc/metrics.h"
#include "rpc/object_table.h"
#include "rpc/server_options.h"

namespace tillbase::rpc {

struct HttpRequest {
  std::string method;  // "GET", "POST", "DELETE", ...
  std::string target;  // "/v1/objects/abc"
  std::string body;
  std::string authorization;  // the Authorization header, if any
};

struct HttpResponse {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
};

class Dispatcher {
 public:
  Dispatcher(ObjectTable& objects, Metrics& metrics, const ServerOptions& options);

  // `done` runs exactly once, on this thread or on an object's thread.
  void Handle(HttpRequest request, std::function<void(HttpResponse)> done);

  // The answer to a request whose body exceeded the limit (the HTTP layer
  // detects it while reading).
  HttpResponse BodyTooLarge();
  // The answer to a request that is not valid HTTP.
  HttpResponse BadHttp(const std::string& what);

  // Releases the objects whose lease ran out and counts them as released;
  // returns how many.
  std::size_t ExpireIdle();

 private:
  void Create(const HttpRequest& request, std::function<void(HttpResponse)> done);
  void Invoke(const std::string& id, const HttpRequest& request,
              std::function<void(HttpResponse)> done);
  void Release(const std::string& id, std::function<void(HttpResponse)> done);
  HttpResponse TransportError(int status, const std::string& kind, const std::string& message,
                              bool with_hresult = false, std::int32_t hresult = 0);

  ObjectTable& objects_;
  Metrics& metrics_;
  const ServerOptions& options_;
  const std::string typelib_json_;
};

}  // namespace tillbase::rpc
