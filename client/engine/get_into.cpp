// Reading a key's state: get_into streams the body to the caller's writer; get collects it in
// memory through get_into.
#include <cstdlib>
#include <cstring>

#include "stream_internal.h"

namespace {

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

int capture_body(void *context, const char *bytes, size_t length, sv_engine_error *error) {
  auto *buffer = static_cast<sv_engine_buffer *>(context);
  if (buffer == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing body capture state");
    return 0;
  }
  if (sv_engine_buffer_append(buffer, bytes, length) != SV_OK) {
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to capture response body");
    return 0;
  }
  return 1;
}

// The state and headers of the answer into the response.
int fill_response(const sv_engine_stream_state &state, sv_engine_get_stream_response *response,
                  sv_engine_error *error) {
  response->no_content = state.status == 204 ? 1 : 0;
  response->key_version = state.key_version;
  response->fencing_token = state.fencing_token;
  if (!sv_engine_copy_optional(&response->content_type, state.content_type) ||
      !sv_engine_copy_optional(&response->etag, state.etag) ||
      !sv_engine_copy_optional(&response->correlation_id, state.correlation_id)) {
    sv_engine_get_stream_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to capture get response metadata");
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API void sv_engine_get_stream_response_cleanup(
    sv_engine_get_stream_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->content_type);
  sv_engine_free_string(&response->etag);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_get_stream_response{};
}

SV_API int sv_engine_client_get_into(const sv_engine_client *client,
                                     const sv_engine_get_request *request,
                                     sv_engine_writer_fn writer, void *writer_context,
                                     sv_engine_get_stream_response *response,
                                     sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || writer == nullptr || response == nullptr ||
      error == nullptr || !is_set(request->key)) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "get_into requires client, request, writer, response, error, and key");
  }
  if (request->public_read == 0 && !is_set(request->lease_id)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get_into requires lease_id unless public_read is enabled");
  }
  if (sv_engine_check_header_values({request->lease_id}, error) != SV_OK) return SV_ERR_INVALID;
  sv_engine_get_stream_response_cleanup(response);
  StreamCall call(writer, writer_context);
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/get", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, nullptr, request->public_read, nullptr, nullptr, 0, 0, 0, &call.error);
  if (status == SV_OK) {
    curl_slist *headers = sv_engine_build_stream_headers(
        nullptr, "application/json", request->lease_id, nullptr, request->fencing_token);
    if (headers == nullptr) {
      status =
          sv_engine_set_client_error(&call.error, SV_ERR_NOMEM, "failed to build get_into headers");
    } else {
      status = sv_engine_perform_streaming(client, "GET", path.data, headers, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, &call.state);
    }
  }
  sv_engine_buffer_cleanup(&path);
  if (status == SV_OK) status = fill_response(call.state, response, &call.error);
  return call.finish(status, error);
}

SV_API int sv_engine_client_get(const sv_engine_client *client,
                                const sv_engine_get_request *request,
                                sv_engine_get_response *response, sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client, request, and response are required");
  }
  if (!is_set(request->key)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "get.key is required");
  }
  if (request->public_read == 0 && !is_set(request->lease_id)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get requires lease_id unless public_read is enabled");
  }
  sv_engine_get_response_cleanup(response);
  sv_engine_error local;
  sv_engine_error_init(&local);
  sv_engine_error *record = error != nullptr ? error : &local;
  sv_engine_buffer body{};
  sv_engine_get_stream_response stream{};
  int status = sv_engine_client_get_into(client, request, capture_body, &body, &stream, record);
  if (status == SV_OK) {
    const char *content_type =
        stream.content_type != nullptr ? stream.content_type : "application/octet-stream";
    if (!sv_engine_copy_optional(&response->content_type, content_type) ||
        !sv_engine_copy_optional(&response->etag, stream.etag) ||
        !sv_engine_copy_optional(&response->correlation_id, stream.correlation_id)) {
      sv_engine_get_response_cleanup(response);
      status = sv_engine_set_client_error(record, SV_ERR_NOMEM, "failed to copy get response");
    } else {
      response->key_version = stream.key_version;
      response->fencing_token = stream.fencing_token;
      if (stream.no_content == 0 && body.length > 0) {
        // The captured buffer becomes the body: no second copy of a large state.
        response->body = body.data;
        response->body_length = body.length;
        body = sv_engine_buffer{};
      }
    }
  }
  sv_engine_buffer_cleanup(&body);
  sv_engine_get_stream_response_cleanup(&stream);
  sv_engine_error_reset(&local);
  return status;
}

}  // extern "C"
