// The queue methods of the client: what the method table installs and the pieces the queue
// method files share.
#ifndef STAVOC_API_CLIENT_QUEUE_INTERNAL_H
#define STAVOC_API_CLIENT_QUEUE_INTERNAL_H

#include "lease_internal.h"
#include "message_internal.h"

// A copy succeeded when there was nothing to copy or the copy exists.
inline bool sv_queue_copied(const char *from, const char *copy) noexcept {
  return from == nullptr || copy != nullptr;
}

int sv_client_queue_stats_method(sv_client *self, const sv_queue_stats_req *req,
                                 sv_queue_stats_res *out, sv_error *error) noexcept;
int sv_client_queue_ack_method(sv_client *self, const sv_message_ref *req, sv_ack_res *out,
                               sv_error *error) noexcept;
int sv_client_queue_nack_method(sv_client *self, const sv_nack_op *req, sv_nack_res *out,
                                sv_error *error) noexcept;
int sv_client_queue_extend_method(sv_client *self, const sv_extend_op *req, sv_extend_res *out,
                                  sv_error *error) noexcept;
int sv_client_enqueue_method(sv_client *self, const sv_enqueue_req *req, sv_source *payload,
                             sv_enqueue_res *out, sv_error *error) noexcept;
int sv_client_dequeue_method(sv_client *self, const sv_dequeue_req *req, sv_message **out,
                             sv_error *error) noexcept;
int sv_client_dequeue_with_state_method(sv_client *self, const sv_dequeue_req *req,
                                        sv_message **out, sv_error *error) noexcept;
int sv_client_dequeue_batch_method(sv_client *self, const sv_dequeue_req *req,
                                   sv_dequeue_batch_res *out, sv_error *error) noexcept;
int sv_client_subscribe_method(sv_client *self, const sv_dequeue_req *req,
                               const sv_consumer *consumer, sv_error *error) noexcept;
int sv_client_subscribe_with_state_method(sv_client *self, const sv_dequeue_req *req,
                                          const sv_consumer *consumer, sv_error *error) noexcept;
int sv_client_watch_queue_method(sv_client *self, const sv_watch_queue_req *req,
                                 const sv_watch_handler *handler, sv_error *error) noexcept;

#endif
