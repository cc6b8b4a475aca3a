// The array stream's private state and the pieces its source files share: the document state
// machine, the JSON string decoder for root keys and string elements, the key set that catches
// repeated keys, and the element modes.
#ifndef BRINDLE_STREAM_ARRAY_STREAM_INTERNAL_H
#define BRINDLE_STREAM_ARRAY_STREAM_INTERNAL_H

#include "core/internal.h"
#include "core/parser_api.h"
#include "core/stream_input.h"

constexpr size_t BRINDLE__ARRAY_BLOCK = 1024;         // read size and largest push slice
constexpr size_t BRINDLE__ARRAY_MAX_KEY = 65536;      // decoded bytes of one root key
constexpr size_t BRINDLE__ARRAY_MAX_ITEM = 1048576;   // bytes of one whole string item
constexpr size_t BRINDLE__ARRAY_KEEP_BUFFER = 65536;  // larger scratch buffers are given back

// ---- Growable byte buffer ----------------------------------------------------------------------

struct brindle__bytes {
  char *data;
  size_t length;
  size_t capacity;
};

// Room for length + extra bytes plus a NUL; false on allocation failure (buffer unchanged).
bool brindle__bytes_reserve(brindle__bytes *bytes, const brindle_allocator *allocator,
                            size_t extra) noexcept;
bool brindle__bytes_append(brindle__bytes *bytes, const brindle_allocator *allocator,
                           const char *data, size_t length) noexcept;
void brindle__bytes_free(brindle__bytes *bytes, const brindle_allocator *allocator) noexcept;
// Empties the buffer, giving back a large one.
void brindle__bytes_clear(brindle__bytes *bytes, const brindle_allocator *allocator) noexcept;

// ---- Key set -----------------------------------------------------------------------------------

// Keys seen, each tagged with the object it belongs to (scope), in a hash table over one byte
// store, so that repeated keys are found in constant time however many keys an object has.
struct brindle__key_entry {
  uint64_t hash;  // 0: empty slot
  size_t offset;  // into the store
  size_t length;
  uint64_t scope;
};

struct brindle__key_set {
  brindle__key_entry *slots;
  size_t slot_count;  // a power of two, or 0
  size_t used;
  brindle__bytes store;
};

enum brindle__key_insert { BRINDLE__KEY_NEW, BRINDLE__KEY_REPEATED, BRINDLE__KEY_NO_MEMORY };

brindle__key_insert brindle__key_set_insert(brindle__key_set *set,
                                            const brindle_allocator *allocator, uint64_t scope,
                                            const char *key, size_t length) noexcept;
void brindle__key_set_clear(brindle__key_set *set, const brindle_allocator *allocator) noexcept;
void brindle__key_set_free(brindle__key_set *set, const brindle_allocator *allocator) noexcept;

// ---- JSON string decoder -----------------------------------------------------------------------

// Decodes the content of a JSON string after its opening quote, resumable at any byte.
struct brindle__string_decoder {
  uint8_t state;  // see array_stream_strings.cpp
  uint8_t hex_left;
  uint32_t code;
  uint32_t high;  // pending high surrogate
};

void brindle__string_decoder_reset(brindle__string_decoder *decoder) noexcept;

// Decodes input[0, length) into out (room for length + 4 bytes). Returns the bytes consumed and
// the decoded count in *produced; *done when the closing quote was consumed. On a failure
// *message names it, and the failing byte is the last one consumed.
size_t brindle__string_decode(brindle__string_decoder *decoder, const char *input, size_t length,
                              char *out, size_t *produced, bool *done,
                              const char **message) noexcept;

// ---- The stream --------------------------------------------------------------------------------

enum brindle__array_doc : uint8_t {
  BRINDLE__DOC_START,
  BRINDLE__DOC_KEY_OR_END,  // after the root '{'
  BRINDLE__DOC_KEY,         // after ',' in the root object
  BRINDLE__DOC_IN_KEY,
  BRINDLE__DOC_COLON,
  BRINDLE__DOC_VALUE,        // a root member's value starts
  BRINDLE__DOC_SKIP,         // a root member's value is checked and dropped
  BRINDLE__DOC_MEMBER_SEP,   // ',' or '}' in the root object
  BRINDLE__DOC_ARRAY_FIRST,  // after '[': an element or ']'
  BRINDLE__DOC_ARRAY_NEXT,   // after ',': an element
  BRINDLE__DOC_ELEMENT,      // an element is being read
  BRINDLE__DOC_ELEMENT_SEP,  // the element is complete: ',' or ']' delivers it
  BRINDLE__DOC_SEP_PENDING,  // the element was delivered; its separator is acted on next
  BRINDLE__DOC_AFTER_ROOT,   // only whitespace until the end of input
};

enum brindle__array_phase : uint8_t {
  BRINDLE__PHASE_ACTIVE,
  BRINDLE__PHASE_DONE,
  BRINDLE__PHASE_FAILED
};

// How the caller wants elements.
enum brindle__array_mode : uint8_t {
  BRINDLE__MODE_NONE = 0,
  BRINDLE__MODE_MAPPED = 1,  // parsed into a mapped record
  BRINDLE__MODE_RAW = 2,     // captured as a JSON value
  BRINDLE__MODE_CHUNKS = 3,  // strings in decoded chunks
  BRINDLE__MODE_ITEMS = 4,   // whole strings
};

struct brindle__array_request {
  uint8_t mode;
  const brindle_map *map;                         // MAPPED
  void *destination;                              // MAPPED: the record; RAW: the brindle_json_value
  const brindle_array_string_handlers *handlers;  // CHUNKS
  void *handler_context;
};

struct brindle_array_stream {
  brindle_allocator allocator;
  brindle_parse_options options;  // options.allocator points at allocator
  brindle__stream_input input;
  bool push;
  char block[BRINDLE__ARRAY_BLOCK];
  size_t block_fill;
  size_t block_position;
  bool eof;       // no input follows what is buffered (pull: the source ended; push: finish)
  bool finished;  // push: finish was called

  // Position of the next byte: offset, line, and the offset at which the line began.
  size_t offset;
  size_t line;
  size_t line_start;

  char *field;  // NULL: the root must be the array
  size_t field_length;

  uint8_t state;
  uint8_t phase;
  brindle_error error;

  // Root keys.
  brindle__string_decoder decoder;
  brindle__bytes key;
  bool selected;  // the member being read is the selected field
  bool found;
  brindle__key_set root_keys;

  // The element (or skipped member value) being read.
  brindle_parser *parser;
  uint8_t element_mode;
  const brindle_map *element_map;
  void *element_destination;
  size_t element_offset;
  size_t element_line;
  size_t element_column;
  void *prepared;  // the mapped destination prepared last, and its map
  const brindle_map *prepared_map;
  brindle__bytes capture;  // RAW: the element's text; ITEMS: the decoded string
  brindle__key_set value_keys;
  char separator;  // ',' or ']' after a delivered element
  bool element_truncated;
};

// Runs the document machine over input[*position, length): consumes bytes until an element is
// complete (BRINDLE_ARRAY_STREAM_ITEM), the document ended at the end of input
// (BRINDLE_ARRAY_STREAM_END), the input is used up (BRINDLE_ARRAY_STREAM_NEED_INPUT) or it
// failed (BRINDLE_ARRAY_STREAM_ERROR, the stream failed). With stream->eof set, running out of
// input is the end of the document.
int brindle__array_run(brindle_array_stream *stream, const brindle__array_request *request,
                       const char *input, size_t length, size_t *position) noexcept;

// Fails the stream with code and message at the current position; returns ERROR.
int brindle__array_fail(brindle_array_stream *stream, brindle_status code, const char *format,
                        ...) noexcept __attribute__((format(printf, 3, 4)));

// Counts bytes [bytes, bytes + length) as consumed (offset, lines, columns).
void brindle__array_advance(brindle_array_stream *stream, const char *bytes,
                            size_t length) noexcept;

// ---- Shared by pull and push (array_stream.cpp) ------------------------------------------------

// An argument failure: reported in the stream's record and the caller's (both optional); the
// stream goes on. Returns BRINDLE_ARRAY_STREAM_ERROR.
int brindle__array_refuse(brindle_array_stream *stream, brindle_error *error,
                          const char *message) noexcept;
// Copies the stream's error record to error (optional).
void brindle__array_report(const brindle_array_stream *stream, brindle_error *error) noexcept;
// A failed stream's stored failure, guaranteed to carry a code.
int brindle__array_stored_failure(brindle_array_stream *stream) noexcept;
// Whether an element half read by an earlier call may be continued by request.
bool brindle__array_resumes_element(const brindle_array_stream *stream,
                                    const brindle__array_request &request) noexcept;
// A call begins: what an earlier call left in the error record is cleared.
void brindle__array_begin_call(brindle_array_stream *stream) noexcept;
// The element just produced had a truncated value: the error record says so.
void brindle__array_note_truncated(brindle_array_stream *stream) noexcept;

// ---- Element modes (array_stream_elements.cpp) -------------------------------------------------

// An element (or, with request NULL, a skipped member value) starts at its first byte.
int brindle__array_element_begin(brindle_array_stream *stream,
                                 const brindle__array_request *request, const char *input,
                                 size_t length, size_t *position) noexcept;
// Continues it; BRINDLE_ARRAY_STREAM_ITEM when it is complete, NEED_INPUT or ERROR.
int brindle__array_element_continue(brindle_array_stream *stream,
                                    const brindle__array_request *request, const char *input,
                                    size_t length, size_t *position) noexcept;
// Input ended inside the element or skipped value: ITEM when what was read is complete (a
// number waits for its delimiter), else ERROR.
int brindle__array_element_at_eof(brindle_array_stream *stream) noexcept;
// The raw capture becomes the JSON value (after the duplicate check); ITEM or ERROR.
int brindle__array_raw_deliver(brindle_array_stream *stream, brindle_json_value *value) noexcept;
// The mapped destination is prepared for a new element (clear_destination).
void brindle__array_prepare_destination(brindle_array_stream *stream, const brindle_map *map,
                                        void *destination) noexcept;

#endif  // BRINDLE_STREAM_ARRAY_STREAM_INTERNAL_H
