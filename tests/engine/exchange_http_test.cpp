// The typed exchange against the dev server over plain HTTP/1.1 on TCP: typed success bodies,
// response headers, the wire form of requests, error bodies, limits and timeouts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "brindle_io.h"
#include "exchange_fixture.h"

namespace {

using engine_test::Call;
using engine_test::Client;
using engine_test::LogCapture;
using stavo::test::DevServer;
using stavo::test::Fault;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

class ExchangeHttp : public ::testing::Test {
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
    client_.config.logger = capture_.logger;
  }
  void open(uint64_t limit = 0, int64_t timeout_ms = 0) {
    client_.config.response_limit_bytes = limit;
    client_.config.timeout_ms = timeout_ms;
    ASSERT_EQ(client_.open({server_->http_url()}), SV_OK) << client_.open_message;
    capture_.clear();
  }
  stavo::test::LoggedRequest only_request() {
    EXPECT_TRUE(server_->wait_for_requests(1));
    const auto requests = server_->requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? stavo::test::LoggedRequest{} : requests.back();
  }

  static DevServer *server_;
  LogCapture capture_;
  Client client_;
};

DevServer *ExchangeHttp::server_ = nullptr;

TEST_F(ExchangeHttp, TypedSuccessBodyAndWireForm) {
  open();
  Call call;
  const std::string body = engine_test::acquire_json("wire-1");
  engine_test::post_json(call, client_.client, "/v1/acquire", body,
                         {{"X-First", "1"}, {"X-Second", "two words"}, {"X-Third", nullptr}});
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(text(call.reply.key), "wire-1");
  EXPECT_NE(call.reply.lease_id, nullptr);
  EXPECT_EQ(call.reply.fencing_token, 1);
  EXPECT_NE(call.result.correlation_id, nullptr);
  EXPECT_EQ(text(call.result.content_type).rfind("application/json", 0), 0u);
  EXPECT_EQ(call.error.code, 0);

  const auto request = only_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1/acquire");
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.header("Content-Type").value_or(""), "application/json");
  EXPECT_EQ(request.header("Content-Length").value_or(""), std::to_string(body.size()));
  EXPECT_EQ(request.header("X-Second").value_or(""), "two words");
  EXPECT_FALSE(request.header("X-Third").has_value());  // a header without a value is left out
  ASSERT_TRUE(request.headers_in_order);
  std::vector<std::string> ours;
  for (const std::string &name : request.header_names()) {
    if (name == "Content-Type" || name.rfind("X-", 0) == 0) ours.push_back(name);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"Content-Type", "X-First", "X-Second"}));
  EXPECT_EQ(text(call.result.correlation_id), request.correlation_id);
}

TEST_F(ExchangeHttp, StreamedBodyKeepsKeyOrderAndOmitsUnsetMembers) {
  open();
  engine_test::AcquireBody body{};
  char ns[] = "default", key[] = "stream-1", owner[] = "me";
  body.ns = ns;
  body.key = key;
  body.ttl_seconds = 30;
  body.owner = owner;
  const sv_engine_header headers[] = {{"Content-Type", "application/json"}};
  Call call;
  call.status = sv_engine_http_json_request_stream(
      client_.client, "POST", "/v1/acquire", &engine_test::acquire_body_map, &body, nullptr,
      headers, 1, &engine_test::lease_reply_map, &call.reply, &call.result, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(text(call.reply.key), "stream-1");
  auto request = only_request();
  const std::string expected =
      "{\"namespace\":\"default\",\"key\":\"stream-1\",\"ttl_seconds\":30,\"owner\":\"me\"}";
  EXPECT_EQ(request.body, expected);
  // The length was measured, so the body is not chunked.
  EXPECT_EQ(request.header("Content-Length").value_or(""), std::to_string(expected.size()));
  EXPECT_FALSE(request.header("Transfer-Encoding").has_value());

  // Present members appear in map order; the owner is omitted when unset.
  server_->clear_requests();
  char key2[] = "stream-2", txn[] = "txn-7";
  body.key = key2;
  body.owner = nullptr;
  body.block_seconds = 0;
  body.has_block_seconds = 1;
  body.if_not_exists = 1;
  body.has_if_not_exists = 1;
  body.txn_id = txn;
  Call second;
  second.status = sv_engine_http_json_request_stream(
      client_.client, "POST", "/v1/acquire", &engine_test::acquire_body_map, &body, nullptr,
      headers, 1, &engine_test::lease_reply_map, &second.reply, &second.result, &second.error);
  ASSERT_EQ(second.status, SV_OK) << second.message();
  EXPECT_EQ(text(second.reply.txn_id), "txn-7");
  request = only_request();
  EXPECT_EQ(request.body,
            "{\"namespace\":\"default\",\"key\":\"stream-2\",\"ttl_seconds\":30,"
            "\"block_seconds\":0,\"if_not_exists\":true,\"txn_id\":\"txn-7\"}");
}

TEST_F(ExchangeHttp, StreamedFormWithoutBodySendsAnEmptyPost) {
  open();
  Call call;
  call.status = sv_engine_http_json_request_stream(client_.client, "POST", "/v1/acquire", nullptr,
                                                   nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                   &call.result, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 400);  // the server wants a JSON object
  EXPECT_NE(call.result.server_error_code, nullptr);
  const auto request = only_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body_size, 0u);
  EXPECT_EQ(request.header("Content-Length").value_or(""), "0");
}

TEST_F(ExchangeHttp, StreamedBodyWithAnotherMethodIsAnUpload) {
  open();
  engine_test::AcquireBody body{};
  char key[] = "put-1";
  body.key = key;
  body.ttl_seconds = 5;
  Call call;
  call.status = sv_engine_http_json_request_stream(
      client_.client, "PUT", "/v1/nowhere", &engine_test::acquire_body_map, &body, nullptr, nullptr,
      0, nullptr, nullptr, &call.result, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 404);
  const auto request = only_request();
  EXPECT_EQ(request.method, "PUT");
  const std::string expected = "{\"namespace\":null,\"key\":\"put-1\",\"ttl_seconds\":5}";
  EXPECT_EQ(request.body, expected);
  EXPECT_EQ(request.header("Content-Length").value_or(""), std::to_string(expected.size()));
}

struct NoteBody {
  brindle_source note;
};
const brindle_field note_fields[] = {
    BRINDLE_DECL_SOURCE(NoteBody, note, "note", BRINDLE_FIELD_SOURCE_TEXT, 0),
};
const brindle_map note_map = BRINDLE_MAP("note_request", NoteBody, note_fields);

TEST_F(ExchangeHttp, BodyThatCannotBeMeasuredGoesOutChunked) {
  open();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "he said \"hi\"", 12), 12);
  close(fds[1]);
  NoteBody body{};
  brindle_source_init(&body.note);
  ASSERT_EQ(brindle_source_set_fd(&body.note, fds[0], nullptr), BRINDLE_OK);
  Call call;
  call.status = sv_engine_http_json_request_stream(client_.client, "POST", "/v1/nowhere", &note_map,
                                                   &body, nullptr, nullptr, 0, nullptr, nullptr,
                                                   &call.result, &call.error);
  brindle_source_cleanup(&body.note);
  close(fds[0]);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 404);
  const auto request = only_request();
  EXPECT_EQ(request.header("Transfer-Encoding").value_or(""), "chunked");
  EXPECT_FALSE(request.header("Content-Length").has_value());
  EXPECT_EQ(request.body, "{\"note\":\"he said \\\"hi\\\"\"}");
}

TEST_F(ExchangeHttp, QueryStringsArriveAsEncoded) {
  open();
  Call acquire;
  engine_test::post_json(acquire, client_.client, "/v1/acquire",
                         "{\"key\":\"a b/\xc3\xbc?&\",\"ttl_seconds\":30}");
  ASSERT_EQ(acquire.status, SV_OK);
  ASSERT_EQ(acquire.result.status, 200);
  server_->clear_requests();

  char *key = sv_engine_url_encode("a b/\xc3\xbc?&");
  const std::string path = std::string("/v1/describe?key=") + key + "&namespace=default";
  std::free(key);
  Call call;
  call.status = sv_engine_http_json_request(client_.client, "GET", path.c_str(), nullptr, 0,
                                            nullptr, 0, &engine_test::lease_reply_map, &call.reply,
                                            &call.result, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(text(call.reply.key), "a b/\xc3\xbc?&");
  const auto request = only_request();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/v1/describe?key=a%20b%2F%C3%BC%3F%26&namespace=default");
  EXPECT_EQ(request.body_size, 0u);
  EXPECT_FALSE(request.header("Content-Length").has_value());
}

TEST_F(ExchangeHttp, ResponseHeadersAreCaptured) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200,
                                    "{\"lease_id\":\"L\",\"key\":\"k\"}",
                                    {{"Content-Type", "application/json"},
                                     {"etag", "\"abc123\""},
                                     {"X-KEY-VERSION", " 17"},
                                     {"x-fencing-token", "42"},
                                     {"X-Correlation-Id", "cid-fixed"}}));
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.result.etag), "abc123");
  EXPECT_EQ(call.result.key_version, 17);
  EXPECT_EQ(call.result.fencing_token, 42);
  EXPECT_EQ(text(call.result.correlation_id), "cid-fixed");
  EXPECT_EQ(text(call.reply.lease_id), "L");
}

TEST_F(ExchangeHttp, BodyDeliveredInTinyPiecesParsesTheSame) {
  open();
  server_->add_fault(Fault::in_pieces("POST", "/v1/acquire", std::vector<size_t>(64, 1),
                                      std::chrono::milliseconds(0)));
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json("pieces"));
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.reply.key), "pieces");
  EXPECT_NE(call.reply.lease_id, nullptr);
}

TEST_F(ExchangeHttp, ServerErrorBodyFillsTheResult) {
  open();
  server_->add_fault(Fault::respond(
      "POST", "/v1/acquire", 409,
      "{\"error\":\"lease_held\",\"detail\":\"held\",\"leader_endpoint\":\"https://leader\","
      "\"current_etag\":\"e1\",\"current_version\":8,\"retry_after_seconds\":4,\"x\":[1]}",
      {{"Content-Type", "application/json"}, {"X-Correlation-Id", "cid-409"}}));
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(call.status, SV_OK);
  EXPECT_EQ(call.result.status, 409);
  EXPECT_EQ(text(call.result.server_error_code), "lease_held");
  EXPECT_EQ(text(call.result.detail), "held");
  EXPECT_EQ(text(call.result.leader_endpoint), "https://leader");
  EXPECT_EQ(text(call.result.current_etag), "e1");
  EXPECT_EQ(call.result.current_version, 8);
  EXPECT_EQ(call.result.retry_after_seconds, 4);
  EXPECT_EQ(call.reply.lease_id, nullptr);  // the success record stays empty

  sv_engine_error error;
  sv_engine_error_init(&error);
  EXPECT_EQ(sv_engine_set_server_error_from_result(&error, &call.result), SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 409);
  EXPECT_EQ(text(error.correlation_id), "cid-409");
  EXPECT_EQ(text(error.server_error_code), "lease_held");
  EXPECT_EQ(error.retry_after_seconds, 4);
  sv_engine_error_reset(&error);
}

TEST_F(ExchangeHttp, NoContentAndBodilessAnswers) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 204));
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 204);
  EXPECT_EQ(call.reply.lease_id, nullptr);

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 500));
  Call empty_error;
  engine_test::post_json(empty_error, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(empty_error.status, SV_OK);
  EXPECT_EQ(empty_error.result.status, 500);
  EXPECT_EQ(empty_error.result.server_error_code, nullptr);
}

TEST_F(ExchangeHttp, SuccessBodyLimitIsExact) {
  const std::string body = "{\"lease_id\":\"" + std::string(100, 'a') + "\"}";
  open(body.size());
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, body));
  Call fits;
  engine_test::post_json(fits, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(fits.status, SV_OK) << fits.message();
  EXPECT_EQ(std::string(fits.reply.lease_id), std::string(100, 'a'));

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, body + " "));
  Call over;
  engine_test::post_json(over, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(over.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(over.message(), "typed JSON response exceeds configured byte limit");
  EXPECT_EQ(over.reply.lease_id, nullptr);
  EXPECT_EQ(over.result.status, 0);  // the result is cleared when the call fails
}

TEST_F(ExchangeHttp, ErrorBodyLimitIs8192Bytes) {
  open(16);
  const std::string fits = "{\"error\":\"e\",\"pad\":\"" + std::string(8192 - 22, 'p') + "\"}";
  ASSERT_EQ(fits.size(), 8192u);
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 500, fits));
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.result.server_error_code), "e");

  // One byte more is read no further, yet the answer keeps its status; what was read of the
  // JSON gives the members, the first bytes the detail.
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 500, fits + " "));
  Call over;
  engine_test::post_json(over, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(over.status, SV_OK) << over.message();
  EXPECT_EQ(over.result.status, 500);
  EXPECT_EQ(text(over.result.server_error_code), "e");
  EXPECT_EQ(text(over.result.detail).rfind("{\"error\":\"e\",\"pad\":\"ppp", 0), 0u);
  EXPECT_NE(text(over.result.detail).find(" [truncated]"), std::string::npos);
}

// A success without the document the call needs is no success: an empty body, or headers cut
// off where libcurl reports a complete empty answer.
TEST_F(ExchangeHttp, AnEmptySuccessWhereADocumentIsExpectedIsAProtocolError) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, ""));
  Call empty;
  engine_test::post_json(empty, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(empty.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(empty.message(), "response has no body");
  EXPECT_EQ(empty.reply.lease_id, nullptr);
  // 204 says there is nothing, and is taken as it is.
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 204, ""));
  Call none;
  engine_test::post_json(none, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(none.status, SV_OK) << none.message();
  EXPECT_EQ(none.result.status, 204);
}

TEST_F(ExchangeHttp, RedirectsAreNotFollowed) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 302, "moved",
                                    {{"Location", server_->http_url() + "/v1/acquire"}}));
  Call with_body;
  engine_test::post_json(with_body, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(with_body.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(with_body.message(), "typed JSON response has no parser");

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 302, "",
                                    {{"Location", server_->http_url() + "/v1/acquire"}}));
  Call without_body;
  engine_test::post_json(without_body, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(without_body.status, SV_OK) << without_body.message();
  EXPECT_EQ(without_body.result.status, 302);
  ASSERT_TRUE(server_->wait_for_requests(2));
  EXPECT_EQ(server_->requests().size(), 2u);  // the Location was never visited
}

TEST_F(ExchangeHttp, UndecodableBodiesAreProtocolErrors) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, "{\"lease_id\":\"x\""));
  Call truncated;
  engine_test::post_json(truncated, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(truncated.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(truncated.message(), "failed to finish typed JSON response");

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, "{\"key\":\"no lease\"}"));
  Call missing;
  engine_test::post_json(missing, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(missing.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(missing.message(), "failed to parse typed JSON response");  // noticed at '}'

  EXPECT_EQ(missing.reply.key, nullptr);  // a half-parsed record is emptied

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 200, "[1,2]"));
  Call wrong;
  engine_test::post_json(wrong, client_.client, "/v1/acquire", "{}");
  EXPECT_EQ(wrong.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(wrong.message(), "failed to parse typed JSON response");

  // An error answer that is not the server's JSON (a proxy's page, a cut body) keeps its
  // status: the first bytes are the detail, and what could be parsed is kept.
  const std::string page = "<html>bad gateway</html>" + std::string(3000, ' ');
  server_->add_fault(Fault::respond("POST", "/v1/acquire", 502, page));
  Call html;
  engine_test::post_json(html, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(html.status, SV_OK) << html.message();
  EXPECT_EQ(html.result.status, 502);
  EXPECT_EQ(html.result.server_error_code, nullptr);
  EXPECT_EQ(text(html.result.detail).rfind("<html>bad gateway</html>", 0), 0u);
  EXPECT_NE(text(html.result.detail).find(" [truncated]"), std::string::npos);

  server_->add_fault(Fault::respond("POST", "/v1/acquire", 500, "{\"error\":\"x\""));
  Call cut_error;
  engine_test::post_json(cut_error, client_.client, "/v1/acquire", "{}");
  ASSERT_EQ(cut_error.status, SV_OK) << cut_error.message();
  EXPECT_EQ(cut_error.result.status, 500);
  EXPECT_EQ(text(cut_error.result.server_error_code), "x");
  EXPECT_EQ(text(cut_error.result.detail), "{\"error\":\"x\"");
}

TEST_F(ExchangeHttp, SlowServerEndsAtTheTimeout) {
  open(0, 300);
  server_->add_fault(Fault::held("POST", "/v1/acquire"));
  Call call;
  const auto start = std::chrono::steady_clock::now();
  engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json("slow"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  server_->release_held();
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_NE(call.message().find("timed out"), std::string::npos) << call.message();
  EXPECT_GE(elapsed, std::chrono::milliseconds(250));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(ExchangeHttp, ArgumentChecks) {
  open();
  sv_engine_http_result result;
  sv_engine_http_result_init(&result);
  sv_engine_error error;
  sv_engine_error_init(&error);
  EXPECT_EQ(sv_engine_http_json_request(nullptr, "POST", "/", nullptr, 0, nullptr, 0, nullptr,
                                        nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "client, method, path, and result are required");
  EXPECT_EQ(sv_engine_http_json_request(client_.client, nullptr, "/", nullptr, 0, nullptr, 0,
                                        nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(
      sv_engine_http_json_request_stream(client_.client, "POST", nullptr, nullptr, nullptr, nullptr,
                                         nullptr, 0, nullptr, nullptr, &result, &error),
      SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_http_json_request(client_.client, "POST", "/", nullptr, 0, nullptr, 0,
                                        nullptr, nullptr, nullptr, &error),
            SV_ERR_INVALID);
  engine_test::AcquireBody body{};
  EXPECT_EQ(sv_engine_http_json_request_stream(client_.client, "POST", "/", nullptr, &body, nullptr,
                                               nullptr, 0, nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message),
            "body map and source must either both be provided or both be null");
  EXPECT_EQ(sv_engine_http_json_request_stream(client_.client, "POST", "/",
                                               &engine_test::acquire_body_map, nullptr, nullptr,
                                               nullptr, 0, nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  // Header lines cannot smuggle in further headers.
  const sv_engine_header injected[] = {{"X-A", "1\r\nX-Injected: yes"}};
  EXPECT_EQ(sv_engine_http_json_request(client_.client, "POST", "/v1/acquire", nullptr, 0, injected,
                                        1, nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "request headers need a name and no line breaks");
  const sv_engine_header unnamed[] = {{nullptr, "1"}};
  EXPECT_EQ(sv_engine_http_json_request(client_.client, "POST", "/v1/acquire", nullptr, 0, unnamed,
                                        1, nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_http_json_request(client_.client, "POST", "/v1/acquire", nullptr, 0, nullptr,
                                        1, nullptr, nullptr, &result, &error),
            SV_ERR_INVALID);
  EXPECT_TRUE(server_->requests().empty());
  // Without an error record the code is still returned.
  EXPECT_EQ(sv_engine_http_json_request(nullptr, "POST", "/", nullptr, 0, nullptr, 0, nullptr,
                                        nullptr, &result, nullptr),
            SV_ERR_INVALID);
  sv_engine_error_reset(&error);
}

TEST_F(ExchangeHttp, SchemeLessEndpointGetsHttpWithoutMtls) {
  ASSERT_EQ(client_.open({"127.0.0.1:" + std::to_string(server_->http_port()) + "/"}), SV_OK);
  Call call;
  engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json("bare"));
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
}

TEST_F(ExchangeHttp, OneClientFromManyThreads) {
  open();
  constexpr int kThreads = 8;
  constexpr int kCalls = 12;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failures] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string key = "thread-" + std::to_string(t) + "-" + std::to_string(i);
        Call call;
        engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json(key));
        if (call.status != SV_OK || call.result.status != 200 || call.reply.key == nullptr ||
            key != call.reply.key || call.reply.lease_id == nullptr) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread &thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(server_->requests().size(), static_cast<size_t>(kThreads * kCalls));
  EXPECT_EQ(capture_.with_message("client.http.success").size(),
            static_cast<size_t>(kThreads * kCalls));
}

}  // namespace
