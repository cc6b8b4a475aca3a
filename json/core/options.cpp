// Option records with their defaults, the owned output buffer and the string array stream
// member record.
#include <cstdlib>
#include <cstring>

#include "internal.h"

extern "C" {

BRINDLE_API brindle_parse_options brindle_default_parse_options(void) noexcept {
  brindle_parse_options options{};
  options.clear_destination = 1;
  options.reject_duplicates = 1;
  options.max_depth = 64;
  options.allocator = nullptr;
  return options;
}

BRINDLE_API brindle_write_options brindle_default_write_options(void) noexcept {
  brindle_write_options options{};
  options.overflow = 0;
  options.pretty = 0;
  options.allocator = nullptr;
  options.max_output_bytes = 8388608;
  return options;
}

BRINDLE_API brindle_value_limits brindle_default_value_limits(void) noexcept {
  brindle_value_limits limits{};
  limits.max_depth = 64;
  limits.max_string_bytes = 1048576;
  limits.max_number_bytes = 256;
  limits.max_key_bytes = 65536;
  limits.max_total_bytes = 0;
  return limits;
}

BRINDLE_API brindle_spool_options brindle_default_spool_options(void) noexcept {
  brindle_spool_options options{};
  options.memory_limit = 65536;
  options.max_bytes = 0;
  options.temp_dir = nullptr;
  return options;
}

BRINDLE_API brindle_read_result brindle_default_read_result(void) noexcept {
  return brindle_read_result{};
}

BRINDLE_API brindle_owned_buffer brindle_default_owned_buffer(void) noexcept {
  const brindle_allocator system = brindle_default_allocator();
  brindle_owned_buffer buffer{};
  buffer.malloc = system.malloc;
  buffer.realloc = system.realloc;
  buffer.free = system.free;
  return buffer;
}

BRINDLE_API void brindle_owned_buffer_init(brindle_owned_buffer *buffer) noexcept {
  if (buffer != nullptr) *buffer = brindle_default_owned_buffer();
}

BRINDLE_API void brindle_owned_buffer_free(brindle_owned_buffer *buffer) noexcept {
  if (buffer == nullptr) return;
  if (buffer->data != nullptr) {
    if (buffer->malloc == nullptr && buffer->realloc == nullptr && buffer->free == nullptr) {
      std::free(buffer->data);
    } else if (buffer->free != nullptr) {
      buffer->free(buffer->ctx, buffer->data);
    }
    if (buffer->stats != nullptr) {
      brindle_alloc_stats *stats = buffer->stats;
      ++stats->frees;
      stats->current_bytes =
          stats->current_bytes > buffer->capacity ? stats->current_bytes - buffer->capacity : 0;
    }
  }
  *buffer = brindle_default_owned_buffer();
}

BRINDLE_API brindle_value_visitor brindle_default_value_visitor(void) noexcept {
  return brindle_value_visitor{};
}

BRINDLE_API void brindle_string_array_stream_init(brindle_string_array_stream *stream) noexcept {
  if (stream == nullptr) return;
  std::memset(stream, 0, sizeof(*stream));
  stream->marker = brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM);
}

BRINDLE_API brindle_status brindle_string_array_stream_set_handler(
    brindle_string_array_stream *stream, const brindle_string_stream_handler *handler, void *user,
    brindle_error *error) noexcept {
  if (stream == nullptr || handler == nullptr || handler->chunk == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "string array stream and chunk handler are required");
  }
  if (stream->marker != brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM)) {
    brindle_string_array_stream_init(stream);
  }
  stream->handler = *handler;
  stream->user = user;
  stream->active = 0;
  return BRINDLE_OK;
}

}  // extern "C"
