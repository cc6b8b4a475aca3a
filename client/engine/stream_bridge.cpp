// How the engine recognises the public layer's source bridges: by the address of the read
// bridge, whose context is a record that starts with the sv_source pointer.
#include "stream_internal.h"

bool sv_engine_is_source_read_bridge(sv_engine_reader_fn reader) noexcept {
  return reader != nullptr && reader == &sv_engine_read_bridge;
}

sv_engine_reset_fn sv_engine_source_reset_for(sv_engine_reader_fn reader) noexcept {
  if (!sv_engine_is_source_read_bridge(reader)) return nullptr;
  return &sv_engine_reset_bridge;
}

int sv_engine_check_rewindable_bridge(void *reader_context, sv_engine_error *error) noexcept {
  sv_source *source =
      reader_context != nullptr ? *static_cast<sv_source **>(reader_context) : nullptr;
  if (source == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "payload reset requires source");
  }
  if (source->reset == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "payload source is not rewindable");
  }
  return SV_OK;
}
