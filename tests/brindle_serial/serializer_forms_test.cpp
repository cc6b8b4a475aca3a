// The serializer's output forms: argument checks, fixed buffers with their overflow policies,
// owned and allocated buffers with their limits and allocators, FILE* and path output, sinks
// that truncate or fail, and JSON Lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "serial_support.h"
#include "test_allocator.h"

namespace {

using serial_test::collect;
using serial_test::Collected;

struct Pair {
  int64_t n;
  char *s;
};
const brindle_field kPairFields[] = {BRINDLE_DECL_I64(Pair, n, "n", 0),
                                     BRINDLE_DECL_STRING(Pair, s, "s", 0)};
const brindle_map kPairMap = BRINDLE_MAP("pair", Pair, kPairFields);

// {"n":12345,"s":"abcdefgh"} is 26 bytes.
Pair sample() {
  static char text[] = "abcdefgh";
  return Pair{12345, text};
}
const std::string kSampleText = "{\"n\":12345,\"s\":\"abcdefgh\"}";

std::string temp_path(const char *name) {
  return std::string(::testing::TempDir()) + "brindle-serial-" + std::to_string(getpid()) + "-" +
         name;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(SerializerForms, ArgumentChecksComeBeforeAnyOutput) {
  Pair record = sample();
  Collected collected;
  brindle_error error;
  char buffer[64];
  EXPECT_EQ(brindle_serialize_sink(nullptr, &record, collect, &collected, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map, source, and sink are required");
  EXPECT_EQ(brindle_serialize_sink(&kPairMap, &record, nullptr, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, nullptr, 10, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "output buffer and capacity are required");
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, buffer, 0, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_serialize_owned(&kPairMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "output buffer handle is required");
  EXPECT_EQ(brindle_serialize_filep(&kPairMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "file pointer is required");
  EXPECT_EQ(brindle_serialize_path(&kPairMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "path is required");

  // A partial allocator is rejected by every form that takes options.
  stavo_test::TestAllocator allocator;
  brindle_allocator partial = *allocator.get();
  partial.realloc = nullptr;
  brindle_write_options options = brindle_default_write_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_serialize_sink(&kPairMap, &record, collect, &collected, &options, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");
  EXPECT_EQ(brindle_serialize_alloc(&kPairMap, &record, nullptr, &options, &error), nullptr);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

  // Invalid layouts: a kind past the last one, a member that ends past the record.
  const brindle_field bad_kind[] = {{"x", 1, 'x', 'x', 0, 18, 0, 0, 0, 0, 0, nullptr, nullptr, 0}};
  const brindle_map bad_kind_map = {"bad", sizeof(Pair), bad_kind, 1};
  const brindle_field past_end[] = {
      {"x", 1, 'x', 'x', sizeof(Pair) - 7, BRINDLE_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0}};
  const brindle_map past_end_map = {"bad", sizeof(Pair), past_end, 1};
  for (const brindle_map *map : {&bad_kind_map, &past_end_map}) {
    EXPECT_EQ(brindle_serialize_sink(map, &record, collect, &collected, nullptr, &error),
              BRINDLE_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");
  }
  EXPECT_EQ(collected.calls, 0u);
  // A fixed buffer is emptied at once even when the layout is rejected.
  buffer[0] = 'x';
  EXPECT_EQ(brindle_serialize_buffer(&bad_kind_map, &record, buffer, sizeof(buffer), nullptr,
                                     nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(SerializerForms, ErrorRecordIsClearedFirst) {
  Pair record = sample();
  Collected collected;
  brindle_error error;
  std::memset(&error, 0x5a, sizeof(error));
  ASSERT_EQ(brindle_serialize_sink(&kPairMap, &record, collect, &collected, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(error.code, BRINDLE_OK);
  EXPECT_EQ(error.truncated, 0);
  EXPECT_EQ(error.system_errno, 0);
  EXPECT_STREQ(error.message, "");
}

TEST(SerializerForms, FixedBufferTooSmallFailsTruncatesOrTruncatesSilently) {
  Pair record = sample();
  std::vector<char> buffer(kSampleText.size());  // no room for the NUL
  size_t length = 0;
  brindle_error error;
  brindle_write_options options = brindle_default_write_options();
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, buffer.data(), buffer.size(), &length,
                                     &options, &error),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "output buffer too small");
  EXPECT_EQ(length, kSampleText.size());
  EXPECT_EQ(std::string(buffer.data()), kSampleText.substr(0, buffer.size() - 1));

  options.overflow = 1;
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, buffer.data(), buffer.size(), &length,
                                     &options, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(error.code, BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(length, kSampleText.size());
  EXPECT_EQ(std::string(buffer.data()), kSampleText.substr(0, buffer.size() - 1));

  options.overflow = 2;
  char tiny[5];
  EXPECT_EQ(
      brindle_serialize_buffer(&kPairMap, &record, tiny, sizeof(tiny), &length, &options, &error),
      BRINDLE_OK);
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(length, kSampleText.size());
  EXPECT_STREQ(tiny, "{\"n\"");

  // One more byte is enough.
  buffer.resize(kSampleText.size() + 1);
  options.overflow = 0;
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, buffer.data(), buffer.size(), &length,
                                     &options, &error),
            BRINDLE_OK);
  EXPECT_EQ(std::string(buffer.data()), kSampleText);
  // A capacity of one holds only the NUL.
  char one[1] = {'x'};
  options.overflow = 1;
  EXPECT_EQ(brindle_serialize_buffer(&kPairMap, &record, one, 1, &length, &options, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(one[0], '\0');
}

TEST(SerializerForms, PrettyFixedBufferTruncatesToTheSamePrefix) {
  Pair record = sample();
  brindle_write_options options = serial_test::options(true);
  const std::string full = serial_test::via_sink(&kPairMap, &record, true);
  options.overflow = 1;
  for (size_t capacity = 1; capacity <= full.size() + 1; ++capacity) {
    std::vector<char> buffer(capacity);
    size_t length = 0;
    const brindle_status status = brindle_serialize_buffer(&kPairMap, &record, buffer.data(),
                                                           capacity, &length, &options, nullptr);
    EXPECT_EQ(status, capacity > full.size() ? BRINDLE_OK : BRINDLE_TRUNCATED);
    EXPECT_EQ(length, full.size());
    EXPECT_EQ(std::string(buffer.data()), full.substr(0, capacity - 1));
  }
}

TEST(SerializerForms, OwnedBufferLimitsAllocatorAndGrowth) {
  Pair record = sample();
  stavo_test::TestAllocator allocator;
  brindle_write_options options = brindle_default_write_options();
  options.allocator = allocator.get();
  options.max_output_bytes = 10;
  brindle_owned_buffer owned;
  brindle_error error;
  EXPECT_EQ(brindle_serialize_owned(&kPairMap, &record, &owned, &options, &error),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "serializer-owned output exceeds max_output_bytes");
  EXPECT_EQ(owned.data, nullptr);
  EXPECT_EQ(owned.length, 0u);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);

  // Exactly the limit is allowed; the capacity is capped at limit + 1.
  options.max_output_bytes = kSampleText.size();
  ASSERT_EQ(brindle_serialize_owned(&kPairMap, &record, &owned, &options, &error), BRINDLE_OK);
  EXPECT_EQ(std::string(owned.data, owned.length), kSampleText);
  EXPECT_EQ(owned.data[owned.length], '\0');
  EXPECT_EQ(owned.capacity, kSampleText.size() + 1);
  EXPECT_EQ(allocator.stats().current_bytes, owned.capacity);
  EXPECT_EQ(owned.ctx, allocator.get()->ctx);
  EXPECT_EQ(owned.stats, allocator.get()->stats);
  brindle_owned_buffer_free(&owned);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);

  // A 5000-byte string grows the buffer from 2048 by doubling.
  std::string big(5000, 'x');
  record.s = big.data();
  options.max_output_bytes = 0;  // the 8 MiB default
  ASSERT_EQ(brindle_serialize_owned(&kPairMap, &record, &owned, &options, &error), BRINDLE_OK);
  EXPECT_EQ(owned.length, 5000u + 18u);
  EXPECT_EQ(owned.capacity, 8192u);
  brindle_owned_buffer_free(&owned);

  // Allocation failure: no buffer, nothing leaked.
  allocator.fail_from(2);
  EXPECT_EQ(brindle_serialize_owned(&kPairMap, &record, &owned, &options, &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to grow output buffer");
  EXPECT_EQ(owned.data, nullptr);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(SerializerForms, AllocatedStringsUseTheSystemAllocatorOnly) {
  Pair record = sample();
  size_t length = 0;
  brindle_error error;
  char *text = brindle_serialize_alloc(&kPairMap, &record, &length, nullptr, &error);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), kSampleText);
  EXPECT_EQ(length, kSampleText.size());
  std::free(text);

  // The library's own default allocator record is accepted.
  const brindle_allocator system = brindle_default_allocator();
  brindle_write_options options = brindle_default_write_options();
  options.allocator = &system;
  text = brindle_serialize_alloc(&kPairMap, &record, &length, &options, &error);
  ASSERT_NE(text, nullptr);
  std::free(text);

  stavo_test::TestAllocator allocator;
  options.allocator = allocator.get();
  EXPECT_EQ(brindle_serialize_alloc(&kPairMap, &record, &length, &options, &error), nullptr);
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message,
               "serialize_alloc uses the default allocator only; use serialize_owned for custom "
               "allocators");
  EXPECT_EQ(brindle_serialize_jsonl_alloc(&kPairMap, &record, 1, 0, &length, &options, &error),
            nullptr);
  EXPECT_STREQ(error.message,
               "serialize_jsonl_alloc uses the default allocator only; use "
               "serialize_jsonl_owned for custom allocators");
  EXPECT_EQ(allocator.calls(), 0u);

  options.allocator = nullptr;
  options.max_output_bytes = 5;
  EXPECT_EQ(brindle_serialize_alloc(&kPairMap, &record, &length, &options, &error), nullptr);
  EXPECT_EQ(error.code, BRINDLE_OVERFLOW);
}

TEST(SerializerForms, SinkTruncationGoesOnAndSinkFailureStops) {
  Pair record = sample();
  Collected truncating;
  truncating.truncate = true;
  brindle_error error;
  EXPECT_EQ(brindle_serialize_sink(&kPairMap, &record, collect, &truncating, nullptr, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(truncating.text, kSampleText);

  Collected failing;
  failing.fail_at = 3;
  failing.fail_status = BRINDLE_IO_ERROR;
  EXPECT_EQ(brindle_serialize_sink(&kPairMap, &record, collect, &failing, nullptr, &error),
            BRINDLE_IO_ERROR);
  EXPECT_EQ(failing.calls, 3u);
}

TEST(SerializerForms, FileAndPathOutput) {
  Pair record = sample();
  brindle_error error;
  const std::string path = temp_path("pair.json");
  ASSERT_EQ(brindle_serialize_path(&kPairMap, &record, path.c_str(), nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(read_file(path), kSampleText);
  // The path form truncates an existing file.
  Pair small{1, nullptr};
  ASSERT_EQ(brindle_serialize_path(&kPairMap, &small, path.c_str(), nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(read_file(path), "{\"n\":1,\"s\":null}");

  FILE *file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("head:", file);
  ASSERT_EQ(brindle_serialize_filep(&kPairMap, &record, file, nullptr, &error), BRINDLE_OK);
  std::fclose(file);  // the FILE* form neither flushes nor closes
  EXPECT_EQ(read_file(path), "head:" + kSampleText);
  std::remove(path.c_str());

  const std::string missing = temp_path("no-such-dir/x.json");
  EXPECT_EQ(brindle_serialize_path(&kPairMap, &record, missing.c_str(), nullptr, &error),
            BRINDLE_IO_ERROR);
  EXPECT_EQ(error.system_errno, ENOENT);
  EXPECT_EQ(std::string(error.message), "failed to open '" + missing + "' for writing");
}

TEST(SerializerForms, FullDeviceIsAWriteFailure) {
  FILE *full = std::fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "/dev/full is not available";
  std::setvbuf(full, nullptr, _IONBF, 0);
  Pair record = sample();
  brindle_error error;
  EXPECT_EQ(brindle_serialize_filep(&kPairMap, &record, full, nullptr, &error), BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to write JSON output");
  EXPECT_EQ(error.system_errno, ENOSPC);
  std::fclose(full);
}

TEST(SerializerForms, JsonLinesEveryFormAndArgumentChecks) {
  struct Wide {
    Pair pair;
    int64_t padding;
  };
  Wide items[3] = {{{1, nullptr}, 0}, {{2, nullptr}, 0}, {{3, nullptr}, 0}};
  const std::string expected = "{\"n\":1,\"s\":null}\n{\"n\":2,\"s\":null}\n{\"n\":3,\"s\":null}\n";
  Collected collected;
  brindle_error error;
  ASSERT_EQ(brindle_serialize_jsonl_sink(&kPairMap, items, 3, sizeof(Wide), collect, &collected,
                                         nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(collected.text, expected);

  char buffer[128];
  size_t length = 0;
  ASSERT_EQ(brindle_serialize_jsonl_buffer(&kPairMap, items, 3, sizeof(Wide), buffer,
                                           sizeof(buffer), &length, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(std::string(buffer, length), expected);
  // The last newline needs two free bytes: the newline and the NUL.
  EXPECT_EQ(brindle_serialize_jsonl_buffer(&kPairMap, items, 3, sizeof(Wide), buffer,
                                           expected.size(), &length, nullptr, &error),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "output buffer too small");
  EXPECT_EQ(length, expected.size());

  brindle_owned_buffer owned;
  ASSERT_EQ(
      brindle_serialize_jsonl_owned(&kPairMap, items, 3, sizeof(Wide), &owned, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(std::string(owned.data, owned.length), expected);
  brindle_owned_buffer_free(&owned);

  char *text =
      brindle_serialize_jsonl_alloc(&kPairMap, items, 3, sizeof(Wide), &length, nullptr, &error);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), expected);
  std::free(text);

  const std::string path = temp_path("lines.jsonl");
  ASSERT_EQ(brindle_serialize_jsonl_path(&kPairMap, items, 3, sizeof(Wide), path.c_str(), nullptr,
                                         &error),
            BRINDLE_OK);
  EXPECT_EQ(read_file(path), expected);
  std::remove(path.c_str());

  // Pretty records span lines and are each followed by a newline.
  const brindle_write_options pretty = serial_test::options(true);
  collected = Collected{};
  ASSERT_EQ(brindle_serialize_jsonl_sink(&kPairMap, items, 2, sizeof(Wide), collect, &collected,
                                         &pretty, &error),
            BRINDLE_OK);
  EXPECT_EQ(collected.text, "{\n  \"n\": 1,\n  \"s\": null\n}\n{\n  \"n\": 2,\n  \"s\": null\n}\n");

  // Stride 0 means the map's record size.
  Pair packed[2] = {{5, nullptr}, {6, nullptr}};
  collected = Collected{};
  ASSERT_EQ(
      brindle_serialize_jsonl_sink(&kPairMap, packed, 2, 0, collect, &collected, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(collected.text, "{\"n\":5,\"s\":null}\n{\"n\":6,\"s\":null}\n");

  // Count 0 writes nothing and succeeds, even without items; the growing forms give "".
  collected = Collected{};
  EXPECT_EQ(
      brindle_serialize_jsonl_sink(&kPairMap, nullptr, 0, 0, collect, &collected, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(collected.calls, 0u);
  text = brindle_serialize_jsonl_alloc(&kPairMap, nullptr, 0, 0, &length, nullptr, &error);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0u);
  std::free(text);

  EXPECT_EQ(brindle_serialize_jsonl_sink(&kPairMap, items, 2, sizeof(Pair) - 1, collect, &collected,
                                         nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "stride must be at least map->struct_size");
  EXPECT_EQ(
      brindle_serialize_jsonl_sink(&kPairMap, nullptr, 2, 0, collect, &collected, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "items are required when count is non-zero");
  EXPECT_EQ(
      brindle_serialize_jsonl_sink(nullptr, items, 2, 0, collect, &collected, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map and sink are required");
  EXPECT_EQ(collected.calls, 0u);
}

TEST(SerializerForms, JsonLinesStopAtTheFirstFailingRecord) {
  struct Real {
    double d;
  };
  static const brindle_field fields[] = {BRINDLE_DECL_F64(Real, d, "d", 0)};
  static const brindle_map map = BRINDLE_MAP("real", Real, fields);
  Real items[3] = {{1.0}, {std::numeric_limits<double>::quiet_NaN()}, {3.0}};
  Collected collected;
  brindle_error error;
  EXPECT_EQ(brindle_serialize_jsonl_sink(&map, items, 3, 0, collect, &collected, nullptr, &error),
            BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(collected.text, "{\"d\":1}\n{\"d\":");
}

}  // namespace
