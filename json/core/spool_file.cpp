// The spill file of a spooled value, and the cursor that reads a spooled value from its start.
#include "spool_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The descriptor of a spill file must not leak into child processes.
void set_close_on_exec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

brindle_status brindle__spool_file_create(brindle_spooled *spooled, brindle_error *error) noexcept {
  const char *dir = spooled->options.temp_dir;
  if (dir != nullptr && dir[0] != '\0') {
    const int n =
        std::snprintf(spooled->path, sizeof(spooled->path), "%s/brindle-spool-XXXXXX", dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(spooled->path)) {
      spooled->path[0] = '\0';
      return brindle__fail_io(error, ENAMETOOLONG, "temporary spool path is too long");
    }
    const int fd = mkostemp(spooled->path, O_CLOEXEC);
    if (fd < 0) {
      const int saved = brindle__errno_or_eio();
      spooled->path[0] = '\0';
      return brindle__fail_io(error, saved, "failed to create spool file");
    }
    FILE *file = fdopen(fd, "w+b");
    if (file == nullptr) {
      const int saved = brindle__errno_or_eio();
      close(fd);
      unlink(spooled->path);
      spooled->path[0] = '\0';
      return brindle__fail_io(error, saved, "failed to open spool file");
    }
    spooled->file = file;
  } else {
    spooled->path[0] = '\0';
    FILE *file = std::tmpfile();
    if (file == nullptr) {
      return brindle__fail_io(error, brindle__errno_or_eio(),
                              "failed to create anonymous spool file");
    }
    set_close_on_exec(fileno(file));
    spooled->file = file;
  }
  spooled->spilled = 1;
  return BRINDLE_OK;
}

brindle_status brindle__spool_file_write(brindle_spooled *spooled, const char *bytes, size_t length,
                                         brindle_error *error) noexcept {
  // The stream is only ever written, so its position stays at the end of the file.
  errno = 0;
  if (std::ferror(spooled->file) || std::fwrite(bytes, 1, length, spooled->file) != length ||
      std::ferror(spooled->file)) {
    return brindle__fail_io(error, brindle__errno_or_eio(), "failed to write spool file");
  }
  return BRINDLE_OK;
}

int brindle__spool_file_flush(brindle_spooled *spooled) noexcept {
  if (spooled->file == nullptr) return 0;
  errno = 0;
  if (std::ferror(spooled->file) || std::fflush(spooled->file) != 0) {
    return brindle__errno_or_eio();
  }
  return 0;
}

long brindle__spool_file_read_at(brindle_spooled *spooled, size_t offset, char *buffer,
                                 size_t capacity) noexcept {
  if (spooled->file == nullptr) {
    errno = EIO;
    return -1;
  }
  const int fd = fileno(spooled->file);
  for (;;) {
    const ssize_t n = pread(fd, buffer, capacity, static_cast<off_t>(offset));
    if (n > 0) return static_cast<long>(n);
    if (n == 0) {
      errno = EIO;  // the file holds less than was appended
      return -1;
    }
    if (errno != EINTR) return -1;
  }
}

void brindle__spool_file_close(brindle_spooled *spooled) noexcept {
  if (spooled->file != nullptr) std::fclose(spooled->file);
  spooled->file = nullptr;
  if (spooled->path[0] != '\0') unlink(spooled->path);
  spooled->path[0] = '\0';
}

// ---- Cursor ------------------------------------------------------------------------------------

brindle_status brindle__spool_cursor_open(brindle__spool_cursor *cursor, brindle_spooled *spooled,
                                          brindle_error *error) noexcept {
  cursor->spooled = spooled;
  cursor->position = 0;
  if (spooled == nullptr) return BRINDLE_OK;
  const int failure = brindle__spool_file_flush(spooled);
  if (failure != 0) return brindle__fail_io(error, failure, "failed to write spool file");
  return BRINDLE_OK;
}

brindle_status brindle__spool_cursor_read(brindle__spool_cursor *cursor, char *buffer,
                                          size_t capacity, size_t *length, bool *eof,
                                          const char *failure_message,
                                          brindle_error *error) noexcept {
  *length = 0;
  *eof = true;
  brindle_spooled *spooled = cursor->spooled;
  if (spooled == nullptr || cursor->position >= spooled->size) return BRINDLE_OK;
  if (capacity == 0) {
    *eof = false;
    return BRINDLE_OK;
  }
  size_t n = 0;
  if (cursor->position < spooled->prefix_length) {
    n = spooled->prefix_length - cursor->position;
    if (n > capacity) n = capacity;
    std::memcpy(buffer, spooled->prefix + cursor->position, n);
  } else {
    size_t want = spooled->size - cursor->position;
    if (want > capacity) want = capacity;
    const long got = brindle__spool_file_read_at(spooled, cursor->position - spooled->prefix_length,
                                                 buffer, want);
    if (got < 0) return brindle__fail_io(error, brindle__errno_or_eio(), "%s", failure_message);
    n = static_cast<size_t>(got);
  }
  cursor->position += n;
  *length = n;
  *eof = cursor->position >= spooled->size;
  return BRINDLE_OK;
}
