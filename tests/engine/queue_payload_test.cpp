// Payloads: a large payload streams to the handler chunk by chunk while it arrives; the
// synchronous dequeue captures a payload of any size into a spool its source reads back; the
// meta parser on its own.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "queue_fixture.h"

namespace {

using queue_test::message_json;
using queue_test::meta_part;
using queue_test::multipart;
using queue_test::Outcome;
using queue_test::payload_part;
using queue_test::Recorder;
using queue_test::Rig;
using queue_test::Transport;
using Clock = std::chrono::steady_clock;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char &c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Reads a source to its end.
std::string drain(sv_source *source) {
  std::string out;
  char buffer[7000];
  sv_error error{};
  for (;;) {
    const size_t got = source->read(source, buffer, sizeof(buffer), &error);
    if (got == 0) break;
    out.append(buffer, got);
  }
  EXPECT_EQ(error.code, 0);
  return out;
}

class QueuePayload : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.client_record().config.response_limit_bytes = 65536;
    ASSERT_EQ(rig_.open(), SV_OK) << rig_.client_record().open_message;
  }
  Rig rig_{Transport::kHttp1};
};

TEST_F(QueuePayload, LargePayloadReachesTheHandlerAsItArrives) {
  // Far beyond the meta limit and the parser's buffer limit; sent in three pieces with pauses.
  const std::string payload = pattern(6u << 20);
  const std::string body = multipart({meta_part(message_json("big")), payload_part(payload)});
  stavo::test::Fault fault = queue_test::stream_answer("/v1/queue/subscribe", body);
  fault.chunk_sizes = {1u << 20, 1u << 20};
  fault.chunk_pause = std::chrono::milliseconds(200);
  rig_.server().add_fault(fault);

  struct Timing {
    Recorder recorder;
    Clock::time_point first{};
    uint64_t checksum = 0;
  } timing;
  timing.recorder.keep_payload = false;
  sv_engine_message_handler table = timing.recorder.table();
  table.chunk = [](void *context, const char *bytes, size_t length, sv_engine_error *error) {
    auto *t = static_cast<Timing *>(context);
    if (t->recorder.messages[0].received == 0) t->first = Clock::now();
    for (size_t i = 0; i < length; ++i)
      t->checksum = t->checksum * 31 + static_cast<unsigned char>(bytes[i]);
    return t->recorder.table().chunk(&t->recorder, bytes, length, error);
  };
  table.begin = [](void *context, const sv_engine_dequeue_response *message,
                   sv_engine_error *error) {
    auto *t = static_cast<Timing *>(context);
    return t->recorder.table().begin(&t->recorder, message, error);
  };
  table.end = [](void *context, const sv_engine_dequeue_response *message, sv_engine_error *error) {
    auto *t = static_cast<Timing *>(context);
    return t->recorder.table().end(&t->recorder, message, error);
  };
  Outcome out;
  const sv_engine_dequeue_request request = queue_test::dequeue_request();
  out.status = sv_engine_client_subscribe(rig_.client(), &request, &table, &timing, &out.error);
  const auto finished = Clock::now();
  ASSERT_EQ(out.status, SV_OK) << out.message();
  ASSERT_EQ(timing.recorder.messages.size(), 1u);
  const auto &delivered = timing.recorder.messages[0];
  EXPECT_TRUE(delivered.ended);
  EXPECT_EQ(delivered.received, payload.size());
  uint64_t expected = 0;
  for (char c : payload)
    expected = expected * 31 + static_cast<unsigned char>(c);
  EXPECT_EQ(timing.checksum, expected);
  // Many small chunks, none near the payload's size: nothing was gathered before delivery.
  EXPECT_GT(delivered.chunks, 50u);
  EXPECT_LE(delivered.largest_chunk, size_t{1} << 20);
  // The first bytes reached the handler while the server still held back the rest.
  EXPECT_GE(finished - timing.first, std::chrono::milliseconds(300));
}

TEST_F(QueuePayload, SynchronousDequeueSpoolsAPayloadOfAnySize) {
  const std::string payload = pattern(3u << 20);  // beyond any pipe or memory threshold
  rig_.server().add_fault(queue_test::stream_answer(
      "/v1/queue/dequeue",
      multipart({meta_part(message_json("s1"), "next"), payload_part(payload, "app/bin")})));
  const sv_engine_dequeue_request request = queue_test::dequeue_request();
  sv_engine_dequeue_response message{};
  Outcome out;
  out.status = sv_engine_client_dequeue(rig_.client(), &request, &message, &out.error);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(text(message.message_id), "s1");
  EXPECT_EQ(text(message.payload_content_type), "app/bin");
  EXPECT_EQ(text(message.next_cursor), "next");
  EXPECT_EQ(message.payload_bytes, static_cast<int64_t>(payload.size()));
  ASSERT_NE(message.payload, nullptr);
  EXPECT_TRUE(drain(message.payload) == payload);
  sv_error error{};
  ASSERT_EQ(message.payload->reset(message.payload, &error), SV_OK);
  EXPECT_EQ(drain(message.payload).size(), payload.size());
  sv_engine_dequeue_response_cleanup(&message);
  EXPECT_EQ(message.payload, nullptr);
  // One message at a time, whatever page size was asked for.
  EXPECT_NE(queue_test::request_to(rig_.server(), "/v1/queue/dequeue").body.find("\"page_size\":1"),
            std::string::npos);
}

TEST_F(QueuePayload, SynchronousDequeueSmallEmptyAndNone) {
  rig_.server().add_fault(queue_test::stream_answer(
      "/v1/queue/dequeueWithState",
      multipart({meta_part(message_json("s2", R"("state_lease_id":"sl","state_fencing_token":3)")),
                 payload_part("")})));
  const sv_engine_dequeue_request request = queue_test::dequeue_request();
  sv_engine_dequeue_response message{};
  Outcome out;
  out.status = sv_engine_client_dequeue_with_state(rig_.client(), &request, &message, &out.error);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(text(message.state_lease_id), "sl");
  EXPECT_EQ(message.state_fencing_token, 3);
  EXPECT_EQ(message.payload_bytes, 0);
  ASSERT_NE(message.payload, nullptr);
  EXPECT_EQ(drain(message.payload), "");

  // No visible message: the stream ends without a part.
  rig_.server().add_fault(queue_test::stream_answer("/v1/queue/dequeue", multipart({})));
  Outcome none;
  none.status = sv_engine_client_dequeue(rig_.client(), &request, &message, &none.error);
  EXPECT_EQ(none.status, SV_OK) << none.message();
  EXPECT_EQ(message.message_id, nullptr);
  EXPECT_EQ(message.payload, nullptr);

  // A second message in the answer is refused rather than leased and dropped.
  rig_.server().add_fault(queue_test::stream_answer(
      "/v1/queue/dequeue", multipart({meta_part(message_json("a")), payload_part("1"),
                                      meta_part(message_json("b")), payload_part("2")})));
  Outcome two;
  two.status = sv_engine_client_dequeue(rig_.client(), &request, &message, &two.error);
  EXPECT_EQ(two.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(two.message(), "dequeue received more than one message");
  EXPECT_EQ(message.message_id, nullptr);

  sv_engine_dequeue_request unnamed = request;
  unnamed.queue = "";
  Outcome bad;
  bad.status = sv_engine_client_dequeue(rig_.client(), &unnamed, &message, &bad.error);
  EXPECT_EQ(bad.status, SV_ERR_INVALID);
  EXPECT_EQ(bad.message(), "dequeue.queue is required");
  EXPECT_EQ(sv_engine_client_dequeue(rig_.client(), &request, nullptr, &bad.error), SV_ERR_INVALID);
  EXPECT_EQ(bad.message(), "client, request, and response are required");
  sv_engine_dequeue_response_cleanup(&message);
}

TEST(QueueMeta, ParsesCopiesAndChecksRanges) {
  sv_engine_dequeue_response message{};
  Outcome out;
  out.status = sv_engine_parse_subscribe_meta_json(
      R"({"message":{"message_id":"m","attempts":2,"max_attempts":3,"failure_attempts":1,)"
      R"("payload_bytes":10,"txn_id":"t","state_txn_id":"st","unknown":{"x":[1]}},)"
      R"("next_cursor":"n"})",
      "header-cid", &message, &out.error);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(text(message.message_id), "m");
  EXPECT_EQ(message.attempts, 2);
  EXPECT_EQ(message.max_attempts, 3);
  EXPECT_EQ(message.failure_attempts, 1);
  EXPECT_EQ(message.payload_bytes, 10);
  EXPECT_EQ(text(message.correlation_id), "header-cid");
  EXPECT_EQ(text(message.next_cursor), "n");
  EXPECT_EQ(text(message.state_txn_id), "st");

  const struct {
    const char *json;
    const char *message;
  } bad[] = {
      {R"({"message":{"max_attempts":-2147483649}})", "queue max_attempts is out of range"},
      {R"({"message":{"failure_attempts":2147483648}})", "queue failure_attempts is out of range"},
      {R"({"message":{"payload_bytes":-1}})", "queue payload_bytes is out of range"},
  };
  for (const auto &c : bad) {
    Outcome failed;
    failed.status = sv_engine_parse_subscribe_meta_json(c.json, nullptr, &message, &failed.error);
    EXPECT_EQ(failed.status, SV_ERR_PROTOCOL) << c.json;
    EXPECT_EQ(failed.message(), c.message);
    EXPECT_EQ(message.message_id, nullptr);
  }
  Outcome missing;
  missing.status = sv_engine_parse_subscribe_meta_json(R"({"next_cursor":"n"})", nullptr, &message,
                                                       &missing.error);
  EXPECT_NE(missing.status, SV_OK);
  Outcome args;
  args.status = sv_engine_parse_subscribe_meta_json(nullptr, nullptr, &message, &args.error);
  EXPECT_EQ(args.message(), "parse_subscribe_meta_json requires json, response, and error");
  sv_engine_dequeue_response_cleanup(&message);
}

}  // namespace
