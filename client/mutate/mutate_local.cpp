// The lease's local mutate: read the key's state into a scratch file, apply the plan while the
// document streams, and upload the result with the read state's ETag and version as
// preconditions, so that a concurrent change makes the upload fail instead of being lost.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "../api/lease_internal.h"
#include "../engine/sv_log.h"
#include "mutation_internal.h"

namespace {

// The request's identity fields, the step (when given) and the error text (when given).
size_t failure_fields(ember_field *fields, const ember_field *ids, const char *step,
                      const char *message) noexcept {
  size_t count = 0;
  for (size_t i = 0; i < 4; ++i)
    fields[count++] = ids[i];
  if (step != nullptr) fields[count++] = sv_log_str_field("step", step);
  if (message != nullptr) fields[count++] = sv_log_str_field("error", message);
  return count;
}

// Failures of the plan and of steps "get", "apply" and "update" log at warn level with the error.
int fail_warn(ember_logger *logger, const ember_field *ids, const char *step, int status,
              const sv_error *error) noexcept {
  ember_field fields[6];
  const char *message = error != nullptr && error->message != nullptr ? error->message : "";
  sv_log_warn(logger, "client.mutate_local.error", fields,
              failure_fields(fields, ids, step, message));
  return status;
}

// Local failures of the other steps log at error level without the error text.
int fail_local(ember_logger *logger, const ember_field *ids, const char *step, int code,
               const char *message, const char *detail, sv_error *error) noexcept {
  sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
  ember_field fields[6];
  sv_log_error(logger, "client.mutate_local.error", fields,
               failure_fields(fields, ids, step, nullptr));
  return code;
}

// Engine writer: non-zero to go on.
int write_chunk(void *context, const char *bytes, size_t length,
                sv_engine_error *engine_error) noexcept {
  if (std::fwrite(bytes, 1, length, static_cast<FILE *>(context)) != length) {
    sv_engine_set_transport_error(engine_error, "failed to write local mutate input scratch file");
    return 0;
  }
  return 1;
}

bool empty(const char *text) noexcept {
  return text == nullptr || text[0] == '\0';
}

}  // namespace

int sv_lease_mutate_local_method(sv_lease *self, const sv_mutate_local_req *req,
                                 sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || req->mutations == nullptr || req->mutation_count == 0) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease mutate_local requires self and mutations",
                        nullptr, nullptr, nullptr);
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id),
      sv_log_u64_field("mutation_count", static_cast<uint64_t>(req->mutation_count))};
  sv_log_trace(logger, "client.mutate_local.start", ids, 4);

  sv_mutation_parse_options options{};
  options.file_value_base_dir = req->file_value_base_dir;
  options.file_opener = req->file_opener;
  options.has_now = clock_gettime(CLOCK_REALTIME, &options.now) == 0 ? 1 : 0;
  sv_mutation_plan *plan = nullptr;
  int status = sv_mutation_plan_build(req->mutations, req->mutation_count, &options, &plan, error);
  if (status != SV_OK) return fail_warn(logger, ids, nullptr, status, error);

  FILE *input = std::tmpfile();
  if (input == nullptr) {
    sv_mutation_plan_close(plan);
    return fail_local(logger, ids, "tmpfile", SV_ERR_TRANSPORT,
                      "failed to create local mutate input scratch file", std::strerror(errno),
                      error);
  }
  sv_engine_get_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.fencing_token = lease->fencing_token;
  sv_engine_get_stream_response read{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  const char *step = nullptr;
  if (sv_engine_client_get_into(sv_client_impl_of(lease->client)->engine, &request, write_chunk,
                                input, &read, &engine_error) != SV_OK) {
    status = sv_error_from_engine(error, &engine_error);
    step = "get";
  } else if (std::fflush(input) != 0 || std::fseek(input, 0, SEEK_SET) != 0) {
    status =
        fail_local(logger, ids, "flush_input", SV_ERR_TRANSPORT,
                   "failed to flush local mutate input scratch file", std::strerror(errno), error);
  } else if (read.no_content != 0 && std::fputs("{}", input) < 0) {
    status = fail_local(logger, ids, "seed_empty", SV_ERR_TRANSPORT,
                        "failed to seed empty local mutate document", std::strerror(errno), error);
  } else if (read.no_content != 0 &&
             (std::fflush(input) != 0 || std::fseek(input, 0, SEEK_SET) != 0)) {
    status = fail_local(logger, ids, "seed_empty", SV_ERR_TRANSPORT,
                        "failed to flush empty local mutate document", std::strerror(errno), error);
  }
  sv_engine_error_cleanup(&engine_error);
  FILE *result = nullptr;
  if (status == SV_OK) {
    status = sv_mutation_plan_apply(plan, input, &result, error);
    if (status != SV_OK) step = "apply";
  }
  std::fclose(input);
  sv_mutation_plan_close(plan);
  if (step != nullptr) {
    sv_engine_get_stream_response_cleanup(&read);
    return fail_warn(logger, ids, step, status, error);
  }
  if (status != SV_OK) {
    sv_engine_get_stream_response_cleanup(&read);
    return status;
  }

  sv_update_opts update = req->update_options;
  if (empty(update.content_type)) update.content_type = "application/json";
  if (req->skip_preconditions == 0) {
    if (empty(update.if_state_etag) && !empty(read.etag)) update.if_state_etag = read.etag;
    if (update.has_if_version == 0 && read.key_version > 0) {
      update.if_version = read.key_version;
      update.has_if_version = 1;
    }
  }
  sv_source *source = sv_source_from_open_file(result, 1);  // closes result also on failure
  if (source == nullptr) {
    sv_engine_get_stream_response_cleanup(&read);
    return fail_local(logger, ids, "source_wrap", SV_ERR_NOMEM,
                      "failed to wrap local mutate output stream", nullptr, error);
  }
  status = self->update(self, source, &update, error);
  sv_source_close(source);
  sv_engine_get_stream_response_cleanup(&read);
  if (status != SV_OK) return fail_warn(logger, ids, "update", status, error);
  const ember_field fields[] = {ids[0],
                                ids[1],
                                ids[2],
                                ids[3],
                                sv_log_i64_field("new_version", lease->version),
                                sv_log_str_field("new_etag", lease->state_etag)};
  sv_log_trace(logger, "client.mutate_local.success", fields, 6);
  return SV_OK;
}
