// The value visitor over readers, FILE* streams, descriptors and paths, and its memory use on
// very large input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::FilledPipe;
using values_test::PieceReader;
using values_test::Recorder;
using values_test::TempDir;

const char kDocument[] = R"({"name":"caf\u00e9","tags":["a","b"],"n":42})";
const char kEvents[] =
    "{ K< k:name K> S< s:caf s:\xC3\xA9 S> K< k:tags K> [ S< s:a S> S< s:b S> ] K< k:n K> N< "
    "n:42 N> }";

TEST(ValueVisitorInput, ReaderIsReadUntilItReportsEndOfInput) {
  for (bool eof_with_last : {false, true}) {
    PieceReader reader;
    reader.data = kDocument;
    reader.piece = 5;
    reader.eof_with_last_bytes = eof_with_last;
    Recorder recorder;
    brindle_error error;
    ASSERT_EQ(brindle_visit_value_reader(PieceReader::read, &reader, Recorder::visitor(), &recorder,
                                         nullptr, &error),
              BRINDLE_OK)
        << error.message;
    EXPECT_EQ(reader.position, reader.data.size());
    // Plain runs are cut at the read blocks; the decoded text is the same.
    EXPECT_EQ(recorder.text_of('k'), "nametagsn");
    EXPECT_EQ(recorder.text_of('s'),
              "caf\xC3\xA9"
              "ab");
  }
}

TEST(ValueVisitorInput, ReaderFailureIsACallbackFailureWithTheReadersError) {
  PieceReader reader;
  reader.data = kDocument;
  reader.piece = 4;
  reader.error_at_call = 3;
  reader.error_value = 77;
  Recorder recorder;
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_reader(PieceReader::read, &reader, Recorder::visitor(), &recorder,
                                       nullptr, &error),
            BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(error.message, "reader callback failed");
  EXPECT_EQ(error.system_errno, 77);
  EXPECT_FALSE(recorder.events.empty());  // events before the failure stay delivered
}

TEST(ValueVisitorInput, AReaderThatOverfillsItsBufferIsAFailure) {
  brindle_error error;
  const brindle_value_visitor none{};
  EXPECT_EQ(brindle_visit_value_reader(
                [](void *, char *, size_t capacity) {
                  brindle_read_result result{};
                  result.bytes = capacity + 1;
                  return result;
                },
                nullptr, &none, nullptr, nullptr, &error),
            BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(error.message, "reader callback failed");
}

TEST(ValueVisitorInput, FileIsReadFromItsCurrentPosition) {
  TempDir dir;
  const std::string path = dir.file("doc.json");
  values_test::write_file(path, std::string("garbage") + kDocument + "\n");
  FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fseek(file, 7, SEEK_SET), 0);
  Recorder recorder;
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_filep(file, Recorder::visitor(), &recorder, nullptr, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(recorder.joined(), kEvents);
  std::fclose(file);
}

TEST(ValueVisitorInput, FileThatCannotBeReadIsAnIoError) {
  TempDir dir;
  const std::string path = dir.file("write-only.json");
  FILE *file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  const brindle_value_visitor none{};
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_filep(file, &none, nullptr, nullptr, &error), BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to read JSON value stream");
  EXPECT_NE(error.system_errno, 0);
  std::fclose(file);
}

TEST(ValueVisitorInput, PipeThroughFileAndDescriptor) {
  {
    FilledPipe pipe(kDocument);
    FILE *file = fdopen(dup(pipe.read_fd), "rb");
    ASSERT_NE(file, nullptr);
    Recorder recorder;
    EXPECT_EQ(brindle_visit_value_filep(file, Recorder::visitor(), &recorder, nullptr, nullptr),
              BRINDLE_OK);
    EXPECT_EQ(recorder.joined(), kEvents);
    std::fclose(file);
  }
  {
    FilledPipe pipe(std::string("  ") + kDocument + " \n");
    Recorder recorder;
    brindle_error error;
    EXPECT_EQ(brindle_visit_value_fd(pipe.read_fd, Recorder::visitor(), &recorder, nullptr, &error),
              BRINDLE_OK)
        << error.message;
    EXPECT_EQ(recorder.joined(), kEvents);
  }
  {
    FilledPipe pipe("[1,2] [3]");
    brindle_error error;
    const brindle_value_visitor none{};
    EXPECT_EQ(brindle_visit_value_fd(pipe.read_fd, &none, nullptr, nullptr, &error),
              BRINDLE_INVALID_JSON);
    EXPECT_STREQ(error.message, "visited JSON must contain exactly one value");
  }
}

TEST(ValueVisitorInput, DescriptorThatCannotBeReadIsAnIoError) {
  TempDir dir;
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const brindle_value_visitor none{};
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_fd(fd, &none, nullptr, nullptr, &error), BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to read JSON value fd");
  EXPECT_EQ(error.system_errno, EISDIR);
  close(fd);
}

TEST(ValueVisitorInput, PathIsOpenedAndClosed) {
  TempDir dir;
  const std::string path = dir.file("doc.json");
  values_test::write_file(path, kDocument);
  Recorder recorder;
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_path(path.c_str(), Recorder::visitor(), &recorder, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(recorder.joined(), kEvents);

  const std::string missing = dir.file("missing.json");
  EXPECT_EQ(
      brindle_visit_value_path(missing.c_str(), Recorder::visitor(), &recorder, nullptr, &error),
      BRINDLE_IO_ERROR);
  EXPECT_EQ(std::string(error.message), "failed to open '" + missing + "'");
  EXPECT_EQ(error.system_errno, ENOENT);
}

// Generates a JSON string of `length` bytes of content on the fly.
struct HugeStringReader {
  size_t length;
  size_t produced = 0;  // content bytes handed out
  bool opened = false;
  bool closed = false;
  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    auto *self = static_cast<HugeStringReader *>(user);
    brindle_read_result result{};
    size_t n = 0;
    if (!self->opened) {
      buffer[n++] = '"';
      self->opened = true;
    }
    while (n < capacity && self->produced < self->length) {
      size_t run = self->length - self->produced;
      if (run > capacity - n) run = capacity - n;
      std::memset(buffer + n, 'x', run);
      n += run;
      self->produced += run;
    }
    if (n < capacity && !self->closed && self->produced == self->length) {
      buffer[n++] = '"';
      self->closed = true;
    }
    result.bytes = n;
    result.eof = n == 0 ? 1 : 0;
    return result;
  }
};

struct ChunkCounter {
  size_t bytes = 0;
  size_t chunks = 0;
  static brindle_status chunk(void *user, const char *, size_t length, brindle_error *) {
    auto *self = static_cast<ChunkCounter *>(user);
    self->bytes += length;
    ++self->chunks;
    return BRINDLE_OK;
  }
};

TEST(ValueVisitorMemory, HundredMegabyteStringKeepsMemoryFlat) {
  constexpr size_t kLength = 100u * 1024 * 1024;
  brindle_value_limits limits{0, kLength, 0, 0, 0};
  brindle_value_visitor visitor{};
  visitor.string_chunk = ChunkCounter::chunk;

  // Through the internal walk with a counting allocator: nothing is allocated at all.
  {
    stavo_test::TestAllocator allocator;
    HugeStringReader reader{kLength};
    ChunkCounter counter;
    brindle__json_cursor cursor;
    brindle__json_cursor_init_reader(&cursor, HugeStringReader::read, &reader);
    const brindle_value_limits normalized = brindle__value_limits_normalize(&limits);
    brindle_error error;
    ASSERT_EQ(brindle__json_visit_value(&cursor, &visitor, &counter, &normalized, allocator.get(),
                                        &error),
              BRINDLE_OK)
        << error.message;
    EXPECT_EQ(counter.bytes, kLength);
    EXPECT_EQ(allocator.stats().allocations, 0u);
    EXPECT_EQ(allocator.stats().peak_bytes, 0u);
  }
  // Through the public entry point: the process heap does not grow with the input.
  {
    HugeStringReader reader{kLength};
    ChunkCounter counter;
    const size_t before = values_test::heap_in_use();
    brindle_error error;
    ASSERT_EQ(brindle_visit_value_reader(HugeStringReader::read, &reader, &visitor, &counter,
                                         &limits, &error),
              BRINDLE_OK);
    const size_t after = values_test::heap_in_use();
    EXPECT_EQ(counter.bytes, kLength);
    EXPECT_LT(after > before ? after - before : 0, 64u * 1024);
  }
}

}  // namespace
