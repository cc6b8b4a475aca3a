// The selector dialect of POST /v1/query: every operator, combinations, pointers, and the
// refusal of malformed selectors.
#include "admin_helpers.h"

namespace stavo::test {
namespace {

using Keys = std::vector<std::string>;

class QuerySelector : public ::testing::Test {
 protected:
  void SetUp() override {
    dev.seed_state("a", R"({"name":"alice","age":30,"tags":["x","y"],"addr":{"city":"Oslo",)"
                        R"("zip":"0150"},"a/b":1,"t~":2})");
    dev.seed_state("b", R"({"name":"bob","age":25,"nick":null})");
    dev.seed_state("c", R"({"name":"carol","age":35.5,"addr":{"zip":"5003","city":"Bergen"}})");
    dev.seed_state("d", "not json", "text/plain");
    dev.seed_state("e", R"({"name":"al","age":"30"})");
  }
  DevServer dev;
};

TEST_F(QuerySelector, EmptySelectorMatchesEveryJsonDocument) {
  EXPECT_EQ(query_keys(dev, json::object()), (Keys{"a", "b", "c", "e"}));
  EXPECT_EQ(query_keys(dev, {{"", {{"$exists", true}}}}), (Keys{"a", "b", "c", "e"}));
}

TEST_F(QuerySelector, LiteralsCompareByEquality) {
  EXPECT_EQ(query_keys(dev, {{"/name", "alice"}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/age", 30}}), (Keys{"a"}));    // not the string "30"
  EXPECT_EQ(query_keys(dev, {{"/age", 30.0}}), (Keys{"a"}));  // numbers by value
  EXPECT_EQ(query_keys(dev, {{"/age", "30"}}), (Keys{"e"}));
  // Object literals ignore member order; a missing member never equals.
  EXPECT_EQ(query_keys(dev, {{"/addr", {{"zip", "0150"}, {"city", "Oslo"}}}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/addr", {{"city", "Oslo"}}}}), Keys{});
  EXPECT_EQ(query_keys(dev, {{"/tags", {"x", "y"}}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/tags", {"y", "x"}}}), Keys{});
  EXPECT_EQ(query_keys(dev, {{"/nick", nullptr}}), (Keys{"b"}));
  EXPECT_EQ(query_keys(dev, {{"/name", "alice"}, {"/age", 25}}), Keys{});  // members all hold
}

TEST_F(QuerySelector, PointersEscapeAndIndexArrays) {
  EXPECT_EQ(query_keys(dev, {{"/tags/1", "y"}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/tags/01", "y"}}), Keys{});
  EXPECT_EQ(query_keys(dev, {{"/tags/2", {{"$exists", true}}}}), Keys{});
  EXPECT_EQ(query_keys(dev, {{"/a~1b", 1}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/t~0", 2}}), (Keys{"a"}));
  EXPECT_EQ(query_keys(dev, {{"/addr/city", {{"$prefix", "B"}}}}), (Keys{"c"}));
  EXPECT_EQ(query_keys(dev, {{"/name/x", {{"$exists", true}}}}), Keys{});  // through a string
}

TEST_F(QuerySelector, ComparisonOperators) {
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$eq", 25}}}}), (Keys{"b"}));
  EXPECT_EQ(query_keys(dev, {{"/nick", {{"$ne", 1}}}}), (Keys{"a", "b", "c", "e"}));
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$ne", "bob"}}}}), (Keys{"a", "c", "e"}));
  // Numbers compare with numbers only: "30" (a string) is never above 25.
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$gt", 25}}}}), (Keys{"a", "c"}));
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$gte", 30}}}}), (Keys{"a", "c"}));
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$lt", 30}}}}), (Keys{"b"}));
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$lte", 30}}}}), (Keys{"a", "b"}));
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$lt", 35.6}}}}), (Keys{"a", "b", "c"}));
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$gt", "b"}}}}), (Keys{"b", "c"}));
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$lte", "alice"}}}}), (Keys{"a", "e"}));
}

TEST_F(QuerySelector, MembershipExistenceAndPrefix) {
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$in", {"bob", "carol", 1}}}}}), (Keys{"b", "c"}));
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$in", json::array()}}}}), Keys{});
  EXPECT_EQ(query_keys(dev, {{"/nick", {{"$exists", true}}}}), (Keys{"b"}));  // null exists
  EXPECT_EQ(query_keys(dev, {{"/nick", {{"$exists", false}}}}), (Keys{"a", "c", "e"}));
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$prefix", "al"}}}}), (Keys{"a", "e"}));
  EXPECT_EQ(query_keys(dev, {{"/age", {{"$prefix", "3"}}}}), (Keys{"e"}));  // strings only
  EXPECT_EQ(query_keys(dev, {{"/name", {{"$prefix", ""}}}}), (Keys{"a", "b", "c", "e"}));
}

TEST_F(QuerySelector, AndOrCombine) {
  json both = {{"$and", {{{"/age", {{"$gt", 20}}}}, {{"/name", {{"$prefix", "c"}}}}}}};
  EXPECT_EQ(query_keys(dev, both), (Keys{"c"}));
  json either = {{"$or", {{{"/name", "bob"}}, {{"/addr/city", "Oslo"}}}}};
  EXPECT_EQ(query_keys(dev, either), (Keys{"a", "b"}));
  json nested = {{"$or", {{{"/name", "e"}}, {{"$and", {{{"/age", 30}}, {{"/tags/0", "x"}}}}}}},
                 {"/name", {{"$ne", "nobody"}}}};
  EXPECT_EQ(query_keys(dev, nested), (Keys{"a"}));
}

TEST_F(QuerySelector, HiddenKeysAreLeftOut) {
  commit_state(dev, "a", "", true);
  EXPECT_EQ(query_keys(dev, json::object()), (Keys{"b", "c", "e"}));
  EXPECT_EQ(query_keys(dev, {{"/name", "alice"}}), Keys{});
  commit_state(dev, "a", "", false);
  EXPECT_EQ(query_keys(dev, {{"/name", "alice"}}), (Keys{"a"}));
}

TEST_F(QuerySelector, StagedWritesAreInvisibleUntilCommitted) {
  TestLease lease = must_acquire(dev, "b");
  ASSERT_EQ(update(dev, "b", lease, R"({"name":"bobby"})").status, 200);
  EXPECT_EQ(query_keys(dev, {{"/name", "bobby"}}), Keys{});
  ASSERT_EQ(release(dev, "b", lease).status, 200);
  EXPECT_EQ(query_keys(dev, {{"/name", "bobby"}}), (Keys{"b"}));
}

TEST_F(QuerySelector, MalformedSelectorsAreRefused) {
  const json bad[] = {
      {{"/a", {{"$foo", 1}}}},             // unknown operator
      {{"/a", {{"$gt", 1}, {"$lt", 2}}}},  // two operators
      {{"/a", {{"$gt", 1}, {"b", 2}}}},    // operator mixed with a member
      {{"name", 1}},                       // not a pointer
      {{"/a~2", 1}},                       // bad escape
      {{"/a~", 1}},                        // bad escape at the end
      {{"$and", json::object()}},          // not an array
      {{"$and", json::array()}},           // empty
      {{"$or", {1}}},                      // not selectors
      {{"$nor", {json::object()}}},        // unknown combinator
      {{"/a", {{"$in", 1}}}},              // operand types
      {{"/a", {{"$exists", "yes"}}}},      //
      {{"/a", {{"$prefix", 1}}}},          //
      {{"/a", {{"$gt", {1}}}}},            //
      {{"/a", {{"$lte", nullptr}}}},       //
      "string",                            // not an object
      json::array(),                       //
  };
  for (const auto &selector : bad) {
    HttpResponse response = query(dev, selector);
    EXPECT_EQ(response.status, 400) << selector.dump();
    EXPECT_EQ(error_code(response), "invalid_selector") << selector.dump();
    EXPECT_FALSE(body_of(response).value("detail", "").empty()) << selector.dump();
  }
  EXPECT_EQ(body_of(query(dev, {{"/a", {{"$foo", 1}}}})).value("detail", ""),
            "unknown operator '$foo' for '/a'");
}

TEST_F(QuerySelector, NestingIsBounded) {
  json deep = json::object();
  for (int i = 0; i < 40; ++i)
    deep = {{"$and", {deep}}};
  HttpResponse response = query(dev, deep);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(error_code(response), "invalid_selector");
  json literal = 1;
  for (int i = 0; i < 100; ++i)
    literal = json::array({literal});
  EXPECT_EQ(error_code(query(dev, {{"/a", literal}})), "invalid_selector");
  json shallow = json::object();
  for (int i = 0; i < 10; ++i)
    shallow = {{"$and", {shallow}}};
  EXPECT_EQ(query_keys(dev, shallow), (Keys{"a", "b", "c", "e"}));
}

TEST_F(QuerySelector, BodiesThatAreNotQueries) {
  HttpResponse not_json = http_post(dev.http_url() + "/v1/query", "{selector:");
  EXPECT_EQ(not_json.status, 400);
  EXPECT_EQ(error_code(not_json), "invalid_json");
  HttpResponse missing = http_post(dev.http_url() + "/v1/query", R"({"namespace":"default"})");
  EXPECT_EQ(missing.status, 400);
  EXPECT_EQ(error_code(missing), "missing_field");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"limit", 0}})), "invalid_limit");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"limit", "3"}})), "invalid_field");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"return", "rows"}})), "invalid_return");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"fields", "/a"}})), "invalid_fields");
  EXPECT_EQ(error_code(query(dev, json::object(), {{"fields", {"a"}}})), "invalid_fields");
  EXPECT_EQ(error_code(query(dev, json::object(), {}, "?engine=magic")), "invalid_engine");
  EXPECT_EQ(error_code(query(dev, json::object(), {}, "?refresh=soon")), "invalid_refresh");
  EXPECT_EQ(query(dev, json::object(), {}, "?engine=scan&refresh=wait_for").status, 200);
}

}  // namespace
}  // namespace stavo::test
