// Writing a key's state from a reader: POST /v1/update with the reader's bytes, the lease and
// precondition headers, and the rewinding rules that let a body be sent again to another
// endpoint.
#include <cstddef>

#include "stavoc_numbers.h"
#include "stream_internal.h"

namespace {

struct UpdateReply {
  int64_t new_version;
  char *new_state_etag;
  int64_t bytes;
};

const brindle_field update_reply_fields[] = {
    BRINDLE_DECL_I64(UpdateReply, new_version, "new_version", 0),
    BRINDLE_DECL_STRING(UpdateReply, new_state_etag, "new_state_etag", 0),
    BRINDLE_DECL_I64(UpdateReply, bytes, "bytes", 0),
};

const brindle_map update_reply_map =
    BRINDLE_MAP("sv_engine_update_response_json", UpdateReply, update_reply_fields);

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

int check_arguments(const sv_engine_client *client, const sv_engine_update_request *request,
                    const sv_engine_update_response *response, sv_engine_error *error) {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->key) || !is_set(request->lease_id) || request->fencing_token <= 0) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "update_from requires client, request, response, error, key, lease_id, and fencing_token");
  }
  return SV_OK;
}

int refuse_single_shot(sv_engine_error *error) {
  return sv_engine_set_client_error(
      error, SV_ERR_INVALID, "multi-endpoint updates require sv_source-backed rewindable payloads");
}

curl_slist *build_headers(const sv_engine_update_request *request, sv_engine_error *error) {
  const char *content_type =
      is_set(request->content_type) ? request->content_type : "application/json";
  curl_slist *headers = sv_engine_build_stream_headers(
      content_type, "application/json", request->lease_id, request->txn_id, request->fencing_token);
  if (headers == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to build update_from headers");
    return nullptr;
  }
  if (is_set(request->if_state_etag) &&
      sv_engine_append_header(&headers, "X-If-State-ETag", request->if_state_etag) == 0) {
    curl_slist_free_all(headers);
    sv_engine_set_client_error(error, SV_ERR_NOMEM,
                               "failed to append update_from if_state_etag header");
    return nullptr;
  }
  if (request->has_if_version != 0) {
    char version[32];
    if (sv_i64_format_base10(request->if_version, version, sizeof(version)) < 0 ||
        sv_engine_append_header(&headers, "X-If-Version", version) == 0) {
      curl_slist_free_all(headers);
      sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                 "failed to append update_from if_version header");
      return nullptr;
    }
  }
  return headers;
}

int copy_reply(const UpdateReply &reply, const sv_engine_stream_state &state,
               sv_engine_update_response *response, sv_engine_error *error) {
  response->new_version = reply.new_version;
  response->bytes = reply.bytes;
  if (!sv_engine_copy_optional(&response->new_state_etag, reply.new_state_etag)) {
    sv_engine_update_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy update response");
  }
  if (!sv_engine_copy_optional(&response->correlation_id, state.correlation_id)) {
    sv_engine_update_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate update_from correlation id");
  }
  return SV_OK;
}

int send_update(const sv_engine_client *client, const sv_engine_update_request *request,
                sv_engine_reader_fn reader, void *reader_context, sv_engine_reset_fn reset,
                void *reset_context, sv_engine_update_response *response, sv_engine_error *error) {
  if (sv_engine_check_header_values(
          {request->content_type, request->lease_id, request->txn_id, request->if_state_etag},
          error) != SV_OK) {
    return SV_ERR_INVALID;
  }
  sv_engine_update_response_cleanup(response);
  StreamCall call;
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/update", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, nullptr, 0, nullptr, nullptr, 0, 0, 0, &call.error);
  curl_slist *headers = status == SV_OK ? build_headers(request, &call.error) : nullptr;
  if (status == SV_OK && headers == nullptr) status = call.error.code;
  if (status == SV_OK) {
    // Without a reader the body is empty, still sent as a (zero-length) upload.
    if (reader == nullptr) {
      reader = sv_engine_empty_reader;
      reader_context = nullptr;
      reset = nullptr;
    }
    UpdateReply reply{};
    status =
        sv_engine_perform_streaming(client, "POST", path.data, headers, reader, reader_context,
                                    reset, reset_context, &update_reply_map, &reply, &call.state);
    if (status == SV_OK) status = copy_reply(reply, call.state, response, &call.error);
    brindle_cleanup(&update_reply_map, &reply);
  }
  sv_engine_buffer_cleanup(&path);
  return call.finish(status, error);
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_update_from(const sv_engine_client *client,
                                        const sv_engine_update_request *request,
                                        sv_engine_reader_fn reader, void *reader_context,
                                        sv_engine_update_response *response,
                                        sv_engine_error *error) noexcept {
  int status = check_arguments(client, request, response, error);
  if (status != SV_OK) return status;
  if (client->endpoint_count >= 2 && reader != nullptr) {
    // A body sent again to another endpoint must start from its first byte; only a source
    // behind the public read bridge can be rewound.
    if (!sv_engine_is_source_read_bridge(reader)) return refuse_single_shot(error);
    status = sv_engine_check_rewindable_bridge(reader_context, error);
    if (status != SV_OK) return status;
  }
  const sv_engine_reset_fn reset = sv_engine_source_reset_for(reader);
  return send_update(client, request, reader, reader_context, reset, reader_context, response,
                     error);
}

SV_API int sv_engine_client_update_from_with_reset(const sv_engine_client *client,
                                                   const sv_engine_update_request *request,
                                                   sv_engine_reader_fn reader, void *reader_context,
                                                   sv_engine_reset_fn reset, void *reset_context,
                                                   sv_engine_update_response *response,
                                                   sv_engine_error *error) noexcept {
  int status = check_arguments(client, request, response, error);
  if (status != SV_OK) return status;
  if (client->endpoint_count >= 2 && reader != nullptr && reset == nullptr) {
    return refuse_single_shot(error);
  }
  return send_update(client, request, reader, reader_context, reset, reset_context, response,
                     error);
}

}  // extern "C"
