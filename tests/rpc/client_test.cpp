#include "rpc/client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace tillbase::rpc {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// An HTTP server that does, request by request, what the test scripted:
// answer and keep the connection, answer and then close the idle
// connection, or read the whole request and close without answering (as a
// server that went away while running the call).
class ScriptedServer {
 public:
  enum class Action { kAnswer, kAnswerThenClose, kCloseWithoutAnswer };

  explicit ScriptedServer(std::deque<Action> script)
      : script_(std::move(script)),
        acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    tcp::socket wake(io_);  // unblocks the accept
    beast::error_code ignored;
    wake.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  // Waits until the server has closed an idle connection and the client's
  // side has taken notice (acknowledged the close).
  void WaitForIdleClose() { idle_closed_.get_future().wait(); }
  // "<verb> <target> on connection <n>" for every request read.
  std::vector<std::string> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void Serve() {
    for (int connection = 1;; ++connection) {
      tcp::socket socket(io_);
      acceptor_.accept(socket);
      if (stopping_) return;
      beast::flat_buffer buffer;
      for (;;) {
        http::request<http::string_body> request;
        beast::error_code ec;
        http::read(socket, buffer, request, ec);
        if (ec) break;
        Action action = Action::kAnswer;
        {
          std::lock_guard lock(mutex_);
          seen_.push_back(std::string(request.method_string()) + " " +
                          std::string(request.target()) + " on connection " +
                          std::to_string(connection));
          if (!script_.empty()) {
            action = script_.front();
            script_.pop_front();
          }
        }
        if (action == Action::kCloseWithoutAnswer) break;
        http::response<http::string_body> response(http::status::ok, 11);
        response.body() = "{}";
        response.keep_alive(true);
        response.prepare_payload();
        http::write(socket, response, ec);
        if (action == Action::kAnswerThenClose) {
          socket.shutdown(tcp::socket::shutdown_send, ec);
          WaitUntilPeerSawTheClose(socket.native_handle());
          idle_closed_.set_value();
          break;
        }
      }
    }
  }

  // The peer's kernel acknowledges our FIN: from then on its socket reads
  // end of stream. Waits for that state change (no timing involved).
  static void WaitUntilPeerSawTheClose(int fd) {
    for (long i = 0; i < 100'000'000; ++i) {
      tcp_info info{};
      socklen_t length = sizeof info;
      if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return;
      if (info.tcpi_state != TCP_FIN_WAIT1) return;
      std::this_thread::yield();
    }
    ADD_FAILURE() << "the client never acknowledged the close";
  }

  std::mutex mutex_;
  std::deque<Action> script_;
  std::vector<std::string> seen_;
  std::promise<void> idle_closed_;
  std::atomic<bool> stopping_{false};
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

using Action = ScriptedServer::Action;

TEST(ClientRetryConcurrency, ConnectionClosedWhileIdleIsReplacedBeforeSending) {
  ScriptedServer server({Action::kAnswerThenClose, Action::kAnswer});
  {
    Client client(ClientOptions{.port = server.port()});
    std::string body;
    EXPECT_EQ(client.Request("POST", "/v1/objects/a", "{}", body), 200);
    server.WaitForIdleClose();
    EXPECT_EQ(client.Request("POST", "/v1/objects/a", "{}", body), 200);
  }
  EXPECT_EQ(server.Seen(), (std::vector<std::string>{"POST /v1/objects/a on connection 1",
                                                     "POST /v1/objects/a on connection 2"}));
}

TEST(ClientRetryConcurrency, OnlyGetIsSentAgainAfterTheConnectionEndedWithoutAnswer) {
  struct Case {
    const char* verb;
    bool repeated;
  };
  for (const Case& c : {Case{"POST", false}, Case{"DELETE", false}, Case{"GET", true}}) {
    SCOPED_TRACE(c.verb);
    ScriptedServer server({Action::kAnswer, Action::kCloseWithoutAnswer, Action::kAnswer});
    {
      Client client(ClientOptions{.port = server.port()});
      std::string body;
      EXPECT_EQ(client.Request(c.verb, "/v1/objects/a", "", body), 200);
      if (c.repeated) {
        EXPECT_EQ(client.Request(c.verb, "/v1/objects/b", "", body), 200);
      } else {
        try {
          client.Request(c.verb, "/v1/objects/b", "", body);
          ADD_FAILURE() << "no error";
        } catch (const TransportError& e) {
          EXPECT_EQ(e.status(), 0);
          EXPECT_EQ(e.kind(), "connection_lost");
          EXPECT_NE(std::string(e.what()).find("may have been carried out"), std::string::npos)
              << e.what();
        }
        // The client stays usable: the next request goes on a new connection.
        EXPECT_EQ(client.Request(c.verb, "/v1/objects/c", "", body), 200);
      }
    }
    std::string v = c.verb;
    EXPECT_EQ(server.Seen(),
              (std::vector<std::string>{
                  v + " /v1/objects/a on connection 1", v + " /v1/objects/b on connection 1",
                  v + (c.repeated ? " /v1/objects/b" : " /v1/objects/c") + " on connection 2"}));
  }
}

}  // namespace
}  // namespace tillbase::rpc
