// A namespace's query engine configuration (read and change) and index flushes.
#include "../engine/sv_log.h"
#include "client_admin_internal.h"
#include "name_check.h"

using admin_detail::copy_string;
using admin_detail::EngineCall;

namespace {

constexpr FailureEvents kGetEvents{"client.namespace.get.error",
                                   "client.namespace.get.transport_error", false};
constexpr FailureEvents kSetEvents{"client.namespace.set.error",
                                   "client.namespace.set.transport_error", false};
constexpr FailureEvents kFlushEvents{"client.index.flush.error",
                                     "client.index.flush.transport_error", false};

// The four strings, all or nothing.
bool fill_config(sv_namespace_config_res *out,
                 const sv_engine_namespace_config_response &reply) noexcept {
  admin_detail::zero(out);
  const bool copied = copy_string(&out->namespace_name, reply.namespace_name) &&
                      copy_string(&out->preferred_engine, reply.preferred_engine) &&
                      copy_string(&out->fallback_engine, reply.fallback_engine) &&
                      copy_string(&out->correlation_id, reply.correlation_id);
  if (!copied) sv_namespace_config_res_cleanup(out);
  return copied;
}

int finish_config(ember_logger *logger, const char *success_event, const FailureEvents &events,
                  const ember_field *ids, sv_engine_namespace_config_response *reply,
                  sv_namespace_config_res *out, sv_error *error) noexcept {
  if (!fill_config(out, *reply)) {
    sv_engine_namespace_config_response_cleanup(reply);
    return sv_api_fail_local(logger, events, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate namespace config response", error);
  }
  const ember_field fields[] = {sv_log_str_field("namespace", reply->namespace_name),
                                sv_log_str_field("preferred_engine", reply->preferred_engine),
                                sv_log_str_field("fallback_engine", reply->fallback_engine),
                                sv_log_str_field("cid", reply->correlation_id)};
  sv_log_trace(logger, success_event, fields, 4);
  sv_engine_namespace_config_response_cleanup(reply);
  return SV_OK;
}

}  // namespace

int sv_client_get_namespace_config_method(sv_client *self, const sv_namespace_config_req *req,
                                          sv_namespace_config_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "get_namespace_config requires self, req, and out");
  }
  if (const int status =
          sv_names::check(error, "get_namespace_config",
                          {sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("namespace", req->namespace_name)};
  sv_log_trace(logger, "client.namespace.get.start", ids, 1);
  sv_engine_namespace_config_response reply{};
  EngineCall call;
  if (sv_engine_client_get_namespace_config(admin_detail::engine_of(self), req->namespace_name,
                                            &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kGetEvents, ids, 1, &call.error, error);
  }
  return finish_config(logger, "client.namespace.get.success", kGetEvents, ids, &reply, out, error);
}

int sv_client_update_namespace_config_method(sv_client *self, const sv_namespace_config_req *req,
                                             sv_namespace_config_res *out,
                                             sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "update_namespace_config requires self, req, and out");
  }
  if (const int status =
          sv_names::check(error, "update_namespace_config",
                          {sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("namespace", req->namespace_name),
                             sv_log_str_field("preferred_engine", req->preferred_engine),
                             sv_log_str_field("fallback_engine", req->fallback_engine)};
  sv_log_trace(logger, "client.namespace.set.start", ids, 3);
  const sv_engine_namespace_config_request request{req->namespace_name, req->preferred_engine,
                                                   req->fallback_engine};
  sv_engine_namespace_config_response reply{};
  EngineCall call;
  if (sv_engine_client_update_namespace_config(admin_detail::engine_of(self), &request, &reply,
                                               &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kSetEvents, ids, 3, &call.error, error);
  }
  return finish_config(logger, "client.namespace.set.success", kSetEvents, ids, &reply, out, error);
}

int sv_client_flush_index_method(sv_client *self, const sv_index_flush_req *req,
                                 sv_index_flush_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "flush_index requires self, req, and out");
  }
  if (const int status = sv_names::check(
          error, "flush_index", {sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("namespace", req->namespace_name),
                             sv_log_str_field("mode", req->mode)};
  sv_log_trace(logger, "client.index.flush.start", ids, 2);
  const sv_engine_index_flush_request request{req->namespace_name, req->mode};
  sv_engine_index_flush_response reply{};
  EngineCall call;
  if (sv_engine_client_index_flush(admin_detail::engine_of(self), &request, &reply, &call.error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kFlushEvents, ids, 2, &call.error, error);
  }
  admin_detail::zero(out);
  out->accepted = reply.accepted;
  out->flushed = reply.flushed;
  out->pending = reply.pending;
  out->index_seq = reply.index_seq;
  const bool copied = copy_string(&out->namespace_name, reply.namespace_name) &&
                      copy_string(&out->mode, reply.mode) &&
                      copy_string(&out->flush_id, reply.flush_id) &&
                      copy_string(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_index_flush_res_cleanup(out);
    sv_engine_index_flush_response_cleanup(&reply);
    return sv_api_fail_local(logger, kFlushEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate index flush response", error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("flush_id", reply.flush_id),
                                sv_log_i64_field("index_seq", reply.index_seq),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.index.flush.success", fields, 5);
  sv_engine_index_flush_response_cleanup(&reply);
  return SV_OK;
}

extern "C" {

SV_API void sv_namespace_config_req_init(sv_namespace_config_req *req) noexcept {
  admin_detail::zero(req);
}

SV_API void sv_index_flush_req_init(sv_index_flush_req *req) noexcept {
  admin_detail::zero(req);
}

SV_API void sv_namespace_config_res_cleanup(sv_namespace_config_res *res) noexcept {
  if (res == nullptr) return;
  admin_detail::free_string(&res->namespace_name);
  admin_detail::free_string(&res->preferred_engine);
  admin_detail::free_string(&res->fallback_engine);
  admin_detail::free_string(&res->correlation_id);
  admin_detail::zero(res);
}

SV_API void sv_index_flush_res_cleanup(sv_index_flush_res *res) noexcept {
  if (res == nullptr) return;
  admin_detail::free_string(&res->namespace_name);
  admin_detail::free_string(&res->mode);
  admin_detail::free_string(&res->flush_id);
  admin_detail::free_string(&res->correlation_id);
  admin_detail::zero(res);
}

}  // extern "C"
