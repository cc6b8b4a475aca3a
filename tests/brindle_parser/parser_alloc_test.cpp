// Every allocation made for a record goes through the caller's allocator: failing the 1st, 2nd,
// ... Nth one gives BRINDLE_ALLOCATION_FAILED, and cleanup returns every byte.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
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

// Fresh storage full of garbage: object array elements must come out initialised however
// their map is initialised (zeroing for plain maps, member by member for the others).
void fill(void *block, size_t from, size_t to) {
  if (block != nullptr && to > from)
    std::memset(static_cast<char *>(block) + from, 0xA5, to - from);
}
void *garbage_malloc(void *, size_t size) {
  void *block = std::malloc(size);
  fill(block, 0, size);
  return block;
}
void *garbage_realloc(void *, void *block, size_t size) {
  const size_t old = block != nullptr ? malloc_usable_size(block) : 0;
  void *grown = std::realloc(block, size);
  fill(grown, old, size);
  return grown;
}
void garbage_free(void *, void *block) {
  std::free(block);
}

struct Plain {
  char *s;
  char fixed[4];
  int64_t i;
  uint64_t u;
  double f;
  int32_t b;
  brindle_array ints;
  brindle_array strs;
  int64_t pi;
  int32_t pi_present;
};
const brindle_field kPlainFields[] = {
    BRINDLE_DECL_STRING(Plain, s, "s", 0),
    BRINDLE_DECL_FIXED_STRING(Plain, fixed, "fixed", 0, BRINDLE_OVERFLOW_TRUNCATE),
    BRINDLE_DECL_I64(Plain, i, "i", 0),
    BRINDLE_DECL_U64(Plain, u, "u", 0),
    BRINDLE_DECL_F64(Plain, f, "f", 0),
    BRINDLE_DECL_BOOL(Plain, b, "b", 0),
    BRINDLE_DECL_ARRAY(Plain, ints, "ints", BRINDLE_FIELD_I64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Plain, strs, "strs", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_PRESENT(Plain, pi, "pi", BRINDLE_FIELD_I64, 0, pi_present),
};
const brindle_map kPlainMap = BRINDLE_MAP("plain_json", Plain, kPlainFields);

struct Lists {
  brindle_object_array plains;
  brindle_object_array alls;
};
const brindle_field kListsFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Lists, plains, "plains", 0, &kPlainMap, Plain),
    BRINDLE_DECL_OBJECT_ARRAY(Lists, alls, "alls", 0, &kAllMap, All),
};
const brindle_map kListsMap = BRINDLE_MAP("lists_json", Lists, kListsFields);

TEST(ElementInit, NewElementsStartEmptyInGarbageStorage) {
  brindle_allocator garbage{garbage_malloc, garbage_realloc, garbage_free, nullptr, nullptr};
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &garbage;
  std::string document =
      "{\"plains\":[{\"s\":\"a\",\"fixed\":\"xyz\",\"i\":-1,\"u\":2,"
      "\"f\":0.5,\"b\":true,\"ints\":[1,2],\"strs\":[\"q\"],\"pi\":7}";
  for (int n = 1; n < 13; ++n)
    document += n % 4 == 0 ? ",{\"i\":" + std::to_string(n) + "}" : ",{}";
  document += "],\"alls\":[{\"i\":1,\"objs\":[{\"n\":1}]},{},{},{},{},{}]}";
  for (size_t chunk : {0u, 7u}) {
    Lists lists;
    const Outcome outcome = feed_in_chunks(&kListsMap, &lists, document, chunk, &options);
    ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
    ASSERT_EQ(lists.plains.count, 13u);
    const auto *plains = static_cast<const Plain *>(lists.plains.items);
    EXPECT_STREQ(plains[0].s, "a");
    EXPECT_STREQ(plains[0].fixed, "xyz");
    EXPECT_EQ(plains[0].ints.count, 2u);
    EXPECT_EQ(plains[0].pi_present, 1);
    for (size_t n = 1; n < 13; ++n) {
      const Plain &p = plains[n];
      EXPECT_EQ(p.s, nullptr) << n;
      EXPECT_EQ(p.fixed[0], '\0') << n;
      EXPECT_EQ(p.i, n % 4 == 0 ? static_cast<int64_t>(n) : 0) << n;
      EXPECT_EQ(p.u, 0u) << n;
      EXPECT_EQ(p.f, 0.0) << n;
      EXPECT_EQ(p.b, 0) << n;
      EXPECT_EQ(p.ints.items, nullptr) << n;
      EXPECT_EQ(p.ints.count, 0u) << n;
      EXPECT_EQ(p.ints.capacity, 0u) << n;
      EXPECT_EQ(p.ints.flags, 0) << n;
      EXPECT_EQ(p.strs.items, nullptr) << n;
      EXPECT_EQ(p.strs.count, 0u) << n;
      EXPECT_EQ(p.pi, 0) << n;
      EXPECT_EQ(p.pi_present, 0) << n;
    }
    ASSERT_EQ(lists.alls.count, 6u);
    const auto *alls = static_cast<const All *>(lists.alls.items);
    EXPECT_EQ(alls[0].objs.count, 1u);
    for (size_t n = 1; n < 6; ++n) {
      EXPECT_EQ(alls[n].s, nullptr) << n;
      EXPECT_EQ(alls[n].obj.label, nullptr) << n;
      EXPECT_EQ(alls[n].objs.count, 0u) << n;
      EXPECT_EQ(alls[n].objs.element_size, sizeof(Nested)) << n;
      EXPECT_EQ(alls[n].pi_present, 0) << n;
    }
    brindle_cleanup(&kListsMap, &lists);
  }
}

}  // namespace
