// Edges of the lease handle: argument checks, the unavailable local mutate, the byte limit of a
// mapped load, a stale view that makes the next write fail, and an update that is sent again
// to a second endpoint through the rewindable source bridge.
#include <gtest/gtest.h>

#include <string>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;

class LeaseEdges : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  ClientPtr open(uint64_t limit = 0, std::vector<std::string> extra = {}) {
    ClientConfig config(*server_, false, std::move(extra));
    config.config.response_limit_bytes = limit;
    sv_client *raw = nullptr;
    EXPECT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    return ClientPtr(raw);
  }
  static sv_lease *acquire(sv_client *client, const char *key) {
    sv_acquire_req req = lease_test::acquire_request(key);
    sv_lease *lease = nullptr;
    EXPECT_EQ(sv_acquire(client, &req, &lease, nullptr), SV_OK);
    return lease;
  }
  static DevServer *server_;
};
DevServer *LeaseEdges::server_ = nullptr;

TEST_F(LeaseEdges, ArgumentChecksNameWhatIsMissing) {
  ClientPtr client = open();
  std::unique_ptr<sv_lease, lease_test::LeaseCloser> lease(acquire(client.get(), "edge/args"));
  ASSERT_NE(lease, nullptr);
  Error error;
  sv_get_res got{};
  EXPECT_EQ(sv_lease_get(lease.get(), nullptr, nullptr, &got, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease get requires self, dst, and out");
  EXPECT_EQ(sv_lease_load(lease.get(), nullptr, nullptr, nullptr, nullptr, &got, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease load requires self, map, destination, and out");
  EXPECT_EQ(sv_lease_save(lease.get(), &lease_test::order_map, nullptr, nullptr, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease save requires self, map, and source");
  EXPECT_EQ(sv_lease_update(lease.get(), nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease update requires self and src");
  EXPECT_EQ(sv_lease_keepalive(lease.get(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease keepalive requires self and req");
  EXPECT_EQ(sv_lease_mutate(lease.get(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease mutate requires self and req");
  EXPECT_EQ(sv_lease_delete_attachment(lease.get(), nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "delete_attachment requires self, selector, and deleted");
  EXPECT_EQ(sv_lease_mutate_local(lease.get(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "lease mutate_local requires self and mutations");
  sv_lease *none = nullptr;
  EXPECT_EQ(sv_acquire(client.get(), nullptr, &none, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "acquire requires self, req, and out");
  sv_lease_close(nullptr);
}

TEST_F(LeaseEdges, AMappedLoadStopsAtTheResponseLimit) {
  // {"id":1,"item":"x"} padded with spaces to exactly `size` bytes.
  auto document = [](size_t size) {
    const std::string head = R"({"id":1,"item":"x")";
    return head + std::string(size - head.size() - 1, ' ') + "}";
  };

  for (const auto &[limit, allowed] :
       {std::pair<uint64_t, size_t>{4096, 4096}, std::pair<uint64_t, size_t>{0, 1048576}}) {
    ClientPtr client = open(limit);
    const std::string key = "edge/limit/" + std::to_string(limit);
    server_->seed_state(key, document(allowed));
    sv_lease *lease = acquire(client.get(), key.c_str());
    ASSERT_NE(lease, nullptr);
    Error error;
    {
      lease_test::OrderRecord loaded;
      sv_get_res got{};
      EXPECT_EQ(sv_lease_load(lease, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                              error.get()),
                SV_OK)
          << error.message();
      EXPECT_STREQ(loaded.record.item, "x");
      sv_get_res_cleanup(&got);
    }
    auto bigger = lease_test::memory_source(document(allowed + 1));
    ASSERT_EQ(sv_lease_update(lease, bigger.get(), nullptr, error.get()), SV_OK);
    const int64_t version = lease->version;
    const std::string etag = text_or_empty(lease->state_etag);
    {
      lease_test::OrderRecord loaded;
      sv_get_res got{};
      EXPECT_EQ(sv_lease_load(lease, &lease_test::order_map, &loaded.record, nullptr, nullptr, &got,
                              error.get()),
                SV_ERR_PROTOCOL);
      EXPECT_EQ(error.message(), "mapped state response exceeds configured byte limit");
      EXPECT_EQ(lease->version, version);
      EXPECT_EQ(text_or_empty(lease->state_etag), etag);
    }
    sv_lease_close(lease);
  }
}

TEST_F(LeaseEdges, AStaleViewMakesTheNextWriteFailWithAVersionConflict) {
  ClientPtr client = open();
  server_->seed_state("edge/stale", R"({"id":1})");
  sv_lease *current = acquire(client.get(), "edge/stale");
  ASSERT_NE(current, nullptr);
  ASSERT_GT(current->version, 0);
  // The same lease seen through a handle whose view is one version behind.
  sv_lease *stale =
      sv_lease_new(client.get(), current->namespace_name, current->key, current->owner,
                   current->lease_id, current->txn_id, current->fencing_token,
                   current->version - 1 > 0 ? current->version - 1 : current->version + 7, nullptr);
  ASSERT_NE(stale, nullptr);
  Error error;
  lease_test::Order order{2, nullptr, 1};
  EXPECT_EQ(sv_lease_save(stale, &lease_test::order_map, &order, nullptr, error.get()),
            SV_ERR_SERVER);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "version_conflict");
  // The current view writes fine.
  EXPECT_EQ(sv_lease_save(current, &lease_test::order_map, &order, nullptr, error.get()), SV_OK)
      << error.message();
  sv_lease_close(stale);
  EXPECT_EQ(sv_lease_release(current, nullptr, error.get()), SV_OK);
}

TEST_F(LeaseEdges, AnUpdateIsResentToTheNextEndpointOnlyFromARewindableSource) {
  // Both endpoints are the dev server; the first answer says the node is passive.
  ClientPtr client = open(0, {server_->http_url()});
  sv_lease *lease = acquire(client.get(), "edge/failover");
  ASSERT_NE(lease, nullptr);
  Error error;
  server_->clear_requests();
  server_->add_fault(stavo::test::Fault::error("POST", "/v1/update", 503, "node_passive"));
  auto source = lease_test::memory_source(R"({"id":11})");
  ASSERT_EQ(sv_lease_update(lease, source.get(), nullptr, error.get()), SV_OK) << error.message();
  EXPECT_EQ(server_->state("edge/failover").lease->staged_state, R"({"id":11})");
  EXPECT_EQ(server_->requests_to("POST", "/v1/update").size(), 2u);

  // A source without a reset slot cannot be sent twice.
  sv_source one_shot{[](sv_source *, char *, size_t, sv_error *) -> size_t { return 0; }, nullptr,
                     [](sv_source *) {}};
  const int64_t version = lease->version;
  EXPECT_EQ(sv_lease_update(lease, &one_shot, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "payload source is not rewindable");
  EXPECT_EQ(lease->version, version);
  EXPECT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK);
}

}  // namespace

namespace {

// A proxy's answer in front of the server: not the server's JSON error, maybe large. The call
// fails as a server error with the proxy's status and page, which callers can retry on, never
// as a protocol fault with no status.
TEST_F(LeaseEdges, AProxysErrorPageKeepsItsStatusAndBecomesTheDetail) {
  ClientPtr client = open();
  const struct {
    int64_t status;
    std::string body;
    bool truncated;
  } pages[] = {
      {502, "<html><body><h1>502 Bad Gateway</h1></body></html>", false},
      {503, "<html>" + std::string(20000, '.') + "</html>", true},  // beyond the 8 KiB cap
      {504, "", false},
  };
  for (const auto &page : pages) {
    server_->add_fault(stavo::test::Fault::respond("POST", "/v1/acquire", page.status, page.body,
                                                   {{"Content-Type", "text/html"}}));
    sv_acquire_req req = lease_test::acquire_request("behind-a-proxy");
    sv_lease *lease = nullptr;
    Error error;
    EXPECT_EQ(sv_acquire(client.get(), &req, &lease, error.get()), SV_ERR_SERVER) << page.status;
    EXPECT_EQ(lease, nullptr);
    EXPECT_EQ(error.record.http_status, page.status);
    EXPECT_EQ(error.record.server_error_code, nullptr);
    const std::string detail = text_or_empty(error.record.detail);
    if (page.body.empty()) {
      EXPECT_EQ(detail, "");
    } else if (page.truncated) {
      EXPECT_EQ(detail.rfind("<html>....", 0), 0u);
      EXPECT_EQ(detail.substr(detail.size() - 12), " [truncated]");
      EXPECT_LT(detail.size(), 1024u);
    } else {
      EXPECT_EQ(detail, page.body);
    }
  }
}

}  // namespace
