// The lease and state operations over HTTP/2 with mutual TLS through nghttpx and over a Unix
// domain socket: one lease's whole life on each transport.
#include <gtest/gtest.h>

#include <string>

#include "state_test_support.h"

namespace {

using engine_test::Client;
using engine_test::GrantedLease;
using engine_test::text;
using stavo::test::DevServer;

class StateTransports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true, .unix_socket = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // acquire, update, mutate, update_metadata, describe, keepalive, remove, release.
  void lease_life(const sv_engine_client *client, const std::string &key) {
    const GrantedLease lease = engine_test::take_lease(client, key);
    ASSERT_FALSE(lease.lease_id.empty());

    sv_engine_update_request update{};
    engine_test::fill_credentials(update, lease);
    update.body = "{\"n\":1}";
    update.body_length = 7;
    update.content_type = "application/json";
    engine_test::UpdateResult updated;
    ASSERT_EQ(sv_engine_client_update(client, &update, &updated.response, &updated.error), SV_OK)
        << updated.message();
    EXPECT_EQ(updated.response.bytes, 7);

    const char *const expressions[] = {"/n++"};
    sv_engine_mutate_request mutate{};
    engine_test::fill_credentials(mutate, lease);
    mutate.mutations = expressions;
    mutate.mutation_count = 1;
    mutate.if_state_etag = updated.response.new_state_etag;
    engine_test::UpdateResult mutated;
    ASSERT_EQ(sv_engine_client_mutate(client, &mutate, &mutated.response, &mutated.error), SV_OK)
        << mutated.message();

    sv_engine_metadata_request metadata{};
    engine_test::fill_credentials(metadata, lease);
    metadata.has_query_hidden = 1;
    metadata.query_hidden = 1;
    engine_test::MetadataResult changed;
    ASSERT_EQ(
        sv_engine_client_update_metadata(client, &metadata, &changed.response, &changed.error),
        SV_OK)
        << changed.message();
    EXPECT_EQ(changed.response.query_hidden, 1);

    sv_engine_keepalive_request keepalive{};
    engine_test::fill_credentials(keepalive, lease);
    keepalive.ttl_seconds = 45;
    engine_test::KeepaliveResult kept;
    ASSERT_EQ(sv_engine_client_keepalive(client, &keepalive, &kept.response, &kept.error), SV_OK)
        << kept.message();
    EXPECT_EQ(kept.response.expires_at_unix, server_->now_unix() + 45);

    sv_engine_release_request release{};
    engine_test::fill_credentials(release, lease);
    engine_test::ReleaseResult released;
    ASSERT_EQ(sv_engine_client_release(client, &release, &released.response, &released.error),
              SV_OK)
        << released.message();
    EXPECT_EQ(released.response.released, 1);
    EXPECT_EQ(server_->state(key).state, "{\"n\":2}");
    EXPECT_TRUE(server_->state(key).query_hidden);

    sv_engine_describe_request describe{};
    describe.key = key.c_str();
    engine_test::DescribeResult described;
    ASSERT_EQ(sv_engine_client_describe(client, &describe, &described.response, &described.error),
              SV_OK)
        << described.message();
    EXPECT_EQ(described.response.version, 3);  // each of the three staged writes took a version
    EXPECT_EQ(described.response.lease_id, nullptr);
    EXPECT_EQ(described.response.query_hidden, 1);
    EXPECT_EQ(text(described.response.state_etag), server_->state(key).state_etag);

    // A write after the release is the server's refusal.
    sv_engine_remove_request remove{};
    engine_test::fill_credentials(remove, lease);
    engine_test::RemoveResult removed;
    EXPECT_EQ(sv_engine_client_remove(client, &remove, &removed.response, &removed.error),
              SV_ERR_SERVER);
    EXPECT_EQ(text(removed.error.server_error_code), "lease_mismatch");
  }

  static DevServer *server_;
};

DevServer *StateTransports::server_ = nullptr;

TEST_F(StateTransports, Http2OverMutualTls) {
  const std::string bundle = server_->client_bundle_path();
  Client client;
  client.config.client_bundle_path = bundle.c_str();
  ASSERT_EQ(client.open({server_->https_url()}), SV_OK) << client.open_message;
  const size_t before = server_->access_log().size();
  lease_life(client.client, "h2 key&1");
  ASSERT_TRUE(server_->wait_for_access_log(before + 8));
  const auto log = server_->access_log();
  ASSERT_GE(log.size(), before + 8);
  for (size_t i = before; i < log.size(); ++i) {
    EXPECT_EQ(log[i].alpn, "h2") << log[i].path;
    EXPECT_NE(log[i].client_subject, "-");
  }
  EXPECT_EQ(log[before + 1].path, "/v1/update?key=h2%20key%261&namespace=default");
}

TEST_F(StateTransports, UnixDomainSocket) {
  const std::string socket_path = server_->unix_socket_path();
  Client client;
  client.config.disable_mtls = 1;
  client.config.unix_socket_path = socket_path.c_str();
  ASSERT_EQ(client.open({server_->unix_url()}), SV_OK) << client.open_message;
  const size_t before = server_->requests().size();
  lease_life(client.client, "unix-key");
  EXPECT_GE(server_->requests().size(), before + 8);
}

}  // namespace
