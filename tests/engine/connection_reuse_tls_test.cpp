// Clients opened with reuse_connections over mutual TLS (HTTP/2 and HTTP/1.1 through nghttpx):
// one connection carries many requests with the client certificate presented, handshakes that
// must fail keep failing on every call, pools are never shared between clients, and eight
// threads can share one client.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange_fixture.h"

namespace {

using engine_test::Call;
using engine_test::Client;
using engine_test::Identity;
using stavo::test::AccessLogEntry;
using stavo::test::DevServer;

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class ConnectionReuseTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_requests();
    bundle_path_ = server_->client_bundle_path();
  }
  void open(Client &client, bool reuse, const std::string &bundle, int http_2 = 1) {
    client.config.client_bundle_path = bundle.c_str();
    client.config.reuse_connections = reuse ? 1 : 0;
    client.config.prefer_http_2 = http_2;
    client.config.timeout_ms = 10000;
    ASSERT_EQ(client.open({server_->https_url()}), SV_OK) << client.open_message;
  }
  static void acquire(Call &call, const Client &client, const std::string &key) {
    engine_test::post_json(call, client.client, "/v1/acquire", engine_test::acquire_json(key));
  }
  // The access log entries written since `before` entries were there.
  static std::vector<AccessLogEntry> access_since(size_t before, size_t count) {
    EXPECT_TRUE(server_->wait_for_access_log(before + count));
    const auto log = server_->access_log();
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(before, log.size())), log.end()};
  }

  static DevServer *server_;
  std::string bundle_path_;
};

DevServer *ConnectionReuseTls::server_ = nullptr;

TEST_F(ConnectionReuseTls, OneConnectionCarriesTheCallsWithTheCertificatePresented) {
  struct Case {
    const char *name;
    bool reuse;
    int http_2;
    const char *alpn;
  };
  for (const Case &c : {Case{"h2 reuse", true, 1, "h2"}, Case{"h1 reuse", true, 0, "http/1.1"},
                        Case{"h2 per call", false, 1, "h2"}}) {
    SCOPED_TRACE(c.name);
    Client client;
    open(client, c.reuse, bundle_path_, c.http_2);
    const size_t before = server_->access_log().size();
    for (int i = 0; i < 3; ++i) {
      Call call;
      acquire(call, client, std::string(c.name) + "-" + std::to_string(i));
      ASSERT_EQ(call.status, SV_OK) << call.message();
    }
    const auto entries = access_since(before, 3);
    ASSERT_EQ(entries.size(), 3u);
    std::set<int> ports;
    for (const auto &entry : entries) {
      EXPECT_EQ(entry.alpn, c.alpn);
      EXPECT_EQ(entry.status, 200);
      EXPECT_NE(entry.client_subject, "-");
      EXPECT_NE(entry.remote_port, 0);
      ports.insert(entry.remote_port);
    }
    EXPECT_EQ(ports.size(), c.reuse ? 1u : 3u);
  }
}

TEST_F(ConnectionReuseTls, AHandshakeThatMustFailFailsOnEveryCall) {
  Identity other_ca;
  Identity stranger;
  engine_test::make_identity(other_ca, "reuse other ca", nullptr, true);
  engine_test::make_identity(stranger, "reuse stranger", &other_ca, false);
  // A server this client cannot trust, and a client identity the server does not trust.
  const std::string untrusting = engine_test::write_temp_file(
      "reuse-other-ca.pem", read_file(server_->certs().client_cert()) +
                                read_file(server_->certs().client_key()) + other_ca.cert_pem());
  const std::string untrusted =
      engine_test::write_temp_file("reuse-stranger.pem", stranger.cert_pem() + stranger.key_pem() +
                                                             read_file(server_->ca_path()));

  // A trusted client of the same process has a live pooled connection the whole time: pools
  // belong to one client, so nothing of it may let the others in.
  Client trusted;
  open(trusted, true, bundle_path_);
  Call warm;
  acquire(warm, trusted, "tls-trusted-0");
  ASSERT_EQ(warm.status, SV_OK) << warm.message();

  for (const std::string *bundle : {&untrusting, &untrusted}) {
    SCOPED_TRACE(*bundle);
    Client client;
    open(client, true, *bundle);
    for (int i = 0; i < 3; ++i) {
      Call call;
      acquire(call, client, "tls-refused");
      EXPECT_EQ(call.status, SV_ERR_TRANSPORT) << call.message();
      EXPECT_EQ(call.result.status, 0);
    }
    Call again;
    acquire(again, trusted, "tls-trusted-again");
    EXPECT_EQ(again.status, SV_OK) << again.message();
  }
  EXPECT_FALSE(server_->state("tls-refused").lease.has_value());
}

// Eight threads on one client: every call succeeds with its own answer, and the pool serves
// them over fewer connections than calls. Run under ThreadSanitizer this also checks the
// pool's locking.
void run_threads(const Client &client, const std::string &prefix, size_t *successes) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 6;
  std::atomic<size_t> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&client, &ok, &prefix, t] {
      for (int i = 0; i < kCalls; ++i) {
        Call call;
        const std::string key = prefix + std::to_string(t) + "-" + std::to_string(i);
        engine_test::post_json(call, client.client, "/v1/acquire", engine_test::acquire_json(key));
        if (call.status == SV_OK && call.result.status == 200 && call.reply.key != nullptr &&
            key == call.reply.key) {
          ++ok;
        }
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  *successes = ok.load();
}

TEST_F(ConnectionReuseTls, EightThreadsShareOneClient) {
  Client client;
  open(client, true, bundle_path_);
  const size_t before = server_->access_log().size();
  size_t successes = 0;
  run_threads(client, "tls-thread-", &successes);
  EXPECT_EQ(successes, 48u);
  const auto entries = access_since(before, 48);
  ASSERT_EQ(entries.size(), 48u);
  std::set<int> ports;
  for (const auto &entry : entries) {
    EXPECT_NE(entry.client_subject, "-");
    ports.insert(entry.remote_port);
  }
  EXPECT_LT(ports.size(), entries.size());
}

TEST(ConnectionReusePlainThreads, EightThreadsShareOneClient) {
  DevServer server;
  Client client;
  client.config.disable_mtls = 1;
  client.config.reuse_connections = 1;
  client.config.timeout_ms = 10000;
  ASSERT_EQ(client.open({server.http_url()}), SV_OK) << client.open_message;
  size_t successes = 0;
  run_threads(client, "plain-thread-", &successes);
  EXPECT_EQ(successes, 48u);
  ASSERT_TRUE(server.wait_for_requests(48));
  std::set<uint64_t> connections;
  for (const auto &request : server.requests())
    connections.insert(request.connection);
  EXPECT_LT(connections.size(), 48u);
}

}  // namespace
