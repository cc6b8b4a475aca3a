// The colon after a key and the value after it, which the feeder takes at once for the usual
// "key": value: every spacing around the colon, failures right after it, and every split.
#include <gtest/gtest.h>

#include <string>

#include "parser_test_support.h"

namespace {

using parser_test::feed_in_chunks;
using parser_test::feed_split;
using parser_test::Outcome;

struct Point {
  int64_t x;
  char *name;
  int32_t flag;
};
const brindle_field kPointFields[] = {
    BRINDLE_DECL_I64(Point, x, "x", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Point, name, "name", 0),
    BRINDLE_DECL_BOOL(Point, flag, "flag", 0),
};
const brindle_map kPointMap = BRINDLE_MAP("point_json", Point, kPointFields);

struct Case {
  const char *text;
  brindle_status status;
  const char *message;
  size_t offset;
};

const Case kCases[] = {
    {"{\"x\":1,\"name\" : \"a\",\"flag\": true,\"u\":\n[1],\"v\":\t{}}", BRINDLE_OK, "", 0},
    {"{\"x\": }", BRINDLE_INVALID_JSON, "expected JSON value", 7},
    {"{\"x\":}", BRINDLE_INVALID_JSON, "expected JSON value", 6},
    {"{\"x\"::1}", BRINDLE_INVALID_JSON, "expected JSON value", 6},
    {"{\"x\":  q}", BRINDLE_INVALID_JSON, "expected JSON value", 8},
    {"{\"x\": q}", BRINDLE_INVALID_JSON, "expected JSON value", 7},
    {"{\"x\":1 \"name\":2}", BRINDLE_INVALID_JSON, "expected ',' or '}' in object", 8},
    {"{\"x\": \x01}", BRINDLE_INVALID_JSON, "expected JSON value", 7},
    {"{\"x\": \"s\"}", BRINDLE_TYPE_MISMATCH, "expected string field 'x'", 9},
    {"{\"name\": 5,\"x\":1}", BRINDLE_TYPE_MISMATCH, "numeric value does not match field 'name'",
     11},
    {"{\"flag\": true}", BRINDLE_MISSING_REQUIRED_FIELD, "missing required field 'x'", 14},
};

void expect(const Outcome &got, const Case &want, const std::string &context) {
  EXPECT_EQ(got.status, want.status) << context;
  if (want.status != BRINDLE_OK) {
    EXPECT_STREQ(got.error.message, want.message) << context;
    EXPECT_EQ(got.error.offset, want.offset) << context;
  }
}

TEST(MemberColon, MappedParseAtEverySplit) {
  for (const Case &want : kCases) {
    const std::string text = want.text;
    for (size_t split = 0; split <= text.size(); ++split) {
      Point point{};
      const Outcome got = split == 0 ? feed_in_chunks(&kPointMap, &point, text, 0)
                                     : feed_split(&kPointMap, &point, text, {split});
      expect(got, want, text + " split " + std::to_string(split));
      if (want.status == BRINDLE_OK) {
        EXPECT_EQ(point.x, 1);
        EXPECT_STREQ(point.name, "a");
        EXPECT_EQ(point.flag, 1);
      }
      brindle_cleanup(&kPointMap, &point);
    }
  }
}

TEST(MemberColon, ValidationAtEverySplit) {
  for (const Case &want : kCases) {
    if (want.status != BRINDLE_OK && want.status != BRINDLE_INVALID_JSON) continue;
    const std::string text = want.text;
    for (size_t split = 0; split <= text.size(); ++split) {
      const Outcome got = split == 0 ? feed_in_chunks(nullptr, nullptr, text, 0, nullptr, true)
                                     : feed_split(nullptr, nullptr, text, {split}, nullptr, true);
      expect(got, want, text + " split " + std::to_string(split));
    }
  }
}

// Lines and columns after values that follow a colon on a new line.
TEST(MemberColon, PositionsAfterANewlineBeforeTheValue) {
  const std::string text = "{\"a\":\n  1,\n\"b\": x}";
  for (size_t chunk : {size_t{0}, size_t{1}}) {
    const Outcome got = feed_in_chunks(nullptr, nullptr, text, chunk, nullptr, true);
    EXPECT_EQ(got.status, BRINDLE_INVALID_JSON);
    EXPECT_EQ(got.error.line, 3u);
    EXPECT_EQ(got.error.column, 6u);
    EXPECT_EQ(got.error.offset, text.size() - 1);
  }
}

}  // namespace
