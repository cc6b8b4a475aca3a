// State through HTTP: staged writes visible to the holder only, commit on release, rollback and
// expiry discarding them, preconditions, metadata, remove.
#include "helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

TEST(DevServerState, GetWithoutStateAnswers204) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");
  HttpResponse held = get_state(dev, "k", &lease);
  EXPECT_EQ(held.status, 204);
  EXPECT_TRUE(held.body.empty());
  EXPECT_EQ(held.header("X-Key-Version"), "0");
  EXPECT_EQ(get_state(dev, "unknown", nullptr).status, 204);
}

TEST(DevServerState, StagedWritesAreVisibleToTheHolderAndCommittedOnRelease) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");
  std::string doc = R"({"b":2,"a":1})";
  HttpResponse written = update(dev, "k", lease, doc);
  ASSERT_EQ(written.status, 200) << written.body;
  json result = body_of(written);
  EXPECT_EQ(result["new_version"], 1);
  EXPECT_EQ(result["new_state_etag"], sha256_hex(doc));
  EXPECT_EQ(result["bytes"], doc.size());

  HttpResponse mine = get_state(dev, "k", &lease);
  EXPECT_EQ(mine.status, 200);
  EXPECT_EQ(mine.body, doc);  // bytes exactly as written
  EXPECT_EQ(mine.header("Content-Type"), "application/json");
  EXPECT_EQ(mine.header("ETag"), "\"" + sha256_hex(doc) + "\"");
  EXPECT_EQ(mine.header("X-Key-Version"), "1");
  EXPECT_EQ(mine.header("X-Fencing-Token"), "1");
  EXPECT_EQ(get_state(dev, "k", nullptr).status, 204);  // public read: committed only
  EXPECT_FALSE(dev.state("k").has_state);

  ASSERT_EQ(release(dev, "k", lease).status, 200);
  KeyState state = dev.state("k");
  EXPECT_TRUE(state.has_state);
  EXPECT_EQ(state.state, doc);
  EXPECT_EQ(state.version, 1);
  EXPECT_EQ(state.state_etag, sha256_hex(doc));
  HttpResponse public_read = get_state(dev, "k", nullptr);
  EXPECT_EQ(public_read.body, doc);
  EXPECT_EQ(public_read.header("X-Key-Version"), "1");

  // Each staged write takes a new version; the release commits the latest one.
  TestLease again = must_acquire(dev, "k");
  ASSERT_EQ(update(dev, "k", again, R"({"n":1})").status, 200);
  json second = body_of(update(dev, "k", again, R"({"n":2})"));
  EXPECT_EQ(second["new_version"], 3);
  ASSERT_EQ(release(dev, "k", again).status, 200);
  EXPECT_EQ(dev.state("k").version, 3);
  EXPECT_EQ(dev.state("k").state, R"({"n":2})");
}

TEST(DevServerState, RollbackAndExpiryDiscardStagedWrites) {
  DevServer dev;
  dev.seed_state("k", R"({"v":"committed"})");
  TestLease lease = must_acquire(dev, "k");
  ASSERT_EQ(update(dev, "k", lease, R"({"v":"staged"})").status, 200);
  ASSERT_EQ(release(dev, "k", lease, /*rollback=*/true).status, 200);
  EXPECT_EQ(dev.state("k").state, R"({"v":"committed"})");
  EXPECT_EQ(dev.state("k").version, 1);

  TestLease expiring = must_acquire(dev, "k", {{"ttl_seconds", 5}});
  ASSERT_EQ(update(dev, "k", expiring, R"({"v":"lost"})").status, 200);
  dev.advance_clock(5s);
  EXPECT_FALSE(dev.state("k").lease.has_value());
  TestLease next = must_acquire(dev, "k");
  EXPECT_EQ(get_state(dev, "k", &next).body, R"({"v":"committed"})");
  EXPECT_EQ(dev.state("k").version, 1);
}

TEST(DevServerState, VersionAndEtagPreconditions) {
  DevServer dev;
  std::string doc = R"({"a":1})";
  dev.seed_state("k", doc);
  TestLease lease = must_acquire(dev, "k");

  HttpResponse stale = update(dev, "k", lease, "{}", {{"X-If-Version", "0"}});
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(error_code(stale), "version_conflict");
  EXPECT_EQ(body_of(stale)["current_version"], 1);
  EXPECT_EQ(body_of(stale)["current_etag"], sha256_hex(doc));

  HttpResponse wrong_etag = update(dev, "k", lease, "{}", {{"X-If-State-ETag", "abc"}});
  EXPECT_EQ(wrong_etag.status, 409);
  EXPECT_EQ(error_code(wrong_etag), "etag_mismatch");
  EXPECT_EQ(body_of(wrong_etag)["current_etag"], sha256_hex(doc));
  EXPECT_EQ(body_of(wrong_etag)["current_version"], 1);

  EXPECT_EQ(error_code(update(dev, "k", lease, "{}", {{"X-If-Version", "one"}})),
            "invalid_if_version");

  // Matching preconditions pass (a quoted ETag is accepted as well).
  HttpResponse ok =
      update(dev, "k", lease, R"({"a":2})",
             {{"X-If-Version", "1"}, {"X-If-State-ETag", "\"" + sha256_hex(doc) + "\""}});
  ASSERT_EQ(ok.status, 200) << ok.body;
  // Now the holder's view is version 2 with the new ETag.
  HttpResponse next =
      update(dev, "k", lease, R"({"a":3})",
             {{"X-If-Version", "2"}, {"X-If-State-ETag", sha256_hex(R"({"a":2})")}});
  EXPECT_EQ(next.status, 200) << next.body;
  EXPECT_EQ(dev.state("k").state, doc);  // nothing committed yet
}

TEST(DevServerState, UpdateChecksTheBody) {
  DevServer dev(DevServerOptions{.state_limit = 64});
  TestLease lease = must_acquire(dev, "k");
  HttpResponse bad = update(dev, "k", lease, "{not json");
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "invalid_json");
  HttpResponse large = update(dev, "k", lease, "[" + std::string(100, '1') + "]");
  EXPECT_EQ(large.status, 413);
  EXPECT_EQ(error_code(large), "state_too_large");
  // Other content types are stored as given.
  HttpResponse bytes = http_post(dev.http_url() + "/v1/update?key=k", "raw\x01",
                                 {{"Content-Type", "application/octet-stream"},
                                  {"X-Lease-ID", lease.lease_id},
                                  {"X-Txn-ID", lease.txn_id},
                                  {"X-Fencing-Token", "1"}});
  EXPECT_EQ(bytes.status, 200) << bytes.body;
  HttpResponse read = get_state(dev, "k", &lease);
  EXPECT_EQ(read.body, "raw\x01");
  EXPECT_EQ(read.header("Content-Type"), "application/octet-stream");
}

TEST(DevServerState, ChunkedUpdateIsStoredDecoded) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");
  HttpRequest request;
  request.method = "POST";
  request.url = dev.http_url() + "/v1/update?key=k&namespace=default";
  request.body = R"({"streamed":"across several chunks of seven bytes"})";
  request.chunked = true;
  request.headers = {{"Content-Type", "application/json"}, {"Expect", ""}};
  for (auto &header : lease.headers())
    request.headers.push_back(header);
  HttpResponse response = http_request(request);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(get_state(dev, "k", &lease).body, *request.body);
  auto logged = dev.requests_to("POST", "/v1/update").back();
  EXPECT_EQ(logged.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(logged.body, *request.body);
}

TEST(DevServerState, MetadataIsStagedLikeState) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");
  HeaderList headers = {{"Content-Type", "application/json"}};
  for (auto &header : lease.headers())
    headers.push_back(header);
  std::string url = dev.http_url() + "/v1/metadata?key=k&namespace=default";
  HttpResponse response = http_post(url, R"({"query_hidden":true})", headers);
  ASSERT_EQ(response.status, 200) << response.body;
  json body = body_of(response);
  EXPECT_EQ(body["namespace"], "default");
  EXPECT_EQ(body["key"], "k");
  EXPECT_EQ(body["version"], 1);
  EXPECT_EQ(body["metadata"]["query_hidden"], true);
  EXPECT_FALSE(dev.state("k").query_hidden);
  // An empty object changes nothing.
  EXPECT_EQ(body_of(http_post(url, "{}", headers))["metadata"]["query_hidden"], true);
  HeaderList stale = headers;
  stale.emplace_back("X-If-Version", "0");
  EXPECT_EQ(error_code(http_post(url, "{}", stale)), "version_conflict");
  ASSERT_EQ(release(dev, "k", lease).status, 200);
  EXPECT_TRUE(dev.state("k").query_hidden);
  EXPECT_EQ(dev.state("k").version, 1);
}

TEST(DevServerState, RemoveIsStagedAndCommitted) {
  DevServer dev;
  dev.seed_state("k", R"({"a":1})");
  TestLease lease = must_acquire(dev, "k");
  HeaderList headers = {{"Content-Type", "application/json"}};
  for (auto &header : lease.headers())
    headers.push_back(header);
  std::string url = dev.http_url() + "/v1/remove?key=k&namespace=default";
  json removed = body_of(http_post(url, "", headers));
  EXPECT_EQ(removed["removed"], true);
  EXPECT_EQ(removed["new_version"], 2);
  EXPECT_EQ(get_state(dev, "k", &lease).status, 204);
  EXPECT_EQ(get_state(dev, "k", nullptr).status, 200);  // still committed for others
  EXPECT_EQ(body_of(http_post(url, "", headers))["removed"], false);
  ASSERT_EQ(release(dev, "k", lease).status, 200);
  EXPECT_FALSE(dev.state("k").has_state);
  EXPECT_EQ(dev.state("k").version, 2);
}

TEST(DevServerState, KeysAreDecodedFromThePercentEncodedQuery) {
  DevServer dev;
  std::string key = "a b&c/d";
  TestLease lease = must_acquire(dev, key);
  HeaderList headers = {{"Content-Type", "application/json"}};
  for (auto &header : lease.headers())
    headers.push_back(header);
  HttpResponse response =
      http_post(dev.http_url() + "/v1/update?key=a%20b%26c%2Fd&namespace=default", "[1]", headers);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(dev.state(key).lease->staged_state, "[1]");
  EXPECT_EQ(dev.requests().back().target, "/v1/update?key=a%20b%26c%2Fd&namespace=default");
}

TEST(DevServerState, NamespacesAreSeparate) {
  DevServer dev;
  json body = {{"namespace", "other"}, {"key", "k"}, {"ttl_seconds", 30}, {"owner", "o"}};
  ASSERT_EQ(http_post(dev.http_url() + "/v1/acquire", body.dump()).status, 200);
  EXPECT_TRUE(dev.state("k", "other").lease.has_value());
  EXPECT_FALSE(dev.state("k").exists);
  EXPECT_EQ(acquire(dev, "k").status, 200);
}

}  // namespace
}  // namespace stavo::test
