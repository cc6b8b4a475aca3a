// The private state of a lease handle, the pieces shared by the lease and key-operation
// methods (failure logging, the implicit version precondition, the mapped-load parser) and the
// client methods that the method table installs.
#ifndef STAVOC_API_LEASE_INTERNAL_H
#define STAVOC_API_LEASE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "brindle_curl.h"
#include "client_internal.h"
#include "stavoc.h"
#include "stavoc_engine.h"

struct sv_lease_impl {
  sv_lease handle;  // method slots and the public view, which points at the copies below
  sv_client *client;
  char *namespace_name;
  char *key;
  char *owner;
  char *lease_id;
  char *txn_id;
  int64_t fencing_token;
  int64_t version;
  int64_t expires_at_unix;
  char *state_etag;
  int32_t has_metadata;
  int32_t query_hidden;
  // Where the code that handed this lease to user code keeps it: cleared when the handle is
  // freed (released or closed by that user code), so that the holder never uses or frees it.
  sv_lease **holder;
  // A renewal another thread made (the consumer's automatic extend of a with-state delivery):
  // stored atomically and brought into the handle, never into the view the handler reads, until
  // the handle's own next call syncs the view on the caller's thread. 0: none.
  int64_t renewed_expires_at_unix;
};

inline sv_lease_impl *sv_lease_impl_of(sv_lease *lease) noexcept {
  return reinterpret_cast<sv_lease_impl *>(lease);
}

// The client's event logger (never null).
ember_logger *sv_api_logger(const sv_client *client) noexcept;

// Copies the private state into the public view (first taking a renewal another thread noted).
void sv_lease_sync_view(sv_lease_impl *lease) noexcept;
// Notes, from a thread other than the handle's user, that the lease now runs until expires.
void sv_lease_note_renewal(sv_lease_impl *lease, int64_t expires_at_unix) noexcept;
// Replaces the state ETag with a copy of etag (NULL clears it). False, with the old ETag kept,
// when the copy fails.
bool sv_lease_replace_state_etag(sv_lease_impl *lease, const char *etag) noexcept;
// Frees every copy and the handle.
void sv_lease_free(sv_lease_impl *lease) noexcept;

// The caller's explicit if-version, else the handle's version when it is above 0.
struct VersionPrecondition {
  int64_t if_version;
  int32_t has_if_version;
};
inline VersionPrecondition sv_lease_version_precondition(const sv_lease_impl *lease,
                                                         int32_t has_explicit,
                                                         int64_t explicit_version) noexcept {
  if (has_explicit != 0) return {explicit_version, 1};
  if (lease->version > 0) return {lease->version, 1};
  return {0, 0};
}

// How an operation reports its failures: ".transport_error" at error level for a transport
// failure when transport_event is set, else error_event at error or warn level.
struct FailureEvents {
  const char *error_event;
  const char *transport_event;  // NULL: transport failures log error_event too
  bool error_level;
};

// Logs the failure (fields, then code, http_status and error) and returns code.
int sv_api_log_failure(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                       size_t count, int code, int64_t http_status, const char *message) noexcept;
// Maps an engine failure into error, logs it and cleans up the engine error; returns the code.
int sv_api_fail_engine(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                       size_t count, sv_engine_error *engine_error, sv_error *error) noexcept;
// Sets error to (code, message), logs it and returns code.
int sv_api_fail_local(ember_logger *logger, const FailureEvents &events, const ember_field *fields,
                      size_t count, int code, const char *message, sv_error *error) noexcept;

// The texts of one mapped read: the lease's and the client's differ.
struct MappedLoadMessages {
  const char *init_failed;
  const char *state_missing;
  const char *chunk_failed;
  const char *finish_failed;
};

// Parses a state response while it arrives, within a byte limit.
struct MappedLoad {
  brindle_curl_parse parser{};
  bool started = false;
  uint64_t limit = 0;  // 0: no limit
  uint64_t total = 0;
  const MappedLoadMessages *messages = nullptr;
};

// Starts the parser (limit: the client's response limit, 1 MiB when 0).
int sv_mapped_load_start(MappedLoad *load, const sv_client *client, const brindle_map *map,
                         void *destination, const brindle_parse_options *options,
                         const MappedLoadMessages *messages, sv_error *error) noexcept;
// Engine writer over a MappedLoad.
int sv_mapped_load_write(void *context, const char *bytes, size_t length,
                         sv_engine_error *engine_error) noexcept;
// Finishes the document; a failure is mapped into error.
int sv_mapped_load_finish(MappedLoad *load, sv_error *error) noexcept;
void sv_mapped_load_cleanup(MappedLoad *load) noexcept;

// Copies a get answer into out (system allocator); false when a copy fails (out is cleaned).
bool sv_get_res_fill(sv_get_res *out, const sv_engine_get_stream_response &response) noexcept;

// Fills an attachment description from engine members; false when a copy fails.
bool sv_attachment_info_fill(sv_attachment_info *info, const char *id, const char *name,
                             int64_t size, const char *sha256, const char *content_type,
                             int64_t created_at, int64_t updated_at) noexcept;
// Copies an engine list into out; false (out cleaned) when an allocation fails.
bool sv_attachment_list_fill(sv_attachment_list *out,
                             const sv_engine_list_attachments_response &response) noexcept;

// Client methods installed by the method table.
int sv_client_acquire_method(sv_client *self, const sv_acquire_req *req, sv_lease **out,
                             sv_error *error) noexcept;
int sv_client_acquire_for_update_method(sv_client *self, const sv_acquire_req *req,
                                        sv_update_handler handler, void *handler_context,
                                        sv_error *error) noexcept;
int sv_client_describe_method(sv_client *self, const sv_describe_req *req, sv_describe_res *out,
                              sv_error *error) noexcept;
int sv_client_get_method(sv_client *self, const char *key, const sv_get_opts *opts, sv_sink *dst,
                         sv_get_res *out, sv_error *error) noexcept;
int sv_client_load_method(sv_client *self, const char *key, const brindle_map *map,
                          void *destination, const brindle_parse_options *parse_options,
                          const sv_get_opts *opts, sv_get_res *out, sv_error *error) noexcept;
int sv_client_update_method(sv_client *self, const sv_update_req *req, sv_source *src,
                            sv_update_res *out, sv_error *error) noexcept;
int sv_client_mutate_method(sv_client *self, const sv_mutate_op *req, sv_mutate_res *out,
                            sv_error *error) noexcept;
int sv_client_metadata_method(sv_client *self, const sv_metadata_op *req, sv_metadata_res *out,
                              sv_error *error) noexcept;
int sv_client_remove_method(sv_client *self, const sv_remove_op *req, sv_remove_res *out,
                            sv_error *error) noexcept;
int sv_client_keepalive_method(sv_client *self, const sv_keepalive_op *req, sv_keepalive_res *out,
                               sv_error *error) noexcept;
int sv_client_release_method(sv_client *self, const sv_release_op *req, sv_release_res *out,
                             sv_error *error) noexcept;
int sv_client_attach_method(sv_client *self, const sv_attach_op *req, sv_source *src,
                            sv_attach_res *out, sv_error *error) noexcept;
int sv_client_list_attachments_method(sv_client *self, const sv_attachment_list_req *req,
                                      sv_attachment_list *out, sv_error *error) noexcept;
int sv_client_get_attachment_method(sv_client *self, const sv_attachment_get_op *req, sv_sink *dst,
                                    sv_attachment_get_res *out, sv_error *error) noexcept;
int sv_client_delete_attachment_method(sv_client *self, const sv_attachment_delete_op *req,
                                       int32_t *deleted, sv_error *error) noexcept;
int sv_client_delete_all_attachments_method(sv_client *self, const sv_attachment_delete_all_op *req,
                                            int32_t *deleted_count, sv_error *error) noexcept;

#endif
