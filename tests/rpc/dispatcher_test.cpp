#include "rpc/dispatcher.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <future>
#include <string>

#include "rpc/json_parse.h"
#include "rpc/test_objects.h"

namespace tillbase::rpc {
namespace {

using testing::EchoFactory;
using testing::FakeClock;

// The dispatcher over a table whose clock the test moves.
class DispatcherTest : public ::testing::Test {
 protected:
  HttpResponse Send(std::string method, std::string target, std::string body = "") {
    std::promise<HttpResponse> answer;
    dispatcher_.Handle(HttpRequest{std::move(method), std::move(target), std::move(body), ""},
                       [&](HttpResponse response) { answer.set_value(std::move(response)); });
    return answer.get_future().get();
  }
  std::string CreateObject() {
    HttpResponse created =
        Send("POST", "/v1/objects", R"({"class":"TillcoreServer.CoTillbaseServer"})");
    EXPECT_EQ(created.status, 201) << created.body;
    return std::string(ParseJson(created.body).at("id").as_string());
  }
  std::string MetricsText() { return Send("GET", "/v1/metrics").body; }

  EchoFactory factory_;
  FakeClock clock_;
  ObjectTable objects_{factory_, std::chrono::minutes(10), clock_.AsFunction()};
  Metrics metrics_;
  ServerOptions options_;
  Dispatcher dispatcher_{objects_, metrics_, options_};
};

TEST_F(DispatcherTest, LeaseExpiryCountsAsARelease) {
  std::string by_client = CreateObject();
  std::string quiet = CreateObject();
  std::string busy = CreateObject();
  EXPECT_EQ(Send("DELETE", "/v1/objects/" + by_client).status, 200);
  clock_.Advance(std::chrono::minutes(6));
  EXPECT_EQ(Send("POST", "/v1/objects/" + busy, R"({"method":"Refresh"})").status, 200);
  clock_.Advance(std::chrono::minutes(5));
  EXPECT_EQ(dispatcher_.ExpireIdle(), 1u);
  EXPECT_EQ(dispatcher_.ExpireIdle(), 0u);  // counted once, not on every check
  std::string metrics = MetricsText();
  EXPECT_NE(metrics.find("tillbase_rpc_sessions 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tillbase_rpc_sessions_created_total 3\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tillbase_rpc_sessions_released_total 2\n"), std::string::npos) << metrics;
  EXPECT_EQ(Send("POST", "/v1/objects/" + quiet, R"({"method":"Refresh"})").status, 404);
}

}  // namespace
}  // namespace tillbase::rpc
