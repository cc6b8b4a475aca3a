// The hooks the mapped parser calls while a JSON value member's value is read: configuration
// checks, capture into the member's own buffer, hand-over to a parse sink.
#include <gtest/gtest.h>

#include <string>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::StringSink;

brindle_status feed(brindle_json_value *value, const std::string &text, size_t piece,
                    brindle_error *error) {
  brindle_status status = brindle__json_value_parse_begin(value, error);
  for (size_t at = 0; status == BRINDLE_OK && at < text.size(); at += piece) {
    const std::string part = text.substr(at, piece);
    status = brindle__json_value_parse_text(value, part.data(), part.size(), error);
  }
  if (status != BRINDLE_OK) return status;
  return brindle__json_value_parse_end(value, error);
}

TEST(JsonValueParse, AValueWithoutConfigurationCannotBeParsedInto) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "[1]", 3, nullptr), BRINDLE_OK);
  brindle_error error;
  EXPECT_EQ(brindle__json_value_parse_begin(&value, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message,
               "JSON value parse requires a configured parse sink, parse visitor, or parse "
               "capture");
  brindle_json_value_cleanup(&value);
  EXPECT_EQ(brindle__json_value_parse_begin(nullptr, &error), BRINDLE_INTERNAL_ERROR);
  EXPECT_EQ(brindle__json_value_parse_text(nullptr, "1", 1, &error), BRINDLE_INTERNAL_ERROR);
  EXPECT_STREQ(error.message, "JSON value stream has no destination");
}

TEST(JsonValueParse, CaptureBecomesBufferContent) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&value, nullptr), BRINDLE_OK);
  const std::string text = "{\"k\":[" + std::string(500, '1') + ",\"x\"]}";
  ASSERT_EQ(feed(&value, text, 7, nullptr), BRINDLE_OK);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_BUFFER);
  EXPECT_EQ(std::string(value.buffer, value.length), text);
  EXPECT_EQ(value.buffer[value.length], '\0');
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_CAPTURE);  // ready for the next parse
  // Capacity doubled from 64 bytes.
  EXPECT_EQ(allocator.stats().current_bytes, 1024u);
  StringSink sink;
  ASSERT_EQ(brindle_json_value_write_to_sink(&value, StringSink::write, &sink, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(sink.text, text);
  // The next parse into the same member starts from nothing.
  ASSERT_EQ(feed(&value, "null", 4, nullptr), BRINDLE_OK);
  EXPECT_STREQ(value.buffer, "null");
  EXPECT_EQ(allocator.stats().current_bytes, 64u);
  brindle_json_value_cleanup(&value);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(JsonValueParse, BeginFreesContentButKeepsTheMode) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&value, nullptr), BRINDLE_OK);
  ASSERT_EQ(feed(&value, "[1,2]", 5, nullptr), BRINDLE_OK);
  ASSERT_EQ(brindle__json_value_parse_begin(&value, nullptr), BRINDLE_OK);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(value.buffer, nullptr);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_CAPTURE);
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueParse, EveryCaptureAllocationFailureIsReportedAndLeaksNothing) {
  const std::string text = "[\"" + std::string(3000, 'c') + "\"]";
  for (uint64_t nth = 1; nth <= 7; ++nth) {
    stavo_test::TestAllocator allocator;
    brindle_json_value value;
    brindle_json_value_init_with_allocator(&value, allocator.get());
    ASSERT_EQ(brindle_json_value_enable_parse_capture(&value, nullptr), BRINDLE_OK);
    allocator.fail_once(nth);
    brindle_error error;
    const brindle_status status = feed(&value, text, 100, &error);
    if (nth <= 6) {  // growing by doubling to 4096 bytes takes six allocations
      EXPECT_EQ(status, BRINDLE_ALLOCATION_FAILED) << nth;
      EXPECT_STREQ(error.message, "failed to grow captured JSON value");
      EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
    } else {
      EXPECT_EQ(status, BRINDLE_OK);
      EXPECT_EQ(std::string(value.buffer, value.length), text);
    }
    brindle_json_value_cleanup(&value);
    EXPECT_EQ(allocator.stats().current_bytes, 0u) << nth;
    EXPECT_EQ(allocator.live_blocks(), 0) << nth;
  }
}

TEST(JsonValueParse, SinkModeHandsTheTextOver) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  StringSink sink;
  ASSERT_EQ(brindle_json_value_set_parse_sink(&value, StringSink::write, &sink, nullptr),
            BRINDLE_OK);
  ASSERT_EQ(feed(&value, "{\"a\":true}", 3, nullptr), BRINDLE_OK);
  EXPECT_EQ(sink.text, "{\"a\":true}");
  EXPECT_EQ(sink.calls, 4u);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);  // nothing is kept

  sink.fail_at = sink.calls + 1;
  sink.fail_status = BRINDLE_IO_ERROR;
  brindle_error error;
  brindle_error_init(&error);
  EXPECT_EQ(feed(&value, "[1]", 1, &error), BRINDLE_IO_ERROR);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);

  const auto truncating = [](void *, const char *, size_t, brindle_error *) {
    return BRINDLE_TRUNCATED;
  };
  ASSERT_EQ(brindle_json_value_set_parse_sink(&value, truncating, nullptr, nullptr), BRINDLE_OK);
  brindle_error_init(&error);
  ASSERT_EQ(brindle__json_value_parse_begin(&value, &error), BRINDLE_OK);
  EXPECT_EQ(brindle__json_value_parse_text(&value, "1", 1, &error), BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueParse, TextForAVisitorMemberIsRefused) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  const brindle_value_visitor visitor{};
  ASSERT_EQ(brindle_json_value_set_parse_visitor(&value, &visitor, nullptr, nullptr, nullptr),
            BRINDLE_OK);
  brindle_error error;
  ASSERT_EQ(brindle__json_value_parse_begin(&value, &error), BRINDLE_OK);
  EXPECT_EQ(brindle__json_value_parse_text(&value, "1", 1, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value field has no configured parse sink or capture mode");
  EXPECT_EQ(brindle__json_value_parse_end(&value, &error), BRINDLE_OK);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
}

TEST(JsonValueParse, ACopiedMemberTakesOwnershipOfWhatItCaptures) {
  brindle_json_value original;
  brindle_json_value_init(&original);
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&original, nullptr), BRINDLE_OK);
  ASSERT_EQ(feed(&original, "[7]", 3, nullptr), BRINDLE_OK);
  brindle_json_value copy = original;  // shares the original's buffer
  ASSERT_EQ(feed(&copy, "[8]", 3, nullptr), BRINDLE_OK);
  EXPECT_STREQ(original.buffer, "[7]");  // not freed or overwritten through the copy
  EXPECT_STREQ(copy.buffer, "[8]");
  EXPECT_NE(copy.buffer, original.buffer);
  brindle_json_value_cleanup(&copy);
  brindle_json_value_cleanup(&original);
}

}  // namespace
