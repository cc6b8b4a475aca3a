// Failure events of the key operations: the identifying fields, then code, http_status and
// error, under ".transport_error" or ".error" at the level the operation prescribes.
#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

constexpr size_t kMaxFields = 12;

}  // namespace

ember_logger *sv_api_logger(const sv_client *client) noexcept {
  const sv_client_impl *impl = sv_client_impl_of(client);
  return impl->logger != nullptr ? impl->logger : sv_log_noop_logger();
}

int sv_api_log_failure(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                       size_t count, int code, int64_t http_status, const char *message) noexcept {
  ember_field all[kMaxFields];
  size_t used = 0;
  for (; used < count && used < kMaxFields - 3; ++used)
    all[used] = fields[used];
  all[used++] = sv_log_i64_field("code", code);
  all[used++] = sv_log_i64_field("http_status", http_status);
  all[used++] = sv_log_str_field("error", message);
  if (code == SV_ERR_TRANSPORT && events.transport_event != nullptr) {
    sv_log_error(logger, events.transport_event, all, used);
  } else if (events.error_level) {
    sv_log_error(logger, events.error_event, all, used);
  } else {
    sv_log_warn(logger, events.error_event, all, used);
  }
  return code;
}

int sv_api_fail_engine(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                       size_t count, sv_engine_error *engine_error, sv_error *error) noexcept {
  const int code = sv_error_from_engine(error, engine_error);
  sv_api_log_failure(logger, events, fields, count, code, engine_error->http_status,
                     engine_error->message);
  sv_engine_error_cleanup(engine_error);
  return code;
}

int sv_api_fail_local(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                      size_t count, int code, const char *message, sv_error *error) noexcept {
  sv_error_set(error, code, 0, message, nullptr, nullptr, nullptr);
  return sv_api_log_failure(logger, events, fields, count, code, 0, message);
}
