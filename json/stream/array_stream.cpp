// Array stream: opening and closing, what pull and push share, and the pull side that reads
// from a reader, FILE*, path or descriptor in 1024-byte blocks. The push side is in
// array_stream_push.cpp, the document machine in array_stream_machine.cpp.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "array_stream_internal.h"
#include "core/records.h"

namespace {

brindle_array_stream *open_stream(const char *field, const brindle__stream_input &input, bool push,
                                  const brindle_parse_options *options,
                                  brindle_error *error) noexcept {
  const brindle_parse_options use = options != nullptr ? *options : brindle_default_parse_options();
  const brindle_allocator allocator = brindle__allocator_resolve(use.allocator);
  auto *stream = static_cast<brindle_array_stream *>(
      brindle__raw_alloc(&allocator, sizeof(brindle_array_stream)));
  if (stream == nullptr) {
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate array stream");
    return nullptr;
  }
  std::memset(static_cast<void *>(stream), 0, sizeof(*stream));
  stream->allocator = allocator;
  stream->options = use;
  stream->options.allocator = &stream->allocator;
  stream->input = input;
  stream->push = push;
  stream->line = 1;
  stream->state = BRINDLE__DOC_START;
  stream->phase = BRINDLE__PHASE_ACTIVE;
  stream->parser = brindle__parser_new(&stream->allocator);
  bool ok = stream->parser != nullptr;
  if (ok && field != nullptr && field[0] != '\0') {
    stream->field_length = std::strlen(field);
    stream->field = static_cast<char *>(brindle__raw_alloc(&allocator, stream->field_length + 1));
    ok = stream->field != nullptr;
    if (ok) std::memcpy(stream->field, field, stream->field_length + 1);
  }
  if (!ok) {
    brindle_array_stream_close(stream);
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate array stream");
    return nullptr;
  }
  return stream;
}

bool check_open(const char *field, const brindle_parse_options *options,
                brindle_error *error) noexcept {
  if (options != nullptr && !brindle__allocator_is_valid(options->allocator)) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                  "allocator must provide either all callbacks or none");
    return false;
  }
  if (field != nullptr && std::strchr(field, '.') != nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                  "array stream v1 supports only one direct path segment");
    return false;
  }
  return true;
}

brindle__stream_input no_input() noexcept {
  brindle__stream_input input{};
  input.fd = -1;
  return input;
}

bool element_in_progress(const brindle_array_stream *stream) noexcept {
  return stream->state == BRINDLE__DOC_ELEMENT || stream->state == BRINDLE__DOC_ELEMENT_SEP;
}

}  // namespace

// ---- Shared by pull and push -------------------------------------------------------------------

// An argument failure: reported in the stream's record and the caller's; the stream goes on.
int brindle__array_refuse(brindle_array_stream *stream, brindle_error *error,
                          const char *message) noexcept {
  brindle_error_init(error);
  brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "%s", message);
  if (stream != nullptr) {
    const bool truncated = stream->error.truncated != 0;
    brindle__fail(&stream->error, BRINDLE_INVALID_ARGUMENT, "%s", message);
    if (truncated) stream->error.truncated = 1;
  }
  return BRINDLE_ARRAY_STREAM_ERROR;
}

void brindle__array_report(const brindle_array_stream *stream, brindle_error *error) noexcept {
  if (error != nullptr) *error = stream->error;
}

// The stored failure of a failed stream (a code is always there).
int brindle__array_stored_failure(brindle_array_stream *stream) noexcept {
  if (stream->error.code == BRINDLE_OK || stream->error.code == BRINDLE_TRUNCATED) {
    brindle__set_error(&stream->error, BRINDLE_INTERNAL_ERROR, 0, 0, 0,
                       "array stream failed without an error code");
  }
  return BRINDLE_ARRAY_STREAM_ERROR;
}

// An element that spans calls must be resumed as it was started.
bool brindle__array_resumes_element(const brindle_array_stream *stream,
                                    const brindle__array_request &request) noexcept {
  if (!element_in_progress(stream)) return true;
  return stream->element_mode == request.mode && stream->element_map == request.map &&
         stream->element_destination == request.destination;
}

// A call begins: the failure of a previous call's arguments, or a truncation, is forgotten.
void brindle__array_begin_call(brindle_array_stream *stream) noexcept {
  brindle_error_init(&stream->error);
}

// The element just read was truncated: its parser's record says where and how.
void brindle__array_note_truncated(brindle_array_stream *stream) noexcept {
  if (!stream->element_truncated) return;
  const brindle_error *parsed = brindle__parser_error(stream->parser);
  if (parsed->truncated != 0 && parsed->message[0] != '\0') {
    std::memcpy(stream->error.message, parsed->message, sizeof(stream->error.message));
  }
  stream->error.code = BRINDLE_TRUNCATED;
  stream->error.truncated = 1;
}

namespace {

// Runs the machine over the block, reading more until it produces a result.

int pull(brindle_array_stream *stream, const brindle__array_request &request) noexcept {
  for (;;) {
    const int result = brindle__array_run(stream, &request, stream->block, stream->block_fill,
                                          &stream->block_position);
    if (result != BRINDLE_ARRAY_STREAM_NEED_INPUT) return result;
    size_t length = 0;
    bool eof_after = false;
    int system_errno = 0;
    const brindle__input_outcome outcome = brindle__stream_input_read(
        &stream->input, stream->block, sizeof(stream->block), &length, &eof_after, &system_errno);
    switch (outcome) {
      case BRINDLE__READ_DATA:
        stream->block_fill = length;
        stream->block_position = 0;
        stream->eof = eof_after;
        break;
      case BRINDLE__READ_EOF:
        stream->block_fill = 0;
        stream->block_position = 0;
        stream->eof = true;
        break;
      case BRINDLE__READ_WOULD_BLOCK:
        // A reader asks its caller to come back; a descriptor or FILE* is waited for.
        if (!brindle__stream_input_wait(&stream->input)) return BRINDLE_ARRAY_STREAM_NEED_INPUT;
        break;
      default:
        brindle__array_fail(stream, BRINDLE_IO_ERROR, "array stream read failed");
        stream->error.system_errno = system_errno;
        return BRINDLE_ARRAY_STREAM_ERROR;
    }
  }
}

int next_common(brindle_array_stream *stream, const brindle__array_request &request,
                brindle_error *error) noexcept {
  if (stream->push) {
    const int result = brindle__array_refuse(stream, error, "push array stream cannot be pulled");
    return result;
  }
  if (stream->phase == BRINDLE__PHASE_FAILED) {
    brindle__array_stored_failure(stream);
    brindle__array_report(stream, error);
    return BRINDLE_ARRAY_STREAM_ERROR;
  }
  if (stream->phase == BRINDLE__PHASE_DONE) {
    brindle__array_begin_call(stream);
    brindle__array_report(stream, error);
    return BRINDLE_ARRAY_STREAM_END;
  }
  if (!brindle__array_resumes_element(stream, request)) {
    return brindle__array_refuse(stream, error,
                                 "resume array stream item with the same destination");
  }
  brindle__array_begin_call(stream);
  int result = pull(stream, request);
  if (result == BRINDLE_ARRAY_STREAM_ITEM) {
    if (request.mode == BRINDLE__MODE_RAW) {
      result = brindle__array_raw_deliver(stream,
                                          static_cast<brindle_json_value *>(request.destination));
    }
    if (result == BRINDLE_ARRAY_STREAM_ITEM) brindle__array_note_truncated(stream);
  }
  brindle__array_report(stream, error);
  return result;
}

}  // namespace

// ---- Opening and closing -----------------------------------------------------------------------

BRINDLE_API brindle_array_stream *brindle_array_stream_open_reader(
    const char *field, brindle_reader reader, void *context, const brindle_parse_options *options,
    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (reader == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "reader callback is required");
    return nullptr;
  }
  if (!check_open(field, options, error)) return nullptr;
  brindle__stream_input input = no_input();
  input.kind = BRINDLE__INPUT_READER;
  input.reader = reader;
  input.user = context;
  return open_stream(field, input, false, options, error);
}

BRINDLE_API brindle_array_stream *brindle_array_stream_open_filep(
    const char *field, FILE *file, const brindle_parse_options *options,
    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (file == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "file pointer is required");
    return nullptr;
  }
  if (!check_open(field, options, error)) return nullptr;
  brindle__stream_input input = no_input();
  input.kind = BRINDLE__INPUT_FILE;
  input.file = file;
  return open_stream(field, input, false, options, error);
}

BRINDLE_API brindle_array_stream *brindle_array_stream_open_path(
    const char *field, const char *path, const brindle_parse_options *options,
    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (path == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "path is required");
    return nullptr;
  }
  if (!check_open(field, options, error)) return nullptr;
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    brindle__fail_io(error, errno != 0 ? errno : EIO, "failed to open '%s'", path);
    return nullptr;
  }
  brindle__stream_input input = no_input();
  input.kind = BRINDLE__INPUT_FILE;
  input.file = file;
  input.owns_file = true;
  brindle_array_stream *stream = open_stream(field, input, false, options, error);
  if (stream == nullptr) std::fclose(file);
  return stream;
}

BRINDLE_API brindle_array_stream *brindle_array_stream_open_fd(const char *field, int fd,
                                                               const brindle_parse_options *options,
                                                               brindle_error *error) noexcept {
  brindle_error_init(error);
  if (fd < 0) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "fd must be non-negative");
    return nullptr;
  }
  if (!check_open(field, options, error)) return nullptr;
  brindle__stream_input input = no_input();
  input.kind = BRINDLE__INPUT_FD;
  input.fd = fd;
  return open_stream(field, input, false, options, error);
}

BRINDLE_API brindle_array_stream *brindle_array_stream_open_push(
    const char *field, const brindle_parse_options *options, brindle_error *error) noexcept {
  brindle_error_init(error);
  if (!check_open(field, options, error)) return nullptr;
  return open_stream(field, no_input(), true, options, error);
}

BRINDLE_API const brindle_error *brindle_array_stream_error(
    const brindle_array_stream *stream) noexcept {
  return stream != nullptr ? &stream->error : nullptr;
}

BRINDLE_API void brindle_array_stream_close(brindle_array_stream *stream) noexcept {
  if (stream == nullptr) return;
  const brindle_allocator allocator = stream->allocator;
  brindle__parser_delete(stream->parser);
  brindle__stream_input_close(&stream->input);
  if (stream->field != nullptr)
    brindle__raw_free(&allocator, stream->field, stream->field_length + 1);
  brindle__bytes_free(&stream->key, &allocator);
  brindle__bytes_free(&stream->capture, &allocator);
  brindle__key_set_free(&stream->root_keys, &allocator);
  brindle__key_set_free(&stream->value_keys, &allocator);
  brindle__raw_free(&allocator, stream, sizeof(brindle_array_stream));
}

// ---- Pull --------------------------------------------------------------------------------------

BRINDLE_API int brindle_array_stream_next(brindle_array_stream *stream, const brindle_map *map,
                                          void *destination, brindle_error *error) noexcept {
  if (stream == nullptr || map == nullptr || destination == nullptr) {
    return brindle__array_refuse(stream, error, "array stream, map, and destination are required");
  }
  brindle__array_request request{};
  request.mode = BRINDLE__MODE_MAPPED;
  request.map = map;
  request.destination = destination;
  return next_common(stream, request, error);
}

BRINDLE_API int brindle_array_stream_next_value(brindle_array_stream *stream,
                                                brindle_json_value *value,
                                                brindle_error *error) noexcept {
  if (stream == nullptr) return brindle__array_refuse(stream, error, "array stream is required");
  if (value == nullptr)
    return brindle__array_refuse(stream, error, "JSON value destination is required");
  brindle__array_request request{};
  request.mode = BRINDLE__MODE_RAW;
  request.destination = value;
  return next_common(stream, request, error);
}
