// How streamed transfers fail: malformed headers, writers and readers that give up, bodies over
// the limit, connections cut or too slow, redirects, and the URL rule for bare endpoints.
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::Lease;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::StringWriter;
using engine_test::text;
using stavo::test::Fault;

class StreamFailure : public StreamTest {
 protected:
  // A public get of key into writer.
  int get(const std::string &key, StringWriter &writer, Error &error) {
    sv_engine_get_request request{};
    request.key = key.c_str();
    request.public_read = 1;
    sv_engine_get_stream_response response{};
    const int status = sv_engine_client_get_into(client_.client, &request, StringWriter::write,
                                                 &writer, &response, &error);
    sv_engine_get_stream_response_cleanup(&response);
    return status;
  }
  // An update of key from reader under a fresh lease.
  int update(const std::string &key, StringReader &reader, Error &error) {
    if (leases_.count(key) == 0) leases_[key] = engine_test::acquire_lease(client_.client, key);
    const Lease &lease = leases_[key];
    sv_engine_update_request request{};
    request.key = key.c_str();
    request.lease_id = lease.lease_id.c_str();
    request.fencing_token = lease.fencing_token;
    sv_engine_update_response response{};
    const int status = sv_engine_client_update_from(client_.client, &request, StringReader::read,
                                                    &reader, &response, &error);
    sv_engine_update_response_cleanup(&response);
    return status;
  }
  std::map<std::string, Lease> leases_;
};

TEST_F(StreamFailure, MalformedNumericHeadersStopTheDownload) {
  open();
  server_->seed_state("hdr", "{}");
  const std::pair<const char *, const char *> cases[] = {
      {"X-Key-Version", "attachment key version is out of range"},
      {"X-Fencing-Token", "attachment fencing token is out of range"},
      {"X-Attachment-Size", "attachment size is out of range"},
  };
  for (const auto &[header, message] : cases) {
    server_->add_fault(Fault::with_headers("GET", "/v1/get", {{header, "12x"}}));
    StringWriter writer;
    Error error;
    EXPECT_EQ(get("hdr", writer, error), SV_ERR_PROTOCOL) << header;
    EXPECT_EQ(error.message(), message);
    EXPECT_EQ(writer.calls, 0);
  }
  // Out of the int64 range is refused the same way.
  server_->add_fault(
      Fault::with_headers("GET", "/v1/get", {{"x-key-version", "99999999999999999999"}}));
  StringWriter writer;
  Error error;
  EXPECT_EQ(get("hdr", writer, error), SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "attachment key version is out of range");
}

TEST_F(StreamFailure, WriterThatStopsEndsTheTransfer) {
  open();
  server_->seed_state("w", std::string(100000, '7'), "application/octet-stream");
  server_->add_fault(
      Fault::in_pieces("GET", "/v1/get", {1000, 1000}, std::chrono::milliseconds(1)));
  StringWriter silent;
  silent.fail_at_call = 1;
  Error error;
  EXPECT_EQ(get("w", silent, error), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "stream writer callback failed");

  server_->add_fault(
      Fault::in_pieces("GET", "/v1/get", {1000, 1000}, std::chrono::milliseconds(1)));
  StringWriter full;
  full.fail_at_call = 1;
  full.fail_with_error = true;
  EXPECT_EQ(get("w", full, error), SV_ERR_NOMEM);
  EXPECT_EQ(error.message(), "sink is full");
}

TEST_F(StreamFailure, ReaderFailingMidUploadNeverCommitsATruncatedBody) {
  open();
  server_->seed_state("r", "\"old\"", "application/octet-stream");
  // The reader reports its failure the engine's way: 0 with an error recorded.
  StringReader failing(std::string(50000, 'n'), 1000);
  failing.fail_after = 20000;
  Error error;
  EXPECT_EQ(update("r", failing, error), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "test reader failed");
  auto state = server_->state("r");
  EXPECT_FALSE(state.lease->has_staged_changes);
  EXPECT_EQ(state.state, "\"old\"");

  // Or with libcurl's abort value, without a message.
  StringReader aborting(std::string(50000, 'n'), 1000);
  aborting.fail_after = 20000;
  aborting.fail_with_abort = true;
  EXPECT_EQ(update("r", aborting, error), SV_ERR_TRANSPORT);
  EXPECT_FALSE(server_->state("r").lease->has_staged_changes);
  // The server may still be reading the abandoned bodies; a fault the next test scripts must
  // not be taken by one of them.
  const auto settled = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server_->requests_to("POST", "/v1/update").size() < 2 &&
         std::chrono::steady_clock::now() < settled) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_->requests_to("POST", "/v1/update").size(), 2u);
}

TEST_F(StreamFailure, AnErrorBodyStopsAtItsOwnCapWhateverTheResponseLimit) {
  open();  // the default response limit, 1 MiB
  leases_["cap"] = Lease{"lease", "txn", 1};
  std::string padding;
  for (int i = 0; i < 10000; ++i)
    padding += "1,";
  server_->add_fault(Fault::respond("POST", "/v1/update", 500,
                                    "{\"error\":\"internal\",\"pad\":[" + padding + "1]}",
                                    {{"Content-Type", "application/json"}}));
  StringReader reader("{}");
  Error error;
  EXPECT_EQ(update("cap", reader, error), SV_ERR_SERVER);  // read no further, the status kept
  EXPECT_EQ(error.record.http_status, 500);
  EXPECT_EQ(std::string(error.record.detail).rfind("{\"error\":\"internal\",\"pad\":[1,1,", 0), 0u);
  EXPECT_NE(
      std::string(error.record.detail != nullptr ? error.record.detail : "").find(" [truncated]"),
      std::string::npos);
}

TEST_F(StreamFailure, TypedBodyOverTheLimit) {
  client_.config.response_limit_bytes = 64;
  open();
  leases_["limit"] = Lease{"lease", "txn", 1};  // the faults answer before any lease check
  server_->add_fault(
      Fault::respond("POST", "/v1/update", 200,
                     "{\"new_version\":1,\"new_state_etag\":\"" + std::string(100, 'e') + "\"}",
                     {{"Content-Type", "application/json"}}));
  StringReader reader("{}");
  Error error;
  EXPECT_EQ(update("limit", reader, error), SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "typed JSON response exceeds configured byte limit");

  // Error bodies share the limit: read no further, the status kept.
  server_->add_fault(
      Fault::respond("POST", "/v1/update", 409, "{\"error\":\"" + std::string(100, 'c') + "\"}"));
  reader.position = 0;
  EXPECT_EQ(update("limit", reader, error), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 409);
  EXPECT_NE(
      std::string(error.record.detail != nullptr ? error.record.detail : "").find(" [truncated]"),
      std::string::npos);

  // A body that is not JSON fails to parse.
  server_->add_fault(Fault::respond("POST", "/v1/update", 200, "<html>"));
  reader.position = 0;
  EXPECT_EQ(update("limit", reader, error), SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "failed to parse typed JSON response");
}

TEST_F(StreamFailure, DroppedConnectionMidDownload) {
  open();
  server_->seed_state("cut", std::string(200000, 'c'), "application/octet-stream");
  server_->add_fault(Fault::cut_after("GET", "/v1/get", 5000));
  StringWriter writer;
  Error error;
  EXPECT_EQ(get("cut", writer, error), SV_ERR_TRANSPORT);
  EXPECT_NE(error.record.message, nullptr);
  EXPECT_LE(writer.data.size(), 5000u);

  server_->add_fault(Fault::dropped("GET", "/v1/get"));
  EXPECT_EQ(get("cut", writer, error), SV_ERR_TRANSPORT);
}

TEST_F(StreamFailure, SlowServerEndsAtTheTimeout) {
  client_.config.timeout_ms = 300;
  open();
  server_->seed_state("slow", "{}");
  server_->add_fault(Fault::delayed("GET", "/v1/get", std::chrono::milliseconds(3000)));
  StringWriter writer;
  Error error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get("slow", writer, error), SV_ERR_TRANSPORT);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  EXPECT_NE(error.message().find("imed out"), std::string::npos) << error.message();
}

TEST_F(StreamFailure, NonSuccessAnswersNeverReachTheWriter) {
  open();
  server_->add_fault(Fault::respond("GET", "/v1/get", 302, "moved elsewhere",
                                    {{"Location", "http://elsewhere/"}}));
  StringWriter writer;
  Error error;
  EXPECT_EQ(get("redirected", writer, error), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 302);
  EXPECT_EQ(writer.calls, 0);

  server_->add_fault(Fault::error("GET", "/v1/get", 500, "boom", "it broke"));
  EXPECT_EQ(get("broken", writer, error), SV_ERR_SERVER);
  EXPECT_EQ(text(error.record.server_error_code), "boom");
  EXPECT_EQ(text(error.record.detail), "it broke");
  EXPECT_EQ(writer.calls, 0);
  EXPECT_EQ(server_->requests().size(), 2u);
}

TEST_F(StreamFailure, BareEndpointsFollowTheExchangeUrlRule) {
  // Without mutual TLS a bare host:port is reached over plain HTTP.
  const std::string bare = "127.0.0.1:" + std::to_string(server_->http_port());
  open_on({bare});
  server_->seed_state("bare", "{\"b\":1}");
  StringWriter writer;
  Error error;
  ASSERT_EQ(get("bare", writer, error), SV_OK) << error.message();
  EXPECT_EQ(writer.data, "{\"b\":1}");
}

TEST(StreamUrl, BareEndpointWithMtlsNeverSpeaksPlainHttp) {
  // With mutual TLS on, the same bare endpoint is spoken to with TLS: the plain HTTP server
  // never sees the lease id.
  stavo::test::DevServer server({.tls = true});
  engine_test::Client client;
  const std::string bundle = server.client_bundle_path();
  client.config.client_bundle_path = bundle.c_str();
  client.config.insecure_skip_verify = 1;
  client.config.timeout_ms = 1000;  // the plain server may wait for more than a hello
  ASSERT_EQ(client.open({"127.0.0.1:" + std::to_string(server.http_port())}), SV_OK);
  sv_engine_get_request request{};
  request.key = "secret";
  request.lease_id = "lease-that-must-not-leak";
  StringWriter writer;
  sv_engine_get_stream_response response{};
  Error error;
  EXPECT_EQ(sv_engine_client_get_into(client.client, &request, StringWriter::write, &writer,
                                      &response, &error),
            SV_ERR_TRANSPORT);
  for (const auto &logged : server.requests()) {
    EXPECT_FALSE(logged.header("X-Lease-ID").has_value());
  }

  // And a bare endpoint of the TLS front gets https:// and works.
  engine_test::Client tls;
  tls.config.client_bundle_path = bundle.c_str();
  const std::string https = server.https_url();
  ASSERT_EQ(tls.open({https.substr(https.find("://") + 3)}), SV_OK) << tls.open_message;
  server.seed_state("over-tls", "{\"t\":1}");
  request.key = "over-tls";
  request.public_read = 1;
  ASSERT_EQ(sv_engine_client_get_into(tls.client, &request, StringWriter::write, &writer, &response,
                                      &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(writer.data, "{\"t\":1}");
  sv_engine_get_stream_response_cleanup(&response);
}

}  // namespace
