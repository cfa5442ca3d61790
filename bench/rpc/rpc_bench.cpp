// Throughput of the wire protocol against a minimal Beast HTTP echo server
// measured in the same run, object creation/release rate, and resident
// memory per idle session object.
//
//   bench_rpc [seconds per measurement, default 2]
//
// Targets: calls/s ratio against the echo server >= 0.5 (1 and 16 clients);
// resident memory per idle object <= 512 KiB.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "rpc/call_frame.h"
#include "rpc/client.h"
#include "rpc/http_server.h"
#include "rpc/object_table.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace tillbase;
using namespace tillbase::rpc;

namespace {

class VersionObject : public ServedObject {
 public:
  InvokeResult Invoke(const MethodInfo& method, std::vector<Variant>& args) override {
    return RunInCallFrame(method, args, [&]() -> Variant {
      if (method.name != "GetServerVersion") ThrowNotImplemented();
      args[0] = Variant("KeppaPos1.1");
      return {};
    });
  }
};

class VersionFactory : public ObjectFactory {
 public:
  std::unique_ptr<ServedObject> Create(std::string_view) override {
    return std::make_unique<VersionObject>();
  }
};

// The baseline: the least an HTTP/1.1 keep-alive server with Beast does.
class EchoServer {
 public:
  explicit EchoServer(int threads)
      : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    Accept();
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~EchoServer() {
    io_.stop();
    for (auto& t : threads_) t.join();
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  struct Session : std::enable_shared_from_this<Session> {
    explicit Session(tcp::socket s) : stream(std::move(s)) {}
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
    void Read() {
      request = {};
      http::async_read(stream, buffer, request,
                       [self = shared_from_this()](beast::error_code ec, std::size_t) {
                         if (ec) return;
                         self->response = http::response<http::string_body>(http::status::ok, 11);
                         self->response.set(http::field::content_type, "application/json");
                         self->response.body() = self->request.body();
                         self->response.keep_alive(true);
                         self->response.prepare_payload();
                         http::async_write(self->stream, self->response,
                                           [self](beast::error_code ec, std::size_t) {
                                             if (!ec) self->Read();
                                           });
                       });
    }
  };
  void Accept() {
    acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code ec, tcp::socket s) {
      if (!ec) std::make_shared<Session>(std::move(s))->Read();
      Accept();
    });
  }
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::vector<std::thread> threads_;
};

// One connection with its own object, released at the end.
struct Session {
  explicit Session(std::uint16_t port)
      : client(ClientOptions{.port = port}),
        object(client),
        target("/v1/objects/" + object.id()) {}
  Client client;
  RemoteObject object;
  std::string target;
};

// Requests and seconds spent by `clients` threads, each on its own
// keep-alive connection, for `seconds`. The connections are set up before
// the clock starts.
// Besides the rate, the process's CPU time and voluntary context switches per
// request: figures that a busy shared machine disturbs far less than the
// rate, and that show what each wake-up of a thread costs.
struct Count {
  long requests = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  long switches = 0;
  double PerSecond() const { return requests / seconds; }
  double CpuMicrosPerRequest() const { return cpu_seconds * 1e6 / requests; }
  double SwitchesPerRequest() const { return static_cast<double>(switches) / requests; }
  Count& operator+=(const Count& other) {
    requests += other.requests;
    seconds += other.seconds;
    cpu_seconds += other.cpu_seconds;
    switches += other.switches;
    return *this;
  }
};

struct Usage {
  double cpu_seconds;
  long switches;
  static Usage Now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto seconds = [](timeval t) { return t.tv_sec + t.tv_usec / 1e6; };
    return Usage{seconds(u.ru_utime) + seconds(u.ru_stime), u.ru_nvcsw};
  }
};

template <typename Setup, typename Call>
Count Run(int clients, double seconds, Setup setup, Call call) {
  std::vector<decltype(setup())> states;
  for (int c = 0; c < clients; ++c) states.push_back(setup());
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long> total{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      while (!go.load()) std::this_thread::yield();
      long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        call(states[c]);
        ++n;
      }
      total += n;
    });
  }
  auto start = std::chrono::steady_clock::now();
  Usage before = Usage::Now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  Usage after = Usage::Now();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return Count{total.load(), elapsed, after.cpu_seconds - before.cpu_seconds,
               after.switches - before.switches};
}

template <typename Setup, typename Call>
double Rate(int clients, double seconds, Setup setup, Call call) {
  return Run(clients, seconds, setup, call).PerSecond();
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  VersionFactory factory;
  ServerOptions options;
  options.io_threads = 2;
  HttpServer server(options, factory);
  server.Start();
  EchoServer echo(options.io_threads);
  const std::string call_body = R"({"method":"GetServerVersion","params":[]})";
  bool ok = true;

  // The machine is shared: the server and the baseline take turns in short
  // rounds, so that a change of load meanwhile hits both alike.
  constexpr int kRounds = 6;
  for (int clients : {1, 16}) {
    Count rpc, baseline;
    for (int round = 0; round < kRounds; ++round) {
      rpc += Run(
          clients, seconds / kRounds, [&] { return std::make_shared<Session>(server.port()); },
          [&](auto& session) {
            std::string body;
            session->client.Request("POST", session->target, call_body, body);
          });
      baseline += Run(
          clients, seconds / kRounds,
          [&] {
            return std::make_shared<Client>(ClientOptions{.port = echo.port()});
          },
          [&](auto& client) {
            std::string body;
            client->Request("POST", "/v1/objects/x", call_body, body);
          });
    }
    double ratio = rpc.PerSecond() / baseline.PerSecond();
    ok = ok && ratio >= 0.5;
    std::printf(
        "GetServerVersion, %2d client(s): %9.0f calls/s; echo server %9.0f/s; ratio %.2f (target "
        ">= 0.5)\n",
        clients, rpc.PerSecond(), baseline.PerSecond(), ratio);
    std::printf(
        "  per call: %.1f us CPU, %.2f times a thread slept; echo server %.1f us, %.2f; CPU ratio "
        "%.2f\n",
        rpc.CpuMicrosPerRequest(), rpc.SwitchesPerRequest(), baseline.CpuMicrosPerRequest(),
        baseline.SwitchesPerRequest(), baseline.CpuMicrosPerRequest() / rpc.CpuMicrosPerRequest());
  }

  double lifecycle = Rate(
      1, seconds,
      [&] {
        return std::make_shared<Client>(ClientOptions{.port = server.port()});
      },
      [&](auto& client) { client->Release(client->Create()); });
  std::printf("create + release: %.0f objects/s\n", lifecycle);

  constexpr int kObjects = 1000;
  Client client(ClientOptions{.port = server.port()});
  std::vector<std::string> ids;
  long before = ResidentBytes();
  for (int i = 0; i < kObjects; ++i) {
    ids.push_back(client.Create());
    client.Invoke(ids.back(), "GetServerVersion");
  }
  long after = ResidentBytes();
  double per_object_kib = (after - before) / 1024.0 / kObjects;
  ok = ok && per_object_kib <= 512;
  std::printf("%d idle objects: %.1f KiB resident per object (target <= 512)\n", kObjects,
              per_object_kib);
  for (const std::string& id : ids) client.Release(id);
  server.Stop();
  return ok ? 0 : 1;
}
