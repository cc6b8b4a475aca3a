// The loop that runs every transfer of the engine on its handle's multi handle, so that one
// place owns the deadlines: a unary call ends at the client's timeout; a stream has that long
// (plus the server's announced wait) to connect and answer, then runs until the server ends
// it, the caller cancels, or it is silent past its bound. Time spent in the handle's callbacks
// (a handler taking a delivery) is not silence: the bound counts from the last byte moved.
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "connection_pool.h"
#include "transfer_core.h"

namespace {

// How often a transfer with a cancel check looks at it.
constexpr int64_t kCancelPollMs = 100;
// The longest libcurl waits in one poll when nothing else is due.
constexpr int64_t kIdlePollMs = 1000;
// The least time a server is given past its announced wait before its silence counts.
constexpr int64_t kWaitMarginMs = 5000;

int64_t now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t bytes_moved(CURL *curl) {
  curl_off_t down = 0;
  curl_off_t up = 0;
  long headers = 0;
  curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &down);
  curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
  curl_easy_getinfo(curl, CURLINFO_HEADER_SIZE, &headers);
  return static_cast<int64_t>(down) + static_cast<int64_t>(up) + headers;
}

// Sees every header line before the transfer's own callback: the blank line that ends a final
// (not 1xx) answer's header block means the server has answered.
size_t relay_header(char *line, size_t size, size_t count, void *data) {
  auto *slot = static_cast<sv_engine_transfer_slot *>(data);
  const size_t length = size * count;
  if ((length == 2 && line[0] == '\r' && line[1] == '\n') || (length == 1 && line[0] == '\n')) {
    long status = 0;
    curl_easy_getinfo(slot->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200) slot->headers_done = true;
  }
  if (slot->header_fn == nullptr) return length;
  return slot->header_fn(line, size, count, slot->header_data);
}

void say(char *error_text, const char *what, int64_t ms) {
  if (error_text != nullptr)
    std::snprintf(error_text, CURL_ERROR_SIZE, "%s %" PRId64 " ms", what, ms);
}

struct Clock {
  int64_t start = 0;
  int64_t answer_deadline = INT64_MAX;  // a stream's status line must be here by then
  int64_t silence_ms = 0;               // 0: no silence bound
  int64_t last_activity = 0;
  int64_t last_bytes = -1;
};

Clock clock_for(const sv_engine_client *client, const sv_engine_transfer_bounds &bounds) {
  Clock clock;
  const int64_t start = now_ms();
  const int64_t timeout =
      client->timeout_ms > 0 ? client->timeout_ms : SV_ENGINE_DEFAULT_TIMEOUT_MS;
  const int64_t wait = bounds.server_wait_ms > 0 ? bounds.server_wait_ms : 0;
  if (bounds.stream) clock.answer_deadline = start + timeout + wait;
  // A stream the server must feed within its announced wait is dead once that (and a margin:
  // the client's timeout, at least kWaitMarginMs) has passed in silence; the caller's bound may
  // be tighter.
  if (bounds.stream && wait > 0)
    clock.silence_ms = wait + (timeout > kWaitMarginMs ? timeout : kWaitMarginMs);
  if (client->stream_idle_timeout_ms > 0 &&
      (clock.silence_ms == 0 || client->stream_idle_timeout_ms < clock.silence_ms)) {
    clock.silence_ms = client->stream_idle_timeout_ms;
  }
  clock.start = start;
  clock.last_activity = start;
  return clock;
}

enum class Verdict { kRunning, kCancelled, kNoAnswer, kSilent };

Verdict look(const sv_engine_transfer_slot *slot, const sv_engine_client *client,
             const sv_engine_transfer_bounds &bounds, Clock &clock, int64_t *wait_ms) {
  CURL *curl = slot->curl;
  if (bounds.cancellable && client->cancel_check != nullptr &&
      client->cancel_check(client->cancel_context) != 0) {
    return Verdict::kCancelled;
  }
  const int64_t now = now_ms();
  const int64_t moved = bytes_moved(curl);
  if (moved != clock.last_bytes) {
    clock.last_bytes = moved;
    clock.last_activity = now;
  }
  const bool has_answer = slot->headers_done;
  if (!has_answer && now >= clock.answer_deadline) return Verdict::kNoAnswer;
  if (clock.silence_ms > 0 && now - clock.last_activity >= clock.silence_ms) {
    return Verdict::kSilent;
  }
  int64_t wait = kIdlePollMs;
  if (bounds.cancellable && client->cancel_check != nullptr && wait > kCancelPollMs) {
    wait = kCancelPollMs;
  }
  if (!has_answer && clock.answer_deadline - now < wait) wait = clock.answer_deadline - now;
  if (clock.silence_ms > 0 && clock.last_activity + clock.silence_ms - now < wait) {
    wait = clock.last_activity + clock.silence_ms - now;
  }
  *wait_ms = wait < 1 ? 1 : wait;
  return Verdict::kRunning;
}

CURLcode run_once(sv_engine_transfer_slot *slot, const sv_engine_client *client,
                  const sv_engine_transfer_bounds &bounds, char *error_text) {
  CURL *curl = slot->curl;
  CURLM *multi = slot->multi;
  // A unary call's deadline is libcurl's own; a stream has none once it is answered.
  const int64_t timeout =
      client->timeout_ms > 0 ? client->timeout_ms : SV_ENGINE_DEFAULT_TIMEOUT_MS;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, bounds.stream ? 0L : static_cast<long>(timeout));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, relay_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, slot);
  slot->headers_done = false;
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
  Clock clock = clock_for(client, bounds);
  CURLcode result = CURLE_OK;
  bool done = false;
  int running = 1;
  while (!done) {
    CURLMcode status = curl_multi_perform(multi, &running);
    if (status != CURLM_OK) {
      result = status == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) break;
    int64_t wait_ms = 0;
    const Verdict verdict = look(slot, client, bounds, clock, &wait_ms);
    if (verdict == Verdict::kCancelled) {
      result = CURLE_ABORTED_BY_CALLBACK;
      if (error_text != nullptr) std::snprintf(error_text, CURL_ERROR_SIZE, "cancelled");
      break;
    }
    if (verdict == Verdict::kNoAnswer) {
      result = CURLE_OPERATION_TIMEDOUT;
      say(error_text, "timed out: no answer within", clock.answer_deadline - clock.start);
      break;
    }
    if (verdict == Verdict::kSilent) {
      result = CURLE_OPERATION_TIMEDOUT;
      say(error_text, "stream stayed silent for", clock.silence_ms);
      break;
    }
    status = curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait_ms), nullptr);
    if (status != CURLM_OK) {
      result = status == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
      break;
    }
  }
  int left = 0;
  while (const CURLMsg *message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
      result = message->data.result;
      done = true;
    }
  }
  if (done && result == CURLE_OK && slot->pooled && client->connection_share != nullptr) {
    sv_engine_pooled_socket_remember(client->connection_share, curl);
  }
  curl_multi_remove_handle(multi, curl);
  return result;
}

}  // namespace

void sv_engine_transfer_on_header(CURL *curl, curl_write_callback callback, void *data) noexcept {
  sv_engine_transfer_slot *slot = nullptr;
  curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&slot));
  if (slot == nullptr) return;
  slot->header_fn = callback;
  slot->header_data = data;
}

CURLcode sv_engine_transfer_perform(CURL *curl, const sv_engine_client *client,
                                    const sv_engine_transfer_bounds &bounds,
                                    char *error_text) noexcept {
  sv_engine_transfer_slot *slot = nullptr;
  curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&slot));
  if (slot == nullptr || slot->multi == nullptr) return CURLE_FAILED_INIT;
  CURLcode result = run_once(slot, client, bounds, error_text);
  if (result == CURLE_ABORTED_BY_CALLBACK && slot->stale_connection) {
    // The reused connection held unread bytes and is closed; nothing was sent on it.
    slot->stale_connection = false;
    if (error_text != nullptr) error_text[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    result = run_once(slot, client, bounds, error_text);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 0L);
  }
  return result;
}
