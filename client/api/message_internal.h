// The private state of a message handle and the pieces shared by the message methods, the
// queue methods that create handles and the consumer service, which reuses the layout.
#ifndef STAVOC_API_MESSAGE_INTERNAL_H
#define STAVOC_API_MESSAGE_INTERNAL_H

#include <cstdint>

#include "client_internal.h"
#include "stavoc.h"
#include "stavoc_engine.h"

struct sv_message_impl {
  sv_message handle;  // method slots and the public view, which points at the copies below
  sv_client *client;
  char *namespace_name;
  char *queue;
  char *message_id;
  int32_t attempts;
  int32_t max_attempts;
  int32_t failure_attempts;
  int64_t not_visible_until_unix;
  int64_t visibility_timeout_seconds;
  char *payload_content_type;
  char *correlation_id;
  char *lease_id;
  int64_t lease_expires_at_unix;
  int64_t fencing_token;
  char *txn_id;
  char *meta_etag;
  char *next_cursor;
  sv_source *payload;     // owned
  int32_t *settled;       // set to 1 after a successful ack or nack; may be null
  sv_lease *state_lease;  // owned, or null
  char *state_etag;
  char *state_lease_id;
  int64_t state_lease_expires_at_unix;
  int64_t state_fencing_token;
  char *state_txn_id;
  // Where the code that handed this message to user code keeps it: cleared when the handle is
  // freed (settled or closed by that user code), so that the holder never uses or frees it.
  sv_message **holder;
};

inline sv_message_impl *sv_message_impl_of(sv_message *message) noexcept {
  return reinterpret_cast<sv_message_impl *>(message);
}

// Builds a handle for one delivery (the engine's record; its payload member is ignored): copies
// of its strings (client allocator), payload_source (owned by the handle from then on), the
// settled flag and, when the delivery carries a state lease id, a state lease on
// "q/<queue>/state/<message_id>". Null when the handle, a copy or the state lease cannot be
// allocated; payload_source then still belongs to the caller.
sv_message *sv_message_new(sv_client *client, const sv_engine_dequeue_response *delivery,
                           sv_source *payload_source, int32_t *settled_flag) noexcept;

// Copies the private state into the public view.
void sv_message_sync_view(sv_message_impl *message) noexcept;
// Frees every copy, closes the payload and the state lease and frees the handle.
void sv_message_free(sv_message_impl *message) noexcept;

// The methods sv_message_new installs; the consumer service wraps them.
int sv_message_ack_method(sv_message *self, sv_error *error) noexcept;
int sv_message_nack_method(sv_message *self, const sv_nack_req *req, sv_error *error) noexcept;
int sv_message_extend_method(sv_message *self, const sv_extend_req *req, sv_error *error) noexcept;
// The extend of a service thread while user code holds the message (the consumer's automatic
// extend): the state lease's view is left alone and its renewal noted for its next call.
int sv_message_extend_in_background(sv_message *self, const sv_extend_req *req,
                                    sv_error *error) noexcept;
sv_lease *sv_message_state_method(sv_message *self) noexcept;
sv_source *sv_message_payload_method(sv_message *self) noexcept;
int sv_message_rewind_payload_method(sv_message *self, sv_error *error) noexcept;
int sv_message_write_payload_method(sv_message *self, sv_sink *dst, uint64_t *out_written,
                                    sv_error *error) noexcept;
void sv_message_close_method(sv_message *self) noexcept;

#endif
