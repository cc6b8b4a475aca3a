// The exchange result record and the copy of a parsed server error body into it.
#include <cstdlib>

#include "engine_internal.h"

int sv_engine_copy_error_body(sv_engine_http_result *result,
                              const sv_engine_http_error_body *body) noexcept {
  if (!sv_engine_replace_string(&result->server_error_code, body->error) ||
      !sv_engine_replace_string(&result->detail, body->detail) ||
      !sv_engine_replace_string(&result->leader_endpoint, body->leader_endpoint) ||
      !sv_engine_replace_string(&result->current_etag, body->current_etag)) {
    return SV_ERR_NOMEM;
  }
  result->current_version = body->current_version;
  result->retry_after_seconds = body->retry_after_seconds;
  return SV_OK;
}

extern "C" {

SV_API void sv_engine_http_result_init(sv_engine_http_result *result) noexcept {
  if (result != nullptr) *result = sv_engine_http_result{};
}

SV_API void sv_engine_http_result_cleanup(sv_engine_http_result *result) noexcept {
  if (result == nullptr) return;
  std::free(result->correlation_id);
  std::free(result->etag);
  std::free(result->content_type);
  std::free(result->header_error);
  std::free(result->server_error_code);
  std::free(result->detail);
  std::free(result->leader_endpoint);
  std::free(result->current_etag);
  *result = sv_engine_http_result{};
}

}  // extern "C"
