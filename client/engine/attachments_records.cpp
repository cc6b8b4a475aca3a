// Attachment records: the wire maps of the attach and list answers, the copies into the
// caller's records, their cleanups and the two parse functions for answers already in memory.
#include <cstdlib>

#include "attachments_internal.h"
#include "brindle_io.h"

namespace {

const brindle_field attachment_info_fields[] = {
    BRINDLE_DECL_STRING(sv_engine_attachment_info, id, "id", 0),
    BRINDLE_DECL_STRING(sv_engine_attachment_info, name, "name", 0),
    BRINDLE_DECL_I64(sv_engine_attachment_info, size, "size", 0),
    BRINDLE_DECL_STRING(sv_engine_attachment_info, plaintext_sha256, "plaintext_sha256", 0),
    BRINDLE_DECL_STRING(sv_engine_attachment_info, content_type, "content_type", 0),
    BRINDLE_DECL_I64(sv_engine_attachment_info, created_at_unix, "created_at_unix", 0),
    BRINDLE_DECL_I64(sv_engine_attachment_info, updated_at_unix, "updated_at_unix", 0),
};

const brindle_map attachment_info_map = BRINDLE_MAP(
    "sv_engine_attachment_info_json", sv_engine_attachment_info, attachment_info_fields);

const brindle_field attach_reply_fields[] = {
    BRINDLE_DECL_OBJECT(AttachReply, attachment, "attachment", 0, &attachment_info_map),
    BRINDLE_DECL_BOOL(AttachReply, noop, "noop", 0),
    BRINDLE_DECL_I64(AttachReply, version, "version", 0),
};

const brindle_field list_reply_fields[] = {
    BRINDLE_DECL_STRING(ListAttachmentsReply, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(ListAttachmentsReply, key, "key", 0),
    BRINDLE_DECL_OBJECT_ARRAY(ListAttachmentsReply, attachments, "attachments", 0,
                              &attachment_info_map, sv_engine_attachment_info),
};

// Copies the strings and numbers of one description; false when a copy fails (the target then
// holds what was copied, for its cleanup).
bool copy_info(const sv_engine_attachment_info &from, sv_engine_attachment_info *to) {
  to->size = from.size;
  to->created_at_unix = from.created_at_unix;
  to->updated_at_unix = from.updated_at_unix;
  return sv_engine_copy_optional(&to->id, from.id) &&
         sv_engine_copy_optional(&to->name, from.name) &&
         sv_engine_copy_optional(&to->plaintext_sha256, from.plaintext_sha256) &&
         sv_engine_copy_optional(&to->content_type, from.content_type);
}

int parse_failure(sv_engine_error *error, brindle_status status, const brindle_error &parse_error,
                  const char *message) {
  return sv_engine_brindle_error_from_status(error, status, &parse_error, message);
}

}  // namespace

const brindle_map sv_engine_attach_reply_map =
    BRINDLE_MAP("sv_engine_attach_response_json", AttachReply, attach_reply_fields);
const brindle_map sv_engine_list_attachments_reply_map = BRINDLE_MAP(
    "sv_engine_list_attachments_response_json", ListAttachmentsReply, list_reply_fields);

int sv_engine_copy_attach_reply(const AttachReply &reply, const char *correlation_id,
                                sv_engine_attach_response *response,
                                sv_engine_error *error) noexcept {
  sv_engine_attach_response_cleanup(response);
  sv_engine_attachment_info info{};
  const bool copied = copy_info(reply.attachment, &info);
  response->id = info.id;
  response->name = info.name;
  response->size = info.size;
  response->plaintext_sha256 = info.plaintext_sha256;
  response->content_type = info.content_type;
  response->created_at_unix = info.created_at_unix;
  response->updated_at_unix = info.updated_at_unix;
  if (!copied) {
    sv_engine_attach_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy attachment strings");
  }
  response->noop = reply.noop;
  response->version = reply.version;
  if (!sv_engine_copy_optional(&response->correlation_id, correlation_id)) {
    sv_engine_attach_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate attachment correlation id");
  }
  return SV_OK;
}

int sv_engine_copy_list_attachments_reply(const ListAttachmentsReply &reply,
                                          const char *correlation_id,
                                          sv_engine_list_attachments_response *response,
                                          sv_engine_error *error) noexcept {
  sv_engine_list_attachments_response_cleanup(response);
  if (!sv_engine_copy_optional(&response->namespace_name, reply.namespace_name) ||
      !sv_engine_copy_optional(&response->key, reply.key)) {
    sv_engine_list_attachments_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to copy list_attachments response");
  }
  const size_t count = reply.attachments.count;
  if (count > 0) {
    response->attachments = static_cast<sv_engine_attachment_info *>(
        std::calloc(count, sizeof(sv_engine_attachment_info)));
    if (response->attachments == nullptr) {
      sv_engine_list_attachments_response_cleanup(response);
      return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                        "failed to allocate attachments array");
    }
    response->count = count;
    const auto *items = static_cast<const sv_engine_attachment_info *>(reply.attachments.items);
    for (size_t i = 0; i < count; ++i) {
      if (!copy_info(items[i], &response->attachments[i])) {
        sv_engine_list_attachments_response_cleanup(response);
        return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                          "failed to copy list_attachments response");
      }
    }
  }
  if (!sv_engine_copy_optional(&response->correlation_id, correlation_id)) {
    sv_engine_list_attachments_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate correlation id");
  }
  return SV_OK;
}

extern "C" {

SV_API void sv_engine_attachment_info_cleanup(sv_engine_attachment_info *info) noexcept {
  if (info == nullptr) return;
  sv_engine_free_string(&info->id);
  sv_engine_free_string(&info->name);
  sv_engine_free_string(&info->plaintext_sha256);
  sv_engine_free_string(&info->content_type);
  *info = sv_engine_attachment_info{};
}

SV_API void sv_engine_attach_response_cleanup(sv_engine_attach_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->id);
  sv_engine_free_string(&response->name);
  sv_engine_free_string(&response->plaintext_sha256);
  sv_engine_free_string(&response->content_type);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_attach_response{};
}

SV_API void sv_engine_list_attachments_response_cleanup(
    sv_engine_list_attachments_response *response) noexcept {
  if (response == nullptr) return;
  for (size_t i = 0; response->attachments != nullptr && i < response->count; ++i) {
    sv_engine_attachment_info_cleanup(&response->attachments[i]);
  }
  std::free(response->attachments);
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->key);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_list_attachments_response{};
}

SV_API void sv_engine_get_attachment_response_cleanup(
    sv_engine_get_attachment_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->id);
  sv_engine_free_string(&response->name);
  sv_engine_free_string(&response->plaintext_sha256);
  sv_engine_free_string(&response->content_type);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_get_attachment_response{};
}

SV_API void sv_engine_delete_attachment_response_cleanup(
    sv_engine_delete_attachment_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_delete_attachment_response{};
}

SV_API void sv_engine_delete_all_attachments_response_cleanup(
    sv_engine_delete_all_attachments_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_delete_all_attachments_response{};
}

SV_API int sv_engine_parse_attach_response_json(const char *json, const char *correlation_id,
                                                sv_engine_attach_response *response,
                                                sv_engine_error *error) noexcept {
  if (json == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "parse_attach_response_json requires json, response, and "
                                      "error");
  }
  AttachReply reply{};
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status parsed =
      brindle_parse_cstr(&sv_engine_attach_reply_map, &reply, json, nullptr, &parse_error);
  int status = SV_OK;
  if (parsed != BRINDLE_OK && parsed != BRINDLE_TRUNCATED) {
    sv_engine_attach_response_cleanup(response);
    status = parse_failure(error, parsed, parse_error, "failed to parse attach response");
  } else {
    status = sv_engine_copy_attach_reply(reply, correlation_id, response, error);
  }
  brindle_cleanup(&sv_engine_attach_reply_map, &reply);
  return status;
}

SV_API int sv_engine_parse_list_attachments_response_json(
    const char *json, const char *correlation_id, sv_engine_list_attachments_response *response,
    sv_engine_error *error) noexcept {
  if (json == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "parse_list_attachments_response_json requires json, "
                                      "response, and error");
  }
  ListAttachmentsReply reply{};
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status parsed = brindle_parse_cstr(&sv_engine_list_attachments_reply_map, &reply,
                                                   json, nullptr, &parse_error);
  int status = SV_OK;
  if (parsed != BRINDLE_OK && parsed != BRINDLE_TRUNCATED) {
    sv_engine_list_attachments_response_cleanup(response);
    status = parse_failure(error, parsed, parse_error, "failed to parse list_attachments response");
  } else {
    status = sv_engine_copy_list_attachments_reply(reply, correlation_id, response, error);
  }
  brindle_cleanup(&sv_engine_list_attachments_reply_map, &reply);
  return status;
}

}  // extern "C"
