// The server's JSON error body: its field map and the server error built from a buffered body.
#include <cstddef>

#include <cstring>
#include "brindle_io.h"

#include "engine_internal.h"

namespace {

const brindle_field http_error_fields[] = {
    BRINDLE_DECL_STRING(sv_engine_http_error_body, error, "error", 0),
    BRINDLE_DECL_STRING(sv_engine_http_error_body, detail, "detail", 0),
    BRINDLE_DECL_STRING(sv_engine_http_error_body, leader_endpoint, "leader_endpoint", 0),
    BRINDLE_DECL_STRING(sv_engine_http_error_body, current_etag, "current_etag", 0),
    BRINDLE_DECL_I64(sv_engine_http_error_body, current_version, "current_version", 0),
    BRINDLE_DECL_I64(sv_engine_http_error_body, retry_after_seconds, "retry_after_seconds", 0),
};

}  // namespace

const brindle_map sv_engine_http_error_map =
    BRINDLE_MAP("sv_engine_http_error_json", sv_engine_http_error_body, http_error_fields);

extern "C" {

SV_API const brindle_map *sv_engine_http_error_body_map(void) noexcept {
  return &sv_engine_http_error_map;
}

SV_API int sv_engine_set_server_error_from_json(sv_engine_error *error, int64_t http_status,
                                                const char *correlation_id,
                                                const char *body) noexcept {
  // The result only lends its strings to the setter, which copies them.
  sv_engine_http_result result{};
  result.status = http_status;
  result.correlation_id = const_cast<char *>(correlation_id);
  if (body == nullptr || body[0] == '\0') {
    return sv_engine_set_server_error_from_result(error, &result);
  }
  sv_engine_http_error_body parsed{};
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status status =
      brindle_parse_cstr(&sv_engine_http_error_map, &parsed, body, nullptr, &parse_error);
  if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) {
    // Not the server's JSON error (a proxy's page, a cut body): the status stands, the first
    // bytes are the detail.
    brindle_cleanup(&sv_engine_http_error_map, &parsed);
    return sv_engine_set_server_error_from_text(error, &result, body, std::strlen(body), false);
  }
  result.server_error_code = parsed.error;
  result.detail = parsed.detail;
  result.leader_endpoint = parsed.leader_endpoint;
  result.current_etag = parsed.current_etag;
  result.current_version = parsed.current_version;
  result.retry_after_seconds = parsed.retry_after_seconds;
  const int code = sv_engine_set_server_error_from_result(error, &result);
  brindle_cleanup(&sv_engine_http_error_map, &parsed);
  return code;
}

}  // extern "C"

int sv_engine_set_server_error_from_text(sv_engine_error *error,
                                         const sv_engine_http_result *answer, const char *body,
                                         size_t length, bool truncated) noexcept {
  sv_engine_error_excerpt excerpt{};
  sv_engine_error_excerpt_append(&excerpt, body, length);
  if (truncated) excerpt.truncated = 1;
  sv_engine_http_result result{};
  result.status = answer->status;
  result.correlation_id = answer->correlation_id;
  if (sv_engine_error_excerpt_to_detail(&excerpt, &result) != SV_OK) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy error response");
  }
  const int code = sv_engine_set_server_error_from_result(error, &result);
  sv_engine_free_string(&result.detail);
  return code;
}
