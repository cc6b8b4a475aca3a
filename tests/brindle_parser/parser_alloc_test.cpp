// Every allocation made for a record goes through the caller's allocator: failing the 1st, 2nd,
// ... Nth one gives BRINDLE_ALLOCATION_FAILED, and cleanup returns every byte.
#include <gtest/gtest.h>

#include <string>

#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

const char kDocument[] =
    "{\"s\":\"top\",\"obj\":{\"n\":1,\"label\":\"nested\"},"
    "\"strs\":[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\",\"i\",null],"
    "\"ints\":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17],\"uints\":[1],\"floats\":[1.5,2.5],"
    "\"bools\":[true,false,true,false,true],"
    "\"objs\":[{\"n\":1,\"label\":\"a\"},{\"n\":2,\"label\":\"b\"},{\"n\":3},{\"n\":4},"
    "{\"n\":5,\"label\":\"e\"}],\"s\":\"again\"}";

void expect_each_failure_is_clean(size_t chunk) {
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  size_t failures = 0;
  for (uint64_t nth = 1;; ++nth) {
    stavo_test::TestAllocator allocator;
    options.allocator = allocator.get();
    All record;
    allocator.fail_once(nth);
    const Outcome outcome = feed_in_chunks(&kAllMap, &record, kDocument, chunk, &options);
    brindle_cleanup(&kAllMap, &record);
    EXPECT_EQ(allocator.stats().current_bytes, 0u) << "failing allocation " << nth;
    EXPECT_EQ(allocator.live_blocks(), 0) << "failing allocation " << nth;
    if (outcome.status == BRINDLE_OK) {
      EXPECT_LT(allocator.calls(), nth) << "the failing call was never made";
      break;
    }
    ++failures;
    EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED) << "failing allocation " << nth;
    const std::string message = outcome.error.message;
    EXPECT_TRUE(message == "failed to allocate string" ||
                message == "failed to allocate array string" || message == "failed to grow array")
        << message;
    ASSERT_LT(nth, 1000u);
  }
  // 3 strings, 9 array strings, 7 array buffers with their growth, 3 object labels.
  EXPECT_GT(failures, 20u);
}

TEST(AllocationFailures, EveryAllocationOfAParseCanFail) {
  expect_each_failure_is_clean(0);
}

TEST(AllocationFailures, AlsoWhenFedByteByByte) {
  expect_each_failure_is_clean(1);
}

TEST(AllocationFailures, FailedAppendLeavesTheArrayAsItWas) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  All record;
  // Five integers: the fifth needs the buffer to grow from 4 to 8 (one reallocation).
  allocator.fail_once(2);
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"ints\":[1,2,3,4,5]}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(outcome.error.message, "failed to grow array");
  EXPECT_EQ(record.ints.count, 4u);
  EXPECT_EQ(record.ints.capacity, 4u);
  EXPECT_EQ(item<int64_t>(record.ints, 3), 4);
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(AllocationFailures, ParserStateAllocationCanFail) {
  stavo_test::TestAllocator allocator;
  allocator.fail_once(1);
  EXPECT_EQ(brindle__parser_new(allocator.get()), nullptr);
  brindle_parser *parser = brindle__parser_new(allocator.get());
  ASSERT_NE(parser, nullptr);
  EXPECT_EQ(allocator.stats().allocations, 1u);
  EXPECT_GT(allocator.stats().current_bytes, 4096u);
  brindle__parser_delete(parser);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.stats().frees, 1u);
}

TEST(AllocationFailures, StatisticsOnlyAllocatorCountsBlocks) {
  // An allocator record with no callbacks is the system allocator; its statistics still count.
  brindle_alloc_stats stats{};
  brindle_allocator counting{};
  counting.stats = &stats;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &counting;
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"s\":\"abc\"}", &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(stats.allocations, 1u);
  EXPECT_EQ(stats.current_bytes, 4u);
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(stats.current_bytes, 0u);
  EXPECT_EQ(stats.peak_bytes, 4u);
}

}  // namespace
