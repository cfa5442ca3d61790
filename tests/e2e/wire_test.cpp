// Requests the server refuses before they reach a session object.
#include <gtest/gtest.h>

#include "e2e/server_fixture.h"
#include "rpc/client.h"

namespace tillbase::e2e {
namespace {

TEST(WireTest, RefusalsNameTheProblem) {
  TestRoot root;
  RunningServer server(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
  rpc::ClientOptions options;
  options.port = server.port();
  rpc::Client client(options);
  std::string id = client.Create();

  struct Case {
    std::string object;
    std::string method;
    std::vector<Variant> params;
    std::string kind;
  };
  const Case cases[] = {
      {"0123456789abcdef0123456789abcdef", "GetServerVersion", {}, "unknown_object"},
      {id, "NoSuchMethod", {}, "DISP_E_UNKNOWNNAME"},
      {id, "ConnectDB", {Variant("only one")}, "DISP_E_BADPARAMCOUNT"},
  };
  for (const Case& c : cases) {
    try {
      client.Call(c.object, c.method, c.params);
      ADD_FAILURE() << c.kind;
    } catch (const rpc::TransportError& e) {
      EXPECT_EQ(e.kind(), c.kind) << e.what();
      EXPECT_FALSE(std::string(e.what()).empty());
    }
  }
  try {
    client.Create("Some.OtherClass");
    ADD_FAILURE();
  } catch (const rpc::CallError& e) {
    EXPECT_EQ(e.hresult(), rpc::kRegDbEClassNotReg);
  }
  // The object survives the refusals.
  EXPECT_EQ(client.Call(id, "GetServerVersion").hresult, rpc::kSOk);
  client.Release(id);
}

}  // namespace
}  // namespace tillbase::e2e
