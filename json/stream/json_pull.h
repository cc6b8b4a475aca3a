// The JSON pull reader: re-emits exactly one JSON value read from a raw JSON value's content,
// compact or pretty, handing the text out in pieces of any size and keeping its place between
// calls. It works without recursion: open containers are one byte each on a stack grown through
// the allocator. Its text equals what the serializer writes for the same value.
#ifndef BRINDLE_STREAM_JSON_PULL_H
#define BRINDLE_STREAM_JSON_PULL_H

#include "../core/values_internal.h"
#include "pull_output.h"

constexpr size_t BRINDLE_JSON_PULL_BLOCK = 4096;

struct brindle__json_pull {
  brindle_allocator allocator;
  brindle__json_cursor cursor;
  bool cursor_open;
  bool initialized;
  bool failed;
  bool pretty;
  size_t base_depth;
  size_t max_depth;
  size_t max_number_bytes;
  size_t max_total_bytes;  // 0: unlimited

  // Input: a block read from the cursor.
  char input[BRINDLE_JSON_PULL_BLOCK];
  size_t input_position;
  size_t input_length;
  bool input_eof;
  size_t consumed;  // bytes read from the cursor so far

  // Open containers, innermost last: 1 for an object, 0 for an array.
  unsigned char *stack;
  size_t depth;
  size_t stack_capacity;

  // Where the lexer is.
  int state;
  int number_state;
  size_t token_bytes;       // bytes of the current number or literal so far
  const char *literal;      // the literal being matched
  bool in_key;              // the current string is an object key
  unsigned hex_digits;      // hex digits of the current \u escape read so far
  uint32_t code_unit;       // value of the current \u escape
  uint32_t high_surrogate;  // first half of a surrogate pair

  brindle__pending pending;
  char scratch[8];
  brindle_error error;
};

// Opens the value's content (memory, reader as it stands, FILE* and descriptors rewound, paths
// opened) for pretty or compact output whose indentation continues at depth. The value's
// depth, number and total limits apply (zero members meaning the defaults), the depth limit as
// in the serializer's re-emission, so both accept the same values. Failures are in
// pull->error; the reader must be closed in any case.
brindle_status brindle__json_pull_open(brindle__json_pull *pull, const brindle_json_value *value,
                                       bool pretty, size_t depth,
                                       const brindle_allocator *allocator) noexcept;
// Writes up to capacity bytes; *done once the value was handed out whole and nothing but white
// space followed it.
brindle_status brindle__json_pull_read(brindle__json_pull *pull, char *buffer, size_t capacity,
                                       size_t *written, bool *done) noexcept;
// Closes the cursor (and a file it opened) and frees the container stack.
void brindle__json_pull_close(brindle__json_pull *pull) noexcept;

#endif  // BRINDLE_STREAM_JSON_PULL_H
