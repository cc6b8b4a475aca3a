// Runs of numbers in arrays that store nothing (validation, values under unknown keys), which
// the feeder takes without dispatching each comma: the same status, message and position as
// the byte-by-byte path for every split of the input, and the failures inside a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_test_support.h"

namespace {

using parser_test::feed_in_chunks;
using parser_test::feed_split;
using parser_test::Outcome;

struct Plain {
  int64_t n;
};
const brindle_field kPlainFields[] = {BRINDLE_DECL_I64(Plain, n, "n", 0)};
const brindle_map kPlainMap = BRINDLE_MAP("plain_json", Plain, kPlainFields);

struct Expected {
  const char *text;
  brindle_status status;
  const char *message;  // nullptr: success
  size_t offset;
};

const Expected kRuns[] = {
    {"[1,2,3]", BRINDLE_OK, nullptr, 0},
    {"[-0,0.5,-12.25e+3,7E-2,100]", BRINDLE_OK, nullptr, 0},
    {"[[1,2],[3,4],[-5.5,6e1]]", BRINDLE_OK, nullptr, 0},
    {"[1,2, 3,4\n,5]", BRINDLE_OK, nullptr, 0},
    {"[1,2,01]", BRINDLE_INVALID_JSON, "invalid JSON number", 8},
    {"[1,2,3.]", BRINDLE_INVALID_JSON, "invalid JSON number", 8},
    {"[1,2,-]", BRINDLE_INVALID_JSON, "invalid JSON number", 7},
    {"[1,2,1e]", BRINDLE_INVALID_JSON, "invalid JSON number", 8},
    {"[1,2,]", BRINDLE_INVALID_JSON, "trailing comma in array", 6},
    {"[1,2,,3]", BRINDLE_INVALID_JSON, "expected array value", 6},
    {"[1,2,x]", BRINDLE_INVALID_JSON, "expected array value", 6},
    {"[1,2 3]", BRINDLE_INVALID_JSON, "expected ',' or ']' in array", 6},
    {"[1,2,3", BRINDLE_INVALID_JSON, "incomplete JSON document", 6},
    {"[1,2,3-4]", BRINDLE_INVALID_JSON, "invalid JSON number", 9},
    {"[1,2]3", BRINDLE_INVALID_JSON, "unexpected trailing data", 6},
};

void expect_outcome(const Outcome &got, const Expected &want, const std::string &context) {
  EXPECT_EQ(got.status, want.status) << context;
  if (want.message != nullptr) {
    EXPECT_STREQ(got.error.message, want.message) << context;
    EXPECT_EQ(got.error.offset, want.offset) << context;
  }
}

TEST(NumberRuns, ValidationGivesTheSameResultForEverySplit) {
  for (const Expected &want : kRuns) {
    const std::string text = want.text;
    expect_outcome(feed_in_chunks(nullptr, nullptr, text, 0, nullptr, true), want, text);
    expect_outcome(feed_in_chunks(nullptr, nullptr, text, 1, nullptr, true), want, text + " /1");
    for (size_t split = 1; split < text.size(); ++split) {
      expect_outcome(feed_split(nullptr, nullptr, text, {split}, nullptr, true), want,
                     text + " split " + std::to_string(split));
    }
  }
}

// The same runs as the value of an unknown key of a mapped object: positions move by the
// prefix, messages stay.
TEST(NumberRuns, UnderAnUnknownKeyOfAMappedObject) {
  const std::string prefix = "{\"skipped\":";
  for (const Expected &want : kRuns) {
    std::string text = prefix + want.text;
    if (want.status == BRINDLE_OK) text += "}";
    if (std::string(want.text) == "[1,2]3") continue;  // no longer trailing data
    Expected shifted = want;
    shifted.offset = want.offset + prefix.size();
    if (std::string(want.text) == "[1,2,3") shifted.offset = text.size();
    for (size_t chunk : {size_t{0}, size_t{1}, size_t{5}}) {
      Plain record{};
      expect_outcome(feed_in_chunks(&kPlainMap, &record, text, chunk), shifted,
                     text + " /" + std::to_string(chunk));
    }
  }
}

// A long run whose numbers cross many chunk boundaries, and a number too long for the token
// space in the middle of a run, which fails where it does outside a run.
TEST(NumberRuns, LongRunsAndTheTokenSpace) {
  std::string text = "[";
  for (int i = 0; i < 2000; ++i)
    text += (i == 0 ? "" : ",") + std::to_string(i * 7919 - 5000) + ".125";
  text += "]";
  for (size_t chunk : {size_t{0}, size_t{7}, size_t{4096}}) {
    EXPECT_EQ(feed_in_chunks(nullptr, nullptr, text, chunk, nullptr, true).status, BRINDLE_OK);
  }
  const std::string digits(5000, '7');
  const std::string in_run = "[1,2," + digits + "]";
  const std::string alone = "[" + digits + "]";
  const Outcome a = feed_in_chunks(nullptr, nullptr, in_run, 0, nullptr, true);
  const Outcome b = feed_in_chunks(nullptr, nullptr, alone, 0, nullptr, true);
  EXPECT_NE(a.status, BRINDLE_OK);
  EXPECT_EQ(a.status, b.status);
  EXPECT_STREQ(a.error.message, b.error.message);
  EXPECT_EQ(a.error.offset, b.error.offset + 4);
  const Outcome c = feed_in_chunks(nullptr, nullptr, in_run, 1, nullptr, true);
  EXPECT_EQ(c.status, a.status);
  EXPECT_EQ(c.error.offset, a.error.offset);
}

}  // namespace
