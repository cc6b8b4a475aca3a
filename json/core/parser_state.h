// The push parser's private state: the 4 KiB workspace with its frames, token space and
// bookkeeping areas, the lexical state kept between chunks, the capture modes of strings, and
// the helpers shared by the parser's source files.
#ifndef BRINDLE_CORE_PARSER_STATE_H
#define BRINDLE_CORE_PARSER_STATE_H

#include <array>
#include <cstring>

#include "key_index.h"
#include "parse_integer.h"
#include "parser_api.h"
#include "records.h"

constexpr size_t BRINDLE__WORKSPACE_SIZE = 4096;

enum : int32_t { BRINDLE__FRAME_OBJECT = 1, BRINDLE__FRAME_ARRAY = 2 };

// Frame states.
enum : int32_t {
  BRINDLE__OBJ_KEY_OR_END = 1,
  BRINDLE__OBJ_COLON = 2,
  BRINDLE__OBJ_VALUE = 3,
  BRINDLE__OBJ_COMMA_OR_END = 4,
  BRINDLE__ARR_VALUE_OR_END = 5,
  BRINDLE__ARR_COMMA_OR_END = 6
};

// One open object or array; stacked from the bottom of the workspace.
struct brindle__frame {
  int32_t type;
  int32_t state;
  const brindle_map *map;  // object frames: NULL when skipped or validating
  void *record;            // record the fields are stored into (arrays: the enclosing one)
  const brindle_field *array_field;    // array frames: member receiving elements
  const brindle_field *current_field;  // object frames: field of the key just read
  uint64_t seen_mask;                  // maps of up to 64 fields
  unsigned char *seen_bytes;           // larger maps: one byte per field, from the top
  size_t seen_bytes_size;
  size_t next_field;  // index expected next (key lookup fast path)
  size_t required_remaining;
  int32_t after_comma;
};
static_assert(sizeof(brindle__frame) == 88, "frames take 88 bytes of the workspace");
constexpr size_t BRINDLE__FRAME_SIZE = sizeof(brindle__frame);

// Lexical states.
enum : uint8_t {
  BRINDLE__LEX_NONE = 0,
  BRINDLE__LEX_STRING = 1,
  BRINDLE__LEX_NUMBER = 2,
  BRINDLE__LEX_TRUE = 3,
  BRINDLE__LEX_FALSE = 4,
  BRINDLE__LEX_NULL = 5
};

// Where the bytes of the string being read go.
enum : uint8_t {
  BRINDLE__CAPTURE_TOKEN = 0,    // token space (or in place in the input chunk)
  BRINDLE__CAPTURE_DIRECT = 1,   // straight into a fixed string member
  BRINDLE__CAPTURE_STREAM = 2,   // a spooled member or a string-stream handler
  BRINDLE__CAPTURE_JV = 3,       // a JSON value member being parsed
  BRINDLE__CAPTURE_DISCARD = 4,  // dropped (validation, skipped values)
  BRINDLE__CAPTURE_LONG = 5,     // a dynamic string that outgrew the token space: a heap block
};

// What the value being read belongs to.
enum : uint8_t {
  BRINDLE__TARGET_ROOT = 0,     // the root value (validation mode)
  BRINDLE__TARGET_KEY = 1,      // an object key
  BRINDLE__TARGET_FIELD = 2,    // member value for a known field of a mapped object
  BRINDLE__TARGET_ELEMENT = 3,  // element of a mapped array member
  BRINDLE__TARGET_SKIP = 4,     // dropped: unknown key, skipped container
  BRINDLE__TARGET_JV = 5        // inside a JSON value member
};

// Escape states inside a string.
enum : uint8_t {
  BRINDLE__ESC_NONE = 0,
  BRINDLE__ESC_START = 1,      // after a backslash
  BRINDLE__ESC_HEX = 2,        // reading the four hex digits of \u
  BRINDLE__ESC_LOW_SLASH = 3,  // after a high surrogate: the backslash of its low half
  BRINDLE__ESC_LOW_U = 4       // after a high surrogate and a backslash: the u
};

// Completed scalar tokens.
enum brindle__token_type : uint8_t {
  BRINDLE__TOKEN_STRING,
  BRINDLE__TOKEN_NUMBER,
  BRINDLE__TOKEN_TRUE,
  BRINDLE__TOKEN_FALSE,
  BRINDLE__TOKEN_NULL
};

// The JSON number grammar as a small automaton run while a number token is scanned, so that
// the grammar is known when the token completes.
enum : uint8_t {
  BRINDLE__NUM_START = 0,
  BRINDLE__NUM_MINUS = 1,
  BRINDLE__NUM_ZERO = 2,  // a leading zero: only '.', 'e' or 'E' may follow
  BRINDLE__NUM_INT = 3,
  BRINDLE__NUM_DOT = 4,
  BRINDLE__NUM_FRACTION = 5,
  BRINDLE__NUM_EXP_MARK = 6,
  BRINDLE__NUM_EXP_SIGN = 7,
  BRINDLE__NUM_EXPONENT = 8,
  BRINDLE__NUM_INVALID = 9
};

// Byte classes: 0 the digit 0, 1 digits 1-9, 2 '-', 3 '+', 4 '.', 5 'e' or 'E', 6 not a number
// byte (ends the token).
constexpr uint8_t BRINDLE__NUM_END_CLASS = 6;
constexpr std::array<uint8_t, 256> brindle__make_number_classes() noexcept {
  std::array<uint8_t, 256> table{};
  for (auto &entry : table)
    entry = BRINDLE__NUM_END_CLASS;
  table['0'] = 0;
  for (int c = '1'; c <= '9'; ++c)
    table[static_cast<size_t>(c)] = 1;
  table['-'] = 2;
  table['+'] = 3;
  table['.'] = 4;
  table['e'] = 5;
  table['E'] = 5;
  return table;
}
inline constexpr std::array<uint8_t, 256> brindle__number_class = brindle__make_number_classes();

inline constexpr uint8_t brindle__number_next[10][6] = {
    // 0  1-9   -     +     .     e
    {2, 3, 1, 9, 9, 9},  // start
    {2, 3, 9, 9, 9, 9},  // minus
    {9, 9, 9, 9, 4, 6},  // zero
    {3, 3, 9, 9, 4, 6},  // integer digits
    {5, 5, 9, 9, 9, 9},  // dot
    {5, 5, 9, 9, 9, 6},  // fraction digits
    {8, 8, 7, 7, 9, 9},  // exponent mark
    {8, 8, 9, 9, 9, 9},  // exponent sign
    {8, 8, 9, 9, 9, 9},  // exponent digits
    {9, 9, 9, 9, 9, 9},  // invalid
};

inline bool brindle__number_accepting(uint8_t state) noexcept {
  return state == BRINDLE__NUM_ZERO || state == BRINDLE__NUM_INT ||
         state == BRINDLE__NUM_FRACTION || state == BRINDLE__NUM_EXPONENT;
}

// What the parser keeps of a map it met: its required fields (maps of up to 64 fields) and
// whether a fresh record of it is all zero bytes.
struct brindle__mask_entry {
  const brindle_map *map;
  uint64_t mask;
  bool zero_init;
};

struct brindle_parser {
  alignas(16) unsigned char workspace[BRINDLE__WORKSPACE_SIZE];
  // Slots of the key index tables (key_index.h): like the workspace, written before being read,
  // so that starting a parse clears only what follows them.
  uint16_t key_slots[BRINDLE__KEY_INDEX_SLOTS];
  size_t frame_count;
  size_t top;  // bookkeeping areas live in [top, workspace size)

  // Inputs.
  const brindle_map *map;
  void *record;
  bool validation;
  bool reject_duplicates;
  bool clear_destination;
  size_t max_depth;
  brindle_allocator allocator;       // for what is stored into the record
  brindle_allocator self_allocator;  // for this state itself (brindle__parser_new)

  // Lexical state.
  uint8_t lex;
  uint8_t capture;
  uint8_t target;
  uint8_t esc;
  uint8_t hex_left;
  uint8_t literal_pos;
  uint8_t number_state;  // grammar automaton of the number token
  bool saw_nul;          // a decoded NUL byte is in the string
  uint32_t code_point;
  uint32_t high_surrogate;
  const brindle_field *value_field;  // field of the value being read (FIELD and ELEMENT)

  // Token: logical length; bytes either in place in the current chunk or in token space.
  size_t token_length;
  const unsigned char *token_in_place;

  // A dynamic string member or string array element longer than the token space continues in
  // a block of the record's allocator, which the member then owns; the workspace stays fixed.
  char *long_string;
  size_t long_capacity;

  // Direct capture into a fixed string member.
  char *direct;
  size_t direct_length;
  size_t direct_capacity;
  const brindle_field *direct_field;
  bool direct_truncated;

  // Streamed member (spooled text, spooled base64 bytes, string stream).
  bool stream_active;
  const brindle_field *stream_field;
  void *stream_member;
  unsigned char quartet[4];
  uint8_t quartet_fill;
  bool padding_seen;

  // JSON value member being parsed.
  bool jv_active;
  bool jv_visitor;
  bool jv_careful;  // visitor with a total limit: fed one byte at a time
  bool jv_in_key;
  brindle_json_value *jv_member;
  size_t jv_base_depth;
  size_t jv_containers;
  size_t jv_string_bytes;
  size_t jv_start_offset;
  brindle_value_limits jv_limits;
  brindle_error jv_reported;  // handed to visitor callbacks; empty before each call
  bool yield;                 // the feeder must re-dispatch (careful mode switched on)

  // Root and position.
  bool root_started;
  bool root_complete;
  bool failed;
  brindle_error error;
  size_t offset;
  size_t line;
  size_t line_start;  // offset at which the current line began

  // The chunk being fed: offsets of pointers into it are run_base + (p - run_begin).
  const unsigned char *run_begin;
  size_t run_base;

  brindle__mask_entry mask_cache[8];
  brindle__key_index_directory key_indexes;
};

// Where the part of the parser that each parse starts cleared begins.
constexpr size_t BRINDLE__PARSER_CLEARED_FROM = offsetof(brindle_parser, frame_count);

brindle_status brindle__jv_finish(brindle_parser *parser, const unsigned char *at) noexcept;

// ---- Small helpers ------------------------------------------------------------------------------

inline brindle__frame *brindle__top_frame(brindle_parser *parser) noexcept {
  if (parser->frame_count == 0) return nullptr;
  return reinterpret_cast<brindle__frame *>(parser->workspace) + (parser->frame_count - 1);
}

// The innermost frame where one is known to be open.
inline brindle__frame *brindle__inner_frame(brindle_parser *parser) noexcept {
  return reinterpret_cast<brindle__frame *>(parser->workspace) + (parser->frame_count - 1);
}

inline size_t brindle__frames_end(const brindle_parser *parser) noexcept {
  return parser->frame_count * BRINDLE__FRAME_SIZE;
}

// Free token space above the frames.
inline size_t brindle__token_space(const brindle_parser *parser) noexcept {
  return parser->top - brindle__frames_end(parser);
}

// Where a token stored in the workspace lives.
inline unsigned char *brindle__token_area(brindle_parser *parser) noexcept {
  return parser->workspace + brindle__frames_end(parser);
}

// Offset after consuming the byte at p of the current chunk.
inline size_t brindle__offset_after(const brindle_parser *parser, const unsigned char *p) noexcept {
  return parser->run_base + static_cast<size_t>(p - parser->run_begin) + 1;
}

inline const char *brindle__key_of(const brindle_field *field) noexcept {
  return field != nullptr && field->json_key != nullptr ? field->json_key : "<unknown>";
}

// The context of a value that starts in frame (NULL: the root).
inline void brindle__set_value_target(brindle_parser *parser,
                                      const brindle__frame *frame) noexcept {
  parser->value_field = nullptr;
  if (frame == nullptr) {
    parser->target = BRINDLE__TARGET_ROOT;
  } else if (parser->jv_active) {
    parser->target = BRINDLE__TARGET_JV;
  } else if (frame->type == BRINDLE__FRAME_OBJECT) {
    if (frame->map != nullptr && frame->current_field != nullptr) {
      parser->target = BRINDLE__TARGET_FIELD;
      parser->value_field = frame->current_field;
    } else {
      parser->target = BRINDLE__TARGET_SKIP;
    }
  } else if (frame->array_field != nullptr) {
    parser->target = BRINDLE__TARGET_ELEMENT;
    parser->value_field = frame->array_field;
  } else {
    parser->target = BRINDLE__TARGET_SKIP;
  }
}

// ---- Failures -----------------------------------------------------------------------------------

// Fails at the byte at p of the current chunk (its position counted as consumed).
brindle_status brindle__parser_fail_at(brindle_parser *parser, const unsigned char *p,
                                       brindle_status code, const char *format, ...) noexcept
    __attribute__((format(printf, 4, 5), cold));
// Fails at the current position (end of input, or after the last consumed byte).
brindle_status brindle__parser_fail_here(brindle_parser *parser, brindle_status code,
                                         const char *format, ...) noexcept
    __attribute__((format(printf, 3, 4), cold));
// Another module or a caller's callback returned status at the byte at p (NULL: current
// position). BRINDLE_OK passes; BRINDLE_TRUNCATED goes on with the truncated flag set; any other
// status stops the parse, keeping the message written into *reported (a record that started
// out empty) or else the fallback message.
brindle_status brindle__parser_outside_status(brindle_parser *parser, const unsigned char *p,
                                              brindle_status status, const brindle_error *reported,
                                              const char *fallback) noexcept;
// Something was truncated at p (NULL: current position): the parse ends with
// BRINDLE_TRUNCATED; the first such event names itself in the message.
void brindle__parser_note_truncated(brindle_parser *parser, const unsigned char *p,
                                    const char *format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// ---- Structure (parser_structure.cpp) ----------------------------------------------------------

brindle__frame *brindle__push_frame(brindle_parser *parser, int32_t type, const brindle_map *map,
                                    void *record, const brindle_field *array_field,
                                    const unsigned char *at) noexcept;
// Closes the innermost frame at its '}' or ']' (required fields, bookkeeping, JSON values).
brindle_status brindle__close_frame(brindle_parser *parser, const unsigned char *at) noexcept;
// The key just read selects the frame's current field.
brindle_status brindle__key_complete(brindle_parser *parser, brindle__frame *frame,
                                     const unsigned char *key, size_t length,
                                     const unsigned char *at) noexcept;
// brindle__key_complete for the key expected next in a map of up to 64 fields, inline (keys
// mostly come in map order); every other key goes to it.
inline brindle_status brindle__key_complete_expected(brindle_parser *parser, brindle__frame *frame,
                                                     const unsigned char *key, size_t length,
                                                     const unsigned char *at) noexcept {
  const brindle_map *map = frame->map;
  if (map != nullptr && map->fields != nullptr && map->field_count <= 64 && length != 0) {
    const size_t expected = frame->next_field;
    if (expected < map->field_count && brindle__key_matches(&map->fields[expected], key, length)) {
      frame->state = BRINDLE__OBJ_COLON;
      frame->current_field = &map->fields[expected];
      frame->next_field = expected + 1;
      return BRINDLE_OK;
    }
  }
  return brindle__key_complete(parser, frame, key, length, at);
}
// Duplicate and required bookkeeping for a field of the frame; *repeated (optional) tells that
// the field was seen before and duplicates are accepted (the later value replaces the earlier).
brindle_status brindle__note_field(brindle_parser *parser, brindle__frame *frame,
                                   const brindle_field *field, const unsigned char *at,
                                   bool *repeated) noexcept;
// brindle__note_field for a field met the first time in a map of up to 64 fields, inline; the
// rest (large maps, repeated fields) goes to it.
inline brindle_status brindle__note_new_field(brindle_parser *parser, brindle__frame *frame,
                                              const brindle_field *field,
                                              const unsigned char *at) noexcept {
  const brindle_map *map = frame->map;
  if (map->field_count <= 64) {
    const uint64_t bit = uint64_t{1} << static_cast<size_t>(field - map->fields);
    if ((frame->seen_mask & bit) == 0) {
      frame->seen_mask |= bit;
      if ((field->flags & BRINDLE_FIELD_REQUIRED) != 0) --frame->required_remaining;
      return BRINDLE_OK;
    }
  }
  return brindle__note_field(parser, frame, field, at, nullptr);
}
// Opens the value that starts with '{' or '[' in the innermost context.
brindle_status brindle__open_container(brindle_parser *parser, unsigned char c,
                                       const unsigned char *at) noexcept;

// The field of the frame's map that key names (NULL: none); keys in map order take one compare.
const brindle_field *brindle__find_field(brindle_parser *parser, brindle__frame *frame,
                                         const unsigned char *key, size_t length) noexcept;

// ---- Scalars (parser_assign.cpp) ---------------------------------------------------------------

// A scalar token completed; at is the byte that completed it (NULL: end of input).
brindle_status brindle__scalar_complete(brindle_parser *parser, brindle__token_type type,
                                        const unsigned char *data, size_t length,
                                        const unsigned char *at) noexcept;

// A value finished: the frame expects a separator, or the root is complete; a JSON value
// member whose value this was is finished too.
inline brindle_status brindle__value_done(brindle_parser *parser,
                                          const unsigned char *at) noexcept {
  if (parser->frame_count == 0) {
    parser->root_complete = true;
  } else {
    brindle__frame *frame = brindle__inner_frame(parser);
    frame->state = frame->type == BRINDLE__FRAME_OBJECT ? BRINDLE__OBJ_COMMA_OR_END
                                                        : BRINDLE__ARR_COMMA_OR_END;
  }
  if (parser->jv_active && parser->frame_count == parser->jv_base_depth) {
    return brindle__jv_finish(parser, at);
  }
  return BRINDLE_OK;
}

// ---- Strings (parser_strings.cpp) --------------------------------------------------------------

// The opening quote of a string was consumed at at.
brindle_status brindle__string_begin(brindle_parser *parser, const unsigned char *at) noexcept;
// A run of plain bytes [run, run + length) of the current string.
brindle_status brindle__string_run(brindle_parser *parser, const unsigned char *run,
                                   size_t length) noexcept;
// One byte of an escape sequence at p.
brindle_status brindle__string_escape_byte(brindle_parser *parser, const unsigned char *p) noexcept;
// The closing quote at at.
brindle_status brindle__string_end(brindle_parser *parser, const unsigned char *at) noexcept;
// Token bytes of the string or number in progress (in place or in token space).
const unsigned char *brindle__token_data(brindle_parser *parser) noexcept;
// Moves a token kept in place in the chunk into token space (end of a chunk, escapes).
void brindle__token_to_workspace(brindle_parser *parser) noexcept;
// The block holding a long string for data, taken over by the caller (its capacity holds a NUL
// after length bytes), or NULL when data is not such a block.
char *brindle__take_long_string(brindle_parser *parser, const unsigned char *data) noexcept;
// Frees a long string not handed to a member (failures, released parsers).
void brindle__drop_long_string(brindle_parser *parser) noexcept;

// ---- Numbers (parser_numbers.cpp) --------------------------------------------------------------

bool brindle__number_grammar_ok(const unsigned char *text, size_t length) noexcept;
bool brindle__parse_f64(const unsigned char *text, size_t length, double *out) noexcept;
// The same for a text already known to follow the JSON number grammar.
bool brindle__parse_f64_valid(const unsigned char *text, size_t length, double *out) noexcept;

// ---- Streamed members (parser_stream.cpp) -------------------------------------------------------

brindle_status brindle__stream_value_begin(brindle_parser *parser, const brindle_field *field,
                                           void *member, const unsigned char *at) noexcept;
// Decoded bytes of the string; at_end is the byte that completed them (the last of the run).
brindle_status brindle__stream_value_append(brindle_parser *parser, const unsigned char *bytes,
                                            size_t length, const unsigned char *first,
                                            bool from_input) noexcept;
brindle_status brindle__stream_value_finish(brindle_parser *parser,
                                            const unsigned char *at) noexcept;
// Clears the active flag of a string stream left half-delivered.
void brindle__stream_release(brindle_parser *parser) noexcept;

// ---- JSON value members (parser_json_value.cpp) -------------------------------------------------

// A JSON value member's value starts (container or string) at at.
brindle_status brindle__jv_begin(brindle_parser *parser, const brindle_field *field,
                                 brindle_json_value *member, const unsigned char *at) noexcept;
brindle_status brindle__jv_container_open(brindle_parser *parser, unsigned char c,
                                          const unsigned char *at) noexcept;
brindle_status brindle__jv_container_close(brindle_parser *parser, unsigned char c,
                                           const unsigned char *at) noexcept;
brindle_status brindle__jv_punctuation(brindle_parser *parser, unsigned char c,
                                       const unsigned char *at) noexcept;
brindle_status brindle__jv_string_begin(brindle_parser *parser, bool key,
                                        const unsigned char *at) noexcept;
brindle_status brindle__jv_string_bytes(brindle_parser *parser, const unsigned char *bytes,
                                        size_t length, const unsigned char *first,
                                        bool from_input) noexcept;
brindle_status brindle__jv_string_end(brindle_parser *parser, const unsigned char *at) noexcept;
// A number or literal inside the value.
brindle_status brindle__jv_scalar(brindle_parser *parser, brindle__token_type type,
                                  const unsigned char *data, size_t length,
                                  const unsigned char *at) noexcept;
// A number token inside the value that completed in the chunk (its grammar state in
// number_state); the value is done afterwards, as for any scalar.
brindle_status brindle__jv_number(brindle_parser *parser, const unsigned char *data, size_t length,
                                  const unsigned char *at) noexcept;
// A number or literal that is the whole value of a JSON value member.
brindle_status brindle__jv_scalar_value(brindle_parser *parser, const brindle_field *field,
                                        brindle_json_value *member, brindle__token_type type,
                                        const unsigned char *data, size_t length,
                                        const unsigned char *at) noexcept;
// The member's value is complete.
brindle_status brindle__jv_finish(brindle_parser *parser, const unsigned char *at) noexcept;

// ---- One-shot parses (parse_entry.cpp) ---------------------------------------------------------

// Parses or validates a whole buffer with a parser on the stack; error receives the parser's
// record. Arguments are checked by the callers.
brindle_status brindle__one_shot_buffer(const brindle_map *map, void *record, const char *bytes,
                                        size_t length, const brindle_parse_options *options,
                                        bool validation, brindle_error *error) noexcept;
// The same for input pulled from a reader in 1024-byte reads until a result has eof set.
brindle_status brindle__one_shot_reader(const brindle_map *map, void *record, brindle_reader reader,
                                        void *user, const brindle_parse_options *options,
                                        bool validation, brindle_error *error) noexcept;
// A reader over a FILE*: fread, eof from feof, errno when ferror is set.
brindle_read_result brindle__file_reader(void *file, char *buffer, size_t capacity) noexcept;

#endif  // BRINDLE_CORE_PARSER_STATE_H
