// The checks every lease-guarded request goes through: lease id, fencing token, transaction id,
// then the optimistic preconditions on version and state ETag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exchange.h"
#include "store.h"

namespace stavo::devserver {

struct Credentials {
  std::string lease_id;
  std::optional<int64_t> fencing_token;
  std::optional<std::string> txn_id;
};

// From X-Lease-ID, X-Fencing-Token and X-Txn-ID. A malformed fencing token is refused here.
std::optional<Reply> read_credentials(const Call &call, bool fencing_required, Credentials &out);

// The record may be null (unknown key).
std::optional<Reply> check_lease(const KeyRecord *record, const Credentials &credentials);

// X-If-Version and X-If-State-ETag against what the lease holder sees.
std::optional<Reply> check_preconditions(const Call &call, const KeyRecord &record,
                                         bool with_etag = true);

// key (required) and namespace (default "default") from the query string.
std::optional<Reply> key_from_query(const Call &call, std::string &ns, std::string &key);

// "default" when empty.
std::string effective_namespace(const std::string &ns);

}  // namespace stavo::devserver
