// The dequeue and subscribe streams over HTTP/1.1 against scripted multipart answers: deliveries,
// the wire form of the request, malformed and hostile streams, handler refusals, refusals that
// are retried with a growing pause, endpoint failover and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "queue_fixture.h"

namespace {

using queue_test::Delivered;
using queue_test::message_json;
using queue_test::meta_part;
using queue_test::multipart;
using queue_test::Outcome;
using queue_test::Part;
using queue_test::payload_part;
using queue_test::Recorder;
using queue_test::Rig;
using queue_test::Transport;
using stavo::test::Fault;
using Clock = std::chrono::steady_clock;

constexpr const char *kSubscribe = "/v1/queue/subscribe";

class QueueStream : public ::testing::Test {
 protected:
  void open(uint64_t meta_limit = 0) {
    rig_.client_record().config.response_limit_bytes = meta_limit;
    ASSERT_EQ(rig_.open(), SV_OK) << rig_.client_record().open_message;
  }
  void subscribe(Outcome &out, Recorder &recorder, const sv_engine_dequeue_request &request) {
    const sv_engine_message_handler table = recorder.table();
    out.status = sv_engine_client_subscribe(rig_.client(), &request, &table, &recorder, &out.error);
  }
  void answer(const std::string &body) {
    rig_.server().add_fault(queue_test::stream_answer(kSubscribe, body));
  }

  Rig rig_{Transport::kHttp1};
};

TEST_F(QueueStream, TwoMessagesInOneStreamAndTheRequestWireForm) {
  open();
  answer(multipart({meta_part(message_json("m1", R"("payload_content_type":"app/x")"), "c1"),
                    payload_part("first payload", "text/ignored"),
                    meta_part(message_json("m2", R"("correlation_id":"own")")),
                    payload_part("second\r\n--q-b0und4ry fake", "text/plain")}));
  sv_engine_dequeue_request request = queue_test::dequeue_request();
  request.wait_seconds = -5;
  request.page_size = 0;
  request.start_after = "m0";
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder, request);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  ASSERT_EQ(recorder.messages.size(), 2u);
  const Delivered &first = recorder.messages[0];
  EXPECT_EQ(first.message_id, "m1");
  EXPECT_EQ(first.lease_id, "lease-m1");
  EXPECT_EQ(first.payload, "first payload");
  EXPECT_EQ(first.payload_content_type, "app/x");  // the meta's own wins over the part's
  EXPECT_EQ(first.next_cursor, "c1");
  EXPECT_TRUE(first.ended);
  const Delivered &second = recorder.messages[1];
  EXPECT_EQ(second.payload, "second\r\n--q-b0und4ry fake");
  EXPECT_EQ(second.payload_content_type, "text/plain");
  EXPECT_EQ(second.correlation_id, "own");
  EXPECT_NE(first.correlation_id, "<null>");  // the response's X-Correlation-Id

  const auto logged = queue_test::request_to(rig_.server(), kSubscribe);
  EXPECT_EQ(logged.body, R"({"namespace":"default","queue":"jobs","owner":"worker-1",)"
                         R"("visibility_timeout_seconds":30,"wait_seconds":-1,"page_size":1,)"
                         R"("start_after":"m0"})");
  EXPECT_EQ(logged.header("Accept").value_or(""), "multipart/related");
  EXPECT_EQ(logged.header("Content-Type").value_or(""), "application/json");
}

TEST_F(QueueStream, EveryPathOfTheFourStreams) {
  open();
  const std::string body = multipart({meta_part(message_json("m")), payload_part("x")});
  struct Case {
    const char *path;
    int (*call)(const sv_engine_client *, const sv_engine_dequeue_request *,
                const sv_engine_message_handler *, void *, sv_engine_error *);
  } cases[] = {{"/v1/queue/subscribe", sv_engine_client_subscribe},
               {"/v1/queue/subscribeWithState", sv_engine_client_subscribe_with_state},
               {"/v1/queue/dequeue", sv_engine_client_dequeue_into},
               {"/v1/queue/dequeueWithState", sv_engine_client_dequeue_with_state_into}};
  const sv_engine_dequeue_request request = queue_test::dequeue_request();
  for (const Case &c : cases) {
    rig_.server().add_fault(queue_test::stream_answer(c.path, body));
    Recorder recorder;
    const sv_engine_message_handler table = recorder.table();
    Outcome out;
    out.status = c.call(rig_.client(), &request, &table, &recorder, &out.error);
    EXPECT_EQ(out.status, SV_OK) << c.path << out.message();
    ASSERT_EQ(recorder.messages.size(), 1u) << c.path;
    EXPECT_EQ(recorder.messages[0].payload, "x");
    EXPECT_EQ(rig_.server().requests_to("POST", c.path).size(), 1u);
  }
  // Without start_after the member is left out.
  EXPECT_EQ(queue_test::request_to(rig_.server(), "/v1/queue/dequeue").body,
            R"({"namespace":"default","queue":"jobs","owner":"worker-1",)"
            R"("visibility_timeout_seconds":30,"wait_seconds":5,"page_size":1})");
}

TEST_F(QueueStream, MalformedStreamsFailWithClearMessages) {
  open();
  const std::string meta = message_json("m");
  Part unnamed = payload_part("x");
  unnamed.name.clear();
  Part no_length = payload_part("abc");
  no_length.content_length.reset();
  const struct {
    std::string body;
    int code;
    const char *message;
    size_t delivered;
  } cases[] = {
      {multipart({meta_part(meta), payload_part("one"), payload_part("two")}), SV_ERR_PROTOCOL,
       "subscribe payload part arrived before meta", 1},
      {multipart({meta_part(meta), no_length}), SV_ERR_PROTOCOL,
       "subscribe payload part missing Content-Length", 0},
      {multipart({meta_part(meta), unnamed}), SV_ERR_PROTOCOL, "multipart part missing name", 0},
      {multipart({Part{"other", "x", "", std::nullopt}}), SV_ERR_PROTOCOL,
       "unexpected multipart part name", 0},
      {multipart({meta_part(meta)}), SV_ERR_PROTOCOL,
       "subscribe stream ended after a meta part without payload", 0},
      {multipart({meta_part(R"({"message_id":"m","attempts":4294967296})"), payload_part("x")}),
       SV_ERR_PROTOCOL, "queue attempts is out of range", 0},
      {multipart({meta_part("{\"message\":")}), SV_ERR_PROTOCOL, nullptr, 0},
  };
  for (const auto &c : cases) {
    answer(c.body);
    Recorder recorder;
    Outcome out;
    subscribe(out, recorder, queue_test::dequeue_request());
    EXPECT_EQ(out.status, c.code) << c.body << " -> " << out.message();
    if (c.message != nullptr) {
      EXPECT_EQ(out.message(), c.message);
    }
    EXPECT_EQ(recorder.messages.size(), c.delivered) << c.body;
  }
  // No Content-Type at all.
  rig_.server().add_fault(Fault::respond("POST", kSubscribe, 200, "--x--\r\n", {}));
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder, queue_test::dequeue_request());
  // (The server may fill in a type of its own.)
  EXPECT_EQ(out.status, SV_ERR_PROTOCOL);
  EXPECT_TRUE(out.message() == "subscribe response is not a multipart/related stream" ||
              out.message() == "subscribe response missing Content-Type")
      << out.message();
  // A Content-Type that is no multipart stream is the server's fault, not the caller's.
  for (const char *type : {"application/json", "multipart/related", "text/event-stream"}) {
    rig_.server().add_fault(
        Fault::respond("POST", kSubscribe, 200, "data: x\n\n", {{"Content-Type", type}}));
    Outcome wrong;
    subscribe(wrong, recorder, queue_test::dequeue_request());
    EXPECT_EQ(wrong.status, SV_ERR_PROTOCOL) << type;
    EXPECT_EQ(wrong.message(), "subscribe response is not a multipart/related stream") << type;
  }
  EXPECT_TRUE(recorder.messages.empty());
}

// A stream that ends before its closing delimiter was cut on the way (a dropped connection, a
// restarted proxy): another attempt mends that, so it is a transport failure, wherever the cut
// lands. Deliveries completed before the cut stand; a payload cut short never gets its end.
TEST_F(QueueStream, AStreamCutShortIsATransportFailure) {
  open();
  const std::string first_meta = message_json("m1");
  const std::string body = multipart({meta_part(first_meta), payload_part("first payload"),
                                      meta_part(message_json("m2")), payload_part("second")});
  const size_t meta_at = body.find(first_meta);
  const size_t payload_at = body.find("first payload");
  const size_t second_at = body.find("second");
  ASSERT_NE(second_at, std::string::npos);
  const struct {
    const char *where;
    size_t length;
    size_t delivered;
    bool first_ended;
    const char *first_payload;
  } cuts[] = {
      {"inside the first meta part", meta_at + first_meta.size() / 2, 0, false, ""},
      {"after the first meta part", meta_at + first_meta.size() + 2, 0, false, ""},
      {"inside the first payload", payload_at + 5, 1, false, "first"},
      {"inside the second meta part", body.find("\"m2\""), 1, true, "first payload"},
      {"inside the second payload", second_at + 3, 2, true, "first payload"},
  };
  for (const auto &cut : cuts) {
    answer(body.substr(0, cut.length));
    Recorder recorder;
    Outcome out;
    subscribe(out, recorder, queue_test::dequeue_request());
    EXPECT_EQ(out.status, SV_ERR_TRANSPORT) << cut.where << ": " << out.message();
    EXPECT_EQ(out.message(), "subscribe stream ended before its closing delimiter") << cut.where;
    ASSERT_EQ(recorder.messages.size(), cut.delivered) << cut.where;
    if (cut.delivered > 0) {
      EXPECT_EQ(recorder.messages[0].ended, cut.first_ended) << cut.where;
      EXPECT_EQ(recorder.messages[0].payload, cut.first_payload) << cut.where;
    }
    if (cut.delivered > 1) {
      EXPECT_FALSE(recorder.messages[1].ended) << cut.where;
    }
  }
  // Complete but wrong is still the server's fault: a meta part whose payload never comes.
  answer(multipart({meta_part(first_meta)}));
  Recorder recorder;
  Outcome wrong;
  subscribe(wrong, recorder, queue_test::dequeue_request());
  EXPECT_EQ(wrong.status, SV_ERR_PROTOCOL);
}

TEST_F(QueueStream, HostileStreamsEndInBoundedMemory) {
  open(4096);
  // A meta part beyond the client's response limit.
  answer(multipart({meta_part(message_json("m", "\"x\":\"" + std::string(10000, 'a') + "\"")),
                    payload_part("p")}));
  Recorder recorder;
  Outcome meta;
  subscribe(meta, recorder, queue_test::dequeue_request());
  EXPECT_EQ(meta.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(meta.message(), "subscribe meta part exceeds configured byte limit");

  // A header line that never ends.
  answer(std::string("--") + queue_test::kBoundary + "\r\nX-Endless: " + std::string(200000, 'h'));
  Outcome endless;
  subscribe(endless, recorder, queue_test::dequeue_request());
  EXPECT_NE(endless.status, SV_OK);
  EXPECT_EQ(endless.message(), "failed to parse subscribe stream");

  // An error body far beyond its limit.
  rig_.server().add_fault(Fault::respond("POST", kSubscribe, 500,
                                         "{\"error\":\"" + std::string(100000, 'e') + "\"}",
                                         {{"Content-Type", "application/json"}}));
  Outcome huge;
  subscribe(huge, recorder, queue_test::dequeue_request());
  EXPECT_EQ(huge.status, SV_ERR_SERVER);  // read no further, the status kept
  EXPECT_EQ(huge.error.http_status, 500);
  EXPECT_NE(std::string(huge.error.detail != nullptr ? huge.error.detail : "").find(" [truncated]"),
            std::string::npos);
  EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(QueueStream, HandlerRefusalsKeepTheirOwnErrorOrGetOne) {
  open();
  const std::string body = multipart({meta_part(message_json("m1")), payload_part("abc"),
                                      meta_part(message_json("m2")), payload_part("def")});
  const struct {
    char at;
    const char *message;
  } points[] = {{'B', "subscribe begin callback failed"},
                {'C', "subscribe payload callback failed"},
                {'E', "subscribe end callback failed"}};
  for (const auto &point : points) {
    for (bool own : {false, true}) {
      answer(body);
      Recorder recorder;
      recorder.refuse_at = point.at;
      recorder.refuse_message = 2;
      recorder.own_error = own;
      Outcome out;
      subscribe(out, recorder, queue_test::dequeue_request());
      EXPECT_EQ(out.status, own ? SV_ERR_INVALID : SV_ERR_TRANSPORT) << point.at;
      if (own) {
        EXPECT_NE(out.message().find("says no"), std::string::npos) << out.message();
      } else {
        EXPECT_EQ(out.message(), point.message);
      }
      ASSERT_EQ(recorder.messages.size(), 2u);
      EXPECT_TRUE(recorder.messages[0].ended);
      EXPECT_EQ(recorder.messages[0].payload, "abc");
    }
  }
}

TEST_F(QueueStream, ClosingDelimiterWithoutLineBreakAndLateEpilogue) {
  open();
  std::string body = multipart({meta_part(message_json("m")), payload_part("xyz")});
  body.resize(body.size() - 2);  // no line break after the closing delimiter
  answer(body);
  Recorder recorder;
  Outcome bare;
  subscribe(bare, recorder, queue_test::dequeue_request());
  EXPECT_EQ(bare.status, SV_OK) << bare.message();

  // The epilogue arrives in a later network chunk than the closing delimiter.
  const std::string with_epilogue =
      multipart({meta_part(message_json("m")), payload_part("xyz")}) + "epilogue\r\n--ignored\r\n";
  Fault pieces = queue_test::stream_answer(kSubscribe, with_epilogue);
  pieces.chunk_sizes = {with_epilogue.size() - 20};
  pieces.chunk_pause = std::chrono::milliseconds(30);
  rig_.server().add_fault(pieces);
  Outcome late;
  subscribe(late, recorder, queue_test::dequeue_request());
  EXPECT_EQ(late.status, SV_OK) << late.message();
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_EQ(recorder.messages[1].payload, "xyz");
}

TEST_F(QueueStream, WaitingAndCasMismatchAreRetriedWithAGrowingPause) {
  open();
  rig_.server().add_fault(Fault::error("POST", kSubscribe, 409, "waiting").repeat(6));
  rig_.server().add_fault(Fault::error("POST", kSubscribe, 409, "cas_mismatch").repeat(2));
  answer(multipart({meta_part(message_json("m")), payload_part("late")}));
  Recorder recorder;
  Outcome out;
  const auto start = Clock::now();
  subscribe(out, recorder, queue_test::dequeue_request());
  const auto elapsed = Clock::now() - start;
  ASSERT_EQ(out.status, SV_OK) << out.message();
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(rig_.server().requests_to("POST", kSubscribe).size(), 9u);
  // Eight pauses of 0.5 ms doubling: at least 127.5 ms in all.
  EXPECT_GE(elapsed, std::chrono::milliseconds(127));
}

TEST_F(QueueStream, RetryAfterFromTheErrorBodyIsHonoured) {
  open();
  rig_.server().add_fault(Fault::respond("POST", kSubscribe, 409,
                                         R"({"error":"waiting","retry_after_seconds":1})",
                                         {{"Content-Type", "application/json"}}));
  answer(multipart({meta_part(message_json("m")), payload_part("p")}));
  Recorder recorder;
  Outcome out;
  const auto start = Clock::now();
  subscribe(out, recorder, queue_test::dequeue_request());
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
}

// A finite wait is a finite call: a server that keeps asking for a day's pause is waited out
// only until the wait and the client's timeout have passed, and its refusal is the answer.
TEST_F(QueueStream, ARetryAfterIsBoundedByTheWaitAndTheTimeout) {
  rig_.client_record().config.timeout_ms = 500;
  open();
  rig_.server().add_fault(Fault::respond("POST", kSubscribe, 409,
                                         R"({"error":"waiting","retry_after_seconds":86400})",
                                         {{"Content-Type", "application/json"}})
                              .repeat(1000));
  sv_engine_dequeue_request request = queue_test::dequeue_request();
  request.wait_seconds = 1;
  Recorder recorder;
  Outcome out;
  const auto start = Clock::now();
  subscribe(out, recorder, request);
  EXPECT_EQ(out.status, SV_ERR_SERVER);
  EXPECT_EQ(out.server_code(), "waiting");
  EXPECT_EQ(out.error.retry_after_seconds, 86400);
  EXPECT_EQ(out.error.http_status, 409);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // not a day
  EXPECT_EQ(rig_.server().requests_to("POST", kSubscribe).size(), 1u);
  rig_.server().clear_faults();
}

std::atomic<bool> stop_flag{false};
int stop_requested(void *) {
  return stop_flag.load() ? 1 : 0;
}

TEST_F(QueueStream, TheCancelCheckStopsRetries) {
  open();
  rig_.server().add_fault(Fault::error("POST", kSubscribe, 409, "waiting").repeat(100000));
  stop_flag = false;
  sv_engine_client_set_cancel_check(rig_.client_record().client, stop_requested, nullptr);
  std::thread stopper([this] {
    rig_.server().wait_for_requests(5);
    stop_flag = true;
  });
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder, queue_test::dequeue_request());
  stopper.join();
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(out.error.code, 0);
  const size_t sent = rig_.server().requests_to("POST", kSubscribe).size();
  EXPECT_GE(sent, 5u);
  EXPECT_LT(sent, 40u);  // the pause grows, so a stopped loop has made few attempts
}

TEST_F(QueueStream, CancellationFromAnotherThreadEndsAWaitingStream) {
  open();
  stop_flag = false;
  sv_engine_client_set_cancel_check(rig_.client_record().client, stop_requested, nullptr);
  rig_.server().add_fault(Fault::held("POST", kSubscribe));
  std::thread stopper([this] {
    rig_.server().wait_for_held(1);
    stop_flag = true;
  });
  Recorder recorder;
  Outcome out;
  const auto start = Clock::now();
  subscribe(out, recorder, queue_test::dequeue_request());
  const auto elapsed = Clock::now() - start;
  stopper.join();
  rig_.server().release_held();
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_TRUE(recorder.messages.empty());
  EXPECT_LT(elapsed, std::chrono::seconds(5));  // long before the 30 s client timeout
}

// A first endpoint that refuses connections is passed over: consumption has the same
// failover as every other call.
TEST_F(QueueStream, AnEndpointThatCannotBeReachedIsPassedOver) {
  rig_.client_record().config.disable_mtls = 1;
  ASSERT_EQ(rig_.open({"http://127.0.0.1:1", rig_.endpoint()}), SV_OK);
  answer(multipart({meta_part(message_json("m")), payload_part("second")}));
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder, queue_test::dequeue_request());
  ASSERT_EQ(out.status, SV_OK) << out.message();
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].payload, "second");
}

TEST_F(QueueStream, PassiveNodesMoveToTheNextEndpoint) {
  rig_.client_record().config.disable_mtls = 1;
  ASSERT_EQ(rig_.open({rig_.endpoint(), rig_.endpoint()}), SV_OK);
  rig_.server().add_fault(Fault::error("POST", kSubscribe, 503, "node_passive"));
  answer(multipart({meta_part(message_json("m")), payload_part("p")}));
  Recorder recorder;
  Outcome out;
  subscribe(out, recorder, queue_test::dequeue_request());
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(recorder.messages.size(), 1u);

  rig_.server().add_fault(Fault::error("POST", kSubscribe, 503, "node_passive").repeat(2));
  Outcome all;
  subscribe(all, recorder, queue_test::dequeue_request());
  EXPECT_EQ(all.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(all.message(), "all endpoints rejected the subscribe request");

  rig_.server().add_fault(Fault::error("POST", kSubscribe, 403, "forbidden", "no"));
  Outcome other;
  subscribe(other, recorder, queue_test::dequeue_request());
  EXPECT_EQ(other.status, SV_ERR_SERVER);
  EXPECT_EQ(other.server_code(), "forbidden");
  EXPECT_EQ(other.error.http_status, 403);
}

TEST_F(QueueStream, ArgumentChecks) {
  open();
  Recorder recorder;
  sv_engine_message_handler table = recorder.table();
  sv_engine_dequeue_request request = queue_test::dequeue_request();
  request.owner = "";
  Outcome out;
  out.status = sv_engine_client_subscribe(rig_.client(), &request, &table, &recorder, &out.error);
  EXPECT_EQ(out.status, SV_ERR_INVALID);
  EXPECT_EQ(out.message(),
            "subscribe requires client, request, chunk handler, error, queue, and owner");
  table.chunk = nullptr;
  request.owner = "w";
  EXPECT_EQ(sv_engine_client_dequeue_into(rig_.client(), &request, &table, &recorder, &out.error),
            SV_ERR_INVALID);
  EXPECT_TRUE(rig_.server().requests().empty());
}

}  // namespace

namespace {

int accept_event(void *, const sv_engine_queue_watch_event *, sv_engine_error *) {
  return 1;
}

TEST(QueueStreamUrl, BareEndpointsGetTheSchemeOfTheClient) {
  // Over TLS: without the engine's scheme rule libcurl would guess http:// and fail.
  Rig rig(Transport::kHttp2Tls);
  const std::string bare = "localhost:" + std::to_string(rig.server().https_port());
  ASSERT_EQ(rig.open({bare}), SV_OK) << rig.client_record().open_message;
  rig.server().add_fault(queue_test::stream_answer(
      kSubscribe, multipart({meta_part(message_json("m")), payload_part("p")})));
  Recorder recorder;
  const sv_engine_message_handler table = recorder.table();
  const sv_engine_dequeue_request request = queue_test::dequeue_request();
  Outcome out;
  out.status = sv_engine_client_subscribe(rig.client(), &request, &table, &recorder, &out.error);
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(recorder.messages.size(), 1u);

  rig.server().add_fault(Fault::respond("POST", "/v1/queue/watch", 200, "data: {}\n\n",
                                        {{"Content-Type", "text/event-stream"}}));
  sv_engine_watch_queue_request watch{nullptr, "jobs"};
  Outcome watched;
  watched.status =
      sv_engine_client_watch_queue(rig.client(), &watch, accept_event, nullptr, &watched.error);
  EXPECT_EQ(watched.status, SV_OK) << watched.message();
  EXPECT_EQ(rig.server().requests().size(), 2u);
  ASSERT_TRUE(rig.server().wait_for_access_log(2));
  EXPECT_EQ(rig.server().access_log().back().alpn, "h2");
}

}  // namespace
