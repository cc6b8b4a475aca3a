// acquire_for_update: a handler that succeeds sees the snapshot and its writes are committed; a
// handler that fails makes the release roll back and its error reaches the caller; a key
// without state gives the handler no source.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;

struct Seen {
  std::string state;
  int32_t has_state = -1;
  bool had_source = false;
  int64_t version = -1;
  std::string content_type;
  bool fail = false;
  std::string write;
};

int handler(void *context, const sv_update_view *view, sv_error *error) {
  auto *seen = static_cast<Seen *>(context);
  seen->has_state = view->has_state;
  seen->had_source = view->state != nullptr;
  seen->version = view->version;
  seen->content_type = text_or_empty(view->content_type);
  if (view->state != nullptr) seen->state = api_test::read_all(view->state);
  if (!seen->write.empty()) {
    auto source = lease_test::memory_source(seen->write);
    const int status = sv_lease_update(view->lease, source.get(), nullptr, error);
    if (status != SV_OK) return status;
  }
  if (seen->fail) {
    return sv_error_set(error, SV_ERR_PROTOCOL, 0, "handler refused the order", "bad quantity",
                        nullptr, nullptr);
  }
  return SV_OK;
}

class AcquireForUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<DevServer>();
    ClientConfig config(*server_, false);
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  std::unique_ptr<DevServer> server_;
  ClientPtr client_;
};

TEST_F(AcquireForUpdate, AHandlerThatSucceedsSeesTheSnapshotAndCommits) {
  server_->seed_state("afu/ok", R"({"id":1,"quantity":2})");
  Seen seen;
  seen.write = R"({"id":1,"quantity":3})";
  sv_acquire_req req = lease_test::acquire_request("afu/ok");
  Error error;
  ASSERT_EQ(sv_acquire_for_update(client_.get(), &req, handler, &seen, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(seen.has_state, 1);
  EXPECT_TRUE(seen.had_source);
  EXPECT_EQ(seen.state, R"({"id":1,"quantity":2})");
  EXPECT_EQ(seen.content_type, "application/json");
  EXPECT_GT(seen.version, 0);
  const auto state = server_->state("afu/ok");
  EXPECT_FALSE(state.lease.has_value());
  EXPECT_EQ(state.state, R"({"id":1,"quantity":3})");
}

TEST_F(AcquireForUpdate, AHandlerThatFailsRollsBackAndReportsItsError) {
  server_->seed_state("afu/fail", R"({"id":2})");
  Seen seen;
  seen.write = R"({"id":2,"changed":true})";
  seen.fail = true;
  sv_acquire_req req = lease_test::acquire_request("afu/fail");
  Error error;
  EXPECT_EQ(sv_acquire_for_update(client_.get(), &req, handler, &seen, error.get()),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "handler refused the order");
  EXPECT_EQ(error.detail(), "bad quantity");
  const auto state = server_->state("afu/fail");
  EXPECT_FALSE(state.lease.has_value()) << "the lease was released";
  EXPECT_EQ(state.state, R"({"id":2})") << "the staged write was rolled back";
  auto releases = server_->requests_to("POST", "/v1/release");
  ASSERT_FALSE(releases.empty());
  EXPECT_NE(releases.back().body.find("\"rollback\":true"), std::string::npos)
      << releases.back().body;
}

TEST_F(AcquireForUpdate, AKeyWithoutStateGivesNoSource) {
  Seen seen;
  sv_acquire_req req = lease_test::acquire_request("afu/empty");
  Error error;
  ASSERT_EQ(sv_acquire_for_update(client_.get(), &req, handler, &seen, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(seen.has_state, 0);
  EXPECT_FALSE(seen.had_source);
}

TEST_F(AcquireForUpdate, ArgumentsAndAFailedAcquireAreReported) {
  sv_acquire_req req = lease_test::acquire_request("afu/args");
  Error error;
  EXPECT_EQ(sv_acquire_for_update(client_.get(), &req, nullptr, nullptr, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "acquire_for_update requires self, req, and handler");
  server_->add_fault(stavo::test::Fault::error("POST", "/v1/acquire", 409, "lease_held"));
  Seen seen;
  error.clear();
  EXPECT_EQ(sv_acquire_for_update(client_.get(), &req, handler, &seen, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(seen.has_state, -1) << "the handler never ran";
}

}  // namespace
