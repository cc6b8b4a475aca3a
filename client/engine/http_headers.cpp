// The response header callback of the JSON exchange: the final status, the correlation id,
// ETag, content type and the two numeric lease headers.
#include <cstring>

#include "engine_internal.h"
#include "header_line.h"
#include "stavoc_numbers.h"

namespace {

struct Span {
  const char *data;
  size_t length;
};

bool fail(sv_engine_json_exchange_state *state, const char *message) {
  state->aborted = 1;
  sv_engine_set_client_error(state->error, SV_ERR_NOMEM, message);
  return false;
}

bool store(sv_engine_json_exchange_state *state, char **slot, Span value) {
  char *copy = sv_engine_strdup_range(value.data, value.data + value.length);
  if (copy == nullptr) return fail(state, "failed to copy response header");
  sv_engine_free_string(slot);
  *slot = copy;
  return true;
}

bool store_number(sv_engine_json_exchange_state *state, int64_t *slot, Span value,
                  const char *message) {
  long parsed = 0;
  if (sv_parse_long_base10_range_checked(value.data, value.length, &parsed) == 1) {
    *slot = parsed;
    return true;
  }
  sv_engine_http_result *result = state->result;
  result->header_invalid = 1;
  if (!sv_engine_replace_string(&result->header_error, message)) {
    return fail(state, "failed to copy response header");
  }
  return false;
}

bool handle_line(sv_engine_json_exchange_state *state, const char *line, size_t length) {
  sv_engine_http_result *result = state->result;
  const sv_engine_header_line split = sv_engine_split_header_line(line, length);
  if (split.status != 0) {
    result->status = split.status;
    state->error_mode = (split.status < 200 || split.status >= 300) ? 1 : 0;
    return true;
  }
  if (split.name == nullptr) return true;
  // Text values keep trailing blanks; numbers do not.
  const Span value{split.value, split.value_length};
  const Span number{split.value, split.trimmed_length};
  if (split.is("X-Correlation-Id")) return store(state, &result->correlation_id, value);
  if (split.is("Content-Type")) return store(state, &result->content_type, value);
  if (split.is("ETag")) {
    const char *start = split.value;
    const char *end = split.value + split.value_length;
    sv_engine_unquote_etag(&start, &end);
    return store(state, &result->etag, Span{start, static_cast<size_t>(end - start)});
  }
  if (split.is("X-Key-Version")) {
    return store_number(state, &result->key_version, number,
                        "response X-Key-Version header is invalid");
  }
  if (split.is("X-Fencing-Token")) {
    return store_number(state, &result->fencing_token, number,
                        "response X-Fencing-Token header is invalid");
  }
  return true;
}

}  // namespace

extern "C" {

SV_API size_t sv_engine_json_http_header_callback(char *line, size_t size, size_t count,
                                                  void *userdata) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  auto *state = static_cast<sv_engine_json_exchange_state *>(userdata);
  if (state == nullptr || state->result == nullptr || line == nullptr || length <= 4) {
    return length;
  }
  // Returning anything but the length makes libcurl abort the transfer.
  return handle_line(state, line, length) ? length : 0;
}

}  // extern "C"
