// Every operation that reads an answer, against every hostile answer of the dev server: the call
// ends with a clear error well within bounds of the client's timeout, and the process does not
// grow by more than a few MiB while it runs.
#include <gtest/gtest.h>

#include <chrono>

#include "hostile_support.h"

namespace {

using hostile_test::Env;
using hostile_test::HostileMode;
using hostile_test::Operation;
using hostile_test::Outcome;
using stavo::devserver::HostileRule;
using stavo::test::DevServer;

struct EngineClient {
  sv_engine_client *client = nullptr;
  // bundle empty: plain HTTP; else HTTP/2 over mutual TLS with this client bundle.
  EngineClient(const std::string &endpoint, int64_t timeout_ms, const std::string &bundle = {}) {
    const char *endpoints[] = {endpoint.c_str()};
    sv_engine_client_config config;
    sv_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = bundle.empty() ? 1 : 0;
    config.client_bundle_path = bundle.empty() ? nullptr : bundle.c_str();
    config.prefer_http_2 = 1;
    config.timeout_ms = timeout_ms;
    EXPECT_EQ(sv_engine_client_open(&config, &client, nullptr), SV_OK);
  }
  ~EngineClient() { sv_engine_client_close(client); }
  EngineClient(const EngineClient &) = delete;
  EngineClient &operator=(const EngineClient &) = delete;
};

bool may_succeed(const Operation &operation, HostileMode mode) {
  for (HostileMode allowed : operation.may_succeed) {
    if (allowed == mode) return true;
  }
  return false;
}

// Runs one operation with the next /v1/ request answered by mode; checks status and bounds.
void run_against(Env &env, const Operation &operation, HostileMode mode) {
  SCOPED_TRACE(std::string(operation.name) + " against " +
               std::string(stavo::devserver::hostile_mode_name(mode)));
  sv_lease *lease = nullptr;
  if (operation.needs_lease) {
    api_test::Error error;
    const std::string key = std::string("hostile-") + operation.name;  // a lease of its own
    sv_acquire_req req = lease_test::acquire_request(key.c_str());
    ASSERT_EQ(sv_acquire(env.client, &req, &lease, error.get()), SV_OK) << error.message();
  }
  const bool peak_known = hostile_test::reset_peak_rss();
  const long baseline = hostile_test::status_kib("VmRSS");
  env.server.server().hostile().add(HostileRule{mode, "", "", 1});

  const auto started = std::chrono::steady_clock::now();
  const Outcome outcome = operation.run(env, lease);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  const long peak = hostile_test::status_kib("VmHWM");
  const size_t unused_rules = env.server.server().hostile().pending();
  env.server.server().hostile().clear();
  sv_lease_close(lease);

  EXPECT_EQ(unused_rules, 0u) << "the operation never sent the request";
  // A hostile answer is the server's fault: never the caller's (SV_ERR_INVALID) nor a local
  // shortage (SV_ERR_NOMEM), which would send users looking in the wrong place.
  EXPECT_NE(outcome.status, SV_ERR_INVALID) << outcome.message;
  EXPECT_NE(outcome.status, SV_ERR_NOMEM) << outcome.message;
  if (!may_succeed(operation, mode)) {
    EXPECT_NE(outcome.status, SV_OK);
    EXPECT_NE(outcome.message, "<null>") << "a failure names its reason";
    EXPECT_FALSE(outcome.message.empty());
  } else if (outcome.status != SV_OK) {
    EXPECT_NE(outcome.message, "<null>");
  }
  // Generous: the point is that no answer holds a call past its timeout.
  EXPECT_LT(elapsed, std::chrono::milliseconds(hostile_test::kTimeoutMs + 4000));
#if !defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine, so the process size says little there.
  if (peak_known && baseline > 0 && peak > 0) {
    EXPECT_LT(peak - baseline, hostile_test::kPeakBudgetKib) << "peak RSS grew by KiB";
  }
#else
  (void)peak_known;
  (void)baseline;
  (void)peak;
#endif
}

class HostileModes : public ::testing::TestWithParam<HostileMode> {};

TEST_P(HostileModes, EveryOperationFailsClearlyWithinBounds) {
  DevServer server;
  lease_test::ClientConfig config(server, false);
  config.config.timeout_ms = hostile_test::kTimeoutMs;
  sv_client *client = nullptr;
  ASSERT_EQ(sv_client_open(&config.config, &client, nullptr), SV_OK);
  lease_test::ClientPtr owned(client);
  EngineClient engine(server.http_url(), hostile_test::kTimeoutMs);
  ASSERT_NE(engine.client, nullptr);
  Env env{server, client, engine.client};
  for (const Operation &operation : hostile_test::operations()) {
    run_against(env, operation, GetParam());
  }
}

// Through nghttpx over HTTP/2, a backend that closes the connection mid-body becomes a reset
// stream; every operation reports it.
TEST(HostileHttp2, StreamResetMidPayloadFailsEveryOperation) {
  DevServer server({.tls = true});
  lease_test::ClientConfig config(server, true);
  config.config.timeout_ms = hostile_test::kTimeoutMs;
  sv_client *client = nullptr;
  ASSERT_EQ(sv_client_open(&config.config, &client, nullptr), SV_OK);
  lease_test::ClientPtr owned(client);
  EngineClient engine(server.https_url(), hostile_test::kTimeoutMs, server.client_bundle_path());
  ASSERT_NE(engine.client, nullptr);
  Env env{server, client, engine.client};
  for (const Operation &operation : hostile_test::operations()) {
    run_against(env, operation, HostileMode::cut_mid_body);
  }
  ASSERT_TRUE(server.wait_for_access_log(1));
  EXPECT_EQ(server.access_log().back().alpn, "h2");
}

// Test names from mode names: "endless-headers" runs as .../endless_headers.
std::string mode_test_name(const ::testing::TestParamInfo<HostileMode> &param) {
  std::string name(stavo::devserver::hostile_mode_name(param.param));
  for (char &c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(AllModes, HostileModes,
                         ::testing::ValuesIn(stavo::devserver::all_hostile_modes()),
                         mode_test_name);

}  // namespace
