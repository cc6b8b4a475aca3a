// Exact integers of mutation texts: integer deltas and the integer targets they are added to.
#include <cerrno>
#include <cstdlib>

#include "mutation_internal.h"

namespace sv_mutation_impl {

bool decimal_int64(const char *text, bool allow_plus, int64_t *out) noexcept {
  const char *digits = *text == '-' || (allow_plus && *text == '+') ? text + 1 : text;
  if (*digits == '\0') return false;
  for (const char *at = digits; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
  }
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = value;
  return true;
}

}  // namespace sv_mutation_impl
