// Attachment uploads and downloads: the bytes stream between the caller's reader or writer and
// the server; the description of a download comes from the answer's headers.
#include "attachments_internal.h"

namespace {

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

int fill_download(const sv_engine_stream_state &state, sv_engine_get_attachment_response *response,
                  sv_engine_error *error) {
  response->size = state.attachment_size;
  response->created_at_unix = state.attachment_created_at;
  response->updated_at_unix = state.attachment_updated_at;
  if (!sv_engine_copy_optional(&response->id, state.attachment_id) ||
      !sv_engine_copy_optional(&response->name, state.attachment_name) ||
      !sv_engine_copy_optional(&response->plaintext_sha256, state.attachment_sha256) ||
      !sv_engine_copy_optional(&response->content_type, state.content_type)) {
    sv_engine_get_attachment_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate attachment headers");
  }
  if (!sv_engine_copy_optional(&response->correlation_id, state.correlation_id)) {
    sv_engine_get_attachment_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate attachment correlation id");
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_attach_from(const sv_engine_client *client,
                                        const sv_engine_attach_request *request,
                                        sv_engine_reader_fn reader, void *reader_context,
                                        sv_engine_attach_response *response,
                                        sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || reader == nullptr || response == nullptr ||
      error == nullptr || !is_set(request->key) || !is_set(request->name) ||
      !is_set(request->lease_id) || !is_set(request->txn_id)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "attach_from requires client, request, reader, response, "
                                      "error, key, name, lease_id, and txn_id");
  }
  if (sv_engine_check_header_values({request->content_type, request->lease_id, request->txn_id},
                                    error) != SV_OK) {
    return SV_ERR_INVALID;
  }
  sv_engine_attach_response_cleanup(response);
  StreamCall call;
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/attachments", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, nullptr, 0, request->name, request->content_type, request->prevent_overwrite,
      request->max_bytes, request->has_max_bytes, &call.error);
  if (status == SV_OK) {
    const char *content_type =
        is_set(request->content_type) ? request->content_type : "application/octet-stream";
    curl_slist *headers =
        sv_engine_build_stream_headers(content_type, "application/json", request->lease_id,
                                       request->txn_id, request->fencing_token);
    if (headers == nullptr) {
      status = sv_engine_set_client_error(&call.error, SV_ERR_NOMEM,
                                          "failed to build attach_from headers");
    } else {
      AttachReply reply{};
      status =
          sv_engine_perform_streaming(client, "POST", path.data, headers, reader, reader_context,
                                      sv_engine_source_reset_for(reader), reader_context,
                                      &sv_engine_attach_reply_map, &reply, &call.state);
      if (status == SV_OK) {
        status =
            sv_engine_copy_attach_reply(reply, call.state.correlation_id, response, &call.error);
      }
      brindle_cleanup(&sv_engine_attach_reply_map, &reply);
    }
  }
  sv_engine_buffer_cleanup(&path);
  return call.finish(status, error);
}

SV_API int sv_engine_client_get_attachment_into(const sv_engine_client *client,
                                                const sv_engine_get_attachment_request *request,
                                                sv_engine_writer_fn writer, void *writer_context,
                                                sv_engine_get_attachment_response *response,
                                                sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || writer == nullptr || response == nullptr ||
      error == nullptr || !is_set(request->key)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get_attachment_into requires client, request, writer, "
                                      "response, error, and key");
  }
  if (!is_set(request->selector.id) && !is_set(request->selector.name)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get_attachment_into requires selector id or name");
  }
  if (request->public_read == 0 && (!is_set(request->lease_id) || !is_set(request->txn_id))) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "get_attachment_into requires lease_id and txn_id unless public_read is enabled");
  }
  if (sv_engine_check_header_values({request->lease_id, request->txn_id}, error) != SV_OK) {
    return SV_ERR_INVALID;
  }
  sv_engine_get_attachment_response_cleanup(response);
  StreamCall call(writer, writer_context);
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/attachment", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, &request->selector, request->public_read, nullptr, nullptr, 0, 0, 0,
      &call.error);
  if (status == SV_OK) {
    curl_slist *headers =
        sv_engine_build_stream_headers(nullptr, "application/octet-stream", request->lease_id,
                                       request->txn_id, request->fencing_token);
    if (headers == nullptr) {
      status = sv_engine_set_client_error(&call.error, SV_ERR_NOMEM,
                                          "failed to build get_attachment_into headers");
    } else {
      status = sv_engine_perform_streaming(client, "GET", path.data, headers, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, &call.state);
    }
  }
  sv_engine_buffer_cleanup(&path);
  if (status == SV_OK) status = fill_download(call.state, response, &call.error);
  return call.finish(status, error);
}

}  // extern "C"
