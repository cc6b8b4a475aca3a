// Reading and writing a key's state as a stream over plain HTTP/1.1: get_into, get and
// update_from with their wire forms, preconditions and server errors.
#include <string>

#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::Lease;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::StringWriter;
using engine_test::text;
using stavo::test::Fault;

class StreamState : public StreamTest {};

TEST_F(StreamState, GetIntoStreamsTheStateAndCapturesItsHeaders) {
  open();
  const std::string key = "get a&b";
  server_->seed_state(key, "{\"n\":1}");
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  server_->clear_requests();

  sv_engine_get_request request{};
  request.key = key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.fencing_token = lease.fencing_token;
  StringWriter writer;
  sv_engine_get_stream_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_get_into(client_.client, &request, StringWriter::write, &writer,
                                      &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(writer.data, "{\"n\":1}");
  EXPECT_EQ(response.no_content, 0);
  EXPECT_EQ(text(response.content_type), "application/json");
  const auto state = server_->state(key);
  EXPECT_EQ(text(response.etag), state.state_etag);  // one form: without the quotes
  EXPECT_EQ(response.key_version, state.version);
  EXPECT_EQ(response.fencing_token, lease.fencing_token);

  ASSERT_TRUE(server_->wait_for_requests(1));
  const auto logged = server_->requests().back();
  EXPECT_EQ(logged.method, "GET");
  EXPECT_EQ(logged.target, "/v1/get?key=get%20a%26b&namespace=default");
  EXPECT_EQ(text(response.correlation_id), logged.correlation_id);
  EXPECT_EQ(engine_test::client_header_names(logged),
            (std::vector<std::string>{"Accept", "X-Lease-ID", "X-Fencing-Token"}));
  EXPECT_EQ(logged.header("Accept").value_or(""), "application/json");
  EXPECT_EQ(logged.header("X-Fencing-Token").value_or(""), std::to_string(lease.fencing_token));
  sv_engine_get_stream_response_cleanup(&response);
}

TEST_F(StreamState, PublicGetWithoutLeaseAndNoContent) {
  open();
  server_->seed_state("public-key", "[1,2]", "application/json", "ns1");
  sv_engine_get_request request{};
  request.namespace_name = "ns1";
  request.key = "public-key";
  request.public_read = 1;
  StringWriter writer;
  sv_engine_get_stream_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_get_into(client_.client, &request, StringWriter::write, &writer,
                                      &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(writer.data, "[1,2]");
  EXPECT_EQ(server_->requests().back().target, "/v1/get?key=public-key&namespace=ns1&public=1");
  EXPECT_TRUE(engine_test::client_header_names(server_->requests().back()) ==
              std::vector<std::string>{"Accept"});

  // A key without state answers 204: no_content, and the writer is never called.
  request.key = "never-written";
  StringWriter empty;
  ASSERT_EQ(sv_engine_client_get_into(client_.client, &request, StringWriter::write, &empty,
                                      &response, &error),
            SV_OK);
  EXPECT_EQ(response.no_content, 1);
  EXPECT_EQ(empty.calls, 0);
  sv_engine_get_stream_response_cleanup(&response);

  // get collects the body in memory; 204 gives no body and the default content type.
  sv_engine_get_response got{};
  ASSERT_EQ(sv_engine_client_get(client_.client, &request, &got, &error), SV_OK);
  EXPECT_EQ(got.body, nullptr);
  EXPECT_EQ(got.body_length, 0u);
  EXPECT_EQ(text(got.content_type), "application/octet-stream");
  request.key = "public-key";
  ASSERT_EQ(sv_engine_client_get(client_.client, &request, &got, &error), SV_OK);
  EXPECT_EQ(std::string(got.body, got.body_length), "[1,2]");
  EXPECT_EQ(text(got.content_type), "application/json");
  EXPECT_NE(got.etag, nullptr);
  EXPECT_NE(got.correlation_id, nullptr);
  sv_engine_get_response_cleanup(&got);
}

TEST_F(StreamState, ArgumentChecksComeBeforeAnyRequest) {
  open();
  StringWriter writer;
  sv_engine_get_stream_response response{};
  sv_engine_get_request get{};
  Error error;
  EXPECT_EQ(sv_engine_client_get_into(client_.client, &get, StringWriter::write, &writer, &response,
                                      &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get_into requires client, request, writer, response, error, and key");
  get.key = "k";
  EXPECT_EQ(sv_engine_client_get_into(client_.client, &get, StringWriter::write, &writer, &response,
                                      &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get_into requires lease_id unless public_read is enabled");
  sv_engine_get_response got{};
  EXPECT_EQ(sv_engine_client_get(client_.client, &get, &got, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get requires lease_id unless public_read is enabled");
  get.key = "";
  EXPECT_EQ(sv_engine_client_get(client_.client, &get, &got, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get.key is required");

  sv_engine_update_request update{};
  update.key = "k";
  update.lease_id = "l";
  sv_engine_update_response updated{};
  EXPECT_EQ(
      sv_engine_client_update_from(client_.client, &update, nullptr, nullptr, &updated, &error),
      SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "update_from requires client, request, response, error, key, lease_id, and "
            "fencing_token");

  // A value with a line break would add header lines of its own.
  update.fencing_token = 1;
  update.lease_id = "l\r\nX-Injected: 1";
  EXPECT_EQ(
      sv_engine_client_update_from(client_.client, &update, nullptr, nullptr, &updated, &error),
      SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "request header values must not contain line breaks");
  get.key = "k";
  get.lease_id = "l\nX-Injected: 1";
  EXPECT_EQ(sv_engine_client_get_into(client_.client, &get, StringWriter::write, &writer, &response,
                                      &error),
            SV_ERR_INVALID);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(StreamState, UpdateFromUploadsChunkedWithLeaseAndPreconditionHeaders) {
  open();
  const std::string key = "upd key";
  server_->seed_state(key, "{\"v\":0}");
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  const auto before = server_->state(key);
  server_->clear_requests();

  const std::string document = "{\"v\":1,\"text\":\"" + std::string(5000, 'x') + "\"}";
  StringReader reader(document, 700);
  sv_engine_update_request request{};
  request.key = key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.txn_id = lease.txn_id.c_str();
  request.fencing_token = lease.fencing_token;
  request.if_state_etag = before.state_etag.c_str();
  request.if_version = before.version;
  request.has_if_version = 1;
  sv_engine_update_response response{};
  Error error;
  ASSERT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(response.bytes, static_cast<int64_t>(document.size()));
  EXPECT_EQ(response.new_version, before.version + 1);
  ASSERT_NE(response.new_state_etag, nullptr);
  EXPECT_EQ(server_->state(key).lease->staged_state, document);

  const auto logged = server_->requests().back();
  EXPECT_EQ(logged.target, "/v1/update?key=upd%20key&namespace=default");
  EXPECT_EQ(logged.body, document);
  EXPECT_EQ(logged.header("Transfer-Encoding").value_or(""), "chunked");
  EXPECT_FALSE(logged.header("Content-Length").has_value());
  EXPECT_EQ(engine_test::client_header_names(logged),
            (std::vector<std::string>{"Accept", "Content-Type", "X-Lease-ID", "X-Txn-ID",
                                      "X-Fencing-Token", "X-If-State-ETag", "X-If-Version"}));
  EXPECT_EQ(logged.header("Content-Type").value_or(""), "application/json");
  EXPECT_EQ(logged.header("X-If-Version").value_or(""), std::to_string(before.version));
  EXPECT_EQ(text(response.correlation_id), logged.correlation_id);
  sv_engine_update_response_cleanup(&response);

  // Without a reader the body is empty; the content type given is sent.
  request.if_state_etag = nullptr;
  request.has_if_version = 0;
  request.content_type = "application/octet-stream";
  ASSERT_EQ(
      sv_engine_client_update_from(client_.client, &request, nullptr, nullptr, &response, &error),
      SV_OK)
      << error.message();
  EXPECT_EQ(response.bytes, 0);
  EXPECT_EQ(server_->requests().back().body, "");
  EXPECT_EQ(server_->requests().back().header("Content-Type").value_or(""),
            "application/octet-stream");
  sv_engine_update_response_cleanup(&response);
}

TEST_F(StreamState, StaleTokenAndFailedPreconditionsAreServerErrors) {
  open();
  const std::string key = "pre";
  server_->seed_state(key, "{\"a\":1}");
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  const auto state = server_->state(key);
  sv_engine_update_request request{};
  request.key = key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.fencing_token = lease.fencing_token + 1;
  sv_engine_update_response response{};
  Error error;
  StringReader reader("{\"a\":2}");
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 409);
  EXPECT_EQ(text(error.record.server_error_code), "fencing_mismatch");
  EXPECT_NE(error.record.correlation_id, nullptr);

  request.fencing_token = lease.fencing_token;
  request.has_if_version = 1;
  request.if_version = state.version + 5;
  reader.position = 0;
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_ERR_SERVER);
  EXPECT_EQ(error.record.current_version, state.version);
  EXPECT_EQ(text(error.record.current_etag), state.state_etag);

  request.has_if_version = 0;
  request.if_state_etag = "not-the-etag";
  reader.position = 0;
  EXPECT_EQ(sv_engine_client_update_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_ERR_SERVER);
  EXPECT_EQ(text(error.record.current_etag), state.state_etag);
  EXPECT_EQ(response.new_state_etag, nullptr);
  EXPECT_FALSE(server_->state(key).lease->has_staged_changes);
}

}  // namespace
