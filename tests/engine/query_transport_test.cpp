// The streaming query forms over HTTP/2 with mutual TLS through nghttpx and over a Unix domain
// socket: large NDJSON pass-through, key streaming, header capture and node_passive failover.
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

enum class Transport { kHttp2Tls, kUnixSocket };

class QueryTransport : public ::testing::TestWithParam<Transport> {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true, .unix_socket = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    bundle_path_ = server_->client_bundle_path();
    socket_path_ = server_->unix_socket_path();
  }
  void open(size_t endpoints = 1) {
    std::string url;
    if (GetParam() == Transport::kHttp2Tls) {
      client_.config.client_bundle_path = bundle_path_.c_str();
      url = server_->https_url();
    } else {
      client_.config.disable_mtls = 1;
      client_.config.unix_socket_path = socket_path_.c_str();
      url = server_->unix_url();
    }
    ASSERT_EQ(client_.open(std::vector<std::string>(endpoints, url)), SV_OK)
        << client_.open_message;
  }
  void expect_protocol(size_t before) {
    ASSERT_TRUE(server_->wait_for_access_log(before + 1));
    const auto entry = server_->access_log().back();
    if (GetParam() == Transport::kHttp2Tls) {
      EXPECT_EQ(entry.alpn, "h2");
      EXPECT_NE(entry.client_subject, "-");
    }
    EXPECT_EQ(entry.path.rfind("/v1/query", 0), 0u);
  }

  static DevServer *server_;
  std::string bundle_path_;
  std::string socket_path_;
  Client client_;
};

DevServer *QueryTransport::server_ = nullptr;

TEST_P(QueryTransport, QueryIntoStreamsAHundredThousandDocuments) {
  open();
  const size_t before = server_->access_log().size();
  const std::string body = engine_test::ndjson_documents(100000);
  server_->add_fault(engine_test::query_answer(body, {{"Content-Type", "application/x-ndjson"},
                                                      {"X-Stavo-Query-Cursor", "next"},
                                                      {"X-Stavo-Query-Index-Seq", "5"}}));
  sv_engine_query_request request = engine_test::query_request("{\"/n\":{\"$gte\":0}}");
  request.engine = "scan";
  WriterLog log;
  StreamCall call(client_.client);
  call.status = sv_engine_client_query_into(client_.client, &request, engine_test::record_write,
                                            &log, &call.response, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_TRUE(log.bytes == body);
  EXPECT_GT(log.writes, 10u);
  EXPECT_EQ(text(call.response.cursor), "next");
  EXPECT_EQ(call.response.index_seq, 5u);
  expect_protocol(before);
  const auto sent = server_->requests().back();
  EXPECT_EQ(sent.target, "/v1/query?engine=scan");
  EXPECT_EQ(sent.body, "{\"namespace\":\"default\",\"selector\":{\"/n\":{\"$gte\":0}}}");
}

TEST_P(QueryTransport, QueryKeysStreamsALongKey) {
  open();
  const std::string long_key(200000, 'z');
  Fault answer =
      engine_test::query_answer("{\"keys\":[\"" + long_key + "\",\"b\"],\"index_seq\":4}");
  answer.chunk_sizes = std::vector<size_t>(20, 5000);
  server_->add_fault(answer);
  KeyLog log;
  const sv_engine_query_request request = engine_test::query_request("{}");
  StreamCall call(client_.client);
  call.status = sv_engine_client_query_keys(client_.client, &request, &engine_test::key_log_handler,
                                            &log, &call.response, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  ASSERT_EQ(log.keys.size(), 2u);
  EXPECT_TRUE(log.keys[0] == long_key);
  EXPECT_GT(log.chunks_per_key[0], 1u);
  EXPECT_EQ(log.begins, 2u);
  EXPECT_EQ(log.ends, 2u);
  EXPECT_EQ(call.response.index_seq, 4u);
}

TEST_P(QueryTransport, NodePassiveFailsOverForBothForms) {
  open(2);
  server_->add_fault(Fault::error("POST", "/v1/query", 503, "node_passive"));
  server_->add_fault(engine_test::query_answer("{\"key\":\"x\"}\n"));
  WriterLog log;
  const sv_engine_query_request request = engine_test::query_request("{}");
  StreamCall call(client_.client);
  call.status = sv_engine_client_query_into(client_.client, &request, engine_test::record_write,
                                            &log, &call.response, &call.error);
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(log.bytes, "{\"key\":\"x\"}\n");

  server_->add_fault(Fault::error("POST", "/v1/query", 503, "node_passive"));
  server_->add_fault(engine_test::query_answer("{\"keys\":[\"y\"]}"));
  KeyLog keys;
  StreamCall second(client_.client);
  second.status =
      sv_engine_client_query_keys(client_.client, &request, &engine_test::key_log_handler, &keys,
                                  &second.response, &second.error);
  ASSERT_EQ(second.status, SV_OK) << second.message();
  EXPECT_EQ(keys.keys, std::vector<std::string>{"y"});
  EXPECT_EQ(server_->requests().size(), 4u);
}

TEST_P(QueryTransport, HostileAnswersFailCleanly) {
  open();
  server_->add_fault(
      engine_test::query_answer("{\"keys\":[]}", {{"X-Stavo-Query-Index-Seq", "x1"}}));
  KeyLog log;
  const sv_engine_query_request request = engine_test::query_request("{}");
  StreamCall call(client_.client);
  call.status = sv_engine_client_query_keys(client_.client, &request, &engine_test::key_log_handler,
                                            &log, &call.response, &call.error);
  EXPECT_EQ(call.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(call.message(), "failed to parse query index sequence");

  server_->add_fault(Fault::error("POST", "/v1/query", 500, "internal", std::string(10000, 'd')));
  WriterLog writer;
  StreamCall second(client_.client);
  second.status = sv_engine_client_query_into(client_.client, &request, engine_test::record_write,
                                              &writer, &second.response, &second.error);
  EXPECT_EQ(second.status, SV_ERR_SERVER);  // read no further, the status kept
  EXPECT_EQ(second.error.http_status, 500);
  EXPECT_EQ(writer.writes, 0u);
}

INSTANTIATE_TEST_SUITE_P(QueryOver, QueryTransport,
                         ::testing::Values(Transport::kHttp2Tls, Transport::kUnixSocket),
                         [](const ::testing::TestParamInfo<Transport> &param_info) {
                           return param_info.param == Transport::kHttp2Tls ? "Http2Tls"
                                                                           : "UnixSocket";
                         });

}  // namespace
