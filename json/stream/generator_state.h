// Private state of the pull generator: a stack of frames (one per open object, array, string or
// stream), the piece of output still owed, and the one source, spool or JSON value being
// streamed (streams are leaves, so at most one is open at a time).
#ifndef BRINDLE_STREAM_GENERATOR_STATE_H
#define BRINDLE_STREAM_GENERATOR_STATE_H

#include "../core/serializer_internal.h"
#include "../core/values_internal.h"
#include "brindle_io.h"
#include "json_pull.h"
#include "pull_output.h"

enum brindle__frame_kind : uint8_t {
  BRINDLE__FRAME_RECORD,         // an object written with its map
  BRINDLE__FRAME_STRING,         // a quoted, escaped string (keys, string members, elements)
  BRINDLE__FRAME_ARRAY,          // string, integer, double or boolean array
  BRINDLE__FRAME_OBJECT_ARRAY,   // records of a sub-map
  BRINDLE__FRAME_TEXT_STREAM,    // a source or spool as an escaped string
  BRINDLE__FRAME_BASE64_STREAM,  // a source or spool as base64
  BRINDLE__FRAME_JSON_VALUE      // a raw JSON value through the pull reader
};

enum brindle__frame_phase : uint8_t {
  BRINDLE__PHASE_OPEN,
  BRINDLE__PHASE_BODY,   // records: the next field; arrays: the next element
  BRINDLE__PHASE_VALUE,  // records: the value of the current field
  BRINDLE__PHASE_CLOSE
};

struct brindle__generator_frame {
  uint8_t kind;
  uint8_t phase;
  int32_t element_kind;  // arrays: the field kind
  bool any;              // records: a member was written
  ptrdiff_t depth;       // indentation depth of this value
  size_t index;          // records: field; arrays: element; strings: byte position
  size_t count;          // arrays: elements; strings: bytes
  const brindle_map *map;
  const char *base;    // records: the record; arrays: the elements; strings: the text
  size_t stride;       // object arrays: bytes per element
  const void *member;  // streams: the source, spool or JSON value
};

// The source or spool being streamed, with its refill block.
struct brindle__generator_stream {
  bool open;
  bool spool;
  bool eof;
  brindle__source_cursor source;
  brindle__spool_cursor spooled;
  char *block;  // BRINDLE__GENERATOR_BLOCK + 2 bytes (base64 carry), allocated once
  size_t position;
  size_t length;
};

constexpr size_t BRINDLE__GENERATOR_BLOCK = 4096;
constexpr size_t BRINDLE__GENERATOR_FRAMES = 16;

struct brindle_generator_state {
  brindle_allocator allocator;
  brindle_write_options options;
  bool pretty;
  bool finished;
  bool failed;

  brindle__generator_frame *frames;
  size_t frame_count;
  size_t frame_capacity;

  brindle__pending pending;
  char scratch[64];          // numbers, escape sequences, base64 groups
  brindle__pull_buffer out;  // the caller's buffer of the current read
  brindle_error *error;      // the generator's error record during a read

  brindle__generator_stream stream;
  brindle__json_pull *pull;  // the JSON value being re-emitted, if any

  // A container did not fit in this read: the rest of the read lies inside it, so its nested
  // containers are not tried whole again until the next read.
  bool container_missed;
  // Maps recently found to hold only plain values (see generator_bulk.cpp), round robin.
  const brindle_map *plain_maps[8];
  bool plain[8];
  size_t plain_next;
};

// Pushes a frame (the stack grows by doubling); "failed to grow generator frame stack".
brindle_status brindle__generator_push(brindle_generator_state *state,
                                       const brindle__generator_frame &frame) noexcept;
// Advances the top frame by one step.
brindle_status brindle__generator_step(brindle_generator_state *state) noexcept;
// Steps of the stream frames (generator_streams.cpp).
brindle_status brindle__generator_stream_step(brindle_generator_state *state,
                                              brindle__generator_frame *frame) noexcept;
brindle_status brindle__generator_json_step(brindle_generator_state *state,
                                            brindle__generator_frame *frame) noexcept;
// Whole values written at once into the rest of the caller's buffer (generator_bulk.cpp): the
// whole root record, or one member of a record frame; false, with nothing written, when the value
// does not fit or is not plain. Or the elements of an array frame from index from on, as many as
// fit whole; returns how many were written. The frames go on step by step from there.
bool brindle__generator_root_fits(brindle_generator_state *state,
                                  const brindle__generator_frame &frame) noexcept;
bool brindle__generator_member_fits(brindle_generator_state *state,
                                    const brindle__generator_frame &frame,
                                    const brindle_field *field) noexcept;
size_t brindle__generator_elements_fit(brindle_generator_state *state,
                                       const brindle__generator_frame &frame, size_t from) noexcept;
// Closes whatever stream or pull reader is open (cleanup and failures).
void brindle__generator_close_streams(brindle_generator_state *state) noexcept;

#endif  // BRINDLE_STREAM_GENERATOR_STATE_H
