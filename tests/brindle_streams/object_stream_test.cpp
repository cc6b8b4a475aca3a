// The object stream: sequences of top-level objects from readers, FILE*, paths and descriptors;
// end of input in and between objects; failures and what the next call reads; would-block
// from a reader; records prepared once and reused; arguments; allocation and statistics.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "streams_support.h"
#include "test_allocator.h"

namespace {

using streams_test::describe;
using streams_test::Item;
using streams_test::kItemMap;
using streams_test::MemoryReader;
using streams_test::where;

struct Results {
  std::vector<std::string> items;
  std::vector<int> results;
  brindle_error error{};
};

// Calls next until EOF or an error (at most limit calls), noting every result.
Results drain(brindle_stream *stream, Item *item, size_t limit = 64) {
  Results out;
  for (size_t i = 0; i < limit; ++i) {
    const int result = brindle_stream_next(stream, item, &out.error);
    out.results.push_back(result);
    if (result == BRINDLE_STREAM_OBJECT) out.items.push_back(describe(*item));
    if (result == BRINDLE_STREAM_EOF || result == BRINDLE_STREAM_ERROR) break;
  }
  return out;
}

Results read_all(const std::string &text, size_t piece = 1024,
                 const brindle_parse_options *options = nullptr) {
  MemoryReader reader;
  reader.text = text;
  reader.pieces = {piece};
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, options, nullptr);
  Item item{};
  Results out = drain(stream, &item);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
  return out;
}

std::vector<std::string> strings(std::initializer_list<const char *> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

TEST(ObjectStream, ObjectsOnLinesOrConcatenated) {
  for (size_t piece : {size_t{1}, size_t{3}, size_t{1024}}) {
    SCOPED_TRACE(piece);
    Results run = read_all("{\"id\":1,\"name\":\"a\"}\n{\"id\":2}\n", piece);
    EXPECT_EQ(run.items, strings({"1|a||", "2|<null>||"}));
    EXPECT_EQ(run.results,
              (std::vector<int>{BRINDLE_STREAM_OBJECT, BRINDLE_STREAM_OBJECT, BRINDLE_STREAM_EOF}));
    run = read_all("{\"id\":1}{\"id\":2}", piece);
    EXPECT_EQ(run.items, strings({"1|<null>||", "2|<null>||"}));
    EXPECT_EQ(run.results.back(), BRINDLE_STREAM_EOF);
    run = read_all(" \r\n\t{\"id\":3} \t\r\n {\"id\":4}  \n\n", piece);
    EXPECT_EQ(run.items, strings({"3|<null>||", "4|<null>||"}));
    EXPECT_EQ(run.results.back(), BRINDLE_STREAM_EOF);
  }
}

TEST(ObjectStream, EndOfInput) {
  Results run = read_all("");
  EXPECT_EQ(run.results, std::vector<int>{BRINDLE_STREAM_EOF});
  run = read_all("  \n\t \r\n");
  EXPECT_EQ(run.results, std::vector<int>{BRINDLE_STREAM_EOF});
  EXPECT_EQ(run.error.code, BRINDLE_OK);

  run = read_all("{\"id\":1}\n{\"id\":2");
  EXPECT_EQ(run.items, strings({"1|<null>||"}));
  EXPECT_EQ(run.results.back(), BRINDLE_STREAM_ERROR);
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(run.error.message, "incomplete JSON document");

  run = read_all("{\"id\":1,\"name\":\"ab");
  EXPECT_EQ(run.results.back(), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(run.error.message, "incomplete JSON token at end of input");
}

TEST(ObjectStream, OnlyObjectsAtTheTop) {
  Results run = read_all("{\"id\":1}\n  x{\"id\":2}");
  EXPECT_EQ(run.items, strings({"1|<null>||"}));
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_EQ(where(run.error), "expected top-level object @1:1:1");
  run = read_all("[{\"id\":1}]");
  EXPECT_STREQ(run.error.message, "expected top-level object");
}

TEST(ObjectStream, AfterAFailureTheNextCallStartsAtTheNextUnreadByte) {
  MemoryReader reader;
  reader.text = "{\"id\":true}\n{\"id\":2}\nz{\"id\":3}";
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{};
  brindle_error error;
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_EQ(error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(where(error), "boolean value does not match field 'id' @10:1:10");
  // The rest of the broken object is not an object; then the next line is read normally.
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "expected top-level object");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(item.id, 2);
  EXPECT_EQ(error.code, BRINDLE_OK);
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(item.id, 3);
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_EOF);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
}

TEST(ObjectStream, PositionsCountFromTheObjectsStart) {
  Results run = read_all("{\"id\":1}\n\n{\"id\":2,\n \"name\":3}");
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(run.error.line, 2u);
  // The number is complete, and found wrong, at the byte after it.
  EXPECT_EQ(run.error.column, 10u);
  EXPECT_EQ(run.error.offset, 19u);
}

TEST(ObjectStream, TruncationIsVisibleAndNotAFailure) {
  MemoryReader reader;
  reader.text = "{\"id\":1,\"code\":\"abcdef\"}{\"id\":2,\"code\":\"ab\"}";
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{};
  brindle_error error;
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_STREQ(item.code, "abc");
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(error.truncated, 0);
  EXPECT_EQ(brindle_stream_error(stream)->truncated, 0);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
}

TEST(ObjectStream, WouldBlockKeepsTheHalfReadObject) {
  MemoryReader reader;
  reader.text = "{\"id\":5,\"name\":\"five\",\"tags\":[\"a\"]}\n{\"id\":6}";
  reader.pieces = {4};
  reader.would_block_every = 1;
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{}, other{};
  brindle_error error;
  int result = brindle_stream_next(stream, &item, &error);
  EXPECT_EQ(result, BRINDLE_STREAM_WOULD_BLOCK);
  EXPECT_EQ(brindle_stream_next(stream, &other, &error), BRINDLE_STREAM_ERROR);
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "resume the stream with the same destination");
  std::vector<std::string> seen;
  for (int i = 0; i < 200 && result != BRINDLE_STREAM_EOF; ++i) {
    result = brindle_stream_next(stream, &item, &error);
    ASSERT_NE(result, BRINDLE_STREAM_ERROR) << error.message;
    if (result == BRINDLE_STREAM_OBJECT) seen.push_back(describe(item));
  }
  EXPECT_EQ(seen, strings({"5|five|a|", "6|<null>||"}));
  EXPECT_GE(reader.blocked, 10u);
  brindle_cleanup(&kItemMap, &item);
  brindle_cleanup(&kItemMap, &other);
  brindle_stream_close(stream);
}

TEST(ObjectStream, ReaderFailure) {
  auto failing = [](void *, char *, size_t) -> brindle_read_result {
    brindle_read_result result = brindle_default_read_result();
    result.error = EPIPE;
    return result;
  };
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, failing, nullptr, nullptr, nullptr);
  Item item{};
  brindle_error error;
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "stream read failed");
  EXPECT_EQ(error.system_errno, EPIPE);
  brindle_stream_close(stream);
}

TEST(ObjectStream, FilesPathsAndDescriptors) {
  char path[] = "/tmp/brindle-object-stream-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "{\"id\":1}\n{\"id\":2,\"name\":\"b\"}\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  Item item{};

  lseek(fd, 0, SEEK_SET);
  brindle_stream *stream = brindle_stream_open_fd(&kItemMap, fd, nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(drain(stream, &item).items, strings({"1|<null>||", "2|b||"}));
  brindle_stream_close(stream);
  EXPECT_GE(fcntl(fd, F_GETFD), 0) << "the descriptor stays the caller's";

  stream = brindle_stream_open_path(&kItemMap, path, nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(drain(stream, &item).items, strings({"1|<null>||", "2|b||"}));
  brindle_stream_close(stream);

  FILE *file = std::fopen(path, "rb");
  stream = brindle_stream_open_filep(&kItemMap, file, nullptr, nullptr);
  Results run = drain(stream, &item);
  EXPECT_EQ(run.items, strings({"1|<null>||", "2|b||"}));
  EXPECT_EQ(run.results.back(), BRINDLE_STREAM_EOF);
  brindle_stream_close(stream);
  EXPECT_EQ(std::fclose(file), 0) << "the FILE* stays the caller's";

  brindle_error error;
  EXPECT_EQ(brindle_stream_open_path(&kItemMap, "/nonexistent/stream.ndjson", nullptr, &error),
            nullptr);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to open '/nonexistent/stream.ndjson'");
  EXPECT_EQ(error.system_errno, ENOENT);

  // A descriptor that fails to read.
  const int closed = dup(fd);
  close(closed);
  stream = brindle_stream_open_fd(&kItemMap, closed, nullptr, nullptr);
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "stream read failed");
  EXPECT_EQ(error.system_errno, EBADF);
  brindle_stream_close(stream);

  brindle_cleanup(&kItemMap, &item);
  close(fd);
  unlink(path);
}

TEST(ObjectStream, Arguments) {
  brindle_error error;
  auto reader = [](void *, char *, size_t) -> brindle_read_result {
    return brindle_default_read_result();
  };
  EXPECT_EQ(brindle_stream_open_reader(nullptr, reader, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "map is required");
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_stream_open_reader(&kItemMap, nullptr, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "reader callback is required");
  EXPECT_EQ(brindle_stream_open_filep(&kItemMap, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "file pointer is required");
  EXPECT_EQ(brindle_stream_open_path(&kItemMap, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "path is required");
  EXPECT_EQ(brindle_stream_open_fd(&kItemMap, -1, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "fd must be non-negative");
  brindle_allocator partial = brindle_default_allocator();
  partial.free = nullptr;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_stream_open_fd(&kItemMap, 0, &options, &error), nullptr);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

  brindle_stream *stream = brindle_stream_open_reader(&kItemMap, reader, nullptr, nullptr, &error);
  Item item{};
  EXPECT_EQ(brindle_stream_next(stream, nullptr, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "stream and destination are required");
  EXPECT_EQ(brindle_stream_next(nullptr, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "stream and destination are required");
  EXPECT_EQ(brindle_stream_error(nullptr), nullptr);
  brindle_stream_close(stream);
  brindle_stream_close(nullptr);
}

TEST(ObjectStream, RecordsArePreparedOnceAndReusedWithoutLeaks) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text += "{\"id\":" + std::to_string(i) + ",\"name\":\"name " + std::to_string(i) +
            "\",\"tags\":[\"x\",\"y\",\"z\"]}\n";
  }
  MemoryReader reader;
  reader.text = text;
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, &options, nullptr);
  ASSERT_NE(stream, nullptr);
  const uint64_t opened = allocator.stats().current_bytes;
  EXPECT_GT(opened, 4096u);
  Item item{};
  Results run = drain(stream, &item, 1000);
  EXPECT_EQ(run.items.size(), 500u);
  EXPECT_EQ(run.items.back(), "499|name 499|x,y,z|");
  // Only the last object's strings and tags are held: earlier ones were released by the reset.
  EXPECT_LT(allocator.stats().peak_bytes, opened + 512);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);

  // Without clear_destination the record is never touched between objects.
  options.clear_destination = 0;
  reader.position = 0;
  reader.reads = 0;
  reader.text = "{\"id\":1,\"name\":\"n\"}{\"id\":2,\"tags\":[\"t\"]}";
  stream = brindle_stream_open_reader(&kItemMap, MemoryReader::read, &reader, &options, nullptr);
  brindle_init(&kItemMap, &item);
  run = drain(stream, &item);
  EXPECT_EQ(run.items, strings({"1|n||", "2|n|t|"}));
  EXPECT_EQ(run.error.code, BRINDLE_OK);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
}

TEST(ObjectStream, RequiredFieldsAreCheckedPerObject) {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  Results run = read_all("{\"id\":1}{\"name\":\"x\"}", 1024, &options);
  EXPECT_EQ(run.items, strings({"1|<null>||"}));
  EXPECT_EQ(run.error.code, BRINDLE_MISSING_REQUIRED_FIELD);
}

TEST(ObjectStream, AllocationFailuresAtOpenAndWhileReading) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  auto reader = [](void *, char *, size_t) -> brindle_read_result {
    return brindle_default_read_result();
  };
  for (uint64_t nth : {1u, 2u}) {
    allocator.fail_once(nth);
    brindle_error error;
    EXPECT_EQ(brindle_stream_open_reader(&kItemMap, reader, nullptr, &options, &error), nullptr);
    EXPECT_EQ(error.code, BRINDLE_ALLOCATION_FAILED);
    EXPECT_STREQ(error.message, "failed to allocate stream");
    EXPECT_EQ(allocator.live_blocks(), 0);
  }
  // Every later allocation (strings, tags) failing in turn ends in a clean failure, no leak.
  for (uint64_t nth = 1; nth < 12; ++nth) {
    MemoryReader input;
    input.text = "{\"id\":1,\"name\":\"n\",\"tags\":[\"a\",\"b\",\"c\",\"d\",\"e\"]}";
    brindle_stream *stream =
        brindle_stream_open_reader(&kItemMap, MemoryReader::read, &input, &options, nullptr);
    ASSERT_NE(stream, nullptr);
    allocator.fail_once(nth);
    Item item{};
    brindle_error error;
    const int result = brindle_stream_next(stream, &item, &error);
    EXPECT_TRUE(result == BRINDLE_STREAM_OBJECT ||
                (result == BRINDLE_STREAM_ERROR && error.code == BRINDLE_ALLOCATION_FAILED))
        << nth << ": " << error.message;
    allocator.fail_once(0);
    brindle_cleanup(&kItemMap, &item);
    brindle_stream_close(stream);
    EXPECT_EQ(allocator.live_blocks(), 0);
    EXPECT_EQ(allocator.stats().current_bytes, 0u);
  }
}

}  // namespace
