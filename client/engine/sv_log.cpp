#include "sv_log.h"

#include <pthread.h>

namespace {

pthread_once_t noop_once = PTHREAD_ONCE_INIT;
ember_logger *noop_logger = nullptr;

const sv_log_error_prefix *as_error(const void *error) noexcept {
  return static_cast<const sv_log_error_prefix *>(error);
}

}  // namespace

void sv_log_init_noop() noexcept {
  ember_config config;
  ember_default_config(&config);
  config.min_level = EMBER_LEVEL_OFF;
  noop_logger = ember_new(&config);
}

ember_logger *sv_log_noop_logger() noexcept {
  pthread_once(&noop_once, sv_log_init_noop);
  return noop_logger;
}

ember_logger *sv_log_client_logger(ember_logger *base, int keep_as_is) noexcept {
  if (base == nullptr) return sv_log_noop_logger();
  if (keep_as_is != 0) return base;
  const ember_field sys = ember_trusted_str("sys", "client.stavo");
  return ember_with(base, &sys, 1);
}

bool sv_log_logger_is_owned(ember_logger *logger, ember_logger *base) noexcept {
  return logger != nullptr && logger != base && logger != sv_log_noop_logger();
}

void sv_log_trace(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept {
  if (logger != nullptr && message != nullptr) ember_trace(logger, message, fields, count);
}

void sv_log_debug(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept {
  if (logger != nullptr && message != nullptr) ember_debug(logger, message, fields, count);
}

void sv_log_info(ember_logger *logger, const char *message, const ember_field *fields,
                 size_t count) noexcept {
  if (logger != nullptr && message != nullptr) ember_info(logger, message, fields, count);
}

void sv_log_warn(ember_logger *logger, const char *message, const ember_field *fields,
                 size_t count) noexcept {
  if (logger != nullptr && message != nullptr) ember_warn(logger, message, fields, count);
}

void sv_log_error(ember_logger *logger, const char *message, const ember_field *fields,
                  size_t count) noexcept {
  if (logger != nullptr && message != nullptr) ember_error(logger, message, fields, count);
}

ember_field sv_log_str_field(const char *key, const char *value) noexcept {
  return value != nullptr ? ember_str(key, value) : ember_null(key);
}

ember_field sv_log_bool_field(const char *key, int value) noexcept {
  return ember_bool(key, value);
}

ember_field sv_log_i64_field(const char *key, int64_t value) noexcept {
  return ember_i64(key, value);
}

ember_field sv_log_u64_field(const char *key, uint64_t value) noexcept {
  return ember_u64(key, value);
}

ember_field sv_log_error_field(const char *key, const void *error) noexcept {
  const sv_log_error_prefix *record = as_error(error);
  if (record == nullptr || record->message == nullptr) return ember_null(key);
  return ember_str(key, record->message);
}

ember_field sv_log_http_status_field(const void *error) noexcept {
  const sv_log_error_prefix *record = as_error(error);
  if (record == nullptr) return ember_null("http_status");
  return ember_i64("http_status", record->http_status);
}

ember_field sv_log_code_field(const void *error) noexcept {
  const sv_log_error_prefix *record = as_error(error);
  if (record == nullptr) return ember_null("code");
  return ember_i64("code", static_cast<int64_t>(record->code));
}
