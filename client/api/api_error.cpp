// The public error record: init, cleanup, set, the mapping from engine errors and from brindle
// statuses, and the library version.
#include <cstdlib>
#include <cstring>

#include "stavoc.h"

namespace {

char *copy_or_null(const char *text) noexcept {
  return text != nullptr ? strdup(text) : nullptr;
}

// Engine codes above the public range (or negative ones) can only mean a server failure.
int public_code(int engine_code) noexcept {
  return static_cast<unsigned>(engine_code) < static_cast<unsigned>(SV_ERR_SERVER) ? engine_code
                                                                                   : SV_ERR_SERVER;
}

}  // namespace

extern "C" {

SV_API sv_error *sv_error_init(sv_error *error) noexcept {
  if (error != nullptr) *error = sv_error{};
  return error;
}

SV_API void sv_error_cleanup(sv_error *error) noexcept {
  if (error == nullptr) return;
  std::free(error->message);
  std::free(error->detail);
  std::free(error->server_error_code);
  std::free(error->correlation_id);
  std::free(error->current_etag);
  std::free(error->leader_endpoint);
  *error = sv_error{};
}

SV_API int sv_error_set(sv_error *error, int code, int64_t http_status, const char *message,
                        const char *detail, const char *server_error_code,
                        const char *correlation_id) noexcept {
  if (error == nullptr) return code;
  // Copies first: any argument may point into the record that is replaced.
  char *new_message = copy_or_null(message);
  char *new_detail = copy_or_null(detail);
  char *new_server_error_code = copy_or_null(server_error_code);
  char *new_correlation_id = copy_or_null(correlation_id);
  sv_error_cleanup(error);
  error->code = code;
  error->http_status = http_status;
  error->message = new_message;
  error->detail = new_detail;
  error->server_error_code = new_server_error_code;
  error->correlation_id = new_correlation_id;
  return code;
}

SV_API int sv_error_from_engine(sv_error *error, const sv_engine_error *engine_error) noexcept {
  if (engine_error == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "engine error is required", nullptr, nullptr,
                        nullptr);
  }
  if (error == nullptr) return public_code(engine_error->code);
  char *current_etag = copy_or_null(engine_error->current_etag);
  char *leader_endpoint = copy_or_null(engine_error->leader_endpoint);
  const int code = sv_error_set(error, public_code(engine_error->code), engine_error->http_status,
                                engine_error->message, engine_error->detail,
                                engine_error->server_error_code, engine_error->correlation_id);
  error->retry_after_seconds = engine_error->retry_after_seconds;
  error->current_version = engine_error->current_version;
  error->current_etag = current_etag;
  error->leader_endpoint = leader_endpoint;
  error->transport_cause = code == SV_ERR_TRANSPORT ? engine_error->transport_cause : 0;
  return code;
}

SV_API int sv_brindle_error_from_status(sv_error *error, int status,
                                        const brindle_error *brindle_error_record,
                                        const char *message) noexcept {
  if (status == BRINDLE_OK) return SV_OK;
  int code = SV_ERR_PROTOCOL;
  switch (status) {
    case BRINDLE_INVALID_ARGUMENT:
      code = SV_ERR_INVALID;
      break;
    case BRINDLE_ALLOCATION_FAILED:
      code = SV_ERR_NOMEM;
      break;
    case BRINDLE_CALLBACK_FAILED:
    case BRINDLE_IO_ERROR:
    case BRINDLE_INTERNAL_ERROR:
      code = SV_ERR_TRANSPORT;
      break;
    default:
      break;
  }
  const char *detail = brindle_error_record != nullptr && brindle_error_record->message[0] != '\0'
                           ? brindle_error_record->message
                           : nullptr;
  return sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

SV_API const char *sv_version_string(void) noexcept {
  return sv_engine_version_string();
}

}  // extern "C"
