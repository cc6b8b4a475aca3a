// watch_queue: every event of the engine's queue watch is copied into a public event and handed
// to the caller's handler, whose answer decides whether the watch goes on.
#include "client_queue_internal.h"
#include "name_check.h"

namespace {

struct Watch {
  const sv_watch_handler *handler;
  bool stopped = false;  // the handler asked to stop without reporting a failure
};

int on_event(void *context, const sv_engine_queue_watch_event *event,
             sv_engine_error *engine_error) noexcept {
  auto *watch = static_cast<Watch *>(context);
  const sv_watch_handler *handler = watch->handler;
  sv_watch_event copy{};
  copy.namespace_name = sv_strdup_local(event->namespace_name);
  copy.queue = sv_strdup_local(event->queue);
  copy.available = event->available;
  copy.head_message_id = sv_strdup_local(event->head_message_id);
  copy.changed_at_unix = event->changed_at_unix;
  copy.correlation_id = sv_strdup_local(event->correlation_id);
  if (!sv_queue_copied(event->namespace_name, copy.namespace_name) ||
      !sv_queue_copied(event->queue, copy.queue) ||
      !sv_queue_copied(event->head_message_id, copy.head_message_id) ||
      !sv_queue_copied(event->correlation_id, copy.correlation_id)) {
    // A handler must not see an event with members silently missing.
    sv_watch_event_cleanup(&copy);
    sv_engine_set_client_error(engine_error, SV_ERR_NOMEM, "failed to allocate watch event");
    return 0;
  }
  sv_error error;
  sv_error_init(&error);
  const int go_on = handler->handle(handler->context, &copy, &error);
  sv_watch_event_cleanup(&copy);
  if (go_on == 0 && error.code != 0) {
    sv_engine_set_transport_error(
        engine_error, error.message != nullptr ? error.message : "queue watch handler failed");
  } else if (go_on == 0) {
    watch->stopped = true;
  }
  sv_error_cleanup(&error);
  return go_on;
}

}  // namespace

int sv_client_watch_queue_method(sv_client *self, const sv_watch_queue_req *req,
                                 const sv_watch_handler *handler, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || handler == nullptr || handler->handle == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "watch_queue requires self, req, and handler",
                        nullptr, nullptr, nullptr);
  }
  if (const int status =
          sv_names::check(error, "watch_queue",
                          {sv_names::required("queue", req->queue),
                           sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  const sv_engine_watch_queue_request request{req->namespace_name, req->queue};
  Watch watch{handler};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  const int status = sv_engine_client_watch_queue(sv_client_impl_of(self)->engine, &request,
                                                  on_event, &watch, &engine_error);
  // The engine ends a refused event with an error; a handler that simply stopped is a normal end.
  const bool ok = status == SV_OK || watch.stopped;
  const int result = ok ? SV_OK : sv_error_from_engine(error, &engine_error);
  sv_engine_error_cleanup(&engine_error);
  return result;
}
