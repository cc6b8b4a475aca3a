// sv_copy and the bridges that let the engine read from sources and write to sinks through its
// own reader, writer and reset callbacks.
#include <cstring>

#include "stavoc.h"

namespace {

constexpr size_t kCopyChunk = 8192;

// A public failure becomes an engine failure: always SV_ERR_TRANSPORT, with the message and
// detail of the source or sink.
void to_engine_error(sv_engine_error *engine_error, const sv_error &local) noexcept {
  if (engine_error == nullptr) return;
  sv_engine_set_transport_error(engine_error, local.message);
  if (local.detail != nullptr) engine_error->detail = sv_engine_strdup_local(local.detail);
}

// Moves a local error into the caller's record (the caller's old contents are freed).
int hand_over(sv_error *error, sv_error &local) noexcept {
  const int code = local.code;
  if (error != nullptr) {
    sv_error_cleanup(error);
    *error = local;
  } else {
    sv_error_cleanup(&local);
  }
  local = sv_error{};
  return code;
}

}  // namespace

extern "C" {

SV_API int sv_copy(sv_source *src, sv_sink *dst, uint64_t *out_total, sv_error *error) noexcept {
  if (src == nullptr || dst == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "sv_copy requires src and dst", nullptr, nullptr,
                        nullptr);
  }
  // A local record, so that neither a stale code in the caller's record nor a missing record
  // can hide or invent a failure.
  sv_error local;
  sv_error_init(&local);
  char chunk[kCopyChunk];
  uint64_t total = 0;
  int status = SV_OK;
  for (;;) {
    const size_t count = src->read(src, chunk, sizeof(chunk), &local);
    if (count == 0) {
      if (local.code != SV_OK) status = hand_over(error, local);
      break;
    }
    if (dst->write(dst, chunk, count, &local) == 0) {
      if (local.code == SV_OK) {
        sv_error_set(&local, SV_ERR_TRANSPORT, 0, "sink write failed", nullptr, nullptr, nullptr);
      }
      status = hand_over(error, local);
      break;
    }
    total += count;
  }
  sv_error_cleanup(&local);
  if (out_total != nullptr) *out_total = total;
  return status;
}

SV_API size_t sv_engine_read_bridge(void *context, char *buffer, size_t capacity,
                                    sv_engine_error *engine_error) noexcept {
  sv_source *source = context != nullptr ? *static_cast<sv_source **>(context) : nullptr;
  if (source == nullptr) {
    sv_engine_set_client_error(engine_error, SV_ERR_INVALID, "payload read requires source");
    return 0;
  }
  sv_error local;
  sv_error_init(&local);
  const size_t count = source->read(source, buffer, capacity, &local);
  if (local.code != SV_OK) to_engine_error(engine_error, local);
  sv_error_cleanup(&local);
  return count;
}

SV_API int sv_engine_write_bridge(void *context, const char *bytes, size_t length,
                                  sv_engine_error *engine_error) noexcept {
  sv_sink *sink = context != nullptr ? *static_cast<sv_sink **>(context) : nullptr;
  if (sink == nullptr) {
    sv_engine_set_client_error(engine_error, SV_ERR_INVALID, "payload write requires sink");
    return 0;
  }
  sv_error local;
  sv_error_init(&local);
  const int accepted = sink->write(sink, bytes, length, &local);
  if (accepted == 0 && local.code != SV_OK) to_engine_error(engine_error, local);
  sv_error_cleanup(&local);
  return accepted;
}

SV_API int sv_engine_reset_bridge(void *context, sv_engine_error *engine_error) noexcept {
  sv_source *source = context != nullptr ? *static_cast<sv_source **>(context) : nullptr;
  if (source == nullptr) {
    return sv_engine_set_client_error(engine_error, SV_ERR_INVALID,
                                      "payload reset requires source");
  }
  if (source->reset == nullptr) {
    return sv_engine_set_client_error(engine_error, SV_ERR_INVALID,
                                      "payload source is not rewindable");
  }
  sv_error local;
  sv_error_init(&local);
  const int status = source->reset(source, &local);
  if (status != SV_OK && local.code != SV_OK) to_engine_error(engine_error, local);
  sv_error_cleanup(&local);
  return status;
}

}  // extern "C"
