// Index flush: ask the server to bring a namespace's query index up to date (POST
// /v1/index/flush), synchronously or in the background.
#include "admin_internal.h"

namespace {

struct FlushBody {
  const char *namespace_name;
  const char *mode;  // NULL when empty
};

const brindle_field flush_body_fields[] = {
    BRINDLE_DECL_STRING(FlushBody, namespace_name, "namespace", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_STRING(FlushBody, mode, "mode", BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map flush_body_map =
    BRINDLE_MAP("sv_engine_index_flush_request", FlushBody, flush_body_fields);

struct FlushAnswer {
  char *namespace_name;
  char *mode;
  char *flush_id;
  int32_t accepted;
  int32_t flushed;
  int32_t pending;
  int64_t index_seq;
};

const brindle_field flush_answer_fields[] = {
    BRINDLE_DECL_STRING(FlushAnswer, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(FlushAnswer, mode, "mode", 0),
    BRINDLE_DECL_STRING(FlushAnswer, flush_id, "flush_id", 0),
    BRINDLE_DECL_BOOL(FlushAnswer, accepted, "accepted", 0),
    BRINDLE_DECL_BOOL(FlushAnswer, flushed, "flushed", 0),
    BRINDLE_DECL_BOOL(FlushAnswer, pending, "pending", 0),
    BRINDLE_DECL_I64(FlushAnswer, index_seq, "index_seq", 0),
};
const brindle_map flush_answer_map =
    BRINDLE_MAP("sv_engine_index_flush_response_json", FlushAnswer, flush_answer_fields);

}  // namespace

extern "C" {

SV_API void sv_engine_index_flush_response_cleanup(
    sv_engine_index_flush_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->mode);
  sv_engine_free_string(&response->flush_id);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_index_flush_response{};
}

SV_API int sv_engine_client_index_flush(const sv_engine_client *client,
                                        const sv_engine_index_flush_request *request,
                                        sv_engine_index_flush_response *response,
                                        sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "index_flush requires client, request, response, and error");
  }
  sv_engine_index_flush_response_cleanup(response);
  FlushBody body{sv_engine_effective_namespace(client, request->namespace_name),
                 request->mode != nullptr && request->mode[0] != '\0' ? request->mode : nullptr};
  FlushAnswer answer{};
  const sv_engine_admin_call call = {
      "POST", "/v1/index/flush", &flush_body_map, &body, &flush_answer_map, &answer, false, false};
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK) {
    response->accepted = answer.accepted != 0 ? 1 : 0;
    response->flushed = answer.flushed != 0 ? 1 : 0;
    response->pending = answer.pending != 0 ? 1 : 0;
    response->index_seq = answer.index_seq;
    if (!sv_engine_admin_copy(&response->namespace_name, answer.namespace_name) ||
        !sv_engine_admin_copy(&response->mode, answer.mode) ||
        !sv_engine_admin_copy(&response->flush_id, answer.flush_id)) {
      status = sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                          "failed to allocate index flush response");
    }
  }
  brindle_cleanup(&flush_answer_map, &answer);
  return status;
}

}  // extern "C"
