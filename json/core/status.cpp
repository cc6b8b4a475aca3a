#include "brindle.h"

extern "C" BRINDLE_API const char *brindle_status_string(int status) noexcept {
  static const char *const names[] = {"ok",           "invalid_argument",  "invalid_json",
                                      "type_mismatch", "missing_required_field",
                                      "duplicate_field", "overflow", "truncated",
                                      "allocation_failed", "callback_failed", "io_error",
                                      "internal_error"};
  if (status < 0 || status > 11) return "unknown";
  return names[status];
}
