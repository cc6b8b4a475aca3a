// Ready-made sources: memory, files (by path or open stdio file), descriptors and callbacks.
// Each kind is a record whose first member is the public sv_source, so the slots find the
// kind's data from the source pointer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "stavoc.h"

namespace {

int set_error(sv_error *error, int code, const char *message,
              const char *detail = nullptr) noexcept {
  return sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

int not_resettable(sv_source *, sv_error *error) noexcept {
  return set_error(error, SV_ERR_INVALID, "source is not resettable");
}

template <typename Kind>
Kind *allocate_source() noexcept {
  return static_cast<Kind *>(std::calloc(1, sizeof(Kind)));
}

// ---- memory ----

struct MemorySource {
  sv_source base;
  char *bytes;
  size_t length;
  size_t position;
};

size_t memory_read(sv_source *source, char *buffer, size_t capacity, sv_error *) noexcept {
  auto *memory = reinterpret_cast<MemorySource *>(source);
  const size_t remaining = memory->length - memory->position;
  const size_t count = remaining < capacity ? remaining : capacity;
  if (count == 0 || buffer == nullptr) return 0;
  std::memcpy(buffer, memory->bytes + memory->position, count);
  memory->position += count;
  return count;
}

int memory_reset(sv_source *source, sv_error *) noexcept {
  reinterpret_cast<MemorySource *>(source)->position = 0;
  return SV_OK;
}

void memory_close(sv_source *source) noexcept {
  auto *memory = reinterpret_cast<MemorySource *>(source);
  std::free(memory->bytes);
  std::free(memory);
}

// ---- stdio file ----

struct FileSource {
  sv_source base;
  FILE *file;
  int owned;
  int pending_errno;  // a read error seen after some bytes were returned; reported next
};

size_t file_fail(FileSource *source, sv_error *error, int system_errno) noexcept {
  source->pending_errno = 0;
  set_error(error, SV_ERR_TRANSPORT, "failed to read file source",
            std::strerror(system_errno != 0 ? system_errno : EIO));
  return 0;
}

// A read error is a failure, never an early end: a truncated upload must not look complete.
size_t file_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  auto *file_source = reinterpret_cast<FileSource *>(source);
  if (file_source->pending_errno != 0) {
    return file_fail(file_source, error, file_source->pending_errno);
  }
  if (capacity == 0 || buffer == nullptr) return 0;
  errno = 0;
  const size_t count = std::fread(buffer, 1, capacity, file_source->file);
  if (count < capacity && std::ferror(file_source->file) != 0) {
    const int system_errno = errno != 0 ? errno : EIO;
    if (count == 0) return file_fail(file_source, error, system_errno);
    file_source->pending_errno = system_errno;
  }
  return count;
}

int file_reset(sv_source *source, sv_error *error) noexcept {
  auto *file_source = reinterpret_cast<FileSource *>(source);
  if (std::fseek(file_source->file, 0, SEEK_SET) != 0) {
    return set_error(error, SV_ERR_TRANSPORT, "failed to rewind file source", std::strerror(errno));
  }
  std::clearerr(file_source->file);
  file_source->pending_errno = 0;
  return SV_OK;
}

void file_close(sv_source *source) noexcept {
  auto *file_source = reinterpret_cast<FileSource *>(source);
  if (file_source->owned != 0) std::fclose(file_source->file);
  std::free(file_source);
}

FileSource *new_file_source(FILE *file, int owned) noexcept {
  auto *source = allocate_source<FileSource>();
  if (source == nullptr) return nullptr;
  source->base.read = file_read;
  source->base.reset = file_reset;
  source->base.close = file_close;
  source->file = file;
  source->owned = owned != 0 ? 1 : 0;
  return source;
}

// ---- descriptor ----

struct FdSource {
  sv_source base;
  int fd;
};

size_t fd_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  auto *fd_source = reinterpret_cast<FdSource *>(source);
  if (capacity == 0 || buffer == nullptr) return 0;
  ssize_t count = 0;
  do {
    count = ::read(fd_source->fd, buffer, capacity);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    set_error(error, SV_ERR_TRANSPORT, "failed to read from fd source", std::strerror(errno));
    return 0;
  }
  return static_cast<size_t>(count);
}

void fd_close(sv_source *source) noexcept {
  std::free(source);
}

// ---- callbacks ----

struct CallbackSource {
  sv_source base;
  sv_source_read_fn read_fn;
  sv_source_reset_fn reset_fn;
  sv_source_close_fn close_fn;
  void *context;
};

size_t callback_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  auto *callbacks = reinterpret_cast<CallbackSource *>(source);
  return callbacks->read_fn(callbacks->context, buffer, capacity, error);
}

int callback_reset(sv_source *source, sv_error *error) noexcept {
  auto *callbacks = reinterpret_cast<CallbackSource *>(source);
  if (callbacks->reset_fn == nullptr) return not_resettable(source, error);
  return callbacks->reset_fn(callbacks->context, error);
}

void callback_close(sv_source *source) noexcept {
  auto *callbacks = reinterpret_cast<CallbackSource *>(source);
  if (callbacks->close_fn != nullptr) callbacks->close_fn(callbacks->context);
  std::free(callbacks);
}

}  // namespace

extern "C" {

SV_API void sv_source_close(sv_source *source) noexcept {
  if (source != nullptr && source->close != nullptr) source->close(source);
}

SV_API int sv_source_from_memory(const void *bytes, size_t length, sv_source **out,
                                 sv_error *error) noexcept {
  if (out == nullptr || (bytes == nullptr && length > 0)) {
    return set_error(error, SV_ERR_INVALID, "source_from_memory requires out");
  }
  auto *source = allocate_source<MemorySource>();
  if (source == nullptr) return set_error(error, SV_ERR_NOMEM, "failed to allocate memory source");
  if (length > 0) {
    source->bytes = static_cast<char *>(std::malloc(length));
    if (source->bytes == nullptr) {
      std::free(source);
      return set_error(error, SV_ERR_NOMEM, "failed to allocate memory source bytes");
    }
    std::memcpy(source->bytes, bytes, length);
  }
  source->length = length;
  source->base.read = memory_read;
  source->base.reset = memory_reset;
  source->base.close = memory_close;
  *out = &source->base;
  return SV_OK;
}

SV_API int sv_source_from_file(const char *path, sv_source **out, sv_error *error) noexcept {
  if (path == nullptr || out == nullptr) {
    return set_error(error, SV_ERR_INVALID, "source_from_file requires path and out");
  }
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    return set_error(error, SV_ERR_TRANSPORT, "failed to open file source", std::strerror(errno));
  }
  FileSource *source = new_file_source(file, 1);
  if (source == nullptr) {
    std::fclose(file);
    return set_error(error, SV_ERR_NOMEM, "failed to allocate file source");
  }
  *out = &source->base;
  return SV_OK;
}

SV_API sv_source *sv_source_from_open_file(FILE *file, int take_ownership) noexcept {
  if (file == nullptr) return nullptr;
  FileSource *source = new_file_source(file, take_ownership);
  if (source == nullptr) {
    if (take_ownership != 0) std::fclose(file);
    return nullptr;
  }
  return &source->base;
}

SV_API int sv_source_from_fd(int fd, sv_source **out, sv_error *error) noexcept {
  if (out == nullptr) return set_error(error, SV_ERR_INVALID, "source_from_fd requires out");
  auto *source = allocate_source<FdSource>();
  if (source == nullptr) return set_error(error, SV_ERR_NOMEM, "failed to allocate fd source");
  source->base.read = fd_read;
  source->base.reset = not_resettable;
  source->base.close = fd_close;
  source->fd = fd;
  *out = &source->base;
  return SV_OK;
}

SV_API int sv_source_from_callbacks(sv_source_read_fn read_fn, sv_source_reset_fn reset_fn,
                                    sv_source_close_fn close_fn, void *context, sv_source **out,
                                    sv_error *error) noexcept {
  if (read_fn == nullptr || out == nullptr) {
    return set_error(error, SV_ERR_INVALID, "source_from_callbacks requires read and out");
  }
  auto *source = allocate_source<CallbackSource>();
  if (source == nullptr) {
    return set_error(error, SV_ERR_NOMEM, "failed to allocate callback source");
  }
  source->base.read = callback_read;
  source->base.reset = callback_reset;
  source->base.close = callback_close;
  source->read_fn = read_fn;
  source->reset_fn = reset_fn;
  source->close_fn = close_fn;
  source->context = context;
  *out = &source->base;
  return SV_OK;
}

}  // extern "C"
