// watch_queue through the public API against the dev server: an enqueue and an ack show up as
// head changes, the handler's 0 ends the watch normally, and a handler failure is reported.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "queue_test_support.h"

namespace {

using api_test::Error;
using queue_test::QueueRig;
using queue_test::text_of;

struct Event {
  std::string queue;
  bool available;
  std::string head;
  int64_t changed_at;
};

struct Watcher {
  std::vector<Event> events;
  bool stop_when_empty = true;  // after having seen a message: return 0 once the queue is empty
  bool fail = false;            // fail on the first event with an error

  sv_watch_handler handler() {
    sv_watch_handler h;
    sv_watch_handler_init(&h);
    h.context = this;
    h.handle = [](void *context, const sv_watch_event *event, sv_error *error) -> int {
      auto *self = static_cast<Watcher *>(context);
      if (self->fail) {
        sv_error_set(error, SV_ERR_INVALID, 0, "watcher gave up", nullptr, nullptr, nullptr);
        return 0;
      }
      self->events.push_back({text_of(event->queue), event->available != 0,
                              text_of(event->head_message_id), event->changed_at_unix});
      bool seen_message = false;
      for (const Event &e : self->events)
        seen_message = seen_message || e.available;
      return seen_message && event->available == 0 ? 0 : 1;
    };
    return h;
  }
};

// Starts a watch on "events" and waits until the server has it registered.
std::future<int> start_watch(QueueRig &rig, Watcher &watcher, sv_watch_handler &handler,
                             Error &error) {
  rig.enqueue("events", "seed");  // the queue must exist to be inspected; removed below
  sv_dequeue_req dq = queue_test::dequeue_request("events");
  sv_message *seed = nullptr;
  EXPECT_EQ(sv_dequeue(rig.client(), &dq, &seed, error.get()), SV_OK);
  EXPECT_EQ(sv_message_ack(seed, error.get()), SV_OK);
  handler = watcher.handler();
  auto call = std::async(std::launch::async, [&rig, &handler, &error] {
    sv_watch_queue_req req;
    sv_watch_queue_req_init(&req);
    req.queue = "events";
    return sv_watch_queue(rig.client(), &req, &handler, error.get());
  });
  for (int i = 0; i < 500; ++i) {
    if (call.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
    const auto state = rig.inspect("events");
    if (!state.is_null() && state["watchers"].get<int>() > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return call;
}

TEST(QueueWatch, EnqueueAndAckAreSeen) {
  QueueRig rig;
  Watcher watcher;
  sv_watch_handler handler;
  Error error;
  auto call = start_watch(rig, watcher, handler, error);
  const std::string id = rig.enqueue("events", "hello");
  sv_dequeue_req dq = queue_test::dequeue_request("events");
  sv_message *message = nullptr;
  Error local;
  ASSERT_EQ(sv_dequeue(rig.client(), &dq, &message, local.get()), SV_OK);
  ASSERT_NE(message, nullptr);
  ASSERT_EQ(sv_message_ack(message, local.get()), SV_OK);
  ASSERT_EQ(call.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(call.get(), SV_OK) << error.message();
  bool saw_enqueue = false;
  for (const Event &e : watcher.events) {
    EXPECT_EQ(e.queue, "events");
    if (e.available && e.head == id) saw_enqueue = true;
  }
  EXPECT_TRUE(saw_enqueue);
  ASSERT_FALSE(watcher.events.empty());
  EXPECT_FALSE(watcher.events.back().available);  // after the ack the queue is empty
}

TEST(QueueWatch, HandlerFailureIsReported) {
  QueueRig rig;
  Watcher watcher;
  watcher.fail = true;
  sv_watch_handler handler;
  Error error;
  auto call = start_watch(rig, watcher, handler, error);
  rig.enqueue("events", "x");
  ASSERT_EQ(call.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(call.get(), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "watcher gave up");
}

}  // namespace
