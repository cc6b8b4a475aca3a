// The engine error record: initialisation, reset, the message setters, the mapping of brindle
// statuses and the server error built from an exchange result.
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"

namespace {

// The copy is made before the record is reset, so message may point into the record itself.
int store_message(sv_engine_error *error, int code, const char *message) noexcept {
  if (error == nullptr) return code;
  char *copy = message != nullptr ? sv_engine_strdup_local(message) : nullptr;
  sv_engine_error_reset(error);
  error->code = code;
  error->message = copy;
  return (message == nullptr || copy != nullptr) ? code : SV_ERR_NOMEM;
}

// Copies text into *slot when text is non-NULL; false when the copy fails.
bool copy_optional(char **slot, const char *text) noexcept {
  if (text == nullptr) return true;
  *slot = sv_engine_strdup_local(text);
  return *slot != nullptr;
}

}  // namespace

bool sv_engine_replace_string(char **slot, const char *text) noexcept {
  char *copy = nullptr;
  if (text != nullptr) {
    copy = sv_engine_strdup_local(text);
    if (copy == nullptr) {
      sv_engine_free_string(slot);
      return false;
    }
  }
  std::free(*slot);
  *slot = copy;
  return true;
}

extern "C" {

SV_API sv_engine_error *sv_engine_error_init(sv_engine_error *error) noexcept {
  if (error != nullptr) *error = sv_engine_error{};
  return error;
}

SV_API void sv_engine_error_reset(sv_engine_error *error) noexcept {
  if (error == nullptr) return;
  std::free(error->message);
  std::free(error->server_error_code);
  std::free(error->detail);
  std::free(error->leader_endpoint);
  std::free(error->current_etag);
  std::free(error->correlation_id);
  *error = sv_engine_error{};
}

SV_API void sv_engine_error_cleanup(sv_engine_error *error) noexcept {
  sv_engine_error_reset(error);
}

SV_API int sv_engine_set_client_error(sv_engine_error *error, int code,
                                      const char *message) noexcept {
  return store_message(error, code, message);
}

SV_API int sv_engine_set_transport_error(sv_engine_error *error, const char *message) noexcept {
  return store_message(error, SV_ERR_TRANSPORT, message);
}

SV_API int sv_engine_set_curl_transport_error(sv_engine_error *error, int curl_code,
                                              const char *message) noexcept {
  const int status = store_message(error, SV_ERR_TRANSPORT, message);
  if (error != nullptr) error->transport_cause = sv_engine_transport_cause_of(curl_code, message);
  return status;
}

SV_API int32_t sv_engine_transport_cause_of(int curl_code, const char *message) noexcept {
  const auto says = [message](const char *text) {
    return message != nullptr && std::strstr(message, text) != nullptr;
  };
  switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_OK:
      return SV_TRANSPORT_CAUSE_NONE;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return SV_TRANSPORT_CAUSE_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      // libcurl tells the phases apart only in its text; the transfer loop's own bounds say
      // "stream stayed silent for N ms" or "timed out: no answer within N ms".
      if (says("stayed silent") || says("too slow")) return SV_TRANSPORT_CAUSE_STREAM_IDLE;
      if (says("Connection timed out") || says("Resolving timed out") ||
          says("SSL connection timeout")) {
        return SV_TRANSPORT_CAUSE_CONNECT_TIMEOUT;
      }
      return SV_TRANSPORT_CAUSE_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return SV_TRANSPORT_CAUSE_TLS;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return SV_TRANSPORT_CAUSE_RESET;
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return SV_TRANSPORT_CAUSE_CUT;
    case CURLE_READ_ERROR:
    case CURLE_WRITE_ERROR:
      return SV_TRANSPORT_CAUSE_LOCAL_IO;
    case CURLE_ABORTED_BY_CALLBACK:
      return SV_TRANSPORT_CAUSE_CANCELLED;
    default:
      return SV_TRANSPORT_CAUSE_NONE;
  }
}

SV_API int sv_engine_set_protocol_error(sv_engine_error *error, const char *message) noexcept {
  return store_message(error, SV_ERR_PROTOCOL, message);
}

SV_API int sv_engine_brindle_error_from_status(sv_engine_error *error, int status,
                                               const brindle_error *parse_error,
                                               const char *message) noexcept {
  if (status == BRINDLE_OK) return SV_OK;
  int code = SV_ERR_PROTOCOL;
  const char *fallback = "failed to parse JSON";
  switch (status) {
    case BRINDLE_INVALID_ARGUMENT:
      code = SV_ERR_INVALID;
      fallback = "invalid brindle argument";
      break;
    case BRINDLE_ALLOCATION_FAILED:
      code = SV_ERR_NOMEM;
      fallback = "brindle allocation failed";
      break;
    case BRINDLE_CALLBACK_FAILED:
    case BRINDLE_IO_ERROR:
    case BRINDLE_INTERNAL_ERROR:
      code = SV_ERR_TRANSPORT;
      fallback = "local JSON mapping failed";
      break;
    default:
      break;
  }
  const char *text = message;
  if (text == nullptr && parse_error != nullptr && parse_error->message[0] != '\0') {
    text = parse_error->message;
  }
  return store_message(error, code, text != nullptr ? text : fallback);
}

SV_API int sv_engine_set_server_error_from_result(sv_engine_error *error,
                                                  const sv_engine_http_result *result) noexcept {
  if (error == nullptr) return SV_ERR_SERVER;
  if (store_message(error, SV_ERR_SERVER, "stavo returned a non-success status") != SV_ERR_SERVER) {
    return SV_ERR_NOMEM;
  }
  if (result == nullptr) return SV_ERR_SERVER;
  error->http_status = result->status;
  if (!copy_optional(&error->correlation_id, result->correlation_id)) return SV_ERR_NOMEM;
  // Whatever the answer said is kept, also without an error code (a proxy's page as detail).
  if (!copy_optional(&error->server_error_code, result->server_error_code) ||
      !copy_optional(&error->detail, result->detail) ||
      !copy_optional(&error->leader_endpoint, result->leader_endpoint) ||
      !copy_optional(&error->current_etag, result->current_etag)) {
    return SV_ERR_NOMEM;
  }
  error->current_version = result->current_version;
  error->retry_after_seconds = result->retry_after_seconds;
  return SV_ERR_SERVER;
}

}  // extern "C"
