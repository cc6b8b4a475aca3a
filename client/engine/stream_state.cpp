// The state of one streamed transfer and its libcurl callbacks: response headers are captured
// (numeric ones checked), a success body goes to the caller's writer or a typed parser, an error
// body to the server error map, every typed body within the byte limit.
#include <cstdio>
#include <cstring>

#include "header_line.h"
#include "stavoc_numbers.h"
#include "stream_internal.h"

namespace {

size_t stop(sv_engine_stream_state *state, int code, const char *message) {
  state->aborted = 1;
  sv_engine_set_client_error(state->error, code, message);
  return 0;
}

size_t stop_brindle(sv_engine_stream_state *state, int status, const char *message) {
  state->aborted = 1;
  // A parser that refused bytes without saying why still failed to parse.
  sv_engine_brindle_error_from_status(state->error,
                                      status != BRINDLE_OK ? status : BRINDLE_INVALID_JSON,
                                      &state->parse.error, message);
  return 0;
}

struct NumericHeader {
  const char *name;
  size_t offset;
  const char *message;
};

const NumericHeader numeric_headers[] = {
    {"X-Key-Version", offsetof(sv_engine_stream_state, key_version),
     "attachment key version is out of range"},
    {"X-Fencing-Token", offsetof(sv_engine_stream_state, fencing_token),
     "attachment fencing token is out of range"},
    {"X-Attachment-Size", offsetof(sv_engine_stream_state, attachment_size),
     "attachment size is out of range"},
    {"X-Attachment-Created-At", offsetof(sv_engine_stream_state, attachment_created_at),
     "attachment created_at is out of range"},
    {"X-Attachment-Updated-At", offsetof(sv_engine_stream_state, attachment_updated_at),
     "attachment updated_at is out of range"},
};

struct TextHeader {
  const char *name;
  size_t offset;
};

const TextHeader text_headers[] = {
    {"ETag", offsetof(sv_engine_stream_state, etag)},
    {"X-Correlation-Id", offsetof(sv_engine_stream_state, correlation_id)},
    {"Content-Type", offsetof(sv_engine_stream_state, content_type)},
    {"X-Attachment-ID", offsetof(sv_engine_stream_state, attachment_id)},
    {"X-Attachment-Name", offsetof(sv_engine_stream_state, attachment_name)},
    {"X-Attachment-SHA256", offsetof(sv_engine_stream_state, attachment_sha256)},
};

template <typename T>
T *member(sv_engine_stream_state *state, size_t offset) {
  return reinterpret_cast<T *>(reinterpret_cast<char *>(state) + offset);
}

bool handle_line(sv_engine_stream_state *state, const char *line, size_t length) {
  const sv_engine_header_line split = sv_engine_split_header_line(line, length);
  if (split.status != 0) {
    state->status = split.status;
    return true;
  }
  if (split.name == nullptr) return true;
  const char *start = split.value;
  const char *end = split.value + split.trimmed_length;
  if (split.is("ETag")) sv_engine_unquote_etag(&start, &end);
  for (const TextHeader &header : text_headers) {
    if (split.is(header.name)) {
      if (sv_engine_set_header_value(member<char *>(state, header.offset), start, end) != SV_OK) {
        return stop(state, SV_ERR_NOMEM, "failed to copy response header") != 0;
      }
      return true;
    }
  }
  for (const NumericHeader &header : numeric_headers) {
    if (split.is(header.name)) {
      long parsed = 0;
      if (sv_parse_long_base10_range_checked(start, static_cast<size_t>(end - start), &parsed) !=
          1) {
        return stop(state, SV_ERR_PROTOCOL, header.message) != 0;
      }
      *member<int64_t>(state, header.offset) = parsed;
      return true;
    }
  }
  return true;
}

// Chooses, on the first typed chunk, where the body goes.
bool start_typed_body(sv_engine_stream_state *state) {
  const int64_t status = state->status;
  const brindle_map *map = nullptr;
  void *record = nullptr;
  if (status >= 400) {
    map = &sv_engine_http_error_map;
    record = &state->error_body;
    state->error_mode = 1;
  } else if (status >= 200 && status <= 299) {
    if (status == 204 || status == 205) {
      state->parser_started = 1;
      return true;
    }
    if (state->response_map == nullptr || state->response_record == nullptr) {
      return stop(state, SV_ERR_PROTOCOL, "typed JSON response has no parser") != 0;
    }
    map = state->response_map;
    record = state->response_record;
  } else {
    return stop(state, SV_ERR_PROTOCOL, "typed JSON response has no parser") != 0;
  }
  const brindle_parse_options options = brindle_default_parse_options();
  const brindle_status init = brindle_curl_parse_init(&state->parse, map, record, &options);
  if (init != BRINDLE_OK) {
    return stop_brindle(state, init, "failed to initialize JSON response parser") != 0;
  }
  state->parser_started = 1;
  return true;
}

// An error answer's body: parsed as the server's JSON error while it is one and kept as an
// excerpt either way; past 8 KiB (or the configured limit, when smaller) the transfer stops. The
// answer keeps its status: the transfer reports the server error with the excerpt.
size_t write_error_body(sv_engine_stream_state *state, char *bytes, size_t length) {
  sv_engine_error_excerpt_append(&state->error_excerpt, bytes, length);
  const uint64_t limit = state->byte_limit < SV_ENGINE_ERROR_BODY_LIMIT
                             ? state->byte_limit
                             : SV_ENGINE_ERROR_BODY_LIMIT;
  const uint64_t remaining = limit > state->bytes_received ? limit - state->bytes_received : 0;
  // What fits is parsed, so the members before the cut are kept.
  const size_t fits = length < remaining ? length : static_cast<size_t>(remaining);
  state->bytes_received += fits;
  if (state->error_unreadable == 0 &&
      brindle_curl_write_callback(bytes, 1, fits, &state->parse) < fits) {
    state->error_unreadable = 1;
  }
  if (fits < length) {
    state->error_unreadable = 1;
    state->error_excerpt.truncated = 1;
    return 0;
  }
  return length;
}

size_t write_typed(sv_engine_stream_state *state, char *bytes, size_t length) {
  if (state->parser_started == 0 && !start_typed_body(state)) return 0;
  if (state->error_mode != 0) return write_error_body(state, bytes, length);
  const uint64_t limit = state->byte_limit;
  const uint64_t remaining = limit > state->bytes_received ? limit - state->bytes_received : 0;
  if (length > remaining) {
    return stop(state, SV_ERR_PROTOCOL, "typed JSON response exceeds configured byte limit");
  }
  state->bytes_received += length;
  if (state->parse.parser == nullptr) return length;  // 204 or 205: nothing to parse
  if (brindle_curl_write_callback(bytes, 1, length, &state->parse) < length) {
    return stop_brindle(state, state->parse.error.code, "failed to parse typed JSON response");
  }
  return length;
}

size_t write_raw(sv_engine_stream_state *state, const char *bytes, size_t length) {
  // Only a success body is the caller's data; the body of a redirect or other answer that is
  // neither success nor error is dropped, never mixed into the caller's bytes.
  if (state->status < 200 || state->status > 299 || state->writer == nullptr) return length;
  if (state->writer(state->writer_context, bytes, length, state->error) == 0) {
    state->aborted = 1;
    if (state->error == nullptr || state->error->code == 0) {
      sv_engine_set_transport_error(state->error, "stream writer callback failed");
    }
    return 0;
  }
  return length;
}

void clear_captured(sv_engine_stream_state *state) {
  brindle_curl_parse_cleanup(&state->parse);
  state->parse = brindle_curl_parse{};
  brindle_cleanup(&sv_engine_http_error_map, &state->error_body);
  state->error_body = sv_engine_http_error_body{};
  sv_engine_free_string(&state->correlation_id);
  sv_engine_free_string(&state->content_type);
  sv_engine_free_string(&state->etag);
  sv_engine_free_string(&state->attachment_id);
  sv_engine_free_string(&state->attachment_name);
  sv_engine_free_string(&state->attachment_sha256);
}

}  // namespace

void sv_engine_stream_state_reset_attempt(sv_engine_stream_state *state,
                                          const sv_engine_client *client) noexcept {
  clear_captured(state);
  state->status = 0;
  state->key_version = 0;
  state->fencing_token = 0;
  state->attachment_size = 0;
  state->attachment_created_at = 0;
  state->attachment_updated_at = 0;
  state->bytes_received = 0;
  state->byte_limit = client != nullptr && client->response_limit_bytes != 0
                          ? client->response_limit_bytes
                          : SV_ENGINE_DEFAULT_RESPONSE_LIMIT;
  state->parser_started = 0;
  state->error_mode = 0;
  state->aborted = 0;
  state->error_excerpt = sv_engine_error_excerpt{};
  state->error_unreadable = 0;
}

size_t sv_engine_stream_header_callback(char *line, size_t size, size_t count,
                                        void *userdata) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  auto *state = static_cast<sv_engine_stream_state *>(userdata);
  if (state == nullptr || line == nullptr || length == 0) return length;
  // Returning anything but the length makes libcurl abort the transfer.
  return handle_line(state, line, length) ? length : 0;
}

size_t sv_engine_stream_write_callback(char *bytes, size_t size, size_t count,
                                       void *userdata) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  auto *state = static_cast<sv_engine_stream_state *>(userdata);
  if (state == nullptr || length == 0) return length;
  if (state->response_map != nullptr || state->status >= 400) {
    return write_typed(state, bytes, length);
  }
  return write_raw(state, bytes, length);
}

extern "C" {

SV_API void sv_engine_stream_state_cleanup(sv_engine_stream_state *state) noexcept {
  if (state == nullptr) return;
  clear_captured(state);
}

}  // extern "C"
