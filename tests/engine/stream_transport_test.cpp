// Streamed transfers over every transport the client speaks: HTTP/2 and HTTP/1.1 over mutual
// TLS through nghttpx, and a Unix domain socket; and a 64 MiB state moved through get_into and
// update_from in bounded pieces.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::Lease;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::StringWriter;
using engine_test::text;
using stavo::test::DevServer;
using stavo::test::Fault;

class StreamTransport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true, .unix_socket = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    bundle_ = server_->client_bundle_path();
  }

  // A state written with update_from and read back with get_into, then an attachment round
  // trip: the wire sees whole bodies whatever the transport.
  void round_trip(engine_test::Client &client, const std::string &key) {
    const Lease lease = engine_test::acquire_lease(client.client, key);
    const std::string document = "{\"over\":\"" + std::string(40000, 'z') + "\"}";
    StringReader reader(document, 5000);
    sv_engine_update_request update{};
    update.key = key.c_str();
    update.lease_id = lease.lease_id.c_str();
    update.txn_id = lease.txn_id.c_str();
    update.fencing_token = lease.fencing_token;
    sv_engine_update_response updated{};
    Error error;
    ASSERT_EQ(sv_engine_client_update_from(client.client, &update, StringReader::read, &reader,
                                           &updated, &error),
              SV_OK)
        << error.message();
    EXPECT_EQ(updated.bytes, static_cast<int64_t>(document.size()));
    sv_engine_update_response_cleanup(&updated);

    sv_engine_get_request get{};
    get.key = key.c_str();
    get.lease_id = lease.lease_id.c_str();
    get.fencing_token = lease.fencing_token;
    StringWriter writer;
    sv_engine_get_stream_response got{};
    ASSERT_EQ(
        sv_engine_client_get_into(client.client, &get, StringWriter::write, &writer, &got, &error),
        SV_OK)
        << error.message();
    EXPECT_EQ(writer.data, document);
    sv_engine_get_stream_response_cleanup(&got);

    sv_engine_attach_request attach{};
    attach.key = key.c_str();
    attach.lease_id = lease.lease_id.c_str();
    attach.txn_id = lease.txn_id.c_str();
    attach.name = "blob";
    StringReader blob(std::string(70000, 'b'), 7000);
    sv_engine_attach_response attached{};
    ASSERT_EQ(sv_engine_client_attach_from(client.client, &attach, StringReader::read, &blob,
                                           &attached, &error),
              SV_OK)
        << error.message();
    EXPECT_EQ(attached.size, 70000);
    sv_engine_attach_response_cleanup(&attached);
  }

  static DevServer *server_;
  std::string bundle_;
};

DevServer *StreamTransport::server_ = nullptr;

TEST_F(StreamTransport, Http2OverMutualTls) {
  engine_test::Client client;
  client.config.client_bundle_path = bundle_.c_str();
  ASSERT_EQ(client.open({server_->https_url()}), SV_OK) << client.open_message;
  const size_t before = server_->access_log().size();
  round_trip(client, "h2 key");
  ASSERT_TRUE(server_->wait_for_access_log(before + 4));
  const auto log = server_->access_log();
  for (size_t i = before; i < log.size(); ++i)
    EXPECT_EQ(log[i].alpn, "h2") << log[i].path;
  EXPECT_NE(log.back().client_subject, "-");
}

TEST_F(StreamTransport, Http11OverMutualTls) {
  engine_test::Client client;
  client.config.client_bundle_path = bundle_.c_str();
  client.config.prefer_http_2 = 0;
  ASSERT_EQ(client.open({server_->https_url()}), SV_OK) << client.open_message;
  const size_t before = server_->access_log().size();
  round_trip(client, "h1 key");
  ASSERT_TRUE(server_->wait_for_access_log(before + 4));
  const auto log = server_->access_log();
  for (size_t i = before; i < log.size(); ++i)
    EXPECT_EQ(log[i].alpn, "http/1.1") << log[i].path;
}

TEST_F(StreamTransport, UnixSocket) {
  engine_test::Client client;
  client.config.disable_mtls = 1;
  const std::string socket = server_->unix_socket_path();
  client.config.unix_socket_path = socket.c_str();
  ASSERT_EQ(client.open({server_->unix_url()}), SV_OK) << client.open_message;
  round_trip(client, "unix key");
}

TEST_F(StreamTransport, FailoverResendOverHttp2) {
  engine_test::Client client;
  client.config.client_bundle_path = bundle_.c_str();
  ASSERT_EQ(client.open({server_->https_url(), server_->https_url()}), SV_OK);
  const Lease lease = engine_test::acquire_lease(client.client, "h2-failover");
  server_->add_fault(Fault::error("POST", "/v1/update", 503, "node_passive"));
  const std::string document = "{\"x\":\"" + std::string(100000, 'x') + "\"}";
  StringReader reader(document, 4096);
  sv_engine_update_request update{};
  update.key = "h2-failover";
  update.lease_id = lease.lease_id.c_str();
  update.fencing_token = lease.fencing_token;
  sv_engine_update_response updated{};
  Error error;
  ASSERT_EQ(
      sv_engine_client_update_from_with_reset(client.client, &update, StringReader::read, &reader,
                                              StringReader::reset, &reader, &updated, &error),
      SV_OK)
      << error.message();
  EXPECT_EQ(reader.resets, 1);
  EXPECT_EQ(server_->state("h2-failover").lease->staged_state, document);
  sv_engine_update_response_cleanup(&updated);
}

// A reader of pattern bytes that never holds the body; at its midpoint it checks that the server
// is already receiving, so the engine is not collecting the body before sending it.
struct PatternReader {
  uint64_t total = 0;
  uint64_t position = 0;
  size_t largest_request = 0;
  std::function<void()> at_midpoint;
  static size_t read(void *context, char *buffer, size_t capacity, sv_engine_error *) {
    auto *reader = static_cast<PatternReader *>(context);
    reader->largest_request = std::max(reader->largest_request, capacity);
    const uint64_t take = std::min<uint64_t>(capacity, reader->total - reader->position);
    const bool crossing =
        reader->position < reader->total / 2 && reader->position + take >= reader->total / 2;
    for (uint64_t done = 0; done < take;) {
      const uint64_t piece = std::min<uint64_t>(take - done, engine_test::kPatternSpan);
      std::memcpy(buffer + done, engine_test::pattern_at(reader->position + done), piece);
      done += piece;
    }
    reader->position += take;
    if (crossing && reader->at_midpoint) reader->at_midpoint();
    return static_cast<size_t>(take);
  }
};

// A writer that checks every byte against the pattern and keeps only counts.
struct PatternWriter {
  uint64_t received = 0;
  size_t largest_chunk = 0;
  uint64_t mismatches = 0;
  std::chrono::steady_clock::time_point first_call{};
  static int write(void *context, const char *bytes, size_t length, sv_engine_error *) {
    auto *writer = static_cast<PatternWriter *>(context);
    if (writer->received == 0) writer->first_call = std::chrono::steady_clock::now();
    writer->largest_chunk = std::max(writer->largest_chunk, length);
    for (size_t done = 0; done < length;) {
      const size_t piece = std::min(length - done, engine_test::kPatternSpan);
      if (std::memcmp(bytes + done, engine_test::pattern_at(writer->received + done), piece) != 0) {
        ++writer->mismatches;
      }
      done += piece;
    }
    writer->received += length;
    return 1;
  }
};

class StreamLarge : public StreamTest {};

TEST_F(StreamLarge, SixtyFourMebibytesStreamBothWays) {
  constexpr uint64_t kSize = 64ull << 20;
  constexpr size_t kBound = 1 << 20;  // no piece the engine hands over may come near the body
  open();
  const Lease lease = engine_test::acquire_lease(client_.client, "big");
  server_->clear_requests();

  PatternReader reader;
  reader.total = kSize;
  bool receiving_at_midpoint = false;
  reader.at_midpoint = [&] {
    for (const auto &request : server_->requests()) {
      if (request.path == "/v1/update" && !request.complete && request.body_size > 0) {
        receiving_at_midpoint = true;
      }
    }
  };
  sv_engine_update_request update{};
  update.key = "big";
  update.lease_id = lease.lease_id.c_str();
  update.fencing_token = lease.fencing_token;
  update.content_type = "application/octet-stream";
  sv_engine_update_response updated{};
  Error error;
  ASSERT_EQ(sv_engine_client_update_from(client_.client, &update, PatternReader::read, &reader,
                                         &updated, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(updated.bytes, static_cast<int64_t>(kSize));
  EXPECT_TRUE(receiving_at_midpoint);
  EXPECT_LE(reader.largest_request, kBound);
  sv_engine_update_response_cleanup(&updated);

  // The first mebibyte, a pause, then the rest: a writer that hears of the body only after the
  // pause would mean the engine held the body back.
  const auto pause = std::chrono::milliseconds(300);
  server_->add_fault(Fault::in_pieces("GET", "/v1/get", {1 << 20}, pause, false));
  sv_engine_get_request get{};
  get.key = "big";
  get.lease_id = lease.lease_id.c_str();
  PatternWriter writer;
  sv_engine_get_stream_response got{};
  ASSERT_EQ(
      sv_engine_client_get_into(client_.client, &get, PatternWriter::write, &writer, &got, &error),
      SV_OK)
      << error.message();
  const auto done = std::chrono::steady_clock::now();
  EXPECT_EQ(writer.received, kSize);
  EXPECT_EQ(writer.mismatches, 0u);
  EXPECT_LE(writer.largest_chunk, kBound);
  EXPECT_GE(done - writer.first_call, pause - std::chrono::milliseconds(50));
  EXPECT_EQ(text(got.content_type), "application/octet-stream");
  sv_engine_get_stream_response_cleanup(&got);
}

}  // namespace
