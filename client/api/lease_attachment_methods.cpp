// The lease's attachment methods: the key identity comes from the handle; none of them changes
// the view.
#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

constexpr FailureEvents kPutEvents{"client.attachment.put.error",
                                   "client.attachment.put.transport_error", false};
constexpr FailureEvents kListEvents{"client.attachment.list.error",
                                    "client.attachment.list.transport_error", false};
constexpr FailureEvents kGetEvents{"client.attachment.get.error",
                                   "client.attachment.get.transport_error", false};
constexpr FailureEvents kDeleteEvents{"client.attachment.delete.error",
                                      "client.attachment.delete.transport_error", false};
constexpr FailureEvents kDeleteAllEvents{"client.attachment.delete_all.error",
                                         "client.attachment.delete_all.transport_error", false};

int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

const sv_engine_client *engine_of(const sv_lease_impl *lease) noexcept {
  return sv_client_impl_of(lease->client)->engine;
}

}  // namespace

int sv_lease_attach_method(sv_lease *self, const sv_attach_req *req, sv_source *src,
                           sv_attach_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || src == nullptr || out == nullptr) {
    return invalid(error, "lease attach requires self, req, src, and out");
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_str_field("name", req->name)};
  sv_log_trace(logger, "client.attachment.put.start", ids, 4);
  sv_engine_attach_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.name = req->name;
  request.content_type = req->content_type;
  request.max_bytes = req->max_bytes;
  request.has_max_bytes = req->max_bytes > 0 ? 1 : 0;
  request.prevent_overwrite = req->prevent_overwrite;
  struct {
    sv_source *source;
  } bridge{src};
  sv_engine_attach_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_attach_from(engine_of(lease), &request, sv_engine_read_bridge, &bridge,
                                   &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kPutEvents, ids, 4, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  int status = SV_OK;
  *out = sv_attach_res{};
  if (!sv_attachment_info_fill(&out->info, reply.id, reply.name, reply.size, reply.plaintext_sha256,
                               reply.content_type, reply.created_at_unix, reply.updated_at_unix)) {
    status = SV_ERR_NOMEM;
  } else {
    out->noop = reply.noop;
    out->version = reply.version;
    out->correlation_id = nullptr;
    if (reply.correlation_id != nullptr) {
      out->correlation_id = sv_strdup_local(reply.correlation_id);
      if (out->correlation_id == nullptr) {
        sv_attach_res_cleanup(out);
        status = SV_ERR_NOMEM;
      }
    }
  }
  if (status != SV_OK) {
    sv_engine_attach_response_cleanup(&reply);
    return sv_api_fail_local(logger, kPutEvents, ids, 4, status,
                             "failed to allocate attachment response", error);
  }
  const ember_field fields[] = {ids[0],
                                ids[1],
                                sv_log_str_field("name", reply.name),
                                sv_log_str_field("attachment_id", reply.id),
                                sv_log_bool_field("noop", reply.noop),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.put.success", fields, 6);
  sv_engine_attach_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_list_attachments_method(sv_lease *self, sv_attachment_list *out,
                                     sv_error *error) noexcept {
  if (self == nullptr || out == nullptr)
    return invalid(error, "list_attachments requires self and out");
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  sv_log_trace(logger, "client.attachment.list.start", ids, 3);
  sv_engine_list_attachments_request request{
      lease->namespace_name, lease->key, lease->lease_id, lease->txn_id, lease->fencing_token, 0};
  sv_engine_list_attachments_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_list_attachments(engine_of(lease), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kListEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (!sv_attachment_list_fill(out, reply)) {
    sv_engine_list_attachments_response_cleanup(&reply);
    return sv_api_fail_local(logger, kListEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate attachment list", error);
  }
  const ember_field fields[] = {ids[0], ids[1],
                                sv_log_u64_field("count", static_cast<uint64_t>(reply.count)),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.list.success", fields, 4);
  sv_engine_list_attachments_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_get_attachment_method(sv_lease *self, const sv_attachment_get_req *req, sv_sink *dst,
                                   sv_attachment_get_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || dst == nullptr || out == nullptr) {
    return invalid(error, "get_attachment requires self, req, dst, and out");
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_str_field("attachment_id", req->id),
      sv_log_str_field("name", req->name)};
  sv_log_trace(logger, "client.attachment.get.start", ids, 5);
  sv_engine_get_attachment_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.public_read = req->public_read;
  request.selector.id = req->id;
  request.selector.name = req->name;
  struct {
    sv_sink *sink;
  } bridge{dst};
  sv_engine_get_attachment_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_get_attachment_into(engine_of(lease), &request, sv_engine_write_bridge,
                                           &bridge, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kGetEvents, ids, 5, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_attachment_get_res{};
  bool copied =
      sv_attachment_info_fill(&out->info, reply.id, reply.name, reply.size, reply.plaintext_sha256,
                              reply.content_type, reply.created_at_unix, reply.updated_at_unix);
  out->correlation_id = nullptr;
  if (copied && reply.correlation_id != nullptr) {
    out->correlation_id = sv_strdup_local(reply.correlation_id);
    copied = out->correlation_id != nullptr;
  }
  if (!copied) {
    sv_attachment_get_res_cleanup(out);
    sv_engine_get_attachment_response_cleanup(&reply);
    return sv_api_fail_local(logger, kGetEvents, ids, 5, SV_ERR_NOMEM,
                             "failed to allocate attachment response", error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("attachment_id", reply.id),
                                sv_log_str_field("name", reply.name),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.get.success", fields, 5);
  sv_engine_get_attachment_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_delete_attachment_method(sv_lease *self, const sv_attachment_selector *selector,
                                      int32_t *deleted, sv_error *error) noexcept {
  if (self == nullptr || selector == nullptr || deleted == nullptr) {
    return invalid(error, "delete_attachment requires self, selector, and deleted");
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_str_field("attachment_id", selector->id),
      sv_log_str_field("name", selector->name)};
  sv_log_trace(logger, "client.attachment.delete.start", ids, 5);
  sv_engine_delete_attachment_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.selector.id = selector->id;
  request.selector.name = selector->name;
  sv_engine_delete_attachment_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_delete_attachment(engine_of(lease), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kDeleteEvents, ids, 5, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *deleted = reply.deleted;
  const ember_field fields[] = {ids[0], ids[1], sv_log_bool_field("deleted", reply.deleted),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.delete.success", fields, 4);
  sv_engine_delete_attachment_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_delete_all_attachments_method(sv_lease *self, int32_t *deleted_count,
                                           sv_error *error) noexcept {
  if (self == nullptr || deleted_count == nullptr) {
    return invalid(error, "delete_all_attachments requires self and deleted_count");
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  sv_log_trace(logger, "client.attachment.delete_all.start", ids, 3);
  sv_engine_delete_all_attachments_request request{
      lease->namespace_name, lease->key, lease->lease_id, lease->txn_id, lease->fencing_token};
  sv_engine_delete_all_attachments_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_delete_all_attachments(engine_of(lease), &request, &reply, &engine_error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kDeleteAllEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *deleted_count = reply.deleted;
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.attachment.delete_all.success", fields, 3);
  sv_engine_delete_all_attachments_response_cleanup(&reply);
  return SV_OK;
}
