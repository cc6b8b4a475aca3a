// subscribe and subscribe_with_state: every delivery of the stream gets a message handle whose
// payload is a stream pipe, and the consumer's handler runs on a thread of its own while this
// thread keeps writing the payload into the pipe. Deliveries are handled one at a time: the
// handler thread is joined when the payload has ended, before the next part is read.
//
// A handler may settle (or fail) without reading the whole payload. Its side of the pipe is then
// closed, and the rest of the payload is read from the network and dropped, so that the stream
// goes on to the next message however fast the handler was.
#include <thread>

#include "../engine/sv_log.h"
#include "client_queue_internal.h"
#include "name_check.h"

namespace {

constexpr size_t kPipeBytes = 65536;
constexpr FailureEvents kSubscribeEvents{"client.queue.subscribe.error", nullptr, false};

// One delivery in progress. The handler thread owns `message` until it is joined; `settled`,
// `result` and `error` are written by the handler thread and read after the join.
struct Delivery {
  sv_message *message = nullptr;
  sv_stream_pipe *pipe = nullptr;
  bool draining = false;  // the handler let go of the payload: drop the rest
  std::thread thread;
  int32_t settled = 0;
  int result = SV_OK;
  sv_error error{};
};

struct Subscription {
  sv_client *client;
  const sv_consumer *consumer;
  Delivery *current = nullptr;
  sv_error *error;  // the caller's (or a local) record: a handler failure is kept here
};

void run_handler(const sv_consumer *consumer, Delivery *delivery) noexcept {
  sv_message *message = delivery->message;
  // A message that the handler settles or closes is freed by that call and forgotten here.
  sv_message_impl_of(message)->holder = &delivery->message;
  int result = consumer->handle(consumer->context, message, &delivery->error);
  message = delivery->message;
  const bool closed = message == nullptr && delivery->settled == 0;
  if (message != nullptr) sv_message_impl_of(message)->holder = nullptr;
  if (result != SV_OK) {
    if (delivery->error.code == 0) {
      sv_error_set(&delivery->error, SV_ERR_TRANSPORT, 0, "consumer callback failed", nullptr,
                   nullptr, nullptr);
    }
  } else if (delivery->settled == 0 && !closed) {
    result = sv_error_set(&delivery->error, SV_ERR_TRANSPORT, 0,
                          "consumer callback must ack() or nack() before returning SV_OK", nullptr,
                          nullptr, nullptr);
  }
  if (result != SV_OK && message != nullptr) {
    sv_nack_req nack{};
    nack.intent = SV_NACK_INTENT_FAILURE;
    sv_error nack_error;
    sv_error_init(&nack_error);
    if (sv_message_nack(message, &nack, &nack_error) != SV_OK) {
      result = sv_error_set(&delivery->error, nack_error.code, nack_error.http_status,
                            nack_error.message, nack_error.detail, nack_error.server_error_code,
                            nack_error.correlation_id);
      sv_message_close(message);
    }
    sv_error_cleanup(&nack_error);
  }
  // Settled (the handle freed itself) or closed above: nothing is left for the stream thread.
  delivery->message = nullptr;
  delivery->result = result;
}

// Ends the current delivery: the pipe is finished (or failed with fail_message), the handler
// thread joined and a remaining message closed. Returns the handler's result.
int finish_delivery(Subscription *subscription, const char *fail_message) noexcept {
  Delivery *delivery = subscription->current;
  if (delivery == nullptr) return SV_OK;
  if (delivery->pipe != nullptr) {
    if (fail_message != nullptr) {
      sv_stream_pipe_fail(delivery->pipe, SV_ERR_TRANSPORT, fail_message);
    } else {
      sv_stream_pipe_finish(delivery->pipe);
    }
  }
  if (delivery->thread.joinable()) delivery->thread.join();
  if (delivery->message != nullptr) sv_message_close(delivery->message);
  const int result = delivery->result;
  if (result != SV_OK) {
    sv_error_set(subscription->error, delivery->error.code, delivery->error.http_status,
                 delivery->error.message, delivery->error.detail, delivery->error.server_error_code,
                 delivery->error.correlation_id);
  }
  sv_error_cleanup(&delivery->error);
  delete delivery;
  subscription->current = nullptr;
  return result;
}

// Copies the public error into the engine's record, so that the engine stops with it.
int refuse(sv_engine_error *engine_error, const sv_error *error) noexcept {
  sv_engine_set_client_error(engine_error, error->code != 0 ? error->code : SV_ERR_TRANSPORT,
                             error->message != nullptr ? error->message : "subscribe failed");
  return 0;
}

int on_begin(void *context, const sv_engine_dequeue_response *meta,
             sv_engine_error *engine_error) noexcept {
  auto *subscription = static_cast<Subscription *>(context);
  if (subscription->current != nullptr) {
    // A delivery whose payload never ended: its handler must not read a silently short payload.
    finish_delivery(subscription, "subscribe payload ended early");
    sv_engine_set_protocol_error(engine_error, "subscribe payload ended early");
    return 0;
  }
  auto *delivery = new (std::nothrow) Delivery;
  if (delivery == nullptr) {
    sv_engine_set_client_error(engine_error, SV_ERR_NOMEM, "failed to allocate message handle");
    return 0;
  }
  sv_error_init(&delivery->error);
  subscription->current = delivery;
  sv_source *source = nullptr;
  sv_error error;
  sv_error_init(&error);
  if (sv_stream_pipe_open(kPipeBytes, &sv_client_impl_of(subscription->client)->allocator, &source,
                          &delivery->pipe, &error) != SV_OK) {
    refuse(engine_error, &error);
    sv_error_cleanup(&error);
    finish_delivery(subscription, nullptr);
    return 0;
  }
  delivery->message = sv_message_new(subscription->client, meta, source, &delivery->settled);
  if (delivery->message == nullptr) {
    sv_source_close(source);
    sv_stream_pipe_fail(delivery->pipe, SV_ERR_NOMEM, "failed to allocate message handle");
    delivery->pipe = nullptr;
    finish_delivery(subscription, nullptr);
    sv_engine_set_client_error(engine_error, SV_ERR_NOMEM, "failed to allocate message handle");
    return 0;
  }
  try {
    delivery->thread = std::thread(run_handler, subscription->consumer, delivery);
  } catch (...) {
    sv_message_close(delivery->message);
    delivery->message = nullptr;
    sv_stream_pipe_fail(delivery->pipe, SV_ERR_TRANSPORT,
                        "failed to start subscribe handler thread");
    delivery->pipe = nullptr;
    finish_delivery(subscription, nullptr);
    sv_engine_set_transport_error(engine_error, "failed to start subscribe handler thread");
    return 0;
  }
  return 1;
}

int on_chunk(void *context, const char *bytes, size_t length,
             sv_engine_error *engine_error) noexcept {
  auto *subscription = static_cast<Subscription *>(context);
  Delivery *delivery = subscription->current;
  if (delivery == nullptr || delivery->pipe == nullptr) {
    sv_engine_set_client_error(engine_error, SV_ERR_INVALID, "missing subscribe payload stream");
    return 0;
  }
  if (delivery->draining) return 1;
  // The only way a write fails is a consumer that closed its side (settled, closed or failed
  // without reading everything): the rest of this payload is dropped.
  if (sv_stream_pipe_write(delivery->pipe, bytes, length, nullptr) != SV_OK) {
    delivery->draining = true;
  }
  return 1;
}

int on_end(void *context, const sv_engine_dequeue_response *,
           sv_engine_error *engine_error) noexcept {
  auto *subscription = static_cast<Subscription *>(context);
  if (finish_delivery(subscription, nullptr) != SV_OK) {
    return refuse(engine_error, subscription->error);
  }
  return 1;
}

const sv_engine_message_handler kHandler = {on_begin, on_chunk, on_end};

int subscribe(sv_client *self, const sv_dequeue_req *req, const sv_consumer *consumer,
              bool with_state, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || consumer == nullptr || consumer->handle == nullptr) {
    // The with-state form shares the plain form's messages.
    return sv_error_set(error, SV_ERR_INVALID, 0, "subscribe requires self, req, and consumer",
                        nullptr, nullptr, nullptr);
  }
  if (const int status = sv_names::check(
          error, "subscribe",
          {sv_names::required("queue", req->queue), sv_names::required("owner", req->owner),
           sv_names::optional("namespace_name", req->namespace_name),
           sv_names::optional("txn_id", req->txn_id)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {
      sv_log_str_field("queue", req->queue), sv_log_str_field("namespace", req->namespace_name),
      sv_log_str_field("owner", req->owner), sv_log_bool_field("with_state", with_state)};
  sv_log_info(logger, "client.queue.subscribe.begin", ids, 4);
  const sv_engine_dequeue_request request{
      req->namespace_name, req->queue,
      req->owner,          req->visibility_timeout_seconds,
      req->wait_seconds,   req->page_size > 1 ? req->page_size : 1,
      req->start_after};
  sv_error handler_error;
  sv_error_init(&handler_error);
  Subscription subscription{self, consumer, nullptr, &handler_error};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  const sv_engine_client *engine = sv_client_impl_of(self)->engine;
  const int status = with_state ? sv_engine_client_subscribe_with_state(
                                      engine, &request, &kHandler, &subscription, &engine_error)
                                : sv_engine_client_subscribe(engine, &request, &kHandler,
                                                             &subscription, &engine_error);
  // Whether a handler's failure is what stopped the stream, rather than the stream itself.
  const bool stopped_by_handler = handler_error.code != 0;
  // A stream that broke off mid-payload: the handler's read fails instead of ending short.
  finish_delivery(&subscription, "subscribe stream aborted");
  int result = status;
  if (status != SV_OK) {
    if (stopped_by_handler) {
      // A handler failure stopped the stream: report it as the handler gave it.
      result = sv_error_set(error, handler_error.code, handler_error.http_status,
                            handler_error.message, handler_error.detail,
                            handler_error.server_error_code, handler_error.correlation_id);
      sv_api_log_failure(logger, kSubscribeEvents, ids, 4, result, handler_error.http_status,
                         handler_error.message);
      sv_engine_error_cleanup(&engine_error);
    } else {
      result = sv_api_fail_engine(logger, kSubscribeEvents, ids, 4, &engine_error, error);
    }
  } else {
    sv_engine_error_cleanup(&engine_error);
    sv_log_info(logger, "client.queue.subscribe.complete", ids, 4);
  }
  sv_error_cleanup(&handler_error);
  return result;
}

}  // namespace

int sv_client_subscribe_method(sv_client *self, const sv_dequeue_req *req,
                               const sv_consumer *consumer, sv_error *error) noexcept {
  return subscribe(self, req, consumer, false, error);
}

int sv_client_subscribe_with_state_method(sv_client *self, const sv_dequeue_req *req,
                                          const sv_consumer *consumer, sv_error *error) noexcept {
  return subscribe(self, req, consumer, true, error);
}
