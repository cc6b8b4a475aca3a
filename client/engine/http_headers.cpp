// The response header callback of the JSON exchange: the final status, the correlation id,
// ETag, content type and the two numeric lease headers.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "engine_internal.h"
#include "stavoc_numbers.h"

namespace {

struct Span {
  const char *data;
  size_t length;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_line_end(char c) {
  return c == '\r' || c == '\n';
}

// The value after "name:" when the line carries this header (in any letter case).
bool header_value(const char *line, size_t length, const char *name, Span *value) {
  const size_t name_length = std::strlen(name);
  if (length <= name_length + 1 || line[name_length] != ':' ||
      strncasecmp(line, name, name_length) != 0) {
    return false;
  }
  value->data = line + name_length + 1;
  value->length = length - name_length - 1;
  return true;
}

// Leading blanks and trailing CR/LF go; trailing blanks stay.
Span text_value(Span value) {
  while (value.length > 0 && is_blank(value.data[0])) {
    ++value.data;
    --value.length;
  }
  while (value.length > 0 && is_line_end(value.data[value.length - 1]))
    --value.length;
  return value;
}

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
  value = text_value(value);
  while (value.length > 0 && is_blank(value.data[value.length - 1]))
    --value.length;
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
  if (length >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {
    char status_line[64];
    const size_t copied = length < sizeof(status_line) - 1 ? length : sizeof(status_line) - 1;
    std::memcpy(status_line, line, copied);
    status_line[copied] = '\0';
    long status = 0;
    if (std::sscanf(status_line, "%*s %ld", &status) == 1) {
      // Interim 1xx lines are overridden by the final status line.
      result->status = status;
      state->error_mode = (status < 200 || status >= 300) ? 1 : 0;
    }
    return true;
  }
  Span value{};
  if (header_value(line, length, "X-Correlation-Id", &value)) {
    return store(state, &result->correlation_id, text_value(value));
  }
  if (header_value(line, length, "Content-Type", &value)) {
    return store(state, &result->content_type, text_value(value));
  }
  if (header_value(line, length, "ETag", &value)) {
    Span etag = text_value(value);
    if (etag.length >= 2 && etag.data[0] == '"' && etag.data[etag.length - 1] == '"') {
      ++etag.data;
      etag.length -= 2;
    }
    return store(state, &result->etag, etag);
  }
  if (header_value(line, length, "X-Key-Version", &value)) {
    return store_number(state, &result->key_version, value,
                        "response X-Key-Version header is invalid");
  }
  if (header_value(line, length, "X-Fencing-Token", &value)) {
    return store_number(state, &result->fencing_token, value,
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
