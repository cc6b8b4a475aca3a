// Logging helpers of libstavoc over libember. Every helper is safe with a null logger, a null
// message or a null string, so call sites never branch on logging.
#ifndef STAVOC_ENGINE_SV_LOG_H
#define STAVOC_ENGINE_SV_LOG_H

#include <cstddef>
#include <cstdint>

#include "ember.h"

// code, http_status and message stand first, in this order, in both the engine and the public
// error records, so the error-field helpers accept either.
struct sv_log_error_prefix {
  int32_t code;
  int64_t http_status;
  char *message;
};

ember_logger *sv_log_noop_logger() noexcept;
void sv_log_init_noop() noexcept;
// null base: the no-op logger; keep_as_is: the base itself; otherwise a child with
// sys="client.stavo" (null when ember fails).
ember_logger *sv_log_client_logger(ember_logger *base, int keep_as_is) noexcept;
// Whether a logger returned by sv_log_client_logger must be destroyed by its creator.
bool sv_log_logger_is_owned(ember_logger *logger, ember_logger *base) noexcept;

void sv_log_trace(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept;
void sv_log_debug(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept;
void sv_log_info(ember_logger *logger, const char *message, const ember_field *fields,
                 size_t count) noexcept;
void sv_log_warn(ember_logger *logger, const char *message, const ember_field *fields,
                 size_t count) noexcept;
void sv_log_error(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept;

ember_field sv_log_str_field(const char *key, const char *value) noexcept;
ember_field sv_log_bool_field(const char *key, int value) noexcept;
ember_field sv_log_i64_field(const char *key, int64_t value) noexcept;
ember_field sv_log_u64_field(const char *key, uint64_t value) noexcept;
// error: an engine or public error record (or null).
ember_field sv_log_error_field(const char *key, const void *error) noexcept;
ember_field sv_log_http_status_field(const void *error) noexcept;
ember_field sv_log_code_field(const void *error) noexcept;

#endif
