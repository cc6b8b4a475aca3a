// The multipart parser's state, shared by its translation units: opening and boundary
// extraction (multipart_open.cpp), part headers (multipart_headers.cpp), delimited bodies
// (multipart_body.cpp) and the push loop with the line states (multipart.cpp).
#ifndef BRINDLE_STREAM_MULTIPART_INTERNAL_H
#define BRINDLE_STREAM_MULTIPART_INTERNAL_H

#include <cstdint>

#include "framing_buffer.h"
#include "line_reader.h"

enum brindle__multipart_state : int32_t {
  BRINDLE__MP_BOUNDARY = 1,
  BRINDLE__MP_HEADERS = 2,
  BRINDLE__MP_BODY_COUNTED = 3,
  BRINDLE__MP_BODY_DELIMITED = 4,
  BRINDLE__MP_DONE = 5
};

// Where a delimited body stands with respect to a possible delimiter. A candidate is a line break
// (or the very start of the body) followed by bytes that may still turn out to be the delimiter
// or the closing delimiter and their line break; its bytes are held back until that is decided.
enum brindle__delimiter_match : int32_t {
  BRINDLE__DM_NONE = 0,      // plain body bytes
  BRINDLE__DM_CR = 1,        // a CR that may start a CR LF line break
  BRINDLE__DM_BOUNDARY = 2,  // matching the delimiter text ("--" and the boundary)
  BRINDLE__DM_AFTER = 3,     // the delimiter is complete
  BRINDLE__DM_AFTER_CR = 4,  // the delimiter and a CR
  BRINDLE__DM_DASH = 5,      // the delimiter and one '-' of the closing suffix
  BRINDLE__DM_CLOSE = 6,     // the closing delimiter is complete
  BRINDLE__DM_CLOSE_CR = 7,  // the closing delimiter and a CR
  BRINDLE__DM_STALLED = 8    // a delimiter followed by CR and another byte: held until the limit
};

struct brindle_multipart {
  size_t max_boundary_bytes;
  size_t max_line_bytes;
  size_t max_headers;
  size_t max_buffered_bytes;
  const brindle_allocator *caller_allocator;
  brindle_allocator allocator;  // resolved copy: the system functions when none was given

  brindle__framing_buffer boundary;
  brindle__framing_buffer delimiter;          // "--" boundary
  brindle__framing_buffer closing_delimiter;  // "--" boundary "--"
  brindle__line_reader line;
  brindle__framing_buffer pending;  // body bytes held back while a delimiter may be forming
  brindle__framing_buffer scratch;  // decoding of quoted Content-Disposition parameters

  // The current part. Each header's name and value share one allocation whose size is stored
  // in front of the name.
  brindle_multipart_header *headers;
  size_t header_count;
  size_t header_capacity;  // records
  size_t headers_bytes;    // bytes allocated for the records
  char *name;
  size_t name_size;
  char *content_type;
  size_t content_type_size;
  int64_t content_length;  // -1 when unknown
  uint64_t remaining;      // counted bodies: bytes still to deliver

  bool finished;       // the closing delimiter was seen; later bytes are epilogue
  bool finish_called;  // the caller declared the end of the body; pushes are refused
  int32_t state;       // brindle__multipart_state

  // Delimited bodies: the candidate being matched (see brindle__delimiter_match).
  int32_t match;
  size_t match_position;  // bytes of the delimiter text matched so far
  size_t match_length;    // bytes of the candidate so far, line break included
};

// Callback results: a callback that filled the error record keeps its code; otherwise the
// message is set with BRINDLE_CALLBACK_FAILED.
brindle_status brindle__multipart_callback_failed(brindle_error *error,
                                                  const char *message) noexcept;

// The descriptor of the current part, valid until the part changes.
brindle_multipart_part brindle__multipart_descriptor(const brindle_multipart *parser) noexcept;

// Frees the part's headers and strings, forgets its length and empties the pending bytes.
void brindle__multipart_reset_part(brindle_multipart *parser) noexcept;

// Processes one complete header line of the current part.
brindle_status brindle__multipart_header_line(brindle_multipart *parser, const char *line,
                                              size_t length, brindle_error *error) noexcept;

// Starts a delimited body: the body's first bytes may be the delimiter itself (an empty part).
void brindle__multipart_body_start(brindle_multipart *parser) noexcept;

// Feeds bytes of a delimited body. Stops after the delimiter that ends the part (the part ended,
// state headers or done) or at the end of the bytes; *used tells how many bytes were taken.
brindle_status brindle__multipart_body_feed(brindle_multipart *parser, const char *bytes,
                                            size_t length,
                                            const brindle_multipart_callbacks *callbacks,
                                            void *user_data, size_t *used,
                                            brindle_error *error) noexcept;

// Calls end_part for the current part, resets it and enters next_state.
brindle_status brindle__multipart_end_part(brindle_multipart *parser, int32_t next_state,
                                           const brindle_multipart_callbacks *callbacks,
                                           void *user_data, brindle_error *error) noexcept;

#endif  // BRINDLE_STREAM_MULTIPART_INTERNAL_H
