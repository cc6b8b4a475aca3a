// The error record and status names.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace {

__attribute__((format(printf, 6, 0))) brindle_status set_error_v(brindle_error *error,
                                                                 brindle_status code, size_t offset,
                                                                 size_t line, size_t column,
                                                                 const char *format,
                                                                 va_list arguments) {
  if (error == nullptr) return code;
  error->code = code;
  error->offset = offset;
  error->line = line;
  error->column = column;
  if (code == BRINDLE_TRUNCATED) error->truncated = 1;
  if (format == nullptr) {
    error->message[0] = '\0';
  } else {
    vsnprintf(error->message, sizeof(error->message), format, arguments);
  }
  return code;
}

}  // namespace

brindle_status brindle__set_error(brindle_error *error, brindle_status code, size_t offset,
                                  size_t line, size_t column, const char *format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  brindle_status status = set_error_v(error, code, offset, line, column, format, arguments);
  va_end(arguments);
  return status;
}

brindle_status brindle__fail(brindle_error *error, brindle_status code, const char *format,
                             ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  brindle_status status = set_error_v(error, code, 0, 0, 0, format, arguments);
  va_end(arguments);
  return status;
}

brindle_status brindle__fail_io(brindle_error *error, int system_errno, const char *format,
                                ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  brindle_status status = set_error_v(error, BRINDLE_IO_ERROR, 0, 0, 0, format, arguments);
  va_end(arguments);
  if (error != nullptr) error->system_errno = system_errno;
  return status;
}

extern "C" {

BRINDLE_API void brindle_error_init(brindle_error *error) noexcept {
  if (error != nullptr) std::memset(error, 0, sizeof(*error));
}

BRINDLE_API const char *brindle_status_string(int status) noexcept {
  static const char *const names[] = {"ok",
                                      "invalid_argument",
                                      "invalid_json",
                                      "type_mismatch",
                                      "missing_required_field",
                                      "duplicate_field",
                                      "overflow",
                                      "truncated",
                                      "allocation_failed",
                                      "callback_failed",
                                      "io_error",
                                      "internal_error"};
  if (status < 0 || status > BRINDLE_INTERNAL_ERROR) return "unknown";
  return names[status];
}

}  // extern "C"
