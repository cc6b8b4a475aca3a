// Every source and sink kind, with their failures: memory, files, open files, descriptors,
// callbacks; sv_copy; and the JSON file helpers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "api_test_support.h"
#include "support/scratch.h"

namespace {

using api_test::Error;
using api_test::read_all;

std::string temp_path(const std::string &name) {
  const auto dir = std::filesystem::path(stavo::test::scratch_path("stavo-api-io"));
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
  return text;
}

// ---- memory ----

TEST(MemorySource, ReadsInChunksAndRewinds) {
  const std::string text = pattern(10000);
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_memory(text.data(), text.size(), &source, error.get()), SV_OK);
  EXPECT_EQ(read_all(source, 333), text);
  char byte = 0;
  EXPECT_EQ(source->read(source, &byte, 1, error.get()), 0u);
  EXPECT_EQ(source->reset(source, error.get()), SV_OK);
  EXPECT_EQ(read_all(source, 4096), text);
  sv_source_close(source);
  sv_source_close(nullptr);
}

TEST(MemorySource, KeepsItsOwnCopyAndHandlesEmptyData) {
  std::string text = "original";
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_memory(text.data(), text.size(), &source, error.get()), SV_OK);
  text.assign("changed!");
  EXPECT_EQ(read_all(source), "original");
  sv_source_close(source);

  ASSERT_EQ(sv_source_from_memory(nullptr, 0, &source, error.get()), SV_OK);
  char buffer[4];
  EXPECT_EQ(source->read(source, buffer, sizeof(buffer), error.get()), 0u);
  EXPECT_EQ(error.code(), SV_OK);
  EXPECT_EQ(source->reset(source, error.get()), SV_OK);
  sv_source_close(source);

  EXPECT_EQ(sv_source_from_memory("x", 1, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source_from_memory requires out");
  EXPECT_EQ(sv_source_from_memory(nullptr, 3, &source, error.get()), SV_ERR_INVALID);
}

TEST(MemorySink, CollectsEveryWrite) {
  sv_sink *sink = nullptr;
  Error error;
  ASSERT_EQ(sv_sink_to_memory(&sink, error.get()), SV_OK);
  const char *bytes = reinterpret_cast<const char *>(0x1);
  size_t length = 99;
  ASSERT_EQ(sv_sink_memory_bytes(sink, &bytes, &length), 0);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 0u);
  const std::string text = pattern(50000);
  std::string expected;
  for (size_t offset = 0, step = 1; offset < text.size(); offset += step, step = step * 3 + 1) {
    const size_t count = std::min(step, text.size() - offset);
    ASSERT_EQ(sink->write(sink, text.data() + offset, count, error.get()), 1);
    expected.append(text, offset, count);
  }
  EXPECT_EQ(sink->write(sink, nullptr, 0, error.get()), 1);
  ASSERT_EQ(sv_sink_memory_bytes(sink, &bytes, &length), 0);
  EXPECT_EQ(std::string(bytes, length), expected);

  EXPECT_EQ(sv_sink_memory_bytes(nullptr, &bytes, &length), 1);
  EXPECT_EQ(sv_sink_memory_bytes(sink, nullptr, &length), 1);
  EXPECT_EQ(sv_sink_memory_bytes(sink, &bytes, nullptr), 1);
  sv_sink_close(sink);
  sv_sink_close(nullptr);

  sv_sink *fd_sink = nullptr;
  ASSERT_EQ(sv_sink_to_fd(1, &fd_sink, error.get()), SV_OK);
  EXPECT_EQ(sv_sink_memory_bytes(fd_sink, &bytes, &length), 1);  // not a memory sink
  sv_sink_close(fd_sink);
  EXPECT_EQ(sv_sink_to_memory(nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sink_to_memory requires out");
}

// ---- files ----

TEST(FileSource, ReadsAndRewindsAFile) {
  const std::string path = temp_path("source.bin");
  const std::string text = pattern(20000);
  write_file(path, text);
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_file(path.c_str(), &source, error.get()), SV_OK);
  EXPECT_EQ(read_all(source, 1500), text);
  ASSERT_EQ(source->reset(source, error.get()), SV_OK);
  EXPECT_EQ(read_all(source, 8192), text);
  sv_source_close(source);

  EXPECT_EQ(sv_source_from_file(nullptr, &source, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source_from_file requires path and out");
  EXPECT_EQ(sv_source_from_file(path.c_str(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(sv_source_from_file(temp_path("missing.bin").c_str(), &source, error.get()),
            SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to open file source");
  EXPECT_EQ(error.detail(), std::strerror(ENOENT));
}

// A read error is a failure, not an early end of the data.
TEST(FileSource, AReadErrorFailsTheReadWithTheSystemText) {
  const std::string dir = temp_path("a-directory");
  std::filesystem::create_directories(dir);
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_file(dir.c_str(), &source, error.get()), SV_OK) << error.message();
  char buffer[64];
  EXPECT_EQ(source->read(source, buffer, sizeof(buffer), error.get()), 0u);
  EXPECT_EQ(error.code(), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to read file source");
  EXPECT_EQ(error.detail(), std::strerror(EISDIR));

  // Copying it somewhere reports the failure instead of an empty success.
  sv_sink *sink = nullptr;
  ASSERT_EQ(sv_sink_to_memory(&sink, error.get()), SV_OK);
  error.clear();
  uint64_t total = 99;
  EXPECT_EQ(sv_copy(source, sink, &total, error.get()), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to read file source");
  EXPECT_EQ(total, 0u);
  sv_sink_close(sink);
  sv_source_close(source);
}

// A stream that yields some bytes and then fails, as a dying disk would.
ssize_t failing_cookie_read(void *cookie, char *buffer, size_t size) {
  auto *calls = static_cast<int *>(cookie);
  if ((*calls)++ == 0 && size >= 10) {
    std::memcpy(buffer, "0123456789", 10);
    return 10;
  }
  errno = EIO;
  return -1;
}

TEST(FileSource, BytesBeforeAReadErrorArriveAndTheErrorFollows) {
  int calls = 0;
  cookie_io_functions_t functions{};
  functions.read = failing_cookie_read;
  FILE *file = fopencookie(&calls, "r", functions);
  ASSERT_NE(file, nullptr);
  sv_source *source = sv_source_from_open_file(file, 1);
  ASSERT_NE(source, nullptr);
  int status = 0;
  Error error;
  EXPECT_EQ(read_all(source, 64, &status, error.get()), "0123456789");
  EXPECT_EQ(status, SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to read file source");
  EXPECT_EQ(error.detail(), std::strerror(EIO));
  sv_source_close(source);
}

TEST(OpenFileSource, ClosesTheFileOnlyWhenItOwnsIt) {
  const std::string path = temp_path("open.bin");
  write_file(path, "open file contents");
  FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  sv_source *borrowed = sv_source_from_open_file(file, 0);
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(read_all(borrowed, 5), "open file contents");
  sv_source_close(borrowed);
  // Still open and usable: rewind and read through stdio.
  ASSERT_EQ(std::fseek(file, 5, SEEK_SET), 0);
  char rest[5] = {};
  EXPECT_EQ(std::fread(rest, 1, 4, file), 4u);
  EXPECT_STREQ(rest, "file");

  sv_source *owned = sv_source_from_open_file(file, 1);
  ASSERT_NE(owned, nullptr);
  Error error;
  ASSERT_EQ(owned->reset(owned, error.get()), SV_OK);
  EXPECT_EQ(read_all(owned), "open file contents");
  sv_source_close(owned);  // closes the file; ASan would report a leak otherwise
  EXPECT_EQ(sv_source_from_open_file(nullptr, 1), nullptr);
}

TEST(FileSink, CreatesOrTruncatesTheFile) {
  const std::string path = temp_path("sink.bin");
  write_file(path, std::string(5000, 'x'));
  sv_sink *sink = nullptr;
  Error error;
  ASSERT_EQ(sv_sink_to_file(path.c_str(), &sink, error.get()), SV_OK);
  ASSERT_EQ(sink->write(sink, "hello ", 6, error.get()), 1);
  ASSERT_EQ(sink->write(sink, "world", 5, error.get()), 1);
  sv_sink_close(sink);
  EXPECT_EQ(read_file(path), "hello world");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_write,
            std::filesystem::perms::none);
}

TEST(FileSink, ArgumentsAreCheckedBeforeTheFileIsTouched) {
  const std::string path = temp_path("kept.bin");
  write_file(path, "keep me");
  Error error;
  EXPECT_EQ(sv_sink_to_file(path.c_str(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sink_to_file requires path and out");
  EXPECT_EQ(read_file(path), "keep me");
  sv_sink *sink = nullptr;
  EXPECT_EQ(sv_sink_to_file(nullptr, &sink, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sink_to_file requires path");
  EXPECT_EQ(sv_sink_to_file(temp_path("no/such/dir.bin").c_str(), &sink, error.get()),
            SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to open file sink");
  EXPECT_EQ(sink, nullptr);
}

// ---- descriptors ----

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
};

TEST(FdSource, ReadsOnceAndCannotRewind) {
  Pipe pipe;
  ASSERT_EQ(::write(pipe.fds[1], "abcdef", 6), 6);
  ::close(pipe.fds[1]);
  pipe.fds[1] = -1;
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_fd(pipe.fds[0], &source, error.get()), SV_OK);
  char buffer[4];
  EXPECT_EQ(source->read(source, buffer, sizeof(buffer), error.get()), 4u);
  EXPECT_EQ(read_all(source), "ef");
  EXPECT_EQ(source->reset(source, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source is not resettable");
  sv_source_close(source);
  EXPECT_NE(::fcntl(pipe.fds[0], F_GETFD), -1);  // the descriptor stays open

  ASSERT_EQ(sv_source_from_fd(-1, &source, error.get()), SV_OK);
  error.clear();
  EXPECT_EQ(source->read(source, buffer, sizeof(buffer), error.get()), 0u);
  EXPECT_EQ(error.code(), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to read from fd source");
  sv_source_close(source);
  EXPECT_EQ(sv_source_from_fd(0, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source_from_fd requires out");
}

TEST(FdSink, WritesWholeChunksAndFailsOnShortWrites) {
  Pipe pipe;
  sv_sink *sink = nullptr;
  Error error;
  ASSERT_EQ(sv_sink_to_fd(pipe.fds[1], &sink, error.get()), SV_OK);
  ASSERT_EQ(sink->write(sink, "ping", 4, error.get()), 1);
  char buffer[8] = {};
  ASSERT_EQ(::read(pipe.fds[0], buffer, sizeof(buffer)), 4);
  EXPECT_STREQ(buffer, "ping");

  // A non-blocking pipe with a small buffer takes only part of a large chunk.
  ASSERT_EQ(::fcntl(pipe.fds[1], F_SETFL, O_NONBLOCK), 0);
  const long pipe_size = ::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096);
  ASSERT_GT(pipe_size, 0);
  const std::string big(static_cast<size_t>(pipe_size) * 2, 'z');
  EXPECT_EQ(sink->write(sink, big.data(), big.size(), error.get()), 0);
  EXPECT_EQ(error.code(), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "failed to write to fd sink");
  sv_sink_close(sink);
  EXPECT_NE(::fcntl(pipe.fds[1], F_GETFD), -1);

  ASSERT_EQ(sv_sink_to_fd(-1, &sink, error.get()), SV_OK);
  EXPECT_EQ(sink->write(sink, "x", 1, error.get()), 0);
  EXPECT_EQ(error.message(), "failed to write to fd sink");
  sv_sink_close(sink);
  EXPECT_EQ(sv_sink_to_fd(1, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sink_to_fd requires out");
}

// ---- callbacks ----

struct CallbackState {
  std::string data = "callback data";
  size_t position = 0;
  int resets = 0;
  int closes = 0;
  bool fail = false;
};

size_t state_read(void *context, char *buffer, size_t capacity, sv_error *error) {
  auto *state = static_cast<CallbackState *>(context);
  if (state->fail) {
    sv_error_set(error, SV_ERR_PROTOCOL, 0, "callback read failed", nullptr, nullptr, nullptr);
    return 0;
  }
  const size_t count = std::min(capacity, state->data.size() - state->position);
  std::memcpy(buffer, state->data.data() + state->position, count);
  state->position += count;
  return count;
}

int state_reset(void *context, sv_error *) {
  auto *state = static_cast<CallbackState *>(context);
  state->position = 0;
  ++state->resets;
  return SV_OK;
}

void state_close(void *context) {
  ++static_cast<CallbackState *>(context)->closes;
}

TEST(CallbackSource, CallsTheCallbacksWithTheContext) {
  CallbackState state;
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(
      sv_source_from_callbacks(state_read, state_reset, state_close, &state, &source, error.get()),
      SV_OK);
  EXPECT_EQ(read_all(source, 3), "callback data");
  EXPECT_EQ(source->reset(source, error.get()), SV_OK);
  EXPECT_EQ(state.resets, 1);
  EXPECT_EQ(read_all(source), "callback data");
  sv_source_close(source);
  EXPECT_EQ(state.closes, 1);

  ASSERT_EQ(sv_source_from_callbacks(state_read, nullptr, nullptr, &state, &source, error.get()),
            SV_OK);
  EXPECT_EQ(source->reset(source, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source is not resettable");
  sv_source_close(source);
  EXPECT_EQ(state.closes, 1);

  EXPECT_EQ(sv_source_from_callbacks(nullptr, nullptr, nullptr, &state, &source, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "source_from_callbacks requires read and out");
  EXPECT_EQ(sv_source_from_callbacks(state_read, nullptr, nullptr, &state, nullptr, error.get()),
            SV_ERR_INVALID);
}

// ---- sv_copy ----

// A sink that accepts `accept` writes, then fails (with or without a message).
struct LimitedSink {
  sv_sink base{};
  std::string data;
  int accept = 0;
  bool with_message = true;
  LimitedSink() {
    base.write = [](sv_sink *sink, const char *bytes, size_t length, sv_error *error) -> int {
      auto *self = reinterpret_cast<LimitedSink *>(sink);
      if (self->accept-- <= 0) {
        if (self->with_message) {
          sv_error_set(error, SV_ERR_NOMEM, 0, "disk full", nullptr, nullptr, nullptr);
        }
        return 0;
      }
      self->data.append(bytes, length);
      return 1;
    };
    base.close = [](sv_sink *) {};
  }
};

TEST(Copy, CopiesEverythingAndCountsIt) {
  const std::string text = pattern(100000);
  sv_source *source = nullptr;
  sv_sink *sink = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_memory(text.data(), text.size(), &source, error.get()), SV_OK);
  ASSERT_EQ(sv_sink_to_memory(&sink, error.get()), SV_OK);
  // A stale code in the caller's record does not turn a good copy into a failure.
  sv_error_set(error.get(), SV_ERR_SERVER, 500, "old", nullptr, nullptr, nullptr);
  uint64_t total = 0;
  EXPECT_EQ(sv_copy(source, sink, &total, error.get()), SV_OK);
  EXPECT_EQ(total, text.size());
  const char *bytes = nullptr;
  size_t length = 0;
  ASSERT_EQ(sv_sink_memory_bytes(sink, &bytes, &length), 0);
  EXPECT_EQ(std::string(bytes, length), text);
  // Without an error record or a total.
  ASSERT_EQ(source->reset(source, nullptr), SV_OK);
  EXPECT_EQ(sv_copy(source, sink, nullptr, nullptr), SV_OK);
  sv_sink_close(sink);
  sv_source_close(source);

  EXPECT_EQ(sv_copy(nullptr, sink, &total, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sv_copy requires src and dst");
  EXPECT_EQ(sv_copy(source, nullptr, &total, error.get()), SV_ERR_INVALID);
}

TEST(Copy, ASinkThatFailsPartWayReportsWhatItAccepted) {
  const std::string text = pattern(8192 * 3 + 100);
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_memory(text.data(), text.size(), &source, error.get()), SV_OK);
  LimitedSink sink;
  sink.accept = 2;
  uint64_t total = 0;
  EXPECT_EQ(sv_copy(source, &sink.base, &total, error.get()), SV_ERR_NOMEM);
  EXPECT_EQ(error.message(), "disk full");
  EXPECT_EQ(total, 8192u * 2);
  EXPECT_EQ(sink.data, text.substr(0, 8192 * 2));

  ASSERT_EQ(source->reset(source, error.get()), SV_OK);
  LimitedSink silent;
  silent.with_message = false;
  error.clear();
  EXPECT_EQ(sv_copy(source, &silent.base, &total, error.get()), SV_ERR_TRANSPORT);
  EXPECT_EQ(total, 0u);
  sv_source_close(source);
}

TEST(Copy, AFailingReadIsReturned) {
  CallbackState state;
  state.fail = true;
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_callbacks(state_read, nullptr, nullptr, &state, &source, error.get()),
            SV_OK);
  sv_sink *sink = nullptr;
  ASSERT_EQ(sv_sink_to_memory(&sink, error.get()), SV_OK);
  uint64_t total = 7;
  EXPECT_EQ(sv_copy(source, sink, &total, error.get()), SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "callback read failed");
  EXPECT_EQ(total, 0u);
  sv_sink_close(sink);
  sv_source_close(source);
}

// ---- JSON file helpers ----

struct Point {
  int64_t x;
  int64_t y;
  char *label;
};
const brindle_field point_fields[] = {
    BRINDLE_DECL_I64(Point, x, "x", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_I64(Point, y, "y", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Point, label, "label", BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map point_map = BRINDLE_MAP("point_json", Point, point_fields);

TEST(JsonFiles, SerializeAndParseThroughAnOpenFile) {
  FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  char label[] = "origin";
  Point written{3, -4, label};
  Error error;
  ASSERT_EQ(sv_brindle_serialize_file(file, &point_map, &written, nullptr, error.get(), "ser"),
            SV_OK);
  std::rewind(file);
  Point read{};
  ASSERT_EQ(sv_brindle_parse_file(file, &point_map, &read, nullptr, error.get(), "parse"), SV_OK);
  EXPECT_EQ(read.x, 3);
  EXPECT_EQ(read.y, -4);
  EXPECT_STREQ(read.label, "origin");
  brindle_cleanup(&point_map, &read);
  std::fclose(file);
}

TEST(JsonFiles, FailuresCarryTheCallersMessageAndTheLibraryText) {
  FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fputs("{\"x\": 1}", file);
  std::rewind(file);
  Point read{};
  Error error;
  EXPECT_EQ(sv_brindle_parse_file(file, &point_map, &read, nullptr, error.get(), "bad point"),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "bad point");
  EXPECT_NE(error.detail().find("'y'"), std::string::npos) << error.detail();
  brindle_cleanup(&point_map, &read);
  std::fclose(file);

  EXPECT_EQ(sv_brindle_parse_file(nullptr, &point_map, &read, nullptr, error.get(), nullptr),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "brindle parse requires file, map, and destination");
  EXPECT_EQ(sv_brindle_serialize_file(nullptr, &point_map, &read, nullptr, error.get(), nullptr),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "brindle serialize requires file, map, and source");
  EXPECT_EQ(sv_brindle_serialize_file(stdout, nullptr, &read, nullptr, error.get(), "custom"),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "custom");
}

TEST(JsonFiles, FileWriteCallbackAppendsAndReportsFailures) {
  FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  sv_engine_error engine;
  sv_engine_error_init(&engine);
  EXPECT_EQ(sv_engine_file_write_callback(file, "abc", 3, &engine), 1);
  EXPECT_EQ(sv_engine_file_write_callback(file, nullptr, 0, &engine), 1);
  EXPECT_EQ(sv_engine_file_write_callback(file, "def", 3, &engine), 1);
  std::rewind(file);
  char text[8] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof(text) - 1, file), 6u);
  EXPECT_STREQ(text, "abcdef");
  std::fclose(file);

  EXPECT_EQ(sv_engine_file_write_callback(nullptr, "x", 1, &engine), 0);
  EXPECT_EQ(engine.code, SV_ERR_INVALID);
  EXPECT_STREQ(engine.message, "file write callback requires file and bytes");
  EXPECT_EQ(sv_engine_file_write_callback(stdout, nullptr, 2, &engine), 0);
  EXPECT_EQ(engine.code, SV_ERR_INVALID);

  // A stream opened for reading refuses writes: the system's text is the message.
  const std::string path = temp_path("read-only.json");
  write_file(path, "{}");
  FILE *read_only = std::fopen(path.c_str(), "r");
  ASSERT_NE(read_only, nullptr);
  std::setvbuf(read_only, nullptr, _IONBF, 0);
  EXPECT_EQ(sv_engine_file_write_callback(read_only, "xyz", 3, &engine), 0);
  EXPECT_EQ(engine.code, SV_ERR_TRANSPORT);
  EXPECT_STREQ(engine.message, std::strerror(EBADF));
  std::fclose(read_only);
  sv_engine_error_cleanup(&engine);
}

}  // namespace
