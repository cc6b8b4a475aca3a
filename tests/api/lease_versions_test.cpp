// Versions across sequences of lease operations with implicit preconditions: every write sends
// the version the previous answer reported, so sequences of writes never conflict with
// themselves.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using stavo::test::DevServer;

class LeaseVersions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ClientConfig config(*server_, false);
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  sv_lease *acquire_seeded(const std::string &key) {
    server_->seed_state(key, R"({"id":1})");
    sv_acquire_req req = lease_test::acquire_request(key.c_str());
    sv_lease *lease = nullptr;
    EXPECT_EQ(sv_acquire(client_.get(), &req, &lease, nullptr), SV_OK);
    return lease;
  }
  static int save(sv_lease *lease, Error &error) {
    lease_test::Order order{lease->version, nullptr, 1};
    return sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get());
  }
  static int mutate(sv_lease *lease, Error &error) {
    sv_mutate_req req;
    sv_mutate_req_init(&req);
    const char *expressions[] = {"/quantity++"};
    req.mutations = expressions;
    req.mutation_count = 1;
    return sv_lease_mutate(lease, &req, error.get());
  }
  static int metadata(sv_lease *lease, Error &error) {
    sv_metadata_req req;
    sv_metadata_req_init(&req);
    req.has_query_hidden = 1;
    return sv_lease_metadata(lease, &req, error.get());
  }
  static DevServer *server_;
  ClientPtr client_;
};
DevServer *LeaseVersions::server_ = nullptr;

TEST_F(LeaseVersions, RepeatedWritesFollowTheReportedVersion) {
  sv_lease *lease = acquire_seeded("versions/writes");
  ASSERT_NE(lease, nullptr);
  Error error;
  ASSERT_EQ(save(lease, error), SV_OK) << error.message();
  ASSERT_EQ(save(lease, error), SV_OK) << error.message();
  ASSERT_EQ(mutate(lease, error), SV_OK) << error.message();
  ASSERT_EQ(metadata(lease, error), SV_OK) << error.message();
  ASSERT_EQ(save(lease, error), SV_OK) << error.message();
  for (const auto &request : server_->requests_to("POST", "/v1/update")) {
    EXPECT_TRUE(request.header("X-If-Version").has_value());
  }
  ASSERT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK) << error.message();
  EXPECT_NE(server_->state("versions/writes").state.find("\"quantity\":1"), std::string::npos)
      << "the last save was committed";
}

// Keepalive and describe answers report the version of the lease's staged writes, so a save
// after either keeps its implicit version precondition (no spurious version conflict).
TEST_F(LeaseVersions, WritesAroundKeepaliveAndDescribeFollowStagedVersions) {
  sv_lease *lease = acquire_seeded("versions/keepalive");
  ASSERT_NE(lease, nullptr);
  Error error;
  sv_keepalive_req keepalive{30};
  ASSERT_EQ(save(lease, error), SV_OK) << error.message();
  ASSERT_EQ(sv_lease_keepalive(lease, &keepalive, error.get()), SV_OK) << error.message();
  EXPECT_EQ(save(lease, error), SV_OK) << error.message();
  ASSERT_EQ(sv_lease_describe(lease, error.get()), SV_OK) << error.message();
  EXPECT_EQ(save(lease, error), SV_OK) << error.message();
  ASSERT_EQ(sv_lease_describe(lease, error.get()), SV_OK) << error.message();
  EXPECT_EQ(mutate(lease, error), SV_OK) << error.message();
  sv_lease_close(lease);
}

}  // namespace
