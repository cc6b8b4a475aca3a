// Query over plain HTTP/1.1: the wire form of the three forms (target, query string, headers,
// body members), the paging headers and bodies, key streaming and NDJSON pass-through.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

class QueryHttp : public ::testing::Test {
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
  void open(const char *default_namespace = nullptr) {
    client_.config.default_namespace = default_namespace;
    ASSERT_EQ(client_.open({server_->http_url()}), SV_OK) << client_.open_message;
  }
  stavo::test::LoggedRequest only_request() {
    EXPECT_TRUE(server_->wait_for_requests(1));
    const auto requests = server_->requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? stavo::test::LoggedRequest{} : requests.back();
  }
  void query_into(StreamCall &call, const sv_engine_query_request &request, WriterLog &log) {
    call.status = sv_engine_client_query_into(client_.client, &request, engine_test::record_write,
                                              &log, &call.response, &call.error);
  }
  void query_keys(StreamCall &call, const sv_engine_query_request &request, KeyLog &log) {
    call.status = sv_engine_client_query_keys(
        client_.client, &request, &engine_test::key_log_handler, &log, &call.response, &call.error);
  }

  static DevServer *server_;
  Client client_;
};

DevServer *QueryHttp::server_ = nullptr;

TEST_F(QueryHttp, QueryIntoSendsEveryMemberInOrderAndTheQueryString) {
  open();
  server_->add_fault(engine_test::query_answer("", {{"Content-Type", "application/x-ndjson"}}));
  sv_engine_query_request request = engine_test::query_request("{ \"/status\" : \"open\" }");
  request.namespace_name = "orders";
  request.limit = 25;
  request.cursor = "after-k7";
  request.fields_json = "[\"/status\", \"/total\"]";
  request.return_mode = "documents";
  request.engine = "index";
  request.refresh = "wait for";
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, request, log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.response.status, 200);

  const auto sent = only_request();
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.target, "/v1/query?engine=index&refresh=wait%20for");
  EXPECT_EQ(
      sent.body,
      "{\"namespace\":\"orders\",\"selector\":{\"/status\":\"open\"},\"limit\":25,"
      "\"cursor\":\"after-k7\",\"fields\":[\"/status\",\"/total\"],\"return\":\"documents\"}");
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/json");
  EXPECT_EQ(sent.header("Accept").value_or(""), "application/x-ndjson, application/json");
  const auto names = sent.header_names();
  const auto content_type = std::find(names.begin(), names.end(), "Content-Type");
  const auto accept = std::find(names.begin(), names.end(), "Accept");
  ASSERT_TRUE(content_type != names.end() && accept != names.end());
  EXPECT_LT(content_type - names.begin(), accept - names.begin());
  // The body was measured, so it goes out with a length rather than chunked.
  EXPECT_EQ(sent.header("Content-Length").value_or(""), std::to_string(sent.body.size()));
}

TEST_F(QueryHttp, OptionalMembersAndParametersAreLeftOut) {
  open("tenant-a");
  server_->add_fault(engine_test::query_answer("").repeat(3));
  sv_engine_query_request request = engine_test::query_request("{}");
  request.limit = 0;
  request.cursor = "";
  request.fields_json = "";
  request.return_mode = "";
  request.refresh = "now";
  WriterLog log;
  {
    StreamCall call(client_.client);
    query_into(call, request, log);
    ASSERT_EQ(call.status, SV_OK) << call.message();
  }
  request.refresh = nullptr;
  request.limit = -3;
  {
    StreamCall call(client_.client);
    query_into(call, request, log);
    ASSERT_EQ(call.status, SV_OK) << call.message();
  }
  request.engine = "scan";
  {
    StreamCall call(client_.client);
    query_into(call, request, log);
    ASSERT_EQ(call.status, SV_OK) << call.message();
  }
  ASSERT_TRUE(server_->wait_for_requests(3));
  const auto sent = server_->requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].target, "/v1/query?refresh=now");
  EXPECT_EQ(sent[1].target, "/v1/query");
  EXPECT_EQ(sent[2].target, "/v1/query?engine=scan");
  for (const auto &one : sent) {
    // The client's default namespace stands in for an empty one.
    EXPECT_EQ(one.body, "{\"namespace\":\"tenant-a\",\"selector\":{}}");
  }
}

TEST_F(QueryHttp, QueryUrlAddsTheSchemeOfTheExchange) {
  open();
  sv_engine_query_request request = engine_test::query_request("{}");
  request.engine = "a b&c";
  char *url = sv_engine_query_url(client_.client, "127.0.0.1:9", &request);
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(std::string(url), "http://127.0.0.1:9/v1/query?engine=a%20b%26c");
  free(url);
  url = sv_engine_query_url(client_.client, "https://h:1", &request);
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(std::string(url), "https://h:1/v1/query?engine=a%20b%26c");
  free(url);
  EXPECT_EQ(sv_engine_query_url(nullptr, "h", &request), nullptr);
}

TEST_F(QueryHttp, BareEndpointIsReachedOverHttpWithoutMtls) {
  const std::string bare = "127.0.0.1:" + std::to_string(server_->http_port());
  ASSERT_EQ(client_.open({bare}), SV_OK) << client_.open_message;
  server_->add_fault(engine_test::query_answer("{\"key\":\"a\"}\n"));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(log.bytes, "{\"key\":\"a\"}\n");
}

TEST_F(QueryHttp, QueryIntoCapturesThePagingHeaders) {
  open();
  server_->add_fault(engine_test::query_answer(
      "{\"key\":\"a\"}\n", {{"x-stavo-query-cursor", "  next-page \t"},
                            {"X-Stavo-Query-Return", "documents"},
                            {"X-Stavo-Query-Metadata", "{\"engine\":\"scan\",\"scanned\":4}"},
                            {"X-Stavo-Query-Index-Seq", "18446744073709551615"},
                            {"X-Correlation-Id", "cid-42"},
                            {"X-Stavo-Query-Cursor-Extra", "ignored"}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(text(call.response.cursor), "next-page");
  EXPECT_EQ(text(call.response.return_mode), "documents");
  EXPECT_EQ(text(call.response.metadata), "{\"engine\":\"scan\",\"scanned\":4}");
  EXPECT_EQ(call.response.has_index_seq, 1);
  EXPECT_EQ(call.response.index_seq, UINT64_MAX);
  EXPECT_EQ(text(call.response.correlation_id), "cid-42");
  EXPECT_EQ(call.response.status, 200);
}

TEST_F(QueryHttp, QueryIntoPassesAHundredThousandDocumentsThroughUntouched) {
  open();
  const std::string body = engine_test::ndjson_documents(100000);
  server_->add_fault(engine_test::query_answer(body, {{"Content-Type", "application/x-ndjson"}}));
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  ASSERT_EQ(log.bytes.size(), body.size());
  EXPECT_TRUE(log.bytes == body);
  // Handed on in network-sized pieces, never as one buffered body.
  EXPECT_GT(log.writes, body.size() / CURL_MAX_WRITE_SIZE);
  EXPECT_LE(log.largest_write, static_cast<size_t>(CURL_MAX_WRITE_SIZE));
  EXPECT_EQ(std::count(log.bytes.begin(), log.bytes.end(), '\n'), 100000);
}

TEST_F(QueryHttp, QueryIntoDeliversBytesBeforeTheAnswerIsComplete) {
  open();
  Fault answer = engine_test::query_answer(engine_test::ndjson_documents(200));
  answer.chunk_sizes = {100, 100};
  answer.chunk_pause = std::chrono::milliseconds(250);
  server_->add_fault(answer);
  WriterLog log;
  StreamCall call(client_.client);
  query_into(call, engine_test::query_request("{}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(log.bytes, engine_test::ndjson_documents(200));
  // The first piece reached the writer while the server was still pausing before the rest.
  EXPECT_GE(log.last_write - log.first_write, std::chrono::milliseconds(400));
}

TEST_F(QueryHttp, QueryKeysDeliversALongKeyInSeveralChunksBetweenOneBeginAndOneEnd) {
  open();
  const std::string long_key(300000, 'k');
  const std::string body = "{\"keys\":[\"short\",\"" + long_key +
                           "\",\"caf\\u00e9\\n\"],\"cursor\":\"c-2\",\"index_seq\":12,"
                           "\"metadata\":{\"engine\": \"index\" ,\"n\":[1, 2]}}";
  Fault answer = engine_test::query_answer(body, {{"Content-Type", "application/json"}});
  answer.chunk_sizes = std::vector<size_t>(40, 4000);
  server_->add_fault(answer);
  KeyLog log;
  StreamCall call(client_.client);
  query_keys(call, engine_test::query_request("{\"/a\":{\"$gt\":1}}"), log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  ASSERT_EQ(log.keys.size(), 3u);
  EXPECT_EQ(log.keys[0], "short");
  EXPECT_TRUE(log.keys[1] == long_key);
  EXPECT_EQ(log.keys[2], "caf\xc3\xa9\n");
  EXPECT_EQ(log.begins, 3u);
  EXPECT_EQ(log.ends, 3u);
  EXPECT_FALSE(log.chunk_outside_key);
  EXPECT_GT(log.chunks_per_key[1], 1u);
  // No headers: the body gives the paging data.
  EXPECT_EQ(text(call.response.cursor), "c-2");
  EXPECT_EQ(call.response.has_index_seq, 1);
  EXPECT_EQ(call.response.index_seq, 12u);
  EXPECT_EQ(text(call.response.metadata), "{\"engine\":\"index\",\"n\":[1,2]}");

  const auto sent = only_request();
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"selector\":{\"/a\":{\"$gt\":1}},\"return\":\"keys\"}");
}

TEST_F(QueryHttp, QueryKeysPrefersHeadersOverTheBody) {
  open();
  server_->add_fault(engine_test::query_answer(
      "{\"keys\":[],\"cursor\":\"from-body\",\"index_seq\":3,\"metadata\":{\"b\":1}}",
      {{"X-Stavo-Query-Cursor", "from-header"},
       {"X-Stavo-Query-Index-Seq", "9"},
       {"X-Stavo-Query-Metadata", "{\"h\":1}"},
       {"X-Stavo-Query-Return", "keys"}}));
  sv_engine_query_request request = engine_test::query_request("{}");
  request.return_mode = "documents";  // query_keys always asks for keys
  KeyLog log;
  StreamCall call(client_.client);
  query_keys(call, request, log);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_TRUE(log.keys.empty());
  EXPECT_EQ(text(call.response.cursor), "from-header");
  EXPECT_EQ(call.response.index_seq, 9u);
  EXPECT_EQ(text(call.response.metadata), "{\"h\":1}");
  EXPECT_EQ(text(call.response.return_mode), "keys");
  EXPECT_NE(only_request().body.find("\"return\":\"keys\""), std::string::npos);
}

TEST_F(QueryHttp, PagingWithCursorsVisitsEveryKeyOnce) {
  open();
  // Three scripted pages; each request must carry the cursor the previous answer gave.
  server_->add_fault(
      engine_test::query_answer("{\"keys\":[\"a\",\"b\"]}", {{"X-Stavo-Query-Cursor", "p2"}}));
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"c\",\"d\"],\"cursor\":\"p3\"}"));
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"e\"]}"));
  std::vector<std::string> seen;
  std::string cursor;
  for (int page = 0; page < 5; ++page) {
    sv_engine_query_request request = engine_test::query_request("{}");
    request.limit = 2;
    request.cursor = cursor.c_str();
    KeyLog log;
    StreamCall call(client_.client);
    query_keys(call, request, log);
    ASSERT_EQ(call.status, SV_OK) << call.message();
    seen.insert(seen.end(), log.keys.begin(), log.keys.end());
    if (call.response.cursor == nullptr) break;
    cursor = call.response.cursor;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  const auto sent = server_->requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].body.find("cursor"), std::string::npos);
  EXPECT_NE(sent[1].body.find("\"limit\":2,\"cursor\":\"p2\""), std::string::npos);
  EXPECT_NE(sent[2].body.find("\"cursor\":\"p3\""), std::string::npos);
}

TEST_F(QueryHttp, PlainQueryReadsThePagingMembers) {
  open();
  server_->add_fault(engine_test::query_answer(
      "{\"keys\":[\"a\"],\"cursor\":\"c9\",\"index_seq\":77}", {{"X-Correlation-Id", "q-1"}}));
  sv_engine_query_request request = engine_test::query_request("{\"/x\":1}");
  request.return_mode = "keys";
  request.limit = 1;
  request.engine = "index";  // not part of the plain query
  sv_engine_query_response response{};
  sv_engine_error error;
  sv_engine_error_init(&error);
  ASSERT_EQ(sv_engine_client_query(client_.client, &request, &response, &error), SV_OK)
      << text(error.message);
  EXPECT_EQ(text(response.cursor), "c9");
  EXPECT_EQ(response.index_seq, 77);
  EXPECT_EQ(text(response.correlation_id), "q-1");
  sv_engine_query_response_cleanup(&response);
  const auto sent = only_request();
  EXPECT_EQ(sent.target, "/v1/query");
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"selector\":{\"/x\":1},\"limit\":1,\"return\":\"keys\"}");

  server_->add_fault(Fault::error("POST", "/v1/query", 400, "invalid_selector", "unknown $foo"));
  EXPECT_EQ(sv_engine_client_query(client_.client, &request, &response, &error), SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 400);
  EXPECT_EQ(text(error.server_error_code), "invalid_selector");
  EXPECT_EQ(response.cursor, nullptr);
  sv_engine_error_reset(&error);
}

}  // namespace
