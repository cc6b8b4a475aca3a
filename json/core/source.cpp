// Sources: where the text or bytes of an outgoing string come from (a FILE*, a descriptor or a
// path). Every use reads the source from its first byte, in blocks.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "values_internal.h"

namespace {

constexpr size_t kBlockSize = 4096;

}  // namespace

// ---- Callback results --------------------------------------------------------------------------

brindle_status brindle__callback_failed(brindle_error *error, brindle_status status,
                                        const char *message) noexcept {
  if (error != nullptr && (error->code == BRINDLE_OK || error->code == BRINDLE_TRUNCATED)) {
    brindle__fail(error, status, "%s", message);
  }
  return status;
}

brindle_status brindle__finish(brindle_error *error, bool truncated) noexcept {
  if (!truncated) return BRINDLE_OK;
  if (error != nullptr) {
    error->code = BRINDLE_TRUNCATED;
    error->truncated = 1;
  }
  return BRINDLE_TRUNCATED;
}

// ---- Files and descriptors ---------------------------------------------------------------------

int brindle__errno_or_eio() noexcept {
  return errno != 0 ? errno : EIO;
}

int brindle__file_is_rewindable(FILE *file) noexcept {
  if (file == nullptr) return 0;
  const long position = std::ftell(file);
  if (position < 0) return 0;
  if (std::fseek(file, 0, SEEK_SET) != 0) return 0;
  if (std::fseek(file, position, SEEK_SET) != 0) return 0;
  return 1;
}

int brindle__fd_is_rewindable(int fd) noexcept {
  if (fd < 0) return 0;
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0) return 0;
  if (lseek(fd, 0, SEEK_SET) < 0) return 0;
  if (lseek(fd, position, SEEK_SET) < 0) return 0;
  return 1;
}

long brindle__fd_read(int fd, char *buffer, size_t capacity) noexcept {
  for (;;) {
    const ssize_t n = read(fd, buffer, capacity);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

// ---- Cursor ------------------------------------------------------------------------------------

brindle_status brindle__source_cursor_open_once(brindle__source_cursor *cursor,
                                                const brindle_source *source,
                                                brindle_error *error) noexcept {
  // Only a stream that cannot seek at all is taken as it stands; any other failure to rewind a
  // seekable one is still an error.
  if (source != nullptr && source->kind == BRINDLE_SOURCE_FILE && source->file != nullptr &&
      std::fseek(source->file, 0, SEEK_SET) != 0 && errno == ESPIPE) {
    std::clearerr(source->file);
    cursor->kind = BRINDLE_SOURCE_FILE;
    cursor->file = source->file;
    cursor->fd = -1;
    cursor->owns_file = false;
    return BRINDLE_OK;
  }
  if (source != nullptr && source->kind == BRINDLE_SOURCE_FD && source->fd >= 0 &&
      lseek(source->fd, 0, SEEK_SET) < 0 && errno == ESPIPE) {
    cursor->kind = BRINDLE_SOURCE_FD;
    cursor->file = nullptr;
    cursor->fd = source->fd;
    cursor->owns_file = false;
    return BRINDLE_OK;
  }
  return brindle__source_cursor_open(cursor, source, error);
}

brindle_status brindle__source_cursor_open(brindle__source_cursor *cursor,
                                           const brindle_source *source,
                                           brindle_error *error) noexcept {
  cursor->kind = BRINDLE_SOURCE_NONE;
  cursor->file = nullptr;
  cursor->fd = -1;
  cursor->owns_file = false;
  if (source == nullptr) return BRINDLE_OK;
  switch (source->kind) {
    case BRINDLE_SOURCE_FILE:
      if (source->file == nullptr || std::fseek(source->file, 0, SEEK_SET) != 0) {
        return brindle__fail_io(error, brindle__errno_or_eio(),
                                "failed to rewind source FILE*; non-seekable sources are "
                                "unsupported");
      }
      std::clearerr(source->file);
      cursor->kind = BRINDLE_SOURCE_FILE;
      cursor->file = source->file;
      return BRINDLE_OK;
    case BRINDLE_SOURCE_FD:
      if (source->fd < 0 || lseek(source->fd, 0, SEEK_SET) < 0) {
        return brindle__fail_io(error, brindle__errno_or_eio(),
                                "failed to rewind source fd; non-seekable sources are "
                                "unsupported");
      }
      cursor->kind = BRINDLE_SOURCE_FD;
      cursor->fd = source->fd;
      return BRINDLE_OK;
    case BRINDLE_SOURCE_PATH: {
      const char *path = source->path != nullptr ? source->path : "";
      FILE *file = std::fopen(path, "rb");
      if (file == nullptr) {
        return brindle__fail_io(error, brindle__errno_or_eio(), "failed to open source path '%s'",
                                path);
      }
      cursor->kind = BRINDLE_SOURCE_FILE;
      cursor->file = file;
      cursor->owns_file = true;
      return BRINDLE_OK;
    }
    default:
      return BRINDLE_OK;  // kind none: nothing to read
  }
}

brindle_status brindle__source_cursor_read(brindle__source_cursor *cursor, char *buffer,
                                           size_t capacity, size_t *length, bool *eof,
                                           const char *failure_message,
                                           brindle_error *error) noexcept {
  *length = 0;
  *eof = false;
  if (cursor->kind == BRINDLE_SOURCE_FILE) {
    errno = 0;
    const size_t n = std::fread(buffer, 1, capacity, cursor->file);
    *length = n;
    if (n < capacity) {
      if (std::ferror(cursor->file)) {
        return brindle__fail_io(error, brindle__errno_or_eio(), "%s", failure_message);
      }
      *eof = true;
    }
    return BRINDLE_OK;
  }
  if (cursor->kind == BRINDLE_SOURCE_FD) {
    const long n = brindle__fd_read(cursor->fd, buffer, capacity);
    if (n < 0) return brindle__fail_io(error, brindle__errno_or_eio(), "%s", failure_message);
    *length = static_cast<size_t>(n);
    *eof = n == 0;
    return BRINDLE_OK;
  }
  *eof = true;
  return BRINDLE_OK;
}

void brindle__source_cursor_close(brindle__source_cursor *cursor) noexcept {
  if (cursor->owns_file && cursor->file != nullptr) std::fclose(cursor->file);
  cursor->kind = BRINDLE_SOURCE_NONE;
  cursor->file = nullptr;
  cursor->fd = -1;
  cursor->owns_file = false;
}

// ---- Public functions --------------------------------------------------------------------------

extern "C" {

BRINDLE_API void brindle_source_init(brindle_source *source) noexcept {
  if (source == nullptr) return;
  std::memset(source, 0, sizeof(*source));
  source->kind = BRINDLE_SOURCE_NONE;
  source->fd = -1;
}

BRINDLE_API void brindle_source_cleanup(brindle_source *source) noexcept {
  if (source == nullptr) return;
  brindle__block_free(source->path);
  brindle_source_init(source);
}

BRINDLE_API void brindle_source_reset(brindle_source *source) noexcept {
  brindle_source_cleanup(source);
}

BRINDLE_API brindle_status brindle_source_set_file(brindle_source *source, FILE *file,
                                                   brindle_error *error) noexcept {
  if (source == nullptr || file == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "source handle and FILE* are required");
  }
  brindle_source_cleanup(source);
  source->kind = BRINDLE_SOURCE_FILE;
  source->file = file;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_source_set_fd(brindle_source *source, int fd,
                                                 brindle_error *error) noexcept {
  if (source == nullptr || fd < 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "source handle and non-negative fd are required");
  }
  brindle_source_cleanup(source);
  source->kind = BRINDLE_SOURCE_FD;
  source->fd = fd;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_source_set_path(brindle_source *source, const char *path,
                                                   brindle_error *error) noexcept {
  if (source == nullptr || path == nullptr || path[0] == '\0') {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "source handle and path are required");
  }
  // Copy first, so that a failed copy leaves the source as it was.
  char *copy = brindle__block_strdup(nullptr, path);
  if (copy == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to duplicate source path");
  }
  brindle_source_cleanup(source);
  source->kind = BRINDLE_SOURCE_PATH;
  source->path = copy;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_source_write_to_sink(const brindle_source *source,
                                                        brindle_sink sink, void *user,
                                                        brindle_error *error) noexcept {
  if (source == nullptr || sink == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "source handle and sink are required");
  }
  brindle_error_init(error);
  brindle__source_cursor cursor;
  brindle_status status = brindle__source_cursor_open(&cursor, source, error);
  if (status != BRINDLE_OK) return status;
  char block[kBlockSize];
  bool truncated = false;
  bool eof = false;
  while (!eof) {
    size_t length = 0;
    status = brindle__source_cursor_read(&cursor, block, sizeof(block), &length, &eof,
                                         "failed to read source data", error);
    if (status != BRINDLE_OK) break;
    if (length > 0) {
      status = brindle__sink_call(sink, user, block, length, error, &truncated);
      if (status != BRINDLE_OK) {
        brindle__callback_failed(error, status, "sink failed");
        break;
      }
    }
  }
  brindle__source_cursor_close(&cursor);
  if (status != BRINDLE_OK) return status;
  return brindle__finish(error, truncated);
}

BRINDLE_API int brindle_source_is_rewindable(const brindle_source *source) noexcept {
  if (source == nullptr) return 0;
  switch (source->kind) {
    case BRINDLE_SOURCE_NONE:
    case BRINDLE_SOURCE_PATH:
      return 1;
    case BRINDLE_SOURCE_FILE:
      return brindle__file_is_rewindable(source->file);
    case BRINDLE_SOURCE_FD:
      return brindle__fd_is_rewindable(source->fd);
    default:
      return 0;
  }
}

}  // extern "C"
