// The connect bound and the idle bound against a server that accepts the TCP connection and
// then says nothing: the connect bound ends a TLS handshake that never completes, the idle bound
// ends an answer that never comes, each well before the whole-request timeout, and the error
// says which.
#include <gtest/gtest.h>

#include <string>

#include "api/api_test_support.h"
#include "stavoc.h"
#include "support/loopback_listener.h"

namespace {

using api_test::Error;

// A loopback socket that listens but never accepts: the kernel completes the TCP handshake,
// and nothing is ever read or written.
using SilentServer = stavo::test::LoopbackListener;

int describe(const std::string &endpoint, int64_t connect_ms, int64_t idle_ms, Error &error) {
  const char *endpoints[] = {endpoint.c_str()};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  config.insecure_skip_verify = 1;
  config.timeout_ms = 60000;
  config.connect_timeout_ms = connect_ms;
  config.stream_idle_timeout_ms = idle_ms;
  sv_client *client = nullptr;
  if (sv_client_open(&config, &client, error.get()) != SV_OK) return -1;
  sv_describe_req req;
  sv_describe_req_init(&req);
  req.key = "k";
  sv_describe_res described{};
  const int status = sv_describe(client, &req, &described, error.get());
  sv_describe_res_cleanup(&described);
  sv_client_close(client);
  return status;
}

TEST(ConnectionBounds, AHandshakeThatNeverCompletesEndsAtTheConnectBound) {
  SilentServer silent;
  Error error;
  EXPECT_EQ(describe(silent.url("https"), 300, 0, error), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.record.transport_cause, SV_TRANSPORT_CAUSE_CONNECT_TIMEOUT) << error.message();
}

TEST(ConnectionBounds, AnAnswerThatNeverComesEndsAtTheIdleBound) {
  SilentServer silent;
  Error error;
  EXPECT_EQ(describe(silent.url("http"), 0, 1000, error), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.record.transport_cause, SV_TRANSPORT_CAUSE_STREAM_IDLE) << error.message();
}

TEST(ConnectionBounds, EachTransportFailureSaysWhatFailed) {
  Error refused;
  std::string closed;
  {
    SilentServer gone;  // its port is free again once it closes
    closed = gone.url("http");
  }
  EXPECT_EQ(describe(closed, 0, 0, refused), SV_ERR_TRANSPORT);
  EXPECT_EQ(refused.record.transport_cause, SV_TRANSPORT_CAUSE_CONNECT) << refused.message();
  // A server error is no transport failure and has no cause.
  Error invalid;
  EXPECT_EQ(describe("", 0, 0, invalid), -1);
  EXPECT_EQ(invalid.record.transport_cause, SV_TRANSPORT_CAUSE_NONE);
}

}  // namespace
