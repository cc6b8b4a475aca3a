// Ready-made sinks: a file by path, a descriptor and a growing memory buffer.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "stavoc.h"

namespace {

constexpr size_t kMemorySinkFirstCapacity = 4096;

int set_error(sv_error *error, int code, const char *message,
              const char *detail = nullptr) noexcept {
  return sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

// ---- descriptor (also the file sink, which owns its descriptor) ----

struct FdSink {
  sv_sink base;
  int fd;
  int owned;
};

// One write(2): a short write is a failure and is not retried.
int fd_write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) noexcept {
  auto *fd_sink = reinterpret_cast<FdSink *>(sink);
  if (length == 0) return 1;
  if (bytes == nullptr) {
    set_error(error, SV_ERR_INVALID, "sink write requires bytes");
    return 0;
  }
  ssize_t written = 0;
  do {
    written = ::write(fd_sink->fd, bytes, length);
  } while (written < 0 && errno == EINTR);
  if (written < 0 || static_cast<size_t>(written) != length) {
    set_error(error, SV_ERR_TRANSPORT, "failed to write to fd sink",
              written < 0 ? std::strerror(errno) : "short write");
    return 0;
  }
  return 1;
}

void fd_close(sv_sink *sink) noexcept {
  auto *fd_sink = reinterpret_cast<FdSink *>(sink);
  if (fd_sink->owned != 0) ::close(fd_sink->fd);
  std::free(fd_sink);
}

FdSink *new_fd_sink(int fd, int owned) noexcept {
  auto *sink = static_cast<FdSink *>(std::calloc(1, sizeof(FdSink)));
  if (sink == nullptr) return nullptr;
  sink->base.write = fd_write;
  sink->base.close = fd_close;
  sink->fd = fd;
  sink->owned = owned;
  return sink;
}

// ---- memory ----

struct MemorySink {
  sv_sink base;
  char *bytes;
  size_t length;
  size_t capacity;
};

int memory_write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) noexcept {
  auto *memory = reinterpret_cast<MemorySink *>(sink);
  if (length == 0) return 1;
  if (bytes == nullptr) {
    set_error(error, SV_ERR_INVALID, "sink write requires bytes");
    return 0;
  }
  size_t needed = 0;
  if (__builtin_add_overflow(memory->length, length, &needed)) {
    set_error(error, SV_ERR_NOMEM, "failed to grow memory sink");
    return 0;
  }
  if (needed > memory->capacity) {
    size_t capacity = memory->capacity == 0 ? kMemorySinkFirstCapacity : memory->capacity * 2;
    while (capacity < needed) {
      if (capacity > SIZE_MAX / 2) {
        capacity = needed;
        break;
      }
      capacity *= 2;
    }
    void *grown = std::realloc(memory->bytes, capacity);
    if (grown == nullptr) {
      set_error(error, SV_ERR_NOMEM, "failed to grow memory sink");
      return 0;
    }
    memory->bytes = static_cast<char *>(grown);
    memory->capacity = capacity;
  }
  std::memcpy(memory->bytes + memory->length, bytes, length);
  memory->length = needed;
  return 1;
}

void memory_close(sv_sink *sink) noexcept {
  auto *memory = reinterpret_cast<MemorySink *>(sink);
  std::free(memory->bytes);
  std::free(memory);
}

}  // namespace

extern "C" {

SV_API void sv_sink_close(sv_sink *sink) noexcept {
  if (sink != nullptr && sink->close != nullptr) sink->close(sink);
}

SV_API int sv_sink_to_file(const char *path, sv_sink **out, sv_error *error) noexcept {
  if (path == nullptr) return set_error(error, SV_ERR_INVALID, "sink_to_file requires path");
  // Checked before the file is opened: a call that fails must not truncate anything.
  if (out == nullptr) return set_error(error, SV_ERR_INVALID, "sink_to_file requires path and out");
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return set_error(error, SV_ERR_TRANSPORT, "failed to open file sink", std::strerror(errno));
  }
  FdSink *sink = new_fd_sink(fd, 1);
  if (sink == nullptr) {
    ::close(fd);
    return set_error(error, SV_ERR_NOMEM, "failed to allocate fd sink");
  }
  *out = &sink->base;
  return SV_OK;
}

SV_API int sv_sink_to_fd(int fd, sv_sink **out, sv_error *error) noexcept {
  if (out == nullptr) return set_error(error, SV_ERR_INVALID, "sink_to_fd requires out");
  FdSink *sink = new_fd_sink(fd, 0);
  if (sink == nullptr) return set_error(error, SV_ERR_NOMEM, "failed to allocate fd sink");
  *out = &sink->base;
  return SV_OK;
}

SV_API int sv_sink_to_memory(sv_sink **out, sv_error *error) noexcept {
  if (out == nullptr) return set_error(error, SV_ERR_INVALID, "sink_to_memory requires out");
  auto *sink = static_cast<MemorySink *>(std::calloc(1, sizeof(MemorySink)));
  if (sink == nullptr) return set_error(error, SV_ERR_NOMEM, "failed to allocate memory sink");
  sink->base.write = memory_write;
  sink->base.close = memory_close;
  *out = &sink->base;
  return SV_OK;
}

SV_API int sv_sink_memory_bytes(sv_sink *sink, const char **out_bytes,
                                size_t *out_length) noexcept {
  // Only a memory sink has these members; any other sink is refused rather than misread.
  if (sink == nullptr || out_bytes == nullptr || out_length == nullptr ||
      sink->write != memory_write) {
    return 1;
  }
  const auto *memory = reinterpret_cast<const MemorySink *>(sink);
  *out_bytes = memory->bytes;
  *out_length = memory->length;
  return 0;
}

}  // extern "C"
