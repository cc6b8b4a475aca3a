// query and query_keys: a query's answer streams to the caller's sink (newline-delimited
// documents) or, key by key, to the caller's key handler; the paging data of the answer fills
// the caller's result.
#include <cstdlib>

#include "../engine/sv_log.h"
#include "client_admin_internal.h"

using admin_detail::EngineCall;

namespace {

constexpr FailureEvents kQueryEvents{"client.query.error", "client.query.transport_error", false};
constexpr FailureEvents kQueryKeysEvents{"client.query_keys.error",
                                         "client.query_keys.transport_error", false};

// The request as the engine takes it; query_keys replaces the return mode.
sv_engine_query_request engine_request(const sv_query_req &req) noexcept {
  sv_engine_query_request request{};
  request.namespace_name = req.namespace_name;
  request.selector_json = req.selector_json;
  request.limit = req.limit;
  request.cursor = req.cursor;
  request.fields_json = req.fields_json;
  request.return_mode = req.return_mode;
  request.engine = req.engine;
  request.refresh = req.refresh;
  return request;
}

// Copies the paging data; false (out cleaned) when a copy fails.
bool fill_result(sv_query_res *out, const sv_engine_query_stream_response &reply) noexcept {
  admin_detail::zero(out);
  out->index_seq = reply.index_seq;
  out->has_index_seq = reply.has_index_seq != 0 ? 1 : 0;
  const bool copied = admin_detail::copy_string(&out->cursor, reply.cursor) &&
                      admin_detail::copy_string(&out->return_mode, reply.return_mode) &&
                      admin_detail::copy_string(&out->metadata, reply.metadata) &&
                      admin_detail::copy_string(&out->correlation_id, reply.correlation_id);
  if (!copied) sv_query_res_cleanup(out);
  return copied;
}

// The shared tail of both methods: copy the answer, log the outcome, release the answer.
int finish(sv_client *self, ember_logger *logger, const char *success_event,
           const FailureEvents &events, const ember_field *ids, size_t id_count,
           sv_engine_query_stream_response *reply, sv_query_res *out, sv_error *error) noexcept {
  const sv_engine_client *engine = admin_detail::engine_of(self);
  if (!fill_result(out, *reply)) {
    sv_engine_query_stream_response_cleanup(engine, reply);
    return sv_api_fail_local(logger, events, ids, id_count, SV_ERR_NOMEM,
                             "failed to allocate query response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_str_field("cursor", reply->cursor),
                                sv_log_u64_field("index_seq", reply->index_seq),
                                sv_log_str_field("cid", reply->correlation_id)};
  sv_log_trace(logger, success_event, fields, 4);
  sv_engine_query_stream_response_cleanup(engine, reply);
  return SV_OK;
}

// The caller's key handler behind the engine's: a function the caller left out accepts, a
// refusal becomes SV_ERR_TRANSPORT with the caller's message or a default one.
struct KeyBridge {
  const sv_query_key_handler *handler;
  void *context;
};

int refused(sv_engine_error *engine_error, const sv_error &caller, const char *fallback) noexcept {
  const char *message =
      caller.message != nullptr && caller.message[0] != '\0' ? caller.message : fallback;
  sv_engine_set_client_error(engine_error, SV_ERR_TRANSPORT, message);
  return 0;
}

int key_begin(void *context, sv_engine_error *engine_error) noexcept {
  const auto *bridge = static_cast<const KeyBridge *>(context);
  if (bridge->handler->begin == nullptr) return 1;
  sv_error caller;
  sv_error_init(&caller);
  const int go_on = bridge->handler->begin(bridge->context, &caller);
  if (go_on == 0) refused(engine_error, caller, "query key begin callback failed");
  sv_error_cleanup(&caller);
  return go_on != 0 ? 1 : 0;
}

int key_chunk(void *context, const char *bytes, size_t length,
              sv_engine_error *engine_error) noexcept {
  const auto *bridge = static_cast<const KeyBridge *>(context);
  if (bridge->handler->chunk == nullptr) return 1;
  sv_error caller;
  sv_error_init(&caller);
  const int go_on = bridge->handler->chunk(bridge->context, bytes, length, &caller);
  if (go_on == 0) refused(engine_error, caller, "query key chunk callback failed");
  sv_error_cleanup(&caller);
  return go_on != 0 ? 1 : 0;
}

int key_end(void *context, sv_engine_error *engine_error) noexcept {
  const auto *bridge = static_cast<const KeyBridge *>(context);
  if (bridge->handler->end == nullptr) return 1;
  sv_error caller;
  sv_error_init(&caller);
  const int go_on = bridge->handler->end(bridge->context, &caller);
  if (go_on == 0) refused(engine_error, caller, "query key end callback failed");
  sv_error_cleanup(&caller);
  return go_on != 0 ? 1 : 0;
}

constexpr sv_engine_query_key_handler kKeyBridgeHandler{key_begin, key_chunk, key_end};

}  // namespace

int sv_client_query_method(sv_client *self, const sv_query_req *req, sv_sink *dst,
                           sv_query_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || dst == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "query requires self, req, dst, and out");
  }
  if (!admin_detail::has_text(req->selector_json)) {
    return admin_detail::invalid(error, "query requires selector_json");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("namespace", req->namespace_name),
                             sv_log_i64_field("limit", req->limit),
                             sv_log_str_field("engine", req->engine)};
  sv_log_trace(logger, "client.query.start", ids, 3);
  const sv_engine_query_request request = engine_request(*req);
  struct {
    sv_sink *sink;
  } bridge{dst};
  sv_engine_query_stream_response reply{};
  EngineCall call;
  if (sv_engine_client_query_into(admin_detail::engine_of(self), &request, sv_engine_write_bridge,
                                  &bridge, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kQueryEvents, ids, 3, &call.error, error);
  }
  return finish(self, logger, "client.query.success", kQueryEvents, ids, 3, &reply, out, error);
}

int sv_client_query_keys_method(sv_client *self, const sv_query_req *req,
                                const sv_query_key_handler *handler, void *handler_context,
                                sv_query_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || handler == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "query_keys requires self, req, handler, and out");
  }
  if (!admin_detail::has_text(req->selector_json)) {
    return admin_detail::invalid(error, "query_keys requires selector_json");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("namespace", req->namespace_name),
                             sv_log_i64_field("limit", req->limit),
                             sv_log_str_field("engine", req->engine)};
  sv_log_trace(logger, "client.query_keys.start", ids, 3);
  sv_engine_query_request request = engine_request(*req);
  request.return_mode = "keys";
  KeyBridge bridge{handler, handler_context};
  sv_engine_query_stream_response reply{};
  EngineCall call;
  if (sv_engine_client_query_keys(admin_detail::engine_of(self), &request, &kKeyBridgeHandler,
                                  &bridge, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kQueryKeysEvents, ids, 3, &call.error, error);
  }
  return finish(self, logger, "client.query_keys.success", kQueryKeysEvents, ids, 3, &reply, out,
                error);
}

extern "C" {

SV_API void sv_query_req_init(sv_query_req *req) noexcept {
  admin_detail::zero(req);
}

SV_API void sv_query_key_handler_init(sv_query_key_handler *handler) noexcept {
  admin_detail::zero(handler);
}

SV_API void sv_query_res_cleanup(sv_query_res *res) noexcept {
  if (res == nullptr) return;
  admin_detail::free_string(&res->cursor);
  admin_detail::free_string(&res->return_mode);
  admin_detail::free_string(&res->metadata);
  admin_detail::free_string(&res->correlation_id);
  admin_detail::zero(res);
}

SV_API void sv_string_list_cleanup(sv_string_list *list) noexcept {
  if (list == nullptr) return;
  for (size_t index = 0; list->items != nullptr && index < list->count; ++index) {
    std::free(list->items[index]);
  }
  std::free(static_cast<void *>(list->items));
  admin_detail::zero(list);
}

}  // extern "C"

bool admin_detail::copy_string_list(sv_string_list *list, char *const *items,
                                    size_t count) noexcept {
  zero(list);
  if (count == 0 || items == nullptr) return true;
  list->items = static_cast<char **>(std::calloc(count, sizeof(char *)));
  if (list->items == nullptr) return false;
  for (size_t index = 0; index < count; ++index) {
    list->count = index + 1;  // the slot is counted before it is filled, so cleanup sees it
    if (!copy_string(&list->items[index], items[index])) return false;
  }
  return true;
}
