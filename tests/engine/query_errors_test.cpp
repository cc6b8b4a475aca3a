// Query failures: bad caller input, hostile or broken answers (over-long headers, a non-numeric
// index sequence, oversized or malformed bodies, cut-off transfers), refusing writers and
// handlers, and the walk over endpoints that answer "node_passive" or cannot be reached.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query_fixture.h"

namespace {

using engine_test::Client;
using engine_test::KeyLog;
using engine_test::StreamCall;
using engine_test::text;
using engine_test::WriterLog;
using stavo::test::DevServer;
using stavo::test::Fault;

class QueryErrors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    client_.config.disable_mtls = 1;
  }
  void open(size_t endpoints = 1, uint64_t limit = 0) {
    client_.config.response_limit_bytes = limit;
    ASSERT_EQ(client_.open(std::vector<std::string>(endpoints, server_->http_url())), SV_OK)
        << client_.open_message;
  }
  void query_into(StreamCall &call, const sv_engine_query_request &request, WriterLog &log) {
    call.status = sv_engine_client_query_into(client_.client, &request, engine_test::record_write,
                                              &log, &call.response, &call.error);
  }
  void query_keys(StreamCall &call, const sv_engine_query_request &request, KeyLog &log) {
    call.status = sv_engine_client_query_keys(
        client_.client, &request, &engine_test::key_log_handler, &log, &call.response, &call.error);
  }
  // A failed call leaves the response empty.
  static void expect_empty(const StreamCall &call) {
    EXPECT_EQ(call.response.cursor, nullptr);
    EXPECT_EQ(call.response.correlation_id, nullptr);
    EXPECT_EQ(call.response.metadata, nullptr);
    EXPECT_EQ(call.response.return_mode, nullptr);
    EXPECT_EQ(call.response.has_index_seq, 0);
  }

  static DevServer *server_;
  Client client_;
};

DevServer *QueryErrors::server_ = nullptr;

TEST_F(QueryErrors, ArgumentsAreCheckedBeforeAnyRequest) {
  open();
  WriterLog log;
  KeyLog keys;
  sv_engine_query_request request = engine_test::query_request("{}");
  sv_engine_query_stream_response response{};
  sv_engine_error error;
  sv_engine_error_init(&error);
  EXPECT_EQ(sv_engine_client_query_into(client_.client, &request, nullptr, &log, &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message),
            "query_into requires client, request, writer, response, and error");
  EXPECT_EQ(sv_engine_client_query_keys(client_.client, &request, &engine_test::key_log_handler,
                                        &keys, &response, nullptr),
            SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_client_query_keys(nullptr, &request, &engine_test::key_log_handler, &keys,
                                        &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message),
            "query_keys requires client, request, handler, response, and error");
  request.selector_json = "";
  EXPECT_EQ(sv_engine_client_query_into(client_.client, &request, engine_test::record_write, &log,
                                        &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "query_into requires selector_json");
  request.selector_json = nullptr;
  EXPECT_EQ(sv_engine_client_query_keys(client_.client, &request, &engine_test::key_log_handler,
                                        &keys, &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "query_keys requires selector_json");
  sv_engine_query_response plain{};
  EXPECT_EQ(sv_engine_client_query(client_.client, nullptr, &plain, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "client, request, and response are required");
  sv_engine_error_reset(&error);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(QueryErrors, SelectorsAndFieldsThatAreNotJsonFailBeforeAnyRequest) {
  open();
  WriterLog log;
  {
    StreamCall call(client_.client);
    query_into(call, engine_test::query_request("{\"/a\": "), log);
    EXPECT_EQ(call.status, SV_ERR_INVALID);
    EXPECT_EQ(call.message(), "failed to configure query selector");
    EXPECT_EQ(call.text(call.error.detail).rfind("offset ", 0), 0u) << call.text(call.error.detail);
  }
  {
    sv_engine_query_request request = engine_test::query_request("{} {}");
    KeyLog keys;
    StreamCall call(client_.client);
    query_keys(call, request, keys);
    EXPECT_EQ(call.status, SV_ERR_INVALID);
    EXPECT_EQ(call.message(), "failed to configure query selector");
    EXPECT_EQ(call.text(call.error.detail).rfind("offset ", 0), 0u) << call.text(call.error.detail);
  }
  {
    sv_engine_query_request request = engine_test::query_request("{}");
    request.fields_json = "[\"/a\",";
    StreamCall call(client_.client);
    query_into(call, request, log);
    EXPECT_EQ(call.status, SV_ERR_INVALID);
    EXPECT_EQ(call.message(), "failed to configure query fields");
  }
  {
    sv_engine_query_request request = engine_test::query_request("not json");
    sv_engine_query_response response{};
    sv_engine_error error;
    sv_engine_error_init(&error);
    EXPECT_EQ(sv_engine_client_query(client_.client, &request, &response, &error), SV_ERR_INVALID);
    EXPECT_EQ(text(error.message), "failed to configure query selector");
    EXPECT_EQ(text(error.detail), "offset 2: invalid JSON literal");
    sv_engine_error_reset(&error);
  }
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_TRUE(log.bytes.empty());
}

TEST_F(QueryErrors, ServerErrorsCarryTheirMembersAndNeverReachTheWriter) {
  open();
  server_->add_fault(
      Fault::respond("POST", "/v1/query", 400,
                     "{\"error\":\"invalid_selector\",\"detail\":\"unknown operator $near\"}",
                     {{"Content-Type", "application/json"}, {"X-Correlation-Id", "bad-1"}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{\"/a\":{\"$near\":1}}"), log);
  EXPECT_EQ(call.status, SV_ERR_SERVER);
  EXPECT_EQ(call.message(), "stavo returned a non-success status");
  EXPECT_EQ(call.error.http_status, 400);
  EXPECT_EQ(text(call.error.server_error_code), "invalid_selector");
  EXPECT_EQ(text(call.error.detail), "unknown operator $near");
  EXPECT_EQ(text(call.error.correlation_id), "bad-1");
  EXPECT_EQ(log.writes, 0u);
  expect_empty(call);
}

TEST_F(QueryErrors, RedirectBodiesAreNotPassedToTheWriter) {
  open();
  server_->add_fault(
      Fault::respond("POST", "/v1/query", 302, "moved elsewhere", {{"Location", "/v2/query"}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  EXPECT_NE(call.status, SV_OK);
  EXPECT_EQ(log.writes, 0u);
  EXPECT_EQ(server_->requests().size(), 1u);  // not followed
}

TEST_F(QueryErrors, ErrorBodyOverEightKilobytesIsReadNoFurtherAndKeepsItsStatus) {
  open();
  const std::string detail(9000, 'x');
  server_->add_fault(Fault::error("POST", "/v1/query", 500, "internal", detail));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  EXPECT_EQ(call.status, SV_ERR_SERVER);
  EXPECT_EQ(call.error.http_status, 500);
  EXPECT_NE(std::string(call.error.detail != nullptr ? call.error.detail : "").find(" [truncated]"),
            std::string::npos);
  expect_empty(call);

  // Just under the limit (with its terminator) is still decoded.
  std::string fits = "{\"error\":\"internal\",\"detail\":\"" + std::string(3000, 'y') + "\"}";
  fits.insert(fits.size() - 1, 8191 - fits.size(), ' ');
  ASSERT_EQ(fits.size(), 8191u);
  server_->add_fault(Fault::respond("POST", "/v1/query", 500, fits));
  StreamCall second(client_.client);
  query_into(second, engine_test::query_request("{}"), log);
  EXPECT_EQ(second.status, SV_ERR_SERVER) << second.message();
  EXPECT_EQ(text(second.error.server_error_code), "internal");
}

TEST_F(QueryErrors, AnErrorBodyThatIsNotJsonKeepsItsStatus) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/query", 502, "<html>oops</html>"));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  EXPECT_EQ(call.status, SV_ERR_SERVER);
  EXPECT_EQ(call.error.http_status, 502);
  EXPECT_EQ(text(call.error.detail), "<html>oops</html>");
}

TEST_F(QueryErrors, NonNumericIndexSequenceEndsTheCall) {
  open();
  for (const char *value : {"12abc", "-1", "", "18446744073709551616"}) {
    server_->add_fault(
        engine_test::query_answer("{\"keys\":[\"a\"]}", {{"X-Stavo-Query-Index-Seq", value}}));
    KeyLog log;
    StreamCall call(client_.client);
    query_keys(call, engine_test::query_request("{}"), log);
    EXPECT_EQ(call.status, SV_ERR_PROTOCOL) << value;
    EXPECT_EQ(call.message(), "failed to parse query index sequence") << value;
    EXPECT_TRUE(log.keys.empty()) << value;
    expect_empty(call);
  }
}

TEST_F(QueryErrors, OverLongPagingHeaderIsRefused) {
  open();
  server_->add_fault(engine_test::query_answer(
      "{\"key\":\"a\"}\n", {{"X-Stavo-Query-Metadata", "\"" + std::string(70000, 'm') + "\""}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  EXPECT_EQ(call.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(call.message(), "query response header is too long");
  EXPECT_EQ(log.writes, 0u);
  expect_empty(call);

  // A header beyond what libcurl accepts at all ends the call as a transport failure.
  server_->add_fault(engine_test::query_answer(
      "{\"key\":\"a\"}\n", {{"X-Stavo-Query-Cursor", std::string(400000, 'c')}}));
  StreamCall second(client_.client);
  query_into(second, engine_test::query_request("{}"), log);
  EXPECT_NE(second.status, SV_OK);
  EXPECT_EQ(log.writes, 0u);
  expect_empty(second);
}

TEST_F(QueryErrors, MalformedKeysAnswersAreProtocolErrors) {
  open();
  const char *bodies[] = {
      "{\"key\":\"doc-1\",\"version\":1}\n{\"key\":\"doc-2\",\"version\":2}\n",  // NDJSON
      "{\"keys\":[\"a\",\"b\"",                                                  // cut short
      "{\"keys\":[\"a\",7]}",                                                    // not a string
      "[\"a\"]",
  };
  for (const char *body : bodies) {
    server_->add_fault(engine_test::query_answer(body));
    KeyLog log;
    StreamCall call(client_.client);
    query_keys(call, engine_test::query_request("{}"), log);
    EXPECT_EQ(call.status, SV_ERR_PROTOCOL) << body;
    EXPECT_EQ(call.message(), "failed to parse query keys response") << body;
    expect_empty(call);
  }
}

TEST_F(QueryErrors, BodyPagingDataIsBounded) {
  open(1, 4096);
  // A cursor larger than anything a header may carry.
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"a\"],\"cursor\":\"" +
                                               std::string(70000, 'c') + "\"}"));
  KeyLog log;
  StreamCall call(client_.client);
  query_keys(call, engine_test::query_request("{}"), log);
  EXPECT_EQ(call.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(call.message(), "failed to parse query keys response");

  // Metadata over the client's response limit.
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"a\"],\"metadata\":{\"big\":\"" +
                                               std::string(5000, 'm') + "\"}}"));
  StreamCall second(client_.client);
  query_keys(second, engine_test::query_request("{}"), log);
  EXPECT_EQ(second.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(second.message(), "query metadata exceeds configured byte limit");
  expect_empty(second);
}

TEST_F(QueryErrors, CutOffAnswerIsATransportError) {
  open();
  Fault cut = engine_test::query_answer(engine_test::ndjson_documents(1000));
  cut.close_after_bytes = 5000;
  server_->add_fault(cut);
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_NE(call.message(), "<null>");
  EXPECT_LE(log.bytes.size(), 5000u);
  expect_empty(call);
}

TEST_F(QueryErrors, RefusingWritersAndHandlersStopTheTransfer) {
  open();
  server_->add_fault(engine_test::query_answer(engine_test::ndjson_documents(20000)).repeat(2));
  {
    WriterLog log;
    log.refuse_on = 2;
    StreamCall call(client_.client);
    query_into(call, engine_test::query_request("{}"), log);
    EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
    EXPECT_EQ(call.message(), "query writer callback failed");
    EXPECT_EQ(log.writes, 2u);
    expect_empty(call);
  }
  {
    WriterLog log;
    log.refuse_on = 1;
    log.refusal_message = "disk full";
    StreamCall call(client_.client);
    query_into(call, engine_test::query_request("{}"), log);
    EXPECT_EQ(call.status, SV_ERR_INVALID);  // the writer's own error is kept
    EXPECT_EQ(call.message(), "disk full");
  }
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"a\",\"b\",\"c\"]}"));
  KeyLog keys;
  keys.refuse_chunk_on = 2;
  StreamCall call(client_.client);
  query_keys(call, engine_test::query_request("{}"), keys);
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(call.message(), "query key chunk callback failed");
  EXPECT_EQ(keys.keys, std::vector<std::string>{"a"});
}

TEST_F(QueryErrors, RefusingBeginOrEndIsReportedByName) {
  open();
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"a\"]}").repeat(2));
  const sv_engine_query_key_handler refuse_begin = {[](void *, sv_engine_error *) { return 0; },
                                                    nullptr, nullptr};
  const sv_engine_query_key_handler refuse_end = {nullptr, nullptr,
                                                  [](void *, sv_engine_error *) { return 0; }};
  const sv_engine_query_request request = engine_test::query_request("{}");
  StreamCall first(client_.client);
  first.status = sv_engine_client_query_keys(client_.client, &request, &refuse_begin, nullptr,
                                             &first.response, &first.error);
  EXPECT_EQ(first.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(first.message(), "query key begin callback failed");
  StreamCall second(client_.client);
  second.status = sv_engine_client_query_keys(client_.client, &request, &refuse_end, nullptr,
                                              &second.response, &second.error);
  EXPECT_EQ(second.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(second.message(), "query key end callback failed");
}

TEST_F(QueryErrors, NodePassiveMovesBothStreamingFormsToTheNextEndpoint) {
  open(2);
  server_->add_fault(Fault::error("POST", "/v1/query", 503, "node_passive", "follower"));
  server_->add_fault(
      engine_test::query_answer("{\"key\":\"a\"}\n", {{"X-Stavo-Query-Cursor", "from-second"}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(log.bytes, "{\"key\":\"a\"}\n");  // nothing of the 503 reached the writer
  EXPECT_EQ(text(call.response.cursor), "from-second");
  EXPECT_EQ(call.error.code, 0);
  EXPECT_EQ(server_->requests().size(), 2u);

  server_->clear_requests();
  // The passive answer's headers do not leak into the answer of the next endpoint.
  server_->add_fault(Fault::respond("POST", "/v1/query", 503, "{\"error\":\"node_passive\"}",
                                    {{"X-Stavo-Query-Cursor", "stale"}}));
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"k1\",\"k2\"]}"));
  KeyLog keys;
  StreamCall second(client_.client);
  query_keys(second, engine_test::query_request("{}"), keys);
  ASSERT_EQ(second.status, SV_OK) << second.message();
  EXPECT_EQ(keys.keys, (std::vector<std::string>{"k1", "k2"}));
  EXPECT_EQ(second.response.cursor, nullptr);
  EXPECT_EQ(server_->requests().size(), 2u);
}

TEST_F(QueryErrors, PassiveLastEndpointAndOtherServiceErrors) {
  open(2);
  server_->add_fault(Fault::error("POST", "/v1/query", 503, "node_passive").repeat(2));
  KeyLog keys;
  StreamCall call(client_.client);
  query_keys(call, engine_test::query_request("{}"), keys);
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(call.message(), "all endpoints rejected the streaming query request");
  EXPECT_EQ(server_->requests().size(), 2u);

  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/query", 503, "overloaded"));
  WriterLog log;
  StreamCall second(client_.client);
  query_into(second, engine_test::query_request("{}"), log);
  EXPECT_EQ(second.status, SV_ERR_SERVER);
  EXPECT_EQ(text(second.error.server_error_code), "overloaded");
  EXPECT_EQ(server_->requests().size(), 1u);  // no failover for other errors
}

}  // namespace

namespace {

// A first endpoint that refuses connections is passed over by both query streams; with no
// endpoint left the connect failure is the answer.
TEST_F(QueryErrors, AnEndpointThatCannotBeReachedIsPassedOver) {
  server_->seed_state("reachable", R"({"n":1})");
  const std::string refused = "127.0.0.1:" + std::to_string(engine_test::refused_port());
  ASSERT_EQ(client_.open({refused, server_->http_url()}), SV_OK) << client_.open_message;
  WriterLog log;
  StreamCall rows(client_.client);
  query_into(rows, engine_test::query_request(R"({"/n":1})"), log);
  ASSERT_EQ(rows.status, SV_OK) << rows.message();
  EXPECT_NE(log.bytes.find("reachable"), std::string::npos);
  KeyLog keys;
  StreamCall by_key(client_.client);
  query_keys(by_key, engine_test::query_request(R"({"/n":1})"), keys);
  ASSERT_EQ(by_key.status, SV_OK) << by_key.message();

  Client none;
  none.config.disable_mtls = 1;
  ASSERT_EQ(none.open({refused, refused}), SV_OK);
  StreamCall failed(none.client);
  WriterLog nothing;
  const sv_engine_query_request request = engine_test::query_request("{}");
  failed.status = sv_engine_client_query_into(none.client, &request, engine_test::record_write,
                                              &nothing, &failed.response, &failed.error);
  EXPECT_EQ(failed.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(failed.error.transport_cause, SV_TRANSPORT_CAUSE_CONNECT);
  EXPECT_EQ(nothing.writes, 0u);
}

}  // namespace
