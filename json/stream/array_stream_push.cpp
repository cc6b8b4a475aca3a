// The push side of the array stream: the caller's slices are fed 1024 bytes at a time, every
// element they complete is handed to the caller's callback or handlers, and finish marks the end
// of input.
#include <cstring>

#include "array_stream_internal.h"
#include "core/records.h"

namespace {

brindle_status callback_code(int code) noexcept {
  // A callback answering BRINDLE_TRUNCATED, or something that is no status at all, still failed.
  if (code > BRINDLE_OK && code <= BRINDLE_INTERNAL_ERROR && code != BRINDLE_TRUNCATED) {
    return static_cast<brindle_status>(code);
  }
  return BRINDLE_CALLBACK_FAILED;
}

// Hands a complete element to the caller; false when that failed the stream.
bool deliver(brindle_array_stream *stream, const brindle__array_request &request,
             brindle_array_item_callback item_callback,
             brindle_array_string_item_callback string_item_callback, void *user_data) noexcept {
  switch (request.mode) {
    case BRINDLE__MODE_MAPPED: {
      const int code = item_callback(user_data, request.destination);
      brindle_reset(request.map, request.destination);
      if (code != 0) {
        brindle__array_fail(stream, callback_code(code), "array stream item callback failed");
        return false;
      }
      return true;
    }
    case BRINDLE__MODE_ITEMS: {
      const char *text = stream->capture.data != nullptr ? stream->capture.data : "";
      const int code = string_item_callback(user_data, text, stream->capture.length);
      brindle__bytes_clear(&stream->capture, &stream->allocator);
      if (code != 0) {
        brindle__array_fail(stream, callback_code(code), "array stream item callback failed");
        return false;
      }
      return true;
    }
    case BRINDLE__MODE_CHUNKS: {
      if (request.handlers->item_end == nullptr) return true;
      brindle_error scratch;
      brindle_error_init(&scratch);
      const brindle_status status = request.handlers->item_end(request.handler_context, &scratch);
      if (status == BRINDLE_OK) return true;
      if (status == BRINDLE_TRUNCATED) {
        stream->element_truncated = true;
        return true;
      }
      brindle__array_fail(stream, callback_code(status), "array stream string callback failed");
      return false;
    }
    default:
      brindle__array_fail(stream, BRINDLE_INTERNAL_ERROR, "invalid array stream mode");
      return false;
  }
}

struct push_call {
  brindle__array_request request;
  brindle_array_item_callback item_callback;
  brindle_array_string_item_callback string_item_callback;
  void *user_data;
};

brindle_status push_common(brindle_array_stream *stream, const push_call &call, const char *bytes,
                           size_t length, bool finish, brindle_error *error) noexcept {
  if (!stream->push) {
    brindle__array_refuse(stream, error, "array stream is not push-fed");
    return BRINDLE_INVALID_ARGUMENT;
  }
  if (bytes == nullptr && length != 0) {
    brindle__array_refuse(stream, error, "input bytes are required");
    return BRINDLE_INVALID_ARGUMENT;
  }
  if (stream->phase == BRINDLE__PHASE_FAILED) {
    brindle__array_stored_failure(stream);
    brindle__array_report(stream, error);
    return static_cast<brindle_status>(stream->error.code);
  }
  if (stream->finished) {
    brindle__array_refuse(stream, error, "array stream is already finished");
    return BRINDLE_INVALID_ARGUMENT;
  }
  if (!brindle__array_resumes_element(stream, call.request)) {
    brindle__array_refuse(stream, error, "resume array stream item with the same destination");
    return BRINDLE_INVALID_ARGUMENT;
  }
  brindle__array_begin_call(stream);
  bool truncated = false;
  size_t offset = 0;
  // Input is taken in slices of at most one block; with finish, one more run over no input.
  bool more = length > 0 || finish;
  while (more) {
    size_t slice = length - offset;
    if (slice > BRINDLE__ARRAY_BLOCK) slice = BRINDLE__ARRAY_BLOCK;
    if (offset + slice == length && finish) stream->eof = true;
    const char *input = bytes != nullptr ? bytes + offset : "";
    size_t position = 0;
    for (;;) {
      const int result = brindle__array_run(stream, &call.request, input, slice, &position);
      if (result == BRINDLE_ARRAY_STREAM_ITEM) {
        const bool delivered = deliver(stream, call.request, call.item_callback,
                                       call.string_item_callback, call.user_data);
        truncated = truncated || stream->element_truncated;
        if (!delivered) break;
        continue;
      }
      break;
    }
    if (stream->phase == BRINDLE__PHASE_FAILED) {
      if (finish) stream->finished = true;
      brindle__array_stored_failure(stream);
      brindle__array_report(stream, error);
      return static_cast<brindle_status>(stream->error.code);
    }
    offset += slice;
    more = offset < length;
  }
  if (finish) stream->finished = true;
  if (truncated) {
    stream->error.code = BRINDLE_TRUNCATED;
    stream->error.truncated = 1;
  }
  brindle__array_report(stream, error);
  return truncated ? BRINDLE_TRUNCATED : BRINDLE_OK;
}

brindle_status refuse_status(brindle_array_stream *stream, brindle_error *error,
                             const char *message) noexcept {
  brindle__array_refuse(stream, error, message);
  return BRINDLE_INVALID_ARGUMENT;
}

push_call mapped_call(const brindle_map *map, void *destination,
                      brindle_array_item_callback item_callback, void *user_data) noexcept {
  push_call call{};
  call.request.mode = BRINDLE__MODE_MAPPED;
  call.request.map = map;
  call.request.destination = destination;
  call.item_callback = item_callback;
  call.user_data = user_data;
  return call;
}

push_call chunks_call(const brindle_array_string_handlers *handlers, void *context) noexcept {
  push_call call{};
  call.request.mode = BRINDLE__MODE_CHUNKS;
  call.request.handlers = handlers;
  call.request.handler_context = context;
  return call;
}

push_call items_call(brindle_array_string_item_callback item_callback, void *user_data) noexcept {
  push_call call{};
  call.request.mode = BRINDLE__MODE_ITEMS;
  call.string_item_callback = item_callback;
  call.user_data = user_data;
  return call;
}

}  // namespace

BRINDLE_API brindle_status brindle_array_stream_push(brindle_array_stream *stream,
                                                     const brindle_map *map, void *destination,
                                                     const char *bytes, size_t length,
                                                     brindle_array_item_callback item_callback,
                                                     void *user_data,
                                                     brindle_error *error) noexcept {
  if (stream == nullptr || map == nullptr || destination == nullptr || item_callback == nullptr) {
    return refuse_status(stream, error,
                         "array stream, map, destination, and callback are required");
  }
  return push_common(stream, mapped_call(map, destination, item_callback, user_data), bytes, length,
                     false, error);
}

BRINDLE_API brindle_status brindle_array_stream_finish(brindle_array_stream *stream,
                                                       const brindle_map *map, void *destination,
                                                       brindle_array_item_callback item_callback,
                                                       void *user_data,
                                                       brindle_error *error) noexcept {
  if (stream == nullptr || map == nullptr || destination == nullptr || item_callback == nullptr) {
    return refuse_status(stream, error,
                         "array stream, map, destination, and callback are required");
  }
  return push_common(stream, mapped_call(map, destination, item_callback, user_data), nullptr, 0,
                     true, error);
}

BRINDLE_API brindle_status
brindle_array_stream_push_string(brindle_array_stream *stream, const char *bytes, size_t length,
                                 const brindle_array_string_handlers *handlers,
                                 void *handler_context, brindle_error *error) noexcept {
  if (stream == nullptr || handlers == nullptr || handlers->item_chunk == nullptr) {
    return refuse_status(stream, error, "array stream and string chunk handler are required");
  }
  return push_common(stream, chunks_call(handlers, handler_context), bytes, length, false, error);
}

BRINDLE_API brindle_status brindle_array_stream_finish_string(
    brindle_array_stream *stream, const brindle_array_string_handlers *handlers,
    void *handler_context, brindle_error *error) noexcept {
  if (stream == nullptr || handlers == nullptr || handlers->item_chunk == nullptr) {
    return refuse_status(stream, error, "array stream and string chunk handler are required");
  }
  return push_common(stream, chunks_call(handlers, handler_context), nullptr, 0, true, error);
}

BRINDLE_API brindle_status brindle_array_stream_push_string_items(
    brindle_array_stream *stream, const char *bytes, size_t length,
    brindle_array_string_item_callback item_callback, void *user_data,
    brindle_error *error) noexcept {
  if (stream == nullptr || item_callback == nullptr) {
    return refuse_status(stream, error, "array stream and string item callback are required");
  }
  return push_common(stream, items_call(item_callback, user_data), bytes, length, false, error);
}

BRINDLE_API brindle_status brindle_array_stream_finish_string_items(
    brindle_array_stream *stream, brindle_array_string_item_callback item_callback, void *user_data,
    brindle_error *error) noexcept {
  if (stream == nullptr || item_callback == nullptr) {
    return refuse_status(stream, error, "array stream and string item callback are required");
  }
  return push_common(stream, items_call(item_callback, user_data), nullptr, 0, true, error);
}
