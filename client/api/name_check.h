// Checks of the names a request carries (keys, namespaces, queues, owners, ids) before anything
// is sent: a required name must be present and not empty, and every name must be valid UTF-8,
// which a JSON body and a percent-encoded query string both need.
#ifndef STAVOC_API_NAME_CHECK_H
#define STAVOC_API_NAME_CHECK_H

#include <initializer_list>

#include "stavoc.h"

namespace sv_names {

struct Name {
  const char *member;  // as the request record calls it ("key", "namespace_name", ...)
  const char *value;
  bool required;
};

// SV_OK, or SV_ERR_INVALID with "<operation> requires <member>" for a required name that is
// NULL or empty, or "<operation>: <member> is not valid UTF-8" (detail: the offset of the first
// invalid byte) for any name.
int check(sv_error *error, const char *operation, std::initializer_list<Name> names) noexcept;

inline Name required(const char *member, const char *value) noexcept {
  return Name{member, value, true};
}
inline Name optional(const char *member, const char *value) noexcept {
  return Name{member, value, false};
}

}  // namespace sv_names

#endif
