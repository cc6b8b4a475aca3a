// The streaming query transfer shared by query_into and query_keys: one libcurl transfer per
// endpoint with the request body generated while it uploads, paging headers captured, a 2xx body
// handed to the form's consumer as it arrives and any other body buffered (within 8192 bytes) for
// the server error.
#include <strings.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "header_line.h"
#include "query_internal.h"
#include "stavoc_numbers.h"
#include "sv_log.h"
#include "transfer_core.h"

namespace {

// Per-attempt state shared by the header and write callbacks.
struct Transfer {
  const sv_engine_client *client = nullptr;
  sv_engine_error *error = nullptr;
  sv_engine_query_stream_response *response = nullptr;
  QueryBodyConsumer *consumer = nullptr;
  sv_engine_buffer error_body{};
  bool aborted = false;  // a callback refused and stored why in error
  char curl_error[CURL_ERROR_SIZE] = {};
};

bool is_success(int64_t status) {
  return status >= 200 && status <= 299;
}

size_t refuse(Transfer *transfer, int code, const char *message) {
  transfer->aborted = true;
  if (message != nullptr) sv_engine_set_client_error(transfer->error, code, message);
  return 0;
}

// A header line: the status line sets the status, the paging headers are captured.
size_t header_callback(char *line, size_t size, size_t count, void *userdata) noexcept {
  auto *transfer = static_cast<Transfer *>(userdata);
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  if (transfer == nullptr) return length;
  sv_engine_query_stream_response *response = transfer->response;
  const sv_engine_header_line split = sv_engine_split_header_line(line, length);
  if (split.status != 0) {
    response->status = split.status;
    return length;
  }
  if (split.name == nullptr) return length;
  const char *start = split.value;
  const char *end = split.value + split.trimmed_length;

  struct Capture {
    const char *name;
    char **slot;
    const char *message;
  };
  const Capture captures[] = {
      {"X-Correlation-Id", &response->correlation_id, "failed to capture correlation id"},
      {"X-Stavo-Query-Cursor", &response->cursor, "failed to capture query cursor"},
      {"X-Stavo-Query-Return", &response->return_mode, "failed to capture query return mode"},
      {"X-Stavo-Query-Metadata", &response->metadata, "failed to capture query metadata"},
  };
  for (const Capture &capture : captures) {
    if (!split.is(capture.name)) continue;
    // The captured strings are the only header text kept: bound them.
    if (static_cast<size_t>(end - start) > SV_ENGINE_QUERY_HEADER_VALUE_LIMIT) {
      return refuse(transfer, SV_ERR_PROTOCOL, "query response header is too long");
    }
    if (!sv_engine_query_capture(transfer->client, capture.slot, start, end)) {
      return refuse(transfer, SV_ERR_NOMEM, capture.message);
    }
    return length;
  }
  if (split.is("X-Stavo-Query-Index-Seq")) {
    unsigned long value = 0;
    if (sv_parse_ulong_base10_range_checked(start, static_cast<size_t>(end - start), &value) == 0) {
      return refuse(transfer, SV_ERR_PROTOCOL, "failed to parse query index sequence");
    }
    response->index_seq = value;
    response->has_index_seq = 1;
  }
  return length;
}

size_t write_callback(char *bytes, size_t size, size_t count, void *userdata) noexcept {
  auto *transfer = static_cast<Transfer *>(userdata);
  if (size != 0 && count > SIZE_MAX / size) return 0;
  const size_t length = size * count;
  if (transfer == nullptr || length == 0) return length;
  if (is_success(transfer->response->status)) {
    if (!transfer->consumer->consume(bytes, length, transfer->error))
      return refuse(transfer, 0, nullptr);
    return length;
  }
  // Only a success body belongs to the caller; any other body is the server's error report.
  switch (sv_engine_error_body_append(&transfer->error_body, bytes, length,
                                      static_cast<long>(transfer->response->status),
                                      transfer->response->correlation_id, transfer->error)) {
    case ErrorBodyAppend::kKept:
      break;
    case ErrorBodyAppend::kCapped:
      return refuse(transfer, 0, nullptr);
    case ErrorBodyAppend::kNoMemory:
      return refuse(transfer, SV_ERR_NOMEM, "failed to buffer error response");
  }
  return length;
}

void set_options(CURL *curl, const char *url, curl_slist *headers, brindle_curl_upload *upload,
                 Transfer *transfer) {
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, brindle_curl_read_callback);
  curl_easy_setopt(curl, CURLOPT_READDATA, upload);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer);
  sv_engine_transfer_on_header(curl, header_callback, transfer);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, transfer->curl_error);
}

// How one attempt ended.
// kTransportFailure: no answer began (a refused or failed connect, a reset before the status
// line); the next endpoint, if any, is tried with the same request.
enum class Outcome { kReturn, kNextEndpoint, kTransportFailure };

// Everything one attempt owns.
struct Attempt {
  const sv_engine_client *client = nullptr;
  CURL *curl = nullptr;
  curl_slist *headers = nullptr;
  char *url = nullptr;
  brindle_curl_upload upload{};
  bool upload_started = false;
  Transfer transfer{};

  Attempt() = default;
  Attempt(const Attempt &) = delete;
  Attempt &operator=(const Attempt &) = delete;
  ~Attempt() {
    if (upload_started) brindle_curl_upload_cleanup(&upload);
    curl_slist_free_all(headers);
    sv_engine_transfer_release(client, curl);
    std::free(url);
    sv_engine_buffer_cleanup(&transfer.error_body);
  }
};

int prepare_attempt(Attempt &attempt, const sv_engine_client *client, const char *endpoint,
                    const sv_engine_query_request *request, const sv_engine_query_body *body,
                    sv_engine_error *error) {
  attempt.url = sv_engine_query_url(client, endpoint, request);
  if (attempt.url == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate query URL");
  }
  attempt.client = client;
  attempt.curl = sv_engine_transfer_handle(client, sv_engine_curl_ssl_ctx_stream);
  if (attempt.curl == nullptr)
    return sv_engine_set_transport_error(error, "failed to initialize curl");
  curl_slist *list = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_slist *grown =
      list != nullptr ? curl_slist_append(list, "Accept: application/x-ndjson, application/json")
                      : nullptr;
  if (grown == nullptr) {
    curl_slist_free_all(list);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate curl header list");
  }
  attempt.headers = grown;
  const brindle_status started =
      brindle_curl_upload_init(&attempt.upload, &sv_engine_query_body_map, body, nullptr);
  attempt.upload_started = true;
  if (started != BRINDLE_OK) {
    return sv_engine_brindle_error_from_status(error, started, &attempt.upload.generator.error,
                                               "failed to prepare query request body");
  }
  set_options(attempt.curl, attempt.url, attempt.headers, &attempt.upload, &attempt.transfer);
  // A measured body goes out with a Content-Length; otherwise libcurl sends it chunked.
  size_t length = 0;
  if (brindle_generator_measure(&sv_engine_query_body_map, body, nullptr, &length, nullptr) ==
      BRINDLE_OK) {
    curl_easy_setopt(attempt.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
  }
  return SV_OK;
}

Outcome run_attempt(const sv_engine_client *client, const char *endpoint,
                    const sv_engine_query_request *request, const sv_engine_query_body *body,
                    QueryBodyConsumer &consumer, sv_engine_query_stream_response *response,
                    sv_engine_error *error, int *status) {
  Attempt attempt;
  attempt.transfer.client = client;
  attempt.transfer.error = error;
  attempt.transfer.response = response;
  attempt.transfer.consumer = &consumer;
  *status = prepare_attempt(attempt, client, endpoint, request, body, error);
  if (*status == SV_OK) *status = consumer.start_attempt(error);
  if (*status != SV_OK) {
    consumer.end_attempt();
    return Outcome::kReturn;
  }
  // Results of any size stream in: the client's timeout bounds the answer's start.
  sv_engine_transfer_bounds bounds;
  bounds.stream = true;
  const CURLcode code =
      sv_engine_transfer_perform(attempt.curl, client, bounds, attempt.transfer.curl_error);
  if (attempt.transfer.aborted && error->code != 0) {
    *status = error->code;
  } else if (code != CURLE_OK) {
    if (attempt.upload.generator.error.code != 0) {
      *status = sv_engine_brindle_error_from_status(error, attempt.upload.generator.error.code,
                                                    &attempt.upload.generator.error,
                                                    "failed to generate query request body");
    } else {
      *status = sv_engine_set_curl_transport_error(error, code,
                                                   attempt.transfer.curl_error[0] != '\0'
                                                       ? attempt.transfer.curl_error
                                                       : curl_easy_strerror(code));
      // Nothing was answered, so nothing reached the consumer: the next endpoint may serve it.
      if (response->status == 0) {
        consumer.end_attempt();
        return Outcome::kTransportFailure;
      }
    }
  } else {
    long http_status = 0;
    curl_easy_getinfo(attempt.curl, CURLINFO_RESPONSE_CODE, &http_status);
    response->status = http_status;
    if (is_success(http_status)) {
      *status = consumer.finish(client, response, error);
    } else {
      *status = sv_engine_set_server_error_from_json(error, http_status, response->correlation_id,
                                                     attempt.transfer.error_body.data);
      if (*status == SV_ERR_SERVER && error->server_error_code != nullptr &&
          std::strcmp(error->server_error_code, "node_passive") == 0) {
        sv_engine_error_reset(error);
        consumer.end_attempt();
        return Outcome::kNextEndpoint;
      }
    }
  }
  consumer.end_attempt();
  return Outcome::kReturn;
}

}  // namespace

bool sv_engine_query_capture(const sv_engine_client *client, char **slot, const char *start,
                             const char *end) noexcept {
  char *copy = sv_engine_client_strdup_range(client, start, end);
  if (copy == nullptr) return false;
  sv_engine_client_free_alloc(client, *slot);
  *slot = copy;
  return true;
}

int sv_engine_query_stream_run(const sv_engine_client *client,
                               const sv_engine_query_request *request,
                               const sv_engine_query_body *body, QueryBodyConsumer &consumer,
                               sv_engine_query_stream_response *response,
                               sv_engine_error *error) noexcept {
  for (size_t index = 0; index < client->endpoint_count; ++index) {
    sv_engine_query_stream_response_cleanup(client, response);
    int status = SV_OK;
    const Outcome outcome = run_attempt(client, client->endpoints[index], request, body, consumer,
                                        response, error, &status);
    const bool last = index + 1 == client->endpoint_count;
    if (outcome == Outcome::kReturn || (outcome == Outcome::kTransportFailure && last)) {
      if (status != SV_OK) sv_engine_query_stream_response_cleanup(client, response);
      return status;
    }
    if (outcome == Outcome::kTransportFailure) sv_engine_error_reset(error);
  }
  sv_engine_query_stream_response_cleanup(client, response);
  return sv_engine_set_transport_error(error, "all endpoints rejected the streaming query request");
}
