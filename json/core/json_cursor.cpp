// Cursors on the content of a JSON value (or on visitor input): memory, a reader callback, a
// FILE* or a descriptor, read in blocks.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "values_internal.h"

namespace {

void clear(brindle__json_cursor *cursor) {
  std::memset(cursor, 0, sizeof(*cursor));
  cursor->kind = BRINDLE_JSON_VALUE_NONE;
  cursor->fd = -1;
}

}  // namespace

void brindle__json_cursor_init_memory(brindle__json_cursor *cursor, const char *bytes,
                                      size_t length) noexcept {
  clear(cursor);
  cursor->kind = BRINDLE_JSON_VALUE_BUFFER;
  cursor->memory = bytes;
  cursor->memory_length = bytes != nullptr ? length : 0;
}

void brindle__json_cursor_init_reader(brindle__json_cursor *cursor, brindle_reader reader,
                                      void *user) noexcept {
  clear(cursor);
  cursor->kind = BRINDLE_JSON_VALUE_READER;
  cursor->reader = reader;
  cursor->reader_user = user;
}

void brindle__json_cursor_init_file(brindle__json_cursor *cursor, FILE *file) noexcept {
  clear(cursor);
  cursor->kind = BRINDLE_JSON_VALUE_FILE;
  cursor->file = file;
}

void brindle__json_cursor_init_fd(brindle__json_cursor *cursor, int fd) noexcept {
  clear(cursor);
  cursor->kind = BRINDLE_JSON_VALUE_FD;
  cursor->fd = fd;
}

brindle_status brindle__json_cursor_open(brindle__json_cursor *cursor,
                                         const brindle_json_value *value,
                                         brindle_error *error) noexcept {
  clear(cursor);
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "JSON value handle is required");
  }
  switch (value->kind) {
    case BRINDLE_JSON_VALUE_NONE:
      cursor->eof = true;
      return BRINDLE_OK;
    case BRINDLE_JSON_VALUE_BUFFER:
      brindle__json_cursor_init_memory(cursor, value->buffer, value->length);
      return BRINDLE_OK;
    case BRINDLE_JSON_VALUE_READER:
      if (value->reader == nullptr) break;
      brindle__json_cursor_init_reader(cursor, value->reader, value->reader_user);
      return BRINDLE_OK;
    case BRINDLE_JSON_VALUE_FILE:
      if (value->file == nullptr || std::fseek(value->file, 0, SEEK_SET) != 0) {
        return brindle__fail_io(error, brindle__errno_or_eio(),
                                "failed to rewind JSON value FILE*");
      }
      std::clearerr(value->file);
      brindle__json_cursor_init_file(cursor, value->file);
      return BRINDLE_OK;
    case BRINDLE_JSON_VALUE_FD:
      if (value->fd < 0 || lseek(value->fd, 0, SEEK_SET) < 0) {
        return brindle__fail_io(error, brindle__errno_or_eio(), "failed to rewind JSON value fd");
      }
      brindle__json_cursor_init_fd(cursor, value->fd);
      return BRINDLE_OK;
    case BRINDLE_JSON_VALUE_PATH: {
      const char *path = value->path != nullptr ? value->path : "";
      FILE *file = std::fopen(path, "rb");
      if (file == nullptr) {
        return brindle__fail_io(error, brindle__errno_or_eio(),
                                "failed to open JSON value path '%s'", path);
      }
      brindle__json_cursor_init_file(cursor, file);
      cursor->owns_file = true;
      return BRINDLE_OK;
    }
    default:
      break;
  }
  return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "unsupported JSON value kind");
}

brindle_status brindle__json_cursor_read(brindle__json_cursor *cursor, char *buffer,
                                         size_t capacity, size_t *length, bool *eof,
                                         brindle_error *error) noexcept {
  *length = 0;
  *eof = false;
  if (cursor->eof) {
    *eof = true;
    return BRINDLE_OK;
  }
  switch (cursor->kind) {
    case BRINDLE_JSON_VALUE_BUFFER: {
      size_t n = cursor->memory_length - cursor->memory_position;
      if (n > capacity) n = capacity;
      if (n > 0) std::memcpy(buffer, cursor->memory + cursor->memory_position, n);
      cursor->memory_position += n;
      *length = n;
      cursor->eof = cursor->memory_position >= cursor->memory_length;
      break;
    }
    case BRINDLE_JSON_VALUE_READER: {
      const brindle_read_result result = cursor->reader(cursor->reader_user, buffer, capacity);
      if (result.error != 0 || result.bytes > capacity) {
        const brindle_status status =
            brindle__fail(error, BRINDLE_CALLBACK_FAILED, "reader callback failed");
        if (error != nullptr) error->system_errno = result.error;
        return status;
      }
      *length = result.bytes;
      cursor->eof = result.eof != 0;
      break;
    }
    case BRINDLE_JSON_VALUE_FILE: {
      errno = 0;
      const size_t n = std::fread(buffer, 1, capacity, cursor->file);
      if (n < capacity) {
        if (std::ferror(cursor->file)) {
          return brindle__fail_io(error, brindle__errno_or_eio(),
                                  "failed to read JSON value stream");
        }
        cursor->eof = true;
      }
      *length = n;
      break;
    }
    case BRINDLE_JSON_VALUE_FD: {
      const long n = brindle__fd_read(cursor->fd, buffer, capacity);
      if (n < 0) {
        return brindle__fail_io(error, brindle__errno_or_eio(), "failed to read JSON value fd");
      }
      *length = static_cast<size_t>(n);
      cursor->eof = n == 0;
      break;
    }
    default:
      cursor->eof = true;
      break;
  }
  *eof = cursor->eof;
  return BRINDLE_OK;
}

void brindle__json_cursor_close(brindle__json_cursor *cursor) noexcept {
  if (cursor->owns_file && cursor->file != nullptr) std::fclose(cursor->file);
  clear(cursor);
}
