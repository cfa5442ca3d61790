#include "rpc/http_server.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "rpc/dispatcher.h"
#include "rpc/metrics.h"
#include "rpc/object_table.h"

namespace tillbase::rpc {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

// A client that opens a connection and never finishes the TLS handshake
// must not hold it forever.
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);

// One client connection: requests read one after the other, each answered
// before the next is read. kTls: the connection is TLS (the handshake comes
// first, and answers go through the TLS stream).
template <bool kTls>
class Connection : public std::enable_shared_from_this<Connection<kTls>> {
  using Stream = std::conditional_t<kTls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

 public:
  Connection(tcp::socket socket, ssl::context* tls, Dispatcher& dispatcher,
             const ServerOptions& options)
      : stream_(MakeStream(std::move(socket), tls)), dispatcher_(dispatcher), options_(options) {}

  void Start() {
    asio::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
      if constexpr (kTls) {
        beast::get_lowest_layer(self->stream_).expires_after(kHandshakeTimeout);
        self->stream_.async_handshake(ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->Close();  // no certificate, a wrong one, or no TLS at all
          beast::get_lowest_layer(self->stream_).expires_never();
          self->Read();
        });
      } else {
        self->Read();
      }
    });
  }

 private:
  static Stream MakeStream(tcp::socket socket, ssl::context* tls) {
    if constexpr (kTls) {
      return Stream(std::move(socket), *tls);
    } else {
      (void)tls;
      return Stream(std::move(socket));
    }
  }

  void Read() {
    parser_.emplace();
    parser_->body_limit(options_.body_limit);
    parser_->header_limit(static_cast<std::uint32_t>(options_.header_limit));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
        ec == ssl::error::stream_truncated) {
      return Close();
    }
    if (ec == http::error::body_limit) return Write(dispatcher_.BodyTooLarge(), false, 11);
    if (ec) return Write(dispatcher_.BadHttp(ec.message()), false, 11);
    auto& message = parser_->get();
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.body = std::move(message.body());
    if (auto it = message.find(http::field::authorization); it != message.end()) {
      request.authorization = std::string(it->value());
    }
    bool keep_alive = message.keep_alive();
    unsigned version = message.version();
    // The answer is written by whichever thread has it, often an object's
    // thread: nothing else touches this connection until its answer is out,
    // and handing the answer back to an I/O thread would cost a wake-up per
    // call.
    dispatcher_.Handle(std::move(request), [self = this->shared_from_this(), keep_alive,
                                            version](HttpResponse response) {
      self->Write(std::move(response), keep_alive, version);
    });
  }

  struct Outgoing {
    http::response<http::string_body> message;
    std::string header;
  };

  void Write(HttpResponse response, bool keep_alive, unsigned version) {
    auto out = std::make_shared<Outgoing>();
    http::response<http::string_body>& message = out->message;
    message.result(static_cast<http::status>(response.status));
    message.version(version);
    message.set(http::field::content_type, response.content_type);
    message.set(http::field::server, "tillbase");
    message.keep_alive(keep_alive);
    message.body() = std::move(response.body);
    message.prepare_payload();
    if constexpr (kTls) {
      // The TLS stream is touched only on the connection's executor.
      asio::post(stream_.get_executor(), [self = this->shared_from_this(), out, keep_alive] {
        http::async_write(self->stream_, out->message,
                          [self, out, keep_alive](beast::error_code ec, std::size_t) {
                            if (ec) return self->Close();
                            self->AfterWrite(keep_alive);
                          });
      });
      return;
    } else {
      WritePlain(std::move(out), keep_alive);
    }
  }

  void WritePlain(std::shared_ptr<Outgoing> out, bool keep_alive) {
    out->header = HeaderText(out->message);
    const std::string& body = out->message.body();

    // Answers are small and the socket's buffer is normally free: try to
    // send all of it at once without blocking.
    iovec parts[2] = {{out->header.data(), out->header.size()},
                      {const_cast<char*>(body.data()), body.size()}};
    msghdr outgoing{};
    outgoing.msg_iov = parts;
    outgoing.msg_iovlen = 2;
    ssize_t sent =
        ::sendmsg(stream_.socket().native_handle(), &outgoing, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0 && static_cast<std::size_t>(sent) == out->header.size() + body.size()) {
      return AfterWrite(keep_alive);
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Close();  // the client is gone
    std::size_t done = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    // The rest waits for the socket on the connection's own executor.
    asio::post(stream_.get_executor(), [self = this->shared_from_this(), out, done, keep_alive] {
      std::array<asio::const_buffer, 2> buffers = {asio::buffer(out->header),
                                                   asio::buffer(out->message.body())};
      beast::buffers_suffix<std::array<asio::const_buffer, 2>> rest(buffers);
      rest.consume(done);
      asio::async_write(self->stream_, rest,
                        [self, out, keep_alive](beast::error_code ec, std::size_t) {
                          if (ec) return self->Close();
                          self->AfterWrite(keep_alive);
                        });
    });
  }

  void AfterWrite(bool keep_alive) {
    if (!keep_alive) return Close();
    Read();
  }

  static std::string HeaderText(http::response<http::string_body>& message) {
    http::response_serializer<http::string_body> serializer(message);
    serializer.split(true);
    std::string text;
    beast::error_code ec;
    while (!ec && !serializer.is_header_done()) {
      serializer.next(ec, [&](beast::error_code&, const auto& buffers) {
        for (auto buffer : beast::buffers_range_ref(buffers)) {
          text.append(static_cast<const char*>(buffer.data()), buffer.size());
        }
        serializer.consume(beast::buffer_bytes(buffers));
      });
    }
    return text;
  }

  void Close() {
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Dispatcher& dispatcher_;
  const ServerOptions& options_;
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(ServerOptions options, ObjectFactory& factory)
      : options_(std::move(options)),
        objects_(factory, options_.lease),
        dispatcher_(objects_, metrics_, options_),
        acceptor_(io_),
        lease_timer_(io_) {
    if (options_.listen_fd >= 0) {
      sockaddr_storage storage{};
      socklen_t length = sizeof storage;
      if (getsockname(options_.listen_fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        throw std::runtime_error("the handed-over socket " + std::to_string(options_.listen_fd) +
                                 " is not a socket");
      }
      tcp protocol = storage.ss_family == AF_INET6 ? tcp::v6() : tcp::v4();
      acceptor_.assign(protocol, options_.listen_fd);
      endpoint_ = acceptor_.local_endpoint();
      CheckServerOptions(options_, endpoint_.address().to_string());
    } else {
      CheckServerOptions(options_, options_.address);
      beast::error_code ec;
      std::string host = options_.address == "localhost" ? "127.0.0.1" : options_.address;
      auto address = asio::ip::make_address(host, ec);
      if (ec) throw std::runtime_error("not an IP address: " + options_.address);
      tcp::endpoint endpoint(address, options_.port);
      acceptor_.open(endpoint.protocol());
      acceptor_.set_option(asio::socket_base::reuse_address(true));
      acceptor_.bind(endpoint, ec);
      if (ec) {
        throw std::runtime_error("cannot listen on " + options_.address + ":" +
                                 std::to_string(options_.port) + ": " + ec.message());
      }
      acceptor_.listen(asio::socket_base::max_listen_connections);
      endpoint_ = acceptor_.local_endpoint();
    }
    if (options_.TlsConfigured()) tls_.emplace(MakeTlsContext(options_));
  }

  // TLS 1.2 or later; the client must present a certificate issued by the
  // configured CA.
  static ssl::context MakeTlsContext(const ServerOptions& options) {
    ssl::context context(ssl::context::tls_server);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                        ssl::context::single_dh_use);
    auto load = [](const char* what, const std::string& file, auto&& step) {
      beast::error_code ec;
      step(ec);
      if (ec)
        throw ConfigError("cannot use the TLS " + std::string(what) + " " + file + ": " +
                          ec.message());
    };
    load("certificate file", options.tls_certificate_file, [&](beast::error_code& ec) {
      context.use_certificate_chain_file(options.tls_certificate_file, ec);
    });
    load("private key file", options.tls_private_key_file, [&](beast::error_code& ec) {
      context.use_private_key_file(options.tls_private_key_file, ssl::context::pem, ec);
    });
    load("client CA file", options.tls_client_ca_file,
         [&](beast::error_code& ec) { context.load_verify_file(options.tls_client_ca_file, ec); });
    context.set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
    // Session tickets arrive after the handshake; a client that checks an
    // idle kept-alive connection for unread bytes would take them for a
    // closed connection. Sessions are long-lived here, resumption buys
    // nothing.
    SSL_CTX_set_num_tickets(context.native_handle(), 0);
    return context;
  }

  void Start() {
    if (!threads_.empty()) return;
    Accept();
    ArmLeaseTimer();
    for (int i = 0; i < options_.io_threads; ++i) threads_.emplace_back([this] { io_.run(); });
  }

  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_.close(ignored);
      lease_timer_.cancel();
    });
    // Objects first: their pending answers are posted to the loop, which is
    // still running.
    objects_.ReleaseAll();
    io_.stop();
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  void Accept() {
    acceptor_.async_accept(
        asio::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
          if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
          if (!ec) {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);  // answers are small: no Nagle wait
            if (tls_) {
              std::make_shared<Connection<true>>(std::move(socket), &*tls_, dispatcher_, options_)
                  ->Start();
            } else {
              std::make_shared<Connection<false>>(std::move(socket), nullptr, dispatcher_, options_)
                  ->Start();
            }
          }
          Accept();
        });
  }

  void ArmLeaseTimer() {
    lease_timer_.expires_after(options_.lease_check_interval);
    lease_timer_.async_wait([this](beast::error_code ec) {
      if (ec) return;
      dispatcher_.ExpireIdle();
      ArmLeaseTimer();
    });
  }

  ServerOptions options_;
  Metrics metrics_;
  ObjectTable objects_;
  Dispatcher dispatcher_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  asio::steady_timer lease_timer_;
  tcp::endpoint endpoint_;
  std::optional<ssl::context> tls_;
  std::vector<std::thread> threads_;
  bool stopped_ = false;
};

HttpServer::HttpServer(ServerOptions options, ObjectFactory& factory)
    : impl_(std::make_unique<Impl>(std::move(options), factory)) {}
HttpServer::~HttpServer() { Stop(); }
void HttpServer::Start() { impl_->Start(); }
void HttpServer::Stop() { impl_->Stop(); }
std::uint16_t HttpServer::port() const { return impl_->endpoint_.port(); }
std::string HttpServer::address() const { return impl_->endpoint_.address().to_string(); }
ObjectTable& HttpServer::objects() { return impl_->objects_; }

}  // namespace tillbase::rpc
