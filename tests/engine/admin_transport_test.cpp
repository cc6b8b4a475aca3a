// Management operations over HTTP/2 with mutual TLS through nghttpx and over a Unix domain
// socket, including the hand-over to the next endpoint after a 503 "node_passive".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query_fixture.h"

namespace {

using engine_test::Client;
using engine_test::text;
using stavo::test::DevServer;
using stavo::test::Fault;

enum class Transport { kHttp2Tls, kUnixSocket };

class AdminTransport : public ::testing::TestWithParam<Transport> {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true, .unix_socket = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    bundle_path_ = server_->client_bundle_path();
    socket_path_ = server_->unix_socket_path();
    sv_engine_error_init(&error_);
  }
  void TearDown() override { sv_engine_error_reset(&error_); }
  void open(size_t endpoints) {
    std::string url;
    if (GetParam() == Transport::kHttp2Tls) {
      client_.config.client_bundle_path = bundle_path_.c_str();
      url = server_->https_url();
    } else {
      client_.config.disable_mtls = 1;
      client_.config.unix_socket_path = socket_path_.c_str();
      url = server_->unix_url();
    }
    ASSERT_EQ(client_.open(std::vector<std::string>(endpoints, url)), SV_OK)
        << client_.open_message;
  }

  static DevServer *server_;
  std::string bundle_path_;
  std::string socket_path_;
  Client client_;
  sv_engine_error error_{};
};

DevServer *AdminTransport::server_ = nullptr;

TEST_P(AdminTransport, TcLeaderFailsOverFromAPassiveNode) {
  open(2);
  const size_t before = server_->access_log().size();
  server_->add_fault(Fault::error("GET", "/v1/tc/leader", 503, "node_passive"));
  server_->add_fault(Fault::respond("GET", "/v1/tc/leader", 200,
                                    "{\"leader_id\":\"n7\",\"term\":2}",
                                    {{"Content-Type", "application/json"}}));
  sv_engine_tc_leader_response leader{};
  ASSERT_EQ(sv_engine_client_tc_leader(client_.client, &leader, &error_), SV_OK)
      << text(error_.message);
  EXPECT_EQ(text(leader.leader_id), "n7");
  EXPECT_EQ(leader.term, 2);
  EXPECT_EQ(server_->requests().size(), 2u);
  ASSERT_TRUE(server_->wait_for_access_log(before + 2));
  if (GetParam() == Transport::kHttp2Tls) {
    EXPECT_EQ(server_->access_log().back().alpn, "h2");
  }
  sv_engine_tc_leader_response_cleanup(&leader);
}

TEST_P(AdminTransport, BodiesAndAnswersCrossTheTransport) {
  open(1);
  server_->add_fault(Fault::respond("PUT", "/v1/namespace", 200,
                                    "{\"namespace\":\"default\",\"query\":{\"preferred_engine\":"
                                    "\"index\",\"fallback_engine\":\"scan\"}}"));
  sv_engine_namespace_config_request request{nullptr, "index", "scan"};
  sv_engine_namespace_config_response config{};
  ASSERT_EQ(sv_engine_client_update_namespace_config(client_.client, &request, &config, &error_),
            SV_OK)
      << text(error_.message);
  EXPECT_EQ(text(config.fallback_engine), "scan");
  auto sent = server_->last_request().value_or(stavo::test::LoggedRequest{});
  EXPECT_EQ(sent.method, "PUT");
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"query\":{\"preferred_engine\":\"index\","
            "\"fallback_engine\":\"scan\"}}");

  server_->add_fault(
      Fault::respond("POST", "/v1/tc/cluster/leave", 200, "{\"endpoints\":[\"a\"]}"));
  sv_engine_tc_cluster_response cluster{};
  ASSERT_EQ(sv_engine_client_tc_cluster_leave(client_.client, &cluster, &error_), SV_OK)
      << text(error_.message);
  EXPECT_EQ(cluster.endpoint_count, 1u);
  sent = server_->last_request().value_or(stavo::test::LoggedRequest{});
  EXPECT_EQ(sent.path, "/v1/tc/cluster/leave");
  EXPECT_TRUE(sent.body.empty());

  server_->add_fault(Fault::error("POST", "/v1/txn/replay", 409, "txn_unknown", "no such txn"));
  const sv_engine_txn_replay_request replay{"t-x"};
  sv_engine_txn_response txn{};
  EXPECT_EQ(sv_engine_client_txn_replay(client_.client, &replay, &txn, &error_), SV_ERR_SERVER);
  EXPECT_EQ(text(error_.server_error_code), "txn_unknown");
  EXPECT_EQ(text(error_.detail), "no such txn");
  sv_engine_namespace_config_response_cleanup(&config);
  sv_engine_tc_cluster_response_cleanup(&cluster);
  sv_engine_txn_response_cleanup(&txn);
}

INSTANTIATE_TEST_SUITE_P(AdminOver, AdminTransport,
                         ::testing::Values(Transport::kHttp2Tls, Transport::kUnixSocket),
                         [](const ::testing::TestParamInfo<Transport> &param_info) {
                           return param_info.param == Transport::kHttp2Tls ? "Http2Tls"
                                                                           : "UnixSocket";
                         });

}  // namespace
