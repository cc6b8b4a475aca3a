// Sources: setters, reading from the start in blocks, rewindability, and failures on pipes,
// missing paths and unreadable files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "json/core/values_internal.h"
#include "values_test_util.h"

namespace {

using values_test::FilledPipe;
using values_test::StringSink;
using values_test::TempDir;

struct BlockSink {
  std::string text;
  size_t largest = 0;
  size_t calls = 0;
  static brindle_status write(void *user, const char *bytes, size_t length, brindle_error *) {
    auto *self = static_cast<BlockSink *>(user);
    self->text.append(bytes, length);
    if (length > self->largest) self->largest = length;
    ++self->calls;
    return BRINDLE_OK;
  }
};

std::string pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    s += static_cast<char>('0' + i % 10);
  return s;
}

TEST(Source, InitAndSetters) {
  brindle_source source;
  brindle_source_init(&source);
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_NONE);
  EXPECT_EQ(source.fd, -1);
  EXPECT_EQ(source.path, nullptr);

  brindle_error error;
  const char *path = "/some/where.txt";
  ASSERT_EQ(brindle_source_set_path(&source, path, &error), BRINDLE_OK);
  EXPECT_EQ(error.code, BRINDLE_OK);
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_PATH);
  EXPECT_NE(source.path, path);
  EXPECT_STREQ(source.path, path);
  // Each setter replaces the content and frees an owned path.
  ASSERT_EQ(brindle_source_set_fd(&source, 0, &error), BRINDLE_OK);
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_FD);
  EXPECT_EQ(source.fd, 0);
  EXPECT_EQ(source.path, nullptr);
  ASSERT_EQ(brindle_source_set_path(&source, "/other", &error), BRINDLE_OK);
  ASSERT_EQ(brindle_source_set_file(&source, stdin, &error), BRINDLE_OK);
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_FILE);
  EXPECT_EQ(source.file, stdin);
  EXPECT_EQ(source.path, nullptr);
  EXPECT_EQ(source.fd, -1);
  ASSERT_EQ(brindle_source_set_path(&source, "/third", &error), BRINDLE_OK);
  brindle_source_reset(&source);
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_NONE);
  EXPECT_EQ(source.path, nullptr);
  brindle_source_cleanup(&source);
}

TEST(Source, SettersNameWhatTheyRequire) {
  brindle_source source;
  brindle_source_init(&source);
  brindle_error error;
  EXPECT_EQ(brindle_source_set_file(&source, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "source handle and FILE* are required");
  EXPECT_EQ(brindle_source_set_file(nullptr, stdin, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_source_set_fd(&source, -1, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "source handle and non-negative fd are required");
  EXPECT_EQ(brindle_source_set_path(&source, "", &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "source handle and path are required");
  EXPECT_EQ(brindle_source_set_path(&source, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_source_write_to_sink(&source, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "source handle and sink are required");
  EXPECT_EQ(source.kind, BRINDLE_SOURCE_NONE);  // failed setters change nothing
  brindle_source_init(nullptr);
  brindle_source_cleanup(nullptr);
  EXPECT_EQ(brindle_source_is_rewindable(nullptr), 0);
}

TEST(Source, NoneWritesNothing) {
  brindle_source source;
  brindle_source_init(&source);
  StringSink sink;
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, nullptr), BRINDLE_OK);
  EXPECT_EQ(sink.calls, 0u);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 1);
}

TEST(Source, EveryKindIsReadFromItsStartInBlocks) {
  TempDir dir;
  const std::string path = dir.file("content.bin");
  const std::string content = pattern(10000);
  values_test::write_file(path, content);

  brindle_source source;
  brindle_source_init(&source);
  ASSERT_EQ(brindle_source_set_path(&source, path.c_str(), nullptr), BRINDLE_OK);
  for (int pass = 0; pass < 2; ++pass) {
    BlockSink sink;
    ASSERT_EQ(brindle_source_write_to_sink(&source, BlockSink::write, &sink, nullptr), BRINDLE_OK);
    EXPECT_EQ(sink.text, content);
    EXPECT_LE(sink.largest, 4096u);
    EXPECT_GE(sink.calls, 3u);
  }

  FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fseek(file, 0, SEEK_END), 0);  // left at the end by someone else
  ASSERT_EQ(brindle_source_set_file(&source, file, nullptr), BRINDLE_OK);
  for (int pass = 0; pass < 2; ++pass) {
    BlockSink sink;
    ASSERT_EQ(brindle_source_write_to_sink(&source, BlockSink::write, &sink, nullptr), BRINDLE_OK);
    EXPECT_EQ(sink.text, content);
  }
  std::fclose(file);

  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 1234, SEEK_SET), 1234);
  ASSERT_EQ(brindle_source_set_fd(&source, fd, nullptr), BRINDLE_OK);
  for (int pass = 0; pass < 2; ++pass) {
    BlockSink sink;
    ASSERT_EQ(brindle_source_write_to_sink(&source, BlockSink::write, &sink, nullptr), BRINDLE_OK);
    EXPECT_EQ(sink.text, content);
  }
  close(fd);
  brindle_source_cleanup(&source);
}

TEST(Source, PipesAreNotRewindableAndCannotBeWritten) {
  FilledPipe pipe("streamed");
  brindle_source source;
  brindle_source_init(&source);
  ASSERT_EQ(brindle_source_set_fd(&source, pipe.read_fd, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 0);
  StringSink sink;
  brindle_error error;
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to rewind source fd; non-seekable sources are unsupported");
  EXPECT_EQ(error.system_errno, ESPIPE);
  EXPECT_TRUE(sink.text.empty());

  FILE *file = fdopen(dup(pipe.read_fd), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(brindle_source_set_file(&source, file, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 0);
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message,
               "failed to rewind source FILE*; non-seekable sources are unsupported");
  EXPECT_EQ(error.system_errno, ESPIPE);
  std::fclose(file);
  brindle_source_cleanup(&source);
}

TEST(Source, RewindabilityCheckKeepsThePosition) {
  TempDir dir;
  const std::string path = dir.file("seekable");
  values_test::write_file(path, "0123456789");
  FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fseek(file, 4, SEEK_SET), 0);
  brindle_source source;
  brindle_source_init(&source);
  ASSERT_EQ(brindle_source_set_file(&source, file, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 1);
  EXPECT_EQ(std::fgetc(file), '4');
  std::fclose(file);

  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(lseek(fd, 6, SEEK_SET), 6);
  ASSERT_EQ(brindle_source_set_fd(&source, fd, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 1);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 6);
  close(fd);

  // A path is rewindable by nature: it is opened afresh for every pass.
  ASSERT_EQ(brindle_source_set_path(&source, dir.file("missing").c_str(), nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_is_rewindable(&source), 1);
  brindle_source_cleanup(&source);
}

TEST(Source, OpenAndReadFailures) {
  TempDir dir;
  brindle_source source;
  brindle_source_init(&source);
  const std::string missing = dir.file("missing");
  ASSERT_EQ(brindle_source_set_path(&source, missing.c_str(), nullptr), BRINDLE_OK);
  brindle_error error;
  StringSink sink;
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_IO_ERROR);
  EXPECT_EQ(std::string(error.message), "failed to open source path '" + missing + "'");
  EXPECT_EQ(error.system_errno, ENOENT);

  // Seekable but not readable: a stream opened for writing only, a directory descriptor.
  FILE *file = std::fopen(dir.file("w").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(brindle_source_set_file(&source, file, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to read source data");
  EXPECT_NE(error.system_errno, 0);
  std::fclose(file);
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(brindle_source_set_fd(&source, fd, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to read source data");
  EXPECT_EQ(error.system_errno, EISDIR);
  close(fd);
  brindle_source_cleanup(&source);
}

TEST(Source, SinkStatusStopsTheCopy) {
  TempDir dir;
  const std::string path = dir.file("content");
  values_test::write_file(path, pattern(9000));
  brindle_source source;
  brindle_source_init(&source);
  ASSERT_EQ(brindle_source_set_path(&source, path.c_str(), nullptr), BRINDLE_OK);
  StringSink sink;
  sink.fail_at = 2;
  sink.fail_status = BRINDLE_OVERFLOW;
  brindle_error error;
  EXPECT_EQ(brindle_source_write_to_sink(&source, StringSink::write, &sink, &error),
            BRINDLE_OVERFLOW);
  EXPECT_EQ(sink.calls, 2u);
  EXPECT_EQ(sink.text, pattern(4096));
  brindle_source_cleanup(&source);
}

TEST(Source, CursorForTheSerializerNamesItsOwnReadFailure) {
  TempDir dir;
  FILE *file = std::fopen(dir.file("w").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  brindle_source source;
  brindle_source_init(&source);
  ASSERT_EQ(brindle_source_set_file(&source, file, nullptr), BRINDLE_OK);
  brindle__source_cursor cursor;
  ASSERT_EQ(brindle__source_cursor_open(&cursor, &source, nullptr), BRINDLE_OK);
  char block[16];
  size_t length = 0;
  bool eof = false;
  brindle_error error;
  EXPECT_EQ(brindle__source_cursor_read(&cursor, block, sizeof(block), &length, &eof,
                                        "failed to read source bytes", &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to read source bytes");
  brindle__source_cursor_close(&cursor);
  std::fclose(file);
  brindle_source_cleanup(&source);
}

}  // namespace
