// The server over TLS with client certificates, and the client library's
// side of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "rpc/client.h"
#include "rpc/http_server.h"
#include "rpc/test_objects.h"
#include "rpc/tls_certs.h"

namespace tillbase::rpc {
namespace {

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                     ("tillbase-tls-" + std::to_string(::getpid())));
    certs_ = new testing::TestCertificates(*dir_);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(*dir_, ec);
    delete certs_;
    delete dir_;
  }

  static ServerOptions TlsOptions() {
    ServerOptions options;
    options.tls_certificate_file = certs_->Cert("server");
    options.tls_private_key_file = certs_->Key("server");
    options.tls_client_ca_file = certs_->Cert("ca");
    return options;
  }

  static std::filesystem::path* dir_;
  static testing::TestCertificates* certs_;
  testing::EchoFactory factory_;
};

std::filesystem::path* TlsTest::dir_ = nullptr;
testing::TestCertificates* TlsTest::certs_ = nullptr;

TEST_F(TlsTest, OnlyClientsWithACertificateOfTheCaAreServed) {
  // TLS with client certificates is enough to listen beyond loopback.
  ServerOptions options = TlsOptions();
  options.address = "0.0.0.0";
  HttpServer server(options, factory_);
  server.Start();

  struct Case {
    const char* what;
    std::string ca;    // empty: plain HTTP
    std::string cert;  // empty: no client certificate
    bool served;
  } cases[] = {
      {"certificate of the CA", "ca", "client", true},
      {"no client certificate", "ca", "", false},
      {"certificate of another CA", "ca", "stranger", false},
      {"server certificate not trusted", "other_ca", "client", false},
      {"plain HTTP", "", "", false},
  };
  for (const Case& c : cases) {
    ClientOptions client_options;
    client_options.port = server.port();
    if (!c.ca.empty()) client_options.tls_ca_file = certs_->Cert(c.ca);
    if (!c.cert.empty()) {
      client_options.tls_certificate_file = certs_->Cert(c.cert);
      client_options.tls_private_key_file = certs_->Key(c.cert);
    }
    Client client(client_options);
    if (c.served) {
      std::string id = client.Create();
      // Several calls on one kept-alive TLS connection.
      for (int i = 0; i < 3; ++i) {
        InvokeResult r = client.Call(id, "GetServerVersion", {});
        ASSERT_EQ(r.hresult, kSOk) << c.what;
        EXPECT_EQ(r.out_values.at(0).second, Variant("KeppaPos1.1")) << c.what;
      }
      client.Release(id);
    } else {
      try {
        client.Create();
        ADD_FAILURE() << c.what;
      } catch (const TransportError& e) {
        // Refused before any request was read: nothing was carried out.
        if (!c.ca.empty()) {
          EXPECT_EQ(e.kind(), "connection_failed") << c.what << ": " << e.what();
        }
      }
    }
  }
  EXPECT_EQ(server.objects().size(), 0u);  // nothing was created by the refused ones
}

TEST_F(TlsTest, UnusableFilesAreRefusedNamingTheFile) {
  ServerOptions options = TlsOptions();
  options.tls_private_key_file = (*dir_ / "missing.key").string();
  try {
    HttpServer server(options, factory_);
    ADD_FAILURE() << "started without its key";
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.key"), std::string::npos) << e.what();
  }
  options = TlsOptions();
  options.tls_client_ca_file.clear();  // half a configuration
  EXPECT_THROW(HttpServer(options, factory_), ConfigError);

  ClientOptions client_options;
  client_options.port = 1;
  client_options.tls_ca_file = (*dir_ / "missing-ca.crt").string();
  Client client(client_options);
  try {
    client.Create();
    ADD_FAILURE();
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), "tls_setup");
    EXPECT_NE(std::string(e.what()).find("missing-ca.crt"), std::string::npos) << e.what();
  }
}

// Answers come from the objects' threads and go out through the TLS stream
// on the connection's executor: several clients at once, under TSan in CI.
class TlsConcurrency : public TlsTest {};

TEST_F(TlsConcurrency, ClientsOnTheirOwnThreads) {
  ServerOptions options = TlsOptions();
  options.io_threads = 2;
  HttpServer server(options, factory_);
  server.Start();
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ClientOptions client_options;
      client_options.port = server.port();
      client_options.tls_ca_file = certs_->Cert("ca");
      client_options.tls_certificate_file = certs_->Cert("client");
      client_options.tls_private_key_file = certs_->Key("client");
      Client client(client_options);
      std::string id = client.Create();
      for (int i = 0; i < 20; ++i) {
        if (client.Call(id, "ExecuteSQL", {Variant(std::string(i, 'x'))}).retval ==
            Variant(int32_t(i))) {
          ++answered;
        }
      }
      client.Release(id);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), 80);
}

}  // namespace
}  // namespace tillbase::rpc
