// Internal interface of the push parser, used by the one-shot entry points, validation, the
// object stream, the array stream, the server-sent-events reader and the libcurl adapters.
// The parser keeps all of its state between chunks, works in a fixed 4 KiB workspace inside its
// state and allocates only for what it stores into the record.
#ifndef BRINDLE_CORE_PARSER_API_H
#define BRINDLE_CORE_PARSER_API_H

#include "internal.h"

struct brindle_parser;  // the full state is private to the parser (parser_state.h)

// A parser state allocated through allocator (statistics kept), in the "not started" state;
// NULL on allocation failure. Free with brindle__parser_delete.
brindle_parser *brindle__parser_new(const brindle_allocator *allocator) noexcept;
// Releases what the state holds (bookkeeping, an active string stream) and frees it; NULL ok.
void brindle__parser_delete(brindle_parser *parser) noexcept;

// Releases what the state holds beyond itself (a half-delivered string stream is marked
// inactive, open frames are forgotten). Call it before re-initialising a state that may be in
// the middle of a document; brindle__parser_delete calls it.
void brindle__parser_release(brindle_parser *parser) noexcept;

// Starts a new document: zeroes the state, copies the options (NULL: clear 1, reject
// duplicates 1, depth 64, default allocator), line 1, column 0, offset 0. Does not touch the
// record (see brindle__parser_prepare_record). validation_mode: no map, any root value.
brindle_status brindle__parser_init_state(brindle_parser *parser, const brindle_map *map,
                                          void *record, const brindle_parse_options *options,
                                          int validation_mode) noexcept;

// With clear_destination set in options (or NULL options), initialises record with the map,
// using the options' allocator for members that embed one.
void brindle__parser_prepare_record(const brindle_map *map, void *record,
                                    const brindle_parse_options *options) noexcept;

// Consumes bytes. With stop_at_root_end it returns as soon as the root value is complete and no
// token is pending, *consumed telling how many bytes were used (a byte that ended a root number
// is not consumed). Returns BRINDLE_TRUNCATED instead of BRINDLE_OK when anything was truncated
// so far. A failed parser returns its stored code without consuming.
brindle_status brindle__parser_feed_bytes(brindle_parser *parser, const char *bytes, size_t length,
                                          size_t *consumed, int stop_at_root_end) noexcept;

// End of input: completes a pending number, checks for an incomplete document.
brindle_status brindle_parser_finish(brindle_parser *parser) noexcept;

// The parser's error record (code, position, message, truncated flag).
const brindle_error *brindle__parser_error(const brindle_parser *parser) noexcept;

// The root value has been read completely.
bool brindle__parser_root_complete(const brindle_parser *parser) noexcept;

// The first byte of the root value has been seen.
bool brindle__parser_root_started(const brindle_parser *parser) noexcept;

#endif  // BRINDLE_CORE_PARSER_API_H
