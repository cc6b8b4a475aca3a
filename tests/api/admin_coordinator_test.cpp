// The transaction coordinator through the public API against the dev server: the leader lease
// over the virtual clock, cluster membership and resource managers, and how their failures map.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;
using stavo::test::Fault;

std::vector<std::string> strings_of(const sv_string_list &list) {
  std::vector<std::string> out;
  for (size_t index = 0; index < list.count; ++index)
    out.push_back(text_or_empty(list.items[index]));
  return out;
}

class AdminCoordinator : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientConfig config(server_, false);
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  sv_tc_lease_acquire_res acquire(const char *candidate, int64_t term, int64_t ttl_ms) {
    sv_tc_lease_acquire_req req;
    sv_tc_lease_acquire_req_init(&req);
    req.candidate_id = candidate;
    req.candidate_endpoint = "https://tc-a:9341";
    req.term = term;
    req.ttl_ms = ttl_ms;
    sv_tc_lease_acquire_res res{};
    Error error;
    EXPECT_EQ(sv_tc_lease_acquire(client_.get(), &req, &res, error.get()), SV_OK)
        << error.message();
    return res;
  }
  DevServer server_;
  ClientPtr client_;
};

TEST_F(AdminCoordinator, TheLeaderLeaseIsGrantedRenewedAndReleased) {
  const int64_t start_ms = server_.now_ms();
  sv_tc_lease_acquire_res first = acquire("node-a", 1, 10000);
  EXPECT_EQ(first.granted, 1);
  EXPECT_EQ(text_or_empty(first.leader_id), "node-a");
  EXPECT_EQ(text_or_empty(first.leader_endpoint), "https://tc-a:9341");
  EXPECT_EQ(first.term, 1);
  EXPECT_EQ(first.expires_at, start_ms + 10000);
  EXPECT_FALSE(text_or_empty(first.correlation_id).empty());

  // A rival is told who leads.
  sv_tc_lease_acquire_res rival = acquire("node-b", 1, 10000);
  EXPECT_EQ(rival.granted, 0);
  EXPECT_EQ(text_or_empty(rival.leader_id), "node-a");

  Error error;
  server_.advance_clock(std::chrono::seconds(5));
  sv_tc_lease_renew_req renew;
  sv_tc_lease_renew_req_init(&renew);
  renew.leader_id = "node-a";
  renew.term = 1;
  renew.ttl_ms = 10000;
  sv_tc_lease_renew_res renewed{};
  ASSERT_EQ(sv_tc_lease_renew(client_.get(), &renew, &renewed, error.get()), SV_OK);
  EXPECT_EQ(renewed.granted, 1);
  EXPECT_EQ(renewed.expires_at, start_ms + 15000);
  renew.leader_id = "node-b";
  sv_tc_lease_renew_res not_renewed{};
  ASSERT_EQ(sv_tc_lease_renew(client_.get(), &renew, &not_renewed, error.get()), SV_OK);
  EXPECT_EQ(not_renewed.granted, 0);

  sv_tc_leader_res leader{};
  ASSERT_EQ(sv_tc_leader(client_.get(), &leader, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(leader.leader_id), "node-a");
  EXPECT_EQ(leader.term, 1);
  EXPECT_EQ(leader.expires_at, start_ms + 15000);

  sv_tc_lease_release_req release;
  sv_tc_lease_release_req_init(&release);
  release.leader_id = "node-a";
  release.term = 1;
  sv_tc_lease_release_res released{};
  ASSERT_EQ(sv_tc_lease_release(client_.get(), &release, &released, error.get()), SV_OK);
  EXPECT_EQ(released.released, 1);
  EXPECT_EQ(released.term, 1);  // a release keeps the term
  sv_tc_lease_release_res again{};
  ASSERT_EQ(sv_tc_lease_release(client_.get(), &release, &again, error.get()), SV_OK);
  EXPECT_EQ(again.released, 0);
  EXPECT_EQ(again.term, 1);

  sv_tc_leader_res nobody{};
  ASSERT_EQ(sv_tc_leader(client_.get(), &nobody, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(nobody.leader_id), "");

  sv_tc_lease_acquire_res_cleanup(&first);
  sv_tc_lease_acquire_res_cleanup(&rival);
  sv_tc_lease_renew_res_cleanup(&renewed);
  sv_tc_lease_renew_res_cleanup(&not_renewed);
  sv_tc_leader_res_cleanup(&leader);
  sv_tc_leader_res_cleanup(&nobody);
  sv_tc_lease_release_res_cleanup(&released);
  sv_tc_lease_release_res_cleanup(&again);
  EXPECT_EQ(first.leader_id, nullptr);
  EXPECT_EQ(again.correlation_id, nullptr);
}

TEST_F(AdminCoordinator, MembersAnnounceListAndLeave) {
  Error error;
  const std::string self = server_.http_url();
  sv_tc_cluster_announce_req req;
  sv_tc_cluster_announce_req_init(&req);
  req.self_endpoint = "https://tc-b:9341";
  sv_tc_cluster_res other{};
  ASSERT_EQ(sv_tc_cluster_announce(client_.get(), &req, &other, error.get()), SV_OK)
      << error.message();
  server_.advance_clock(std::chrono::seconds(2));
  req.self_endpoint = self.c_str();
  sv_tc_cluster_res announced{};
  ASSERT_EQ(sv_tc_cluster_announce(client_.get(), &req, &announced, error.get()), SV_OK);
  EXPECT_EQ(strings_of(announced.endpoints), (std::vector<std::string>{self, "https://tc-b:9341"}));
  EXPECT_EQ(announced.updated_at_unix, server_.now_unix());
  EXPECT_EQ(announced.expires_at_unix, server_.now_unix() + 30);

  sv_tc_cluster_res listed{};
  ASSERT_EQ(sv_tc_cluster_list(client_.get(), &listed, error.get()), SV_OK);
  EXPECT_EQ(strings_of(listed.endpoints), strings_of(announced.endpoints));
  EXPECT_EQ(listed.expires_at_unix, other.expires_at_unix);  // the first member to drop out

  // An empty leave removes the node the request went to: this server's own endpoint.
  sv_tc_cluster_res left{};
  ASSERT_EQ(sv_tc_cluster_leave(client_.get(), &left, error.get()), SV_OK) << error.message();
  EXPECT_EQ(strings_of(left.endpoints), (std::vector<std::string>{"https://tc-b:9341"}));
  EXPECT_EQ(left.left, 1);
  EXPECT_EQ(server_.requests_to("POST", "/v1/tc/cluster/leave").back().body_size, 0u);
  sv_tc_cluster_res_cleanup(&left);
  ASSERT_EQ(sv_tc_cluster_leave(client_.get(), &left, error.get()), SV_OK);
  EXPECT_EQ(left.left, 0);  // no longer a member

  // A leave that names the member removes that one, wherever the request went.
  sv_tc_cluster_leave_req named;
  sv_tc_cluster_leave_req_init(&named);
  named.self_endpoint = "https://tc-b:9341";
  sv_tc_cluster_res named_left{};
  ASSERT_EQ(sv_tc_cluster_leave_member(client_.get(), &named, &named_left, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(named_left.left, 1);
  EXPECT_EQ(named_left.endpoints.count, 0u);
  EXPECT_EQ(nlohmann::json::parse(server_.requests_to("POST", "/v1/tc/cluster/leave").back().body),
            nlohmann::json::parse(R"({"self_endpoint":"https://tc-b:9341"})"));
  sv_tc_cluster_res_cleanup(&named_left);
  ASSERT_EQ(sv_tc_cluster_leave_member(client_.get(), &named, &named_left, error.get()), SV_OK);
  EXPECT_EQ(named_left.left, 0);
  sv_tc_cluster_res_cleanup(&named_left);

  // Members drop out after their announce runs out.
  server_.advance_clock(std::chrono::seconds(31));
  sv_tc_cluster_res empty{};
  ASSERT_EQ(sv_tc_cluster_list(client_.get(), &empty, error.get()), SV_OK);
  EXPECT_EQ(empty.endpoints.count, 0u);
  EXPECT_EQ(empty.endpoints.items, nullptr);

  for (auto *res : {&other, &announced, &listed, &left, &empty}) {
    sv_tc_cluster_res_cleanup(res);
    EXPECT_EQ(res->endpoints.items, nullptr);
    EXPECT_EQ(res->correlation_id, nullptr);
  }
}

TEST_F(AdminCoordinator, ResourceManagersRegisterListAndUnregister) {
  Error error;
  const struct {
    const char *backend;
    const char *endpoint;
  } registrations[] = {{"b1", "https://rm-1"}, {"b2", "https://rm-3"}, {"b1", "https://rm-2"}};
  for (const auto &r : registrations) {
    sv_tc_rm_register_req req;
    sv_tc_rm_register_req_init(&req);
    req.backend_hash = r.backend;
    req.endpoint = r.endpoint;
    sv_tc_rm_res res{};
    ASSERT_EQ(sv_tc_rm_register(client_.get(), &req, &res, error.get()), SV_OK) << error.message();
    EXPECT_EQ(text_or_empty(res.backend_hash), r.backend);
    EXPECT_EQ(strings_of(res.endpoints).back(), r.endpoint);
    sv_tc_rm_res_cleanup(&res);
  }
  sv_tc_rm_list_res list{};
  ASSERT_EQ(sv_tc_rm_list(client_.get(), &list, error.get()), SV_OK);
  ASSERT_EQ(list.backend_count, 2u);
  EXPECT_EQ(text_or_empty(list.backends[0].backend_hash), "b1");
  EXPECT_EQ(strings_of(list.backends[0].endpoints),
            (std::vector<std::string>{"https://rm-1", "https://rm-2"}));
  EXPECT_EQ(strings_of(list.backends[1].endpoints), (std::vector<std::string>{"https://rm-3"}));
  EXPECT_EQ(list.updated_at_unix, server_.now_unix());
  sv_tc_rm_list_res_cleanup(&list);
  EXPECT_EQ(list.backends, nullptr);

  sv_tc_rm_unregister_req gone;
  sv_tc_rm_unregister_req_init(&gone);
  gone.backend_hash = "b1";
  gone.endpoint = "https://rm-1";
  sv_tc_rm_res res{};
  ASSERT_EQ(sv_tc_rm_unregister(client_.get(), &gone, &res, error.get()), SV_OK);
  EXPECT_EQ(strings_of(res.endpoints), (std::vector<std::string>{"https://rm-2"}));
  sv_tc_rm_res_cleanup(&res);

  // An endpoint is required: refused before anything is sent.
  const size_t sent = server_.requests().size();
  gone.endpoint = nullptr;
  EXPECT_EQ(sv_tc_rm_unregister(client_.get(), &gone, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(res.backend_hash, nullptr);
  EXPECT_EQ(server_.requests().size(), sent);
}

TEST_F(AdminCoordinator, ArgumentChecksComeFirst) {
  Error error;
  sv_client *c = client_.get();
  sv_error *e = error.get();
  sv_tc_cluster_res cluster{};
  sv_tc_rm_res rm{};
  const std::vector<std::pair<std::string, std::function<int()>>> calls = {
      {"tc_lease_acquire requires self, req, and out",
       [&] { return sv_tc_lease_acquire(c, nullptr, nullptr, e); }},
      {"tc_lease_renew requires self, req, and out",
       [&] { return sv_tc_lease_renew(c, nullptr, nullptr, e); }},
      {"tc_lease_release requires self, req, and out",
       [&] { return sv_tc_lease_release(c, nullptr, nullptr, e); }},
      {"tc_leader requires self and out", [&] { return sv_tc_leader(c, nullptr, e); }},
      {"tc_cluster_announce requires self, req, and out",
       [&] { return sv_tc_cluster_announce(c, nullptr, &cluster, e); }},
      {"tc_cluster_leave requires self and out",
       [&] { return sv_tc_cluster_leave(c, nullptr, e); }},
      {"tc_cluster_list requires self and out", [&] { return sv_tc_cluster_list(c, nullptr, e); }},
      {"tc_rm_register requires self, req, and out",
       [&] { return sv_tc_rm_register(c, nullptr, &rm, e); }},
      {"tc_rm_unregister requires self, req, and out",
       [&] { return sv_tc_rm_unregister(c, nullptr, &rm, e); }},
      {"tc_rm_list requires self and out", [&] { return sv_tc_rm_list(c, nullptr, e); }},
      {"tc_cluster_leave_member requires self, req, and out",
       [&] { return sv_tc_cluster_leave_member(c, nullptr, &cluster, e); }},
  };
  for (const auto &[message, call] : calls) {
    error.clear();
    EXPECT_EQ(call(), SV_ERR_INVALID) << message;
    EXPECT_EQ(error.message(), message);
  }
  sv_tc_cluster_announce_req req;
  sv_tc_cluster_announce_req_init(&req);
  EXPECT_EQ(sv_tc_cluster_announce(c, &req, &cluster, e), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "tc_cluster_announce requires self_endpoint");
  req.self_endpoint = "";
  EXPECT_EQ(sv_tc_cluster_announce(c, &req, &cluster, e), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "tc_cluster_announce requires self_endpoint");
  sv_tc_cluster_leave_req leave;
  sv_tc_cluster_leave_req_init(&leave);
  EXPECT_EQ(sv_tc_cluster_leave_member(c, &leave, &cluster, e), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "tc_cluster_leave_member requires self_endpoint");
  // Both members of a resource manager change are required.
  sv_tc_rm_register_req reg;
  sv_tc_rm_register_req_init(&reg);
  reg.backend_hash = "b1";
  EXPECT_EQ(sv_tc_rm_register(c, &reg, &rm, e), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "tc_rm_register requires backend_hash and endpoint");
  sv_tc_rm_unregister_req unreg;
  sv_tc_rm_unregister_req_init(&unreg);
  unreg.endpoint = "https://rm-1";
  EXPECT_EQ(sv_tc_rm_unregister(c, &unreg, &rm, e), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "tc_rm_unregister requires backend_hash and endpoint");
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(AdminCoordinator, AMalformedAnswerIsAProtocolErrorAndAPassiveNodeIsSkipped) {
  server_.add_fault(Fault::respond("GET", "/v1/tc/cluster/list", 200, R"({"endpoints":[1,2]})",
                                   {{"Content-Type", "application/json"}}));
  Error error;
  sv_tc_cluster_res res{};
  EXPECT_EQ(sv_tc_cluster_list(client_.get(), &res, error.get()), SV_ERR_PROTOCOL);
  EXPECT_EQ(res.endpoints.items, nullptr);

  // Two endpoints: the first answers "node_passive", the second (the same server) answers.
  DevServer passive({.passive = true});
  ClientConfig config(passive, false, {server_.http_url()});
  sv_client *raw = nullptr;
  ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
  ClientPtr failover(raw);
  sv_tc_leader_res leader{};
  ASSERT_EQ(sv_tc_leader(failover.get(), &leader, error.get()), SV_OK) << error.message();
  EXPECT_EQ(passive.requests_to("GET", "/v1/tc/leader").size(), 1u);
  EXPECT_EQ(server_.requests_to("GET", "/v1/tc/leader").size(), 1u);
  sv_tc_leader_res_cleanup(&leader);
}

}  // namespace
