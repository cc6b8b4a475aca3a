// The queue streams and the watch over HTTP/2 with mutual TLS through nghttpx and over a Unix
// domain socket: deliveries, a retried refusal, a handler refusal, cancellation from another
// thread and a split event stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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
using stavo::test::Fault;

constexpr const char *kSubscribe = "/v1/queue/subscribe";

std::atomic<bool> stop_flag{false};
int stop_requested(void *) {
  return stop_flag.load() ? 1 : 0;
}

class QueueTransport : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<Rig>(GetParam());
    ASSERT_EQ(rig_->open(), SV_OK) << rig_->client_record().open_message;
  }
  void subscribe(Outcome &out, Recorder &recorder) {
    const sv_engine_message_handler table = recorder.table();
    const sv_engine_dequeue_request request = queue_test::dequeue_request();
    out.status =
        sv_engine_client_subscribe(rig_->client(), &request, &table, &recorder, &out.error);
  }
  std::unique_ptr<Rig> rig_;
};

TEST_P(QueueTransport, TwoMessagesAfterARetriedRefusal) {
  rig_->server().add_fault(Fault::error("POST", kSubscribe, 409, "waiting").repeat(2));
  const std::string big(300000, 'z');
  rig_->server().add_fault(queue_test::stream_answer(
      kSubscribe, multipart({meta_part(message_json("m1")), payload_part(big),
                             meta_part(message_json("m2")), payload_part("two")})));
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_TRUE(recorder.messages[0].payload == big);
  EXPECT_EQ(recorder.messages[1].payload, "two");
  EXPECT_EQ(rig_->server().requests_to("POST", kSubscribe).size(), 3u);
  if (GetParam() == Transport::kHttp2Tls) {
    ASSERT_TRUE(rig_->server().wait_for_access_log(3));
    EXPECT_EQ(rig_->server().access_log().back().alpn, "h2");
  }
}

TEST_P(QueueTransport, HandlerRefusalAndMissingLength) {
  rig_->server().add_fault(queue_test::stream_answer(
      kSubscribe, multipart({meta_part(message_json("m1")), payload_part("abc")})));
  Recorder refusing;
  refusing.refuse_at = 'C';
  Outcome refused;
  subscribe(refused, refusing);
  EXPECT_EQ(refused.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(refused.message(), "subscribe payload callback failed");

  queue_test::Part no_length = payload_part("abc");
  no_length.content_length.reset();
  rig_->server().add_fault(
      queue_test::stream_answer(kSubscribe, multipart({meta_part(message_json("m")), no_length})));
  Recorder recorder;
  Outcome missing;
  subscribe(missing, recorder);
  EXPECT_EQ(missing.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(missing.message(), "subscribe payload part missing Content-Length");
}

TEST_P(QueueTransport, CancellationFromAnotherThread) {
  stop_flag = false;
  sv_engine_client_set_cancel_check(rig_->client_record().client, stop_requested, nullptr);
  rig_->server().add_fault(Fault::held("POST", kSubscribe));
  std::thread stopper([this] {
    rig_->server().wait_for_held(1);
    stop_flag = true;
  });
  Recorder recorder;
  Outcome out;
  const auto start = std::chrono::steady_clock::now();
  subscribe(out, recorder);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  rig_->server().release_held();
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

int count_event(void *context, const sv_engine_queue_watch_event *event, sv_engine_error *) {
  auto *heads = static_cast<std::string *>(context);
  *heads += std::string(event->head_message_id != nullptr ? event->head_message_id : "?") + ";";
  return 1;
}

TEST_P(QueueTransport, WatchEventsSplitAcrossChunks) {
  const std::string body =
      "data: {\"head_message_id\":\"h1\",\"available\":true}\n\n"
      "data: {\"head_message_id\":\"h2\"}\n\n";
  Fault pieces =
      Fault::respond("POST", "/v1/queue/watch", 200, body, {{"Content-Type", "text/event-stream"}});
  pieces.chunk_sizes = {7, 30, 11, 5};
  pieces.chunk_pause = std::chrono::milliseconds(5);
  rig_->server().add_fault(pieces);
  std::string heads;
  Outcome out;
  sv_engine_watch_queue_request request{nullptr, "jobs"};
  out.status =
      sv_engine_client_watch_queue(rig_->client(), &request, count_event, &heads, &out.error);
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(heads, "h1;h2;");
}

INSTANTIATE_TEST_SUITE_P(Transports, QueueTransport,
                         ::testing::Values(Transport::kHttp2Tls, Transport::kUnixSocket),
                         [](const ::testing::TestParamInfo<Transport> &param_info) {
                           return param_info.param == Transport::kHttp2Tls
                                      ? std::string("Http2Tls")
                                      : std::string("UnixSocket");
                         });

}  // namespace
