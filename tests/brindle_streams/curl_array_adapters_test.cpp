// The libcurl array adapters as libcurl calls them: initialisation and its checks, write calls
// of any size (one byte each gives what one call gives), all-or-nothing acceptance, the first
// failure kept, finish and cleanup.
#include <gtest/gtest.h>

#include "brindle_curl.h"
#include "streams_support.h"

namespace {

using streams_test::describe;
using streams_test::Item;
using streams_test::kItemMap;

std::vector<std::string> strings(std::initializer_list<const char *> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

int collect_item(void *user, void *destination) {
  static_cast<std::vector<std::string> *>(user)->push_back(
      describe(*static_cast<Item *>(destination)));
  return 0;
}

int collect_string(void *user, const char *text, size_t length) {
  static_cast<std::vector<std::string> *>(user)->emplace_back(text, length);
  return 0;
}

struct Chunks {
  std::vector<std::string> items;
  std::string current;
};
brindle_status chunks_begin(void *user, brindle_error *) {
  static_cast<Chunks *>(user)->current.clear();
  return BRINDLE_OK;
}
brindle_status chunks_bytes(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<Chunks *>(user)->current.append(bytes, length);
  return BRINDLE_OK;
}
brindle_status chunks_end(void *user, brindle_error *) {
  auto *chunks = static_cast<Chunks *>(user);
  chunks->items.push_back(chunks->current);
  return BRINDLE_OK;
}
const brindle_array_string_handlers kHandlers{chunks_begin, chunks_bytes, chunks_end};

const std::string kBody =
    "{\"count\":3,\"items\":[{\"id\":1,\"name\":\"a\\u00e9\"},{\"id\":2,\"tags\":[\"x\"]},"
    "{\"id\":3}],\"next\":null}";

// Delivers body through the write callback in calls of piece bytes (size 1, count piece).
template <typename Adapter>
bool deliver(size_t (*write)(char *, size_t, size_t, void *), Adapter *adapter,
             const std::string &body, size_t piece) {
  std::string copy = body;
  for (size_t start = 0; start < copy.size(); start += piece) {
    const size_t n = std::min(piece, copy.size() - start);
    if (write(copy.data() + start, 1, n, adapter) != n) return false;
  }
  return true;
}

TEST(CurlArrayAdapter, OneByteWritesGiveWhatOneWriteGives) {
  std::vector<std::vector<std::string>> runs;
  for (size_t piece : {kBody.size(), size_t{1}, size_t{2}, size_t{13}}) {
    std::vector<std::string> seen;
    Item item{};
    brindle_curl_array_parse adapter;
    ASSERT_EQ(brindle_curl_array_parse_init(&adapter, "items", &kItemMap, &item, nullptr,
                                            collect_item, &seen),
              BRINDLE_OK);
    EXPECT_TRUE(deliver(brindle_curl_array_write_callback, &adapter, kBody, piece));
    EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_OK);
    EXPECT_EQ(adapter.error.code, BRINDLE_OK);
    brindle_curl_array_parse_cleanup(&adapter);
    EXPECT_EQ(adapter.stream, nullptr);
    brindle_cleanup(&kItemMap, &item);
    runs.push_back(seen);
  }
  EXPECT_EQ(runs[0], strings({"1|a\xC3\xA9||", "2|<null>|x|", "3|<null>||"}));
  for (const auto &run : runs)
    EXPECT_EQ(run, runs[0]);
}

TEST(CurlArrayAdapter, StringAdaptersInAnySlices) {
  const std::string body = "[\"one\",\"t\\u0077o\",\"\",\"three \\\"q\\\"\"]";
  const std::vector<std::string> expected = {"one", "two", "", "three \"q\""};
  for (size_t piece : {body.size(), size_t{1}, size_t{5}}) {
    Chunks chunks;
    brindle_curl_string_array_parse array;
    ASSERT_EQ(brindle_curl_string_array_parse_init(&array, nullptr, nullptr, &kHandlers, &chunks),
              BRINDLE_OK);
    EXPECT_TRUE(deliver(brindle_curl_string_array_write_callback, &array, body, piece));
    EXPECT_EQ(brindle_curl_string_array_parse_finish(&array), BRINDLE_OK);
    brindle_curl_string_array_parse_cleanup(&array);
    EXPECT_EQ(chunks.items, expected);

    std::vector<std::string> whole;
    brindle_curl_string_items_parse items;
    ASSERT_EQ(brindle_curl_string_items_parse_init(&items, "", nullptr, collect_string, &whole),
              BRINDLE_OK);
    EXPECT_TRUE(deliver(brindle_curl_string_items_write_callback, &items, body, piece));
    EXPECT_EQ(brindle_curl_string_items_parse_finish(&items), BRINDLE_OK);
    brindle_curl_string_items_parse_cleanup(&items);
    EXPECT_EQ(whole, expected);
  }
}

TEST(CurlArrayAdapter, InitChecks) {
  Item item{};
  EXPECT_EQ(brindle_curl_array_parse_init(nullptr, nullptr, &kItemMap, &item, nullptr, collect_item,
                                          nullptr),
            BRINDLE_INVALID_ARGUMENT);
  brindle_curl_array_parse adapter;
  EXPECT_EQ(
      brindle_curl_array_parse_init(&adapter, nullptr, &kItemMap, &item, nullptr, nullptr, nullptr),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(adapter.error.message, "map, destination, and callback are required");
  EXPECT_EQ(adapter.stream, nullptr);
  EXPECT_EQ(brindle_curl_array_parse_init(&adapter, "a.b", &kItemMap, &item, nullptr, collect_item,
                                          nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(adapter.error.message, "array stream v1 supports only one direct path segment");
  brindle_allocator partial = brindle_default_allocator();
  partial.malloc = nullptr;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_curl_array_parse_init(&adapter, nullptr, &kItemMap, &item, &options,
                                          collect_item, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(adapter.error.message, "allocator must provide either all callbacks or none");

  brindle_curl_string_array_parse array;
  EXPECT_EQ(brindle_curl_string_array_parse_init(nullptr, nullptr, nullptr, &kHandlers, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_string_array_parse_init(&array, nullptr, nullptr, nullptr, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(array.error.message, "string chunk handler is required");
  const brindle_array_string_handlers no_chunk{chunks_begin, nullptr, chunks_end};
  EXPECT_EQ(brindle_curl_string_array_parse_init(&array, nullptr, nullptr, &no_chunk, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(array.error.message, "string chunk handler is required");

  brindle_curl_string_items_parse items;
  EXPECT_EQ(
      brindle_curl_string_items_parse_init(nullptr, nullptr, nullptr, collect_string, nullptr),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_string_items_parse_init(&items, nullptr, nullptr, nullptr, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(items.error.message, "string item callback is required");

  // Write, finish and cleanup on adapters that never opened, or on nothing at all.
  char byte = '[';
  EXPECT_EQ(brindle_curl_array_write_callback(&byte, 1, 1, &adapter), 0u);
  EXPECT_EQ(brindle_curl_array_write_callback(&byte, 1, 1, nullptr), 0u);
  EXPECT_EQ(brindle_curl_string_array_write_callback(&byte, 1, 1, &array), 0u);
  EXPECT_EQ(brindle_curl_string_items_write_callback(&byte, 1, 1, &items), 0u);
  EXPECT_EQ(brindle_curl_array_parse_finish(nullptr), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_string_array_parse_finish(&array), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(array.error.message, "string chunk handler is required") << "first failure kept";
  brindle_curl_array_parse_cleanup(nullptr);
  brindle_curl_string_array_parse_cleanup(&array);
  brindle_curl_string_items_parse_cleanup(nullptr);
}

TEST(CurlArrayAdapter, WritesAreAcceptedWholeOrNotAtAll) {
  std::vector<std::string> seen;
  Item item{};
  brindle_curl_array_parse adapter;
  ASSERT_EQ(brindle_curl_array_parse_init(&adapter, nullptr, &kItemMap, &item, nullptr,
                                          collect_item, &seen),
            BRINDLE_OK);
  char body[] = "[{\"id\":1},{\"id\":2,\"code\":\"abcdef\"},{\"id\":\"x\"},{\"id\":4}]";
  EXPECT_EQ(brindle_curl_array_write_callback(nullptr, 1, 4, &adapter), 0u);
  EXPECT_EQ(brindle_curl_array_write_callback(body, SIZE_MAX / 2, 3, &adapter), 0u);
  EXPECT_EQ(brindle_curl_array_write_callback(body, 1, 0, &adapter), 0u);
  EXPECT_EQ(adapter.error.code, BRINDLE_OK) << "refused calls do not fail the adapter";
  // A truncated element is accepted; size * count bytes count, not count alone.
  EXPECT_EQ(brindle_curl_array_write_callback(body, 2, 18, &adapter), 36u);
  EXPECT_EQ(seen, strings({"1|<null>||", "2|<null>||abc"}));
  EXPECT_EQ(adapter.error.truncated, 1);
  // The broken element fails the call; every later call fails too, and the first cause stays.
  EXPECT_EQ(brindle_curl_array_write_callback(body + 36, 1, sizeof(body) - 37, &adapter), 0u);
  EXPECT_EQ(adapter.error.code, BRINDLE_TYPE_MISMATCH);
  const std::string first = adapter.error.message;
  EXPECT_EQ(brindle_curl_array_write_callback(body, 1, 1, &adapter), 0u);
  EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(adapter.error.message, first);
  EXPECT_EQ(adapter.error.truncated, 1);
  EXPECT_EQ(seen.size(), 2u);
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST(CurlArrayAdapter, FinishReportsAnIncompleteBody) {
  std::vector<std::string> seen;
  brindle_curl_string_items_parse items;
  ASSERT_EQ(brindle_curl_string_items_parse_init(&items, "names", nullptr, collect_string, &seen),
            BRINDLE_OK);
  char body[] = "{\"names\":[\"a\",\"b";
  EXPECT_EQ(brindle_curl_string_items_write_callback(body, 1, sizeof(body) - 1, &items),
            sizeof(body) - 1);
  EXPECT_EQ(brindle_curl_string_items_parse_finish(&items), BRINDLE_INTERNAL_ERROR);
  EXPECT_STREQ(items.error.message, "push array stream blocked at EOF");
  EXPECT_EQ(seen, strings({"a"}));
  brindle_curl_string_items_parse_cleanup(&items);
  EXPECT_EQ(brindle_curl_string_items_parse_finish(&items), BRINDLE_INTERNAL_ERROR)
      << "after cleanup the first failure is still what finish reports";
}

TEST(CurlArrayAdapter, MissingItemCallbackAtWriteTime) {
  std::vector<std::string> seen;
  brindle_curl_string_items_parse items;
  ASSERT_EQ(brindle_curl_string_items_parse_init(&items, nullptr, nullptr, collect_string, &seen),
            BRINDLE_OK);
  items.item_callback = nullptr;
  char body[] = "[\"a\"]";
  EXPECT_EQ(brindle_curl_string_items_write_callback(body, 1, 5, &items), 0u);
  EXPECT_EQ(items.error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(items.error.message, "array stream and string item callback are required");
  EXPECT_EQ(brindle_curl_string_items_parse_finish(&items), BRINDLE_INVALID_ARGUMENT);
  brindle_curl_string_items_parse_cleanup(&items);
}

}  // namespace
