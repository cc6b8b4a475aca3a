// Block reads for the streaming readers over readers, FILE* and descriptors.
#include "stream_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool is_would_block(int error) noexcept {
  return error == EAGAIN || error == EWOULDBLOCK;
}

brindle__input_outcome read_reader(brindle__stream_input *input, char *buffer, size_t capacity,
                                   size_t *length, bool *eof_after, int *system_errno) noexcept {
  for (;;) {
    const brindle_read_result result = input->reader(input->user, buffer, capacity);
    if (result.error != 0) {
      *system_errno = result.error;
      return BRINDLE__READ_ERROR;
    }
    const size_t bytes = result.bytes < capacity ? result.bytes : capacity;
    if (bytes > 0) {
      *length = bytes;
      *eof_after = result.eof != 0;
      return BRINDLE__READ_DATA;
    }
    if (result.eof != 0) return BRINDLE__READ_EOF;
    if (result.would_block != 0) return BRINDLE__READ_WOULD_BLOCK;
  }
}

brindle__input_outcome read_file(brindle__stream_input *input, char *buffer, size_t capacity,
                                 size_t *length, bool *eof_after, int *system_errno) noexcept {
  errno = 0;
  const size_t bytes = std::fread(buffer, 1, capacity, input->file);
  if (bytes == capacity) {
    *length = bytes;
    return BRINDLE__READ_DATA;
  }
  if (std::ferror(input->file) != 0) {
    const int error = errno != 0 ? errno : EIO;
    if (is_would_block(error) || error == EINTR) {
      std::clearerr(input->file);
      if (bytes > 0) {
        *length = bytes;
        return BRINDLE__READ_DATA;
      }
      return error == EINTR ? read_file(input, buffer, capacity, length, eof_after, system_errno)
                            : BRINDLE__READ_WOULD_BLOCK;
    }
    *system_errno = error;
    return BRINDLE__READ_ERROR;
  }
  // A short read without an error is the end of the file.
  if (bytes > 0) {
    *length = bytes;
    *eof_after = std::feof(input->file) != 0;
    return BRINDLE__READ_DATA;
  }
  return BRINDLE__READ_EOF;
}

brindle__input_outcome read_fd(brindle__stream_input *input, char *buffer, size_t capacity,
                               size_t *length, int *system_errno) noexcept {
  for (;;) {
    const ssize_t bytes = read(input->fd, buffer, capacity);
    if (bytes > 0) {
      *length = static_cast<size_t>(bytes);
      return BRINDLE__READ_DATA;
    }
    if (bytes == 0) return BRINDLE__READ_EOF;
    if (errno == EINTR) continue;
    if (is_would_block(errno)) return BRINDLE__READ_WOULD_BLOCK;
    *system_errno = errno != 0 ? errno : EIO;
    return BRINDLE__READ_ERROR;
  }
}

}  // namespace

brindle__input_outcome brindle__stream_input_read(brindle__stream_input *input, char *buffer,
                                                  size_t capacity, size_t *length, bool *eof_after,
                                                  int *system_errno) noexcept {
  *length = 0;
  *eof_after = false;
  *system_errno = 0;
  switch (input->kind) {
    case BRINDLE__INPUT_READER:
      return read_reader(input, buffer, capacity, length, eof_after, system_errno);
    case BRINDLE__INPUT_FILE:
      return read_file(input, buffer, capacity, length, eof_after, system_errno);
    case BRINDLE__INPUT_FD:
      return read_fd(input, buffer, capacity, length, system_errno);
    default:
      *system_errno = EINVAL;
      return BRINDLE__READ_ERROR;
  }
}

bool brindle__stream_input_wait(const brindle__stream_input *input) noexcept {
  int fd = -1;
  if (input->kind == BRINDLE__INPUT_FD) fd = input->fd;
  if (input->kind == BRINDLE__INPUT_FILE) fd = fileno(input->file);
  if (fd < 0) return false;
  pollfd entry{};
  entry.fd = fd;
  entry.events = POLLIN;
  for (;;) {
    const int ready = poll(&entry, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

void brindle__stream_input_close(brindle__stream_input *input) noexcept {
  if (input->kind == BRINDLE__INPUT_FILE && input->owns_file && input->file != nullptr) {
    std::fclose(input->file);
  }
  input->file = nullptr;
  input->owns_file = false;
  input->kind = BRINDLE__INPUT_NONE;
}
