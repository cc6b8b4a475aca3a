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

// A request on one key: the key is required; namespace, lease id and transaction id are checked
// when given.
template <typename Request>
int check_key_request(sv_error *error, const char *operation, const Request &req) noexcept {
  return check(error, operation,
               {required("key", req.key), optional("namespace_name", req.namespace_name),
                optional("lease_id", req.lease_id), optional("txn_id", req.txn_id)});
}

// A request on one delivered message: queue, message id and lease id are required.
template <typename Request>
int check_message_request(sv_error *error, const char *operation, const Request &req) noexcept {
  return check(error, operation,
               {required("queue", req.queue), required("message_id", req.message_id),
                required("lease_id", req.lease_id), optional("namespace_name", req.namespace_name),
                optional("txn_id", req.txn_id)});
}

}  // namespace sv_names

#endif
