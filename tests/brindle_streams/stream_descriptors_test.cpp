// Streams over real descriptors and files: a non-blocking pipe that holds half an object, pipes
// written by another thread, FILE*, paths, read failures; and the array stream's memory, which
// it takes only from its allocator and gives back in full, also when allocations fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "streams_support.h"
#include "test_allocator.h"

namespace {

using streams_test::describe;
using streams_test::Item;
using streams_test::kItemMap;
using streams_test::MemoryReader;
using streams_test::Outcome;
using streams_test::pull_values;
using streams_test::where;

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(fds_), 0); }
  ~Pipe() {
    close_write();
    close(fds_[0]);
  }
  int read_end() const { return fds_[0]; }
  void set_nonblocking() { fcntl(fds_[0], F_SETFL, fcntl(fds_[0], F_GETFL) | O_NONBLOCK); }
  void put(const std::string &text) {
    ASSERT_EQ(write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_write() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(ObjectStreamPipe, HalfAnObjectWouldBlockThenTheRestGivesTheObject) {
  Pipe pipe;
  pipe.set_nonblocking();
  brindle_stream *stream = brindle_stream_open_fd(&kItemMap, pipe.read_end(), nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  Item item{}, other{};
  brindle_error error;

  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_WOULD_BLOCK)
      << "nothing written yet";
  pipe.put("{\"id\":41,\"name\":\"half");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_WOULD_BLOCK);
  EXPECT_EQ(brindle_stream_next(stream, &other, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "resume the stream with the same destination");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_WOULD_BLOCK)
      << "the refused call lost nothing";
  pipe.put(" way\",\"tags\":[\"p\"]}\n{\"id\":42}");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(describe(item), "41|half way|p|");
  // The second object was read along with the first and waits in the buffer.
  EXPECT_EQ(brindle_stream_next(stream, &other, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(other.id, 42);
  EXPECT_EQ(brindle_stream_next(stream, &other, &error), BRINDLE_STREAM_WOULD_BLOCK);
  pipe.close_write();
  EXPECT_EQ(brindle_stream_next(stream, &other, &error), BRINDLE_STREAM_EOF);
  brindle_cleanup(&kItemMap, &item);
  brindle_cleanup(&kItemMap, &other);
  brindle_stream_close(stream);
}

TEST(ObjectStreamPipe, HangUpInsideAnObjectIsAnIncompleteDocument) {
  Pipe pipe;
  pipe.set_nonblocking();
  brindle_stream *stream = brindle_stream_open_fd(&kItemMap, pipe.read_end(), nullptr, nullptr);
  Item item{};
  brindle_error error;
  pipe.put("{\"id\":1");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_WOULD_BLOCK);
  pipe.close_write();
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_ERROR);
  EXPECT_STREQ(error.message, "incomplete JSON document");
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
}

TEST(ObjectStreamPipe, NonBlockingFileStreamWouldBlockToo) {
  Pipe pipe;
  pipe.set_nonblocking();
  FILE *file = fdopen(dup(pipe.read_end()), "rb");
  ASSERT_NE(file, nullptr);
  brindle_stream *stream = brindle_stream_open_filep(&kItemMap, file, nullptr, nullptr);
  Item item{};
  brindle_error error;
  pipe.put("{\"id\":");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_WOULD_BLOCK);
  pipe.put("7}");
  EXPECT_EQ(brindle_stream_next(stream, &item, &error), BRINDLE_STREAM_OBJECT);
  EXPECT_EQ(item.id, 7);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
  std::fclose(file);
}

// Writes pieces with pauses, so that the reader really waits for input.
void trickle(Pipe *pipe, std::string text, size_t piece) {
  for (size_t start = 0; start < text.size(); start += piece) {
    pipe->put(text.substr(start, piece));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pipe->close_write();
}

TEST(ArrayStreamPipe, PullWaitsForADescriptorBlockingOrNot) {
  std::string text = "{\"items\":[";
  for (int i = 0; i < 40; ++i) {
    text += (i > 0 ? "," : "") + std::string("{\"id\":") + std::to_string(i) + ",\"name\":\"n" +
            std::to_string(i) + "\"}";
  }
  text += "]}";
  for (bool nonblocking : {false, true}) {
    SCOPED_TRACE(nonblocking);
    Pipe pipe;
    if (nonblocking) pipe.set_nonblocking();
    std::thread writer(trickle, &pipe, text, 37);
    brindle_array_stream *stream =
        brindle_array_stream_open_fd("items", pipe.read_end(), nullptr, nullptr);
    Item item{};
    brindle_error error;
    std::vector<std::string> seen;
    int result;
    while ((result = brindle_array_stream_next(stream, &kItemMap, &item, &error)) ==
           BRINDLE_ARRAY_STREAM_ITEM) {
      seen.push_back(describe(item));
    }
    writer.join();
    EXPECT_EQ(result, BRINDLE_ARRAY_STREAM_END) << error.message;
    ASSERT_EQ(seen.size(), 40u);
    EXPECT_EQ(seen[39], "39|n39||");
    brindle_cleanup(&kItemMap, &item);
    brindle_array_stream_close(stream);
  }
}

TEST(ArrayStreamInput, FilesPathsAndFailures) {
  char path[] = "/tmp/brindle-array-stream-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "[{\"id\":1},{\"id\":2,\"tags\":[\"t\"]}]\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  Item item{};
  brindle_error error;
  auto drain = [&](brindle_array_stream *stream) {
    std::vector<std::string> seen;
    int result;
    while ((result = brindle_array_stream_next(stream, &kItemMap, &item, &error)) ==
           BRINDLE_ARRAY_STREAM_ITEM) {
      seen.push_back(describe(item));
    }
    EXPECT_EQ(result, BRINDLE_ARRAY_STREAM_END) << error.message;
    brindle_array_stream_close(stream);
    // A new stream initialises the record again, as any parse does: it must hold nothing then.
    brindle_cleanup(&kItemMap, &item);
    return seen;
  };
  const std::vector<std::string> expected = {"1|<null>||", "2|<null>|t|"};
  EXPECT_EQ(drain(brindle_array_stream_open_path(nullptr, path, nullptr, nullptr)), expected);
  FILE *file = std::fopen(path, "rb");
  EXPECT_EQ(drain(brindle_array_stream_open_filep(nullptr, file, nullptr, nullptr)), expected);
  EXPECT_EQ(std::fclose(file), 0);
  lseek(fd, 0, SEEK_SET);
  EXPECT_EQ(drain(brindle_array_stream_open_fd(nullptr, fd, nullptr, nullptr)), expected);
  EXPECT_GE(fcntl(fd, F_GETFD), 0);

  // Read failures: a closed descriptor, a reader that reports an error.
  const int closed = dup(fd);
  close(closed);
  brindle_array_stream *stream = brindle_array_stream_open_fd(nullptr, closed, nullptr, nullptr);
  EXPECT_EQ(brindle_array_stream_next(stream, &kItemMap, &item, &error),
            BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "array stream read failed");
  EXPECT_EQ(error.system_errno, EBADF);
  brindle_array_stream_close(stream);
  auto failing = [](void *, char *, size_t) -> brindle_read_result {
    brindle_read_result result = brindle_default_read_result();
    result.error = EIO;
    return result;
  };
  stream = brindle_array_stream_open_reader(nullptr, failing, nullptr, nullptr, nullptr);
  EXPECT_EQ(brindle_array_stream_next(stream, &kItemMap, &item, &error),
            BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "array stream read failed");
  EXPECT_EQ(error.system_errno, EIO);
  brindle_array_stream_close(stream);

  brindle_cleanup(&kItemMap, &item);
  close(fd);
  unlink(path);
}

TEST(ArrayStreamMemory, EverythingComesFromTheAllocatorAndGoesBack) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  std::string text = "{\"k1\":1,\"k2\":[1,2],\"items\":[";
  for (int i = 0; i < 300; ++i) {
    text += (i > 0 ? "," : "") + std::string("{\"id\":") + std::to_string(i) +
            ",\"name\":\"x\",\"k\":{\"a\":1,\"b\":2}}";
  }
  text += "]}";
  MemoryReader reader;
  reader.text = text;
  Outcome run = pull_values("items", reader, &options);
  EXPECT_EQ(run.items.size(), 300u);
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
  EXPECT_GT(allocator.stats().allocations, 3u);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
  // The stream, its parser and its buffers, not the document, make the peak.
  EXPECT_LT(allocator.stats().peak_bytes, 16384u);
}

TEST(ArrayStreamMemory, AllocationFailuresFailCleanly) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  const std::string text =
      "{\"a\":1,\"b\":2,\"items\":[{\"id\":1,\"x\":{\"k\":1,\"j\":2}},{\"id\":2,\"name\":\"nm\","
      "\"tags\":[\"a\",\"b\"]}]}";
  size_t failures = 0;
  for (uint64_t nth = 1; nth < 40; ++nth) {
    SCOPED_TRACE(nth);
    brindle_error error;
    for (bool raw : {false, true}) {
      allocator.fail_once(nth);
      MemoryReader reader;
      reader.text = text;
      reader.pieces = {7};
      brindle_array_stream *stream =
          brindle_array_stream_open_reader("items", MemoryReader::read, &reader, &options, &error);
      if (stream == nullptr) {
        EXPECT_EQ(error.code, BRINDLE_ALLOCATION_FAILED);
        EXPECT_STREQ(error.message, "failed to allocate array stream");
        ++failures;
        continue;
      }
      Item item{};
      brindle_json_value value;
      brindle_json_value_init_with_allocator(&value, allocator.get());
      int result;
      size_t items = 0;
      do {
        result = raw ? brindle_array_stream_next_value(stream, &value, &error)
                     : brindle_array_stream_next(stream, &kItemMap, &item, &error);
        if (result == BRINDLE_ARRAY_STREAM_ITEM) ++items;
      } while (result == BRINDLE_ARRAY_STREAM_ITEM);
      if (result == BRINDLE_ARRAY_STREAM_ERROR) {
        EXPECT_EQ(error.code, BRINDLE_ALLOCATION_FAILED) << error.message;
        ++failures;
      } else {
        EXPECT_EQ(items, 2u);
      }
      brindle_cleanup(&kItemMap, &item);
      brindle_json_value_cleanup(&value);
      brindle_array_stream_close(stream);
    }
    allocator.fail_once(0);
    EXPECT_EQ(allocator.live_blocks(), 0);
    EXPECT_EQ(allocator.stats().current_bytes, 0u);
  }
  EXPECT_GT(failures, 8u);
}

}  // namespace
