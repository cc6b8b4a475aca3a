// The exported functions that call through a handle's method slots check the handle first: a
// NULL handle is a caller's mistake to report, not a crash.
#ifndef STAVOC_API_HANDLE_CHECK_H
#define STAVOC_API_HANDLE_CHECK_H

#include "stavoc.h"

// SV_ERR_INVALID with "<operation> requires <handle>".
inline int sv_refuse_missing_handle(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

#endif
