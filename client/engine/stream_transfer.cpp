// The transfer loop of streamed requests: one libcurl transfer per endpoint, the request body
// pulled from the caller's reader, the response body handed to the writer or a typed parser.
// Only an answer with the error code "node_passive" moves on to the next endpoint.
#include <cstdlib>
#include <cstring>

#include "stream_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

// The caller's reader as libcurl sees it; remembers whether any byte went out, so that a body
// is never sent again half-read.
struct UploadTap {
  sv_engine_reader_fn reader;
  void *context;
  sv_engine_error *error;
  bool delivered = false;
};

size_t upload_read(char *buffer, size_t size, size_t count, void *userdata) noexcept {
  auto *tap = static_cast<UploadTap *>(userdata);
  if (size != 0 && count > SIZE_MAX / size) return CURL_READFUNC_ABORT;
  const size_t capacity = size * count;
  const size_t placed = tap->reader(tap->context, buffer, capacity, tap->error);
  if (placed == CURL_READFUNC_ABORT) return placed;
  if (placed == CURL_READFUNC_PAUSE) {
    // Nothing would ever resume the transfer.
    sv_engine_set_transport_error(tap->error, "stream reader cannot pause an upload");
    return CURL_READFUNC_ABORT;
  }
  if (placed > capacity) {
    sv_engine_set_transport_error(tap->error, "stream reader returned more bytes than requested");
    return CURL_READFUNC_ABORT;
  }
  // A reader that failed ends the upload as a failure, never as a complete (truncated) body.
  if (placed == 0 && tap->error->code != 0) return CURL_READFUNC_ABORT;
  if (placed > 0) tap->delivered = true;
  return placed;
}

struct Transfer {
  const sv_engine_client *client;
  const char *method;
  const char *path;
  curl_slist *header_list;
  UploadTap *tap;  // NULL without a body
  sv_engine_stream_state *state;
  sv_engine_error *error;
};

void log_event(const Transfer &transfer, const char *event, const char *endpoint, size_t attempt,
               const ember_field *extra, size_t extra_count) {
  ember_field fields[7] = {
      sv_log_str_field("method", transfer.method),
      sv_log_str_field("path", transfer.path),
      sv_log_str_field("endpoint", endpoint),
      sv_log_u64_field("attempt", attempt),
      sv_log_u64_field("total", transfer.client->endpoint_count),
  };
  size_t count = 5;
  for (size_t i = 0; i < extra_count && count < 7; ++i)
    fields[count++] = extra[i];
  sv_log_trace(sv_engine_client_logger(transfer.client), event, fields, count);
}

void set_options(const Transfer &transfer, CURL *curl, const char *url, char *error_buffer) {
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  if (transfer.header_list != nullptr) {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer.header_list);
  }
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, transfer.method);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sv_engine_stream_write_callback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer.state);
  sv_engine_transfer_on_header(curl, sv_engine_stream_header_callback, transfer.state);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  if (transfer.tap != nullptr) {
    // No size is announced: HTTP/1.1 uploads go out chunked.
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, upload_read);
    curl_easy_setopt(curl, CURLOPT_READDATA, transfer.tap);
  }
}

int finish_parser(sv_engine_stream_state *state, const char *message) {
  const brindle_status finished = brindle_curl_parse_finish(&state->parse);
  if (finished == BRINDLE_OK || finished == BRINDLE_TRUNCATED) return SV_OK;
  return sv_engine_brindle_error_from_status(state->error, finished, &state->parse.error, message);
}

// The server error of a non-2xx answer, with the members of its error body.
int server_error(sv_engine_stream_state *state) {
  if (state->parse.parser != nullptr && state->error_mode != 0 && state->error_unreadable == 0) {
    // A body cut short or not JSON leaves what was parsed; the status still stands.
    const brindle_status finished = brindle_curl_parse_finish(&state->parse);
    if (finished != BRINDLE_OK && finished != BRINDLE_TRUNCATED) state->error_unreadable = 1;
  }
  // The result only lends its strings to the setter, which copies them.
  sv_engine_http_result result{};
  result.status = state->status;
  result.correlation_id = state->correlation_id;
  result.server_error_code = state->error_body.error;
  result.detail = state->error_body.detail;
  result.leader_endpoint = state->error_body.leader_endpoint;
  result.current_etag = state->error_body.current_etag;
  result.current_version = state->error_body.current_version;
  result.retry_after_seconds = state->error_body.retry_after_seconds;
  if (state->error_unreadable == 0 || (result.detail != nullptr && result.detail[0] != '\0')) {
    return sv_engine_set_server_error_from_result(state->error, &result);
  }
  result.detail = nullptr;  // the excerpt's copy is the result's own, freed below
  if (sv_engine_error_excerpt_to_detail(&state->error_excerpt, &result) != SV_OK) {
    return sv_engine_set_client_error(state->error, SV_ERR_NOMEM, "failed to copy error response");
  }
  const int status = sv_engine_set_server_error_from_result(state->error, &result);
  sv_engine_free_string(&result.detail);
  return status;
}

enum class Outcome { kReturn, kNextEndpoint };

Outcome run_attempt(const Transfer &transfer, size_t number, int *status) {
  sv_engine_stream_state *state = transfer.state;
  const char *endpoint = transfer.client->endpoints[number - 1];
  sv_engine_buffer url{};
  if (sv_engine_build_url(transfer.client, endpoint, transfer.path, &url) != SV_OK) {
    sv_engine_buffer_cleanup(&url);
    *status =
        sv_engine_set_client_error(transfer.error, SV_ERR_NOMEM, "failed to allocate request URL");
    return Outcome::kReturn;
  }
  CURL *curl = sv_engine_transfer_handle(transfer.client, sv_engine_curl_ssl_ctx_stream);
  if (curl == nullptr) {
    sv_engine_buffer_cleanup(&url);
    *status = sv_engine_set_transport_error(transfer.error, "failed to initialize curl");
    return Outcome::kReturn;
  }
  log_event(transfer, "client.http.attempt", endpoint, number, nullptr, 0);
  char curl_error[CURL_ERROR_SIZE] = {0};
  set_options(transfer, curl, url.data, curl_error);
  // A body of any size may take its time: the client's timeout bounds the answer's start.
  sv_engine_transfer_bounds bounds;
  bounds.stream = true;
  const CURLcode code = sv_engine_transfer_perform(curl, transfer.client, bounds, curl_error);
  long response_code = 0;
  if (code == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response_code);
  sv_engine_transfer_release(transfer.client, curl);
  sv_engine_buffer_cleanup(&url);

  if (code != CURLE_OK) {
    const char *text = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code);
    const ember_field field = sv_log_str_field("error", text);
    log_event(transfer, "client.http.error", endpoint, number, &field, 1);
    // An error answer too long to read whole keeps its status, with its first bytes.
    if (state->error_unreadable != 0 && transfer.error->code == 0) {
      *status = server_error(state);
      return Outcome::kReturn;
    }
    // A callback that stopped the transfer stored why; that wins over libcurl's generic text.
    if (transfer.error->code != 0) {
      *status = transfer.error->code;
      return Outcome::kReturn;
    }
    // No answer started, so nothing reached the caller's writer: the next endpoint may serve
    // it (an upload is rewound, or refused when it cannot be, before the next attempt).
    if (state->status == 0 && state->aborted == 0 && number < transfer.client->endpoint_count) {
      return Outcome::kNextEndpoint;
    }
    *status = sv_engine_set_curl_transport_error(transfer.error, code, text);
    return Outcome::kReturn;
  }
  state->status = response_code;
  const ember_field extra[] = {
      sv_log_i64_field("status", state->status),
      sv_log_str_field("cid", state->correlation_id),
  };
  log_event(transfer, "client.http.success", endpoint, number, extra, 2);
  if (response_code >= 200 && response_code <= 299) {
    *status = SV_OK;
    if (state->parse.parser != nullptr && state->error_mode == 0) {
      *status = finish_parser(state, "failed to finish typed JSON response");
    }
    return Outcome::kReturn;
  }
  *status = server_error(state);
  const char *server_code = transfer.error->server_error_code;
  if (*status == SV_ERR_SERVER && server_code != nullptr &&
      std::strcmp(server_code, "node_passive") == 0) {
    sv_engine_error_reset(transfer.error);
    return Outcome::kNextEndpoint;
  }
  return Outcome::kReturn;
}

int run(const Transfer &transfer, sv_engine_reset_fn reset, void *reset_context,
        const brindle_map *response_map, void *response_record) {
  const sv_engine_client *client = transfer.client;
  sv_engine_transfer_log_order(client, transfer.method, transfer.path);
  for (size_t number = 1; number <= client->endpoint_count; ++number) {
    sv_engine_stream_state_reset_attempt(transfer.state, client);
    transfer.state->response_map = response_map;
    transfer.state->response_record = response_record;
    if (number > 1 && transfer.tap != nullptr) {
      if (reset != nullptr) {
        const int reset_status = reset(reset_context, transfer.error);
        if (reset_status != SV_OK) {
          if (transfer.error->code == 0) {
            sv_engine_set_client_error(transfer.error, reset_status, "payload reset failed");
          }
          return reset_status;
        }
      } else if (transfer.tap->delivered) {
        return sv_engine_set_client_error(transfer.error, SV_ERR_INVALID,
                                          "payload source is not rewindable");
      }
    }
    int status = SV_OK;
    if (run_attempt(transfer, number, &status) == Outcome::kReturn) return status;
  }
  return sv_engine_set_transport_error(transfer.error, "all endpoints rejected the request");
}

}  // namespace

extern "C" {

SV_API int sv_engine_perform_streaming(const sv_engine_client *client, const char *method,
                                       const char *path, curl_slist *header_list,
                                       sv_engine_reader_fn reader, void *reader_context,
                                       sv_engine_reset_fn reset, void *reset_context,
                                       const brindle_map *response_map, void *response_record,
                                       sv_engine_stream_state *state) noexcept {
  if (state == nullptr) {
    curl_slist_free_all(header_list);
    return SV_ERR_INVALID;
  }
  // Callbacks always have an error record to write to.
  sv_engine_error local;
  sv_engine_error_init(&local);
  sv_engine_error *caller_error = state->error;
  if (state->error == nullptr) state->error = &local;
  sv_engine_error_reset(state->error);
  int status = SV_OK;
  if (client == nullptr || method == nullptr || path == nullptr) {
    status = sv_engine_set_client_error(state->error, SV_ERR_INVALID,
                                        "perform_streaming requires client, method, and path");
  } else if ((response_map == nullptr) != (response_record == nullptr)) {
    status = sv_engine_set_client_error(state->error, SV_ERR_INVALID,
                                        "response map and record must both be given or both be "
                                        "null");
  } else if (client->endpoints == nullptr || client->endpoint_count == 0) {
    status = sv_engine_set_transport_error(state->error, "all endpoints rejected the request");
  } else {
    if (response_map != nullptr) brindle_init(response_map, response_record);
    UploadTap tap{reader, reader_context, state->error};
    const Transfer transfer{
        client, method, path, header_list, reader != nullptr ? &tap : nullptr, state, state->error};
    status = run(transfer, reset, reset_context, response_map, response_record);
  }
  curl_slist_free_all(header_list);
  state->error = caller_error;
  sv_engine_error_reset(&local);
  return status;
}

}  // extern "C"
