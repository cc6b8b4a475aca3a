// How answers change the lease's view: a keepalive without an expiry keeps the one known, a
// describe marks the metadata known even when nothing is hidden, a failed copy of a new ETag
// fails the write and keeps the view, and a lease of version 0 sends no implicit if-version.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;
using lease_test::ClientConfig;
using lease_test::text_or_empty;
using stavo::test::DevServer;
using stavo::test::Fault;

class LeaseView : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<DevServer>();
    ClientConfig config(*server_, false);
    config.config.allocator = counting_.allocator;
    ASSERT_EQ(sv_client_open(&config.config, &client_, nullptr), SV_OK);
    sv_acquire_req req = lease_test::acquire_request("view/1");
    ASSERT_EQ(sv_acquire(client_, &req, &lease_, nullptr), SV_OK);
  }
  void TearDown() override {
    sv_lease_close(lease_);
    sv_client_close(client_);
    EXPECT_EQ(counting_.live, 0u);
  }
  CountingAllocator counting_;
  std::unique_ptr<DevServer> server_;
  sv_client *client_ = nullptr;
  sv_lease *lease_ = nullptr;
};

TEST_F(LeaseView, AKeepaliveWithoutExpiryKeepsTheKnownOne) {
  Error error;
  sv_keepalive_req keepalive{60};
  ASSERT_EQ(sv_lease_keepalive(lease_, &keepalive, error.get()), SV_OK) << error.message();
  const int64_t expiry = lease_->expires_at_unix;
  ASSERT_GT(expiry, 0);
  server_->add_fault(Fault::respond("POST", "/v1/keepalive", 200,
                                    R"({"expires_at_unix":0,"version":5,"state_etag":"e5"})",
                                    {{"Content-Type", "application/json"}}));
  ASSERT_EQ(sv_lease_keepalive(lease_, &keepalive, error.get()), SV_OK) << error.message();
  EXPECT_EQ(lease_->expires_at_unix, expiry);
  EXPECT_EQ(lease_->version, 5);
  EXPECT_EQ(text_or_empty(lease_->state_etag), "e5");
}

TEST_F(LeaseView, DescribeMarksTheMetadataKnown) {
  Error error;
  EXPECT_EQ(lease_->has_metadata, 0);
  ASSERT_EQ(sv_lease_describe(lease_, error.get()), SV_OK) << error.message();
  EXPECT_EQ(lease_->has_metadata, 1);
  EXPECT_EQ(lease_->query_hidden, 0);
  EXPECT_GT(lease_->expires_at_unix, 0);
}

TEST_F(LeaseView, AFailedCopyOfTheNewEtagFailsTheWriteAndKeepsTheView) {
  Error error;
  const int64_t version = lease_->version;
  counting_.fail_at = counting_.allocations + 1;
  lease_test::Order order{1, nullptr, 2};
  EXPECT_EQ(sv_lease_save(lease_, &lease_test::order_map, &order, nullptr, error.get()),
            SV_ERR_NOMEM);
  EXPECT_EQ(error.message(), "failed to allocate refreshed lease state etag");
  EXPECT_EQ(lease_->version, version);
  EXPECT_EQ(lease_->state_etag, nullptr);
  // The next save goes out with the same (absent) precondition and succeeds.
  ASSERT_EQ(sv_lease_save(lease_, &lease_test::order_map, &order, nullptr, error.get()), SV_OK);
  EXPECT_NE(lease_->state_etag, nullptr);
}

TEST_F(LeaseView, AVersionZeroLeaseSendsNoImplicitPrecondition) {
  Error error;
  ASSERT_EQ(lease_->version, 0);
  sv_metadata_req metadata;
  sv_metadata_req_init(&metadata);
  ASSERT_EQ(sv_lease_metadata(lease_, &metadata, error.get()), SV_OK) << error.message();
  auto requests = server_->requests_to("POST", "/v1/metadata");
  ASSERT_FALSE(requests.empty());
  EXPECT_FALSE(requests.back().header("X-If-Version").has_value());
  sv_remove_req remove;
  sv_remove_req_init(&remove);
  remove.if_version = 0;
  remove.has_if_version = 1;
  ASSERT_EQ(sv_lease_remove(lease_, &remove, error.get()), SV_OK) << error.message();
  EXPECT_EQ(server_->requests_to("POST", "/v1/remove").back().header("X-If-Version"), "0")
      << "an explicit precondition is sent as given";
}

}  // namespace
