// The lease keeper through stavo::LeaseKeeper against the dev server: it renews a lease across
// several TTLs, reports a lease the server let expire (on the callback and on the next call),
// hands leases back when it stops, and lets go of a lease that is released.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cpp_fixture.h"

namespace {

using cpp_test::CppFixture;
using cpp_test::owner;
using namespace std::chrono_literals;

size_t keepalives(const cpp_test::DevServer &server) {
  return server.requests_to("POST", "/v1/keepalive").size();
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class CppKeeperRealTime : public CppFixture {
 protected:
  CppKeeperRealTime() : CppFixture(cpp_test::DevServerOptions{.clock_running = true}) {}
};

TEST_F(CppKeeperRealTime, ALeaseOutlivesThreeTimesItsTtl) {
  const auto start = std::chrono::steady_clock::now();
  stavo::Lease lease = client_.acquire("keep/long", owner("worker", 1));
  stavo::LeaseKeeper keeper;
  keeper.keep(lease, 1);
  // Without the keeper the server would drop the lease after one second.
  ASSERT_TRUE(eventually([&] { return std::chrono::steady_clock::now() - start > 3500ms; }));
  EXPECT_GE(keeper.renewals(lease), 6) << "about three renewals per TTL";
  EXPECT_GE(keepalives(*server_), static_cast<size_t>(keeper.renewals(lease)));
  const auto held = server_->state("keep/long").lease;
  ASSERT_TRUE(held.has_value()) << "the server let the kept lease expire";
  EXPECT_EQ(held->lease_id, lease.lease_id());
  keeper.check(lease);

  // The next call brings the renewed expiry into the view.
  lease.update(R"({"done":true})");
  EXPECT_GE(lease.expires_at_unix(), server_->now_unix());
  lease.release();
  EXPECT_EQ(server_->state("keep/long").state, R"({"done":true})");
}

class CppKeeper : public CppFixture {};

TEST_F(CppKeeper, ALeaseTheServerDroppedIsReportedAndRefusedOnTheNextCall) {
  std::mutex mutex;
  std::condition_variable reported;
  std::vector<stavo::LostLease> lost;
  stavo::KeeperOptions options;
  options.renew_fraction = 0.01;  // every 300 ms for a 30 s lease
  options.on_lost = [&](const stavo::LostLease &event) {
    std::lock_guard<std::mutex> lock(mutex);
    lost.push_back(event);
    reported.notify_all();
  };
  stavo::LeaseKeeper keeper(options);
  stavo::Lease doomed = client_.acquire("keep/doomed", owner("worker"));
  stavo::Lease healthy = client_.acquire("keep/healthy", owner("worker", 600));
  keeper.keep(doomed, 30);
  keeper.keep(healthy, 600);
  ASSERT_TRUE(eventually([&] { return keeper.renewals(doomed) >= 1; }));

  server_->advance_clock(31s);  // the doomed lease's renewals stopped reaching the server in time
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(reported.wait_for(lock, 15s, [&] { return !lost.empty(); }));
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].key, "keep/doomed");
    EXPECT_EQ(lost[0].lease_id, doomed.lease_id());
    EXPECT_EQ(lost[0].error.code(), SV_ERR_SERVER);
    EXPECT_EQ(lost[0].error.http_status(), 409);
    EXPECT_EQ(lost[0].error.message().rfind("lease lost: ", 0), 0u) << lost[0].error.message();
  }
  try {
    doomed.update(R"({"late":true})");
    FAIL() << "an update on a lost lease went through";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.http_status(), 409);
    EXPECT_EQ(error.server_error_code(), lost[0].error.server_error_code());
    EXPECT_EQ(error.message(), lost[0].error.message());
  }
  stavo::Status status;
  keeper.check(doomed, status);
  EXPECT_EQ(status.code(), SV_ERR_SERVER);
  const size_t updates = server_->requests_to("POST", "/v1/update").size();
  EXPECT_EQ(updates, 0u) << "the refused update was sent";

  // The other lease is untouched.
  keeper.check(healthy);
  healthy.update(R"({"ok":1})");
  healthy.release();
  EXPECT_EQ(server_->state("keep/healthy").state, R"({"ok":1})");
}

TEST_F(CppKeeper, StoppingHandsTheLeasesBackAndReleasingLetsGo) {
  stavo::Lease kept = client_.acquire("keep/back", owner("worker"));
  stavo::Lease released = client_.acquire("keep/gone", owner("worker"));
  {
    stavo::KeeperOptions options;
    options.renew_fraction = 0.01;
    stavo::LeaseKeeper keeper(options);
    keeper.keep(kept, 30);
    keeper.keep(released, 30);
    stavo::Status status;
    keeper.keep(kept, 30, status);
    EXPECT_EQ(status.message(), "lease is already kept");
    keeper.keep(kept, 0, status);
    EXPECT_EQ(status.message(), "lease keeper add requires keeper, lease, and ttl_seconds");
    ASSERT_TRUE(eventually([&] { return keeper.renewals(released) >= 2; }));
    released.release();
    EXPECT_EQ(keeper.renewals(released), 0) << "a released lease is no longer kept";
    ASSERT_TRUE(eventually([&] { return keeper.renewals(kept) >= 2; }));
    stavo::LeaseRef unkept;
    EXPECT_FALSE(keeper.forget(unkept));
  }
  // The thread has stopped: no renewal arrives any more, and the lease is an ordinary one.
  const size_t after_stop = keepalives(*server_);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(keepalives(*server_), after_stop);
  kept.update(R"({"back":true})");
  kept.release();
  EXPECT_EQ(server_->state("keep/back").state, R"({"back":true})");
  EXPECT_FALSE(server_->state("keep/gone").lease.has_value());
}

TEST_F(CppKeeper, AForgottenLeaseIsNoLongerRenewedAndALostOneCanBeClosed) {
  stavo::KeeperOptions options;
  options.renew_fraction = 0.01;
  stavo::LeaseKeeper keeper(options);
  stavo::Lease lease = client_.acquire("keep/forget", owner("worker"));
  keeper.keep(lease, 30);
  ASSERT_TRUE(eventually([&] { return keeper.renewals(lease) >= 1; }));
  EXPECT_TRUE(keeper.forget(lease));
  EXPECT_THROW(keeper.check(lease), stavo::Error);
  const size_t after_forget = keepalives(*server_);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(keepalives(*server_), after_forget);

  // Kept again, lost, then destroyed: the failed release closes it (ASan checks the handle).
  keeper.keep(lease, 30);
  server_->advance_clock(31s);
  stavo::Status status;
  ASSERT_TRUE(eventually([&] {
    keeper.check(lease, status);
    return !status.ok();
  }));
  lease = stavo::Lease();
  EXPECT_FALSE(server_->state("keep/forget").lease.has_value());
}

}  // namespace
