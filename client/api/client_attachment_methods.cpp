// The client's attachment operations: the key identity comes from the caller's request.
#include "../engine/sv_log.h"
#include "lease_internal.h"
#include "name_check.h"

namespace {

constexpr FailureEvents kAttachEvents{"client.attachment.attach.error", nullptr, false};
constexpr FailureEvents kListEvents{"client.attachment.list.error", nullptr, false};
constexpr FailureEvents kGetEvents{"client.attachment.get.error", nullptr, false};
constexpr FailureEvents kDeleteEvents{"client.attachment.delete.error", nullptr, false};
constexpr FailureEvents kDeleteAllEvents{"client.attachment.delete_all.error", nullptr, false};

int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

const sv_engine_client *engine_of(const sv_client *client) noexcept {
  return sv_client_impl_of(client)->engine;
}

bool copy_correlation(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_strdup_local(text);
  return *slot != nullptr;
}

}  // namespace

int sv_client_attach_method(sv_client *self, const sv_attach_op *req, sv_source *src,
                            sv_attach_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || src == nullptr || out == nullptr) {
    return invalid(error, "attach requires self, req, src, and out");
  }
  if (const int status = sv_names::check_key_request(error, "attach", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("name", req->name)};
  sv_log_trace(logger, "client.attachment.attach.start", ids, 2);
  sv_engine_attach_request request{
      req->namespace_name,   req->key,           req->lease_id,
      req->txn_id,           req->fencing_token, req->name,
      req->content_type,     req->max_bytes,     req->max_bytes > 0 ? 1 : 0,
      req->prevent_overwrite};
  struct {
    sv_source *source;
  } bridge{src};
  sv_engine_attach_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_attach_from(engine_of(self), &request, sv_engine_read_bridge, &bridge,
                                   &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kAttachEvents, ids, 2, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_attach_res{};
  out->noop = reply.noop;
  out->version = reply.version;
  const bool copied =
      sv_attachment_info_fill(&out->info, reply.id, reply.name, reply.size, reply.plaintext_sha256,
                              reply.content_type, reply.created_at_unix, reply.updated_at_unix) &&
      copy_correlation(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_attach_res_cleanup(out);
    sv_engine_attach_response_cleanup(&reply);
    return sv_api_fail_local(logger, kAttachEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate attachment response", error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("attachment_id", reply.id),
                                sv_log_bool_field("noop", reply.noop),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.attach.success", fields, 5);
  sv_engine_attach_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_list_attachments_method(sv_client *self, const sv_attachment_list_req *req,
                                      sv_attachment_list *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "list_attachments requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "list_attachments", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key)};
  sv_log_trace(logger, "client.attachment.list.start", ids, 1);
  sv_engine_list_attachments_request request{req->namespace_name, req->key,
                                             req->lease_id,       req->txn_id,
                                             req->fencing_token,  req->public_read};
  sv_engine_list_attachments_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_list_attachments(engine_of(self), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kListEvents, ids, 1, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (!sv_attachment_list_fill(out, reply)) {
    sv_engine_list_attachments_response_cleanup(&reply);
    return sv_api_fail_local(logger, kListEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate attachment list", error);
  }
  const ember_field fields[] = {ids[0],
                                sv_log_u64_field("count", static_cast<uint64_t>(reply.count)),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.list.success", fields, 3);
  sv_engine_list_attachments_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_get_attachment_method(sv_client *self, const sv_attachment_get_op *req, sv_sink *dst,
                                    sv_attachment_get_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || dst == nullptr || out == nullptr) {
    return invalid(error, "get_attachment requires self, req, dst, and out");
  }
  if (const int status = sv_names::check_key_request(error, "get_attachment", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("attachment_id", req->selector.id),
                             sv_log_str_field("name", req->selector.name)};
  sv_log_trace(logger, "client.attachment.get.start", ids, 3);
  sv_engine_get_attachment_request request{};
  request.namespace_name = req->namespace_name;
  request.key = req->key;
  request.lease_id = req->lease_id;
  request.txn_id = req->txn_id;
  request.fencing_token = req->fencing_token;
  request.public_read = req->public_read;
  request.selector.id = req->selector.id;
  request.selector.name = req->selector.name;
  struct {
    sv_sink *sink;
  } bridge{dst};
  sv_engine_get_attachment_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_get_attachment_into(engine_of(self), &request, sv_engine_write_bridge,
                                           &bridge, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kGetEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_attachment_get_res{};
  const bool copied =
      sv_attachment_info_fill(&out->info, reply.id, reply.name, reply.size, reply.plaintext_sha256,
                              reply.content_type, reply.created_at_unix, reply.updated_at_unix) &&
      copy_correlation(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_attachment_get_res_cleanup(out);
    sv_engine_get_attachment_response_cleanup(&reply);
    return sv_api_fail_local(logger, kGetEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate attachment response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_str_field("attachment_id", reply.id),
                                sv_log_str_field("name", reply.name),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.get.success", fields, 4);
  sv_engine_get_attachment_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_delete_attachment_method(sv_client *self, const sv_attachment_delete_op *req,
                                       int32_t *deleted, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || deleted == nullptr) {
    return invalid(error, "delete_attachment requires self, req, and deleted");
  }
  if (const int status = sv_names::check_key_request(error, "delete_attachment", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("attachment_id", req->selector.id),
                             sv_log_str_field("name", req->selector.name)};
  sv_log_trace(logger, "client.attachment.delete.start", ids, 3);
  sv_engine_delete_attachment_request request{};
  request.namespace_name = req->namespace_name;
  request.key = req->key;
  request.lease_id = req->lease_id;
  request.txn_id = req->txn_id;
  request.fencing_token = req->fencing_token;
  request.selector.id = req->selector.id;
  request.selector.name = req->selector.name;
  sv_engine_delete_attachment_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_delete_attachment(engine_of(self), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kDeleteEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *deleted = reply.deleted;
  const ember_field fields[] = {ids[0], sv_log_bool_field("deleted", reply.deleted),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.delete.success", fields, 3);
  sv_engine_delete_attachment_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_delete_all_attachments_method(sv_client *self, const sv_attachment_delete_all_op *req,
                                            int32_t *deleted_count, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || deleted_count == nullptr) {
    return invalid(error, "delete_all_attachments requires self, req, and deleted_count");
  }
  if (const int status = sv_names::check_key_request(error, "delete_all_attachments", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key)};
  sv_log_trace(logger, "client.attachment.delete_all.start", ids, 1);
  sv_engine_delete_all_attachments_request request{req->namespace_name, req->key, req->lease_id,
                                                   req->txn_id, req->fencing_token};
  sv_engine_delete_all_attachments_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_delete_all_attachments(engine_of(self), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kDeleteAllEvents, ids, 1, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *deleted_count = reply.deleted;
  const ember_field fields[] = {ids[0], sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.delete_all.success", fields, 2);
  sv_engine_delete_all_attachments_response_cleanup(&reply);
  return SV_OK;
}
