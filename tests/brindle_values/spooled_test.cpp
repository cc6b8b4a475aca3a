// Spooled values: the memory prefix, spilling to named and anonymous files, reading, writing to
// sinks, limits, failures and memory use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::StringSink;
using values_test::TempDir;

brindle_spool_options spool_options(size_t memory_limit, size_t max_bytes = 0,
                                    const char *temp_dir = nullptr) {
  return brindle_spool_options{memory_limit, max_bytes, temp_dir};
}

std::string read_all(brindle_spooled *spooled, size_t capacity) {
  std::string out;
  std::string buffer(capacity, '\0');
  for (int guard = 0; guard < 1000000; ++guard) {
    const brindle_read_result result = brindle_spooled_read(spooled, buffer.data(), capacity);
    EXPECT_EQ(result.error, 0);
    out.append(buffer.data(), result.bytes);
    if (result.eof != 0 || result.error != 0) break;
  }
  return out;
}

std::string content_of(brindle_spooled *spooled) {
  StringSink sink;
  EXPECT_EQ(brindle_spooled_write_to_sink(spooled, StringSink::write, &sink, nullptr), BRINDLE_OK);
  return sink.text;
}

TEST(Spooled, InitTakesOptionsOrDefaults) {
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, nullptr);
  EXPECT_EQ(spooled.options.memory_limit, 65536u);
  EXPECT_EQ(spooled.options.max_bytes, 0u);
  EXPECT_EQ(spooled.options.temp_dir, nullptr);
  EXPECT_TRUE(brindle__spooled_marker_ok(&spooled));
  EXPECT_EQ(brindle_spooled_size(&spooled), 0u);
  EXPECT_EQ(brindle_spooled_spilled(&spooled), 0);
  const brindle_spool_options options = spool_options(10, 20, "/x");
  brindle_spooled_init(&spooled, &options);
  EXPECT_EQ(spooled.options.memory_limit, 10u);
  EXPECT_EQ(spooled.options.max_bytes, 20u);
  EXPECT_STREQ(spooled.options.temp_dir, "/x");
  // A copy does not carry a matching marker.
  brindle_spooled copy = spooled;
  EXPECT_FALSE(brindle__spooled_marker_ok(&copy));
}

TEST(Spooled, MemoryLimitFourKeepsFourBytesAndSpillsTheRest) {
  const brindle_spool_options options = spool_options(4);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  ASSERT_EQ(brindle_spooled_append(&spooled, "0123456789", 10, nullptr), BRINDLE_OK);
  EXPECT_EQ(spooled.prefix_length, 4u);
  EXPECT_EQ(brindle_spooled_spilled(&spooled), 1);
  EXPECT_EQ(brindle_spooled_size(&spooled), 10u);
  char buffer[100];
  brindle_read_result result = brindle_spooled_read(&spooled, buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, result.bytes), "0123");
  EXPECT_EQ(result.eof, 0);
  result = brindle_spooled_read(&spooled, buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, result.bytes), "456789");
  EXPECT_EQ(result.eof, 1);
  result = brindle_spooled_read(&spooled, buffer, sizeof(buffer));
  EXPECT_EQ(result.bytes, 0u);
  EXPECT_EQ(result.eof, 1);
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, ReadsAppendsAndSinkWritesInterleave) {
  const brindle_spool_options options = spool_options(3);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  ASSERT_EQ(brindle_spooled_append(&spooled, "abcdef", 6, nullptr), BRINDLE_OK);
  char buffer[2];
  brindle_read_result result = brindle_spooled_read(&spooled, buffer, 2);
  EXPECT_EQ(std::string(buffer, result.bytes), "ab");
  result = brindle_spooled_read(&spooled, buffer, 2);
  EXPECT_EQ(std::string(buffer, result.bytes), "c");  // never crosses into the file
  result = brindle_spooled_read(&spooled, buffer, 2);
  EXPECT_EQ(std::string(buffer, result.bytes), "de");
  // Writing to a sink reads everything from the start and leaves the read cursor alone.
  EXPECT_EQ(content_of(&spooled), "abcdef");
  ASSERT_EQ(brindle_spooled_append(&spooled, "gh", 2, nullptr), BRINDLE_OK);
  EXPECT_EQ(read_all(&spooled, 2), "fgh");
  ASSERT_EQ(brindle_spooled_rewind(&spooled, nullptr), BRINDLE_OK);
  EXPECT_EQ(read_all(&spooled, 5), "abcdefgh");
  EXPECT_EQ(content_of(&spooled), "abcdefgh");
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, PrefixGrowsToExactlyWhatItHolds) {
  stavo_test::TestAllocator allocator;
  const brindle_spool_options options = spool_options(100);
  brindle_spooled spooled;
  brindle_spooled_init_with_allocator(&spooled, &options, allocator.get());
  ASSERT_EQ(brindle_spooled_append(&spooled, "abc", 3, nullptr), BRINDLE_OK);
  EXPECT_EQ(allocator.stats().current_bytes, 3u);
  ASSERT_EQ(brindle_spooled_append(&spooled, "defg", 4, nullptr), BRINDLE_OK);
  EXPECT_EQ(allocator.stats().current_bytes, 7u);
  EXPECT_EQ(brindle_spooled_spilled(&spooled), 0);
  EXPECT_EQ(content_of(&spooled), "abcdefg");
  brindle_spooled_reset(&spooled);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(spooled.options.memory_limit, 100u);           // reset keeps the options...
  EXPECT_EQ(spooled.allocator.ctx, allocator.get()->ctx);  // ...and the allocator
  EXPECT_EQ(brindle_spooled_size(&spooled), 0u);
  brindle_spooled_cleanup(&spooled);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(Spooled, MaxBytesRefusesTheAppendThatWouldExceedIt) {
  const brindle_spool_options options = spool_options(4, 8);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  brindle_error error;
  ASSERT_EQ(brindle_spooled_append(&spooled, "12345", 5, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_spooled_append(&spooled, "67890", 5, &error), BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "spooled field exceeds configured max bytes");
  EXPECT_EQ(brindle_spooled_size(&spooled), 5u);
  EXPECT_EQ(content_of(&spooled), "12345");
  EXPECT_EQ(brindle_spooled_append(&spooled, "678", 3, &error), BRINDLE_OK);  // exactly 8
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, NamedSpillFileLivesInTempDirUntilReset) {
  TempDir dir;
  const brindle_spool_options options = spool_options(2, 0, dir.path().c_str());
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  ASSERT_EQ(brindle_spooled_append(&spooled, "hello", 5, nullptr), BRINDLE_OK);
  const std::string path = spooled.path;
  EXPECT_EQ(path.rfind(dir.path() + "/brindle-spool-", 0), 0u) << path;
  ASSERT_EQ(dir.entries().size(), 1u);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);  // only the owner may read the spilled data
  EXPECT_EQ(content_of(&spooled), "hello");
  EXPECT_EQ(values_test::read_file(path), "llo");
  brindle_spooled_reset(&spooled);
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_EQ(spooled.path[0], '\0');
  // Spilling again after the reset makes a new file; cleanup removes it as well.
  ASSERT_EQ(brindle_spooled_append(&spooled, "again", 5, nullptr), BRINDLE_OK);
  EXPECT_EQ(dir.entries().size(), 1u);
  brindle_spooled_cleanup(&spooled);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Spooled, AnonymousSpillFileHasNoName) {
  const brindle_spool_options options = spool_options(0);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  ASSERT_EQ(brindle_spooled_append(&spooled, "xyz", 3, nullptr), BRINDLE_OK);
  EXPECT_EQ(spooled.prefix_length, 0u);
  EXPECT_EQ(brindle_spooled_spilled(&spooled), 1);
  EXPECT_EQ(spooled.path[0], '\0');
  EXPECT_EQ(read_all(&spooled, 10), "xyz");
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, SpillFailuresAreIoErrorsAndLeaveTheSizeAlone) {
  const std::string long_dir(520, 'd');
  brindle_spool_options options = spool_options(2, 0, long_dir.c_str());
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  brindle_error error;
  ASSERT_EQ(brindle_spooled_append(&spooled, "ab", 2, &error), BRINDLE_OK);  // fits in memory
  EXPECT_EQ(brindle_spooled_append(&spooled, "cd", 2, &error), BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "temporary spool path is too long");
  EXPECT_NE(error.system_errno, 0);
  EXPECT_EQ(brindle_spooled_size(&spooled), 2u);
  EXPECT_EQ(brindle_spooled_spilled(&spooled), 0);
  brindle_spooled_cleanup(&spooled);

  options = spool_options(2, 0, "/nonexistent-brindle-dir/sub");
  brindle_spooled_init(&spooled, &options);
  EXPECT_EQ(brindle_spooled_append(&spooled, "abcd", 4, &error), BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to create spool file");
  EXPECT_EQ(error.system_errno, ENOENT);
  EXPECT_EQ(brindle_spooled_size(&spooled), 0u);
  EXPECT_EQ(spooled.prefix_length, 0u);  // nothing half-appended
  EXPECT_EQ(spooled.path[0], '\0');
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, PrefixAllocationFailure) {
  stavo_test::TestAllocator allocator;
  const brindle_spool_options options = spool_options(16);
  brindle_spooled spooled;
  brindle_spooled_init_with_allocator(&spooled, &options, allocator.get());
  ASSERT_EQ(brindle_spooled_append(&spooled, "abcd", 4, nullptr), BRINDLE_OK);
  allocator.fail_once(1);
  brindle_error error;
  EXPECT_EQ(brindle_spooled_append(&spooled, "efgh", 4, &error), BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to expand spooled in-memory prefix");
  EXPECT_EQ(brindle_spooled_size(&spooled), 4u);
  EXPECT_EQ(content_of(&spooled), "abcd");
  brindle_spooled_cleanup(&spooled);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(Spooled, InvalidArguments) {
  brindle_error error;
  EXPECT_EQ(brindle_spooled_append(nullptr, "a", 1, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "invalid spooled append arguments");
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, nullptr);
  EXPECT_EQ(brindle_spooled_append(&spooled, nullptr, 1, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_spooled_append(&spooled, nullptr, 0, &error), BRINDLE_OK);
  // A copy shares its content with the original and may not grow it.
  ASSERT_EQ(brindle_spooled_append(&spooled, "abc", 3, nullptr), BRINDLE_OK);
  brindle_spooled copy = spooled;
  EXPECT_EQ(brindle_spooled_append(&copy, "d", 1, &error), BRINDLE_INVALID_ARGUMENT);
  brindle_spooled_reset(&copy);  // forgets the content without freeing the original's
  EXPECT_EQ(copy.prefix, nullptr);
  EXPECT_EQ(content_of(&spooled), "abc");
  brindle_spooled_cleanup(&spooled);

  EXPECT_EQ(brindle_spooled_rewind(nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "spooled value is required");
  EXPECT_EQ(brindle_spooled_write_to_sink(nullptr, StringSink::write, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "spooled value and sink are required");
  char buffer[4];
  EXPECT_EQ(brindle_spooled_read(nullptr, buffer, 4).eof, 1);
  EXPECT_EQ(brindle_spooled_read(&spooled, buffer, 0).eof, 1);
  EXPECT_EQ(brindle_spooled_size(nullptr), 0u);
  EXPECT_EQ(brindle_spooled_spilled(nullptr), 0);
  brindle_spooled_reset(nullptr);
  brindle_spooled_cleanup(nullptr);
}

TEST(Spooled, AMovedRecordTakesOverItsContent) {
  stavo_test::TestAllocator allocator;
  const brindle_spool_options options = spool_options(2);
  brindle_spooled *first = static_cast<brindle_spooled *>(std::malloc(sizeof(brindle_spooled)));
  brindle_spooled_init_with_allocator(first, &options, allocator.get());
  ASSERT_EQ(brindle_spooled_append(first, "moved", 5, nullptr), BRINDLE_OK);
  // As an object array's element buffer moves when it grows.
  brindle_spooled *second = static_cast<brindle_spooled *>(std::malloc(sizeof(brindle_spooled)));
  std::memcpy(second, first, sizeof(brindle_spooled));
  const void *old_address = first;
  EXPECT_FALSE(brindle__spooled_marker_ok(second));
  brindle__spooled_moved(second, old_address);
  EXPECT_TRUE(brindle__spooled_marker_ok(second));
  ASSERT_EQ(brindle_spooled_append(second, "!", 1, nullptr), BRINDLE_OK);
  EXPECT_EQ(content_of(second), "moved!");
  brindle_spooled_cleanup(second);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  // A record that was not valid where it came from is not adopted.
  brindle_spooled stranger{};
  brindle__spooled_moved(&stranger, old_address);
  EXPECT_FALSE(brindle__spooled_marker_ok(&stranger));
  std::free(second);
  std::free(first);
}

TEST(Spooled, SinkStatusStopsOrGoesOn) {
  const brindle_spool_options options = spool_options(3);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  ASSERT_EQ(brindle_spooled_append(&spooled, "abcdef", 6, nullptr), BRINDLE_OK);
  StringSink sink;
  sink.fail_at = 2;
  sink.fail_status = BRINDLE_OVERFLOW;
  brindle_error error;
  EXPECT_EQ(brindle_spooled_write_to_sink(&spooled, StringSink::write, &sink, &error),
            BRINDLE_OVERFLOW);
  EXPECT_EQ(sink.text, "abc");
  struct Truncating {
    static brindle_status write(void *, const char *, size_t, brindle_error *) {
      return BRINDLE_TRUNCATED;
    }
  };
  EXPECT_EQ(brindle_spooled_write_to_sink(&spooled, Truncating::write, nullptr, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  brindle_spooled_cleanup(&spooled);
}

TEST(Spooled, CursorReadsFromTheStartForTheSerializer) {
  const brindle_spool_options options = spool_options(4);
  brindle_spooled spooled;
  brindle_spooled_init(&spooled, &options);
  std::string data;
  for (int i = 0; i < 3000; ++i)
    data += static_cast<char>('a' + i % 26);
  ASSERT_EQ(brindle_spooled_append(&spooled, data.data(), data.size(), nullptr), BRINDLE_OK);
  char first[10];
  ASSERT_EQ(brindle_spooled_read(&spooled, first, 10).bytes, 4u);
  brindle__spool_cursor cursor;
  ASSERT_EQ(brindle__spool_cursor_open(&cursor, &spooled, nullptr), BRINDLE_OK);
  std::string seen;
  bool eof = false;
  while (!eof) {
    char block[1000];
    size_t length = 0;
    ASSERT_EQ(brindle__spool_cursor_read(&cursor, block, sizeof(block), &length, &eof,
                                         "failed to read spooled text", nullptr),
              BRINDLE_OK);
    seen.append(block, length);
  }
  EXPECT_EQ(seen, data);
  EXPECT_EQ(read_all(&spooled, 7), data.substr(4));  // the read cursor did not move
  brindle_spooled_cleanup(&spooled);
}

TEST(SpooledMemory, HundredMegabytesSpillWithABoundedPrefix) {
  constexpr size_t kTotal = 100u * 1024 * 1024;
  stavo_test::TestAllocator allocator;
  const brindle_spool_options options = spool_options(65536);
  brindle_spooled spooled;
  brindle_spooled_init_with_allocator(&spooled, &options, allocator.get());
  std::string chunk(1024 * 1024, 'q');
  for (size_t appended = 0; appended < kTotal; appended += chunk.size()) {
    chunk[0] = static_cast<char>('A' + (appended / chunk.size()) % 26);
    ASSERT_EQ(brindle_spooled_append(&spooled, chunk.data(), chunk.size(), nullptr), BRINDLE_OK);
  }
  EXPECT_EQ(brindle_spooled_size(&spooled), kTotal);
  EXPECT_EQ(spooled.prefix_length, 65536u);
  EXPECT_EQ(allocator.stats().peak_bytes, 65536u);
  // Reading it all back goes through a small buffer and finds every marker byte in place.
  size_t total = 0;
  size_t markers = 0;
  std::string buffer(65536, '\0');
  for (;;) {
    const brindle_read_result result = brindle_spooled_read(&spooled, buffer.data(), buffer.size());
    ASSERT_EQ(result.error, 0);
    for (size_t i = 0; i < result.bytes; ++i) {
      if ((total + i) % chunk.size() == 0) {
        EXPECT_EQ(buffer[i], static_cast<char>('A' + ((total + i) / chunk.size()) % 26));
        ++markers;
      }
    }
    total += result.bytes;
    if (result.eof != 0) break;
  }
  EXPECT_EQ(total, kTotal);
  EXPECT_EQ(markers, kTotal / chunk.size());
  EXPECT_EQ(allocator.stats().peak_bytes, 65536u);
  brindle_spooled_cleanup(&spooled);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

}  // namespace
