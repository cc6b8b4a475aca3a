// Cleanup of the lease and state response records: every owned string is freed and the record
// zeroed, so a cleaned record can be filled again or cleaned twice.
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"

namespace {

template <typename Record>
void zero(Record *record) noexcept {
  std::memset(static_cast<void *>(record), 0, sizeof(*record));
}

}  // namespace

extern "C" {

void sv_engine_acquire_response_cleanup(sv_engine_acquire_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->key);
  sv_engine_free_string(&response->owner);
  sv_engine_free_string(&response->lease_id);
  sv_engine_free_string(&response->txn_id);
  sv_engine_free_string(&response->state_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_keepalive_response_cleanup(sv_engine_keepalive_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->state_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_release_response_cleanup(sv_engine_release_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_get_response_cleanup(sv_engine_get_response *response) noexcept {
  if (response == nullptr) return;
  std::free(response->body);
  sv_engine_free_string(&response->content_type);
  sv_engine_free_string(&response->etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_update_response_cleanup(sv_engine_update_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->new_state_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_metadata_response_cleanup(sv_engine_metadata_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->key);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_remove_response_cleanup(sv_engine_remove_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

void sv_engine_describe_response_cleanup(sv_engine_describe_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->key);
  sv_engine_free_string(&response->owner);
  sv_engine_free_string(&response->lease_id);
  sv_engine_free_string(&response->state_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

}  // extern "C"
