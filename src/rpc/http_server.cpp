#include "rpc/http_server.h"

#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "rpc/dispatcher.h"
#include "rpc/metrics.h"
#include "rpc/object_table.h"

namespace tillbase::rpc {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, Dispatcher& dispatcher, const ServerOptions& options)
      : stream_(std::move(socket)), dispatcher_(dispatcher), options_(options) {}

  void Start() {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Read(); });
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->body_limit(options_.body_limit);
    parser_->header_limit(static_cast<std::uint32_t>(options_.header_limit));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRead(ec);
                     });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset) {
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
    dispatcher_.Handle(std::move(request),
                       [self = shared_from_this(), keep_alive, version](HttpResponse response) {
                         // Answers may come from an object's thread: back to ours.
                         asio::post(self->stream_.get_executor(),
                                    [self, keep_alive, version, response = std::move(response)]() mutable {
                                      self->Write(std::move(response), keep_alive, version);
                                    });
                       });
  }

  void Write(HttpResponse response, bool keep_alive, unsigned version) {
    auto message = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(response.status), version);
    message->set(http::field::content_type, response.content_type);
    message->set(http::field::server, "tillbase");
    message->keep_alive(keep_alive);
    message->body() = std::move(response.body);
    message->prepare_payload();
    http::async_write(stream_, *message,
                      [self = shared_from_this(), message, keep_alive](beast::error_code ec, std::size_t) {
                        if (ec || !keep_alive) return self->Close();
                        self->Read();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
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
    acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
      if (!ec) {
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);  // answers are small: no Nagle wait
        std::make_shared<Connection>(std::move(socket), dispatcher_, options_)->Start();
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
