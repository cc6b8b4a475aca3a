// Allocation failure along a short lease's life: a counting allocator fails the Nth allocation
// for every N; each step either succeeds or fails with SV_ERR_NOMEM, and nothing leaks.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;
using lease_test::ClientConfig;
using stavo::test::DevServer;

// Runs acquire, save, load, update, keepalive, describe and release; returns the status of the
// first failing step (SV_OK when all passed). The lease is closed when release did not free it.
int short_life(sv_client *client, const std::string &key, Error &error) {
  sv_acquire_req req = lease_test::acquire_request(key.c_str());
  sv_lease *lease = nullptr;
  int status = sv_acquire(client, &req, &lease, error.get());
  if (status != SV_OK) return status;
  lease_test::Order order{3, const_cast<char *>("nut"), 9};
  status = sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get());
  if (status == SV_OK) {
    lease_test::OrderRecord loaded;
    sv_get_res got{};
    status = sv_lease_load(lease, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                           error.get());
    sv_get_res_cleanup(&got);
  }
  if (status == SV_OK) {
    auto source = lease_test::memory_source(R"({"id":4})");
    status = sv_lease_update(lease, source.get(), nullptr, error.get());
  }
  if (status == SV_OK) {
    sv_keepalive_req keepalive{60};
    status = sv_lease_keepalive(lease, &keepalive, error.get());
  }
  if (status == SV_OK) status = sv_lease_describe(lease, error.get());
  if (status == SV_OK) {
    status = sv_lease_release(lease, nullptr, error.get());
    if (status == SV_OK) lease = nullptr;
  }
  sv_lease_close(lease);
  return status;
}

TEST(LeaseAllocation, EveryFailedAllocationOfALeasesLifeIsReportedWithoutLeaks) {
  DevServer server;
  bool completed = false;
  for (size_t n = 1; n < 200 && !completed; ++n) {
    CountingAllocator counting;
    ClientConfig config(server, false);
    config.config.allocator = counting.allocator;
    sv_client *client = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &client, nullptr), SV_OK);
    const size_t live_after_open = counting.live;
    counting.fail_at = counting.allocations + n;
    Error error;
    const int status = short_life(client, "alloc/" + std::to_string(n), error);
    if (status == SV_OK) {
      completed = true;
    } else {
      EXPECT_EQ(status, SV_ERR_NOMEM) << "n=" << n << ": " << error.message();
    }
    EXPECT_EQ(counting.live, live_after_open) << "n=" << n;
    sv_client_close(client);
    EXPECT_EQ(counting.live, 0u) << "n=" << n;
  }
  EXPECT_TRUE(completed) << "the life never ran through";
}

}  // namespace
