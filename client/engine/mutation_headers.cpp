// The request headers every state write carries: content type, fencing token, lease id,
// transaction id and the ETag precondition, always in this order.
#include "state_internal.h"
#include "stavoc_numbers.h"

namespace {

// The most pairs sv_engine_apply_common_mutation_headers appends.
constexpr size_t kCommonHeaderCount = 5;

}  // namespace

extern "C" {

SV_API int sv_engine_set_fencing_header(int64_t token, char *buffer, size_t capacity,
                                        sv_engine_header *header) noexcept {
  if (buffer == nullptr || header == nullptr) return SV_ERR_INVALID;
  if (sv_i64_format_base10(token, buffer, capacity) < 0) return SV_ERR_NOMEM;
  header->name = "X-Fencing-Token";
  header->value = buffer;
  return SV_OK;
}

SV_API int sv_engine_apply_common_mutation_headers(sv_engine_header *headers, size_t capacity,
                                                   size_t *count, const char *content_type,
                                                   int64_t fencing_token, char *token_buffer,
                                                   size_t token_capacity, const char *lease_id,
                                                   const char *txn_id,
                                                   const char *if_state_etag) noexcept {
  if (headers == nullptr || count == nullptr || *count > capacity) return SV_ERR_INVALID;
  if (capacity - *count < kCommonHeaderCount) return SV_ERR_NOMEM;
  size_t used = *count;
  headers[used++] = {"Content-Type", content_type};
  const int status =
      sv_engine_set_fencing_header(fencing_token, token_buffer, token_capacity, &headers[used]);
  if (status != SV_OK) return status;
  ++used;
  if (!sv_state::is_empty(lease_id)) headers[used++] = {"X-Lease-ID", lease_id};
  // Listed even without a transaction: a line with no value is left out by libcurl.
  headers[used++] = {"X-Txn-ID", txn_id};
  if (!sv_state::is_empty(if_state_etag)) headers[used++] = {"X-If-State-ETag", if_state_etag};
  *count = used;
  return SV_OK;
}

}  // extern "C"
