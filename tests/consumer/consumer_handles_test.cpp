// Handles that the library gives to user code and that the code closes, releases or settles
// itself: the library never uses or frees them again (an AddressSanitizer build turns a slip
// into a failure; a plain build usually crashes).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "consumer_fixture.h"

namespace {

using consumer_test::count_requests;
using consumer_test::Error;
using consumer_test::Rig;

struct Closer {
  int calls = 0;
};

// The first message is closed and its handler succeeds; the second is closed and its handler
// fails, which ends the subscription.
int close_each(void *context, sv_message *message, sv_error *error) {
  auto *closer = static_cast<Closer *>(context);
  ++closer->calls;
  sv_message_close(message);
  if (closer->calls == 1) return SV_OK;
  return sv_error_set(error, 9, 0, "closed and gave up", nullptr, nullptr, nullptr);
}

TEST(ConsumerHandles, ASubscribeHandlerMayCloseItsMessage) {
  Rig rig;
  rig.enqueue("jobs", "first");
  rig.enqueue("jobs", "second");
  Closer closer;
  sv_consumer consumer;
  sv_consumer_init(&consumer);
  consumer.handle = close_each;
  consumer.context = &closer;
  sv_dequeue_req request;
  sv_dequeue_req_init(&request);
  request.queue = "jobs";
  request.owner = "closer";
  request.page_size = 2;  // the closed first message stays unsettled on the stream
  Error error;
  EXPECT_EQ(sv_subscribe(rig.client(), &request, &consumer, error.get()), 9);
  EXPECT_EQ(error.message(), "closed and gave up");
  EXPECT_EQ(closer.calls, 2) << "a closed message that succeeded does not end the stream";
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u) << "a closed message is never nacked";
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 0u);
  EXPECT_EQ(rig.queue("jobs").delivered, 2u) << "both come back when their visibility runs out";
}

struct LeaseUser {
  bool close_instead = false;
  int released = -1;
};

int let_go_of_lease(void *context, const sv_update_view *view, sv_error *error) {
  auto *user = static_cast<LeaseUser *>(context);
  if (user->close_instead) {
    sv_lease_close(view->lease);
    return SV_OK;
  }
  sv_release_req release;
  sv_release_req_init(&release);
  user->released = sv_lease_release(view->lease, &release, error);
  return user->released;
}

TEST(ConsumerHandles, AnUpdateHandlerMayReleaseOrCloseItsLease) {
  Rig rig;
  sv_acquire_req request{};
  request.key = "orders/1";
  request.owner = "updater";
  request.ttl_seconds = 30;
  LeaseUser releasing;
  Error error;
  ASSERT_EQ(sv_acquire_for_update(rig.client(), &request, let_go_of_lease, &releasing, error.get()),
            SV_OK)
      << error.message();
  EXPECT_EQ(releasing.released, SV_OK);
  EXPECT_EQ(count_requests(rig, "/v1/release"), 1u) << "the library does not release it again";

  request.key = "orders/2";
  LeaseUser closing;
  closing.close_instead = true;
  ASSERT_EQ(sv_acquire_for_update(rig.client(), &request, let_go_of_lease, &closing, error.get()),
            SV_OK)
      << error.message();
  EXPECT_EQ(count_requests(rig, "/v1/release"), 1u) << "a closed lease is not released for it";
}

struct StateUser {
  sv_consumer_service *service = nullptr;
  int released = -1;
  bool state_forgotten = false;
};

int release_state(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *user = static_cast<StateUser *>(context);
  consumer_test::read_payload(delivery->message);
  EXPECT_NE(delivery->state, nullptr);
  if (delivery->state != nullptr) {
    sv_release_req release;
    sv_release_req_init(&release);
    Error error;
    user->released = sv_lease_release(delivery->state, &release, error.get());
  }
  user->state_forgotten = sv_message_state(delivery->message) == nullptr;
  sv_consumer_service_stop(user->service);
  return 0;
}

TEST(ConsumerHandles, AConsumerHandlerMayReleaseTheStateLease) {
  Rig rig;
  rig.enqueue("jobs", "with state");
  StateUser user;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", release_state, &user);
  consumer.with_state = 1;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  user.service = service.get();
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(user.released, SV_OK);
  EXPECT_TRUE(user.state_forgotten) << "the message forgets a released state lease";
  EXPECT_EQ(count_requests(rig, "/v1/release"), 1u);
}

// A with-state handler works on its state lease while the automatic extend renews both leases:
// the lease view it reads is never written by the extender's thread (ThreadSanitizer checks),
// and the renewal reaches the view on the handler's next call on that lease.
struct BusyStateUser {
  std::atomic<bool> extended{false};
  std::atomic<int> updates{0};
  int64_t expiry_before = 0;
  int64_t expiry_after = 0;
  int update_status = -1;
};

// Writes text as the lease's staged state.
int update_state(sv_lease *lease, const std::string &text) {
  sv_source *source = nullptr;
  Error error;
  if (sv_source_from_memory(text.data(), text.size(), &source, error.get()) != SV_OK) {
    return error.record.code;
  }
  const int status = sv_lease_update(lease, source, nullptr, error.get());
  sv_source_close(source);
  return status;
}

int work_on_state(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *user = static_cast<BusyStateUser *>(context);
  consumer_test::read_payload(delivery->message);
  sv_lease *state = delivery->state;
  if (state == nullptr) return SV_ERR_INVALID;
  user->expiry_before = state->expires_at_unix;
  int status = SV_OK;
  while (!user->extended && status == SV_OK) {
    // Reads of the view and writes through the lease, all the while the extender may run.
    const std::string etag = state->state_etag != nullptr ? state->state_etag : "";
    status = update_state(
        state, R"({"step":)" + std::to_string(++user->updates) + R"(,"etag":")" + etag + R"("})");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  user->update_status = update_state(state, R"({"step":"last"})");
  user->expiry_after = state->expires_at_unix;
  return user->update_status;
}

TEST(ConsumerHandles, TheExtenderNeverRewritesTheStateLeaseViewTheHandlerReads) {
  Rig rig;
  const std::string id = rig.enqueue("jobs", "busy", 4);
  BusyStateUser user;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", work_on_state, &user);
  consumer.with_state = 1;
  consumer.request.visibility_timeout_seconds = 4;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service.get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(consumer_test::eventually([&] { return user.updates.load() > 2; }));
  rig.server().advance_clock(std::chrono::seconds(2));  // the first extend is due
  ASSERT_TRUE(
      consumer_test::eventually([&] { return count_requests(rig, "/v1/queue/extend") >= 1; }));
  user.extended = true;
  ASSERT_TRUE(consumer_test::eventually([&] { return count_requests(rig, "/v1/queue/ack") == 1; }));
  sv_consumer_service_stop(service.get());
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(user.update_status, SV_OK);
  EXPECT_GT(user.expiry_after, user.expiry_before) << "the renewal reached the view";
  EXPECT_EQ(rig.server().state("q/jobs/state/" + id).state, R"({"step":"last"})");
}

}  // namespace
