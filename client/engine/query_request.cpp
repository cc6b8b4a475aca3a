// The query request: its JSON body, the URL of the streaming forms, the plain typed query and the
// cleanup of both query response records.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "query_internal.h"

namespace {

const brindle_field query_body_fields[] = {
    BRINDLE_DECL_STRING(sv_engine_query_body, namespace_name, "namespace", 0),
    BRINDLE_DECL_JSON_VALUE(sv_engine_query_body, selector, "selector", 0),
    BRINDLE_DECL_PRESENT(sv_engine_query_body, limit, "limit", BRINDLE_FIELD_I64, 0, has_limit),
    BRINDLE_DECL_STRING(sv_engine_query_body, cursor, "cursor", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_JSON_VALUE(sv_engine_query_body, fields, "fields", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_STRING(sv_engine_query_body, return_mode, "return", BRINDLE_FIELD_OMIT_NULL),
};

// The JSON answer of the plain query.
struct QueryAnswer {
  char *cursor;
  int64_t index_seq;
};

const brindle_field query_answer_fields[] = {
    BRINDLE_DECL_STRING(QueryAnswer, cursor, "cursor", 0),
    BRINDLE_DECL_I64(QueryAnswer, index_seq, "index_seq", 0),
};

const brindle_map query_answer_map =
    BRINDLE_MAP("sv_engine_query_response_json", QueryAnswer, query_answer_fields);

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

// Embeds the caller's JSON text: stored compact, so a malformed document fails here, before
// anything is sent, as the caller's mistake with the offset of the fault in the detail.
int attach_document(brindle_json_value *value, const char *text, const char *message,
                    sv_engine_error *error) {
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status status =
      brindle_json_value_set_buffer(value, text, std::strlen(text), &parse_error);
  if (status == BRINDLE_OK || status == BRINDLE_ALLOCATION_FAILED) {
    return sv_engine_brindle_error_from_status(error, status, &parse_error, message);
  }
  const int code = sv_engine_set_client_error(error, SV_ERR_INVALID, message);
  char detail[sizeof parse_error.message + 48];
  std::snprintf(detail, sizeof detail, "offset %zu: %s", parse_error.offset,
                parse_error.message[0] != '\0' ? parse_error.message : "malformed JSON");
  sv_engine_replace_string(&error->detail, detail);
  return code;
}

// Appends "<separator>name=<encoded value>".
int append_parameter(sv_engine_buffer *url, char separator, const char *name, const char *value) {
  char *encoded = sv_engine_url_encode(value);
  if (encoded == nullptr) return SV_ERR_NOMEM;
  const char prefix[2] = {separator, '\0'};
  int status = sv_engine_buffer_append_cstr(url, prefix);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(url, name);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(url, "=");
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(url, encoded);
  std::free(encoded);
  return status;
}

}  // namespace

const brindle_map sv_engine_query_body_map =
    BRINDLE_MAP("sv_engine_query_body_json", sv_engine_query_body, query_body_fields);

int sv_engine_query_body_prepare(const sv_engine_client *client,
                                 const sv_engine_query_request *request, bool keys,
                                 sv_engine_query_body *body, sv_engine_error *error) noexcept {
  *body = sv_engine_query_body{};
  brindle_init(&sv_engine_query_body_map, body);
  body->namespace_name = sv_engine_effective_namespace(client, request->namespace_name);
  int status = attach_document(&body->selector, request->selector_json,
                               "failed to configure query selector", error);
  if (status == SV_OK && is_set(request->fields_json)) {
    status = attach_document(&body->fields, request->fields_json,
                             "failed to configure query fields", error);
  }
  if (status != SV_OK) {
    sv_engine_query_body_cleanup(body);
    return status;
  }
  body->limit = request->limit;
  body->has_limit = request->limit >= 1 ? 1 : 0;
  body->cursor = is_set(request->cursor) ? request->cursor : nullptr;
  body->return_mode =
      keys ? "keys" : (is_set(request->return_mode) ? request->return_mode : nullptr);
  return SV_OK;
}

void sv_engine_query_body_cleanup(sv_engine_query_body *body) noexcept {
  if (body == nullptr) return;
  brindle_json_value_cleanup(&body->selector);
  brindle_json_value_cleanup(&body->fields);
}

extern "C" {

SV_API void sv_engine_query_response_cleanup(sv_engine_query_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->cursor);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_query_response{};
}

SV_API void sv_engine_query_stream_response_cleanup(
    const sv_engine_client *client, sv_engine_query_stream_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_client_free_alloc(client, response->cursor);
  sv_engine_client_free_alloc(client, response->correlation_id);
  sv_engine_client_free_alloc(client, response->metadata);
  sv_engine_client_free_alloc(client, response->return_mode);
  *response = sv_engine_query_stream_response{};
}

SV_API char *sv_engine_query_url(const sv_engine_client *client, const char *endpoint,
                                 const sv_engine_query_request *request) noexcept {
  if (client == nullptr || endpoint == nullptr || request == nullptr) return nullptr;
  sv_engine_buffer url{};
  int status = sv_engine_build_url(client, endpoint, "/v1/query", &url);
  const bool engine = is_set(request->engine);
  if (status == SV_OK && engine) status = append_parameter(&url, '?', "engine", request->engine);
  if (status == SV_OK && is_set(request->refresh)) {
    status = append_parameter(&url, engine ? '&' : '?', "refresh", request->refresh);
  }
  if (status != SV_OK) {
    sv_engine_buffer_cleanup(&url);
    return nullptr;
  }
  return url.data;  // the buffer's bytes come from malloc
}

SV_API int sv_engine_client_query(const sv_engine_client *client,
                                  const sv_engine_query_request *request,
                                  sv_engine_query_response *response,
                                  sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client, request, and response are required");
  }
  sv_engine_query_response_cleanup(response);
  if (!is_set(request->selector_json)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "query requires selector_json");
  }
  sv_engine_query_body body;
  int status = sv_engine_query_body_prepare(client, request, false, &body, error);
  if (status != SV_OK) return status;
  const sv_engine_header headers[] = {{"Content-Type", "application/json"}};
  QueryAnswer answer{};
  sv_engine_http_result result;
  sv_engine_http_result_init(&result);
  status = sv_engine_http_json_request_stream(client, "POST", "/v1/query",
                                              &sv_engine_query_body_map, &body, nullptr, headers, 1,
                                              &query_answer_map, &answer, &result, error);
  sv_engine_query_body_cleanup(&body);
  if (status == SV_OK && result.status != 200) {
    status = sv_engine_set_server_error_from_result(error, &result);
  } else if (status == SV_OK) {
    response->index_seq = answer.index_seq;
    if (!sv_engine_replace_string(&response->cursor, answer.cursor) ||
        !sv_engine_replace_string(&response->correlation_id, result.correlation_id)) {
      sv_engine_query_response_cleanup(response);
      status = sv_engine_set_protocol_error(error, "failed to decode query response");
    }
  }
  brindle_cleanup(&query_answer_map, &answer);
  sv_engine_http_result_cleanup(&result);
  return status;
}

}  // extern "C"
