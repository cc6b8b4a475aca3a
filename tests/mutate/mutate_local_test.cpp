// The lease's local mutate against the dev server: the state is read, mutated on the client and
// uploaded with the read state's ETag and version, so a change in between makes the upload fail
// and leaves the server's state alone.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "api/lease_test_support.h"
#include "mutate_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using stavo::test::DevServer;

struct LeasePtr {
  sv_lease *lease = nullptr;
  ~LeasePtr() { sv_lease_close(lease); }
};

class MutateLocal : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<DevServer>(stavo::test::DevServerOptions{.tls = GetParam()});
    ClientConfig config(*server_, GetParam());
    sv_client *raw = nullptr;
    Error error;
    ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
    client_.reset(raw);
  }
  void acquire(const char *key, LeasePtr *out) {
    sv_acquire_req req = lease_test::acquire_request(key);
    Error error;
    ASSERT_EQ(sv_acquire(client_.get(), &req, &out->lease, error.get()), SV_OK) << error.message();
  }
  int mutate(sv_lease *lease, std::vector<const char *> expressions, Error *error,
             const sv_mutation_file_opener *opener = nullptr, int skip = 0) {
    sv_mutate_local_req req;
    sv_mutate_local_req_init(&req);
    req.mutations = expressions.data();
    req.mutation_count = expressions.size();
    req.file_opener = opener;
    req.file_value_base_dir = "/virtual";
    req.skip_preconditions = skip;
    return sv_lease_mutate_local(lease, &req, error->get());
  }
  // What the lease holder sees: writes under a lease are staged until release.
  std::string staged(const std::string &key) {
    const auto state = server_->state(key);
    if (!state.lease.has_value() || !state.lease->has_staged_changes) return "<no staged state>";
    return state.lease->staged_state;
  }
  void release(LeasePtr *lease) {
    Error error;
    ASSERT_EQ(sv_lease_release(lease->lease, nullptr, error.get()), SV_OK) << error.message();
    lease->lease = nullptr;
  }
  std::string last_update_header(const std::string &name) {
    auto requests = server_->requests_to("POST", "/v1/update");
    if (requests.empty()) return "<no request>";
    return requests.back().header(name).value_or("<absent>");
  }
  std::unique_ptr<DevServer> server_;
  ClientPtr client_;
};

TEST_P(MutateLocal, KeyWithoutStateStartsFromAnEmptyObject) {
  LeasePtr lease;
  acquire("fresh", &lease);
  Error error;
  ASSERT_EQ(mutate(lease.lease, {"/x/y='1'", "/count++"}, &error), SV_OK) << error.message();
  EXPECT_EQ(staged("fresh"), R"({"x":{"y":1},"count":1})");
  EXPECT_EQ(last_update_header("X-If-State-ETag"), "<absent>");
  EXPECT_EQ(last_update_header("Content-Type"), "application/json");
  // The view follows the upload.
  EXPECT_GT(lease.lease->version, 0);
  ASSERT_NE(lease.lease->state_etag, nullptr);
  release(&lease);
  const auto state = server_->state("fresh");
  ASSERT_TRUE(state.has_state);
  EXPECT_EQ(state.state, R"({"x":{"y":1},"count":1})");
}

TEST_P(MutateLocal, UploadCarriesTheReadStatesPreconditions) {
  server_->seed_state("doc", R"({"n":1, "keep":"a", "gone":[1,2]})");
  const auto before = server_->state("doc");
  LeasePtr lease;
  acquire("doc", &lease);
  Error error;
  ASSERT_EQ(mutate(lease.lease, {"/n=2", "rm:/gone", "/keep=' b '"}, &error), SV_OK)
      << error.message();
  const std::string etag = last_update_header("X-If-State-ETag");
  EXPECT_NE(etag.find(before.state_etag), std::string::npos) << etag;
  EXPECT_EQ(last_update_header("X-If-Version"), std::to_string(before.version));
  release(&lease);
  EXPECT_EQ(server_->state("doc").state, R"({"n":3,"keep":" b "})");
}

INSTANTIATE_TEST_SUITE_P(Transports, MutateLocal, ::testing::Values(false, true),
                         [](const auto &param_info) {
                           return param_info.param ? "h2_tls" : "http";
                         });

// An opener that changes the key's state through the same lease while the plan is applied,
// i.e. after the read and before the upload.
struct Interloper {
  sv_lease *lease;
  int calls = 0;
};

int interfering_opener(void *context, const char *, sv_source **out, sv_error *error) {
  auto *interloper = static_cast<Interloper *>(context);
  ++interloper->calls;
  const std::string changed = R"({"n":100})";
  sv_source *change = nullptr;
  sv_source_from_memory(changed.data(), changed.size(), &change, nullptr);
  const int status = sv_lease_update(interloper->lease, change, nullptr, error);
  sv_source_close(change);
  if (status != SV_OK) return status;
  return sv_source_from_memory("v", 1, out, error);
}

class MutateLocalPlain : public MutateLocal {};

TEST_P(MutateLocalPlain, ChangedStateFailsThePreconditionAndStays) {
  server_->seed_state("raced", R"({"n":1})");
  LeasePtr lease;
  acquire("raced", &lease);
  Interloper interloper{lease.lease};
  const sv_mutation_file_opener opener{interfering_opener, &interloper};
  Error error;
  EXPECT_EQ(mutate(lease.lease, {"/n++", "file:/f=x"}, &error, &opener), SV_ERR_SERVER);
  EXPECT_EQ(interloper.calls, 1);
  EXPECT_EQ(error.record.http_status, 409);
  EXPECT_EQ(staged("raced"), R"({"n":100})");

  // Without preconditions the upload replaces whatever is there.
  interloper.calls = 0;
  Error skipped;
  ASSERT_EQ(mutate(lease.lease, {"/n++", "file:/f=x"}, &skipped, &opener, 1), SV_OK)
      << skipped.message();
  EXPECT_EQ(staged("raced"), R"({"n":101,"f":"v"})");
}

TEST_P(MutateLocalPlain, FailuresBeforeTheUploadLeaveTheServerAlone) {
  server_->seed_state("kept", R"({"n":"text"})");
  const auto before = server_->state("kept");
  LeasePtr lease;
  acquire("kept", &lease);
  server_->clear_requests();
  Error error;
  EXPECT_EQ(mutate(lease.lease, {"/n++"}, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "increment target is not numeric");
  EXPECT_EQ(mutate(lease.lease, {"/a/*=1"}, &error), SV_ERR_INVALID);
  // A path through a string cannot be applied: refused, not uploaded unchanged.
  EXPECT_EQ(mutate(lease.lease, {"/fresh=1", "/n/deep=1"}, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "mutation path cannot be applied");
  EXPECT_EQ(server_->requests_to("POST", "/v1/update").size(), 0u);
  EXPECT_EQ(server_->state("kept").state, before.state);
  EXPECT_EQ(server_->state("kept").version, before.version);

  sv_mutate_local_req req;
  sv_mutate_local_req_init(&req);
  EXPECT_EQ(sv_lease_mutate_local(lease.lease, &req, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease mutate_local requires self and mutations");
  EXPECT_EQ(sv_lease_mutate_local(lease.lease, nullptr, error.get()), SV_ERR_INVALID);

  // A root that is no object is refused before anything is sent.
  server_->seed_state("array", "[1,2]");
  LeasePtr other;
  acquire("array", &other);
  EXPECT_EQ(mutate(other.lease, {"/a=1"}, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "local mutate currently requires a JSON object root");
  EXPECT_EQ(server_->state("array").state, "[1,2]");
}

// The server's mutate and the local one read padded numbers alike: stored, never added.
TEST_P(MutateLocalPlain, PaddedNumbersAreStoredOnBothSides) {
  const char *seed = R"({"lead":1,"trail":1,"bare":1,"quoted":1})";
  const std::vector<const char *> expressions = {"/lead= 5", "/trail=5 ", "/bare=5", "/quoted='5'"};
  server_->seed_state("server-side", seed);
  server_->seed_state("client-side", seed);
  LeasePtr server_lease;
  acquire("server-side", &server_lease);
  sv_mutate_req req;
  sv_mutate_req_init(&req);
  req.mutations = expressions.data();
  req.mutation_count = expressions.size();
  Error error;
  ASSERT_EQ(sv_lease_mutate(server_lease.lease, &req, error.get()), SV_OK) << error.message();
  LeasePtr client_lease;
  acquire("client-side", &client_lease);
  ASSERT_EQ(mutate(client_lease.lease, expressions, &error), SV_OK) << error.message();
  const nlohmann::json server_state = nlohmann::json::parse(staged("server-side"));
  const nlohmann::json client_state = nlohmann::json::parse(staged("client-side"));
  EXPECT_EQ(server_state, nlohmann::json::parse(R"({"lead":5,"trail":5,"bare":6,"quoted":5})"));
  EXPECT_EQ(client_state, server_state);
}

INSTANTIATE_TEST_SUITE_P(Http, MutateLocalPlain, ::testing::Values(false));

}  // namespace
