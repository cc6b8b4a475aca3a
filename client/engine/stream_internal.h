// Internals of the streamed transfers: the libcurl callbacks of the transfer loop, the public
// layer's source bridges as the engine sees them, and small helpers shared by the operations.
#ifndef STAVOC_ENGINE_STREAM_INTERNAL_H
#define STAVOC_ENGINE_STREAM_INTERNAL_H

#include <initializer_list>

#include "engine_internal.h"
#include "stavoc_io.h"

// The public layer's bridges from an sv_source to the engine's reader and reset callbacks
// (sv_engine_read_bridge, sv_engine_reset_bridge) are declared by stavoc_io.h; their context is a
// record whose first member is the sv_source pointer.

// True when reader is the public source read bridge (compared by identity).
bool sv_engine_is_source_read_bridge(sv_engine_reader_fn reader) noexcept;
// The reset that rewinds what reader reads: the public reset bridge for the read bridge, else
// NULL (the engine cannot rewind a reader it does not know).
sv_engine_reset_fn sv_engine_source_reset_for(sv_engine_reader_fn reader) noexcept;
// Checks that a read bridge context can be rewound: it carries a source and that source has a
// reset operation. 0, or SV_ERR_INVALID with the reason.
int sv_engine_check_rewindable_bridge(void *reader_context, sv_engine_error *error) noexcept;

// libcurl callbacks of the transfer loop; userdata is the sv_engine_stream_state.
size_t sv_engine_stream_header_callback(char *line, size_t size, size_t count,
                                        void *userdata) noexcept;
size_t sv_engine_stream_write_callback(char *bytes, size_t size, size_t count,
                                       void *userdata) noexcept;
// Clears the per-attempt part of the state and sets the byte limit.
void sv_engine_stream_state_reset_attempt(sv_engine_stream_state *state,
                                          const sv_engine_client *client) noexcept;

// A stream state and an error record of one operation's own, so that a stale code in the
// caller's record cannot change the transfer; the caller's record is written only on failure.
struct StreamCall {
  sv_engine_error error{};
  sv_engine_stream_state state{};
  explicit StreamCall(sv_engine_writer_fn writer = nullptr, void *writer_context = nullptr) {
    state.writer = writer;
    state.writer_context = writer_context;
    state.error = &error;
  }
  StreamCall(const StreamCall &) = delete;
  StreamCall &operator=(const StreamCall &) = delete;
  ~StreamCall() {
    sv_engine_stream_state_cleanup(&state);
    sv_engine_error_reset(&error);
  }
  // Hands the failure to the caller's record (when given) and returns status.
  int finish(int status, sv_engine_error *caller) noexcept {
    if (status != SV_OK && caller != nullptr) {
      sv_engine_error_reset(caller);
      *caller = error;
      error = sv_engine_error{};
    }
    return status;
  }
};

// SV_ERR_INVALID "request header values must not contain line breaks" when a value (NULLs are
// skipped) holds CR or LF, which would add header lines of its own; else 0.
int sv_engine_check_header_values(std::initializer_list<const char *> values,
                                  sv_engine_error *error) noexcept;

// Copies text into *slot (NULL stays NULL); false when the copy fails.
bool sv_engine_copy_optional(char **slot, const char *text) noexcept;

#endif
