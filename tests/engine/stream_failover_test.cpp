// Streamed uploads and endpoint failover: enqueue_from's exact multipart bytes, bodies resent
// whole to the next endpoint after "node_passive", and the refusals that keep a body from going
// out half-read.
#include <string>

#include "stavoc.h"
#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::Lease;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::text;
using stavo::test::Fault;

const std::string kBoundary = "stavoc-stream-boundary-7e4dbe2f";

const char *const kEnqueueReply =
    "{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"m-1\",\"attempts\":0,"
    "\"max_attempts\":5,\"failure_attempts\":0,\"not_visible_until_unix\":1767225601,"
    "\"visibility_timeout_seconds\":30,\"payload_bytes\":11}";

std::string multipart(const std::string &meta, const std::string &type,
                      const std::string &payload) {
  return "--" + kBoundary +
         "\r\nContent-Type: application/json\r\nContent-Disposition: form-data; "
         "name=\"meta\"\r\n\r\n" +
         meta + "\r\n--" + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: " + type +
         "\r\n\r\n" + payload + "\r\n--" + kBoundary + "--\r\n";
}

// An http:// URL on a loopback port nobody listens on.
std::string refusing_endpoint() {
  return "http://127.0.0.1:" + std::to_string(engine_test::refused_port());
}

class StreamFailover : public StreamTest {
 protected:
  sv_engine_enqueue_request enqueue_request() {
    sv_engine_enqueue_request request{};
    request.queue = "jobs";
    request.delay_seconds = 1;
    request.visibility_timeout_seconds = 30;
    request.ttl_seconds = 600;
    request.max_attempts = 5;
    request.payload_content_type = "text/plain";
    return request;
  }
  const std::string meta_ =
      "{\"namespace\":\"default\",\"queue\":\"jobs\",\"delay_seconds\":1,"
      "\"visibility_timeout_seconds\":30,\"ttl_seconds\":600,\"max_attempts\":5,"
      "\"payload_content_type\":\"text/plain\"}";
};

TEST_F(StreamFailover, EnqueueFromSendsTheExactMultipartBody) {
  open();
  server_->add_fault(Fault::respond("POST", "/v1/queue/enqueue", 200, kEnqueueReply,
                                    {{"Content-Type", "application/json"}}));
  StringReader reader("hello world", 4);
  const sv_engine_enqueue_request request = enqueue_request();
  sv_engine_enqueue_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_enqueue_from(client_.client, &request, StringReader::read, &reader,
                                          &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(text(response.message_id), "m-1");
  EXPECT_EQ(text(response.queue), "jobs");
  EXPECT_EQ(response.max_attempts, 5);
  EXPECT_EQ(response.not_visible_until_unix, 1767225601);
  EXPECT_EQ(response.visibility_timeout_seconds, 30);
  EXPECT_EQ(response.payload_bytes, 11);
  EXPECT_NE(response.correlation_id, nullptr);

  const auto logged = server_->requests().back();
  EXPECT_EQ(logged.target, "/v1/queue/enqueue");
  EXPECT_EQ(logged.body, multipart(meta_, "text/plain", "hello world"));
  EXPECT_EQ(logged.header("Content-Type").value_or(""), "multipart/related; boundary=" + kBoundary);
  EXPECT_EQ(engine_test::client_header_names(logged),
            (std::vector<std::string>{"Accept", "Content-Type"}));
  EXPECT_EQ(logged.header("Transfer-Encoding").value_or(""), "chunked");
  sv_engine_enqueue_response_cleanup(&response);

  // No reader: the prefix is followed at once by the suffix; the payload type defaults.
  server_->add_fault(Fault::respond("POST", "/v1/queue/enqueue", 200, kEnqueueReply));
  sv_engine_enqueue_request bare = enqueue_request();
  bare.namespace_name = "";
  bare.payload_content_type = nullptr;
  ASSERT_EQ(
      sv_engine_client_enqueue_from(client_.client, &bare, nullptr, nullptr, &response, &error),
      SV_OK)
      << error.message();
  std::string meta = meta_;
  meta.replace(meta.find("text/plain"), 10, "application/octet-stream");
  EXPECT_EQ(server_->requests().back().body, multipart(meta, "application/octet-stream", ""));
  sv_engine_enqueue_response_cleanup(&response);
}

TEST_F(StreamFailover, EnqueueCountsOutsideInt32AreRefused) {
  open();
  std::string reply = kEnqueueReply;
  reply.replace(reply.find("\"attempts\":0"), 12, "\"attempts\":2147483648");
  server_->add_fault(Fault::respond("POST", "/v1/queue/enqueue", 200, reply));
  const sv_engine_enqueue_request request = enqueue_request();
  sv_engine_enqueue_response response{};
  Error error;
  EXPECT_EQ(
      sv_engine_client_enqueue_from(client_.client, &request, nullptr, nullptr, &response, &error),
      SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "enqueue attempts is out of range");
  EXPECT_EQ(response.message_id, nullptr);

  sv_engine_enqueue_request no_queue = enqueue_request();
  no_queue.queue = "";
  EXPECT_EQ(
      sv_engine_client_enqueue_from(client_.client, &no_queue, nullptr, nullptr, &response, &error),
      SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "enqueue_from requires client, request, response, error, and queue");

  // A payload type with a line break would forge part headers.
  sv_engine_enqueue_request forged = enqueue_request();
  forged.payload_content_type = "text/plain\r\nX-Evil: 1";
  EXPECT_EQ(
      sv_engine_client_enqueue_from(client_.client, &forged, nullptr, nullptr, &response, &error),
      SV_ERR_INVALID);
}

TEST_F(StreamFailover, EnqueueResendsTheWholeBodyAfterNodePassive) {
  open(2);
  server_->add_fault(Fault::error("POST", "/v1/queue/enqueue", 503, "node_passive"));
  server_->add_fault(Fault::respond("POST", "/v1/queue/enqueue", 200, kEnqueueReply));
  StringReader reader("hello world", 3);
  const sv_engine_enqueue_request request = enqueue_request();
  sv_engine_enqueue_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_enqueue_from_with_reset(client_.client, &request, StringReader::read,
                                                     &reader, StringReader::reset, &reader,
                                                     &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(reader.resets, 1);
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].status, 503);
  EXPECT_EQ(requests[1].body, multipart(meta_, "text/plain", "hello world"));
  sv_engine_enqueue_response_cleanup(&response);

  // A reader the engine cannot rewind is not resent half-read.
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/queue/enqueue", 503, "node_passive"));
  StringReader single("hello world", 3);
  EXPECT_EQ(sv_engine_client_enqueue_from(client_.client, &request, StringReader::read, &single,
                                          &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "payload source is not rewindable");
  EXPECT_EQ(server_->requests().size(), 1u);
}

// A streamed transfer whose first endpoint refuses the connection goes to the next one, for
// downloads and for rewindable uploads alike; with no endpoint left it is a transport failure.
TEST_F(StreamFailover, AnEndpointThatRefusesTheConnectionIsSkipped) {
  open_on({refusing_endpoint(), server_->http_url()});
  server_->seed_state("skipped", R"({"n":7})");
  sv_engine_get_request get{};
  get.key = "skipped";
  get.public_read = 1;
  sv_engine_get_response got{};
  Error error;
  ASSERT_EQ(sv_engine_client_get(client_.client, &get, &got, &error), SV_OK) << error.message();
  EXPECT_EQ(std::string(got.body, got.body_length), R"({"n":7})");
  sv_engine_get_response_cleanup(&got);

  server_->clear_requests();
  server_->add_fault(Fault::respond("POST", "/v1/queue/enqueue", 200, kEnqueueReply));
  StringReader reader("hello world", 3);
  const sv_engine_enqueue_request request = enqueue_request();
  sv_engine_enqueue_response response{};
  ASSERT_EQ(sv_engine_client_enqueue_from_with_reset(client_.client, &request, StringReader::read,
                                                     &reader, StringReader::reset, &reader,
                                                     &response, &error),
            SV_OK)
      << error.message();
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, multipart(meta_, "text/plain", "hello world"));
  sv_engine_enqueue_response_cleanup(&response);

  engine_test::Client nowhere;
  nowhere.config.disable_mtls = 1;
  ASSERT_EQ(nowhere.open({refusing_endpoint(), refusing_endpoint()}), SV_OK);
  EXPECT_EQ(sv_engine_client_get(nowhere.client, &get, &got, &error), SV_ERR_TRANSPORT);
  EXPECT_NE(error.message().find("onnect"), std::string::npos) << error.message();
}

TEST_F(StreamFailover, UpdateFromResendsTheWholeBodyAfterNodePassive) {
  open(2);
  const std::string key = "failover";
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "node_passive"));
  const std::string document = "{\"doc\":\"" + std::string(30000, 'd') + "\"}";
  StringReader reader(document, 1000);
  sv_engine_update_request request{};
  request.key = key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.txn_id = lease.txn_id.c_str();
  request.fencing_token = lease.fencing_token;
  sv_engine_update_response response{};
  Error error;
  ASSERT_EQ(
      sv_engine_client_update_from_with_reset(client_.client, &request, StringReader::read, &reader,
                                              StringReader::reset, &reader, &response, &error),
      SV_OK)
      << error.message();
  EXPECT_EQ(reader.resets, 1);
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, document);
  EXPECT_EQ(server_->state(key).lease->staged_state, document);
  EXPECT_EQ(response.bytes, static_cast<int64_t>(document.size()));
  sv_engine_update_response_cleanup(&response);

  // Another 503 is the answer: the second endpoint is not asked.
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "overloaded"));
  reader.position = 0;
  EXPECT_EQ(
      sv_engine_client_update_from_with_reset(client_.client, &request, StringReader::read, &reader,
                                              StringReader::reset, &reader, &response, &error),
      SV_ERR_SERVER);
  EXPECT_EQ(text(error.record.server_error_code), "overloaded");
  EXPECT_EQ(server_->requests().size(), 1u);

  // Every endpoint passive.
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "node_passive").repeat(2));
  EXPECT_EQ(
      sv_engine_client_update_from_with_reset(client_.client, &request, StringReader::read, &reader,
                                              StringReader::reset, &reader, &response, &error),
      SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "all endpoints rejected the request");
}

TEST_F(StreamFailover, MultiEndpointUpdatesNeedARewindablePayload) {
  open(2);
  sv_engine_update_request request{};
  request.key = "k";
  request.lease_id = "lease";
  request.fencing_token = 1;
  StringReader reader("{}");
  sv_engine_update_response response{};
  Error error;
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "multi-endpoint updates require sv_source-backed rewindable payloads");
  EXPECT_EQ(sv_engine_client_update_from_with_reset(client_.client, &request, StringReader::read,
                                                    &reader, nullptr, nullptr, &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "multi-endpoint updates require sv_source-backed rewindable payloads");
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_EQ(reader.position, 0u);

  // A failing reset ends the call with its failure.
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "node_passive"));
  auto failing_reset = [](void *, sv_engine_error *e) {
    return sv_engine_set_transport_error(e, "cannot rewind");
  };
  EXPECT_EQ(
      sv_engine_client_update_from_with_reset(client_.client, &request, StringReader::read, &reader,
                                              failing_reset, nullptr, &response, &error),
      SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "cannot rewind");
}

TEST_F(StreamFailover, SingleEndpointAcceptsAnyReader) {
  open(1);
  const Lease lease = engine_test::acquire_lease(client_.client, "single");
  sv_engine_update_request request{};
  request.key = "single";
  request.lease_id = lease.lease_id.c_str();
  request.fencing_token = lease.fencing_token;
  StringReader reader("{\"one\":1}");
  sv_engine_update_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(server_->state("single").lease->staged_state, "{\"one\":1}");
  sv_engine_update_response_cleanup(&response);
}

// With several endpoints a body read through the public source bridge is rewound through the
// source and sent whole again; a source without a reset is refused before any request.
TEST_F(StreamFailover, UpdateFromThroughTheSourceBridgeIsRewoundForTheNextEndpoint) {
  open(2);
  const std::string key = "bridge-failover";
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "node_passive"));
  const std::string document = "{\"doc\":\"" + std::string(20000, 'b') + "\"}";
  sv_source *source = nullptr;
  sv_error public_error;
  sv_error_init(&public_error);
  ASSERT_EQ(sv_source_from_memory(document.data(), document.size(), &source, &public_error), SV_OK);
  struct {
    sv_source *source;
  } context{source};
  sv_engine_update_request request{};
  request.key = key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.txn_id = lease.txn_id.c_str();
  request.fencing_token = lease.fencing_token;
  sv_engine_update_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_update_from(client_.client, &request, sv_engine_read_bridge, &context,
                                         &response, &error),
            SV_OK)
      << error.message();
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, document);
  EXPECT_EQ(server_->state(key).lease->staged_state, document);
  sv_engine_update_response_cleanup(&response);

  // The same bridge over a source that cannot rewind.
  sv_source one_way{[](sv_source *, char *, size_t, sv_error *) -> size_t { return 0; }, nullptr,
                    nullptr};
  context.source = &one_way;
  server_->clear_requests();
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, sv_engine_read_bridge, &context,
                                         &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "payload source is not rewindable");
  context.source = nullptr;
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, sv_engine_read_bridge, &context,
                                         &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "payload reset requires source");
  EXPECT_TRUE(server_->requests().empty());
  source->close(source);
  sv_error_cleanup(&public_error);
}

}  // namespace
