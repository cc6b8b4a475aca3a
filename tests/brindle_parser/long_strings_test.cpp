// Dynamic string members and string array elements of any length: past the token space they
// continue in a block of the record's allocator. Keys, numbers and strings for other kinds stay
// bounded by the workspace and fail with the overflow status.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

// length decoded bytes as JSON string content: plain runs broken by escapes, so that the token
// space limit is crossed by runs as well as by decoded escapes. *decoded receives the bytes.
std::string long_content(size_t length, std::string *decoded) {
  std::string json;
  decoded->clear();
  json.reserve(length + length / 8);
  decoded->reserve(length);
  for (size_t i = 0; decoded->size() < length; ++i) {
    const size_t left = length - decoded->size();
    if (i % 61 == 60 && left >= 2) {
      json += "\\u00e9";  // two bytes of UTF-8
      *decoded += "\xc3\xa9";
    } else if (i % 17 == 16) {
      json += "\\n";
      *decoded += '\n';
    } else {
      const char c = static_cast<char>('a' + i % 26);
      json += c;
      *decoded += c;
    }
  }
  return json;
}

struct LongDocument {
  std::string text;
  std::string decoded;
};

// {"s": long, "strs": ["x", long, "y", long]}
LongDocument member_and_elements(size_t length) {
  LongDocument document;
  const std::string content = long_content(length, &document.decoded);
  document.text =
      "{\"s\":\"" + content + "\",\"strs\":[\"x\",\"" + content + "\",\"y\",\"" + content + "\"]}";
  return document;
}

void expect_long_strings_stored(const All &record, const std::string &decoded) {
  ASSERT_NE(record.s, nullptr);
  EXPECT_EQ(std::strlen(record.s), decoded.size());
  EXPECT_TRUE(record.s == decoded);
  ASSERT_EQ(record.strs.count, 4u);
  EXPECT_STREQ(item<char *>(record.strs, 0), "x");
  EXPECT_TRUE(item<char *>(record.strs, 1) == decoded);
  EXPECT_STREQ(item<char *>(record.strs, 2), "y");
  EXPECT_TRUE(item<char *>(record.strs, 3) == decoded);
}

}  // namespace

TEST(LongStrings, AnyLengthWholeAndInSmallChunks) {
  for (size_t length : {size_t{4095}, size_t{4096}, size_t{65536}, size_t{16} << 20}) {
    const LongDocument document = member_and_elements(length);
    for (size_t chunk : {0u, 1u, 2u, 3u, 5u}) {
      if (length > 65536 && chunk != 0 && chunk != 5) continue;  // 16 MiB: whole and 5-byte
      stavo_test::TestAllocator allocator;
      brindle_parse_options options = brindle_default_parse_options();
      options.allocator = allocator.get();
      All record;
      const Outcome outcome = feed_in_chunks(&kAllMap, &record, document.text, chunk, &options);
      EXPECT_EQ(outcome.status, BRINDLE_OK)
          << length << " in chunks of " << chunk << ": " << outcome.error.message;
      expect_long_strings_stored(record, document.decoded);
      brindle_cleanup(&kAllMap, &record);
      EXPECT_EQ(allocator.stats().current_bytes, 0u);
      EXPECT_EQ(allocator.live_blocks(), 0);
    }
  }
}

TEST(LongStrings, ReplacesAnEarlierValueAndKeepsTheParseWorkspaceFixed) {
  All record;
  const std::string first(6000, 'a');
  const std::string second(9000, 'b');
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  const Outcome outcome = parse_text(
      &kAllMap, &record, "{\"s\":\"" + first + "\",\"i\":1,\"s\":\"" + second + "\"}", &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_TRUE(record.s == second);
  EXPECT_EQ(record.i, 1);
  brindle_cleanup(&kAllMap, &record);
  // A nested object's member too, deep enough that little token space is left.
  std::string deep = "{\"objs\":[{\"n\":1,\"label\":\"" + first + "\"}],\"s\":\"" + second + "\"}";
  const Outcome nested = parse_text(&kAllMap, &record, deep);
  ASSERT_EQ(nested.status, BRINDLE_OK) << nested.error.message;
  ASSERT_EQ(record.objs.count, 1u);
  EXPECT_TRUE(object_item(record.objs, 0).label == first);
  brindle_cleanup(&kAllMap, &record);
}

TEST(LongStrings, CheckedAsShortOnesAre) {
  All record;
  // An escaped NUL far past the token space is still refused, and the block is not leaked.
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  Outcome outcome =
      parse_text(&kAllMap, &record, "{\"s\":\"" + std::string(5000, 'x') + "\\u0000\"}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(outcome.error.message, "field 's' contains embedded NUL unsupported by C strings");
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.live_blocks(), 0);
  // A duplicate long value is rejected before it is stored.
  outcome = parse_text(&kAllMap, &record, "{\"s\":\"a\",\"s\":\"" + std::string(5000, 'x') + "\"}",
                       &options);
  EXPECT_EQ(outcome.status, BRINDLE_DUPLICATE_FIELD);
  EXPECT_STREQ(record.s, "a");
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.live_blocks(), 0);
  // A document that ends inside a long string lets go of the block.
  outcome = parse_text(&kAllMap, &record, "{\"s\":\"" + std::string(5000, 'x'), &options);
  EXPECT_STREQ(outcome.error.message, "incomplete JSON token at end of input");
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(LongStrings, EveryAllocationCanFail) {
  const LongDocument document = member_and_elements(65536);
  for (size_t chunk : {0u, 3u}) {
    size_t failures = 0;
    for (uint64_t nth = 1;; ++nth) {
      stavo_test::TestAllocator allocator;
      brindle_parse_options options = brindle_default_parse_options();
      options.allocator = allocator.get();
      All record;
      allocator.fail_once(nth);
      const Outcome outcome = feed_in_chunks(&kAllMap, &record, document.text, chunk, &options);
      if (outcome.status == BRINDLE_OK) {
        EXPECT_LT(allocator.calls(), nth) << "an allocation failed and the parse went on";
        expect_long_strings_stored(record, document.decoded);
      } else {
        ++failures;
        EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED) << "failing allocation " << nth;
        const std::string message = outcome.error.message;
        EXPECT_TRUE(message == "failed to append string" ||
                    message == "failed to allocate array string" ||
                    message == "failed to grow array")
            << message;
      }
      brindle_cleanup(&kAllMap, &record);
      EXPECT_EQ(allocator.stats().current_bytes, 0u) << "failing allocation " << nth;
      EXPECT_EQ(allocator.live_blocks(), 0) << "failing allocation " << nth;
      if (allocator.calls() < nth) break;
      ASSERT_LT(nth, 200u);
    }
    // Three long strings, each a first block and its growth, plus the short elements.
    EXPECT_GT(failures, 10u) << "chunks of " << chunk;
  }
}

TEST(TokenLimits, KeysNumbersAndOtherKindsOverflow) {
  struct Case {
    std::string text;
    size_t chunk;
  };
  const std::string long_key(5000, 'k');
  const std::string long_escaped_key = std::string(4005, 'k') + "\\u00e9";  // the escape overflows
  const Case cases[] = {
      {"{\"" + long_key + "\":1}", 0},
      {"{\"" + long_key + "\":1}", 3},
      {"{\"" + long_escaped_key + "\":1}", 0},
      {"{\"i\":" + std::string(5000, '1') + "}", 0},
      {"{\"i\":" + std::string(5000, '1') + "}", 5},
      {"{\"zz\":[" + std::string(5000, '2') + "]}", 2},
      {"{\"i\":\"" + std::string(5000, 's') + "\"}", 0},
      {"{\"ints\":[\"" + std::string(5000, 's') + "\"]}", 1},
  };
  for (const Case &c : cases) {
    All record;
    stavo_test::TestAllocator allocator;
    brindle_parse_options options = brindle_default_parse_options();
    options.allocator = allocator.get();
    const Outcome outcome = feed_in_chunks(&kAllMap, &record, c.text, c.chunk, &options);
    EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW) << c.text.substr(0, 20);
    EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by token");
    // The failure is at the first byte that does not fit, well before the end.
    EXPECT_LT(outcome.error.offset, 4100u);
    EXPECT_GT(outcome.error.offset, 3900u);
    brindle_cleanup(&kAllMap, &record);
    EXPECT_EQ(allocator.live_blocks(), 0);
  }
}

TEST(TokenLimits, ValidationBoundsNumbersButNotStrings) {
  Outcome outcome = validate_text("[" + std::string(5000, '9') + "]");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by token");
  outcome = validate_text("{\"k\":\"" + std::string(1 << 20, 's') + "\"}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
}
