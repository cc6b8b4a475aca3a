// reuse_connections through the public API: off unless asked for, passed on to the engine, and
// one client shared by eight threads for whole lease lives (acquire, update, get, release) over
// HTTP/2 with mutual TLS and over plain HTTP.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lease_test_support.h"
#include "stavoc_engine.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using stavo::test::DevServer;

TEST(ClientReuse, OffByDefault) {
  sv_client_config config;
  std::memset(&config, 0xff, sizeof config);
  sv_client_config_init(&config);
  EXPECT_EQ(config.reuse_connections, 0);
  sv_engine_client_config engine;
  std::memset(&engine, 0xff, sizeof engine);
  sv_engine_client_config_init(&engine);
  EXPECT_EQ(engine.reuse_connections, 0);
}

// One lease life; returns an empty string on success, else what went wrong.
std::string lease_life(sv_client *client, const std::string &key) {
  Error error;
  sv_acquire_req acquire = lease_test::acquire_request(key.c_str(), "reuse-test");
  sv_lease *raw = nullptr;
  if (sv_acquire(client, &acquire, &raw, error.get()) != SV_OK)
    return "acquire: " + error.message();
  std::unique_ptr<sv_lease, lease_test::LeaseCloser> lease(raw);
  const std::string document = R"({"key":")" + key + R"("})";
  auto source = lease_test::memory_source(document);
  if (sv_lease_update(raw, source.get(), nullptr, error.get()) != SV_OK) {
    return "update: " + error.message();
  }
  auto sink = lease_test::memory_sink();
  sv_get_res got{};
  if (sv_lease_get(raw, sink.get(), nullptr, &got, error.get()) != SV_OK) {
    return "get: " + error.message();
  }
  sv_get_res_cleanup(&got);
  if (lease_test::sink_text(sink.get()) != document) return "get: another document";
  sv_release_req release;
  sv_release_req_init(&release);
  if (sv_lease_release(raw, &release, error.get()) != SV_OK) return "release: " + error.message();
  (void)lease.release();  // a successful release freed the handle
  return {};
}

// Eight threads, each running lease lives on its own keys through the one client.
std::vector<std::string> run_threads(sv_client *client, const std::string &prefix) {
  constexpr int kThreads = 8;
  constexpr int kLives = 3;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([client, &failures, &prefix, t] {
      for (int i = 0; i < kLives && failures[t].empty(); ++i)
        failures[t] = lease_life(client, prefix + std::to_string(t) + "/" + std::to_string(i));
    });
  }
  for (auto &thread : threads)
    thread.join();
  return failures;
}

class ClientReuseThreads : public ::testing::TestWithParam<bool> {};

TEST_P(ClientReuseThreads, EightThreadsShareOneClient) {
  const bool tls = GetParam();
  DevServer server({.tls = tls});
  ClientConfig config(server, tls);
  config.config.reuse_connections = 1;
  config.config.timeout_ms = 10000;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);

  const auto failures = run_threads(client.get(), tls ? "tls/" : "plain/");
  for (size_t t = 0; t < failures.size(); ++t)
    EXPECT_EQ(failures[t], "") << "thread " << t;
  for (int t = 0; t < 8; ++t) {
    const std::string key = std::string(tls ? "tls/" : "plain/") + std::to_string(t) + "/2";
    EXPECT_EQ(server.state(key).state, R"({"key":")" + key + R"("})");
  }

  // 96 requests (four per lease life), over far fewer connections.
  constexpr size_t kRequests = 8 * 3 * 4;
  std::set<uint64_t> connections;
  if (tls) {
    ASSERT_TRUE(server.wait_for_access_log(kRequests));
    for (const auto &entry : server.access_log()) {
      EXPECT_NE(entry.client_subject, "-");
      connections.insert(static_cast<uint64_t>(entry.remote_port));
    }
  } else {
    ASSERT_TRUE(server.wait_for_requests(kRequests));
    for (const auto &request : server.requests())
      connections.insert(request.connection);
  }
  EXPECT_LE(connections.size(), kRequests / 4);
}

INSTANTIATE_TEST_SUITE_P(Transports, ClientReuseThreads, ::testing::Values(false, true),
                         [](const auto &param_info) { return param_info.param ? "Tls" : "Plain"; });

}  // namespace
