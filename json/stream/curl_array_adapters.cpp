// libcurl write callbacks that feed a response body holding a JSON array (or a root object with
// one array member) into a push array stream, so that each element is handled as soon as it is
// complete. The adapters make no libcurl calls; each keeps its first failure in its error record.
#include <cstring>

#include "brindle_curl.h"
#include "core/internal.h"

namespace {

// The bytes of one write call: size * count, or false when that overflows.
bool call_length(size_t size, size_t count, size_t *length) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return false;
  *length = size * count;
  return true;
}

bool accepted(brindle_status status) noexcept {
  return status == BRINDLE_OK || status == BRINDLE_TRUNCATED;
}

// The adapter keeps the first failure: a later one does not overwrite it.
void keep(brindle_error *kept, const brindle_error &now, brindle_status status) noexcept {
  if (kept->code != BRINDLE_OK && kept->code != BRINDLE_TRUNCATED) return;
  const bool truncated = kept->truncated != 0;
  *kept = now;
  if (truncated) kept->truncated = 1;
  if (!accepted(status) && kept->code == BRINDLE_OK) kept->code = status;
}

brindle_status closed_stream(brindle_error *error) noexcept {
  if (error->code != BRINDLE_OK && error->code != BRINDLE_TRUNCATED) {
    return static_cast<brindle_status>(error->code);
  }
  return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "array stream is not open");
}

}  // namespace

// ---- Records -----------------------------------------------------------------------------------

BRINDLE_API brindle_status brindle_curl_array_parse_init(brindle_curl_array_parse *adapter,
                                                         const char *field, const brindle_map *map,
                                                         void *destination,
                                                         const brindle_parse_options *options,
                                                         brindle_array_item_callback item_callback,
                                                         void *user_data) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  std::memset(static_cast<void *>(adapter), 0, sizeof(*adapter));
  if (map == nullptr || destination == nullptr || item_callback == nullptr) {
    return brindle__fail(&adapter->error, BRINDLE_INVALID_ARGUMENT,
                         "map, destination, and callback are required");
  }
  adapter->stream = brindle_array_stream_open_push(field, options, &adapter->error);
  if (adapter->stream == nullptr) return static_cast<brindle_status>(adapter->error.code);
  adapter->map = map;
  adapter->destination = destination;
  adapter->item_callback = item_callback;
  adapter->user_data = user_data;
  return BRINDLE_OK;
}

BRINDLE_API size_t brindle_curl_array_write_callback(char *bytes, size_t size, size_t count,
                                                     void *user) noexcept {
  auto *adapter = static_cast<brindle_curl_array_parse *>(user);
  size_t length = 0;
  if (adapter == nullptr || adapter->stream == nullptr || !call_length(size, count, &length)) {
    return 0;
  }
  if (bytes == nullptr && length != 0) return 0;
  brindle_error error;
  const brindle_status status =
      brindle_array_stream_push(adapter->stream, adapter->map, adapter->destination, bytes, length,
                                adapter->item_callback, adapter->user_data, &error);
  keep(&adapter->error, error, status);
  return accepted(status) ? length : 0;
}

BRINDLE_API brindle_status
brindle_curl_array_parse_finish(brindle_curl_array_parse *adapter) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  if (adapter->stream == nullptr) return closed_stream(&adapter->error);
  brindle_error error;
  const brindle_status status =
      brindle_array_stream_finish(adapter->stream, adapter->map, adapter->destination,
                                  adapter->item_callback, adapter->user_data, &error);
  keep(&adapter->error, error, status);
  return status;
}

BRINDLE_API void brindle_curl_array_parse_cleanup(brindle_curl_array_parse *adapter) noexcept {
  if (adapter == nullptr) return;
  brindle_array_stream_close(adapter->stream);
  adapter->stream = nullptr;
}

// ---- Strings in chunks -------------------------------------------------------------------------

BRINDLE_API brindle_status brindle_curl_string_array_parse_init(
    brindle_curl_string_array_parse *adapter, const char *field,
    const brindle_parse_options *options, const brindle_array_string_handlers *handlers,
    void *handler_context) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  std::memset(static_cast<void *>(adapter), 0, sizeof(*adapter));
  if (handlers == nullptr || handlers->item_chunk == nullptr) {
    return brindle__fail(&adapter->error, BRINDLE_INVALID_ARGUMENT,
                         "string chunk handler is required");
  }
  adapter->stream = brindle_array_stream_open_push(field, options, &adapter->error);
  if (adapter->stream == nullptr) return static_cast<brindle_status>(adapter->error.code);
  adapter->handlers = *handlers;
  adapter->handler_context = handler_context;
  return BRINDLE_OK;
}

BRINDLE_API size_t brindle_curl_string_array_write_callback(char *bytes, size_t size, size_t count,
                                                            void *user) noexcept {
  auto *adapter = static_cast<brindle_curl_string_array_parse *>(user);
  size_t length = 0;
  if (adapter == nullptr || adapter->stream == nullptr || !call_length(size, count, &length)) {
    return 0;
  }
  if (bytes == nullptr && length != 0) return 0;
  brindle_error error;
  const brindle_status status = brindle_array_stream_push_string(
      adapter->stream, bytes, length, &adapter->handlers, adapter->handler_context, &error);
  keep(&adapter->error, error, status);
  return accepted(status) ? length : 0;
}

BRINDLE_API brindle_status
brindle_curl_string_array_parse_finish(brindle_curl_string_array_parse *adapter) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  if (adapter->stream == nullptr) return closed_stream(&adapter->error);
  brindle_error error;
  const brindle_status status = brindle_array_stream_finish_string(
      adapter->stream, &adapter->handlers, adapter->handler_context, &error);
  keep(&adapter->error, error, status);
  return status;
}

BRINDLE_API void brindle_curl_string_array_parse_cleanup(
    brindle_curl_string_array_parse *adapter) noexcept {
  if (adapter == nullptr) return;
  brindle_array_stream_close(adapter->stream);
  adapter->stream = nullptr;
}

// ---- Whole strings -----------------------------------------------------------------------------

BRINDLE_API brindle_status brindle_curl_string_items_parse_init(
    brindle_curl_string_items_parse *adapter, const char *field,
    const brindle_parse_options *options, brindle_array_string_item_callback item_callback,
    void *user_data) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  std::memset(static_cast<void *>(adapter), 0, sizeof(*adapter));
  if (item_callback == nullptr) {
    return brindle__fail(&adapter->error, BRINDLE_INVALID_ARGUMENT,
                         "string item callback is required");
  }
  adapter->stream = brindle_array_stream_open_push(field, options, &adapter->error);
  if (adapter->stream == nullptr) return static_cast<brindle_status>(adapter->error.code);
  adapter->item_callback = item_callback;
  adapter->user_data = user_data;
  return BRINDLE_OK;
}

BRINDLE_API size_t brindle_curl_string_items_write_callback(char *bytes, size_t size, size_t count,
                                                            void *user) noexcept {
  auto *adapter = static_cast<brindle_curl_string_items_parse *>(user);
  size_t length = 0;
  if (adapter == nullptr || adapter->stream == nullptr || !call_length(size, count, &length)) {
    return 0;
  }
  if (bytes == nullptr && length != 0) return 0;
  brindle_error error;
  const brindle_status status = brindle_array_stream_push_string_items(
      adapter->stream, bytes, length, adapter->item_callback, adapter->user_data, &error);
  keep(&adapter->error, error, status);
  return accepted(status) ? length : 0;
}

BRINDLE_API brindle_status
brindle_curl_string_items_parse_finish(brindle_curl_string_items_parse *adapter) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  if (adapter->stream == nullptr) return closed_stream(&adapter->error);
  brindle_error error;
  const brindle_status status = brindle_array_stream_finish_string_items(
      adapter->stream, adapter->item_callback, adapter->user_data, &error);
  keep(&adapter->error, error, status);
  return status;
}

BRINDLE_API void brindle_curl_string_items_parse_cleanup(
    brindle_curl_string_items_parse *adapter) noexcept {
  if (adapter == nullptr) return;
  brindle_array_stream_close(adapter->stream);
  adapter->stream = nullptr;
}
