// Log events of the consumer service, all through the service logger.
#include "../engine/sv_log.h"
#include "consumer_internal.h"

namespace {

ember_logger *logger_of(const ConsumerWorker *worker) {
  return worker->service->logger;
}

}  // namespace

void sv_consumer_log_subscribe(const ConsumerWorker *worker, const char *event,
                               const sv_error *error) noexcept {
  const ember_field fields[] = {
      sv_log_str_field("consumer", worker->name),
      sv_log_str_field("queue", worker->queue),
      sv_log_str_field("namespace", worker->namespace_name),
      sv_log_str_field("owner", worker->owner),
      sv_log_bool_field("with_state", worker->with_state),
      sv_log_code_field(error),
      sv_log_http_status_field(error),
      sv_log_error_field("error", error),
  };
  if (error == nullptr) {
    sv_log_info(logger_of(worker), event, fields, 5);
  } else {
    sv_log_warn(logger_of(worker), event, fields, 8);
  }
}

void sv_consumer_log_worker(const ConsumerWorker *worker, const char *event, int level,
                            int32_t attempt, const int64_t *restart_in_ms,
                            const sv_error *error) noexcept {
  ember_field fields[6] = {
      sv_log_str_field("consumer", worker->name),
      sv_log_str_field("queue", worker->queue),
      sv_log_bool_field("stateful", worker->with_state),
      sv_log_i64_field("attempt", attempt),
  };
  size_t count = 4;
  if (restart_in_ms != nullptr) fields[count++] = sv_log_i64_field("restart_in_ms", *restart_in_ms);
  fields[count++] = sv_log_error_field("error", error);
  if (level >= 4) {
    sv_log_error(logger_of(worker), event, fields, count);
  } else {
    sv_log_warn(logger_of(worker), event, fields, count);
  }
}

void sv_consumer_log_delivery(const DeliveryContext *context, const char *event,
                              bool with_result) noexcept {
  const ConsumerWorker *worker = context->worker;
  const DeliveryMeta &meta = context->meta;
  if (!with_result) {
    const ember_field fields[] = {
        sv_log_str_field("consumer", worker->name),
        sv_log_str_field("queue", meta.queue != nullptr ? meta.queue : worker->queue),
        sv_log_str_field("namespace", meta.namespace_name),
        sv_log_str_field("message_id", meta.message_id),
        sv_log_i64_field("attempts", meta.attempts),
        sv_log_i64_field("failure_attempts", meta.failure_attempts),
        sv_log_bool_field("with_state", worker->with_state),
        sv_log_str_field("cid", meta.correlation_id),
    };
    sv_log_debug(logger_of(worker), event, fields, sizeof fields / sizeof fields[0]);
    return;
  }
  const bool terminal =
      context->terminal == kTerminalSettled || context->terminal == kTerminalFailed;
  const ember_field fields[] = {
      sv_log_str_field("consumer", worker->name),
      sv_log_str_field("queue", meta.queue != nullptr ? meta.queue : worker->queue),
      sv_log_str_field("namespace", meta.namespace_name),
      sv_log_str_field("message_id", meta.message_id),
      sv_log_bool_field("terminal", terminal ? 1 : 0),
      sv_log_i64_field("handler_rc", context->handler_rc),
      sv_log_str_field("cid", meta.correlation_id),
  };
  sv_log_debug(logger_of(worker), event, fields, sizeof fields / sizeof fields[0]);
}
