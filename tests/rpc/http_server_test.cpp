#include "rpc/http_server.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "rpc/client.h"
#include "rpc/json_parse.h"
#include "rpc/object_table.h"
#include "rpc/test_objects.h"

namespace tillbase::rpc {
namespace {

using testing::EchoFactory;

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(ServerOptions{}); }
  void Start(ServerOptions options) {
    server_.reset();
    server_ = std::make_unique<HttpServer>(options, factory_);
    server_->Start();
    ClientOptions client_options;
    client_options.port = server_->port();
    client_options.access_key = options.access_key;
    client_ = std::make_unique<Client>(client_options);
  }
  // Status and parsed body of a raw request.
  std::pair<int, boost::json::value> Raw(const char* verb, const std::string& target,
                                         const std::string& body) {
    std::string answer;
    int status = client_->Request(verb, target, body, answer);
    boost::json::value parsed;
    try {
      parsed = ParseJson(answer);
    } catch (const JsonError&) {
      parsed = boost::json::string(answer);
    }
    return {status, parsed};
  }

  EchoFactory factory_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<Client> client_;
};

TEST_F(HttpServerTest, CreateCallReleaseOverOneConnection) {
  std::string id = client_->Create();
  InvokeResult version = client_->Invoke(id, "GetServerVersion");
  ASSERT_EQ(version.out_values.size(), 1u);
  EXPECT_EQ(version.out_values[0].first, "szReturn");
  EXPECT_EQ(version.out_values[0].second, Variant("KeppaPos1.1"));
  EXPECT_EQ(client_->CallDispid(id, 4, {Variant("abcd")}).retval, Variant(int32_t{4}));
  // [in, out] values go back; the in-value is what the caller sent.
  InvokeResult backup = client_->Invoke(id, "BackUpDataBase", {Variant("a"), Variant("b"), Variant(41)});
  EXPECT_EQ(backup.out_values[0], (std::pair<std::string, Variant>{"Param3", Variant(42)}));
  EXPECT_TRUE(backup.out_values[1].second.IsEmpty());
  // Variants cross exactly, nested arrays and all.
  Variant packet = VarArrayOf({Variant(Currency{12345}), VarArrayOf({Variant::Null(), Variant()}),
                               Variant(std::vector<uint8_t>{0, 255})});
  InvokeResult proc = client_->Invoke(id, "ExecuteProc", {Variant("p"), packet, Variant()});
  EXPECT_EQ(proc.out_values[0].second, packet);
  client_->Release(id);
  EXPECT_EQ(server_->objects().size(), 0u);
  EXPECT_EQ(factory_.log.destroyed.load(), 1);
}

TEST_F(HttpServerTest, FailuresCarryHresultErrorInfoAndEarlierOutValues) {
  RemoteObject object(*client_);
  struct Case {
    const char* sql;
    HResult hresult;
    const char* description;
    int help_context;
  };
  for (const Case& c : {Case{"fail", kEUnexpected, "plain failure", 0},
                        Case{"com", static_cast<HResult>(0x80040E14u), "provider failure", 7}}) {
    try {
      object.Invoke("ExecuteSQL", {Variant(c.sql)});
      ADD_FAILURE() << c.sql;
    } catch (const CallError& e) {
      EXPECT_EQ(e.hresult(), c.hresult);
      EXPECT_EQ(e.description(), c.description);
      EXPECT_EQ(e.info().source, "TillcoreServer.CoTillbaseServer");
      EXPECT_EQ(e.info().guid, "{DFA6B925-EDDC-4429-B175-E76F4D33E935}");
      EXPECT_EQ(e.info().help_context, c.help_context);
    }
  }
  InvokeResult partial = object.Call("GetVchNumber", {Variant(1), Variant(2), Variant("d"), Variant("fail")});
  EXPECT_EQ(partial.hresult, kEUnexpected);
  EXPECT_TRUE(partial.retval.IsEmpty());
  EXPECT_EQ(partial.out_values[0].second, Variant("N-fail"));
  InvokeResult not_built = object.Call("CreateAccount", {Variant("a"), Variant("b"), Variant("c")});
  EXPECT_EQ(not_built.hresult, kENotImpl);
  EXPECT_EQ(not_built.error->description, "not implemented");
}

TEST_F(HttpServerTest, TransportErrorsNameTheProblem) {
  std::string id = client_->Create();
  std::string call = "/v1/objects/" + id;
  struct Case {
    const char* verb;
    std::string target;
    std::string body;
    int status;
    const char* kind;
    const char* message_part;
  };
  const Case cases[] = {
      {"POST", call, "{\"method\":", 400, "malformed_json", "malformed JSON at offset"},
      {"POST", call, "[1]", 400, "bad_request", "\"method\" or \"dispid\""},
      {"POST", call, R"({"method":"NoSuch"})", 400, "DISP_E_UNKNOWNNAME", "unknown method \"NoSuch\""},
      {"POST", call, R"({"dispid":999})", 400, "DISP_E_MEMBERNOTFOUND", "dispid 999"},
      {"POST", call, R"({"method":"ExecuteSQL","dispid":5})", 400, "bad_request", "different methods"},
      {"POST", call, R"({"method":"ExecuteSQL"})", 400, "DISP_E_BADPARAMCOUNT",
       "ExecuteSQL takes 1 parameter, got 0"},
      {"POST", call, R"({"method":"Refresh","params":[1]})", 400, "DISP_E_BADPARAMCOUNT", "takes 0 parameters"},
      {"POST", call, R"({"method":"ExecuteSQL","params":[null]})", 400, "DISP_E_TYPEMISMATCH",
       "params[0] (szSQL): BSTR expected"},
      {"POST", call, R"({"method":"CheckSysCon","params":["abc"]})", 400, "DISP_E_TYPEMISMATCH",
       "params[0] (nSysCon): long expected"},
      {"POST", call, R"({"method":"ExecuteSQL","params":[{"$i2":1e9}]})", 400, "DISP_E_TYPEMISMATCH",
       "params[0] (szSQL)"},
      {"POST", call, R"({"method":"Refresh","extra":1})", 400, "bad_request", "unexpected member \"extra\""},
      {"POST", "/v1/objects/0123", R"({"method":"Refresh"})", 404, "unknown_object", "no object \"0123\""},
      {"DELETE", "/v1/objects/0123", "", 404, "unknown_object", "never created"},
      {"POST", "/v1/objects", R"({"klass":1})", 400, "bad_request", "\"class\""},
      {"GET", "/v1/objects", "", 405, "method_not_allowed", "POST"},
      {"GET", "/etc/passwd", "", 404, "not_found", "no such resource"},
  };
  for (const Case& c : cases) {
    auto [status, body] = Raw(c.verb, c.target, c.body);
    EXPECT_EQ(status, c.status) << c.body;
    ASSERT_TRUE(body.is_object()) << c.body;
    EXPECT_EQ(body.at("error").as_string(), c.kind) << c.body;
    std::string message(body.at("message").as_string());
    EXPECT_NE(message.find(c.message_part), std::string::npos) << c.body << ": " << message;
  }
  // Conversions a dispatcher makes are made: a number for a BSTR, text for a long.
  EXPECT_EQ(client_->Call(id, "ExecuteSQL", {Variant(12345)}).retval, Variant(int32_t{5}));
  EXPECT_EQ(client_->Call(id, "CheckSysCon", {Variant("7")}).hresult, kENotImpl);
  // The client library reports the same as exceptions.
  try {
    client_->Call(id, "NoSuch");
    ADD_FAILURE();
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), "DISP_E_UNKNOWNNAME");
  }
  // The object is still usable after all of that.
  EXPECT_EQ(client_->Invoke(id, "ExecuteSQL", {Variant("ab")}).retval, Variant(int32_t{2}));
}

TEST_F(HttpServerTest, CreationFailureAnswersHresultAndDescription) {
  try {
    client_->Create("Nobody.Else");
    ADD_FAILURE();
  } catch (const CallError& e) {
    EXPECT_EQ(e.hresult(), kRegDbEClassNotReg);
    EXPECT_EQ(e.description(), "Class not registered: Nobody.Else");
  }
}

TEST_F(HttpServerTest, BodyOverTheLimitIsRefused) {
  ServerOptions options;
  options.body_limit = 1000;
  Start(options);
  std::string id = client_->Create();
  std::string big = R"({"method":"ExecuteSQL","params":[")" + std::string(2000, 'x') + "\"]}";
  auto [status, body] = Raw("POST", "/v1/objects/" + id, big);
  EXPECT_EQ(status, 413);
  EXPECT_EQ(body.at("message").as_string(), "the request body exceeds the limit of 1000 bytes");
  // The connection was closed; the client reconnects for the next call.
  EXPECT_EQ(client_->Invoke(id, "ExecuteSQL", {Variant("abc")}).retval, Variant(int32_t{3}));
}

TEST_F(HttpServerTest, AnswerLargerThanTheSocketBufferArrivesWhole) {
  RemoteObject object(*client_);
  // Several megabytes cannot leave in one send: the rest goes out as the
  // client reads, and the connection stays usable afterwards.
  std::string text(3 * 1024 * 1024, 'x');
  for (size_t i = 0; i < text.size(); i += 4096) text[i] = static_cast<char>('a' + (i / 4096) % 26);
  InvokeResult echoed = object.Invoke("ExecuteProc", {Variant("p"), Variant(text), Variant()});
  EXPECT_TRUE(echoed.out_values[0].second == Variant(text));
  EXPECT_EQ(object.Invoke("ExecuteSQL", {Variant("abc")}).retval, Variant(int32_t{3}));
}

TEST_F(HttpServerTest, AccessKeyIsRequiredWhenConfigured) {
  ServerOptions options;
  options.access_key = "0123456789abcdef-key";
  Start(options);
  EXPECT_NO_THROW(client_->Release(client_->Create()));
  ClientOptions wrong;
  wrong.port = server_->port();
  for (const char* key : {"", "0123456789abcdef-kez", "0123456789abcdef-key-and-more"}) {
    wrong.access_key = key;
    Client intruder(wrong);
    try {
      intruder.Create();
      ADD_FAILURE() << key;
    } catch (const TransportError& e) {
      EXPECT_EQ(e.status(), 401) << key;
    }
    std::string body;
    EXPECT_EQ(intruder.Request("GET", "/v1/health", "", body), 200);  // health stays open
  }
}

TEST_F(HttpServerTest, TypelibHealthAndMetrics) {
  auto [status, typelib] = Raw("GET", "/v1/typelib", "");
  EXPECT_EQ(status, 200);
  const auto& interfaces = typelib.at("interfaces").as_array();
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].at("methods").as_array().size(), 7u);
  EXPECT_EQ(interfaces[1].at("methods").as_array().size(), 56u);
  EXPECT_EQ(typelib.at("enums").as_array().size(), 3u);

  std::string id = client_->Create();
  client_->Invoke(id, "GetServerVersion");
  client_->Call(id, "ExecuteSQL", {Variant("fail")});
  Raw("POST", "/v1/objects/" + id, "{");
  auto [health_status, health] = Raw("GET", "/v1/health", "");
  EXPECT_EQ(health_status, 200);
  EXPECT_EQ(health.at("objects").as_int64(), 1);
  std::string metrics;
  EXPECT_EQ(client_->Request("GET", "/v1/metrics", "", metrics), 200);
  for (const char* line : {"tillbase_rpc_sessions 1\n", "tillbase_rpc_calls_total{method=\"GetServerVersion\"} 1\n",
                           "tillbase_rpc_call_errors_total{method=\"ExecuteSQL\"} 1\n",
                           "tillbase_rpc_transport_errors_total{kind=\"malformed_json\"} 1\n",
                           "tillbase_rpc_call_duration_seconds_count 2\n",
                           "# TYPE tillbase_rpc_call_duration_seconds histogram\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
}

TEST(ServerOptions, UnsafeListeningIsRefusedWithWhatToConfigure) {
  ServerOptions options;
  EXPECT_NO_THROW(CheckServerOptions(options, "127.0.0.1"));
  EXPECT_NO_THROW(CheckServerOptions(options, "::1"));
  try {
    CheckServerOptions(options, "0.0.0.0");
    ADD_FAILURE();
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("needs an access key"), std::string::npos);
  }
  options.access_key = "short";
  EXPECT_THROW(CheckServerOptions(options, "0.0.0.0"), ConfigError);
  options.access_key = "long-enough-access-key";
  EXPECT_NO_THROW(CheckServerOptions(options, "0.0.0.0"));
  ServerOptions tls;
  tls.tls_certificate_file = "cert.pem";
  EXPECT_THROW(CheckServerOptions(tls, "127.0.0.1"), ConfigError);

  EchoFactory factory;
  ServerOptions open;
  open.address = "0.0.0.0";
  EXPECT_THROW(HttpServer(open, factory), ConfigError);

  for (auto [address, loopback] : {std::pair{"127.0.0.1", true}, {"127.8.9.1", true}, {"::1", true},
                                   {"[::1]", true}, {"localhost", true}, {"::ffff:127.0.0.1", true},
                                   {"10.0.0.1", false}, {"::", false}, {"128.0.0.1", false},
                                   {"example.com", false}}) {
    EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;
  }
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("abd", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("ab", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("abcd", "abc"));
  EXPECT_EQ(BearerToken("Bearer  xyz "), "xyz");
  EXPECT_EQ(BearerToken("bearer xyz"), "xyz");
  EXPECT_EQ(BearerToken("Basic xyz"), "");
}

TEST(HttpServerConcurrency, ManyClientsOnManyObjects) {
  EchoFactory factory;
  HttpServer server(ServerOptions{}, factory);
  server.Start();
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int c = 0; c < 6; ++c) {
    clients.emplace_back([&] {
      Client client(ClientOptions{.port = server.port()});
      RemoteObject object(client);
      for (int i = 0; i < 30; ++i) {
        if (object.Invoke("ExecuteSQL", {Variant(std::string(i, 'x'))}).retval == Variant(int32_t{i})) ++good;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 180);
  EXPECT_EQ(server.objects().size(), 0u);
  server.Stop();
}

TEST(HttpServer, TakesOverAHandedListeningSocket) {
  EchoFactory factory;
  // A socket listened on by someone else, as socket activation hands it over.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 16), 0);
  ServerOptions options;
  options.listen_fd = fd;
  HttpServer server(options, factory);
  server.Start();
  EXPECT_EQ(server.address(), "127.0.0.1");
  Client client(ClientOptions{.port = server.port()});
  EXPECT_NO_THROW(client.Release(client.Create()));
  ServerOptions not_socket;
  not_socket.listen_fd = 0x7fff;
  EXPECT_THROW(HttpServer(not_socket, factory), std::runtime_error);
}

}  // namespace
}  // namespace tillbase::rpc
