// Records filled by a caller for serialization: strings and array elements set through the
// library are freed by brindle_cleanup with the allocator that made them; caller storage is not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

std::string serialized(const All &record) {
  char buffer[4096];
  size_t length = 0;
  brindle_error error{};
  const brindle_status status =
      brindle_serialize_buffer(&kAllMap, &record, buffer, sizeof(buffer), &length, nullptr, &error);
  EXPECT_EQ(status, BRINDLE_OK) << error.message;
  return std::string(buffer, status == BRINDLE_OK ? length : 0);
}

}  // namespace

TEST(RecordFill, SetAppendSerializeAndCleanUp) {
  stavo_test::TestAllocator allocator;
  All record;
  brindle_init(&kAllMap, &record);
  brindle_error error{};
  ASSERT_EQ(brindle_string_set(&record.s, "first", 5, allocator.get(), &error), BRINDLE_OK);
  ASSERT_EQ(brindle_string_set(&record.s, "se\"cond", 7, allocator.get(), &error), BRINDLE_OK);
  for (const char *text : {"a", "", "ccc", "d", "e"}) {  // five: the array grows once
    ASSERT_EQ(
        brindle_string_array_append(&record.strs, text, std::strlen(text), allocator.get(), &error),
        BRINDLE_OK);
  }
  for (int64_t value : {1, -2, 3, 4, 5, 6}) {
    ASSERT_EQ(brindle_array_append(&record.ints, &value, sizeof(value), allocator.get(), &error),
              BRINDLE_OK);
  }
  const int32_t yes = 1;
  ASSERT_EQ(brindle_array_append(&record.bools, &yes, sizeof(yes), nullptr, &error), BRINDLE_OK);
  void *element = nullptr;
  ASSERT_EQ(
      brindle_object_array_append(&record.objs, &kNestedMap, allocator.get(), &element, &error),
      BRINDLE_OK);
  auto *nested = static_cast<Nested *>(element);
  nested->n = 9;
  ASSERT_EQ(brindle_string_set(&nested->label, "inner", 5, allocator.get(), &error), BRINDLE_OK);
  ASSERT_EQ(
      brindle_object_array_append(&record.objs, &kNestedMap, allocator.get(), &element, &error),
      BRINDLE_OK);
  static_cast<Nested *>(element)->n = 10;  // its label stays NULL

  const std::string json = serialized(record);
  EXPECT_NE(json.find("\"s\":\"se\\\"cond\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"strs\":[\"a\",\"\",\"ccc\",\"d\",\"e\"]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"ints\":[1,-2,3,4,5,6]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"bools\":[true]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"objs\":[{\"n\":9,\"label\":\"inner\"},{\"n\":10"), std::string::npos)
      << json;
  // What was written reads back into the same values.
  All parsed;
  ASSERT_EQ(brindle_parse_buffer(&kAllMap, &parsed, json.data(), json.size(), nullptr, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_STREQ(parsed.s, "se\"cond");
  ASSERT_EQ(parsed.strs.count, 5u);
  EXPECT_STREQ(item<char *>(parsed.strs, 2), "ccc");
  EXPECT_EQ(item<int64_t>(parsed.ints, 1), -2);
  brindle_cleanup(&kAllMap, &parsed);

  EXPECT_GT(allocator.stats().current_bytes, 0u);
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(record.s, nullptr);
  EXPECT_EQ(record.strs.count, 0u);
}

TEST(RecordFill, CallerStorageIsCopiedOrKept) {
  All record;
  brindle_init(&kAllMap, &record);
  brindle_error error{};
  // Caller elements without BRINDLE_ARRAY_OWNED: the first append copies them into a block.
  int64_t mine[2] = {7, 8};
  record.ints.items = mine;
  record.ints.count = 2;
  record.ints.capacity = 2;
  const int64_t nine = 9;
  ASSERT_EQ(brindle_array_append(&record.ints, &nine, sizeof(nine), nullptr, &error), BRINDLE_OK);
  EXPECT_NE(record.ints.items, static_cast<void *>(mine));
  EXPECT_EQ(item<int64_t>(record.ints, 0), 7);
  EXPECT_EQ(item<int64_t>(record.ints, 2), 9);
  EXPECT_EQ(mine[1], 8);
  // A fixed array takes elements up to its capacity, then refuses.
  double room[2];
  record.floats.items = room;
  record.floats.capacity = 2;
  record.floats.flags = BRINDLE_ARRAY_FIXED;
  for (double value : {1.5, 2.5}) {
    ASSERT_EQ(brindle_array_append(&record.floats, &value, sizeof(value), nullptr, &error),
              BRINDLE_OK);
  }
  const double more = 3.5;
  EXPECT_EQ(brindle_array_append(&record.floats, &more, sizeof(more), nullptr, &error),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "array capacity exceeded");
  EXPECT_EQ(record.floats.count, 2u);
  EXPECT_EQ(room[1], 2.5);
  // A literal set by the caller is taken out again before cleanup, as the header says.
  record.s = const_cast<char *>("literal");
  EXPECT_NE(serialized(record).find("\"s\":\"literal\""), std::string::npos);
  record.s = nullptr;
  brindle_cleanup(&kAllMap, &record);  // frees the copied ints, leaves room alone
  EXPECT_EQ(record.floats.count, 0u);
}

TEST(RecordFill, FailuresLeaveTheMemberAsItWas) {
  brindle_error error{};
  EXPECT_EQ(brindle_string_set(nullptr, "x", 1, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "string member is required");
  char *member = nullptr;
  EXPECT_EQ(brindle_string_set(&member, nullptr, 3, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "text is required");
  ASSERT_EQ(brindle_string_set(&member, nullptr, 0, nullptr, &error), BRINDLE_OK);
  EXPECT_STREQ(member, "");
  brindle_allocator partial{};
  partial.malloc = [](void *, size_t size) { return std::malloc(size); };
  EXPECT_EQ(brindle_string_set(&member, "x", 1, &partial, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

  stavo_test::TestAllocator allocator;
  ASSERT_EQ(brindle_string_set(&member, "kept", 4, allocator.get(), &error), BRINDLE_OK);
  allocator.fail_once(1);
  EXPECT_EQ(brindle_string_set(&member, "lost", 4, allocator.get(), &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to allocate string");
  EXPECT_STREQ(member, "kept");

  brindle_array strings{};
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(brindle_string_array_append(&strings, "s", 1, allocator.get(), &error), BRINDLE_OK);
  }
  allocator.fail_once(1);  // the array's growth
  EXPECT_EQ(brindle_string_array_append(&strings, "t", 1, allocator.get(), &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to grow array");
  allocator.fail_once(2);  // the string's copy, after the growth
  EXPECT_EQ(brindle_string_array_append(&strings, "t", 1, allocator.get(), &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to allocate array string");
  EXPECT_EQ(strings.count, 4u);
  void *element = nullptr;
  EXPECT_EQ(brindle_object_array_append(nullptr, &kNestedMap, nullptr, &element, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_array_append(&strings, nullptr, 8, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array and element are required");

  // Everything made goes back through cleanup of a record holding these members.
  All record;
  brindle_init(&kAllMap, &record);
  record.s = member;
  record.strs = strings;
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}
