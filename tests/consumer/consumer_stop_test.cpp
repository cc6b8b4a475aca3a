// Stopping the service: a stop before run is remembered, a stop from a signal handler, running
// handlers drain (keeping their extends and settlements) while deliveries that arrive after the
// stop are handed back without a failure attempt.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "consumer_fixture.h"

namespace {

using consumer_test::count_requests;
using consumer_test::Error;
using consumer_test::eventually;
using consumer_test::Latch;
using consumer_test::Rig;
using stavo::test::Fault;
using namespace std::chrono_literals;

int never_called(void *, const sv_consumer_delivery *, sv_error *) {
  ADD_FAILURE() << "no delivery expected";
  return 1;
}

TEST(ConsumerStop, AStopBeforeRunIsRemembered) {
  Rig rig;
  rig.enqueue("jobs", "untouched");
  for (const bool from_signal : {false, true}) {
    SCOPED_TRACE(from_signal ? "signal stop" : "stop");
    auto service = consumer_test::make_service(
        rig.client(), {consumer_test::consumer_for("jobs", never_called, nullptr)});
    if (from_signal) {
      EXPECT_EQ(sv_consumer_service_signal_stop(service.get()), 0);
    } else {
      EXPECT_EQ(sv_consumer_service_stop(service.get()), 0);
    }
    Error error;
    EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  }
  EXPECT_EQ(count_requests(rig, "/v1/queue/subscribe"), 0u) << "run returned before subscribing";
  EXPECT_EQ(sv_consumer_service_signal_stop(nullptr), 1);
}

sv_consumer_service *signalled_service = nullptr;

extern "C" void stop_on_signal(int) {
  sv_consumer_service_signal_stop(signalled_service);
}

TEST(ConsumerStop, ASignalHandlerStopsARunningService) {
  Rig rig;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", never_called, nullptr)});
  signalled_service = service.get();
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = stop_on_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(rig.server().wait_for_requests(1)) << "the worker is waiting on its stream";
  ASSERT_EQ(raise(SIGUSR1), 0);
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  sigaction(SIGUSR1, &previous, nullptr);
  signalled_service = nullptr;
}

// A handler that runs across the stop: it waits for the test, then returns success or, past
// the drain, tries to settle itself.
struct Straddler {
  Latch started;
  Latch release;
  bool settle_itself = false;
  int own_ack = -1;
  std::string refusal;
};

int straddle(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *s = static_cast<Straddler *>(context);
  consumer_test::read_payload(delivery->message);
  s->started.open();
  EXPECT_TRUE(s->release.wait(30s));
  if (s->settle_itself) {
    Error error;
    s->own_ack = sv_message_ack(delivery->message, error.get());
    s->refusal = error.message();
  }
  return 0;
}

TEST(ConsumerStop, AHandlerRunningAtStopKeepsItsExtendsAndItsAck) {
  Rig rig;
  rig.enqueue("jobs", "in flight", 4);
  Straddler s;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", straddle, &s);
  consumer.request.visibility_timeout_seconds = 4;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service.get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(s.started.wait());
  std::this_thread::sleep_for(200ms);  // the extender starts beside the handler
  sv_consumer_service_stop(service.get());
  rig.server().advance_clock(2s);  // half the visibility: time for an extend
  ASSERT_TRUE(eventually([&] { return count_requests(rig, "/v1/queue/extend") == 1; }))
      << "a draining handler keeps its lease";
  std::this_thread::sleep_for(200ms);
  rig.server().advance_clock(3s);  // past the first lease: only the extend keeps it
  s.release.open();
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 1u) << "the handler's success is acked";
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u);
  EXPECT_EQ(rig.queue("jobs").messages, 0u);
}

TEST(ConsumerStop, PastTheDrainAHandlerCanNoLongerSettle) {
  Rig rig;
  rig.enqueue("jobs", "too slow", 60);
  Straddler s;
  s.settle_itself = true;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", straddle, &s);
  auto service = consumer_test::make_service(rig.client(), {consumer}, 1000);
  sv_consumer_service_set_clock(service.get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(s.started.wait());
  sv_consumer_service_stop(service.get());
  rig.server().advance_clock(1500ms);
  s.release.open();
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(s.own_ack, SV_ERR_INVALID);
  EXPECT_EQ(s.refusal, "message is no longer available");
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 0u) << "nor does the service settle it";
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u);
}

// Two deliveries in one answer: the first handler stops the service and lets go of its message,
// so the second arrives after the stop.
std::string two_canned_deliveries() {
  std::string body;
  for (const char *id : {"m-0", "m-1"}) {
    const std::string meta =
        std::string(
            "{\"message\":{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"") +
        id + "\",\"attempts\":1,\"max_attempts\":5,\"lease_id\":\"lease-" + id +
        "\",\"fencing_token\":1,\"meta_etag\":\"e0\",\"visibility_timeout_seconds\":30}}";
    body +=
        "--b\r\nContent-Disposition: form-data; name=\"meta\"\r\nContent-Type: "
        "application/json\r\n\r\n" +
        meta +
        "\r\n--b\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: "
        "text/plain\r\nContent-Length: 2\r\n\r\nhi\r\n";
  }
  return body + "--b--\r\n";
}

struct FirstOnly {
  sv_consumer_service *service = nullptr;
  int calls = 0;
};

int stop_and_let_go(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *first = static_cast<FirstOnly *>(context);
  ++first->calls;
  sv_consumer_service_stop(first->service);
  sv_message_close(delivery->message);  // this server does not know the message
  return 0;
}

TEST(ConsumerStop, ADeliveryArrivingAfterStopIsHandedBackWithoutAFailure) {
  Rig rig;
  rig.server().add_fault(Fault::respond("POST", "/v1/queue/subscribe", 200, two_canned_deliveries(),
                                        {{"Content-Type", "multipart/related; boundary=b"}}));
  FirstOnly first;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", stop_and_let_go, &first)});
  first.service = service.get();
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(first.calls, 1) << "no delivery starts after the stop";
  const auto nacks = rig.bodies("/v1/queue/nack");
  ASSERT_EQ(nacks.size(), 1u);
  const auto body = nlohmann::json::parse(nacks[0]);
  EXPECT_EQ(body.value("message_id", ""), "m-1");
  EXPECT_EQ(body.value("intent", ""), "defer") << "handed back without counting a failure";
  EXPECT_EQ(body.value("delay_seconds", int64_t{0}), 0) << "visible again at once";
}

}  // namespace
