// The response body side of the JSON exchange: per-attempt state and the write callback that
// feeds a 2xx body to the caller's map and an error body to the server error map, each within
// its byte budget.
#include "engine_internal.h"

namespace {

size_t refuse(sv_engine_json_exchange_state *state, int code, const char *message) {
  state->aborted = 1;
  sv_engine_set_client_error(state->error, code, message);
  return 0;
}

size_t refuse_brindle(sv_engine_json_exchange_state *state, int status, const char *message) {
  state->aborted = 1;
  // A parser that refused bytes without saying why still failed to parse.
  const int brindle_status = status != BRINDLE_OK ? status : BRINDLE_INVALID_JSON;
  sv_engine_brindle_error_from_status(state->error, brindle_status, &state->parse.error, message);
  return 0;
}

// Chooses how the body of this response is taken, on its first chunk.
size_t start_body(sv_engine_json_exchange_state *state) {
  const int64_t status = state->result->status;
  const brindle_map *map = nullptr;
  void *record = nullptr;
  if (status >= 200 && status <= 299) {
    // 204 and 205 carry no content; a 2xx body that nobody asked for is read and dropped, so
    // it can neither fail the call nor send it to another endpoint.
    if (status == 204 || status == 205 || state->response_map == nullptr ||
        state->response_record == nullptr) {
      state->discard_body = 1;
      state->parser_started = 1;
      return 1;
    }
    map = state->response_map;
    record = state->response_record;
  } else if (status >= 400) {
    map = &sv_engine_http_error_map;
    record = &state->error_body;
  } else {
    return refuse(state, SV_ERR_PROTOCOL, "typed JSON response has no parser");
  }
  const brindle_parse_options options = brindle_default_parse_options();
  const brindle_status init = brindle_curl_parse_init(&state->parse, map, record, &options);
  if (init != BRINDLE_OK) {
    return refuse_brindle(state, init, "failed to initialize JSON response parser");
  }
  state->parser_started = 1;
  return 1;
}

// An error answer's body: parsed as the server's JSON error while it is one, and kept as an
// excerpt either way. A body that is not JSON is read on; one past the limit stops the transfer.
// Neither loses the answer's status: the exchange reports the server error with the excerpt.
size_t take_error_body(sv_engine_json_exchange_state *state, char *bytes, size_t length,
                       uint64_t remaining) {
  sv_engine_error_excerpt_append(&state->error_excerpt, bytes, length);
  if (state->parser_started == 0 && start_body(state) == 0) return 0;
  // What fits is parsed, so the members before the cut are kept.
  const size_t fits = length < remaining ? length : static_cast<size_t>(remaining);
  if (state->error_unreadable == 0 &&
      brindle_curl_write_callback(bytes, 1, fits, &state->parse) < fits) {
    state->error_unreadable = 1;
  }
  state->bytes_received += fits;
  if (fits < length) {
    state->error_unreadable = 1;
    state->error_excerpt.truncated = 1;
    return 0;
  }
  return length;
}

}  // namespace

extern "C" {

SV_API void sv_engine_json_exchange_state_init(sv_engine_json_exchange_state *state,
                                               const sv_engine_client *client,
                                               sv_engine_http_result *result,
                                               sv_engine_error *error,
                                               const brindle_map *response_map,
                                               void *response_record) noexcept {
  if (state == nullptr) return;
  *state = sv_engine_json_exchange_state{};
  state->result = result;
  state->error = error;
  state->response_map = response_map;
  state->response_record = response_record;
  state->success_limit = client != nullptr && client->response_limit_bytes != 0
                             ? client->response_limit_bytes
                             : SV_ENGINE_DEFAULT_RESPONSE_LIMIT;
  state->error_limit = SV_ENGINE_ERROR_BODY_LIMIT;
}

SV_API void sv_engine_json_exchange_state_cleanup(sv_engine_json_exchange_state *state) noexcept {
  if (state == nullptr) return;
  brindle_curl_parse_cleanup(&state->parse);
  brindle_cleanup(&sv_engine_http_error_map, &state->error_body);
}

SV_API size_t sv_engine_json_http_write_callback(char *bytes, size_t size, size_t count,
                                                 void *userdata) noexcept {
  auto *state = static_cast<sv_engine_json_exchange_state *>(userdata);
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  if (state == nullptr || state->result == nullptr || length == 0) return length;

  const uint64_t limit = state->error_mode != 0 ? state->error_limit : state->success_limit;
  const uint64_t remaining = limit > state->bytes_received ? limit - state->bytes_received : 0;
  if (state->error_mode != 0) return take_error_body(state, bytes, length, remaining);
  if (length > remaining) {
    return refuse(state, SV_ERR_PROTOCOL, "typed JSON response exceeds configured byte limit");
  }
  if (state->parser_started == 0 && start_body(state) == 0) return 0;
  if (state->discard_body == 0) {
    const size_t taken = brindle_curl_write_callback(bytes, 1, length, &state->parse);
    if (taken < length) {
      return refuse_brindle(state, state->parse.error.code, "failed to parse typed JSON response");
    }
  }
  state->bytes_received += length;
  return length;
}

}  // extern "C"
