// Namespace, index, transaction and coordinator operations over plain HTTP/1.1: the exact
// request each sends (method, target, headers, body members in order and left out) and what it
// makes of scripted answers, success statuses and server errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "query_fixture.h"

namespace {

using engine_test::Client;
using engine_test::text;
using stavo::test::DevServer;
using stavo::test::Fault;

class AdminHttp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    client_.config.disable_mtls = 1;
    client_.config.default_namespace = "tenant";
    sv_engine_error_init(&error_);
    ASSERT_EQ(client_.open({server_->http_url()}), SV_OK) << client_.open_message;
  }
  void TearDown() override { sv_engine_error_reset(&error_); }
  // Scripts the next answer to method and path.
  void answer(const std::string &method, const std::string &path, int status,
              const std::string &body) {
    server_->add_fault(Fault::respond(
        method, path, status, body,
        {{"Content-Type", "application/json"}, {"X-Correlation-Id", "cid-" + path}}));
  }
  stavo::test::LoggedRequest last() {
    EXPECT_TRUE(server_->wait_for_requests(1));
    const auto request = server_->last_request();
    return request.value_or(stavo::test::LoggedRequest{});
  }
  // Every operation but update_namespace_config sends both headers, in this order.
  static void expect_json_headers(const stavo::test::LoggedRequest &request) {
    EXPECT_EQ(request.header("Content-Type").value_or(""), "application/json");
    EXPECT_EQ(request.header("Accept").value_or(""), "application/json");
    const auto names = request.header_names();
    const auto type = std::find(names.begin(), names.end(), "Content-Type");
    const auto accept = std::find(names.begin(), names.end(), "Accept");
    ASSERT_TRUE(type != names.end() && accept != names.end());
    EXPECT_LT(type - names.begin(), accept - names.begin());
  }
  std::string message() const { return text(error_.message); }

  static DevServer *server_;
  Client client_;
  sv_engine_error error_{};
};

DevServer *AdminHttp::server_ = nullptr;

TEST_F(AdminHttp, GetNamespaceConfigEncodesTheNamespaceAsGiven) {
  answer("GET", "/v1/namespace", 200,
         "{\"namespace\":\"a b/c\",\"query\":{\"preferred_engine\":\"index\","
         "\"fallback_engine\":\"scan\"},\"extra\":1}");
  sv_engine_namespace_config_response response{};
  ASSERT_EQ(sv_engine_client_get_namespace_config(client_.client, "a b/c", &response, &error_),
            SV_OK)
      << message();
  EXPECT_EQ(text(response.namespace_name), "a b/c");
  EXPECT_EQ(text(response.preferred_engine), "index");
  EXPECT_EQ(text(response.fallback_engine), "scan");
  EXPECT_EQ(text(response.correlation_id), "cid-/v1/namespace");
  const auto sent = last();
  EXPECT_EQ(sent.method, "GET");
  EXPECT_EQ(sent.target, "/v1/namespace?namespace=a%20b%2Fc");
  EXPECT_TRUE(sent.body.empty());
  expect_json_headers(sent);

  // An empty namespace sends no query string (not the client's default).
  answer("GET", "/v1/namespace", 200, "{}");
  ASSERT_EQ(sv_engine_client_get_namespace_config(client_.client, "", &response, &error_), SV_OK);
  EXPECT_EQ(response.namespace_name, nullptr);
  EXPECT_EQ(last().target, "/v1/namespace");
  sv_engine_namespace_config_response_cleanup(&response);
}

TEST_F(AdminHttp, UpdateNamespaceConfigPutsTheEffectiveNamespace) {
  answer("PUT", "/v1/namespace", 200,
         "{\"namespace\":\"tenant\",\"query\":{\"preferred_engine\":\"scan\"}}");
  sv_engine_namespace_config_request request{};
  request.preferred_engine = "scan";
  sv_engine_namespace_config_response response{};
  ASSERT_EQ(sv_engine_client_update_namespace_config(client_.client, &request, &response, &error_),
            SV_OK)
      << message();
  EXPECT_EQ(text(response.preferred_engine), "scan");
  EXPECT_EQ(response.fallback_engine, nullptr);
  const auto sent = last();
  EXPECT_EQ(sent.method, "PUT");
  EXPECT_EQ(sent.target, "/v1/namespace");
  EXPECT_EQ(sent.body, "{\"namespace\":\"tenant\",\"query\":{\"preferred_engine\":\"scan\"}}");
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/json");
  EXPECT_FALSE(sent.header("Accept").has_value() && *sent.header("Accept") == "application/json");

  // Only 200 counts as success here.
  answer("PUT", "/v1/namespace", 202, "{}");
  request.fallback_engine = "index";
  request.namespace_name = "other";
  EXPECT_EQ(sv_engine_client_update_namespace_config(client_.client, &request, &response, &error_),
            SV_ERR_SERVER);
  EXPECT_EQ(error_.http_status, 202);
  EXPECT_EQ(last().body,
            "{\"namespace\":\"other\",\"query\":{\"preferred_engine\":\"scan\","
            "\"fallback_engine\":\"index\"}}");
  sv_engine_namespace_config_response_cleanup(&response);
}

TEST_F(AdminHttp, UpdateWithoutEnginesOnlyReads) {
  answer("GET", "/v1/namespace", 200, "{\"namespace\":\"n1\",\"query\":{}}");
  sv_engine_namespace_config_request request{};
  request.namespace_name = "n1";
  sv_engine_namespace_config_response response{};
  ASSERT_EQ(sv_engine_client_update_namespace_config(client_.client, &request, &response, &error_),
            SV_OK)
      << message();
  const auto sent = server_->requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "GET");
  EXPECT_EQ(sent[0].target, "/v1/namespace?namespace=n1");
  EXPECT_EQ(text(response.namespace_name), "n1");
  sv_engine_namespace_config_response_cleanup(&response);
}

TEST_F(AdminHttp, IndexFlushSendsModeOnlyWhenSet) {
  answer("POST", "/v1/index/flush", 202,
         "{\"namespace\":\"tenant\",\"mode\":\"async\",\"flush_id\":\"f-1\",\"accepted\":true,"
         "\"flushed\":false,\"pending\":true,\"index_seq\":41}");
  sv_engine_index_flush_request request{nullptr, "async"};
  sv_engine_index_flush_response response{};
  ASSERT_EQ(sv_engine_client_index_flush(client_.client, &request, &response, &error_), SV_OK)
      << message();
  EXPECT_EQ(text(response.flush_id), "f-1");
  EXPECT_EQ(text(response.mode), "async");
  EXPECT_EQ(response.accepted, 1);
  EXPECT_EQ(response.flushed, 0);
  EXPECT_EQ(response.pending, 1);
  EXPECT_EQ(response.index_seq, 41);
  auto sent = last();
  EXPECT_EQ(sent.target, "/v1/index/flush");
  EXPECT_EQ(sent.body, "{\"namespace\":\"tenant\",\"mode\":\"async\"}");
  expect_json_headers(sent);

  answer("POST", "/v1/index/flush", 200, "{\"flushed\":true}");
  request = {"ns2", ""};
  ASSERT_EQ(sv_engine_client_index_flush(client_.client, &request, &response, &error_), SV_OK);
  EXPECT_EQ(response.flushed, 1);
  EXPECT_EQ(response.flush_id, nullptr);
  EXPECT_EQ(last().body, "{\"namespace\":\"ns2\"}");
  sv_engine_index_flush_response_cleanup(&response);
}

TEST_F(AdminHttp, TxnDecideWritesParticipantsAndOptionalMembers) {
  answer("POST", "/v1/txn/decide", 200, "{\"txn_id\":\"t-1\",\"state\":\"prepare\"}");
  const sv_engine_txn_participant participants[] = {
      {"ns", "k1", "b1"}, {"ns", "k2", nullptr}, {nullptr, "k3", "b3"}};
  sv_engine_txn_decision_request request{};
  request.txn_id = "t-1";
  request.state = "prepare";
  request.participants = participants;
  request.participant_count = 3;
  request.expires_at_unix = 1767225700;
  request.tc_term = 7;
  request.target_backend_hash = "b1";
  sv_engine_txn_response response{};
  ASSERT_EQ(sv_engine_client_txn_decide(client_.client, &request, &response, &error_), SV_OK)
      << message();
  EXPECT_EQ(text(response.txn_id), "t-1");
  EXPECT_EQ(text(response.state), "prepare");
  EXPECT_EQ(text(response.correlation_id), "cid-/v1/txn/decide");
  const auto sent = last();
  EXPECT_EQ(sent.target, "/v1/txn/decide");
  EXPECT_EQ(sent.body,
            "{\"txn_id\":\"t-1\",\"state\":\"prepare\",\"participants\":["
            "{\"namespace\":\"ns\",\"key\":\"k1\",\"backend_hash\":\"b1\"},"
            "{\"namespace\":\"ns\",\"key\":\"k2\",\"backend_hash\":null},"
            "{\"namespace\":null,\"key\":\"k3\",\"backend_hash\":\"b3\"}],"
            "\"expires_at_unix\":1767225700,\"tc_term\":7,\"target_backend_hash\":\"b1\"}");
  expect_json_headers(sent);

  answer("POST", "/v1/txn/decide", 200, "{}");
  request.participant_count = 0;
  request.expires_at_unix = 0;
  request.target_backend_hash = "";
  ASSERT_EQ(sv_engine_client_txn_decide(client_.client, &request, &response, &error_), SV_OK);
  EXPECT_EQ(last().body, "{\"txn_id\":\"t-1\",\"state\":\"prepare\",\"tc_term\":7}");
  sv_engine_txn_response_cleanup(&response);
}

TEST_F(AdminHttp, TxnCommitRollbackAndReplay) {
  sv_engine_txn_decision_request request{};
  request.txn_id = "t-9";
  request.state = "ignored";
  sv_engine_txn_response response{};
  answer("POST", "/v1/txn/commit", 200, "{\"txn_id\":\"t-9\",\"state\":\"commit\"}");
  ASSERT_EQ(sv_engine_client_txn_commit(client_.client, &request, &response, &error_), SV_OK)
      << message();
  EXPECT_EQ(text(response.state), "commit");
  EXPECT_EQ(last().body, "{\"txn_id\":\"t-9\",\"state\":\"commit\"}");

  answer("POST", "/v1/txn/rollback", 204, "");
  ASSERT_EQ(sv_engine_client_txn_rollback(client_.client, &request, &response, &error_), SV_OK)
      << message();
  EXPECT_EQ(response.state, nullptr);
  EXPECT_EQ(last().body, "{\"txn_id\":\"t-9\",\"state\":\"rollback\"}");

  answer("POST", "/v1/txn/replay", 200, "{\"txn_id\":\"t-9\",\"state\":\"rollback\"}");
  const sv_engine_txn_replay_request replay{"t-9"};
  ASSERT_EQ(sv_engine_client_txn_replay(client_.client, &replay, &response, &error_), SV_OK);
  EXPECT_EQ(text(response.state), "rollback");
  EXPECT_EQ(last().body, "{\"txn_id\":\"t-9\"}");

  server_->add_fault(Fault::error("POST", "/v1/txn/commit", 409, "txn_rolled_back", "too late"));
  EXPECT_EQ(sv_engine_client_txn_commit(client_.client, &request, &response, &error_),
            SV_ERR_SERVER);
  EXPECT_EQ(error_.http_status, 409);
  EXPECT_EQ(text(error_.server_error_code), "txn_rolled_back");
  EXPECT_EQ(response.txn_id, nullptr);
  sv_engine_txn_response_cleanup(&response);
}

TEST_F(AdminHttp, TxnArgumentsAreCheckedFirst) {
  sv_engine_txn_response response{};
  sv_engine_txn_decision_request request{};
  request.txn_id = "t";
  EXPECT_EQ(sv_engine_client_txn_decide(client_.client, &request, &response, &error_),
            SV_ERR_INVALID);
  EXPECT_EQ(message(), "txn_decide requires client, request, response, error, txn_id, and state");
  request.state = "commit";
  request.participant_count = 2;
  EXPECT_EQ(sv_engine_client_txn_commit(client_.client, &request, &response, &error_),
            SV_ERR_INVALID);
  EXPECT_EQ(message(), "txn decision participants require a non-null array");
  const sv_engine_txn_replay_request replay{""};
  EXPECT_EQ(sv_engine_client_txn_replay(client_.client, &replay, &response, &error_),
            SV_ERR_INVALID);
  EXPECT_EQ(message(), "txn_replay requires client, request, response, error, and txn_id");
  EXPECT_EQ(sv_engine_client_txn_rollback(client_.client, nullptr, &response, &error_),
            SV_ERR_INVALID);
  EXPECT_EQ(message(), "txn_rollback requires client, request, response, and error");
  EXPECT_EQ(sv_engine_client_txn_commit(client_.client, &request, &response, nullptr),
            SV_ERR_INVALID);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(AdminHttp, CoordinatorLeaseSendsEveryMember) {
  answer("POST", "/v1/tc/lease/acquire", 200,
         "{\"granted\":true,\"leader_id\":\"n1\",\"leader_endpoint\":\"https://n1:9\","
         "\"term\":3,\"expires_at\":1767225630000}");
  const sv_engine_tc_lease_acquire_request acquire{"n1", nullptr, 0, 30000};
  sv_engine_tc_lease_response lease{};
  ASSERT_EQ(sv_engine_client_tc_lease_acquire(client_.client, &acquire, &lease, &error_), SV_OK)
      << message();
  EXPECT_EQ(lease.granted, 1);
  EXPECT_EQ(text(lease.leader_id), "n1");
  EXPECT_EQ(text(lease.leader_endpoint), "https://n1:9");
  EXPECT_EQ(lease.term, 3);
  EXPECT_EQ(lease.expires_at, 1767225630000);
  auto sent = last();
  EXPECT_EQ(sent.target, "/v1/tc/lease/acquire");
  EXPECT_EQ(sent.body,
            "{\"candidate_id\":\"n1\",\"candidate_endpoint\":null,\"term\":0,\"ttl_ms\":30000}");
  expect_json_headers(sent);

  answer("POST", "/v1/tc/lease/renew", 200, "{\"granted\":false,\"term\":4}");
  const sv_engine_tc_lease_renew_request renew{"n1", 3, 15000};
  ASSERT_EQ(sv_engine_client_tc_lease_renew(client_.client, &renew, &lease, &error_), SV_OK);
  EXPECT_EQ(lease.granted, 0);
  EXPECT_EQ(lease.leader_id, nullptr);
  EXPECT_EQ(lease.term, 4);
  EXPECT_EQ(last().body, "{\"leader_id\":\"n1\",\"term\":3,\"ttl_ms\":15000}");

  answer("POST", "/v1/tc/lease/release", 200, "{\"released\":true}");
  const sv_engine_tc_lease_release_request release{"n1", 3};
  sv_engine_tc_release_response released{};
  ASSERT_EQ(sv_engine_client_tc_lease_release(client_.client, &release, &released, &error_), SV_OK);
  EXPECT_EQ(released.released, 1);
  EXPECT_EQ(text(released.correlation_id), "cid-/v1/tc/lease/release");
  EXPECT_EQ(last().body, "{\"leader_id\":\"n1\",\"term\":3}");

  answer("GET", "/v1/tc/leader", 200,
         "{\"granted\":true,\"leader_id\":\"n2\",\"leader_endpoint\":\"n2:1\",\"term\":5,"
         "\"expires_at\":99}");
  sv_engine_tc_leader_response leader{};
  ASSERT_EQ(sv_engine_client_tc_leader(client_.client, &leader, &error_), SV_OK);
  EXPECT_EQ(text(leader.leader_id), "n2");
  EXPECT_EQ(text(leader.leader_endpoint), "n2:1");
  EXPECT_EQ(leader.term, 5);
  EXPECT_EQ(leader.expires_at, 99);
  sent = last();
  EXPECT_EQ(sent.method, "GET");
  EXPECT_TRUE(sent.body.empty());
  sv_engine_tc_lease_response_cleanup(&lease);
  sv_engine_tc_release_response_cleanup(&released);
  sv_engine_tc_leader_response_cleanup(&leader);
}

TEST_F(AdminHttp, ClusterMembership) {
  answer("POST", "/v1/tc/cluster/announce", 200,
         "{\"endpoints\":[\"https://a:1\",\"https://b:2\"],\"updated_at_unix\":10,"
         "\"expires_at_unix\":40}");
  const sv_engine_tc_cluster_announce_request announce{"https://b:2"};
  sv_engine_tc_cluster_response cluster{};
  ASSERT_EQ(sv_engine_client_tc_cluster_announce(client_.client, &announce, &cluster, &error_),
            SV_OK)
      << message();
  ASSERT_EQ(cluster.endpoint_count, 2u);
  EXPECT_EQ(text(cluster.endpoints[0]), "https://a:1");
  EXPECT_EQ(text(cluster.endpoints[1]), "https://b:2");
  EXPECT_EQ(cluster.updated_at_unix, 10);
  EXPECT_EQ(cluster.expires_at_unix, 40);
  EXPECT_EQ(last().body, "{\"self_endpoint\":\"https://b:2\"}");

  answer("POST", "/v1/tc/cluster/leave", 200, "{\"endpoints\":[]}");
  ASSERT_EQ(sv_engine_client_tc_cluster_leave(client_.client, &cluster, &error_), SV_OK);
  EXPECT_EQ(cluster.endpoint_count, 0u);
  EXPECT_EQ(cluster.endpoints, nullptr);
  auto sent = last();
  EXPECT_EQ(sent.method, "POST");
  EXPECT_TRUE(sent.body.empty());
  EXPECT_EQ(sent.header("Content-Length").value_or(""), "0");

  answer("GET", "/v1/tc/cluster/list", 200, "{\"endpoints\":[\"x\"]}");
  ASSERT_EQ(sv_engine_client_tc_cluster_list(client_.client, &cluster, &error_), SV_OK);
  ASSERT_EQ(cluster.endpoint_count, 1u);
  EXPECT_EQ(last().target, "/v1/tc/cluster/list");

  const sv_engine_tc_cluster_announce_request nobody{""};
  EXPECT_EQ(sv_engine_client_tc_cluster_announce(client_.client, &nobody, &cluster, &error_),
            SV_ERR_INVALID);
  EXPECT_EQ(message(),
            "tc_cluster_announce requires client, request, response, error, and self_endpoint");
  sv_engine_tc_cluster_response_cleanup(&cluster);
}

TEST_F(AdminHttp, ResourceManagers) {
  answer("POST", "/v1/tc/rm/register", 201,
         "{\"backend_hash\":\"h1\",\"endpoints\":[\"e1\",\"e2\"],\"updated_at_unix\":5}");
  const sv_engine_tcrm_request request{"h1", "e2"};
  sv_engine_tcrm_register_response registered{};
  ASSERT_EQ(sv_engine_client_tcrm_register(client_.client, &request, &registered, &error_), SV_OK)
      << message();
  EXPECT_EQ(text(registered.backend_hash), "h1");
  ASSERT_EQ(registered.endpoint_count, 2u);
  EXPECT_EQ(text(registered.endpoints[1]), "e2");
  EXPECT_EQ(registered.updated_at_unix, 5);
  EXPECT_EQ(last().body, "{\"backend_hash\":\"h1\",\"endpoint\":\"e2\"}");

  answer("POST", "/v1/tc/rm/unregister", 200, "{\"backend_hash\":\"h1\",\"endpoints\":[\"e1\"]}");
  ASSERT_EQ(sv_engine_client_tcrm_unregister(client_.client, &request, &registered, &error_),
            SV_OK);
  EXPECT_EQ(registered.endpoint_count, 1u);
  EXPECT_EQ(last().target, "/v1/tc/rm/unregister");

  answer("GET", "/v1/tc/rm/list", 200,
         "{\"backends\":[{\"backend_hash\":\"h1\",\"endpoints\":[\"a1\",\"a2\",\"a3\"],"
         "\"updated_at_unix\":1},{\"backend_hash\":\"h2\",\"endpoints\":[\"b1\",\"b2\",\"b3\"],"
         "\"updated_at_unix\":2}],\"updated_at_unix\":3}");
  sv_engine_tcrm_list_response list{};
  ASSERT_EQ(sv_engine_client_tcrm_list(client_.client, &list, &error_), SV_OK) << message();
  ASSERT_EQ(list.backend_count, 2u);
  EXPECT_EQ(list.updated_at_unix, 3);
  const char *expected[2][3] = {{"a1", "a2", "a3"}, {"b1", "b2", "b3"}};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(text(list.backends[i].backend_hash), i == 0 ? "h1" : "h2");
    EXPECT_EQ(list.backends[i].updated_at_unix, static_cast<int64_t>(i + 1));
    ASSERT_EQ(list.backends[i].endpoint_count, 3u);
    for (size_t j = 0; j < 3; ++j)
      EXPECT_EQ(text(list.backends[i].endpoints[j]), expected[i][j]);
  }
  sv_engine_tcrm_register_response_cleanup(&registered);
  sv_engine_tcrm_list_response_cleanup(&list);
  sv_engine_tcrm_list_response_cleanup(&list);  // a cleaned record may be cleaned again
}

TEST_F(AdminHttp, HostileAnswersAreRefused) {
  sv_engine_tcrm_list_response list{};
  answer("GET", "/v1/tc/rm/list", 200, "{\"backends\":[{\"endpoints\":[1,2]}]}");
  EXPECT_EQ(sv_engine_client_tcrm_list(client_.client, &list, &error_), SV_ERR_PROTOCOL);
  EXPECT_EQ(list.backends, nullptr);
  answer("GET", "/v1/tc/rm/list", 200, "{\"backends\":[");
  EXPECT_EQ(sv_engine_client_tcrm_list(client_.client, &list, &error_), SV_ERR_PROTOCOL);
  server_->add_fault(
      Fault::error("GET", "/v1/tc/rm/list", 500, "internal", std::string(9000, 'x')));
  // An error answer too long to read whole keeps its status, with its first bytes.
  EXPECT_EQ(sv_engine_client_tcrm_list(client_.client, &list, &error_), SV_ERR_SERVER);
  EXPECT_EQ(error_.http_status, 500);
  EXPECT_NE(std::string(error_.detail != nullptr ? error_.detail : "").find("[truncated]"),
            std::string::npos);
  sv_engine_tcrm_list_response_cleanup(&list);
}

}  // namespace
