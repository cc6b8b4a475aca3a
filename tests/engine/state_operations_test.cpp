// update, update_stream, mutate, update_metadata and remove against the dev server over
// HTTP/1.1: paths with percent-encoded keys, the write headers in their order, the bodies, the
// answers, and the preconditions the server checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state_test_support.h"

namespace {

using engine_test::Client;
using engine_test::GrantedLease;
using engine_test::MetadataResult;
using engine_test::RemoveResult;
using engine_test::text;
using engine_test::UpdateResult;
using stavo::test::DevServer;
using Names = std::vector<std::string>;

class StateOperations : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    client_.config.disable_mtls = 1;
    ASSERT_EQ(client_.open({server_->http_url()}), SV_OK) << client_.open_message;
    server_->clear_requests();
  }
  stavo::test::LoggedRequest last(const std::string &path) {
    const auto requests = server_->requests_to("POST", path);
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? stavo::test::LoggedRequest{} : requests.back();
  }
  // Writes body as the lease's staged state.
  void update(const GrantedLease &lease, const std::string &body) {
    sv_engine_update_request request{};
    engine_test::fill_credentials(request, lease);
    request.body = body.data();
    request.body_length = body.size();
    request.content_type = "application/json";
    UpdateResult updated;
    ASSERT_EQ(sv_engine_client_update(client_.client, &request, &updated.response, &updated.error),
              SV_OK)
        << updated.message();
  }

  static DevServer *server_;
  Client client_;
};

DevServer *StateOperations::server_ = nullptr;

TEST_F(StateOperations, UpdateWireFormAndAnswer) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "up-1");
  server_->clear_requests();
  const std::string body = "{\"count\":3}";
  sv_engine_update_request request{};
  engine_test::fill_credentials(request, lease);
  request.body = body.data();
  request.body_length = body.size();
  request.content_type = "application/json";
  UpdateResult updated;
  ASSERT_EQ(sv_engine_client_update(client_.client, &request, &updated.response, &updated.error),
            SV_OK)
      << updated.message();
  const auto sent = last("/v1/update");
  EXPECT_EQ(sent.target, "/v1/update?key=up-1&namespace=default");
  EXPECT_EQ(sent.body, body);
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID"}));
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/json");
  EXPECT_EQ(sent.header("X-Fencing-Token").value_or(""), "1");
  EXPECT_EQ(sent.header("X-Lease-ID").value_or(""), lease.lease_id);
  EXPECT_EQ(sent.header("X-Txn-ID").value_or(""), lease.txn_id);

  EXPECT_EQ(updated.response.new_version, 1);
  EXPECT_EQ(updated.response.bytes, static_cast<int64_t>(body.size()));
  EXPECT_EQ(text(updated.response.new_state_etag).size(), 64u);  // the server's SHA-256 in hex
  EXPECT_EQ(text(updated.response.correlation_id), sent.correlation_id);
  EXPECT_EQ(server_->state("up-1").lease->staged_state, body);
}

TEST_F(StateOperations, UpdatePreconditionsAndDefaultContentType) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "up-2");
  update(lease, "{\"v\":1}");
  server_->clear_requests();

  // Version 0 is still sent; the ETag precondition goes before it. Both are wrong here.
  sv_engine_update_request request{};
  engine_test::fill_credentials(request, lease);
  request.body = "raw bytes";
  request.body_length = 9;
  request.if_state_etag = "not-the-etag";
  request.has_if_version = 1;
  request.if_version = 0;
  UpdateResult refused;
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &refused.response, &refused.error),
            SV_ERR_SERVER);
  auto sent = last("/v1/update");
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID", "X-If-State-ETag",
                   "X-If-Version"}));
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/octet-stream");
  EXPECT_EQ(sent.header("X-If-Version").value_or(""), "0");
  EXPECT_EQ(sent.header("X-If-State-ETag").value_or(""), "not-the-etag");
  // The version is checked first; the error carries where the key is.
  EXPECT_EQ(refused.error.http_status, 409);
  EXPECT_EQ(text(refused.error.server_error_code), "version_conflict");
  EXPECT_EQ(refused.error.current_version, 1);
  const std::string current_etag = text(refused.error.current_etag);
  EXPECT_EQ(current_etag.size(), 64u);
  EXPECT_EQ(refused.response.new_version, 0);
  EXPECT_EQ(refused.response.new_state_etag, nullptr);

  // The right version and a wrong ETag: the ETag conflict reports the current ETag.
  request.if_version = 1;
  UpdateResult etag;
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &etag.response, &etag.error),
            SV_ERR_SERVER);
  EXPECT_EQ(text(etag.error.server_error_code), "etag_mismatch");
  EXPECT_EQ(text(etag.error.current_etag), current_etag);
  EXPECT_EQ(etag.error.current_version, 1);

  // Both right: accepted.
  request.if_state_etag = current_etag.c_str();
  UpdateResult accepted;
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &accepted.response, &accepted.error),
            SV_OK)
      << accepted.message();
  EXPECT_EQ(server_->state("up-2").lease->staged_state, "raw bytes");
}

TEST_F(StateOperations, UpdateRefusesMissingCredentialsBeforeAnyRequest) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "up-3");
  server_->clear_requests();
  sv_engine_update_request request{};
  engine_test::fill_credentials(request, lease);
  request.fencing_token = 0;
  UpdateResult refused;
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &refused.response, &refused.error),
            SV_ERR_INVALID);
  EXPECT_EQ(refused.message(), "update requires key, txn_id, and fencing_token");
  request.fencing_token = lease.fencing_token;
  request.txn_id = "";
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &refused.response, &refused.error),
            SV_ERR_INVALID);
  request.txn_id = lease.txn_id.c_str();
  request.key = nullptr;
  EXPECT_EQ(sv_engine_client_update(client_.client, &request, &refused.response, nullptr),
            SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_client_update(client_.client, nullptr, &refused.response, &refused.error),
            SV_ERR_INVALID);
  EXPECT_EQ(refused.message(), "client, request, and response are required");

  sv_engine_remove_request remove{};
  engine_test::fill_credentials(remove, lease);
  remove.txn_id = nullptr;
  RemoveResult removed;
  EXPECT_EQ(sv_engine_client_remove(client_.client, &remove, &removed.response, &removed.error),
            SV_ERR_INVALID);
  EXPECT_EQ(removed.message(), "remove requires key, txn_id, and fencing_token");
  EXPECT_TRUE(server_->requests().empty());
}

// A record the stream form serialises: {"name":..., "tags":[...]}.
struct Document {
  char *name;
  brindle_array tags;
};
const brindle_field document_fields[] = {
    BRINDLE_DECL_STRING(Document, name, "name", 0),
    BRINDLE_DECL_ARRAY(Document, tags, "tags", BRINDLE_FIELD_STRING_ARRAY, 0),
};
const brindle_map document_map = BRINDLE_MAP("document_request", Document, document_fields);

TEST_F(StateOperations, UpdateStreamSerialisesTheRecord) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "up-stream");
  server_->clear_requests();
  char name[] = "n1";
  char tag_a[] = "a", tag_b[] = "b\"q";
  char *tags[] = {tag_a, tag_b};
  Document document{};
  document.name = name;
  document.tags.items = tags;
  document.tags.count = 2;
  document.tags.capacity = 2;
  document.tags.flags = BRINDLE_ARRAY_FIXED;
  sv_engine_update_request request{};
  engine_test::fill_credentials(request, lease);
  request.content_type = "application/json";
  request.body = "ignored";
  request.body_length = 7;
  UpdateResult updated;
  ASSERT_EQ(sv_engine_client_update_stream(client_.client, &request, &document_map, &document,
                                           nullptr, &updated.response, &updated.error),
            SV_OK)
      << updated.message();
  const std::string expected = "{\"name\":\"n1\",\"tags\":[\"a\",\"b\\\"q\"]}";
  const auto sent = last("/v1/update");
  EXPECT_EQ(sent.body, expected);
  EXPECT_EQ(sent.header("Content-Length").value_or(""), std::to_string(expected.size()));
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID"}));
  EXPECT_EQ(updated.response.bytes, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(server_->state("up-stream").lease->staged_state, expected);

  UpdateResult refused;
  EXPECT_EQ(sv_engine_client_update_stream(client_.client, &request, nullptr, &document, nullptr,
                                           &refused.response, &refused.error),
            SV_ERR_INVALID);
  EXPECT_EQ(refused.message(), "update_stream requires body map and source");
  request.fencing_token = 0;
  EXPECT_EQ(sv_engine_client_update_stream(client_.client, &request, &document_map, &document,
                                           nullptr, &refused.response, &refused.error),
            SV_ERR_INVALID);
  EXPECT_EQ(refused.message(), "update requires key, txn_id, and fencing_token");
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(StateOperations, MutateSendsNamespaceAndExpressions) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "mut-1");
  update(lease, "{\"count\":1,\"name\":\"x\"}");
  server_->clear_requests();
  const char *const expressions[] = {"/count++", "/name=\"y z\""};
  sv_engine_mutate_request request{};
  engine_test::fill_credentials(request, lease);
  request.mutations = expressions;
  request.mutation_count = 2;
  request.has_if_version = 1;
  request.if_version = 1;
  UpdateResult mutated;
  ASSERT_EQ(sv_engine_client_mutate(client_.client, &request, &mutated.response, &mutated.error),
            SV_OK)
      << mutated.message();
  const auto sent = last("/v1/mutate");
  EXPECT_EQ(sent.target, "/v1/mutate?key=mut-1&namespace=default");
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"mutations\":[\"/count++\",\"/name=\\\"y z\\\"\"]}");
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID", "X-If-Version"}));
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/json");
  EXPECT_EQ(sent.header("X-If-Version").value_or(""), "1");
  EXPECT_EQ(text(mutated.response.correlation_id), sent.correlation_id);
  EXPECT_GT(mutated.response.bytes, 0);
  EXPECT_NE(mutated.response.new_state_etag, nullptr);
  const auto staged = nlohmann::json::parse(server_->state("mut-1").lease->staged_state);
  EXPECT_EQ(staged["count"], 2);
  EXPECT_EQ(staged["name"], "y z");
}

TEST_F(StateOperations, MetadataBodyFollowsTheFlag) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "meta-1");
  server_->clear_requests();
  sv_engine_metadata_request request{};
  request.key = "meta-1";
  request.lease_id = lease.lease_id.c_str();
  request.fencing_token = lease.fencing_token;
  MetadataResult untouched;
  ASSERT_EQ(sv_engine_client_update_metadata(client_.client, &request, &untouched.response,
                                             &untouched.error),
            SV_OK)
      << untouched.message();
  auto sent = last("/v1/metadata");
  EXPECT_EQ(sent.target, "/v1/metadata?key=meta-1&namespace=default");
  EXPECT_EQ(sent.body, "{}");
  // Without a transaction id the X-Txn-ID line has no value and is not sent.
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID"}));
  EXPECT_EQ(text(untouched.response.namespace_name), "default");
  EXPECT_EQ(text(untouched.response.key), "meta-1");
  EXPECT_EQ(untouched.response.has_metadata, 1);
  EXPECT_EQ(untouched.response.query_hidden, 0);
  EXPECT_EQ(text(untouched.response.correlation_id), sent.correlation_id);

  server_->clear_requests();
  request.txn_id = lease.txn_id.c_str();
  request.has_query_hidden = 1;
  request.query_hidden = 1;
  request.has_if_version = 1;
  request.if_version = 0;
  MetadataResult hidden;
  ASSERT_EQ(
      sv_engine_client_update_metadata(client_.client, &request, &hidden.response, &hidden.error),
      SV_OK)
      << hidden.message();
  sent = last("/v1/metadata");
  EXPECT_EQ(sent.body, "{\"query_hidden\":true}");
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID", "X-If-Version"}));
  EXPECT_EQ(hidden.response.query_hidden, 1);
  EXPECT_TRUE(server_->state("meta-1").lease->staged_query_hidden);

  // A version precondition that fails carries the current version.
  request.if_version = 7;
  MetadataResult refused;
  EXPECT_EQ(
      sv_engine_client_update_metadata(client_.client, &request, &refused.response, &refused.error),
      SV_ERR_SERVER);
  EXPECT_EQ(text(refused.error.server_error_code), "version_conflict");
  EXPECT_EQ(refused.error.current_version, 1);  // the staged change counts
  EXPECT_EQ(refused.response.has_metadata, 0);
}

TEST_F(StateOperations, RemoveSendsAnEmptyPost) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "rm-1");
  update(lease, "{}");
  server_->clear_requests();
  sv_engine_remove_request request{};
  engine_test::fill_credentials(request, lease);
  RemoveResult removed;
  ASSERT_EQ(sv_engine_client_remove(client_.client, &request, &removed.response, &removed.error),
            SV_OK)
      << removed.message();
  const auto sent = last("/v1/remove");
  EXPECT_EQ(sent.target, "/v1/remove?key=rm-1&namespace=default");
  EXPECT_EQ(sent.body_size, 0u);
  EXPECT_EQ(sent.header("Content-Length").value_or(""), "0");
  EXPECT_EQ(engine_test::chosen_headers(sent),
            (Names{"Content-Type", "X-Fencing-Token", "X-Lease-ID", "X-Txn-ID"}));
  EXPECT_EQ(removed.response.removed, 1);
  EXPECT_EQ(text(removed.response.correlation_id), sent.correlation_id);
  EXPECT_FALSE(server_->state("rm-1").lease->staged_has_state);

  // Nothing left to remove.
  RemoveResult again;
  ASSERT_EQ(sv_engine_client_remove(client_.client, &request, &again.response, &again.error),
            SV_OK);
  EXPECT_EQ(again.response.removed, 0);
}

TEST_F(StateOperations, KeysWithSpacesAndAmpersandsArePercentEncoded) {
  const std::string key = "a b&c=d";
  const std::string query = "?key=a%20b%26c%3Dd&namespace=x%26y";
  const GrantedLease lease = engine_test::take_lease(client_.client, key, "x&y");
  ASSERT_EQ(lease.namespace_name, "x&y");
  server_->clear_requests();

  sv_engine_update_request update{};
  engine_test::fill_credentials(update, lease);
  update.namespace_name = "x&y";
  update.body = "{\"k\":1}";
  update.body_length = 7;
  update.content_type = "application/json";
  UpdateResult updated;
  ASSERT_EQ(sv_engine_client_update(client_.client, &update, &updated.response, &updated.error),
            SV_OK)
      << updated.message();
  EXPECT_EQ(last("/v1/update").target, "/v1/update" + query);

  const char *const expressions[] = {"/k++"};
  sv_engine_mutate_request mutate{};
  engine_test::fill_credentials(mutate, lease);
  mutate.namespace_name = "x&y";
  mutate.mutations = expressions;
  mutate.mutation_count = 1;
  UpdateResult mutated;
  ASSERT_EQ(sv_engine_client_mutate(client_.client, &mutate, &mutated.response, &mutated.error),
            SV_OK)
      << mutated.message();
  EXPECT_EQ(last("/v1/mutate").target, "/v1/mutate" + query);

  sv_engine_metadata_request metadata{};
  engine_test::fill_credentials(metadata, lease);
  metadata.namespace_name = "x&y";
  MetadataResult changed;
  ASSERT_EQ(sv_engine_client_update_metadata(client_.client, &metadata, &changed.response,
                                             &changed.error),
            SV_OK)
      << changed.message();
  EXPECT_EQ(last("/v1/metadata").target, "/v1/metadata" + query);
  EXPECT_EQ(text(changed.response.key), key);

  sv_engine_remove_request remove{};
  engine_test::fill_credentials(remove, lease);
  remove.namespace_name = "x&y";
  RemoveResult removed;
  ASSERT_EQ(sv_engine_client_remove(client_.client, &remove, &removed.response, &removed.error),
            SV_OK)
      << removed.message();
  EXPECT_EQ(last("/v1/remove").target, "/v1/remove" + query);
  EXPECT_EQ(removed.response.removed, 1);

  sv_engine_describe_request describe{};
  describe.namespace_name = "x&y";
  describe.key = key.c_str();
  engine_test::DescribeResult described;
  ASSERT_EQ(
      sv_engine_client_describe(client_.client, &describe, &described.response, &described.error),
      SV_OK)
      << described.message();
  const auto describes = server_->requests_to("GET", "/v1/describe");
  ASSERT_EQ(describes.size(), 1u);
  EXPECT_EQ(describes[0].target, "/v1/describe" + query);
  EXPECT_EQ(text(described.response.key), key);
}

}  // namespace
