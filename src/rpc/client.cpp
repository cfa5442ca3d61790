#include "rpc/client.h"

#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>
#include <cerrno>
#include <memory>
#include <optional>

#include "rpc/json_parse.h"
#include "rpc/json_writer.h"
#include "rpc/variant_json.h"

namespace tillbase::rpc {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

ErrorInfo ErrorFromJson(const json::value& v) {
  ErrorInfo info;
  if (!v.is_object()) return info;
  const json::object& o = v.get_object();
  auto text = [&](const char* key) {
    const json::value* s = o.if_contains(key);
    return s && s->is_string() ? std::string(s->get_string()) : std::string();
  };
  info.description = text("description");
  info.source = text("source");
  info.guid = text("guid");
  info.help_file = text("helpfile");
  if (const json::value* c = o.if_contains("helpcontext"); c && c->is_int64()) {
    info.help_context = static_cast<std::int32_t>(c->get_int64());
  }
  return info;
}

HResult HResultOf(const json::object& o) {
  const json::value* h = o.if_contains("hresult");
  if (h == nullptr || !h->is_int64())
    throw TransportError(0, "bad_answer", "the answer carries no hresult");
  return static_cast<HResult>(h->get_int64());
}

[[noreturn]] void ThrowTransport(int status, const std::string& body) {
  std::string kind = "http_" + std::to_string(status);
  std::string message = body;
  try {
    json::value v = ParseJson(body);
    if (v.is_object()) {
      if (auto* k = v.get_object().if_contains("error"); k && k->is_string())
        kind = k->get_string();
      if (auto* m = v.get_object().if_contains("message"); m && m->is_string())
        message = m->get_string();
    }
  } catch (const JsonError&) {
  }
  throw TransportError(status, kind, message);
}

}  // namespace

CallError::CallError(HResult hresult, ErrorInfo info,
                     std::vector<std::pair<std::string, Variant>> out_values)
    : std::runtime_error(info.description),
      hresult_(hresult),
      info_(std::move(info)),
      out_values_(std::move(out_values)) {}

InvokeResult ParseInvokeAnswer(std::string_view body) {
  // The tree lives only while the variants are read from it.
  json::monotonic_resource memory;
  json::value v = ParseJson(body, 64, &memory);
  if (!v.is_object()) throw TransportError(0, "bad_answer", "the answer is no JSON object");
  const json::object& o = v.get_object();
  InvokeResult result;
  result.hresult = HResultOf(o);
  if (const json::value* r = o.if_contains("retval")) result.retval = VariantFromJson(*r, "retval");
  if (const json::value* out = o.if_contains("out"); out && out->is_object()) {
    for (const auto& member : out->get_object()) {
      result.out_values.emplace_back(std::string(member.key()),
                                     VariantFromJson(member.value(), std::string(member.key())));
    }
  }
  if (const json::value* e = o.if_contains("error")) result.error = ErrorFromJson(*e);
  return result;
}

class Client::Impl {
 public:
  explicit Impl(ClientOptions options) : options_(std::move(options)), stream_(io_) {}

  static ssl::context MakeTlsContext(const ClientOptions& options) {
    ssl::context context(ssl::context::tls_client);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    auto fail = [](const std::string& what, const beast::error_code& ec) {
      throw TransportError(0, "tls_setup", "cannot use the TLS " + what + ": " + ec.message());
    };
    beast::error_code ec;
    context.load_verify_file(options.tls_ca_file, ec);
    if (ec) fail("CA file " + options.tls_ca_file, ec);
    if (!options.tls_certificate_file.empty()) {
      context.use_certificate_chain_file(options.tls_certificate_file, ec);
      if (ec) fail("certificate file " + options.tls_certificate_file, ec);
      context.use_private_key_file(options.tls_private_key_file, ssl::context::pem, ec);
      if (ec) fail("private key file " + options.tls_private_key_file, ec);
    }
    context.set_verify_mode(ssl::verify_peer);
    return context;
  }

  int Request(std::string_view verb, std::string_view target, std::string_view request_body,
              std::string& body) {
    http::request<http::string_body> request(http::string_to_verb(verb), target, 11);
    request.set(http::field::host, options_.host);
    request.set(http::field::content_type, "application/json");
    if (!options_.access_key.empty()) {
      request.set(http::field::authorization, "Bearer " + options_.access_key);
    }
    request.keep_alive(true);
    request.body() = std::string(request_body);
    request.prepare_payload();
    // Only a request that cannot have reached the server is sent again: a
    // method call must not run twice. A kept-alive connection the server
    // has closed meanwhile is noticed before writing; a write that fails
    // leaves the server without a whole request. Once the request is out,
    // only a GET (which changes nothing) is repeated.
    const bool repeatable = request.method() == http::verb::get;
    if (connected_ && !StillOpen()) Disconnect();
    for (int attempt = 0;; ++attempt) {
      bool fresh = false;
      bool written = false;
      try {
        if (!connected_) {
          Connect();
          fresh = true;
        }
        http::response_parser<http::string_body> parser;
        parser.body_limit(256 * 1024 * 1024);
        auto exchange = [&](auto& stream) {
          http::write(stream, request);
          written = true;
          http::read(stream, buffer_, parser);
        };
        if (tls_stream_) {
          exchange(*tls_stream_);
        } else {
          exchange(stream_);
        }
        auto& response = parser.get();
        if (!response.keep_alive()) Disconnect();
        body = std::move(response.body());
        return static_cast<int>(response.result_int());
      } catch (const beast::system_error& e) {
        const bool tls = tls_stream_ != nullptr;
        Disconnect();
        std::string where = options_.host + ":" + std::to_string(options_.port);
        // With TLS 1.3 the server checks the client's certificate after the
        // client considers the handshake done, so a refusal arrives as an
        // alert on the first exchange. The server reads no request before
        // the handshake has succeeded: nothing was carried out.
        if (tls && fresh && e.code().category() == asio::error::get_ssl_category()) {
          throw TransportError(
              0, "connection_failed",
              "the server at " + where + " refused the TLS connection: " + e.code().message());
        }
        if (written && !repeatable) {
          throw TransportError(
              0, "connection_lost",
              "the connection to " + where +
                  " ended after the request was sent; it may have been carried out: " +
                  e.code().message());
        }
        if (fresh || attempt > 0) {
          throw TransportError(0, "connection_failed",
                               "cannot reach " + where + ": " + e.code().message());
        }
      }
    }
  }

 private:
  void Connect() {
    tcp::resolver resolver(io_);
    auto endpoints = resolver.resolve(options_.host, std::to_string(options_.port));
    // Made at the first connection, so that a bad file is reported as a
    // failed call.
    if (!options_.tls_ca_file.empty() && !tls_) tls_.emplace(MakeTlsContext(options_));
    if (tls_) {
      // A TLS stream does not survive its connection: a new one each time.
      tls_stream_ = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(io_, *tls_);
      beast::tcp_stream& lowest = beast::get_lowest_layer(*tls_stream_);
      lowest.connect(endpoints);
      lowest.socket().set_option(tcp::no_delay(true));
      SSL_set_tlsext_host_name(tls_stream_->native_handle(), options_.host.c_str());
      tls_stream_->set_verify_callback(ssl::host_name_verification(options_.host));
      try {
        tls_stream_->handshake(ssl::stream_base::client);
      } catch (const beast::system_error& e) {
        Disconnect();
        throw TransportError(0, "connection_failed",
                             "TLS handshake with " + options_.host + ":" +
                                 std::to_string(options_.port) + " failed: " + e.code().message());
      }
    } else {
      stream_.connect(endpoints);
      stream_.socket().set_option(tcp::no_delay(true));
    }
    connected_ = true;
  }
  tcp::socket& Socket() {
    return tls_stream_ ? beast::get_lowest_layer(*tls_stream_).socket() : stream_.socket();
  }
  // False when the server has closed the idle connection (or sent
  // something unasked, which leaves the connection out of step).
  bool StillOpen() {
    if (buffer_.size() > 0) return false;
    char byte;
    ssize_t n = ::recv(Socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  void Disconnect() {
    beast::error_code ignored;
    Socket().close(ignored);
    tls_stream_.reset();
    buffer_.clear();
    connected_ = false;
  }

 public:
  ClientOptions options_;
  asio::io_context io_;
  beast::tcp_stream stream_;
  std::optional<ssl::context> tls_;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls_stream_;
  beast::flat_buffer buffer_;
  bool connected_ = false;
};

Client::Client(ClientOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Client::~Client() = default;

int Client::Request(std::string_view verb, std::string_view target, std::string_view request_body,
                    std::string& body) {
  return impl_->Request(verb, target, request_body, body);
}

std::string Client::Create(std::string_view class_name) {
  std::string body;
  int status =
      Request("POST", "/v1/objects", json::serialize(json::object{{"class", class_name}}), body);
  if (status != 200 && status != 201) ThrowTransport(status, body);
  json::value v = ParseJson(body);
  const json::object& o = v.as_object();
  HResult hresult = HResultOf(o);
  if (hresult < 0 || !o.contains("id")) {
    const json::value* e = o.if_contains("error");
    throw CallError(hresult, e ? ErrorFromJson(*e) : ErrorInfo{});
  }
  return std::string(o.at("id").as_string());
}

namespace {
// `call` is the body's start: {"method":"..." or {"dispid":n.
InvokeResult CallWith(Client& client, const std::string& object_id, std::string call,
                      const std::vector<Variant>& params) {
  call += ",\"params\":[";
  for (size_t i = 0; i < params.size(); ++i) {
    if (i > 0) call += ',';
    WriteVariantJson(call, params[i]);
  }
  call += "]}";
  std::string body;
  int status = client.Request("POST", "/v1/objects/" + object_id, call, body);
  if (status != 200) ThrowTransport(status, body);
  return ParseInvokeAnswer(body);
}
}  // namespace

InvokeResult Client::Call(const std::string& object_id, std::string_view method,
                          const std::vector<Variant>& params) {
  std::string call = "{\"method\":";
  AppendJsonString(call, method);
  return CallWith(*this, object_id, std::move(call), params);
}

InvokeResult Client::CallDispid(const std::string& object_id, std::int32_t dispid,
                                const std::vector<Variant>& params) {
  std::string call = "{\"dispid\":";
  AppendJsonInt(call, dispid);
  return CallWith(*this, object_id, std::move(call), params);
}

InvokeResult Client::Invoke(const std::string& object_id, std::string_view method,
                            const std::vector<Variant>& params) {
  InvokeResult result = Call(object_id, method, params);
  if (!result.Succeeded()) {
    throw CallError(result.hresult, result.error.value_or(ErrorInfo{}), result.out_values);
  }
  return result;
}

void Client::Release(const std::string& object_id) {
  std::string body;
  int status = Request("DELETE", "/v1/objects/" + object_id, "", body);
  if (status != 200) ThrowTransport(status, body);
}

RemoteObject::~RemoteObject() {
  try {
    Release();
  } catch (const std::exception&) {
    // The lease releases it on the server when we cannot.
  }
}

void RemoteObject::Release() {
  if (id_.empty()) return;
  std::string id = std::move(id_);
  id_.clear();
  client_->Release(id);
}

}  // namespace tillbase::rpc
