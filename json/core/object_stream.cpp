// Object stream: a sequence of top-level JSON objects (newline-delimited, or simply concatenated)
// read one at a time into a caller's record by the push parser. Bytes after an object stay
// buffered for the next call; on a non-blocking input a half-read object is kept until the
// rest arrives.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "parser_api.h"
#include "records.h"
#include "stream_input.h"

namespace {

constexpr size_t kReadSize = 1024;

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

struct brindle_stream {
  brindle__stream_input input;
  char buffer[kReadSize];
  size_t fill;
  size_t position;
  const brindle_map *map;
  void *in_progress;  // destination of the object being read
  void *prepared;     // the record prepared last (reset rather than initialised again)
  bool in_object;
  bool eof;
  size_t fed;  // bytes of the current object given to the parser
  brindle_error error;
  brindle_allocator allocator;    // the stream's own, also used for what the records receive
  brindle_parse_options options;  // options.allocator points at allocator
  brindle_parser *parser;
};

namespace {

brindle_stream *open_common(const brindle_map *map, const brindle__stream_input &input,
                            const brindle_parse_options *options, brindle_error *error) noexcept {
  const brindle_parse_options use = options != nullptr ? *options : brindle_default_parse_options();
  const brindle_allocator allocator = brindle__allocator_resolve(use.allocator);
  auto *stream =
      static_cast<brindle_stream *>(brindle__raw_alloc(&allocator, sizeof(brindle_stream)));
  if (stream == nullptr) {
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate stream");
    return nullptr;
  }
  std::memset(static_cast<void *>(stream), 0, sizeof(*stream));
  stream->allocator = allocator;
  stream->options = use;
  stream->options.allocator = &stream->allocator;
  stream->parser = brindle__parser_new(&stream->allocator);
  if (stream->parser == nullptr) {
    brindle__raw_free(&allocator, stream, sizeof(brindle_stream));
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate stream");
    return nullptr;
  }
  stream->input = input;
  stream->map = map;
  return stream;
}

// Checks shared by every open; false with the failure recorded.
bool check_common(const brindle_map *map, const brindle_parse_options *options,
                  brindle_error *error) noexcept {
  if (map == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "map is required");
    return false;
  }
  if (options != nullptr && !brindle__allocator_is_valid(options->allocator)) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                  "allocator must provide either all callbacks or none");
    return false;
  }
  return true;
}

// A new document for record: fresh parser state and, with clear_destination, a prepared record.
void start_document(brindle_stream *stream, void *record) noexcept {
  brindle__parser_release(stream->parser);
  brindle__parser_init_state(stream->parser, stream->map, record, &stream->options, 0);
  stream->fed = 0;
  if (stream->options.clear_destination != 0) {
    if (record == stream->prepared) {
      brindle_reset(stream->map, record);
    } else {
      brindle__parser_prepare_record(stream->map, record, &stream->options);
      stream->prepared = record;
    }
  }
}

int fail(brindle_stream *stream) noexcept {
  stream->in_object = false;
  stream->in_progress = nullptr;
  return BRINDLE_STREAM_ERROR;
}

// Feeds the buffered bytes of the object in progress; OBJECT, ERROR, or -1 when the buffer was
// used up without completing the object.
int feed(brindle_stream *stream) noexcept {
  const size_t available = stream->fill - stream->position;
  size_t consumed = 0;
  const brindle_status status = brindle__parser_feed_bytes(
      stream->parser, stream->buffer + stream->position, available, &consumed, 1);
  if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) {
    stream->error = *brindle__parser_error(stream->parser);
    // The failing byte counts as read, so the next call starts after it. The parser may have
    // taken a whole run of bytes past it, so its position, not the bytes it used, decides.
    size_t used = consumed;
    if (stream->error.offset > stream->fed) used = stream->error.offset - stream->fed;
    if (used == 0) used = 1;
    if (used > available) used = available;
    stream->position += used;
    return fail(stream);
  }
  stream->position += consumed;
  stream->fed += consumed;
  if (brindle__parser_root_complete(stream->parser)) {
    stream->error = *brindle__parser_error(stream->parser);
    stream->in_object = false;
    stream->in_progress = nullptr;
    return BRINDLE_STREAM_OBJECT;
  }
  return -1;
}

int next_object(brindle_stream *stream, void *record) noexcept {
  if (stream->in_object && record != stream->in_progress) {
    brindle__fail(&stream->error, BRINDLE_INVALID_ARGUMENT,
                  "resume the stream with the same destination");
    return BRINDLE_STREAM_ERROR;
  }
  if (!stream->in_object) {
    brindle_error_init(&stream->error);
    start_document(stream, record);
  }
  for (;;) {
    if (stream->position == stream->fill) {
      if (stream->eof) break;
      size_t length = 0;
      bool eof_after = false;
      int system_errno = 0;
      const brindle__input_outcome outcome =
          brindle__stream_input_read(&stream->input, stream->buffer, sizeof(stream->buffer),
                                     &length, &eof_after, &system_errno);
      if (outcome == BRINDLE__READ_WOULD_BLOCK) return BRINDLE_STREAM_WOULD_BLOCK;
      if (outcome == BRINDLE__READ_ERROR) {
        brindle__fail_io(&stream->error, system_errno, "stream read failed");
        return fail(stream);
      }
      if (outcome == BRINDLE__READ_EOF) {
        stream->eof = true;
        break;
      }
      stream->fill = length;
      stream->position = 0;
      stream->eof = eof_after;
      continue;
    }
    if (!stream->in_object) {
      while (stream->position < stream->fill && is_space(stream->buffer[stream->position])) {
        ++stream->position;
      }
      if (stream->position == stream->fill) continue;
      if (stream->buffer[stream->position] != '{') {
        ++stream->position;
        brindle__set_error(&stream->error, BRINDLE_INVALID_JSON, 1, 1, 1,
                           "expected top-level object");
        return fail(stream);
      }
      stream->in_object = true;
      stream->in_progress = record;
    }
    const int result = feed(stream);
    if (result >= 0) return result;
  }
  if (stream->in_object) {
    brindle_parser_finish(stream->parser);
    stream->error = *brindle__parser_error(stream->parser);
    return fail(stream);
  }
  return BRINDLE_STREAM_EOF;
}

}  // namespace

BRINDLE_API brindle_stream *brindle_stream_open_reader(const brindle_map *map,
                                                       brindle_reader reader, void *user,
                                                       const brindle_parse_options *options,
                                                       brindle_error *error) noexcept {
  brindle_error_init(error);
  if (!check_common(map, options, error)) return nullptr;
  if (reader == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "reader callback is required");
    return nullptr;
  }
  brindle__stream_input input{};
  input.kind = BRINDLE__INPUT_READER;
  input.reader = reader;
  input.user = user;
  input.fd = -1;
  return open_common(map, input, options, error);
}

BRINDLE_API brindle_stream *brindle_stream_open_filep(const brindle_map *map, FILE *file,
                                                      const brindle_parse_options *options,
                                                      brindle_error *error) noexcept {
  brindle_error_init(error);
  if (!check_common(map, options, error)) return nullptr;
  if (file == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "file pointer is required");
    return nullptr;
  }
  brindle__stream_input input{};
  input.kind = BRINDLE__INPUT_FILE;
  input.file = file;
  input.fd = -1;
  return open_common(map, input, options, error);
}

BRINDLE_API brindle_stream *brindle_stream_open_path(const brindle_map *map, const char *path,
                                                     const brindle_parse_options *options,
                                                     brindle_error *error) noexcept {
  brindle_error_init(error);
  if (!check_common(map, options, error)) return nullptr;
  if (path == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "path is required");
    return nullptr;
  }
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    brindle__fail_io(error, errno != 0 ? errno : EIO, "failed to open '%s'", path);
    return nullptr;
  }
  brindle__stream_input input{};
  input.kind = BRINDLE__INPUT_FILE;
  input.file = file;
  input.owns_file = true;
  input.fd = -1;
  brindle_stream *stream = open_common(map, input, options, error);
  if (stream == nullptr) std::fclose(file);
  return stream;
}

BRINDLE_API brindle_stream *brindle_stream_open_fd(const brindle_map *map, int fd,
                                                   const brindle_parse_options *options,
                                                   brindle_error *error) noexcept {
  brindle_error_init(error);
  if (!check_common(map, options, error)) return nullptr;
  if (fd < 0) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "fd must be non-negative");
    return nullptr;
  }
  brindle__stream_input input{};
  input.kind = BRINDLE__INPUT_FD;
  input.fd = fd;
  return open_common(map, input, options, error);
}

BRINDLE_API int brindle_stream_next(brindle_stream *stream, void *record,
                                    brindle_error *error) noexcept {
  if (stream == nullptr || record == nullptr) {
    brindle_error_init(error);
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "stream and destination are required");
    if (stream != nullptr) {
      brindle__fail(&stream->error, BRINDLE_INVALID_ARGUMENT,
                    "stream and destination are required");
    }
    return BRINDLE_STREAM_ERROR;
  }
  const int result = next_object(stream, record);
  if (error != nullptr) *error = stream->error;
  return result;
}

BRINDLE_API const brindle_error *brindle_stream_error(const brindle_stream *stream) noexcept {
  return stream != nullptr ? &stream->error : nullptr;
}

BRINDLE_API void brindle_stream_close(brindle_stream *stream) noexcept {
  if (stream == nullptr) return;
  brindle__parser_delete(stream->parser);
  brindle__stream_input_close(&stream->input);
  const brindle_allocator allocator = stream->allocator;
  brindle__raw_free(&allocator, stream, sizeof(brindle_stream));
}
