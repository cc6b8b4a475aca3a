// The dequeue and subscribe streams: one POST whose answer is a multipart/related stream of a
// "meta" part (JSON) and a "payload" part per message. Meta parts become message records;
// payload bytes go to the caller's handler as they arrive. Refusals "waiting" and
// "cas_mismatch" are retried with a growing pause, "node_passive" moves to the next endpoint,
// and the client's cancel check ends the call quietly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brindle_io.h"
#include "decoder_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

struct DequeueBody {
  char *namespace_name;
  char *queue;
  char *owner;
  int64_t visibility_timeout_seconds;
  int64_t wait_seconds;
  int64_t page_size;
  char *start_after;
};

constexpr uint32_t kRequired = BRINDLE_FIELD_REQUIRED;
const brindle_field body_fields[] = {
    BRINDLE_DECL_STRING(DequeueBody, namespace_name, "namespace", kRequired),
    BRINDLE_DECL_STRING(DequeueBody, queue, "queue", kRequired),
    BRINDLE_DECL_STRING(DequeueBody, owner, "owner", kRequired),
    BRINDLE_DECL_I64(DequeueBody, visibility_timeout_seconds, "visibility_timeout_seconds",
                     kRequired),
    BRINDLE_DECL_I64(DequeueBody, wait_seconds, "wait_seconds", kRequired),
    BRINDLE_DECL_I64(DequeueBody, page_size, "page_size", kRequired),
    BRINDLE_DECL_STRING(DequeueBody, start_after, "start_after", kRequired),
};
// The same members without start_after, for requests that have none.
const brindle_map body_map = BRINDLE_MAP("sv_engine_dequeue_request", DequeueBody, body_fields);
const brindle_map body_map_without_cursor = {"sv_engine_dequeue_request", sizeof(DequeueBody),
                                             body_fields, 6};

// Limits of the multipart framing of every stream.
brindle_multipart_options stream_multipart_options() {
  brindle_multipart_options options = brindle_default_multipart_options();
  options.max_boundary_bytes = 200;
  options.max_line_bytes = 65536;
  options.max_headers = 64;
  options.max_buffered_bytes = 1048576;
  return options;
}

// One attempt's state.
struct Stream {
  const sv_engine_client *client;
  const sv_engine_message_handler *handler;
  void *context;
  sv_engine_error *error;
  sv_engine_queue_transfer transfer{};
  sv_engine_buffer meta{};
  brindle_multipart *parser = nullptr;
  sv_engine_dequeue_response message{};
  uint64_t meta_limit = 0;
  bool message_parsed = false;
  bool in_meta = false;
  bool delivering = false;
  char curl_error[CURL_ERROR_SIZE] = {};

  ~Stream() {
    brindle_multipart_close(parser);
    sv_engine_buffer_cleanup(&meta);
    sv_engine_dequeue_response_cleanup(&message);
    sv_engine_queue_transfer_reset(&transfer);
  }

  int fail(int code, const char *message_text) {
    transfer.aborted = 1;
    if (error->code != 0) return error->code;
    return sv_engine_set_client_error(error, code, message_text);
  }
  // A handler returned 0: its own error stands, else ours.
  int handler_failed(const char *message_text) { return fail(SV_ERR_TRANSPORT, message_text); }
};

bool is_named(const char *name, const char *expected) {
  return name != nullptr && std::strcmp(name, expected) == 0;
}

int begin_part(void *user, const brindle_multipart_part *part, brindle_error *) {
  auto *stream = static_cast<Stream *>(user);
  if (part->name == nullptr) return stream->fail(SV_ERR_PROTOCOL, "multipart part missing name");
  if (is_named(part->name, "meta")) {
    stream->meta.length = 0;
    if (stream->meta.data != nullptr) stream->meta.data[0] = '\0';
    stream->in_meta = true;
    return 0;
  }
  if (!is_named(part->name, "payload")) {
    return stream->fail(SV_ERR_PROTOCOL, "unexpected multipart part name");
  }
  if (!stream->message_parsed) {
    return stream->fail(SV_ERR_PROTOCOL, "subscribe payload part arrived before meta");
  }
  sv_engine_dequeue_response &message = stream->message;
  if (message.payload_content_type == nullptr && part->content_type != nullptr &&
      !sv_engine_replace_string(&message.payload_content_type, part->content_type)) {
    return stream->fail(SV_ERR_NOMEM, "failed to allocate payload content type");
  }
  if (part->content_length < 0) {
    return stream->fail(SV_ERR_PROTOCOL, "subscribe payload part missing Content-Length");
  }
  const sv_engine_message_handler *handler = stream->handler;
  if (handler->begin != nullptr && handler->begin(stream->context, &message, stream->error) == 0) {
    return stream->handler_failed("subscribe begin callback failed");
  }
  stream->delivering = true;
  return 0;
}

int part_data(void *user, const char *bytes, size_t length, brindle_error *) {
  auto *stream = static_cast<Stream *>(user);
  if (stream->in_meta) {
    const size_t limit = static_cast<size_t>(stream->meta_limit);
    if (length >= limit || stream->meta.length + length + 1 > limit) {
      return stream->fail(SV_ERR_PROTOCOL, "subscribe meta part exceeds configured byte limit");
    }
    if (sv_engine_buffer_append(&stream->meta, bytes, length) != SV_OK) {
      return stream->fail(SV_ERR_NOMEM, "failed to append subscribe meta body");
    }
    return 0;
  }
  if (stream->delivering && length > 0 &&
      stream->handler->chunk(stream->context, bytes, length, stream->error) == 0) {
    return stream->handler_failed("subscribe payload callback failed");
  }
  return 0;
}

int end_part(void *user, const brindle_multipart_part *, brindle_error *) {
  auto *stream = static_cast<Stream *>(user);
  if (stream->in_meta) {
    stream->in_meta = false;
    stream->message_parsed = false;
    const char *json = stream->meta.data != nullptr ? stream->meta.data : "";
    const int status = sv_engine_parse_subscribe_meta_json(json, stream->transfer.correlation_id,
                                                           &stream->message, stream->error);
    if (status != SV_OK) {
      stream->transfer.aborted = 1;
      return 1;
    }
    stream->message_parsed = true;
    return 0;
  }
  if (!stream->delivering) return 0;
  const sv_engine_message_handler *handler = stream->handler;
  if (handler->end != nullptr &&
      handler->end(stream->context, &stream->message, stream->error) == 0) {
    return stream->handler_failed("subscribe end callback failed");
  }
  sv_engine_dequeue_response_cleanup(&stream->message);
  stream->message_parsed = false;
  stream->delivering = false;
  return 0;
}

const brindle_multipart_callbacks part_callbacks = {begin_part, part_data, end_part};

// The parser is opened with the response's Content-Type, which carries the boundary.
bool open_parser(Stream *stream) {
  if (stream->transfer.content_type == nullptr) {
    stream->fail(SV_ERR_PROTOCOL, "subscribe response missing Content-Type");
    return false;
  }
  const brindle_multipart_options options = stream_multipart_options();
  brindle_error open_error;
  brindle_error_init(&open_error);
  stream->parser = brindle_multipart_open(stream->transfer.content_type, &options, &open_error);
  if (stream->parser == nullptr) {
    // A Content-Type without a usable boundary is the server's fault, not the caller's.
    const int code = open_error.code == BRINDLE_ALLOCATION_FAILED ? SV_ERR_NOMEM : SV_ERR_PROTOCOL;
    stream->fail(code, code == SV_ERR_NOMEM
                           ? "failed to open multipart parser"
                           : "subscribe response is not a multipart/related stream");
    return false;
  }
  return true;
}

bool success_status(long status) {
  return status >= 200 && status <= 299;
}

size_t write_callback(char *bytes, size_t size, size_t count, void *user) {
  auto *stream = static_cast<Stream *>(user);
  const size_t length = size * count;
  if (!success_status(stream->transfer.status)) {
    return sv_engine_queue_transfer_error_body(&stream->transfer, bytes, length, stream->error,
                                               "failed to buffer subscribe error body") == SV_OK
               ? length
               : 0;
  }
  if (stream->parser == nullptr && !open_parser(stream)) return 0;
  brindle_error push_error;
  brindle_error_init(&push_error);
  const brindle_status pushed =
      brindle_multipart_push(stream->parser, bytes, length, &part_callbacks, stream, &push_error);
  if (pushed != BRINDLE_OK) {
    stream->transfer.aborted = 1;
    if (stream->error->code == 0) {
      sv_engine_brindle_error_from_status(stream->error, pushed, &push_error,
                                          "failed to parse subscribe stream");
    }
    return 0;
  }
  return length;
}

size_t header_callback(char *line, size_t size, size_t count, void *user) {
  auto *stream = static_cast<Stream *>(user);
  const size_t length = size * count;
  if (!sv_engine_queue_transfer_header(&stream->transfer, line, length, true)) {
    stream->fail(SV_ERR_NOMEM, "failed to copy subscribe response header");
    return 0;
  }
  return length;
}

int finish_stream(Stream *stream) {
  if (stream->parser == nullptr && !open_parser(stream)) return stream->error->code;
  brindle_error finish_error;
  brindle_error_init(&finish_error);
  const brindle_status finished =
      brindle_multipart_finish_with(stream->parser, &part_callbacks, stream, &finish_error);
  if (finished != BRINDLE_OK) {
    if (stream->error->code != 0) return stream->error->code;
    // The connection ended before the closing delimiter: the stream was cut short, which
    // another attempt mends. A body that is wrong in itself already failed while it was pushed.
    if (finished == BRINDLE_INVALID_JSON) {
      return sv_engine_set_transport_error(stream->error,
                                           "subscribe stream ended before its closing delimiter");
    }
    return sv_engine_brindle_error_from_status(stream->error, finished, &finish_error,
                                               "failed to finish subscribe stream");
  }
  // A meta part promises its payload; a stream that ends between them lost a delivery.
  if (stream->message_parsed) {
    return sv_engine_set_protocol_error(stream->error,
                                        "subscribe stream ended after a meta part without payload");
  }
  return SV_OK;
}

enum class Next { kReturn, kRetry, kNextEndpoint };

struct Call {
  const sv_engine_client *client;
  const char *path;
  const sv_engine_message_handler *handler;
  void *context;
  sv_engine_error *error;
  const brindle_map *map;
  const DequeueBody *body;
  curl_slist *headers;
};

void log_error(const Call &call, size_t index, const char *text) {
  const ember_field field = sv_log_str_field("error", text);
  sv_engine_queue_log_attempt(call.client, "client.http.error", call.path, index, &field, 1);
}

// A stop asked for while the call failed is not a failure.
Next cancelled_or(const Call &call, size_t index, int *status) {
  if (sv_engine_queue_cancelled(call.client)) {
    sv_engine_error_reset(call.error);
    *status = SV_OK;
    return Next::kReturn;
  }
  const char *message =
      call.error->message != nullptr ? call.error->message : "stream callback failed";
  log_error(call, index, message);
  *status = call.error->code != 0
                ? call.error->code
                : sv_engine_set_transport_error(call.error, "stream callback failed");
  return Next::kReturn;
}

Next classify_refusal(const Call &call, size_t index, Stream &stream, int *status,
                      int64_t *retry_after) {
  log_error(call, index, "server returned error status");
  const char *body =
      stream.transfer.error_body.data != nullptr ? stream.transfer.error_body.data : "";
  *status = sv_engine_set_server_error_from_json(call.error, stream.transfer.status,
                                                 stream.transfer.correlation_id, body);
  const char *code = call.error->server_error_code;
  if (*status != SV_ERR_SERVER || code == nullptr) return Next::kReturn;
  if (std::strcmp(code, "waiting") == 0 || std::strcmp(code, "cas_mismatch") == 0) {
    *retry_after = call.error->retry_after_seconds;  // the refusal stays until the retry
    return Next::kRetry;
  }
  if (std::strcmp(code, "node_passive") == 0) {
    sv_engine_error_reset(call.error);
    return Next::kNextEndpoint;
  }
  return Next::kReturn;
}

Next run_attempt(const Call &call, size_t index, int *status, int64_t *retry_after) {
  const sv_engine_client *client = call.client;
  // A small body known in advance goes out with the headers (no chunks, no 100-continue).
  size_t body_length = 0;
  char *body_json = brindle_serialize_alloc(call.map, call.body, &body_length, nullptr, nullptr);
  if (body_json == nullptr) {
    *status =
        sv_engine_set_client_error(call.error, SV_ERR_NOMEM, "failed to prepare subscribe body");
    return Next::kReturn;
  }
  Stream stream;
  stream.client = client;
  stream.handler = call.handler;
  stream.context = call.context;
  stream.error = call.error;
  stream.meta_limit = client->response_limit_bytes != 0 ? client->response_limit_bytes
                                                        : SV_ENGINE_DEFAULT_RESPONSE_LIMIT;
  sv_engine_buffer url{};
  if (sv_engine_build_url(client, client->endpoints[index], call.path, &url) != SV_OK) {
    std::free(body_json);
    *status =
        sv_engine_set_client_error(call.error, SV_ERR_NOMEM, "failed to allocate subscribe URL");
    return Next::kReturn;
  }
  CURL *curl = sv_engine_transfer_handle(client, sv_engine_curl_ssl_ctx_stream);
  if (curl == nullptr) {
    sv_engine_buffer_cleanup(&url);
    std::free(body_json);
    *status = sv_engine_set_transport_error(call.error, "failed to initialize curl for subscribe");
    return Next::kReturn;
  }
  sv_engine_queue_log_attempt(client, "client.http.attempt", call.path, index, nullptr, 0);
  sv_engine_queue_stream_options(curl, url.data, call.headers, body_json, body_length,
                                 stream.curl_error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &stream);
  sv_engine_transfer_on_header(curl, header_callback, &stream);
  const int64_t wait = call.body->wait_seconds;
  const CURLcode code = sv_engine_queue_perform(
      curl, client, wait > 0 ? (wait < 86400 ? wait : 86400) * 1000 : 0, stream.curl_error);
  sv_engine_transfer_release(client, curl);
  sv_engine_buffer_cleanup(&url);
  std::free(body_json);

  if (code == CURLE_ABORTED_BY_CALLBACK && sv_engine_queue_cancelled(client)) {
    sv_engine_error_reset(call.error);
    *status = SV_OK;
    return Next::kReturn;
  }
  if (stream.transfer.aborted != 0 && (code == CURLE_WRITE_ERROR || code == CURLE_OK)) {
    return cancelled_or(call, index, status);
  }
  if (code != CURLE_OK) {
    const char *text = stream.curl_error[0] != '\0' ? stream.curl_error : curl_easy_strerror(code);
    log_error(call, index, text);
    // Nothing was answered (a refused or failed connect, a reset before the status line), so
    // nothing was delivered: the next endpoint may serve the stream.
    if (stream.transfer.status == 0 && index + 1 < client->endpoint_count) {
      return Next::kNextEndpoint;
    }
    *status = sv_engine_set_curl_transport_error(call.error, code, text);
    return Next::kReturn;
  }
  if (!success_status(stream.transfer.status)) {
    return classify_refusal(call, index, stream, status, retry_after);
  }
  *status = finish_stream(&stream);
  if (*status != SV_OK) return cancelled_or(call, index, status);
  const ember_field extra[] = {
      sv_log_i64_field("status", stream.transfer.status),
      sv_log_str_field("cid", stream.transfer.correlation_id),
  };
  sv_engine_queue_log_attempt(client, "client.http.success", call.path, index, extra, 2);
  return Next::kReturn;
}

}  // namespace

int sv_engine_queue_run_stream(const sv_engine_client *client,
                               const sv_engine_dequeue_request *request, const char *path,
                               const sv_engine_message_handler *handler, void *context,
                               sv_engine_error *error) noexcept {
  sv_engine_error_reset(error);
  DequeueBody body{};
  body.namespace_name =
      const_cast<char *>(sv_engine_effective_namespace(client, request->namespace_name));
  body.queue = const_cast<char *>(request->queue);
  body.owner = const_cast<char *>(request->owner);
  body.visibility_timeout_seconds = request->visibility_timeout_seconds;
  body.wait_seconds = request->wait_seconds < 0 ? -1 : request->wait_seconds;
  body.page_size = request->page_size < 2 ? 1 : request->page_size;
  const bool has_cursor = request->start_after != nullptr && request->start_after[0] != '\0';
  body.start_after = const_cast<char *>(request->start_after);
  curl_slist *headers = sv_engine_queue_stream_headers("multipart/related");
  if (headers == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate subscribe headers");
  }
  const Call call{client,  path,   handler,
                  context, error,  has_cursor ? &body_map : &body_map_without_cursor,
                  &body,   headers};
  int64_t delay_ns = SV_ENGINE_QUEUE_FIRST_RETRY_NS;
  // A stream that waits a finite time is also a finite call: refusals are retried until the
  // wait and the client's timeout have passed, then the last refusal is the answer. A stream
  // without a wait retries until it is stopped.
  const int64_t timeout_ms = client->timeout_ms > 0 ? client->timeout_ms : 30000;
  const int64_t deadline_ns =
      request->wait_seconds < 0
          ? INT64_MAX
          : sv_engine_queue_now_ns() +
                (request->wait_seconds < 86400 ? request->wait_seconds : 86400) * 1000000000 +
                timeout_ms * 1000000;
  int status = SV_OK;
  size_t index = 0;
  for (;;) {
    if (index >= client->endpoint_count) {
      status = sv_engine_set_transport_error(error, "all endpoints rejected the subscribe request");
      break;
    }
    int64_t retry_after = 0;
    const Next next = run_attempt(call, index, &status, &retry_after);
    if (next == Next::kReturn) break;
    if (next == Next::kNextEndpoint) {
      ++index;
      continue;
    }
    // A refusing server is not hammered, and a stop takes effect between attempts.
    const RetryPause pause =
        sv_engine_queue_retry_pause(client, retry_after, &delay_ns, deadline_ns);
    if (pause == RetryPause::kExpired) break;  // status and error hold the last refusal
    sv_engine_error_reset(error);
    if (pause == RetryPause::kCancelled) {
      status = SV_OK;
      break;
    }
    index = 0;
  }
  curl_slist_free_all(headers);
  return status;
}

namespace {

int checked_stream(const sv_engine_client *client, const sv_engine_dequeue_request *request,
                   const char *path, const sv_engine_message_handler *handler, void *context,
                   sv_engine_error *error) {
  if (client == nullptr || request == nullptr || handler == nullptr || handler->chunk == nullptr ||
      error == nullptr || request->queue == nullptr || request->queue[0] == '\0' ||
      request->owner == nullptr || request->owner[0] == '\0') {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "subscribe requires client, request, chunk handler, error, queue, and owner");
  }
  return sv_engine_queue_run_stream(client, request, path, handler, context, error);
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_subscribe(const sv_engine_client *client,
                                      const sv_engine_dequeue_request *request,
                                      const sv_engine_message_handler *handler, void *context,
                                      sv_engine_error *error) noexcept {
  return checked_stream(client, request, "/v1/queue/subscribe", handler, context, error);
}

SV_API int sv_engine_client_subscribe_with_state(const sv_engine_client *client,
                                                 const sv_engine_dequeue_request *request,
                                                 const sv_engine_message_handler *handler,
                                                 void *context, sv_engine_error *error) noexcept {
  return checked_stream(client, request, "/v1/queue/subscribeWithState", handler, context, error);
}

SV_API int sv_engine_client_dequeue_into(const sv_engine_client *client,
                                         const sv_engine_dequeue_request *request,
                                         const sv_engine_message_handler *handler, void *context,
                                         sv_engine_error *error) noexcept {
  return checked_stream(client, request, "/v1/queue/dequeue", handler, context, error);
}

SV_API int sv_engine_client_dequeue_with_state_into(const sv_engine_client *client,
                                                    const sv_engine_dequeue_request *request,
                                                    const sv_engine_message_handler *handler,
                                                    void *context,
                                                    sv_engine_error *error) noexcept {
  return checked_stream(client, request, "/v1/queue/dequeueWithState", handler, context, error);
}

}  // extern "C"

struct sv_engine_queue_stream_decoder {
  Stream stream;
};

sv_engine_queue_stream_decoder *sv_engine_queue_stream_decoder_open(
    const sv_engine_client *client, const sv_engine_message_handler *handler, void *context,
    sv_engine_error *error) noexcept {
  auto *decoder = new (std::nothrow) sv_engine_queue_stream_decoder;
  if (decoder == nullptr) return nullptr;
  Stream &stream = decoder->stream;
  stream.client = client;
  stream.handler = handler;
  stream.context = context;
  stream.error = error;
  stream.meta_limit = client->response_limit_bytes != 0 ? client->response_limit_bytes
                                                        : SV_ENGINE_DEFAULT_RESPONSE_LIMIT;
  return decoder;
}

size_t sv_engine_queue_stream_decoder_header(sv_engine_queue_stream_decoder *decoder, char *line,
                                             size_t length) noexcept {
  return header_callback(line, 1, length, &decoder->stream);
}

size_t sv_engine_queue_stream_decoder_body(sv_engine_queue_stream_decoder *decoder, char *bytes,
                                           size_t length) noexcept {
  return write_callback(bytes, 1, length, &decoder->stream);
}

int sv_engine_queue_stream_decoder_finish(sv_engine_queue_stream_decoder *decoder) noexcept {
  Stream &stream = decoder->stream;
  const int verdict = sv_engine_queue_transfer_verdict(&stream.transfer, stream.error);
  if (verdict != SV_OK) return verdict;
  return finish_stream(&stream);
}

void sv_engine_queue_stream_decoder_close(sv_engine_queue_stream_decoder *decoder) noexcept {
  delete decoder;
}
