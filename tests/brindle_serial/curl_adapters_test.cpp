// The libcurl adapters called the way libcurl calls them, without a transfer: write callbacks
// in pieces of any size, failures that stick, read callbacks with tiny buffers.
#include <gtest/gtest.h>

#include <limits>

#include "serial_support.h"
#include "test_allocator.h"

namespace {

struct Item {
  int64_t id;
  char *name;
  brindle_array scores;
};
const brindle_field kItemFields[] = {
    BRINDLE_DECL_I64(Item, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Item, name, "name", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_ARRAY(Item, scores, "scores", BRINDLE_FIELD_F64_ARRAY, 0),
};
const brindle_map kItemMap = BRINDLE_MAP("item", Item, kItemFields);

const char kBody[] =
    "{ \"id\" : 42, \"name\" : \"caf\\u00e9 \\\"x\\\"\", \"scores\": [1.5, -2e3] }";
const char kCompact[] = "{\"id\":42,\"name\":\"caf\xc3\xa9 \\\"x\\\"\",\"scores\":[1.5,-2000]}";

std::string parse_in_pieces(size_t piece) {
  Item item;
  brindle_curl_parse adapter;
  EXPECT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  std::string body = kBody;
  for (size_t at = 0; at < body.size(); at += piece) {
    const size_t n = std::min(piece, body.size() - at);
    EXPECT_EQ(brindle_curl_write_callback(&body[at], 1, n, &adapter), n);
  }
  EXPECT_EQ(brindle_curl_parse_finish(&adapter), BRINDLE_OK) << adapter.error.message;
  brindle_curl_parse_cleanup(&adapter);
  EXPECT_EQ(adapter.parser, nullptr);
  const std::string text = serial_test::via_sink(&kItemMap, &item, false);
  brindle_cleanup(&kItemMap, &item);
  return text;
}

TEST(CurlAdapters, ResponseBodyInOneByteCallsParsesLikeOneCall) {
  EXPECT_EQ(parse_in_pieces(1), kCompact);
  EXPECT_EQ(parse_in_pieces(3), kCompact);
  EXPECT_EQ(parse_in_pieces(sizeof(kBody)), kCompact);
}

TEST(CurlAdapters, SizeTimesCountIsAccepted) {
  Item item;
  brindle_curl_parse adapter;
  ASSERT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  char body[] = "{\"id\":7}";  // 8 bytes as 2 elements of 4
  EXPECT_EQ(brindle_curl_write_callback(body, 4, 2, &adapter), 8u);
  EXPECT_EQ(brindle_curl_write_callback(body, 0, 5, &adapter), 0u);
  EXPECT_EQ(brindle_curl_parse_finish(&adapter), BRINDLE_OK);
  EXPECT_EQ(item.id, 7);
  brindle_curl_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST(CurlAdapters, WriteCallbackAfterAParserFailureKeepsReturningZero) {
  Item item;
  brindle_curl_parse adapter;
  ASSERT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  char bad[] = "{\"id\":\"text\"}";
  EXPECT_EQ(brindle_curl_write_callback(bad, 1, sizeof(bad) - 1, &adapter), 0u);
  EXPECT_EQ(adapter.error.code, BRINDLE_TYPE_MISMATCH);
  const std::string message = adapter.error.message;
  EXPECT_FALSE(message.empty());
  char good[] = "{\"id\":1}";
  EXPECT_EQ(brindle_curl_write_callback(good, 1, sizeof(good) - 1, &adapter), 0u);
  EXPECT_EQ(adapter.error.message, message);
  EXPECT_NE(brindle_curl_parse_finish(&adapter), BRINDLE_OK);
  brindle_curl_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);

  // A body that ends early is reported by finish.
  ASSERT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  char partial[] = "{\"id\":1";
  EXPECT_EQ(brindle_curl_write_callback(partial, 1, sizeof(partial) - 1, &adapter),
            sizeof(partial) - 1);
  EXPECT_EQ(brindle_curl_parse_finish(&adapter), BRINDLE_INVALID_JSON);
  EXPECT_EQ(adapter.error.code, BRINDLE_INVALID_JSON);
  brindle_curl_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST(CurlAdapters, ParseArgumentChecksAndAllocator) {
  Item item;
  brindle_curl_parse adapter;
  EXPECT_EQ(brindle_curl_parse_init(nullptr, &kItemMap, &item, nullptr), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_parse_init(&adapter, nullptr, &item, nullptr), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(adapter.error.message, "map and destination are required");
  EXPECT_EQ(adapter.parser, nullptr);
  char byte = '{';
  EXPECT_EQ(brindle_curl_write_callback(&byte, 1, 1, &adapter), 0u);
  EXPECT_EQ(brindle_curl_write_callback(&byte, 1, 1, nullptr), 0u);
  EXPECT_EQ(brindle_curl_parse_finish(&adapter), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_parse_finish(nullptr), BRINDLE_INVALID_ARGUMENT);
  brindle_curl_parse_cleanup(nullptr);

  stavo_test::TestAllocator allocator;
  brindle_allocator partial = *allocator.get();
  partial.malloc = nullptr;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, &options),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(adapter.error.message, "allocator must provide either all callbacks or none");

  options.allocator = allocator.get();
  allocator.fail_once(1);
  EXPECT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, &options),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(adapter.error.message, "failed to allocate parser");
  EXPECT_EQ(adapter.parser, nullptr);

  // With a working allocator, the parser state and the record's strings come from it.
  ASSERT_EQ(brindle_curl_parse_init(&adapter, &kItemMap, &item, &options), BRINDLE_OK);
  char body[] = "{\"id\":3,\"name\":\"n\"}";
  EXPECT_EQ(brindle_curl_write_callback(body, 1, sizeof(body) - 1, &adapter), sizeof(body) - 1);
  EXPECT_EQ(brindle_curl_parse_finish(&adapter), BRINDLE_OK);
  brindle_curl_parse_cleanup(&adapter);
  EXPECT_STREQ(item.name, "n");
  EXPECT_GT(allocator.stats().allocations, 1u);
  brindle_cleanup(&kItemMap, &item);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(CurlAdapters, ReadCallbackWithOneByteBuffersThenZero) {
  std::vector<double> scores{0.25};
  Item item{9, nullptr, serial_test::fixed_array(scores)};
  const std::string expected = serial_test::via_sink(&kItemMap, &item, false);
  brindle_curl_upload adapter;
  ASSERT_EQ(brindle_curl_upload_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_curl_upload_size(&adapter), -1);
  std::string sent;
  for (;;) {
    char byte = 0;
    const size_t n = brindle_curl_read_callback(&byte, 1, 1, &adapter);
    ASSERT_LE(n, 1u);
    if (n == 0) break;
    sent += byte;
  }
  EXPECT_EQ(sent, expected);
  char buffer[8];
  EXPECT_EQ(brindle_curl_read_callback(buffer, 1, sizeof(buffer), &adapter), 0u);
  EXPECT_EQ(brindle_curl_read_callback(buffer, 0, 0, &adapter), 0u);
  brindle_curl_upload_cleanup(&adapter);
  brindle_curl_upload_cleanup(nullptr);
  EXPECT_EQ(brindle_curl_upload_size(nullptr), -1);
}

TEST(CurlAdapters, ReadCallbackAbortsOnMisuseAndOnGeneratorFailure) {
  Item item{9, nullptr, {}};
  char buffer[64];
  EXPECT_EQ(brindle_curl_read_callback(buffer, 1, sizeof(buffer), nullptr),
            BRINDLE_CURL_READFUNC_ABORT);
  brindle_curl_upload adapter;
  EXPECT_EQ(brindle_curl_upload_init(&adapter, nullptr, &item, nullptr), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(adapter.generator.error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_curl_read_callback(buffer, 1, sizeof(buffer), &adapter),
            BRINDLE_CURL_READFUNC_ABORT);
  EXPECT_EQ(brindle_curl_upload_init(nullptr, &kItemMap, &item, nullptr), BRINDLE_INVALID_ARGUMENT);

  std::vector<double> scores{1.0, std::numeric_limits<double>::quiet_NaN()};
  item.scores = serial_test::fixed_array(scores);
  ASSERT_EQ(brindle_curl_upload_init(&adapter, &kItemMap, &item, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_curl_read_callback(nullptr, 1, 10, &adapter), BRINDLE_CURL_READFUNC_ABORT);
  EXPECT_EQ(brindle_curl_read_callback(buffer, 1, sizeof(buffer), &adapter),
            BRINDLE_CURL_READFUNC_ABORT);
  EXPECT_STREQ(adapter.generator.error.message,
               "non-finite double array element cannot be serialized");
  EXPECT_EQ(brindle_curl_read_callback(buffer, 1, sizeof(buffer), &adapter),
            BRINDLE_CURL_READFUNC_ABORT);
  brindle_curl_upload_cleanup(&adapter);
}

}  // namespace
