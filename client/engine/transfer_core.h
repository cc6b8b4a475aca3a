// The one place the engine runs libcurl transfers: every exchange, streamed transfer, query
// stream, queue stream and watch takes its easy handle here, runs it through
// sv_engine_transfer_perform and gives the handle back. The loop owns the deadlines, the stream
// silence bound and the cancel check; the handle source owns the reuse pool.
#ifndef STAVOC_ENGINE_TRANSFER_CORE_H
#define STAVOC_ENGINE_TRANSFER_CORE_H

#include <cstdint>

#include "engine_internal.h"

// How one transfer's time is bounded.
struct sv_engine_transfer_bounds {
  // false: the client's timeout_ms is the whole transfer's deadline (a unary call). true: it
  // bounds connecting and the wait for the answer's status line; after that the stream runs
  // until the server ends it, the caller cancels or it stays silent past its bound.
  bool stream = false;
  // A finite time the server may take before it answers or between deliveries (a dequeue's or
  // a subscribe's wait_seconds, in ms); 0: none. It lengthens the wait for the status line and,
  // with the client's timeout as a margin, bounds the silence of a running stream.
  int64_t server_wait_ms = 0;
  // The client's cancel check ends the transfer (CURLE_ABORTED_BY_CALLBACK).
  bool cancellable = false;
};

// An easy handle for one transfer of client, with the connection options set (TLS through
// install_identity); from the client's pool when it reuses connections. NULL when libcurl cannot
// make one. Give it back with sv_engine_transfer_release, never with curl_easy_cleanup.
CURL *sv_engine_transfer_handle(const sv_engine_client *client,
                                sv_engine_ssl_ctx_fn install_identity) noexcept;
void sv_engine_transfer_release(const sv_engine_client *client, CURL *curl) noexcept;

// The transfer's header callback (instead of CURLOPT_HEADERFUNCTION/HEADERDATA, which the loop
// keeps for itself to see when the answer's headers have ended).
void sv_engine_transfer_on_header(CURL *curl, curl_write_callback callback, void *data) noexcept;

// Runs the transfer to its end. The handle's own callbacks see the bytes as libcurl delivers
// them. When a bound of the loop ends the transfer it returns CURLE_OPERATION_TIMEDOUT with the
// reason in error_text (CURL_ERROR_SIZE bytes, the handle's CURLOPT_ERRORBUFFER or NULL); a
// cancel gives CURLE_ABORTED_BY_CALLBACK. A reused HTTP/1.1 connection that holds bytes nobody
// asked for is closed and the request goes out once more on a fresh connection.
CURLcode sv_engine_transfer_perform(CURL *curl, const sv_engine_client *client,
                                    const sv_engine_transfer_bounds &bounds,
                                    char *error_text) noexcept;

// Logs "client.http.order": the endpoints a call walks, in order (at trace level).
void sv_engine_transfer_log_order(const sv_engine_client *client, const char *method,
                                  const char *path) noexcept;

#endif
