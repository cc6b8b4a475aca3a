// Init functions of the key operations' request records, cleanup functions of their results,
// and the copies that fill results from engine answers.
#include <cstdlib>
#include <cstring>

#include "lease_internal.h"
#include "record_zero.h"

namespace {

using sv_records::zero;

void free_string(char **text) noexcept {
  std::free(*text);
  *text = nullptr;
}

// A copy of an optional engine string: NULL stays NULL, a failed copy is false.
bool copy_optional(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_strdup_local(text);
  return *slot != nullptr;
}

}  // namespace

extern "C" {

SV_API void sv_acquire_req_init(sv_acquire_req *req) noexcept {
  zero(req);
}
SV_API void sv_describe_req_init(sv_describe_req *req) noexcept {
  zero(req);
}
SV_API void sv_get_opts_init(sv_get_opts *opts) noexcept {
  zero(opts);
}
SV_API void sv_update_opts_init(sv_update_opts *opts) noexcept {
  zero(opts);
}
SV_API void sv_update_req_init(sv_update_req *req) noexcept {
  zero(req);
}
SV_API void sv_mutate_req_init(sv_mutate_req *req) noexcept {
  zero(req);
}
SV_API void sv_mutate_op_init(sv_mutate_op *req) noexcept {
  zero(req);
}
SV_API void sv_metadata_req_init(sv_metadata_req *req) noexcept {
  zero(req);
}
SV_API void sv_metadata_op_init(sv_metadata_op *req) noexcept {
  zero(req);
}
SV_API void sv_remove_req_init(sv_remove_req *req) noexcept {
  zero(req);
}
SV_API void sv_remove_op_init(sv_remove_op *req) noexcept {
  zero(req);
}
SV_API void sv_keepalive_req_init(sv_keepalive_req *req) noexcept {
  zero(req);
}
SV_API void sv_keepalive_op_init(sv_keepalive_op *req) noexcept {
  zero(req);
}
SV_API void sv_release_req_init(sv_release_req *req) noexcept {
  zero(req);
}
SV_API void sv_release_op_init(sv_release_op *req) noexcept {
  zero(req);
}
SV_API void sv_attach_req_init(sv_attach_req *req) noexcept {
  zero(req);
}
SV_API void sv_attach_op_init(sv_attach_op *req) noexcept {
  zero(req);
}
SV_API void sv_attachment_selector_init(sv_attachment_selector *selector) noexcept {
  zero(selector);
}
SV_API void sv_attachment_get_req_init(sv_attachment_get_req *req) noexcept {
  zero(req);
}
SV_API void sv_attachment_get_op_init(sv_attachment_get_op *req) noexcept {
  zero(req);
}
SV_API void sv_attachment_list_req_init(sv_attachment_list_req *req) noexcept {
  zero(req);
}
SV_API void sv_attachment_delete_op_init(sv_attachment_delete_op *req) noexcept {
  zero(req);
}
SV_API void sv_attachment_delete_all_op_init(sv_attachment_delete_all_op *req) noexcept {
  zero(req);
}
SV_API void sv_lease_ref_init(sv_lease_ref *ref) noexcept {
  zero(ref);
}

SV_API void sv_describe_res_cleanup(sv_describe_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->namespace_name);
  free_string(&res->key);
  free_string(&res->owner);
  free_string(&res->lease_id);
  free_string(&res->state_etag);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_get_res_cleanup(sv_get_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->content_type);
  free_string(&res->etag);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_update_res_cleanup(sv_update_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->new_state_etag);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_mutate_res_cleanup(sv_mutate_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->new_state_etag);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_metadata_res_cleanup(sv_metadata_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->namespace_name);
  free_string(&res->key);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_remove_res_cleanup(sv_remove_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_keepalive_res_cleanup(sv_keepalive_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->state_etag);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_release_res_cleanup(sv_release_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_attachment_info_cleanup(sv_attachment_info *info) noexcept {
  if (info == nullptr) return;
  free_string(&info->id);
  free_string(&info->name);
  free_string(&info->plaintext_sha256);
  free_string(&info->content_type);
  zero(info);
}

SV_API void sv_attach_res_cleanup(sv_attach_res *res) noexcept {
  if (res == nullptr) return;
  sv_attachment_info_cleanup(&res->info);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_attachment_list_cleanup(sv_attachment_list *list) noexcept {
  if (list == nullptr) return;
  for (size_t index = 0; list->items != nullptr && index < list->count; ++index) {
    sv_attachment_info_cleanup(&list->items[index]);
  }
  std::free(list->items);
  free_string(&list->correlation_id);
  zero(list);
}

SV_API void sv_attachment_get_res_cleanup(sv_attachment_get_res *res) noexcept {
  if (res == nullptr) return;
  sv_attachment_info_cleanup(&res->info);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_attachment_info_copy(sv_attachment_info *dst,
                                    const sv_attachment_info *src) noexcept {
  if (dst == nullptr) return;
  zero(dst);
  if (src == nullptr) return;
  dst->id = sv_strdup_local(src->id);
  dst->name = sv_strdup_local(src->name);
  dst->size = src->size;
  dst->plaintext_sha256 = sv_strdup_local(src->plaintext_sha256);
  dst->content_type = sv_strdup_local(src->content_type);
  dst->created_at_unix = src->created_at_unix;
  dst->updated_at_unix = src->updated_at_unix;
}

}  // extern "C"

bool sv_get_res_fill(sv_get_res *out, const sv_engine_get_stream_response &response) noexcept {
  zero(out);
  out->no_content = response.no_content;
  out->version = response.key_version;
  out->fencing_token = response.fencing_token;
  if (copy_optional(&out->content_type, response.content_type) &&
      copy_optional(&out->etag, response.etag) &&
      copy_optional(&out->correlation_id, response.correlation_id)) {
    return true;
  }
  sv_get_res_cleanup(out);
  return false;
}

bool sv_attachment_info_fill(sv_attachment_info *info, const char *id, const char *name,
                             int64_t size, const char *sha256, const char *content_type,
                             int64_t created_at, int64_t updated_at) noexcept {
  zero(info);
  info->size = size;
  info->created_at_unix = created_at;
  info->updated_at_unix = updated_at;
  if (copy_optional(&info->id, id) && copy_optional(&info->name, name) &&
      copy_optional(&info->plaintext_sha256, sha256) &&
      copy_optional(&info->content_type, content_type)) {
    return true;
  }
  sv_attachment_info_cleanup(info);
  return false;
}

bool sv_attachment_list_fill(sv_attachment_list *out,
                             const sv_engine_list_attachments_response &response) noexcept {
  zero(out);
  if (response.count > 0) {
    out->items =
        static_cast<sv_attachment_info *>(std::calloc(response.count, sizeof(sv_attachment_info)));
    if (out->items == nullptr) return false;
    out->count = response.count;
    for (size_t index = 0; index < response.count; ++index) {
      const sv_engine_attachment_info &item = response.attachments[index];
      if (!sv_attachment_info_fill(&out->items[index], item.id, item.name, item.size,
                                   item.plaintext_sha256, item.content_type, item.created_at_unix,
                                   item.updated_at_unix)) {
        sv_attachment_list_cleanup(out);
        return false;
      }
    }
  }
  if (!copy_optional(&out->correlation_id, response.correlation_id)) {
    sv_attachment_list_cleanup(out);
    return false;
  }
  return true;
}
