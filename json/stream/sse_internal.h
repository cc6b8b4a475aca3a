// The server-sent-events parser's state, shared by the plain flavour (sse.cpp) and the JSON
// flavour (sse_json.cpp), which feeds each event's data lines into the push parser.
#ifndef BRINDLE_STREAM_SSE_INTERNAL_H
#define BRINDLE_STREAM_SSE_INTERNAL_H

#include <cstdint>

#include "framing_buffer.h"
#include "line_reader.h"

struct brindle_parser;

struct brindle_sse {
  size_t max_line_bytes;
  size_t max_data_bytes;
  size_t max_field_bytes;
  const brindle_allocator *caller_allocator;
  brindle_allocator allocator;  // resolved copy: the system functions when none was given

  brindle__line_reader line;
  brindle__framing_buffer event_name;
  brindle__framing_buffer id;
  bool has_id;         // an id line was seen ("" is an id too)
  size_t data_length;  // data bytes of the event so far, joining line feeds included
  uint64_t retry;
  int32_t has_retry;

  bool finished;
  bool has_content;  // the event has data, a name, an id or a retry
  bool begun;        // begin_event was called for the event
  bool data_seen;    // a data line of the event was delivered

  // JSON flavour. The push parser is allocated on first use and kept for later events.
  brindle_parser *json;
  bool json_active;     // the push parser has been started for the event
  bool json_data_seen;  // a data line of the event was read (accepted or not)
  bool json_truncated;  // the event's JSON was stored with truncation
  bool filter_decided;
  bool filter_accepted;
  const brindle_map *json_map;
  void *json_destination;
  const brindle_parse_options *json_parse_options;
};

// One push or finish: the flavour and what the caller passed with it.
struct brindle__sse_call {
  bool json;
  const brindle_sse_callbacks *callbacks;  // plain
  void *user_data;
  const brindle_map *map;  // JSON
  void *destination;
  const brindle_sse_json_options *json_options;
  brindle_sse_json_callback callback;
  brindle_error *error;
};

// The event handed to callbacks, valid until the event changes.
brindle_sse_event brindle__sse_event_view(const brindle_sse *parser) noexcept;

// Empties the event; a push parser left unfinished by it is released.
void brindle__sse_reset_event(brindle_sse *parser) noexcept;

// Callback results: a callback that filled the error record keeps its code.
brindle_status brindle__sse_callback_failed(brindle_error *error, const char *message) noexcept;

// Feeds bytes through the line states and processes each complete line.
brindle_status brindle__sse_feed(brindle_sse *parser, const char *bytes, size_t length,
                                 const brindle__sse_call *call) noexcept;

// Processes a pending line, dispatches a pending event and marks the parser finished.
brindle_status brindle__sse_finish(brindle_sse *parser, const brindle__sse_call *call) noexcept;

// JSON flavour (sse_json.cpp).
brindle_status brindle__sse_json_event_line(brindle_sse *parser, const char *value, size_t length,
                                            const brindle__sse_call *call) noexcept;
brindle_status brindle__sse_json_data_line(brindle_sse *parser, const char *value, size_t length,
                                           const brindle__sse_call *call) noexcept;
brindle_status brindle__sse_json_dispatch(brindle_sse *parser,
                                          const brindle__sse_call *call) noexcept;
// Frees the push parser (close).
void brindle__sse_json_release(brindle_sse *parser) noexcept;
// The event ends: an unfinished push parser state is dropped.
void brindle__sse_json_end_event(brindle_sse *parser) noexcept;

#endif  // BRINDLE_STREAM_SSE_INTERNAL_H
