// The lease keeper's C functions refuse what they cannot work with, by the message they
// document, and a lease handed back by remove works through its own slots again.
#include <gtest/gtest.h>

#include "api_test_support.h"
#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;

TEST(LeaseKeeperArgs, EveryFunctionRefusesWhatItCannotKeep) {
  Error error;
  EXPECT_EQ(sv_lease_keeper_open(nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease keeper open requires out");

  sv_lease_keeper *keeper = nullptr;
  ASSERT_EQ(sv_lease_keeper_open(nullptr, &keeper, error.get()), SV_OK);
  error.clear();
  EXPECT_EQ(sv_lease_keeper_add(keeper, nullptr, 30, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease keeper add requires keeper, lease, and ttl_seconds");
  EXPECT_EQ(sv_lease_keeper_remove(keeper, nullptr), SV_ERR_INVALID);
  EXPECT_EQ(sv_lease_keeper_remove(nullptr, nullptr), SV_ERR_INVALID);
  error.clear();
  EXPECT_EQ(sv_lease_keeper_check(keeper, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease is not kept");
  EXPECT_EQ(sv_lease_keeper_renewals(keeper, nullptr), 0);
  sv_lease_keeper_close(keeper);
  sv_lease_keeper_close(nullptr);

  sv_lease_keeper_config config;
  config.renew_fraction = 0.5;
  config.retry_ms = 7;
  EXPECT_EQ(sv_lease_keeper_config_init(&config), &config);
  EXPECT_EQ(config.renew_fraction, 0.0);
  EXPECT_EQ(config.retry_ms, 0);
  EXPECT_EQ(config.on_lost, nullptr);
  EXPECT_EQ(sv_lease_keeper_config_init(nullptr), nullptr);
}

TEST(LeaseKeeperArgs, ALeaseOfAnotherKeeperIsNotThisOnesAndRemoveRestoresTheSlots) {
  stavo::test::DevServer server;
  ClientConfig config(server, false);
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  sv_acquire_req req = lease_test::acquire_request("keeper/args");
  sv_lease *lease = nullptr;
  ASSERT_EQ(sv_acquire(client.get(), &req, &lease, error.get()), SV_OK) << error.message();
  const auto original_update = lease->update;

  sv_lease_keeper *first = nullptr;
  sv_lease_keeper *second = nullptr;
  ASSERT_EQ(sv_lease_keeper_open(nullptr, &first, error.get()), SV_OK);
  ASSERT_EQ(sv_lease_keeper_open(nullptr, &second, error.get()), SV_OK);
  ASSERT_EQ(sv_lease_keeper_add(first, lease, 30, error.get()), SV_OK);
  EXPECT_NE(lease->update, original_update);
  error.clear();
  EXPECT_EQ(sv_lease_keeper_add(second, lease, 30, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease is already kept");
  EXPECT_EQ(sv_lease_keeper_remove(second, lease), SV_ERR_INVALID);
  EXPECT_EQ(sv_lease_keeper_check(first, lease, error.get()), SV_OK);

  EXPECT_EQ(sv_lease_keeper_remove(first, lease), SV_OK);
  EXPECT_EQ(lease->update, original_update);
  error.clear();
  EXPECT_EQ(sv_lease_keeper_check(first, lease, error.get()), SV_ERR_INVALID);
  sv_lease_keeper_close(first);
  sv_lease_keeper_close(second);
  EXPECT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK) << error.message();
  EXPECT_FALSE(server.state("keeper/args").lease.has_value());
}

}  // namespace
