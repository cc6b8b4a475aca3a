// POST /v1/query answers: paging with cursors, projection, the NDJSON and keys forms with their
// headers, and the namespace's index sequence.
#include <set>

#include "admin_helpers.h"

namespace stavo::test {
namespace {

using Keys = std::vector<std::string>;

std::string key_name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "k%03d", i);
  return name;
}

// 40 keys; the even ones match {"/even": true}.
void seed_many(DevServer &dev) {
  for (int i = 0; i < 40; ++i)
    dev.seed_state(key_name(i), json{{"n", i}, {"even", i % 2 == 0}}.dump());
}

TEST(QueryPaging, CursorsVisitEveryMatchOnceInKeyOrder) {
  DevServer dev;
  seed_many(dev);
  for (const char *mode : {"keys", "documents"}) {
    std::vector<std::string> seen;
    std::string cursor;
    int pages = 0;
    while (true) {
      json extra = {{"limit", 3}, {"return", mode}};
      if (!cursor.empty()) extra["cursor"] = cursor;
      HttpResponse response = query(dev, {{"/even", true}}, extra);
      ASSERT_EQ(response.status, 200) << response.body;
      ++pages;
      ASSERT_LT(pages, 20) << "paging does not end";
      std::optional<std::string> next = response.header("X-Stavo-Query-Cursor");
      if (std::string(mode) == "keys") {
        json body = body_of(response);
        for (const auto &key : body["keys"])
          seen.push_back(key.get<std::string>());
        EXPECT_EQ(body["cursor"], next.value_or("")) << "body and header cursors differ";
      } else {
        for (const auto &line : ndjson_lines(response.body))
          seen.push_back(line["key"].get<std::string>());
      }
      if (!next) break;
      cursor = *next;
    }
    EXPECT_EQ(pages, 7) << mode;  // 20 matches, 3 per page: the 7th holds the last two
    std::vector<std::string> expected;
    for (int i = 0; i < 40; i += 2)
      expected.push_back(key_name(i));
    EXPECT_EQ(seen, expected) << mode;
  }
}

TEST(QueryPaging, AnExactLastPageHasNoCursor) {
  DevServer dev;
  seed_many(dev);
  json extra = {{"limit", 20}, {"return", "keys"}};
  HttpResponse response = query(dev, {{"/even", true}}, extra);
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(body_of(response)["keys"].size(), 20u);
  EXPECT_EQ(body_of(response)["cursor"], "");
  EXPECT_FALSE(response.header("X-Stavo-Query-Cursor"));
  EXPECT_EQ(json::parse(*response.header("X-Stavo-Query-Metadata"))["has_more"], false);
}

TEST(QueryPaging, KeysWrittenBetweenPagesAreSeenOnceWhenAfterTheCursor) {
  DevServer dev;
  seed_many(dev);
  HttpResponse first = query(dev, {{"/even", true}}, {{"limit", 2}, {"return", "keys"}});
  std::string cursor = *first.header("X-Stavo-Query-Cursor");
  ASSERT_FALSE(cursor.empty()) << first.status << first.body;
  dev.seed_state("k002a", R"({"even":true})");           // after the cursor: seen
  dev.seed_state("k000", R"({"even":true,"again":1})");  // before it: not repeated
  Keys rest;
  while (!cursor.empty()) {
    HttpResponse page =
        query(dev, {{"/even", true}}, {{"limit", 5}, {"return", "keys"}, {"cursor", cursor}});
    EXPECT_EQ(page.status, 200) << page.body;
    json body = body_of(page);
    for (const auto &key : body["keys"])
      rest.push_back(key.get<std::string>());
    cursor = page.header("X-Stavo-Query-Cursor").value_or("");
  }
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.front(), "k002a");
  EXPECT_EQ(std::set<std::string>(rest.begin(), rest.end()).size(), rest.size());
  EXPECT_EQ(std::count(rest.begin(), rest.end(), "k000"), 0);
}

TEST(QueryPaging, ForeignAndMalformedCursorsAreRefused) {
  DevServer dev;
  seed_many(dev);
  dev.seed_state("x1", "{}", "application/json", "other");
  dev.seed_state("x2", "{}", "application/json", "other");
  HttpResponse other = query(dev, json::object(), {{"namespace", "other"}, {"limit", 1}});
  std::string cursor = other.header("X-Stavo-Query-Cursor").value_or("");
  ASSERT_FALSE(cursor.empty());
  EXPECT_EQ(error_code(query(dev, json::object(), {{"cursor", cursor}})), "invalid_cursor");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"cursor", "%%%"}})), "invalid_cursor");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"cursor", "e30="}})), "invalid_cursor");
  HttpResponse next =
      query(dev, json::object(), {{"namespace", "other"}, {"cursor", cursor}, {"return", "keys"}});
  EXPECT_EQ(body_of(next)["keys"], json({"x2"}));
}

TEST(QueryAnswers, NdjsonLinesCarryKeyVersionAndDocument) {
  DevServer dev;
  dev.seed_state("a", R"({"x":1,
      "text":"two\nlines"})");  // stored pretty: answered on one line
  commit_state(dev, "b", R"({"x":2})");
  commit_state(dev, "b", R"({"x":3})");
  HttpResponse response = query(dev, json::object());
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(response.header("Content-Type"), "application/x-ndjson");
  EXPECT_EQ(response.header("X-Stavo-Query-Return"), "documents");
  auto lines = ndjson_lines(response.body);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            json({{"key", "a"}, {"version", 1}, {"document", {{"x", 1}, {"text", "two\nlines"}}}}));
  EXPECT_EQ(lines[1], json({{"key", "b"}, {"version", 2}, {"document", {{"x", 3}}}}));
  json metadata =
      json::parse(response.header("X-Stavo-Query-Metadata").value_or(""), nullptr, false);
  EXPECT_EQ(
      metadata,
      json({{"namespace", "default"}, {"engine", "index"}, {"returned", 2}, {"has_more", false}}));
  EXPECT_EQ(response.header("X-Stavo-Query-Index-Seq"), "3");
  EXPECT_EQ(query(dev, {{"/x", 99}}).body, "");  // no match: an empty body
}

TEST(QueryAnswers, KeysFormCarriesPagingInBodyAndHeaders) {
  DevServer dev;
  for (const char *key : {"c", "a", "b"})
    dev.seed_state(key, "{}");
  HttpResponse response = query(dev, json::object(), {{"return", "keys"}, {"limit", 2}});
  ASSERT_EQ(response.status, 200);
  EXPECT_EQ(response.header("Content-Type"), "application/json");
  EXPECT_EQ(response.header("X-Stavo-Query-Return"), "keys");
  json body = body_of(response);
  EXPECT_EQ(body["keys"], json({"a", "b"}));
  EXPECT_EQ(body["cursor"], *response.header("X-Stavo-Query-Cursor"));
  EXPECT_EQ(body["index_seq"], 3);
  EXPECT_EQ(response.header("X-Stavo-Query-Index-Seq"), "3");
  EXPECT_EQ(body["metadata"], json::parse(*response.header("X-Stavo-Query-Metadata")));
  EXPECT_EQ(body["metadata"]["has_more"], true);
}

TEST(QueryAnswers, FieldsProjectDocuments) {
  DevServer dev;
  dev.seed_state("a", R"({"name":"alice","addr":{"city":"Oslo","zip":"0150"},"tags":["x","y"],)"
                      R"("secret":1})");
  json fields = {"/name", "/addr/city", "/tags/1", "/missing", "/name/deeper"};
  auto lines = ndjson_lines(query(dev, json::object(), {{"fields", fields}}).body);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["document"],
            json({{"name", "alice"}, {"addr", {{"city", "Oslo"}}}, {"tags", {nullptr, "y"}}}));
  lines = ndjson_lines(query(dev, json::object(), {{"fields", json::array()}}).body);
  EXPECT_EQ(lines[0]["document"], json::object());
  lines = ndjson_lines(query(dev, json::object(), {{"fields", {""}}}).body);
  EXPECT_EQ(lines[0]["document"]["secret"], 1);
}

TEST(QueryAnswers, IndexSeqCountsCommittedChangesPerNamespace) {
  DevServer dev;
  auto seq = [&](const std::string &ns) {
    HttpResponse response = query(dev, json::object(), {{"namespace", ns}});
    return response.header("X-Stavo-Query-Index-Seq").value_or("?");
  };
  EXPECT_EQ(seq("default"), "0");
  commit_state(dev, "a", R"({"v":1})");
  commit_state(dev, "b", R"({"v":1})");
  EXPECT_EQ(seq("default"), "2");
  TestLease lease = must_acquire(dev, "a");
  ASSERT_EQ(update(dev, "a", lease, R"({"v":2})").status, 200);
  EXPECT_EQ(seq("default"), "2");  // staged only
  ASSERT_EQ(release(dev, "a", lease, true).status, 200);
  EXPECT_EQ(seq("default"), "2");  // rolled back
  commit_state(dev, "a", "", true);
  EXPECT_EQ(seq("default"), "3");  // metadata changes count too
  EXPECT_EQ(seq("other"), "0");
}

TEST(NamespaceConfig, RoundTripAndEffectOnQueries) {
  DevServer dev;
  json initial = must_get(dev, "/v1/namespace?namespace=orders");
  EXPECT_EQ(initial,
            json({{"namespace", "orders"},
                  {"query", {{"preferred_engine", "index"}, {"fallback_engine", "scan"}}}}));
  EXPECT_EQ(must_get(dev, "/v1/namespace")["namespace"], "default");
  HttpRequest put;
  put.method = "PUT";
  put.url = dev.http_url() + "/v1/namespace";
  put.headers = {{"Content-Type", "application/json"}};
  put.body = R"({"namespace":"orders","query":{"preferred_engine":"scan"}})";
  HttpResponse changed = http_request(put);
  ASSERT_EQ(changed.status, 200) << changed.body;
  json expected = {{"namespace", "orders"},
                   {"query", {{"preferred_engine", "scan"}, {"fallback_engine", "scan"}}}};
  EXPECT_EQ(body_of(changed), expected);
  EXPECT_EQ(must_get(dev, "/v1/namespace?namespace=orders"), expected);
  EXPECT_EQ(must_get(dev, "/v1/namespace")["query"]["preferred_engine"], "index");

  auto engine_of = [&](const std::string &query_string) {
    HttpResponse response = query(dev, json::object(), {{"namespace", "orders"}}, query_string);
    return json::parse(response.header("X-Stavo-Query-Metadata").value_or("{}"))["engine"];
  };
  EXPECT_EQ(engine_of(""), "scan");
  EXPECT_EQ(engine_of("?engine=index"), "index");

  put.body = R"({"namespace":"orders","query":{"fallback_engine":"btree"}})";
  HttpResponse refused = http_request(put);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(error_code(refused), "invalid_engine");
  EXPECT_EQ(must_get(dev, "/v1/namespace?namespace=orders"), expected);
  put.body = "[]";
  EXPECT_EQ(error_code(http_request(put)), "invalid_json");
}

TEST(IndexFlush, SyncAndAsyncModes) {
  DevServer dev;
  commit_state(dev, "a", "{}");
  json sync = must_post(dev, "/v1/index/flush", {{"namespace", "default"}, {"mode", "sync"}});
  EXPECT_EQ(sync["namespace"], "default");
  EXPECT_EQ(sync["mode"], "sync");
  EXPECT_EQ(sync["accepted"], true);
  EXPECT_EQ(sync["flushed"], true);
  EXPECT_EQ(sync["pending"], false);
  EXPECT_EQ(sync["index_seq"], 1);
  json async =
      must_post(dev, "/v1/index/flush", {{"namespace", "default"}, {"mode", "async"}}, 202);
  EXPECT_EQ(async["mode"], "async");
  EXPECT_EQ(async["accepted"], true);
  EXPECT_EQ(async["flushed"], false);
  EXPECT_NE(async["flush_id"], sync["flush_id"]);
  EXPECT_EQ(must_post(dev, "/v1/index/flush", {{"namespace", "other"}})["mode"], "sync");
  HttpResponse bad = post_json(dev, "/v1/index/flush", {{"mode", "eventually"}});
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "invalid_mode");
}

}  // namespace
}  // namespace stavo::test
