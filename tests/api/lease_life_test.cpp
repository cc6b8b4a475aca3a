// A lease's whole life through the public API against the dev server, over plain HTTP and over
// HTTP/2 with mutual TLS: acquire, save a mapped record, load it back, update with implicit and
// explicit preconditions, mutate on the server, metadata, describe, keepalive, attachments and
// release, with the lease's view checked after every step.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::OrderRecord;
using lease_test::text_or_empty;
using stavo::test::DevServer;

// What a caller can see of a lease, copied so that it can be compared after a later call.
struct ViewCopy {
  std::string state_etag;
  int64_t version;
  int64_t fencing_token;
  int64_t expires_at_unix;
  int32_t has_metadata;
  int32_t query_hidden;
  explicit ViewCopy(const sv_lease *lease)
      : state_etag(text_or_empty(lease->state_etag)),
        version(lease->version),
        fencing_token(lease->fencing_token),
        expires_at_unix(lease->expires_at_unix),
        has_metadata(lease->has_metadata),
        query_hidden(lease->query_hidden) {}
  bool operator==(const ViewCopy &) const = default;
};

class LeaseLife : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<DevServer>(stavo::test::DevServerOptions{.tls = GetParam()});
    ClientConfig config(*server_, GetParam());
    sv_client *raw = nullptr;
    Error error;
    ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
    client_.reset(raw);
  }
  void TearDown() override {
    client_.reset();
    server_.reset();
  }
  std::string last_header(const std::string &path, const std::string &name) {
    auto requests = server_->requests_to("POST", path);
    if (requests.empty()) return "<no request>";
    return requests.back().header(name).value_or("<absent>");
  }
  std::unique_ptr<DevServer> server_;
  ClientPtr client_;
};

TEST_P(LeaseLife, EveryStepKeepsTheViewCurrent) {
  Error error;
  sv_acquire_req acquire = lease_test::acquire_request("life/1");
  sv_lease *lease = nullptr;
  ASSERT_EQ(sv_acquire(client_.get(), &acquire, &lease, error.get()), SV_OK) << error.message();
  ASSERT_NE(lease, nullptr);
  EXPECT_STREQ(lease->key, "life/1");
  EXPECT_STREQ(lease->namespace_name, "default");
  EXPECT_STREQ(lease->owner, "lease-test");
  EXPECT_FALSE(text_or_empty(lease->lease_id).empty());
  EXPECT_FALSE(text_or_empty(lease->txn_id).empty());
  EXPECT_GT(lease->fencing_token, 0);
  EXPECT_EQ(lease->version, 0);
  EXPECT_EQ(lease->expires_at_unix, 0);
  EXPECT_EQ(lease->state_etag, nullptr);

  // Save a mapped record: a fresh key has version 0, so no implicit precondition is sent.
  lease_test::Order order{7, const_cast<char *>("widget"), 3};
  ASSERT_EQ(sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(last_header("/v1/update", "X-If-Version"), "<absent>");
  EXPECT_GT(lease->version, 0);
  ASSERT_NE(lease->state_etag, nullptr);
  EXPECT_TRUE(server_->state("life/1").lease->staged_has_state);
  const int64_t saved_version = lease->version;

  // Load it back.
  {
    OrderRecord loaded;
    sv_get_res got{};
    ASSERT_EQ(sv_lease_load(lease, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                            error.get()),
              SV_OK)
        << error.message();
    EXPECT_EQ(loaded.record.id, 7);
    EXPECT_STREQ(loaded.record.item, "widget");
    EXPECT_EQ(loaded.record.quantity, 3);
    EXPECT_EQ(got.no_content, 0);
    EXPECT_EQ(got.version, saved_version);
    EXPECT_EQ(lease->version, saved_version);
    EXPECT_EQ(text_or_empty(got.content_type), "application/json");
    sv_get_res_cleanup(&got);
    EXPECT_EQ(got.etag, nullptr);
  }

  // Update from a source: the view's version goes out as X-If-Version.
  {
    auto source = lease_test::memory_source(R"({"id":8,"item":"gadget","quantity":1})");
    ASSERT_EQ(sv_lease_update(lease, source.get(), nullptr, error.get()), SV_OK) << error.message();
    EXPECT_EQ(last_header("/v1/update", "X-If-Version"), std::to_string(saved_version));
    EXPECT_EQ(last_header("/v1/update", "Content-Type"), "application/json");
    EXPECT_GE(lease->version, saved_version);
  }

  // Explicit preconditions that do not hold fail and leave the view as it was.
  {
    const ViewCopy before(lease);
    auto source = lease_test::memory_source(R"({"id":9})");
    sv_update_opts opts;
    sv_update_opts_init(&opts);
    opts.if_version = lease->version + 100;
    opts.has_if_version = 1;
    EXPECT_EQ(sv_lease_update(lease, source.get(), &opts, error.get()), SV_ERR_SERVER);
    EXPECT_EQ(error.record.http_status, 409);
    EXPECT_EQ(text_or_empty(error.record.server_error_code), "version_conflict");
    EXPECT_EQ(ViewCopy(lease), before);
    EXPECT_EQ(last_header("/v1/update", "X-If-Version"), std::to_string(lease->version + 100));

    sv_update_opts_init(&opts);
    opts.if_state_etag = "not-the-etag";
    error.clear();
    auto again = lease_test::memory_source(R"({"id":9})");
    EXPECT_EQ(sv_lease_update(lease, again.get(), &opts, error.get()), SV_ERR_SERVER);
    EXPECT_EQ(text_or_empty(error.record.server_error_code), "etag_mismatch");
    EXPECT_EQ(ViewCopy(lease), before);

    sv_mutate_req mutate;
    sv_mutate_req_init(&mutate);
    const char *expressions[] = {"/quantity=4"};
    mutate.mutations = expressions;
    mutate.mutation_count = 1;
    mutate.if_version = lease->version + 1;
    mutate.has_if_version = 1;
    EXPECT_EQ(sv_lease_mutate(lease, &mutate, error.get()), SV_ERR_SERVER);
    EXPECT_EQ(ViewCopy(lease), before);
  }

  // A matching explicit precondition passes.
  {
    auto source = lease_test::memory_source(R"({"id":10,"item":"gizmo","quantity":2})");
    sv_update_opts opts;
    sv_update_opts_init(&opts);
    opts.if_state_etag = lease->state_etag;
    ASSERT_EQ(sv_lease_update(lease, source.get(), &opts, error.get()), SV_OK) << error.message();
  }

  // Server-side mutate.
  {
    const int64_t before = lease->version;
    sv_mutate_req mutate;
    sv_mutate_req_init(&mutate);
    const char *expressions[] = {"/quantity++", "/note=rush"};
    mutate.mutations = expressions;
    mutate.mutation_count = 2;
    ASSERT_EQ(sv_lease_mutate(lease, &mutate, error.get()), SV_OK) << error.message();
    EXPECT_EQ(last_header("/v1/mutate", "X-If-Version"), std::to_string(before));
    EXPECT_NE(server_->state("life/1").lease->staged_state.find("\"note\":\"rush\""),
              std::string::npos);
  }

  // Metadata.
  {
    sv_metadata_req metadata;
    sv_metadata_req_init(&metadata);
    metadata.has_query_hidden = 1;
    metadata.query_hidden = 1;
    ASSERT_EQ(sv_lease_metadata(lease, &metadata, error.get()), SV_OK) << error.message();
    EXPECT_EQ(lease->has_metadata, 1);
    EXPECT_EQ(lease->query_hidden, 1);
  }

  // Describe and keepalive report the expiry.
  ASSERT_EQ(sv_lease_describe(lease, error.get()), SV_OK) << error.message();
  EXPECT_EQ(lease->has_metadata, 1);
  EXPECT_STREQ(lease->owner, "lease-test");
  EXPECT_EQ(lease->expires_at_unix, server_->now_unix() + 30);
  sv_keepalive_req keepalive;
  sv_keepalive_req_init(&keepalive);
  keepalive.ttl_seconds = 90;
  ASSERT_EQ(sv_lease_keepalive(lease, &keepalive, error.get()), SV_OK) << error.message();
  EXPECT_EQ(lease->expires_at_unix, server_->now_unix() + 90);

  // Attachments.
  {
    auto bytes = lease_test::memory_source("hello attachment");
    sv_attach_req attach;
    sv_attach_req_init(&attach);
    attach.name = "notes.txt";
    attach.content_type = "text/plain";
    sv_attach_res attached{};
    ASSERT_EQ(sv_lease_attach(lease, &attach, bytes.get(), &attached, error.get()), SV_OK)
        << error.message();
    EXPECT_EQ(text_or_empty(attached.info.name), "notes.txt");
    EXPECT_EQ(attached.info.size, 16);
    EXPECT_FALSE(text_or_empty(attached.info.id).empty());
    const std::string id = text_or_empty(attached.info.id);
    sv_attach_res_cleanup(&attached);

    sv_attachment_list list{};
    ASSERT_EQ(sv_lease_list_attachments(lease, &list, error.get()), SV_OK) << error.message();
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(text_or_empty(list.items[0].name), "notes.txt");
    sv_attachment_list_cleanup(&list);
    EXPECT_EQ(list.items, nullptr);

    auto sink = lease_test::memory_sink();
    sv_attachment_get_req get;
    sv_attachment_get_req_init(&get);
    get.id = id.c_str();
    sv_attachment_get_res got{};
    ASSERT_EQ(sv_lease_get_attachment(lease, &get, sink.get(), &got, error.get()), SV_OK)
        << error.message();
    EXPECT_EQ(lease_test::sink_text(sink.get()), "hello attachment");
    EXPECT_EQ(text_or_empty(got.info.name), "notes.txt");
    sv_attachment_get_res_cleanup(&got);

    sv_attachment_selector selector;
    sv_attachment_selector_init(&selector);
    selector.name = "notes.txt";
    int32_t deleted = -1;
    ASSERT_EQ(sv_lease_delete_attachment(lease, &selector, &deleted, error.get()), SV_OK);
    EXPECT_EQ(deleted, 1);

    for (const char *name : {"a.bin", "b.bin"}) {
      auto more = lease_test::memory_source(name);
      attach.name = name;
      ASSERT_EQ(sv_lease_attach(lease, &attach, more.get(), &attached, error.get()), SV_OK);
      sv_attach_res_cleanup(&attached);
    }
    int32_t count = -1;
    ASSERT_EQ(sv_lease_delete_all_attachments(lease, &count, error.get()), SV_OK);
    EXPECT_EQ(count, 2);
  }

  // Release commits; the handle is gone afterwards.
  ASSERT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK) << error.message();
  const auto committed = server_->state("life/1");
  EXPECT_FALSE(committed.lease.has_value());
  EXPECT_NE(committed.state.find("\"quantity\":3"), std::string::npos) << committed.state;
  EXPECT_NE(committed.state.find("\"note\":\"rush\""), std::string::npos) << committed.state;
  EXPECT_TRUE(committed.query_hidden);

  if (GetParam()) {
    ASSERT_TRUE(server_->wait_for_access_log(1));
    EXPECT_EQ(server_->access_log().back().alpn, "h2");
  }
}

TEST_P(LeaseLife, AKeyWithoutStateReadsAsNoContentAndLeavesTheView) {
  Error error;
  sv_acquire_req acquire = lease_test::acquire_request("life/empty");
  sv_lease *raw = nullptr;
  ASSERT_EQ(sv_acquire(client_.get(), &acquire, &raw, error.get()), SV_OK) << error.message();
  std::unique_ptr<sv_lease, lease_test::LeaseCloser> lease(raw);
  const ViewCopy before(raw);
  auto sink = lease_test::memory_sink();
  sv_get_res got{};
  ASSERT_EQ(sv_lease_get(raw, sink.get(), nullptr, &got, error.get()), SV_OK) << error.message();
  EXPECT_EQ(got.no_content, 1);
  EXPECT_EQ(ViewCopy(raw), before);
  EXPECT_EQ(lease_test::sink_text(sink.get()), "");
  sv_get_res_cleanup(&got);

  OrderRecord loaded;
  ASSERT_EQ(sv_lease_load(raw, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                          error.get()),
            SV_OK);
  EXPECT_EQ(got.no_content, 1);
  sv_get_res_cleanup(&got);

  // A remove that removed nothing changes nothing either.
  sv_remove_req remove;
  sv_remove_req_init(&remove);
  ASSERT_EQ(sv_lease_remove(raw, &remove, error.get()), SV_OK) << error.message();
  EXPECT_EQ(ViewCopy(raw), before);
  // Closing without release leaves the lease held on the server.
  lease.reset();
  EXPECT_TRUE(server_->state("life/empty").lease.has_value());
}

TEST_P(LeaseLife, RemoveClearsTheEtagAndRollbackDiscardsStagedWrites) {
  Error error;
  server_->seed_state("life/rm", R"({"id":1})");
  sv_acquire_req acquire = lease_test::acquire_request("life/rm");
  sv_lease *lease = nullptr;
  ASSERT_EQ(sv_acquire(client_.get(), &acquire, &lease, error.get()), SV_OK) << error.message();
  EXPECT_GT(lease->version, 0);
  ASSERT_EQ(sv_lease_remove(lease, nullptr, error.get()), SV_OK) << error.message();
  EXPECT_EQ(lease->state_etag, nullptr);
  EXPECT_GT(lease->version, 0);
  sv_release_req release;
  sv_release_req_init(&release);
  release.rollback = 1;
  ASSERT_EQ(sv_lease_release(lease, &release, error.get()), SV_OK) << error.message();
  EXPECT_EQ(server_->state("life/rm").state, R"({"id":1})");
}

TEST_P(LeaseLife, ClientMethodsWorkByKey) {
  Error error;
  sv_acquire_req acquire = lease_test::acquire_request("life/client");
  sv_lease *raw = nullptr;
  ASSERT_EQ(sv_acquire(client_.get(), &acquire, &raw, error.get()), SV_OK) << error.message();
  std::unique_ptr<sv_lease, lease_test::LeaseCloser> lease(raw);

  sv_update_req update;
  sv_update_req_init(&update);
  update.key = raw->key;
  update.lease_id = raw->lease_id;
  update.txn_id = raw->txn_id;
  update.fencing_token = raw->fencing_token;
  auto source = lease_test::memory_source(R"({"id":5,"item":"bolt"})");
  sv_update_res updated{};
  ASSERT_EQ(sv_update(client_.get(), &update, source.get(), &updated, error.get()), SV_OK)
      << error.message();
  EXPECT_GT(updated.new_version, 0);
  sv_update_res_cleanup(&updated);

  sv_describe_req describe;
  sv_describe_req_init(&describe);
  describe.key = "life/client";
  sv_describe_res described{};
  ASSERT_EQ(sv_describe(client_.get(), &describe, &described, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(described.owner), "lease-test");
  EXPECT_EQ(text_or_empty(described.lease_id), raw->lease_id);
  sv_describe_res_cleanup(&described);

  sv_release_op release;
  sv_release_op_init(&release);
  release.key = raw->key;
  release.lease_id = raw->lease_id;
  release.txn_id = raw->txn_id;
  release.fencing_token = raw->fencing_token;
  sv_release_res released{};
  ASSERT_EQ(sv_release(client_.get(), &release, &released, error.get()), SV_OK);
  EXPECT_EQ(released.released, 1);
  sv_release_res_cleanup(&released);

  // A public read by key alone sees the committed record.
  OrderRecord loaded;
  sv_get_opts opts;
  sv_get_opts_init(&opts);
  opts.public_read = 1;
  sv_get_res got{};
  ASSERT_EQ(sv_load(client_.get(), "life/client", &lease_test::order_map, &loaded.record, nullptr,
                    &opts, &got, error.get()),
            SV_OK)
      << error.message();
  EXPECT_EQ(loaded.record.id, 5);
  EXPECT_STREQ(loaded.record.item, "bolt");
  sv_get_res_cleanup(&got);
}

INSTANTIATE_TEST_SUITE_P(Transports, LeaseLife, ::testing::Values(false, true),
                         [](const auto &param_info) {
                           return param_info.param ? "Http2MutualTls" : "PlainHttp";
                         });

}  // namespace

namespace {

TEST(LeaseLifeUnixSocket, ALeaseWorksThroughAUnixSocket) {
  DevServer server({.unix_socket = true});
  const std::string socket_path = server.unix_socket_path();
  const std::string url = server.unix_url();
  const char *endpoints[] = {url.c_str()};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.unix_socket_path = socket_path.c_str();
  config.disable_mtls = 1;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  sv_acquire_req acquire = lease_test::acquire_request("life/unix");
  sv_lease *lease = nullptr;
  ASSERT_EQ(sv_acquire(raw, &acquire, &lease, error.get()), SV_OK) << error.message();
  lease_test::Order order{21, const_cast<char *>("spring"), 4};
  ASSERT_EQ(sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get()), SV_OK)
      << error.message();
  OrderRecord loaded;
  sv_get_res got{};
  ASSERT_EQ(sv_lease_load(lease, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                          error.get()),
            SV_OK)
      << error.message();
  EXPECT_EQ(loaded.record.id, 21);
  EXPECT_EQ(got.version, lease->version);
  sv_get_res_cleanup(&got);
  ASSERT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK) << error.message();
  EXPECT_NE(server.state("life/unix").state.find("\"spring\""), std::string::npos);
}

}  // namespace
