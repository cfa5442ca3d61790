// The C++ client of the wire protocol: create a session object, call its
// methods with Variants, release it. One Client is one keep-alive HTTP
// connection (reconnected when the server closed it); use one per thread.
//
// A request is sent again on a fresh connection only when it cannot have
// reached the server (the kept-alive connection was found closed before or
// while writing), or when it is a GET. A connection that ends after a call,
// creation or release was sent fails with TransportError "connection_lost":
// the server may have carried it out, so it is never repeated.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rpc/object.h"
#include "shared/variant.h"

namespace tillbase::rpc {

// A call or creation that the object answered with a failure HRESULT.
class CallError : public std::runtime_error {
 public:
  CallError(HResult hresult, ErrorInfo info,
            std::vector<std::pair<std::string, Variant>> out_values = {});
  HResult hresult() const noexcept { return hresult_; }
  const ErrorInfo& info() const noexcept { return info_; }
  const std::string& description() const noexcept { return info_.description; }
  // The out-values the method had written before it failed.
  const std::vector<std::pair<std::string, Variant>>& out_values() const { return out_values_; }

 private:
  HResult hresult_;
  ErrorInfo info_;
  std::vector<std::pair<std::string, Variant>> out_values_;
};

// The server refused the request before it reached an object (unknown
// object, unknown method, wrong parameters, malformed request, no access),
// or the connection failed.
class TransportError : public std::runtime_error {
 public:
  TransportError(int status, std::string kind, const std::string& message)
      : std::runtime_error(message), status_(status), kind_(std::move(kind)) {}
  int status() const noexcept { return status_; }  // HTTP status; 0: no answer
  // "unknown_object", "DISP_E_UNKNOWNNAME", "DISP_E_BADPARAMCOUNT", ...;
  // with status 0: "connection_failed" (nothing was carried out) or
  // "connection_lost" (the request was sent; whether it ran is unknown).
  const std::string& kind() const noexcept { return kind_; }

 private:
  int status_;
  std::string kind_;
};

struct ClientOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string access_key{};  // sent as "Authorization: Bearer <key>" when set
  // TLS: set tls_ca_file (the CA that issued the server's certificate,
  // which must also name `host`) to connect with TLS; a server that asks
  // for a client certificate gets tls_certificate_file with its key.
  std::string tls_ca_file{};
  std::string tls_certificate_file{};
  std::string tls_private_key_file{};
};

class Client {
 public:
  explicit Client(ClientOptions options);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Creates an object of the class (ProgID or CLSID); returns its id.
  // Throws CallError when the creation failed.
  std::string Create(std::string_view class_name = kProgId);
  // Calls a method by name with its [in] and [in, out] parameters in order.
  // Failures come back in the result (no CallError).
  InvokeResult Call(const std::string& object_id, std::string_view method,
                    const std::vector<Variant>& params = {});
  // The same by dispid.
  InvokeResult CallDispid(const std::string& object_id, std::int32_t dispid,
                          const std::vector<Variant>& params = {});
  // Calls and throws CallError on a failure HRESULT.
  InvokeResult Invoke(const std::string& object_id, std::string_view method,
                      const std::vector<Variant>& params = {});
  void Release(const std::string& object_id);

  // A raw request: returns the HTTP status and fills `body`.
  int Request(std::string_view verb, std::string_view target, std::string_view request_body,
              std::string& body);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// A session object that is released when it goes out of scope.
class RemoteObject {
 public:
  RemoteObject(Client& client, std::string_view class_name = kProgId)
      : client_(&client), id_(client.Create(class_name)) {}
  ~RemoteObject();
  RemoteObject(const RemoteObject&) = delete;
  RemoteObject& operator=(const RemoteObject&) = delete;

  const std::string& id() const { return id_; }
  // Throws CallError on failure; returns the whole result (retval, out values).
  InvokeResult Invoke(std::string_view method, const std::vector<Variant>& params = {}) {
    return client_->Invoke(id_, method, params);
  }
  InvokeResult Call(std::string_view method, const std::vector<Variant>& params = {}) {
    return client_->Call(id_, method, params);
  }
  void Release();

 private:
  Client* client_;
  std::string id_;
};

// Reads an invoke answer (the JSON body of a 200 answer).
InvokeResult ParseInvokeAnswer(std::string_view body);

}  // namespace tillbase::rpc
