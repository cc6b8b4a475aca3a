// Internals of the queue operations, streams and watch: the per-call request body, the shared
// pieces of a streaming transfer (headers, status line, error body) and the retry pause.
#ifndef STAVOC_ENGINE_QUEUE_INTERNAL_H
#define STAVOC_ENGINE_QUEUE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "engine_internal.h"

// A request body map assembled per call: only the members that are to be sent are added, in
// wire order, so that absent optional members never reach the JSON.
template <size_t Capacity>
struct sv_engine_queue_body_map {
  brindle_field fields[Capacity];
  size_t count = 0;

  void add(const brindle_field &field) noexcept {
    if (count < Capacity) fields[count++] = field;
  }
  brindle_map map(const char *name, size_t record_size) const noexcept {
    return brindle_map{name, record_size, fields, count};
  }
};

// The response headers a stream keeps, the HTTP status and the buffered error body.
struct sv_engine_queue_transfer {
  long status = 0;
  char *correlation_id = nullptr;
  char *content_type = nullptr;
  sv_engine_buffer error_body{};
  int32_t aborted = 0;  // a callback refused the transfer; the reason is in the call's error
};

// Frees what the transfer holds and zeroes it.
void sv_engine_queue_transfer_reset(sv_engine_queue_transfer *transfer) noexcept;

// Handles one response header line: the status line and, when keep_content_type is set,
// Content-Type; always X-Correlation-Id. Returns false when a copy failed.
bool sv_engine_queue_transfer_header(sv_engine_queue_transfer *transfer, const char *line,
                                     size_t length, bool keep_content_type) noexcept;

// Appends to the error body within the error body limit (8192 bytes, terminator included).
// Returns SV_OK; past the limit, SV_ERR_SERVER with the status and the first bytes as the detail;
// or SV_ERR_NOMEM with the what_failed text; each failure stored in error, with
// transfer->aborted set.
int sv_engine_queue_transfer_error_body(sv_engine_queue_transfer *transfer, const char *bytes,
                                        size_t length, sv_engine_error *error,
                                        const char *what_failed) noexcept;

// The options every stream sets on its handle (sv_engine_transfer_handle set the connection's):
// URL, headers, POST with the body (body_length bytes, which must outlive the transfer), no
// redirects, the error buffer.
void sv_engine_queue_stream_options(CURL *curl, const char *url, curl_slist *headers,
                                    const char *body, size_t body_length,
                                    char *curl_error) noexcept;

// Where a decoded stream stands before its own finish: a callback's failure (its error, or
// "stream callback failed") or a refusal (the server error of the error body); SV_OK when the
// answer was a success and the stream's own finish decides.
int sv_engine_queue_transfer_verdict(const sv_engine_queue_transfer *transfer,
                                     sv_engine_error *error) noexcept;

// The request headers "Content-Type: application/json" and "Accept: <accept>", or NULL.
curl_slist *sv_engine_queue_stream_headers(const char *accept) noexcept;

// Pauses before a retry of a refused stream request: retry_after_seconds when the server gave
// it, else *delay_ns, which then doubles up to the cap; never past deadline_ns (monotonic, see
// sv_engine_queue_now_ns). The pause is cut into short slices and the client's cancel check
// runs before and between them.
enum class RetryPause { kRetry, kCancelled, kExpired };
RetryPause sv_engine_queue_retry_pause(const sv_engine_client *client, int64_t retry_after_seconds,
                                       int64_t *delay_ns, int64_t deadline_ns) noexcept;
int64_t sv_engine_queue_now_ns() noexcept;

// A queue stream's transfer: a stream the cancel check ends, given server_wait_ms (the request's
// finite wait in ms, 0 when it waits without end) to answer and between deliveries.
CURLcode sv_engine_queue_perform(CURL *curl, const sv_engine_client *client, int64_t server_wait_ms,
                                 char *curl_error) noexcept;

// The client's cancel check; false when it has none.
bool sv_engine_queue_cancelled(const sv_engine_client *client) noexcept;

// The shared stream behind subscribe, dequeue and their WithState forms, on path. Arguments
// are checked by the caller.
int sv_engine_queue_run_stream(const sv_engine_client *client,
                               const sv_engine_dequeue_request *request, const char *path,
                               const sv_engine_message_handler *handler, void *context,
                               sv_engine_error *error) noexcept;

// Trace logs of one stream attempt: method POST, path, endpoint, attempt, total, plus extras.
void sv_engine_queue_log_attempt(const sv_engine_client *client, const char *event,
                                 const char *path, size_t index, const ember_field *extra,
                                 size_t extra_count) noexcept;

constexpr int64_t SV_ENGINE_QUEUE_FIRST_RETRY_NS = 500000;    // 0.5 ms
constexpr int64_t SV_ENGINE_QUEUE_RETRY_CAP_NS = 250000000;   // 250 ms
constexpr size_t SV_ENGINE_QUEUE_SPOOL_MEMORY_BYTES = 65536;  // synchronous dequeue payloads

#endif
