// The queue watch over HTTP/1.1 against scripted event streams: events in one chunk and split
// across chunks, the correlation id fallback, handler refusals, passive endpoints and limits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "queue_fixture.h"

namespace {

using queue_test::Outcome;
using queue_test::Rig;
using queue_test::Transport;
using stavo::test::Fault;

constexpr const char *kWatch = "/v1/queue/watch";

struct Seen {
  std::vector<std::string> heads;
  std::vector<std::string> correlation_ids;
  std::vector<int32_t> available;
  std::vector<int64_t> changed;
  size_t refuse_at = 0;  // 1-based; 0: never
  bool own_error = false;
};

int record(void *context, const sv_engine_queue_watch_event *event, sv_engine_error *error) {
  auto *seen = static_cast<Seen *>(context);
  seen->heads.push_back(event->head_message_id != nullptr ? event->head_message_id : "<null>");
  seen->correlation_ids.push_back(event->correlation_id != nullptr ? event->correlation_id
                                                                   : "<null>");
  seen->available.push_back(event->available);
  seen->changed.push_back(event->changed_at_unix);
  if (seen->heads.size() == seen->refuse_at) {
    if (seen->own_error) sv_engine_set_client_error(error, SV_ERR_INVALID, "watcher had enough");
    return 0;
  }
  return 1;
}

std::string event(const std::string &head, const std::string &extra = "") {
  std::string data =
      "{\"namespace\":\"default\",\"queue\":\"jobs\",\"available\":true,"
      "\"head_message_id\":\"" +
      head + "\",\"changed_at_unix\":42";
  if (!extra.empty()) data += "," + extra;
  return "event: queue\ndata: " + data + "}\n\n";
}

Fault events_answer(const std::string &body) {
  return Fault::respond("POST", kWatch, 200, body,
                        {{"Content-Type", "text/event-stream"}, {"X-Correlation-Id", "resp-cid"}});
}

class QueueWatch : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(rig_.open(), SV_OK) << rig_.client_record().open_message; }
  void watch(Outcome &out, Seen &seen) {
    sv_engine_watch_queue_request request{nullptr, "jobs"};
    out.status = sv_engine_client_watch_queue(rig_.client(), &request, record, &seen, &out.error);
  }
  Rig rig_{Transport::kHttp1};
};

TEST_F(QueueWatch, EventsInOneChunkArriveInOrder) {
  rig_.server().add_fault(
      events_answer(event("m1") + event("m2", "\"correlation_id\":\"own\"") + ": comment\n\n" +
                    "data: {\"head_message_id\":\"m3\",\"available\":false}\n\n"));
  Seen seen;
  Outcome out;
  watch(out, seen);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(seen.heads, (std::vector<std::string>{"m1", "m2", "m3"}));
  EXPECT_EQ(seen.correlation_ids, (std::vector<std::string>{"resp-cid", "own", "resp-cid"}));
  EXPECT_EQ(seen.changed[0], 42);
  EXPECT_EQ(seen.available, (std::vector<int32_t>{1, 1, 0}));
  const auto logged = queue_test::request_to(rig_.server(), kWatch);
  EXPECT_EQ(logged.body, R"({"namespace":"default","queue":"jobs"})");
  EXPECT_EQ(logged.header("Accept").value_or(""), "text/event-stream");
}

TEST_F(QueueWatch, AnEventSplitAcrossChunksArrivesOnceAndALastEventWithoutBlankLine) {
  std::string body = event("split") + event("last");
  body.resize(body.size() - 1);  // the last event lacks its blank line
  Fault pieces = events_answer(body);
  pieces.chunk_sizes = std::vector<size_t>(40, 3);
  pieces.chunk_pause = std::chrono::milliseconds(1);
  rig_.server().add_fault(pieces);
  Seen seen;
  Outcome out;
  watch(out, seen);
  ASSERT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(seen.heads, (std::vector<std::string>{"split", "last"}));
}

TEST_F(QueueWatch, HandlerRefusalEndsTheWatch) {
  for (bool own : {false, true}) {
    rig_.server().add_fault(events_answer(event("a") + event("b") + event("c")));
    Seen seen;
    seen.refuse_at = 2;
    seen.own_error = own;
    Outcome out;
    watch(out, seen);
    EXPECT_EQ(out.status, own ? SV_ERR_INVALID : SV_ERR_TRANSPORT);
    EXPECT_EQ(out.message(), own ? "watcher had enough" : "queue watch handler failed");
    EXPECT_EQ(seen.heads.size(), 2u);
  }
}

std::atomic<bool> watch_stop{false};
int watch_stop_requested(void *) {
  return watch_stop.load() ? 1 : 0;
}

// The client's cancel check ends a silent watch as it ends a subscribe stream: quietly, soon.
TEST_F(QueueWatch, TheCancelCheckEndsASilentWatch) {
  watch_stop = false;
  sv_engine_client_set_cancel_check(rig_.client_record().client, watch_stop_requested, nullptr);
  rig_.server().add_fault(Fault::held("POST", kWatch));
  std::thread stopper([this] {
    rig_.server().wait_for_held(1);
    watch_stop = true;
  });
  Seen seen;
  Outcome out;
  const auto start = std::chrono::steady_clock::now();
  watch(out, seen);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  rig_.server().release_held();
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(out.error.code, 0);
  EXPECT_TRUE(seen.heads.empty());
  EXPECT_LT(elapsed, std::chrono::seconds(5));  // long before the 30 s client timeout
}

// A first endpoint that refuses connections is passed over, as by every other call.
TEST_F(QueueWatch, AnEndpointThatCannotBeReachedIsPassedOver) {
  engine_test::Client two;
  two.config.disable_mtls = 1;
  ASSERT_EQ(two.open({"http://127.0.0.1:1", rig_.endpoint()}), SV_OK);
  sv_engine_watch_queue_request request{nullptr, "jobs"};
  rig_.server().add_fault(events_answer(event("second")));
  Seen seen;
  Outcome out;
  out.status = sv_engine_client_watch_queue(two.client, &request, record, &seen, &out.error);
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(seen.heads, (std::vector<std::string>{"second"}));

  // With no endpoint left the transport failure is the answer.
  engine_test::Client none;
  none.config.disable_mtls = 1;
  ASSERT_EQ(none.open({"http://127.0.0.1:1", "http://127.0.0.1:1"}), SV_OK);
  Outcome failed;
  failed.status = sv_engine_client_watch_queue(none.client, &request, record, &seen, &failed.error);
  EXPECT_EQ(failed.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(failed.error.transport_cause, SV_TRANSPORT_CAUSE_CONNECT);
}

TEST_F(QueueWatch, PassiveEndpointsAndServerErrors) {
  engine_test::Client two;
  two.config.disable_mtls = 1;
  ASSERT_EQ(two.open({rig_.endpoint(), rig_.endpoint()}), SV_OK);
  sv_engine_watch_queue_request request{nullptr, "jobs"};

  rig_.server().add_fault(Fault::error("POST", kWatch, 503, "node_passive"));
  rig_.server().add_fault(events_answer(event("after-failover")));
  Seen seen;
  Outcome moved;
  moved.status = sv_engine_client_watch_queue(two.client, &request, record, &seen, &moved.error);
  EXPECT_EQ(moved.status, SV_OK) << moved.message();
  EXPECT_EQ(seen.heads, (std::vector<std::string>{"after-failover"}));

  // Every endpoint passive: the watch never ran, which is reported.
  rig_.server().add_fault(Fault::error("POST", kWatch, 503, "node_passive").repeat(2));
  Outcome passive;
  passive.status =
      sv_engine_client_watch_queue(two.client, &request, record, &seen, &passive.error);
  EXPECT_EQ(passive.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(passive.message(), "all endpoints rejected the watch_queue request");

  rig_.server().add_fault(Fault::error("POST", kWatch, 404, "queue_not_found", "none"));
  Outcome missing;
  missing.status =
      sv_engine_client_watch_queue(two.client, &request, record, &seen, &missing.error);
  EXPECT_EQ(missing.status, SV_ERR_SERVER);
  EXPECT_EQ(missing.server_code(), "queue_not_found");

  rig_.server().add_fault(Fault::respond("POST", kWatch, 500, std::string(50000, 'x')));
  Outcome huge;
  huge.status = sv_engine_client_watch_queue(two.client, &request, record, &seen, &huge.error);
  EXPECT_EQ(huge.status, SV_ERR_SERVER);  // read no further, the status kept
  EXPECT_EQ(huge.error.http_status, 500);
  EXPECT_NE(std::string(huge.error.detail != nullptr ? huge.error.detail : "").find(" [truncated]"),
            std::string::npos);

  rig_.server().add_fault(events_answer("data: {not json\n\n"));
  Outcome broken;
  broken.status = sv_engine_client_watch_queue(two.client, &request, record, &seen, &broken.error);
  EXPECT_NE(broken.status, SV_OK);
  EXPECT_EQ(broken.message(), "failed to parse queue watch event");

  Outcome args;
  sv_engine_watch_queue_request nameless{nullptr, ""};
  args.status = sv_engine_client_watch_queue(two.client, &nameless, record, &seen, &args.error);
  EXPECT_EQ(args.status, SV_ERR_INVALID);
  EXPECT_EQ(args.message(), "watch_queue requires client, request, handler, error, and queue");
}

TEST_F(QueueWatch, OnlyAnEventStreamIsReadAsEvents) {
  // Answers a watch must not take for a quiet queue: another type, no type, and an empty body.
  const std::vector<Fault> answers = {
      Fault::respond("POST", kWatch, 200, event("m-1"), {{"Content-Type", "application/json"}}),
      Fault::respond("POST", kWatch, 200, "--b\r\n\r\n--b--\r\n",
                     {{"Content-Type", "multipart/related; boundary=b"}}),
      Fault::respond("POST", kWatch, 200, event("m-2"), {}),
      Fault::respond("POST", kWatch, 200, "", {{"Content-Type", "text/plain"}}),
  };
  for (const Fault &answer : answers) {
    rig_.server().add_fault(answer);
    Outcome out;
    Seen seen;
    watch(out, seen);
    EXPECT_EQ(out.status, SV_ERR_PROTOCOL) << answer.body;
    EXPECT_EQ(out.message(), "queue watch response is not an event stream") << answer.body;
    EXPECT_TRUE(seen.heads.empty()) << answer.body;
  }
  // Parameters and letter case do not matter.
  rig_.server().add_fault(Fault::respond("POST", kWatch, 200, event("m-3"),
                                         {{"Content-Type", "Text/Event-Stream; charset=utf-8"}}));
  Outcome out;
  Seen seen;
  watch(out, seen);
  EXPECT_EQ(out.status, SV_OK) << out.message();
  EXPECT_EQ(seen.heads, std::vector<std::string>{"m-3"});
}

}  // namespace
