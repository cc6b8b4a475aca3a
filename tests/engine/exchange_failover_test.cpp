// The endpoint walk: which outcomes move on to the next endpoint and which end the call, with
// the exact trace events of each walk. One dev server is reached under two names (127.0.0.1
// and localhost), so the request log shows every attempt and the trace shows which endpoint
// each one used.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "exchange_fixture.h"

namespace {

using engine_test::Call;
using engine_test::Client;
using engine_test::LogCapture;
using stavo::test::DevServer;
using stavo::test::Fault;
using Events = std::vector<std::string>;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

class ExchangeFailover : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    first_ = "http://127.0.0.1:" + std::to_string(server_->http_port());
    second_ = "http://localhost:" + std::to_string(server_->http_port());
    refused_ = "http://127.0.0.1:" + std::to_string(engine_test::refused_port());
    client_.config.disable_mtls = 1;
    client_.config.logger = capture_.logger;
  }
  void open(const std::vector<std::string> &endpoints, int64_t timeout_ms = 0) {
    client_.config.timeout_ms = timeout_ms;
    ASSERT_EQ(client_.open(endpoints), SV_OK) << client_.open_message;
    capture_.clear();
  }
  void acquire(Call &call, const std::string &key) {
    engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json(key));
  }
  size_t requests_seen() {
    server_->wait_for_requests(1, std::chrono::milliseconds(2000));
    return server_->requests().size();
  }
  // Checks the fields every attempt-level event carries.
  void expect_attempt_fields(const nlohmann::json &record, const std::string &endpoint, int attempt,
                             int total) {
    EXPECT_EQ(record["level"], "trace");
    EXPECT_EQ(record["sys"], "client.stavo");
    EXPECT_EQ(record["method"], "POST");
    EXPECT_EQ(record["path"], "/v1/acquire");
    EXPECT_EQ(record["endpoint"], endpoint);
    EXPECT_EQ(record["attempt"], attempt);
    EXPECT_EQ(record["total"], total);
  }

  static DevServer *server_;
  std::string first_, second_, refused_;
  LogCapture capture_;
  Client client_;
};

DevServer *ExchangeFailover::server_ = nullptr;

TEST_F(ExchangeFailover, RefusedFirstEndpointMovesOnToTheSecond) {
  open({refused_, first_});
  Call call;
  acquire(call, "refused-then-ok");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(text(call.reply.key), "refused-then-ok");
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.error",
                    "client.http.attempt", "client.http.success"}));
  const auto order = capture_.with_message("client.http.order");
  ASSERT_EQ(order.size(), 1u);
  EXPECT_EQ(order[0]["level"], "trace");
  EXPECT_EQ(order[0]["method"], "POST");
  EXPECT_EQ(order[0]["path"], "/v1/acquire");
  EXPECT_EQ(order[0]["endpoints"], refused_ + "," + first_);
  const auto attempts = capture_.with_message("client.http.attempt");
  ASSERT_EQ(attempts.size(), 2u);
  expect_attempt_fields(attempts[0], refused_, 1, 2);
  expect_attempt_fields(attempts[1], first_, 2, 2);
  const auto errors = capture_.with_message("client.http.error");
  ASSERT_EQ(errors.size(), 1u);
  expect_attempt_fields(errors[0], refused_, 1, 2);
  ASSERT_TRUE(errors[0]["error"].is_string());
  EXPECT_FALSE(errors[0]["error"].get<std::string>().empty());
  const auto successes = capture_.with_message("client.http.success");
  ASSERT_EQ(successes.size(), 1u);
  expect_attempt_fields(successes[0], first_, 2, 2);
  EXPECT_EQ(successes[0]["status"], 200);
  EXPECT_EQ(successes[0]["cid"], text(call.result.correlation_id));
  EXPECT_EQ(requests_seen(), 1u);
}

TEST_F(ExchangeFailover, EveryEndpointRefusedEndsWithTheTransportText) {
  const std::string other = "http://127.0.0.1:" + std::to_string(engine_test::refused_port());
  open({refused_, other});
  Call call;
  acquire(call, "nobody");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_NE(call.message().find("onnect"), std::string::npos) << call.message();
  EXPECT_EQ(call.error.code, SV_ERR_TRANSPORT);
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.error",
                    "client.http.attempt", "client.http.error"}));
  const auto errors = capture_.with_message("client.http.error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1]["error"], call.message());
  EXPECT_EQ(call.reply.lease_id, nullptr);
}

TEST_F(ExchangeFailover, NodePassiveMovesOnToTheNextEndpoint) {
  server_->add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive", "standby"));
  open({first_, second_});
  Call call;
  acquire(call, "passive-then-ok");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(call.result.server_error_code, nullptr);  // the 503's members are gone
  EXPECT_EQ(text(call.reply.key), "passive-then-ok");
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.success",
                    "client.http.attempt", "client.http.success"}));
  const auto successes = capture_.with_message("client.http.success");
  ASSERT_EQ(successes.size(), 2u);
  expect_attempt_fields(successes[0], first_, 1, 2);
  EXPECT_EQ(successes[0]["status"], 503);
  expect_attempt_fields(successes[1], second_, 2, 2);
  EXPECT_EQ(successes[1]["status"], 200);
  ASSERT_TRUE(server_->wait_for_requests(2));
  EXPECT_EQ(server_->requests().size(), 2u);
}

TEST_F(ExchangeFailover, NodePassiveFromTheLastEndpointIsReturned) {
  server_->add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive").repeat(2));
  open({first_, second_});
  Call call;
  acquire(call, "all-passive");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 503);
  EXPECT_EQ(text(call.result.server_error_code), "node_passive");
  ASSERT_TRUE(server_->wait_for_requests(2));
  EXPECT_EQ(server_->requests().size(), 2u);
}

TEST_F(ExchangeFailover, OtherServiceUnavailableAnswersAreReturned) {
  server_->add_fault(Fault::error("POST", "/v1/acquire", 503, "overloaded", "busy"));
  open({first_, second_});
  Call call;
  acquire(call, "overloaded");
  ASSERT_EQ(call.status, SV_OK);
  EXPECT_EQ(call.result.status, 503);
  EXPECT_EQ(text(call.result.server_error_code), "overloaded");
  EXPECT_EQ(text(call.result.detail), "busy");
  EXPECT_EQ(requests_seen(), 1u);

  // A 503 without an error body is not "node_passive" either.
  server_->clear_requests();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 503));
  Call bare;
  acquire(bare, "bare-503");
  ASSERT_EQ(bare.status, SV_OK);
  EXPECT_EQ(bare.result.status, 503);
  EXPECT_EQ(requests_seen(), 1u);
}

TEST_F(ExchangeFailover, ConflictAndInternalErrorAreReturnedAtOnce) {
  open({first_, second_});
  for (int status : {409, 500}) {
    SCOPED_TRACE(status);
    server_->clear_requests();
    capture_.clear();
    server_->add_fault(Fault::error("POST", "/v1/acquire", status, "some_failure", "no"));
    Call call;
    acquire(call, "at-once-" + std::to_string(status));
    ASSERT_EQ(call.status, SV_OK);
    EXPECT_EQ(call.result.status, status);
    EXPECT_EQ(text(call.result.server_error_code), "some_failure");
    EXPECT_EQ(requests_seen(), 1u);
    EXPECT_EQ(engine_test::http_events(capture_),
              (Events{"client.http.order", "client.http.attempt", "client.http.success"}));
  }
}

TEST_F(ExchangeFailover, MalformedNumericHeadersEndTheCall) {
  open({first_, second_});
  struct Case {
    const char *header;
    const char *value;
    const char *message;
  };
  const Case cases[] = {
      {"X-Fencing-Token", "12abc", "response X-Fencing-Token header is invalid"},
      {"X-Key-Version", "99999999999999999999", "response X-Key-Version header is invalid"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    server_->clear_requests();
    capture_.clear();
    server_->add_fault(
        Fault::respond("POST", "/v1/acquire", 200, "{\"lease_id\":\"L\"}", {{c.header, c.value}}));
    Call call;
    acquire(call, "bad-header");
    EXPECT_EQ(call.status, SV_ERR_PROTOCOL);
    EXPECT_EQ(call.message(), c.message);
    EXPECT_EQ(call.reply.lease_id, nullptr);
    EXPECT_EQ(requests_seen(), 1u);
    EXPECT_EQ(engine_test::http_events(capture_),
              (Events{"client.http.order", "client.http.attempt", "client.http.error"}));
  }
}

TEST_F(ExchangeFailover, BodyLimitFailureDoesNotMoveOn) {
  client_.config.response_limit_bytes = 8;
  open({first_, second_});
  Call call;
  acquire(call, "too-big");
  EXPECT_EQ(call.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(call.message(), "typed JSON response exceeds configured byte limit");
  EXPECT_EQ(requests_seen(), 1u);
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.error"}));
}

TEST_F(ExchangeFailover, ConnectionCutMidBodyMovesOnWithAFreshRecord) {
  Fault cut =
      Fault::respond("POST", "/v1/acquire", 200,
                     "{\"key\":\"from-the-cut-answer\",\"txn_id\":\"t0\",\"lease_id\":\"L0\"}");
  cut.close_after_bytes = 40;
  server_->add_fault(cut);
  open({first_, second_});
  Call call;
  acquire(call, "after-cut");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(text(call.reply.key), "after-cut");
  EXPECT_NE(text(call.reply.txn_id), "t0");
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.error",
                    "client.http.attempt", "client.http.success"}));
}

TEST_F(ExchangeFailover, DroppedConnectionOnTheOnlyEndpointIsATransportError) {
  server_->add_fault(Fault::dropped("POST", "/v1/acquire"));
  open({first_});
  Call call;
  acquire(call, "dropped");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_FALSE(call.message().empty());
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.attempt", "client.http.error"}));
}

TEST_F(ExchangeFailover, TimeoutOnTheFirstEndpointMovesOn) {
  Fault slow = Fault::held("POST", "/v1/acquire");
  slow.status = 200;
  slow.body = "{\"lease_id\":\"never\"}";
  server_->add_fault(slow);
  open({first_, second_}, 300);
  Call call;
  acquire(call, "after-timeout");
  server_->release_held();
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.reply.key), "after-timeout");
  const auto errors = capture_.with_message("client.http.error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0]["error"].get<std::string>().find("timed out"), std::string::npos);
}

TEST_F(ExchangeFailover, StaleCallerErrorDoesNotStopTheWalk) {
  open({refused_, first_});
  Call call;
  sv_engine_set_transport_error(&call.error, "left over from an earlier call");
  acquire(call, "stale-error");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  // The caller's record is only written when the call fails.
  EXPECT_EQ(call.message(), "left over from an earlier call");
}

TEST_F(ExchangeFailover, StreamedBodyIsGeneratedAgainForTheNextEndpoint) {
  open({refused_, first_});
  engine_test::AcquireBody body{};
  char ns[] = "default", key[] = "streamed-failover";
  body.ns = ns;
  body.key = key;
  body.ttl_seconds = 9;
  const sv_engine_header headers[] = {{"Content-Type", "application/json"}};
  Call call;
  call.status = sv_engine_http_json_request_stream(
      client_.client, "POST", "/v1/acquire", &engine_test::acquire_body_map, &body, nullptr,
      headers, 1, &engine_test::lease_reply_map, &call.reply, &call.result, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.reply.key), "streamed-failover");
  ASSERT_EQ(requests_seen(), 1u);
  EXPECT_EQ(server_->requests()[0].body,
            "{\"namespace\":\"default\",\"key\":\"streamed-failover\",\"ttl_seconds\":9}");
}

struct NoteBody {
  brindle_source note;
};
const brindle_field note_fields[] = {
    BRINDLE_DECL_SOURCE(NoteBody, note, "note", BRINDLE_FIELD_SOURCE_TEXT, 0),
};
const brindle_map note_map = BRINDLE_MAP("note_request", NoteBody, note_fields);

TEST_F(ExchangeFailover, BodyThatCannotBeGeneratedIsALocalFailure) {
  open({first_, second_});
  NoteBody body{};
  brindle_source_init(&body.note);
  // A directory opens but cannot be read.
  ASSERT_EQ(brindle_source_set_path(&body.note, "/", nullptr), BRINDLE_OK);
  Call call;
  call.status = sv_engine_http_json_request_stream(client_.client, "POST", "/v1/acquire", &note_map,
                                                   &body, nullptr, nullptr, 0, nullptr, nullptr,
                                                   &call.result, &call.error);
  brindle_source_cleanup(&body.note);
  EXPECT_NE(call.status, SV_OK);
  EXPECT_NE(call.error.code, 0);
  EXPECT_EQ(capture_.with_message("client.http.attempt").size(), 1u);  // no second endpoint
}

TEST_F(ExchangeFailover, NoEndpointsAtAllIsUnreachable) {
  sv_engine_client empty{};
  empty.logger = capture_.logger;
  Call call;
  engine_test::post_json(call, &empty, "/v1/acquire", "{}");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(call.message(), "all configured endpoints failed");
  EXPECT_EQ(engine_test::http_events(capture_),
            (Events{"client.http.order", "client.http.unreachable"}));
  const auto unreachable = capture_.with_message("client.http.unreachable");
  ASSERT_EQ(unreachable.size(), 1u);
  EXPECT_EQ(unreachable[0]["level"], "debug");
  EXPECT_EQ(unreachable[0]["method"], "POST");
  EXPECT_EQ(unreachable[0]["path"], "/v1/acquire");
  EXPECT_TRUE(unreachable[0]["error"].is_null());
  EXPECT_TRUE(capture_.with_message("client.http.order")[0]["endpoints"].is_null());
}

}  // namespace
