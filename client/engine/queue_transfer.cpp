// Pieces shared by the dequeue and subscribe streams and the queue watch: request headers,
// transfer options, the response header callback's work, the bounded error body, the cancel
// check and the pause before a retry.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "header_line.h"
#include "queue_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

bool store_value(char **slot, const char *value, size_t length) {
  char *copy = sv_engine_strdup_range(value, value + length);
  if (copy == nullptr) return false;
  std::free(*slot);
  *slot = copy;
  return true;
}

// Sleeps up to ns nanoseconds, resuming after signals.
void sleep_ns(int64_t ns) {
  timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  timespec left{};
  while (nanosleep(&wait, &left) != 0 && errno == EINTR)
    wait = left;
}

// How often a long pause looks at the cancel check.
constexpr int64_t kCancelSliceNs = 10000000;  // 10 ms

}  // namespace

void sv_engine_queue_transfer_reset(sv_engine_queue_transfer *transfer) noexcept {
  sv_engine_free_string(&transfer->correlation_id);
  sv_engine_free_string(&transfer->content_type);
  sv_engine_buffer_cleanup(&transfer->error_body);
  *transfer = sv_engine_queue_transfer{};
}

bool sv_engine_queue_transfer_header(sv_engine_queue_transfer *transfer, const char *line,
                                     size_t length, bool keep_content_type) noexcept {
  const sv_engine_header_line split = sv_engine_split_header_line(line, length);
  if (split.status != 0) {
    transfer->status = split.status;
    return true;
  }
  if (split.is("X-Correlation-Id")) {
    return store_value(&transfer->correlation_id, split.value, split.trimmed_length);
  }
  if (keep_content_type && split.is("Content-Type")) {
    return store_value(&transfer->content_type, split.value, split.trimmed_length);
  }
  return true;
}

int sv_engine_queue_transfer_error_body(sv_engine_queue_transfer *transfer, const char *bytes,
                                        size_t length, sv_engine_error *error,
                                        const char *what_failed) noexcept {
  switch (sv_engine_error_body_append(&transfer->error_body, bytes, length, transfer->status,
                                      transfer->correlation_id, error)) {
    case ErrorBodyAppend::kKept:
      return SV_OK;
    case ErrorBodyAppend::kCapped:
      transfer->aborted = 1;
      return error->code;
    case ErrorBodyAppend::kNoMemory:
      break;
  }
  transfer->aborted = 1;
  return sv_engine_set_client_error(error, SV_ERR_NOMEM, what_failed);
}

int sv_engine_queue_transfer_verdict(const sv_engine_queue_transfer *transfer,
                                     sv_engine_error *error) noexcept {
  if (transfer->aborted != 0) {
    return error->code != 0 ? error->code
                            : sv_engine_set_transport_error(error, "stream callback failed");
  }
  if (transfer->status >= 200 && transfer->status <= 299) return SV_OK;
  const char *body = transfer->error_body.data != nullptr ? transfer->error_body.data : "";
  return sv_engine_set_server_error_from_json(error, transfer->status, transfer->correlation_id,
                                              body);
}

curl_slist *sv_engine_queue_stream_headers(const char *accept) noexcept {
  curl_slist *list = curl_slist_append(nullptr, "Content-Type: application/json");
  if (list == nullptr) return nullptr;
  char line[64];
  std::snprintf(line, sizeof(line), "Accept: %s", accept);
  curl_slist *grown = curl_slist_append(list, line);
  if (grown == nullptr) curl_slist_free_all(list);
  return grown;
}

void sv_engine_queue_stream_options(CURL *curl, const char *url, curl_slist *headers,
                                    const char *body, size_t body_length,
                                    char *curl_error) noexcept {
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_length));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
}

bool sv_engine_queue_cancelled(const sv_engine_client *client) noexcept {
  return client != nullptr && client->cancel_check != nullptr &&
         client->cancel_check(client->cancel_context) != 0;
}

int64_t sv_engine_queue_now_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

RetryPause sv_engine_queue_retry_pause(const sv_engine_client *client, int64_t retry_after_seconds,
                                       int64_t *delay_ns, int64_t deadline_ns) noexcept {
  int64_t pause = *delay_ns;
  if (retry_after_seconds > 0) {
    // Large hints are clamped so the product cannot overflow; the deadline and the cancel check
    // end them sooner.
    const int64_t seconds = retry_after_seconds < 86400 ? retry_after_seconds : 86400;
    pause = seconds * 1000000000;
  } else {
    *delay_ns =
        *delay_ns * 2 < SV_ENGINE_QUEUE_RETRY_CAP_NS ? *delay_ns * 2 : SV_ENGINE_QUEUE_RETRY_CAP_NS;
  }
  if (sv_engine_queue_cancelled(client)) return RetryPause::kCancelled;
  const int64_t left = deadline_ns - sv_engine_queue_now_ns();
  if (left <= 0) return RetryPause::kExpired;
  const bool expires = pause >= left;
  if (expires) pause = left;
  while (pause > 0) {
    const int64_t slice = pause < kCancelSliceNs ? pause : kCancelSliceNs;
    sleep_ns(slice);
    pause -= slice;
    if (sv_engine_queue_cancelled(client)) return RetryPause::kCancelled;
  }
  return expires ? RetryPause::kExpired : RetryPause::kRetry;
}

CURLcode sv_engine_queue_perform(CURL *curl, const sv_engine_client *client, int64_t server_wait_ms,
                                 char *curl_error) noexcept {
  sv_engine_transfer_bounds bounds;
  bounds.stream = true;
  bounds.cancellable = true;
  bounds.server_wait_ms = server_wait_ms;
  return sv_engine_transfer_perform(curl, client, bounds, curl_error);
}

extern "C" {

SV_API int sv_engine_queue_stream_progress(void *client, int64_t, int64_t, int64_t,
                                           int64_t) noexcept {
  return sv_engine_queue_cancelled(static_cast<const sv_engine_client *>(client)) ? 1 : 0;
}

}  // extern "C"

void sv_engine_queue_log_attempt(const sv_engine_client *client, const char *event,
                                 const char *path, size_t index, const ember_field *extra,
                                 size_t extra_count) noexcept {
  ember_field fields[8] = {
      sv_log_str_field("method", "POST"),
      sv_log_str_field("path", path),
      sv_log_str_field("endpoint", client->endpoints[index]),
      sv_log_u64_field("attempt", index + 1),
      sv_log_u64_field("total", client->endpoint_count),
  };
  size_t count = 5;
  for (size_t i = 0; i < extra_count && count < 8; ++i)
    fields[count++] = extra[i];
  sv_log_trace(sv_engine_client_logger(client), event, fields, count);
}
