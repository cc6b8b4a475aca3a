// Shared pieces of local mutation: the plan's storage, the parsing helpers of one expression
// and the writers the streaming apply uses.
#ifndef STAVOC_MUTATE_MUTATION_INTERNAL_H
#define STAVOC_MUTATE_MUTATION_INTERNAL_H

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "../api/utf8_check.h"
#include "brindle_values.h"
#include "stavoc.h"
#include "stavoc_mutate.h"

struct sv_mutation_plan {
  sv_mutation *items;
  size_t count;
  size_t capacity;
  size_t expanded_bytes;  // texts made by brace expansion so far
};

namespace sv_mutation_impl {

// A view of bytes inside an expression.
struct Text {
  const char *data;
  size_t size;
};

// Decoded segments are at most this many bytes.
constexpr size_t kSegmentLimit = 1024;

// Frees what one mutation owns and zeroes it.
void mutation_clear(sv_mutation *mutation) noexcept;
// Appends a finished mutation (ownership moves into the plan; zeroed on return either way).
int plan_append(sv_mutation_plan *plan, sv_mutation *mutation, sv_error *error) noexcept;

// Splits a JSON pointer into mutation->path.
int split_path(Text path, sv_mutation *mutation, sv_error *error) noexcept;

// Parses one expression (brace forms recurse with depth + 1) and appends its mutations.
int parse_expression(Text expression, const sv_mutation_parse_options *options,
                     sv_mutation_plan *plan, unsigned depth, sv_error *error) noexcept;
// Expands a brace form: prefix up to the first '{', items of the body up to the final '}'.
int expand_braces(Text rest, const sv_mutation_parse_options *options, sv_mutation_plan *plan,
                  unsigned depth, sv_error *error) noexcept;

// The whole text as a 64-bit integer written in decimal: an optional '-' (or '+' with
// allow_plus) and digits only, in range. False for fractions, exponents and other forms.
bool decimal_int64(const char *text, bool allow_plus, int64_t *out) noexcept;

// Resolves the value of a file-backed set into an owned absolute path.
int resolve_file_path(Text value, const sv_mutation_parse_options *options, char **out,
                      sv_error *error) noexcept;

// "now" or an RFC 3339 literal, normalised into an owned text.
int time_literal(Text literal, const sv_mutation_parse_options *options, char **out,
                 sv_error *error) noexcept;
// Formats an instant as a UTC timestamp with trailing fraction zeros removed.
int format_timestamp(int64_t seconds, long nanoseconds, char **out, sv_error *error) noexcept;

using sv_text::utf8_feed;
using sv_text::utf8_finished;
using sv_text::Utf8Check;

// Where a value writer reports: the output file (behind a buffer of its own, which spares
// stdio's per-call locking on small writes) and the failure of the value, if any.
struct ValueOutput {
  FILE *out;
  sv_error *error;  // filled on failure
  char *buffer;     // NULL: every write goes straight to out
  size_t used;
  size_t capacity;
};

// Writes bytes to the output; "failed to write mutate output" on failure.
bool output_write(ValueOutput *output, const char *bytes, size_t length) noexcept;
// Passes the buffered bytes on to the file.
bool output_flush(ValueOutput *output) noexcept;
// Writes text as the contents of a JSON string (no quotes).
bool output_escaped(ValueOutput *output, const char *bytes, size_t length) noexcept;
// Writes the mutation's value: a set's value, or an increment's delta (a missing target counts
// as 0); old + delta is written by the caller through write_integer or write_double.
int write_mutation_value(ValueOutput *output, const sv_mutation *mutation) noexcept;
// Writes a double in the serializer's form; non-finite values fail.
int write_double(ValueOutput *output, double value) noexcept;
// Writes a 64-bit integer in the serializer's form.
int write_integer(ValueOutput *output, int64_t value) noexcept;

}  // namespace sv_mutation_impl

#endif
