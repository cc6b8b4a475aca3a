// The typed HTTP JSON exchange: one libcurl transfer per attempt, walking the configured
// endpoints in order and moving on only after a transport failure or a 503 "node_passive".
#include <cstdlib>
#include <cstring>

#include "brindle_io.h"
#include "engine_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

struct Request {
  const sv_engine_client *client;
  const char *method;
  const char *path;
  // Plain form.
  const char *body;
  size_t body_length;
  // Streaming form.
  bool streaming;
  const brindle_map *body_map;
  const void *body_record;
  const brindle_write_options *body_options;
  const sv_engine_header *headers;
  size_t header_count;
  const brindle_map *response_map;
  void *response_record;
  sv_engine_http_result *result;
};

// How one attempt ended.
enum class Outcome { kReturn, kNextEndpoint };

// A generated body up to this size goes out with the request headers, in the same send.
constexpr size_t kInlineBodyBytes = 8192;

// Everything one attempt owns; released before the next attempt or the return.
struct Attempt {
  const Request &request;
  sv_engine_error *error;
  size_t number;  // 1-based
  const char *endpoint;
  sv_engine_buffer url{};
  CURL *curl = nullptr;
  curl_slist *header_list = nullptr;
  sv_engine_json_exchange_state state{};
  brindle_curl_upload upload{};
  bool upload_started = false;
  char inline_body[kInlineBodyBytes];

  Attempt(const Request &r, sv_engine_error *e, size_t n)
      : request(r), error(e), number(n), endpoint(r.client->endpoints[n - 1]) {}
  Attempt(const Attempt &) = delete;
  Attempt &operator=(const Attempt &) = delete;

  // Frees this attempt; with keep_record the parsed success record stays with the caller.
  void release(bool keep_record) {
    if (header_list != nullptr) curl_slist_free_all(header_list);
    header_list = nullptr;
    sv_engine_transfer_release(request.client, curl);
    curl = nullptr;
    sv_engine_buffer_cleanup(&url);
    if (upload_started) brindle_curl_upload_cleanup(&upload);
    upload_started = false;
    const bool success_parser = state.parser_started != 0 && state.discard_body == 0 &&
                                state.parse.parser != nullptr && request.response_map != nullptr &&
                                state.error_mode == 0;
    if (!keep_record && success_parser) {
      brindle_cleanup(request.response_map, request.response_record);
    }
    sv_engine_json_exchange_state_cleanup(&state);
  }
};

void log_attempt(const char *event, const Attempt &attempt, const ember_field *extra,
                 size_t extra_count) {
  const Request &request = attempt.request;
  ember_field fields[7] = {
      sv_log_str_field("method", request.method),
      sv_log_str_field("path", request.path),
      sv_log_str_field("endpoint", attempt.endpoint),
      sv_log_u64_field("attempt", attempt.number),
      sv_log_u64_field("total", request.client->endpoint_count),
  };
  size_t count = 5;
  for (size_t i = 0; i < extra_count && count < 7; ++i)
    fields[count++] = extra[i];
  sv_log_trace(sv_engine_client_logger(request.client), event, fields, count);
}

// Header lines "name: value" in the given order.
int build_header_list(Attempt &attempt) {
  const Request &request = attempt.request;
  sv_engine_buffer line{};
  int status = SV_OK;
  for (size_t i = 0; i < request.header_count && status == SV_OK; ++i) {
    line.length = 0;
    status = sv_engine_buffer_append_cstr(&line, request.headers[i].name);
    if (status == SV_OK) status = sv_engine_buffer_append_cstr(&line, ": ");
    if (status == SV_OK) status = sv_engine_buffer_append_cstr(&line, request.headers[i].value);
    curl_slist *grown =
        status == SV_OK ? curl_slist_append(attempt.header_list, line.data) : nullptr;
    if (grown == nullptr) status = SV_ERR_NOMEM;
    attempt.header_list = grown != nullptr ? grown : attempt.header_list;
  }
  sv_engine_buffer_cleanup(&line);
  return status == SV_OK ? SV_OK
                         : sv_engine_set_client_error(attempt.error, SV_ERR_NOMEM,
                                                      "failed to allocate curl header list");
}

void set_transfer_options(Attempt &attempt) {
  const Request &request = attempt.request;
  CURL *curl = attempt.curl;
  curl_easy_setopt(curl, CURLOPT_URL, attempt.url.data);
  if (std::strcmp(request.method, "POST") != 0) {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method);
  }
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // Only HTTP(S), whatever scheme an endpoint names.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sv_engine_json_http_write_callback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &attempt.state);
  sv_engine_transfer_on_header(curl, sv_engine_json_http_header_callback, &attempt.state);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, attempt.state.curl_error);
}

void set_plain_body(Attempt &attempt) {
  const Request &request = attempt.request;
  CURL *curl = attempt.curl;
  const bool post = std::strcmp(request.method, "POST") == 0;
  if (post) curl_easy_setopt(curl, CURLOPT_POST, 1L);
  if (post || request.body != nullptr) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body != nullptr ? request.body : "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body != nullptr ? request.body_length : 0));
  }
}

int set_streaming_body(Attempt &attempt) {
  const Request &request = attempt.request;
  CURL *curl = attempt.curl;
  const bool post = std::strcmp(request.method, "POST") == 0;
  if (request.body_map == nullptr) {
    if (post) {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    }
    return SV_OK;
  }
  // The length is measured first so that the body goes out with a Content-Length; a body that
  // cannot be measured goes out chunked.
  size_t length = 0;
  const bool measured =
      brindle_generator_measure(request.body_map, request.body_record, request.body_options,
                                &length, nullptr) == BRINDLE_OK;
  if (measured && length < kInlineBodyBytes &&
      brindle_serialize_buffer(request.body_map, request.body_record, attempt.inline_body,
                               sizeof attempt.inline_body, nullptr, request.body_options,
                               nullptr) == BRINDLE_OK) {
    // Known and small: no read callback, so libcurl sends it together with the headers.
    if (!post) curl_easy_setopt(curl, CURLOPT_POST, 1L);  // the method stays the custom one
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, attempt.inline_body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    return SV_OK;
  }
  const brindle_status init = brindle_curl_upload_init(&attempt.upload, request.body_map,
                                                       request.body_record, request.body_options);
  if (init != BRINDLE_OK) {
    brindle_curl_upload_cleanup(&attempt.upload);
    return sv_engine_brindle_error_from_status(attempt.error, init, &attempt.upload.generator.error,
                                               "failed to initialize JSON upload");
  }
  attempt.upload_started = true;
  if (post) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (measured)
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
  } else {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    if (measured) curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
  }
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, brindle_curl_read_callback);
  curl_easy_setopt(curl, CURLOPT_READDATA, &attempt.upload);
  return SV_OK;
}

// An error answer that was not (all) the server's JSON error: the status, whatever members were
// parsed, and the excerpt as the detail.
int unreadable_error(Attempt &attempt) {
  sv_engine_http_result *result = attempt.request.result;
  if (sv_engine_copy_error_body(result, &attempt.state.error_body) != SV_OK ||
      sv_engine_error_excerpt_to_detail(&attempt.state.error_excerpt, result) != SV_OK) {
    return sv_engine_set_client_error(attempt.error, SV_ERR_NOMEM, "failed to copy error response");
  }
  return SV_OK;
}

// A failed transfer: either the call ends here, or this endpoint failed and the next is tried.
Outcome classify_failure(Attempt &attempt, CURLcode code, int *status) {
  const char *message =
      attempt.state.curl_error[0] != '\0' ? attempt.state.curl_error : curl_easy_strerror(code);
  const ember_field error_field = sv_log_str_field("error", message);
  log_attempt("client.http.error", attempt, &error_field, 1);
  sv_engine_error *error = attempt.error;
  const sv_engine_http_result *result = attempt.request.result;
  if (attempt.state.aborted != 0 ||
      (attempt.state.parser_started != 0 && attempt.state.parse.error.code != 0) ||
      error->code != 0) {
    *status = error->code != 0 ? error->code : SV_ERR_PROTOCOL;
  } else if (result->header_invalid != 0) {
    *status = sv_engine_set_protocol_error(
        error, result->header_error != nullptr && result->header_error[0] != '\0'
                   ? result->header_error
                   : "response header is invalid");
  } else if (attempt.upload_started && attempt.upload.generator.error.code != 0) {
    // The request body could not be produced: a local failure, not the endpoint's.
    *status = sv_engine_brindle_error_from_status(error, attempt.upload.generator.error.code,
                                                  &attempt.upload.generator.error,
                                                  "failed to generate JSON request body");
  } else if (attempt.number < attempt.request.client->endpoint_count) {
    return Outcome::kNextEndpoint;
  } else {
    *status = sv_engine_set_curl_transport_error(error, code, message);
  }
  return Outcome::kReturn;
}

// A completed transfer: finish the parsers and copy the server error members.
int finish_response(Attempt &attempt) {
  sv_engine_json_exchange_state &state = attempt.state;
  if (state.error_unreadable != 0) return unreadable_error(attempt);
  const int64_t status = attempt.request.result->status;
  if (state.parser_started == 0 && status >= 200 && status <= 299 && status != 204 &&
      status != 205 && attempt.request.response_map != nullptr &&
      attempt.request.response_record != nullptr) {
    // The answer the call needs is missing (an empty body, or headers cut off, which libcurl
    // can report as a complete empty answer): never a success with nothing in it.
    return sv_engine_set_protocol_error(attempt.error, "response has no body");
  }
  if (state.parser_started == 0 || state.discard_body != 0 || state.parse.parser == nullptr) {
    return SV_OK;
  }
  const brindle_status finished = brindle_curl_parse_finish(&state.parse);
  const bool ok = finished == BRINDLE_OK || finished == BRINDLE_TRUNCATED;
  if (state.error_mode != 0) {
    if (!ok) state.error_unreadable = 1;  // cut short or not JSON: the status still stands
    if (state.error_unreadable != 0) return unreadable_error(attempt);
    if (sv_engine_copy_error_body(attempt.request.result, &state.error_body) != SV_OK) {
      return sv_engine_set_client_error(attempt.error, SV_ERR_NOMEM,
                                        "failed to copy error response");
    }
    return SV_OK;
  }
  if (!ok) {
    return sv_engine_brindle_error_from_status(attempt.error, finished, &state.parse.error,
                                               "failed to finish typed JSON response");
  }
  return SV_OK;
}

Outcome run_attempt(const Request &request, sv_engine_error *error, size_t number, int *status) {
  Attempt attempt(request, error, number);
  sv_engine_http_result_cleanup(request.result);
  if (sv_engine_build_url(request.client, attempt.endpoint, request.path, &attempt.url) != SV_OK) {
    *status = sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to build request URL");
    return Outcome::kReturn;
  }
  attempt.curl = sv_engine_transfer_handle(request.client, sv_engine_curl_ssl_ctx_json);
  if (attempt.curl == nullptr) {
    sv_engine_buffer_cleanup(&attempt.url);
    *status = sv_engine_set_transport_error(error, "curl_easy_init failed");
    return Outcome::kReturn;
  }
  log_attempt("client.http.attempt", attempt, nullptr, 0);
  sv_engine_json_exchange_state_init(&attempt.state, request.client, request.result, error,
                                     request.response_map, request.response_record);
  set_transfer_options(attempt);
  *status = build_header_list(attempt);
  if (*status == SV_OK) {
    if (request.streaming) {
      *status = set_streaming_body(attempt);
    } else {
      set_plain_body(attempt);
    }
  }
  if (*status != SV_OK) {
    attempt.release(false);
    sv_engine_http_result_cleanup(request.result);
    return Outcome::kReturn;
  }
  if (attempt.header_list != nullptr) {
    curl_easy_setopt(attempt.curl, CURLOPT_HTTPHEADER, attempt.header_list);
  }
  const CURLcode code =
      sv_engine_transfer_perform(attempt.curl, request.client, {}, attempt.state.curl_error);
  // An error answer stopped at its byte limit is an answer all the same: its status stands.
  const bool stopped_error = attempt.state.error_unreadable != 0 && error->code == 0;
  if (code != CURLE_OK && !stopped_error) {
    const Outcome outcome = classify_failure(attempt, code, status);
    attempt.release(false);
    sv_engine_http_result_cleanup(request.result);
    return outcome;
  }
  long response_code = 0;
  curl_easy_getinfo(attempt.curl, CURLINFO_RESPONSE_CODE, &response_code);
  request.result->status = response_code;
  *status = finish_response(attempt);
  if (*status != SV_OK) {
    attempt.release(false);
    sv_engine_http_result_cleanup(request.result);
    return Outcome::kReturn;
  }
  const ember_field extra[] = {
      sv_log_i64_field("status", request.result->status),
      sv_log_str_field("cid", request.result->correlation_id),
  };
  log_attempt("client.http.success", attempt, extra, 2);
  attempt.release(true);
  const char *code_text = request.result->server_error_code;
  if (request.result->status == 503 && number < request.client->endpoint_count &&
      code_text != nullptr && std::strcmp(code_text, "node_passive") == 0) {
    sv_engine_http_result_cleanup(request.result);
    return Outcome::kNextEndpoint;
  }
  return Outcome::kReturn;
}

// Headers are sent verbatim, so a line break would smuggle in further header lines.
bool headers_are_valid(const sv_engine_header *headers, size_t count) {
  if (count > 0 && headers == nullptr) return false;
  for (size_t i = 0; i < count; ++i) {
    if (headers[i].name == nullptr || headers[i].name[0] == '\0' ||
        std::strpbrk(headers[i].name, "\r\n:") != nullptr ||
        (headers[i].value != nullptr && std::strpbrk(headers[i].value, "\r\n") != nullptr)) {
      return false;
    }
  }
  return true;
}

int run_exchange(const Request &request, sv_engine_error *caller_error) {
  // The call works on its own error record so that a stale code in the caller's record cannot
  // change the walk; the caller's record is written only when the call fails.
  sv_engine_error error;
  sv_engine_error_init(&error);
  *request.result = sv_engine_http_result{};
  if (request.response_map != nullptr && request.response_record != nullptr) {
    brindle_init(request.response_map, request.response_record);
  }
  const sv_engine_client *client = request.client;
  sv_engine_transfer_log_order(client, request.method, request.path);

  int status = SV_OK;
  bool returned = false;
  for (size_t number = 1; number <= client->endpoint_count && !returned; ++number) {
    returned = run_attempt(request, &error, number, &status) == Outcome::kReturn;
  }
  if (!returned) {
    const ember_field fields[] = {
        sv_log_str_field("method", request.method),
        sv_log_str_field("path", request.path),
        sv_log_error_field("error", &error),
    };
    sv_log_debug(sv_engine_client_logger(client), "client.http.unreachable", fields, 3);
    status = sv_engine_set_transport_error(&error, "all configured endpoints failed");
  }
  if (status != SV_OK && caller_error != nullptr) {
    sv_engine_error_reset(caller_error);
    *caller_error = error;
  } else {
    sv_engine_error_reset(&error);
  }
  return status;
}

int check_common(const sv_engine_client *client, const char *method, const char *path,
                 const sv_engine_header *headers, size_t header_count,
                 sv_engine_http_result *result, sv_engine_error *error) {
  if (client == nullptr || method == nullptr || path == nullptr || result == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client, method, path, and result are required");
  }
  if (!headers_are_valid(headers, header_count)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "request headers need a name and no line breaks");
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API int sv_engine_http_json_request(const sv_engine_client *client, const char *method,
                                       const char *path, const char *body, size_t body_length,
                                       const sv_engine_header *headers, size_t header_count,
                                       const brindle_map *response_map, void *response_record,
                                       sv_engine_http_result *result,
                                       sv_engine_error *error) noexcept {
  const int status = check_common(client, method, path, headers, header_count, result, error);
  if (status != SV_OK) return status;
  const Request request{client,          method,  path,    body,    body_length,  false,
                        nullptr,         nullptr, nullptr, headers, header_count, response_map,
                        response_record, result};
  return run_exchange(request, error);
}

SV_API int sv_engine_http_json_request_stream(
    const sv_engine_client *client, const char *method, const char *path,
    const brindle_map *body_map, const void *body_record, const brindle_write_options *body_options,
    const sv_engine_header *headers, size_t header_count, const brindle_map *response_map,
    void *response_record, sv_engine_http_result *result, sv_engine_error *error) noexcept {
  const int status = check_common(client, method, path, headers, header_count, result, error);
  if (status != SV_OK) return status;
  if ((body_map == nullptr) != (body_record == nullptr)) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "body map and source must either both be provided or both be null");
  }
  const Request request{client,
                        method,
                        path,
                        nullptr,
                        0,
                        true,
                        body_map,
                        body_record,
                        body_options,
                        headers,
                        header_count,
                        response_map,
                        response_record,
                        result};
  return run_exchange(request, error);
}

}  // extern "C"
