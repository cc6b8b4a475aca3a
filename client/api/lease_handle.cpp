// The lease handle: creation, the public view that mirrors the private copies, freeing, and
// the exported functions that dispatch through the handle's slots.
#include <cstring>

#include "handle_check.h"
#include "lease_internal.h"

// The methods live in the lease_*_methods files.
int sv_lease_describe_method(sv_lease *self, sv_error *error) noexcept;
int sv_lease_get_method(sv_lease *self, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
                        sv_error *error) noexcept;
int sv_lease_load_method(sv_lease *self, const brindle_map *map, void *destination,
                         const brindle_parse_options *parse_options, const sv_get_opts *opts,
                         sv_get_res *out, sv_error *error) noexcept;
int sv_lease_save_method(sv_lease *self, const brindle_map *map, const void *source,
                         const brindle_write_options *write_options, sv_error *error) noexcept;
int sv_lease_update_method(sv_lease *self, sv_source *src, const sv_update_opts *opts,
                           sv_error *error) noexcept;
int sv_lease_mutate_method(sv_lease *self, const sv_mutate_req *req, sv_error *error) noexcept;
int sv_lease_mutate_local_method(sv_lease *self, const sv_mutate_local_req *req,
                                 sv_error *error) noexcept;
int sv_lease_metadata_method(sv_lease *self, const sv_metadata_req *req, sv_error *error) noexcept;
int sv_lease_remove_method(sv_lease *self, const sv_remove_req *req, sv_error *error) noexcept;
int sv_lease_keepalive_method(sv_lease *self, const sv_keepalive_req *req,
                              sv_error *error) noexcept;
int sv_lease_release_method(sv_lease *self, const sv_release_req *req, sv_error *error) noexcept;
int sv_lease_attach_method(sv_lease *self, const sv_attach_req *req, sv_source *src,
                           sv_attach_res *out, sv_error *error) noexcept;
int sv_lease_list_attachments_method(sv_lease *self, sv_attachment_list *out,
                                     sv_error *error) noexcept;
int sv_lease_get_attachment_method(sv_lease *self, const sv_attachment_get_req *req, sv_sink *dst,
                                   sv_attachment_get_res *out, sv_error *error) noexcept;
int sv_lease_delete_attachment_method(sv_lease *self, const sv_attachment_selector *selector,
                                      int32_t *deleted, sv_error *error) noexcept;
int sv_lease_delete_all_attachments_method(sv_lease *self, int32_t *deleted_count,
                                           sv_error *error) noexcept;

namespace {

void close_method(sv_lease *self) noexcept {
  if (self != nullptr) sv_lease_free(sv_lease_impl_of(self));
}

void fill_slots(sv_lease *lease) noexcept {
  lease->describe = sv_lease_describe_method;
  lease->get = sv_lease_get_method;
  lease->load = sv_lease_load_method;
  lease->save = sv_lease_save_method;
  lease->update = sv_lease_update_method;
  lease->mutate = sv_lease_mutate_method;
  lease->mutate_local = sv_lease_mutate_local_method;
  lease->metadata = sv_lease_metadata_method;
  lease->remove = sv_lease_remove_method;
  lease->keepalive = sv_lease_keepalive_method;
  lease->release = sv_lease_release_method;
  lease->attach = sv_lease_attach_method;
  lease->list_attachments = sv_lease_list_attachments_method;
  lease->get_attachment = sv_lease_get_attachment_method;
  lease->delete_attachment = sv_lease_delete_attachment_method;
  lease->delete_all_attachments = sv_lease_delete_all_attachments_method;
  lease->close = close_method;
}

}  // namespace

void sv_lease_note_renewal(sv_lease_impl *lease, int64_t expires_at_unix) noexcept {
  __atomic_store_n(&lease->renewed_expires_at_unix, expires_at_unix, __ATOMIC_RELEASE);
}

void sv_lease_sync_view(sv_lease_impl *lease) noexcept {
  // A later renewal wins; an earlier one (already overtaken by a keepalive) is dropped.
  const int64_t renewed = __atomic_exchange_n(&lease->renewed_expires_at_unix, 0, __ATOMIC_ACQ_REL);
  if (renewed > lease->expires_at_unix) lease->expires_at_unix = renewed;
  sv_lease &view = lease->handle;
  view.namespace_name = lease->namespace_name;
  view.key = lease->key;
  view.owner = lease->owner;
  view.lease_id = lease->lease_id;
  view.txn_id = lease->txn_id;
  view.fencing_token = lease->fencing_token;
  view.version = lease->version;
  view.expires_at_unix = lease->expires_at_unix;
  view.state_etag = lease->state_etag;
  view.has_metadata = lease->has_metadata;
  view.query_hidden = lease->query_hidden;
}

bool sv_lease_replace_state_etag(sv_lease_impl *lease, const char *etag) noexcept {
  char *copy = nullptr;
  if (etag != nullptr) {
    copy = sv_client_strdup(lease->client, etag);
    if (copy == nullptr) return false;
  }
  sv_client_free(lease->client, lease->state_etag);
  lease->state_etag = copy;
  return true;
}

void sv_lease_free(sv_lease_impl *lease) noexcept {
  if (lease->holder != nullptr) *lease->holder = nullptr;
  const sv_client *client = lease->client;
  sv_client_free(client, lease->namespace_name);
  sv_client_free(client, lease->key);
  sv_client_free(client, lease->owner);
  sv_client_free(client, lease->lease_id);
  sv_client_free(client, lease->txn_id);
  sv_client_free(client, lease->state_etag);
  sv_client_free(client, lease);
}

extern "C" {

SV_API sv_lease *sv_lease_new(sv_client *client, const char *namespace_name, const char *key,
                              const char *owner, const char *lease_id, const char *txn_id,
                              int64_t fencing_token, int64_t version,
                              const char *state_etag) noexcept {
  if (client == nullptr) return nullptr;
  auto *lease = static_cast<sv_lease_impl *>(sv_client_alloc(client, sizeof(sv_lease_impl)));
  if (lease == nullptr) return nullptr;
  std::memset(static_cast<void *>(lease), 0, sizeof(*lease));
  fill_slots(&lease->handle);
  lease->client = client;
  lease->namespace_name = sv_client_strdup(client, namespace_name);
  lease->key = sv_client_strdup(client, key);
  lease->owner = sv_client_strdup(client, owner);
  lease->lease_id = sv_client_strdup(client, lease_id);
  lease->txn_id = sv_client_strdup(client, txn_id);
  lease->state_etag = sv_client_strdup(client, state_etag);
  lease->fencing_token = fencing_token;
  lease->version = version;
  // A handle that lost its key or lease id to a failed copy could neither write nor release.
  const bool complete = (namespace_name == nullptr || lease->namespace_name != nullptr) &&
                        (key == nullptr || lease->key != nullptr) &&
                        (owner == nullptr || lease->owner != nullptr) &&
                        (lease_id == nullptr || lease->lease_id != nullptr) &&
                        (txn_id == nullptr || lease->txn_id != nullptr) &&
                        (state_etag == nullptr || lease->state_etag != nullptr);
  if (!complete) {
    sv_lease_free(lease);
    return nullptr;
  }
  sv_lease_sync_view(lease);
  return &lease->handle;
}

SV_API int sv_lease_describe(sv_lease *lease, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease describe requires lease");
  return lease->describe(lease, error);
}

SV_API int sv_lease_get(sv_lease *lease, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
                        sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease get requires lease");
  return lease->get(lease, dst, opts, out, error);
}

SV_API int sv_lease_load(sv_lease *lease, const brindle_map *map, void *destination,
                         const brindle_parse_options *parse_options, const sv_get_opts *opts,
                         sv_get_res *out, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease load requires lease");
  return lease->load(lease, map, destination, parse_options, opts, out, error);
}

SV_API int sv_lease_save(sv_lease *lease, const brindle_map *map, const void *source,
                         const brindle_write_options *write_options, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease save requires lease");
  return lease->save(lease, map, source, write_options, error);
}

SV_API int sv_lease_update(sv_lease *lease, sv_source *src, const sv_update_opts *opts,
                           sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease update requires lease");
  return lease->update(lease, src, opts, error);
}

SV_API int sv_lease_mutate(sv_lease *lease, const sv_mutate_req *req, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease mutate requires lease");
  return lease->mutate(lease, req, error);
}

SV_API int sv_lease_mutate_local(sv_lease *lease, const sv_mutate_local_req *req,
                                 sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease mutate_local requires lease");
  return lease->mutate_local(lease, req, error);
}

SV_API int sv_lease_metadata(sv_lease *lease, const sv_metadata_req *req,
                             sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease metadata requires lease");
  return lease->metadata(lease, req, error);
}

SV_API int sv_lease_remove(sv_lease *lease, const sv_remove_req *req, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease remove requires lease");
  return lease->remove(lease, req, error);
}

SV_API int sv_lease_keepalive(sv_lease *lease, const sv_keepalive_req *req,
                              sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease keepalive requires lease");
  return lease->keepalive(lease, req, error);
}

SV_API int sv_lease_release(sv_lease *lease, const sv_release_req *req, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease release requires lease");
  return lease->release(lease, req, error);
}

SV_API int sv_lease_attach(sv_lease *lease, const sv_attach_req *req, sv_source *src,
                           sv_attach_res *out, sv_error *error) noexcept {
  if (lease == nullptr) return sv_refuse_missing_handle(error, "lease attach requires lease");
  return lease->attach(lease, req, src, out, error);
}

SV_API int sv_lease_list_attachments(sv_lease *lease, sv_attachment_list *out,
                                     sv_error *error) noexcept {
  if (lease == nullptr)
    return sv_refuse_missing_handle(error, "lease list_attachments requires lease");
  return lease->list_attachments(lease, out, error);
}

SV_API int sv_lease_get_attachment(sv_lease *lease, const sv_attachment_get_req *req, sv_sink *dst,
                                   sv_attachment_get_res *out, sv_error *error) noexcept {
  if (lease == nullptr)
    return sv_refuse_missing_handle(error, "lease get_attachment requires lease");
  return lease->get_attachment(lease, req, dst, out, error);
}

SV_API int sv_lease_delete_attachment(sv_lease *lease, const sv_attachment_selector *selector,
                                      int32_t *deleted, sv_error *error) noexcept {
  if (lease == nullptr)
    return sv_refuse_missing_handle(error, "lease delete_attachment requires lease");
  return lease->delete_attachment(lease, selector, deleted, error);
}

SV_API int sv_lease_delete_all_attachments(sv_lease *lease, int32_t *deleted_count,
                                           sv_error *error) noexcept {
  if (lease == nullptr)
    return sv_refuse_missing_handle(error, "lease delete_all_attachments requires lease");
  return lease->delete_all_attachments(lease, deleted_count, error);
}

SV_API void sv_lease_close(sv_lease *lease) noexcept {
  if (lease != nullptr) lease->close(lease);
}

}  // extern "C"
