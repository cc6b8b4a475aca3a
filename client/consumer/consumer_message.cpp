// The managed message that consumer handlers receive: it forwards to the delivered message but
// settles it at most once, keeps automatic extends from overlapping a settlement, and refuses
// everything after the message was settled, closed, or its settlement failed.
#include <cstring>

#include "consumer_internal.h"

namespace {

constexpr const char *kGone = "message is no longer available";
constexpr const char *kIndeterminate =
    "message terminal outcome is indeterminate after terminal action failure; do not retry "
    "locally";

ManagedMessage *managed_of(sv_message *message) {
  return reinterpret_cast<ManagedMessage *>(message);
}

int fail(sv_error *error, int code, const char *message) {
  return sv_error_set(error, code, 0, message, nullptr, nullptr, nullptr);
}

// The refusal for a settlement or extend that is not allowed (context mutex held).
int refuse(const DeliveryContext *c, sv_error *error) {
  const bool unknown = c->terminal == kTerminalInFlight || c->terminal == kTerminalFailed;
  return fail(error, SV_ERR_INVALID, unknown ? kIndeterminate : kGone);
}

enum class Settle { kAck, kNack };

int settle(ManagedMessage *m, Settle kind, const sv_nack_req *request, sv_error *error) {
  DeliveryContext *c = m->context;
  pthread_mutex_lock(&c->mutex);
  // After a stop, a running handler may settle until the drain runs out.
  if (m->inner == nullptr || c->done || c->terminal >= kTerminalInFlight ||
      sv_consumer_drain_over(c->worker->service)) {
    const int refused = refuse(c, error);
    pthread_mutex_unlock(&c->mutex);
    return refused;
  }
  c->terminal = kTerminalInFlight;  // also tells the extender to end
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);

  pthread_mutex_lock(&c->action);
  sv_message *inner = m->inner;
  const int status =
      kind == Settle::kAck ? inner->ack(inner, error) : inner->nack(inner, request, error);
  pthread_mutex_lock(&c->mutex);
  if (status == SV_OK) {
    m->inner = nullptr;  // a successful ack or nack frees the message
    c->message = nullptr;
    m->handle.payload = nullptr;
    c->terminal = kTerminalSettled;
  } else if (c->terminal == kTerminalInFlight) {
    c->terminal = kTerminalFailed;
  }
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);
  pthread_mutex_unlock(&c->action);
  return status;
}

int managed_ack(sv_message *self, sv_error *error) noexcept {
  if (self == nullptr) return fail(error, SV_ERR_INVALID, "message ack requires self");
  return settle(managed_of(self), Settle::kAck, nullptr, error);
}

int managed_nack(sv_message *self, const sv_nack_req *request, sv_error *error) noexcept {
  if (self == nullptr || request == nullptr) {
    return fail(error, SV_ERR_INVALID, "message nack requires self and req");
  }
  return settle(managed_of(self), Settle::kNack, request, error);
}

int managed_extend(sv_message *self, const sv_extend_req *request, sv_error *error) noexcept {
  if (self == nullptr || request == nullptr) {
    return fail(error, SV_ERR_INVALID, "message extend requires self and req");
  }
  ManagedMessage *m = managed_of(self);
  DeliveryContext *c = m->context;
  pthread_mutex_lock(&c->action);
  pthread_mutex_lock(&c->mutex);
  if (m->inner == nullptr || c->done || c->terminal != kTerminalActive ||
      sv_consumer_drain_over(c->worker->service)) {
    const int refused = refuse(c, error);
    pthread_mutex_unlock(&c->mutex);
    pthread_mutex_unlock(&c->action);
    return refused;
  }
  pthread_mutex_unlock(&c->mutex);
  sv_message *inner = m->inner;
  const int status = inner->extend(inner, request, error);
  if (status == SV_OK) {
    pthread_mutex_lock(&c->mutex);
    m->handle.visibility_timeout_seconds = inner->visibility_timeout_seconds;
    m->handle.lease_expires_at_unix = inner->lease_expires_at_unix;
    pthread_mutex_unlock(&c->mutex);
  }
  pthread_mutex_unlock(&c->action);
  return status;
}

sv_lease *managed_state(sv_message *self) noexcept {
  if (self == nullptr) return nullptr;
  sv_message *inner = managed_of(self)->inner;
  return inner != nullptr ? inner->state(inner) : nullptr;
}

sv_source *managed_payload(sv_message *self) noexcept {
  if (self == nullptr) return nullptr;
  sv_message *inner = managed_of(self)->inner;
  return inner != nullptr ? inner->payload_reader(inner) : nullptr;
}

int managed_rewind(sv_message *self, sv_error *error) noexcept {
  if (self == nullptr) return fail(error, SV_ERR_INVALID, "message rewind_payload requires self");
  sv_message *inner = managed_of(self)->inner;
  if (inner == nullptr) return fail(error, SV_ERR_INVALID, "message has no payload");
  return inner->rewind_payload(inner, error);
}

int managed_write(sv_message *self, sv_sink *dst, uint64_t *out_written, sv_error *error) noexcept {
  if (self == nullptr || dst == nullptr) {
    return fail(error, SV_ERR_INVALID, "message write_payload requires self and dst");
  }
  sv_message *inner = managed_of(self)->inner;
  if (inner == nullptr) {
    if (out_written != nullptr) *out_written = 0;
    return SV_OK;
  }
  return inner->write_payload(inner, dst, out_written, error);
}

void managed_close(sv_message *self) noexcept {
  if (self == nullptr) return;
  ManagedMessage *m = managed_of(self);
  DeliveryContext *c = m->context;
  // The action mutex waits for an automatic extend of the message that is about to go.
  pthread_mutex_lock(&c->action);
  pthread_mutex_lock(&c->mutex);
  sv_message *inner = m->inner;
  m->inner = nullptr;
  c->message = nullptr;
  if (c->managed == m) c->managed = nullptr;
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);
  if (inner != nullptr) inner->close(inner);
  pthread_mutex_unlock(&c->action);
  for (char *text : m->strings)
    sv_free_with_allocator(m->allocator, text);
  sv_free_with_allocator(m->allocator, m);
}

}  // namespace

ManagedMessage *sv_consumer_managed_new(DeliveryContext *context, sv_message *inner,
                                        sv_error *error) noexcept {
  const sv_allocator *allocator = context->worker->allocator;
  auto *m =
      static_cast<ManagedMessage *>(sv_calloc_with_allocator(allocator, 1, sizeof(ManagedMessage)));
  if (m == nullptr) {
    fail(error, SV_ERR_NOMEM, "failed to allocate managed consumer message");
    return nullptr;
  }
  m->context = context;
  m->inner = inner;
  m->allocator = allocator;
  m->handle = *inner;  // the public view; the strings are replaced by own copies below
  const char *const sources[] = {
      inner->namespace_name, inner->queue,    inner->message_id, inner->payload_content_type,
      inner->correlation_id, inner->lease_id, inner->txn_id,     inner->meta_etag,
      inner->next_cursor};
  const char **targets[] = {&m->handle.namespace_name, &m->handle.queue,
                            &m->handle.message_id,     &m->handle.payload_content_type,
                            &m->handle.correlation_id, &m->handle.lease_id,
                            &m->handle.txn_id,         &m->handle.meta_etag,
                            &m->handle.next_cursor};
  for (size_t i = 0; i < sizeof sources / sizeof sources[0]; ++i) {
    m->strings[i] = sv_strdup_with_allocator(allocator, sources[i]);
    *targets[i] = m->strings[i];
    if (sources[i] != nullptr && m->strings[i] == nullptr) {
      // A view without its lease id or etag could not be settled; the caller keeps inner.
      for (char *text : m->strings)
        sv_free_with_allocator(allocator, text);
      sv_free_with_allocator(allocator, m);
      fail(error, SV_ERR_NOMEM, "failed to copy managed consumer message");
      return nullptr;
    }
  }
  m->handle.ack = managed_ack;
  m->handle.nack = managed_nack;
  m->handle.extend = managed_extend;
  m->handle.state = managed_state;
  m->handle.payload_reader = managed_payload;
  m->handle.rewind_payload = managed_rewind;
  m->handle.write_payload = managed_write;
  m->handle.close = managed_close;
  return m;
}

bool sv_consumer_managed_settled(DeliveryContext *c) noexcept {
  pthread_mutex_lock(&c->mutex);
  const bool settled = c->terminal == kTerminalSettled || c->terminal == kTerminalFailed;
  pthread_mutex_unlock(&c->mutex);
  return settled;
}
