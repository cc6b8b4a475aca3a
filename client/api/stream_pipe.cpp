// The stream pipe: a bounded ring between one producer thread and one consumer thread that
// reads it as an ordinary source. Every field is guarded by the mutex; both sides wait on the
// one condition variable, and every change broadcasts it. Whichever side lets go last frees
// the pipe.
#include <cstring>

#include <pthread.h>

#include "stavoc.h"

struct sv_stream_pipe {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  sv_allocator allocator;
  char *ring;
  size_t capacity;
  size_t read_position;
  size_t write_position;
  size_t buffered;
  int finished;         // the producer has finished or failed
  int consumer_closed;  // the consumer has closed its source
  int consumer_ref;
  int producer_ref;
  int failure_code;
  char *failure_message;
};

namespace {

constexpr size_t kDefaultRing = 65536;

struct StreamSource {
  sv_source base;
  sv_stream_pipe *pipe;
  sv_allocator allocator;  // the source outlives the pipe when the producer lets go last
};

// Called with the mutex held; unlocks it, and frees the pipe when neither side holds it.
void release_locked(sv_stream_pipe *pipe) noexcept {
  if (pipe->consumer_ref != 0 || pipe->producer_ref != 0) {
    pthread_mutex_unlock(&pipe->mutex);
    return;
  }
  pthread_mutex_unlock(&pipe->mutex);
  pthread_cond_destroy(&pipe->changed);
  pthread_mutex_destroy(&pipe->mutex);
  const sv_allocator allocator = pipe->allocator;
  sv_free_with_allocator(&allocator, pipe->ring);
  sv_free_with_allocator(&allocator, pipe->failure_message);
  sv_free_with_allocator(&allocator, pipe);
}

size_t stream_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  sv_stream_pipe *pipe = reinterpret_cast<StreamSource *>(source)->pipe;
  if (capacity == 0 || buffer == nullptr) return 0;
  pthread_mutex_lock(&pipe->mutex);
  while (pipe->buffered == 0) {
    if (pipe->finished != 0) {
      if (pipe->consumer_closed == 0 && pipe->failure_code != SV_OK) {
        sv_error_set(
            error, pipe->failure_code, 0,
            pipe->failure_message != nullptr ? pipe->failure_message : "stream delivery failed",
            nullptr, nullptr, nullptr);
      }
      pthread_mutex_unlock(&pipe->mutex);
      return 0;
    }
    pthread_cond_wait(&pipe->changed, &pipe->mutex);
  }
  const size_t count = capacity < pipe->buffered ? capacity : pipe->buffered;
  const size_t first =
      pipe->capacity - pipe->read_position < count ? pipe->capacity - pipe->read_position : count;
  std::memcpy(buffer, pipe->ring + pipe->read_position, first);
  if (count > first) std::memcpy(buffer + first, pipe->ring, count - first);
  pipe->read_position = (pipe->read_position + count) % pipe->capacity;
  pipe->buffered -= count;
  pthread_cond_broadcast(&pipe->changed);
  pthread_mutex_unlock(&pipe->mutex);
  return count;
}

int stream_reset(sv_source *, sv_error *error) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, "streamed payloads are not rewindable", nullptr,
                      nullptr, nullptr);
}

void stream_close(sv_source *source) noexcept {
  auto *stream = reinterpret_cast<StreamSource *>(source);
  sv_stream_pipe *pipe = stream->pipe;
  const sv_allocator allocator = stream->allocator;
  pthread_mutex_lock(&pipe->mutex);
  pipe->consumer_closed = 1;
  pipe->consumer_ref = 0;
  pthread_cond_broadcast(&pipe->changed);
  release_locked(pipe);
  sv_free_with_allocator(&allocator, stream);
}

int consumer_gone(sv_error *error) noexcept {
  return sv_error_set(error, SV_ERR_TRANSPORT, 0, "stream consumer closed payload early", nullptr,
                      nullptr, nullptr);
}

}  // namespace

extern "C" {

SV_API int sv_stream_pipe_open(size_t buffer_size, const sv_allocator *allocator,
                               sv_source **out_source, sv_stream_pipe **out_pipe,
                               sv_error *error) noexcept {
  if (out_source == nullptr || out_pipe == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "stream pipe requires out and pipe", nullptr,
                        nullptr, nullptr);
  }
  sv_allocator copy{};
  if (allocator != nullptr) copy = *allocator;
  auto *pipe =
      static_cast<sv_stream_pipe *>(sv_alloc_with_allocator(&copy, sizeof(sv_stream_pipe)));
  if (pipe == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate stream pipe", nullptr, nullptr,
                        nullptr);
  }
  std::memset(static_cast<void *>(pipe), 0, sizeof(*pipe));
  pipe->allocator = copy;
  pipe->capacity = buffer_size != 0 ? buffer_size : kDefaultRing;
  pipe->ring = static_cast<char *>(sv_alloc_with_allocator(&copy, pipe->capacity));
  if (pipe->ring == nullptr) {
    sv_free_with_allocator(&copy, pipe);
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate stream buffer", nullptr,
                        nullptr, nullptr);
  }
  auto *source = static_cast<StreamSource *>(sv_alloc_with_allocator(&copy, sizeof(StreamSource)));
  if (source == nullptr) {
    sv_free_with_allocator(&copy, pipe->ring);
    sv_free_with_allocator(&copy, pipe);
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate stream source", nullptr,
                        nullptr, nullptr);
  }
  pthread_mutex_init(&pipe->mutex, nullptr);
  pthread_cond_init(&pipe->changed, nullptr);
  pipe->consumer_ref = 1;
  pipe->producer_ref = 1;
  source->base.read = stream_read;
  source->base.reset = stream_reset;
  source->base.close = stream_close;
  source->pipe = pipe;
  source->allocator = copy;
  *out_source = &source->base;
  *out_pipe = pipe;
  return SV_OK;
}

SV_API int sv_stream_pipe_write(sv_stream_pipe *pipe, const char *bytes, size_t length,
                                sv_error *error) noexcept {
  if (pipe == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "stream pipe write requires pipe", nullptr,
                        nullptr, nullptr);
  }
  if (length == 0) return SV_OK;
  if (bytes == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "stream pipe write requires bytes", nullptr,
                        nullptr, nullptr);
  }
  pthread_mutex_lock(&pipe->mutex);
  size_t placed = 0;
  while (placed < length) {
    while (pipe->buffered == pipe->capacity && pipe->consumer_closed == 0) {
      pthread_cond_wait(&pipe->changed, &pipe->mutex);
    }
    if (pipe->consumer_closed != 0) {
      pthread_mutex_unlock(&pipe->mutex);
      return consumer_gone(error);
    }
    const size_t space = pipe->capacity - pipe->buffered;
    const size_t want = length - placed < space ? length - placed : space;
    const size_t first =
        pipe->capacity - pipe->write_position < want ? pipe->capacity - pipe->write_position : want;
    std::memcpy(pipe->ring + pipe->write_position, bytes + placed, first);
    if (want > first) std::memcpy(pipe->ring, bytes + placed + first, want - first);
    pipe->write_position = (pipe->write_position + want) % pipe->capacity;
    pipe->buffered += want;
    placed += want;
    pthread_cond_broadcast(&pipe->changed);
  }
  pthread_mutex_unlock(&pipe->mutex);
  return SV_OK;
}

SV_API void sv_stream_pipe_finish(sv_stream_pipe *pipe) noexcept {
  if (pipe == nullptr) return;
  pthread_mutex_lock(&pipe->mutex);
  pipe->finished = 1;
  pipe->producer_ref = 0;
  pthread_cond_broadcast(&pipe->changed);
  release_locked(pipe);
}

SV_API void sv_stream_pipe_fail(sv_stream_pipe *pipe, int code, const char *message) noexcept {
  if (pipe == nullptr) return;
  pthread_mutex_lock(&pipe->mutex);
  pipe->finished = 1;
  pipe->producer_ref = 0;
  pipe->failure_code = code != SV_OK ? code : SV_ERR_TRANSPORT;
  sv_free_with_allocator(&pipe->allocator, pipe->failure_message);
  pipe->failure_message = sv_strdup_with_allocator(&pipe->allocator, message);
  pthread_cond_broadcast(&pipe->changed);
  release_locked(pipe);
}

}  // extern "C"
