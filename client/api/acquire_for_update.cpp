// acquire_for_update: acquire a lease, snapshot the key's state into an anonymous file, hand
// it to the caller's handler, then release the lease, rolling back when the handler failed.
// The lease is always released or closed, whatever step fails.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

// The sink the snapshot is read through: appends to the file.
struct SnapshotSink {
  sv_sink base;
  FILE *file;
};

int snapshot_write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) noexcept {
  auto *snapshot = reinterpret_cast<SnapshotSink *>(sink);
  if (snapshot->file == nullptr) {
    sv_error_set(error, SV_ERR_INVALID, 0, "acquire_for_update sink is closed", nullptr, nullptr,
                 nullptr);
    return 0;
  }
  errno = 0;
  if (length == 0 || std::fwrite(bytes, 1, length, snapshot->file) == length) return 1;
  sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to write acquire_for_update snapshot",
               errno != 0 ? std::strerror(errno) : nullptr, nullptr, nullptr);
  return 0;
}

void snapshot_close(sv_sink *) noexcept {}

int system_failure(sv_error *error, const char *message) noexcept {
  const int system_errno = errno;
  return sv_error_set(error, SV_ERR_TRANSPORT, 0, message,
                      system_errno != 0 ? std::strerror(system_errno) : nullptr, nullptr, nullptr);
}

// Moves a local error record into the caller's (whose old contents are freed).
void hand_over(sv_error *error, sv_error *local) noexcept {
  if (error != nullptr) {
    sv_error_cleanup(error);
    *error = *local;
  } else {
    sv_error_cleanup(local);
  }
  sv_error_init(local);
}

// Steps 3 to 7: snapshot, view, handler. Returns the first failure; *handler_failed tells
// whether it came from the handler.
int run_handler(sv_lease *lease, sv_update_handler handler, void *context, sv_error *error,
                bool *handler_failed) noexcept {
  errno = 0;
  FILE *file = std::tmpfile();
  if (file == nullptr)
    return system_failure(error, "failed to create acquire_for_update snapshot file");
  SnapshotSink sink{{snapshot_write, snapshot_close}, file};
  sv_get_res snapshot{};
  int status = sv_lease_get(lease, &sink.base, nullptr, &snapshot, error);
  if (status == SV_OK) {
    errno = 0;
    if (std::fflush(file) != 0) {
      status = system_failure(error, "failed to flush acquire_for_update snapshot");
    } else {
      std::rewind(file);
    }
  }
  sv_source *state = nullptr;
  if (status == SV_OK && snapshot.no_content == 0) {
    state = sv_source_from_open_file(file, 1);
    file = nullptr;  // the source owns it now, also when wrapping failed
    if (state == nullptr) {
      status =
          sv_error_set(error, SV_ERR_NOMEM, 0, "failed to wrap acquire_for_update snapshot source",
                       nullptr, nullptr, nullptr);
    }
  }
  if (status == SV_OK) {
    const sv_update_view view{lease,
                              state,
                              snapshot.no_content == 0 ? 1 : 0,
                              snapshot.content_type,
                              snapshot.etag,
                              snapshot.version,
                              snapshot.fencing_token,
                              snapshot.correlation_id};
    sv_error handler_error;
    sv_error_init(&handler_error);
    status = handler(context, &view, &handler_error);
    if (status != SV_OK) {
      *handler_failed = true;
      if (handler_error.code == SV_OK) {
        sv_error_set(&handler_error, status, 0, "acquire_for_update handler failed", nullptr,
                     nullptr, nullptr);
      }
      hand_over(error, &handler_error);
    }
    sv_error_cleanup(&handler_error);
  }
  if (state != nullptr) {
    sv_source_close(state);
  } else if (file != nullptr) {
    std::fclose(file);
  }
  sv_get_res_cleanup(&snapshot);
  return status;
}

}  // namespace

int sv_client_acquire_for_update_method(sv_client *self, const sv_acquire_req *req,
                                        sv_update_handler handler, void *handler_context,
                                        sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || handler == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0,
                        "acquire_for_update requires self, req, and handler", nullptr, nullptr,
                        nullptr);
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("owner", req->owner)};
  sv_log_trace(logger, "client.acquire_for_update.start", ids, 2);
  sv_lease *lease = nullptr;
  int status = sv_acquire(self, req, &lease, error);
  if (status != SV_OK) return status;

  // The handler may release or close the lease itself; the handle then forgets it here.
  sv_lease_impl_of(lease)->holder = &lease;
  bool handler_failed = false;
  status = run_handler(lease, handler, handler_context, error, &handler_failed);
  if (lease != nullptr) {
    sv_lease_impl_of(lease)->holder = nullptr;
    sv_release_req release;
    sv_release_req_init(&release);
    release.rollback = handler_failed ? 1 : 0;
    sv_error release_error;
    sv_error_init(&release_error);
    const int release_status = sv_lease_release(lease, &release, &release_error);
    if (release_status != SV_OK) {
      sv_lease_close(lease);
      // An earlier failure is the one the caller needs to see.
      if (status == SV_OK) {
        status = release_status;
        hand_over(error, &release_error);
      }
    }
    sv_error_cleanup(&release_error);
  }
  if (status == SV_OK) {
    sv_log_info(logger, "client.acquire_for_update.success", ids, 1);
  }
  return status;
}
