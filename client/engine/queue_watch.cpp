// The queue watch: one POST whose answer is a text/event-stream; every event's data is a JSON
// document that becomes a watch event for the caller's handler.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "brindle_io.h"
#include "decoder_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

constexpr const char *kPath = "/v1/queue/watch";

struct WatchBody {
  char *namespace_name;
  char *queue;
};
const brindle_field body_fields[] = {
    BRINDLE_DECL_STRING(WatchBody, namespace_name, "namespace", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(WatchBody, queue, "queue", BRINDLE_FIELD_REQUIRED),
};
const brindle_map body_map = BRINDLE_MAP("sv_engine_watch_queue_request", WatchBody, body_fields);

struct EventWire {
  char *namespace_name;
  char *queue;
  int32_t available;
  char *head_message_id;
  int64_t changed_at_unix;
  char *correlation_id;
};
const brindle_field event_fields[] = {
    BRINDLE_DECL_STRING(EventWire, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(EventWire, queue, "queue", 0),
    BRINDLE_DECL_BOOL(EventWire, available, "available", 0),
    BRINDLE_DECL_STRING(EventWire, head_message_id, "head_message_id", 0),
    BRINDLE_DECL_I64(EventWire, changed_at_unix, "changed_at_unix", 0),
    BRINDLE_DECL_STRING(EventWire, correlation_id, "correlation_id", 0),
};
const brindle_map event_map = BRINDLE_MAP("sv_engine_watch_event_json", EventWire, event_fields);

struct Watch {
  sv_engine_queue_watch_handler handler;
  void *context;
  sv_engine_error *error;
  sv_engine_queue_transfer transfer{};
  brindle_sse *parser = nullptr;
  EventWire wire{};
  bool wire_used = false;
  char curl_error[CURL_ERROR_SIZE] = {};

  ~Watch() {
    brindle_sse_close(parser);
    if (wire_used) brindle_cleanup(&event_map, &wire);
    sv_engine_queue_transfer_reset(&transfer);
  }
};

int deliver_event(void *user, const brindle_sse_event *, void *destination, brindle_error *) {
  auto *watch = static_cast<Watch *>(user);
  const auto *wire = static_cast<const EventWire *>(destination);
  sv_engine_queue_watch_event event{};
  int status = SV_OK;
  if (!sv_engine_replace_string(&event.namespace_name, wire->namespace_name) ||
      !sv_engine_replace_string(&event.queue, wire->queue) ||
      !sv_engine_replace_string(&event.head_message_id, wire->head_message_id)) {
    status =
        sv_engine_set_client_error(watch->error, SV_ERR_NOMEM, "failed to copy queue watch event");
  }
  event.available = wire->available != 0 ? 1 : 0;
  event.changed_at_unix = wire->changed_at_unix;
  const char *cid =
      wire->correlation_id != nullptr ? wire->correlation_id : watch->transfer.correlation_id;
  if (status == SV_OK && !sv_engine_replace_string(&event.correlation_id, cid)) {
    status = sv_engine_set_client_error(watch->error, SV_ERR_NOMEM,
                                        "failed to allocate queue watch correlation_id");
  }
  if (status == SV_OK && watch->handler(watch->context, &event, watch->error) == 0) {
    if (watch->error->code == 0) {
      sv_engine_set_transport_error(watch->error, "queue watch handler failed");
    }
    status = watch->error->code;
  }
  sv_engine_queue_watch_event_cleanup(&event);
  if (status == SV_OK) return 0;
  watch->transfer.aborted = 1;
  return BRINDLE_CALLBACK_FAILED;
}

bool success_status(long status) {
  return status >= 200 && status <= 299;
}

// Only an event stream is read as events: any other answer (a multipart body, a JSON document)
// would otherwise pass as a watch that saw nothing.
bool is_event_stream(const char *content_type) {
  if (content_type == nullptr) return false;
  while (*content_type == ' ' || *content_type == '\t')
    ++content_type;
  const char kType[] = "text/event-stream";
  const size_t length = sizeof(kType) - 1;
  if (strncasecmp(content_type, kType, length) != 0) return false;
  const char next = content_type[length];
  return next == '\0' || next == ';' || next == ' ' || next == '\t';
}

bool refuse_non_event_stream(Watch *watch) {
  if (is_event_stream(watch->transfer.content_type)) return false;
  watch->transfer.aborted = 1;
  sv_engine_set_protocol_error(watch->error, "queue watch response is not an event stream");
  return true;
}

size_t write_callback(char *bytes, size_t size, size_t count, void *user) {
  auto *watch = static_cast<Watch *>(user);
  const size_t length = size * count;
  if (!success_status(watch->transfer.status)) {
    return sv_engine_queue_transfer_error_body(&watch->transfer, bytes, length, watch->error,
                                               "failed to buffer watch_queue error body") == SV_OK
               ? length
               : 0;
  }
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  if (watch->parser == nullptr && refuse_non_event_stream(watch)) return 0;
  if (watch->parser == nullptr) {
    const brindle_sse_options options = brindle_default_sse_options();
    watch->parser = brindle_sse_open(&options, &parse_error);
    if (watch->parser == nullptr) {
      watch->transfer.aborted = 1;
      sv_engine_brindle_error_from_status(watch->error, parse_error.code, &parse_error,
                                          "failed to open SSE parser");
      return 0;
    }
  }
  watch->wire_used = true;
  const brindle_status pushed =
      brindle_sse_push_json(watch->parser, &event_map, &watch->wire, bytes, length, nullptr,
                            deliver_event, watch, &parse_error);
  if (pushed != BRINDLE_OK && pushed != BRINDLE_TRUNCATED) {
    watch->transfer.aborted = 1;
    if (watch->error->code == 0) {
      sv_engine_brindle_error_from_status(watch->error, pushed, &parse_error,
                                          "failed to parse queue watch event");
    }
    return 0;
  }
  return length;
}

size_t header_callback(char *line, size_t size, size_t count, void *user) {
  auto *watch = static_cast<Watch *>(user);
  const size_t length = size * count;
  if (!sv_engine_queue_transfer_header(&watch->transfer, line, length, true)) {
    watch->transfer.aborted = 1;
    sv_engine_set_client_error(watch->error, SV_ERR_NOMEM,
                               "failed to copy watch_queue response header");
    return 0;
  }
  return length;
}

// A last event without its blank line is still delivered.
int finish_watch(Watch *watch) {
  if (watch->parser == nullptr) {
    return refuse_non_event_stream(watch) ? watch->error->code : SV_OK;
  }
  brindle_error finish_error;
  brindle_error_init(&finish_error);
  const brindle_status finished = brindle_sse_finish_json(
      watch->parser, &event_map, &watch->wire, nullptr, deliver_event, watch, &finish_error);
  if (finished == BRINDLE_OK || finished == BRINDLE_TRUNCATED) return SV_OK;
  if (watch->error->code != 0) return watch->error->code;
  return sv_engine_brindle_error_from_status(watch->error, finished, &finish_error,
                                             "failed to finish queue watch event");
}

enum class Next { kReturn, kNextEndpoint };

void log_error(const sv_engine_client *client, size_t index, const char *text) {
  const ember_field field = sv_log_str_field("error", text);
  sv_engine_queue_log_attempt(client, "client.http.error", kPath, index, &field, 1);
}

Next run_attempt(const sv_engine_client *client, const WatchBody &body, curl_slist *headers,
                 size_t index, sv_engine_queue_watch_handler handler, void *context,
                 sv_engine_error *error, int *status) {
  // A small body known in advance goes out with the headers (no chunks, no 100-continue).
  size_t body_length = 0;
  char *body_json = brindle_serialize_alloc(&body_map, &body, &body_length, nullptr, nullptr);
  if (body_json == nullptr) {
    *status = sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to prepare watch_queue body");
    return Next::kReturn;
  }
  Watch watch;
  watch.handler = handler;
  watch.context = context;
  watch.error = error;
  sv_engine_buffer url{};
  if (sv_engine_build_url(client, client->endpoints[index], kPath, &url) != SV_OK) {
    std::free(body_json);
    *status = sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate watch_queue URL");
    return Next::kReturn;
  }
  CURL *curl = sv_engine_transfer_handle(client, sv_engine_curl_ssl_ctx_stream);
  if (curl == nullptr) {
    sv_engine_buffer_cleanup(&url);
    std::free(body_json);
    *status = sv_engine_set_transport_error(error, "failed to initialize curl for watch_queue");
    return Next::kReturn;
  }
  sv_engine_queue_log_attempt(client, "client.http.attempt", kPath, index, nullptr, 0);
  sv_engine_queue_stream_options(curl, url.data, headers, body_json, body_length, watch.curl_error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &watch);
  sv_engine_transfer_on_header(curl, header_callback, &watch);
  // The client's cancel check ends a watch as it ends a subscribe stream, also a silent one.
  const CURLcode code = sv_engine_queue_perform(curl, client, 0, watch.curl_error);
  sv_engine_transfer_release(client, curl);
  sv_engine_buffer_cleanup(&url);
  std::free(body_json);

  if (code == CURLE_ABORTED_BY_CALLBACK && sv_engine_queue_cancelled(client)) {
    sv_engine_error_reset(error);  // a stop is not a failure
    *status = SV_OK;
    return Next::kReturn;
  }
  if (watch.transfer.aborted != 0 && (code == CURLE_WRITE_ERROR || code == CURLE_OK)) {
    log_error(client, index, error->message != nullptr ? error->message : "stream callback failed");
    *status = error->code != 0 ? error->code
                               : sv_engine_set_transport_error(error, "stream callback failed");
    return Next::kReturn;
  }
  if (code != CURLE_OK) {
    const char *text = watch.curl_error[0] != '\0' ? watch.curl_error : curl_easy_strerror(code);
    log_error(client, index, text);
    // Nothing was answered, so nothing was seen: the next endpoint may serve the watch.
    if (watch.transfer.status == 0 && index + 1 < client->endpoint_count) {
      return Next::kNextEndpoint;
    }
    *status = sv_engine_set_curl_transport_error(error, code, text);
    return Next::kReturn;
  }
  if (success_status(watch.transfer.status)) {
    *status = finish_watch(&watch);
    if (*status != SV_OK) {
      log_error(client, index,
                error->message != nullptr ? error->message : "failed to finish queue watch stream");
      return Next::kReturn;
    }
    const ember_field extra[] = {
        sv_log_i64_field("status", watch.transfer.status),
        sv_log_str_field("cid", watch.transfer.correlation_id),
    };
    sv_engine_queue_log_attempt(client, "client.http.success", kPath, index, extra, 2);
    return Next::kReturn;
  }
  log_error(client, index, "server returned error status");
  const char *text =
      watch.transfer.error_body.data != nullptr ? watch.transfer.error_body.data : "";
  *status = sv_engine_set_server_error_from_json(error, watch.transfer.status,
                                                 watch.transfer.correlation_id, text);
  if (*status == SV_ERR_SERVER && error->server_error_code != nullptr &&
      std::strcmp(error->server_error_code, "node_passive") == 0) {
    sv_engine_error_reset(error);
    return Next::kNextEndpoint;
  }
  return Next::kReturn;
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_watch_queue(const sv_engine_client *client,
                                        const sv_engine_watch_queue_request *request,
                                        sv_engine_queue_watch_handler handler, void *context,
                                        sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || handler == nullptr || error == nullptr ||
      request->queue == nullptr || request->queue[0] == '\0') {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "watch_queue requires client, request, handler, error, and queue");
  }
  sv_engine_error_reset(error);
  curl_slist *headers = sv_engine_queue_stream_headers("text/event-stream");
  if (headers == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate watch_queue headers");
  }
  WatchBody body{const_cast<char *>(sv_engine_effective_namespace(client, request->namespace_name)),
                 const_cast<char *>(request->queue)};
  int status = SV_OK;
  bool returned = client->endpoint_count == 0;
  for (size_t index = 0; index < client->endpoint_count && !returned; ++index) {
    returned = run_attempt(client, body, headers, index, handler, context, error, &status) ==
               Next::kReturn;
  }
  curl_slist_free_all(headers);
  if (!returned) {
    // Every endpoint refused as passive: the watch never ran, which is not a success.
    return sv_engine_set_transport_error(error, "all endpoints rejected the watch_queue request");
  }
  return status;
}

}  // extern "C"

struct sv_engine_queue_watch_decoder {
  Watch watch;
};

sv_engine_queue_watch_decoder *sv_engine_queue_watch_decoder_open(
    sv_engine_queue_watch_handler handler, void *context, sv_engine_error *error) noexcept {
  auto *decoder = new (std::nothrow) sv_engine_queue_watch_decoder;
  if (decoder == nullptr) return nullptr;
  decoder->watch.handler = handler;
  decoder->watch.context = context;
  decoder->watch.error = error;
  return decoder;
}

size_t sv_engine_queue_watch_decoder_header(sv_engine_queue_watch_decoder *decoder, char *line,
                                            size_t length) noexcept {
  return header_callback(line, 1, length, &decoder->watch);
}

size_t sv_engine_queue_watch_decoder_body(sv_engine_queue_watch_decoder *decoder, char *bytes,
                                          size_t length) noexcept {
  return write_callback(bytes, 1, length, &decoder->watch);
}

int sv_engine_queue_watch_decoder_finish(sv_engine_queue_watch_decoder *decoder) noexcept {
  Watch &watch = decoder->watch;
  const int verdict = sv_engine_queue_transfer_verdict(&watch.transfer, watch.error);
  if (verdict != SV_OK) return verdict;
  return finish_watch(&watch);
}

void sv_engine_queue_watch_decoder_close(sv_engine_queue_watch_decoder *decoder) noexcept {
  delete decoder;
}
