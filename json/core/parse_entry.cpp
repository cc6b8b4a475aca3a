// One-shot parsing into a mapped record from a buffer, a C string, a reader, a FILE* or a path.
#include <cerrno>
#include <cstdio>

#include "parser_state.h"

namespace {

constexpr size_t kReadSize = 1024;

// Starts a parser on the stack; false (with the failure in error) when the options are bad.
bool start(brindle_parser *parser, const brindle_map *map, void *record,
           const brindle_parse_options *options, bool validation, brindle_error *error) {
  parser->self_allocator = brindle_allocator{};
  const brindle_status status =
      brindle__parser_init_state(parser, map, record, options, validation ? 1 : 0);
  if (status != BRINDLE_OK) {
    if (error != nullptr) *error = parser->error;
    return false;
  }
  if (!validation) brindle__parser_prepare_record(map, record, options);
  return true;
}

brindle_status end(brindle_parser *parser, brindle_status status, brindle_error *error) {
  if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) status = brindle_parser_finish(parser);
  brindle__parser_release(parser);
  if (error != nullptr) *error = parser->error;
  return status;
}

bool check_target(const brindle_map *map, void *record, const brindle_parse_options *options,
                  brindle_error *error, brindle_status *status) {
  if (map == nullptr || record == nullptr) {
    *status = brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "map and destination are required");
    return false;
  }
  if (options != nullptr && !brindle__allocator_is_valid(options->allocator)) {
    *status = brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                            "allocator must provide either all callbacks or none");
    return false;
  }
  return true;
}

}  // namespace

brindle_status brindle__one_shot_buffer(const brindle_map *map, void *record, const char *bytes,
                                        size_t length, const brindle_parse_options *options,
                                        bool validation, brindle_error *error) noexcept {
  brindle_parser parser;
  if (!start(&parser, map, record, options, validation, error)) {
    return static_cast<brindle_status>(parser.error.code);
  }
  const brindle_status status = brindle__parser_feed_bytes(&parser, bytes, length, nullptr, 0);
  return end(&parser, status, error);
}

brindle_status brindle__one_shot_reader(const brindle_map *map, void *record, brindle_reader reader,
                                        void *user, const brindle_parse_options *options,
                                        bool validation, brindle_error *error) noexcept {
  brindle_parser parser;
  if (!start(&parser, map, record, options, validation, error)) {
    return static_cast<brindle_status>(parser.error.code);
  }
  char buffer[kReadSize];
  brindle_status status = BRINDLE_OK;
  for (;;) {
    const brindle_read_result result = reader(user, buffer, sizeof(buffer));
    if (result.error != 0) {
      brindle__parser_release(&parser);
      if (error != nullptr) *error = parser.error;
      return brindle__fail_io(error, result.error, "reader callback failed");
    }
    const size_t bytes = result.bytes < sizeof(buffer) ? result.bytes : sizeof(buffer);
    if (bytes > 0) {
      status = brindle__parser_feed_bytes(&parser, buffer, bytes, nullptr, 0);
      if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) break;
    }
    if (result.eof != 0) break;
  }
  return end(&parser, status, error);
}

brindle_read_result brindle__file_reader(void *file, char *buffer, size_t capacity) noexcept {
  FILE *stream = static_cast<FILE *>(file);
  brindle_read_result result = brindle_default_read_result();
  errno = 0;
  result.bytes = fread(buffer, 1, capacity, stream);
  if (result.bytes < capacity) {
    if (ferror(stream) != 0) {
      result.error = errno != 0 ? errno : EIO;
    } else if (feof(stream) != 0) {
      result.eof = 1;
    }
  }
  return result;
}

extern "C" {

BRINDLE_API brindle_status brindle_parse_buffer(const brindle_map *map, void *record,
                                                const char *bytes, size_t length,
                                                const brindle_parse_options *options,
                                                brindle_error *error) noexcept {
  brindle_error_init(error);
  brindle_status status;
  if (!check_target(map, record, options, error, &status)) return status;
  if (bytes == nullptr && length != 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "buffer is required");
  }
  return brindle__one_shot_buffer(map, record, bytes, length, options, false, error);
}

BRINDLE_API brindle_status brindle_parse_cstr(const brindle_map *map, void *record,
                                              const char *text,
                                              const brindle_parse_options *options,
                                              brindle_error *error) noexcept {
  brindle_error_init(error);
  brindle_status status;
  if (!check_target(map, record, options, error, &status)) return status;
  if (text == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "json string is required");
  }
  return brindle__one_shot_buffer(map, record, text, std::strlen(text), options, false, error);
}

BRINDLE_API brindle_status brindle_parse_reader(const brindle_map *map, void *record,
                                                brindle_reader reader, void *user,
                                                const brindle_parse_options *options,
                                                brindle_error *error) noexcept {
  brindle_error_init(error);
  brindle_status status;
  if (!check_target(map, record, options, error, &status)) return status;
  if (reader == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "reader callback is required");
  }
  return brindle__one_shot_reader(map, record, reader, user, options, false, error);
}

BRINDLE_API brindle_status brindle_parse_filep(const brindle_map *map, void *record, FILE *file,
                                               const brindle_parse_options *options,
                                               brindle_error *error) noexcept {
  brindle_error_init(error);
  brindle_status status;
  if (!check_target(map, record, options, error, &status)) return status;
  if (file == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "file pointer is required");
  }
  return brindle__one_shot_reader(map, record, brindle__file_reader, file, options, false, error);
}

BRINDLE_API brindle_status brindle_parse_path(const brindle_map *map, void *record,
                                              const char *path,
                                              const brindle_parse_options *options,
                                              brindle_error *error) noexcept {
  brindle_error_init(error);
  brindle_status status;
  if (!check_target(map, record, options, error, &status)) return status;
  if (path == nullptr) return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "path is required");
  FILE *file = fopen(path, "rb");
  if (file == nullptr) return brindle__fail_io(error, errno, "failed to open '%s'", path);
  status = brindle__one_shot_reader(map, record, brindle__file_reader, file, options, false, error);
  fclose(file);
  return status;
}

}  // extern "C"
