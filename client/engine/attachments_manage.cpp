// Listing and deleting attachments: plain JSON exchanges (no body to stream) with the lease
// headers.
#include <cstdlib>

#include "attachments_internal.h"
#include "stavoc_numbers.h"

namespace {

struct DeleteReply {
  int32_t deleted;
  int64_t version;
};

const brindle_field delete_reply_fields[] = {
    BRINDLE_DECL_BOOL(DeleteReply, deleted, "deleted", 0),
    BRINDLE_DECL_I64(DeleteReply, version, "version", 0),
};
const brindle_map delete_reply_map =
    BRINDLE_MAP("sv_engine_delete_attachment_response_json", DeleteReply, delete_reply_fields);

struct DeleteAllReply {
  int64_t deleted;
  int64_t version;
};

const brindle_field delete_all_reply_fields[] = {
    BRINDLE_DECL_I64(DeleteAllReply, deleted, "deleted", 0),
    BRINDLE_DECL_I64(DeleteAllReply, version, "version", 0),
};
const brindle_map delete_all_reply_map = BRINDLE_MAP(
    "sv_engine_delete_all_attachments_response_json", DeleteAllReply, delete_all_reply_fields);

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

// The lease headers of list and delete; X-Fencing-Token only when the token is given.
struct LeaseHeaders {
  sv_engine_header items[3]{};
  size_t count = 0;
  char token[32]{};
  LeaseHeaders(const char *lease_id, const char *txn_id, int64_t fencing_token) {
    items[count++] = {"X-Lease-ID", lease_id};
    items[count++] = {"X-Txn-ID", txn_id};
    if (fencing_token > 0 && sv_i64_format_base10(fencing_token, token, sizeof(token)) > 0) {
      items[count++] = {"X-Fencing-Token", token};
    }
  }
};

// One JSON exchange into reply; a non-2xx answer becomes the server error.
int exchange(const sv_engine_client *client, const char *method, const sv_engine_buffer &path,
             const LeaseHeaders *headers, const brindle_map *map, void *reply,
             sv_engine_http_result *result, sv_engine_error *error) {
  int status = sv_engine_http_json_request(
      client, method, path.data, nullptr, 0, headers != nullptr ? headers->items : nullptr,
      headers != nullptr ? headers->count : 0, map, reply, result, error);
  if (status == SV_OK && (result->status < 200 || result->status > 299)) {
    status = sv_engine_set_server_error_from_result(error, result);
  }
  return status;
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_list_attachments(const sv_engine_client *client,
                                             const sv_engine_list_attachments_request *request,
                                             sv_engine_list_attachments_response *response,
                                             sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->key)) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "list_attachments requires client, request, response, error, and key");
  }
  if (request->public_read == 0 && (!is_set(request->lease_id) || !is_set(request->txn_id))) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "list_attachments requires lease_id and txn_id unless public_read is enabled");
  }
  sv_engine_list_attachments_response_cleanup(response);
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/attachments", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, nullptr, request->public_read, nullptr, nullptr, 0, 0, 0, error);
  if (status == SV_OK) {
    const LeaseHeaders headers(request->lease_id, request->txn_id,
                               request->fencing_token >= 1 ? request->fencing_token : 0);
    ListAttachmentsReply reply{};
    sv_engine_http_result result{};
    status = exchange(client, "GET", path, request->public_read != 0 ? nullptr : &headers,
                      &sv_engine_list_attachments_reply_map, &reply, &result, error);
    if (status == SV_OK) {
      status = sv_engine_copy_list_attachments_reply(reply, result.correlation_id, response, error);
    }
    brindle_cleanup(&sv_engine_list_attachments_reply_map, &reply);
    sv_engine_http_result_cleanup(&result);
  }
  sv_engine_buffer_cleanup(&path);
  return status;
}

SV_API int sv_engine_client_delete_attachment(const sv_engine_client *client,
                                              const sv_engine_delete_attachment_request *request,
                                              sv_engine_delete_attachment_response *response,
                                              sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->key) || !is_set(request->lease_id) || !is_set(request->txn_id)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "delete_attachment requires client, request, response, "
                                      "error, key, lease_id, and txn_id");
  }
  sv_engine_delete_attachment_response_cleanup(response);
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/attachment", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, &request->selector, 0, nullptr, nullptr, 0, 0, 0, error);
  if (status == SV_OK) {
    const LeaseHeaders headers(request->lease_id, request->txn_id, request->fencing_token);
    DeleteReply reply{};
    sv_engine_http_result result{};
    status = exchange(client, "DELETE", path, &headers, &delete_reply_map, &reply, &result, error);
    if (status == SV_OK) {
      response->deleted = reply.deleted;
      response->version = reply.version;
      if (!sv_engine_copy_optional(&response->correlation_id, result.correlation_id)) {
        sv_engine_delete_attachment_response_cleanup(response);
        status =
            sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate correlation id");
      }
    }
    brindle_cleanup(&delete_reply_map, &reply);
    sv_engine_http_result_cleanup(&result);
  }
  sv_engine_buffer_cleanup(&path);
  return status;
}

SV_API int sv_engine_client_delete_all_attachments(
    const sv_engine_client *client, const sv_engine_delete_all_attachments_request *request,
    sv_engine_delete_all_attachments_response *response, sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->key) || !is_set(request->lease_id) || !is_set(request->txn_id)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "delete_all_attachments requires client, request, "
                                      "response, error, key, lease_id, and txn_id");
  }
  sv_engine_delete_all_attachments_response_cleanup(response);
  sv_engine_buffer path{};
  int status = sv_engine_attachment_build_query(
      &path, "/v1/attachments", sv_engine_effective_namespace(client, request->namespace_name),
      request->key, nullptr, 0, nullptr, nullptr, 0, 0, 0, error);
  if (status == SV_OK) {
    const LeaseHeaders headers(request->lease_id, request->txn_id, request->fencing_token);
    DeleteAllReply reply{};
    sv_engine_http_result result{};
    status =
        exchange(client, "DELETE", path, &headers, &delete_all_reply_map, &reply, &result, error);
    if (status == SV_OK) {
      if (reply.deleted < INT32_MIN || reply.deleted > INT32_MAX) {
        status =
            sv_engine_set_protocol_error(error, "delete attachments deleted count is out of range");
      } else {
        response->deleted = static_cast<int32_t>(reply.deleted);
        response->version = reply.version;
        if (!sv_engine_copy_optional(&response->correlation_id, result.correlation_id)) {
          sv_engine_delete_all_attachments_response_cleanup(response);
          status =
              sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate correlation id");
        }
      }
    }
    brindle_cleanup(&delete_all_reply_map, &reply);
    sv_engine_http_result_cleanup(&result);
  }
  sv_engine_buffer_cleanup(&path);
  return status;
}

}  // extern "C"
