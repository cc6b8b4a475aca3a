// Shared pieces of the fuzz targets: a record type with a member of every kind, a slicer that
// turns the first input bytes into a chunking plan, and helpers to describe outcomes so that two
// runs can be compared byte for byte.
#ifndef STAVO_FUZZ_SUPPORT_H
#define STAVO_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "brindle.h"

namespace fuzz {

// ---- Failing loudly ---------------------------------------------------------------------------

[[noreturn]] inline void fail(const char *what, const std::string &left, const std::string &right) {
  std::fprintf(stderr, "MISMATCH: %s\n--- first ---\n%s\n--- second ---\n%s\n", what, left.c_str(),
               right.c_str());
  std::abort();
}

inline void expect_same(const char *what, const std::string &left, const std::string &right) {
  if (left != right) fail(what, left, right);
}

inline void expect(bool condition, const char *what, const std::string &detail = std::string()) {
  if (!condition) fail(what, detail, std::string());
}

// ---- The record -------------------------------------------------------------------------------

struct Leaf {
  int64_t n;
  char *label;
  char tag[6];
};

inline const brindle_field kLeafFields[] = {
    BRINDLE_DECL_I64(Leaf, n, "n", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Leaf, label, "label", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_FIXED_STRING(Leaf, tag, "tag", 0, BRINDLE_OVERFLOW_FAIL),
};
inline const brindle_map kLeafMap = BRINDLE_MAP("leaf", Leaf, kLeafFields);

constexpr size_t kFixedInts = 4;

// Every member kind, fixed and dynamic storage, every overflow mode and flag.
struct Everything {
  char *text;
  char small[8];
  char cut[4];
  char quiet[4];
  brindle_spooled spool_text;
  brindle_spooled spool_bytes;
  brindle_source source;
  brindle_json_value raw;
  int64_t i;
  uint64_t u;
  double f;
  int32_t b;
  int64_t pi;
  int32_t pi_present;
  double pf;
  int32_t pf_present;
  Leaf leaf;
  brindle_array strings;
  brindle_array ints;
  brindle_array uints;
  brindle_array floats;
  brindle_array bools;
  brindle_array fixed_ints;
  brindle_object_array leaves;
  brindle_string_array_stream stream;
  int64_t fixed_storage[kFixedInts];
};

inline const brindle_spool_options kSmallSpool = {24, 0, nullptr};
inline const brindle_spool_options kCappedSpool = {16, 48, nullptr};

#define FUZZ_EVERYTHING_FIELDS                                                                    \
  BRINDLE_DECL_STRING(Everything, text, "text", BRINDLE_FIELD_OMIT_NULL),                         \
      BRINDLE_DECL_FIXED_STRING(Everything, small, "small", 0, BRINDLE_OVERFLOW_FAIL),            \
      BRINDLE_DECL_FIXED_STRING(Everything, cut, "cut", 0, BRINDLE_OVERFLOW_TRUNCATE),            \
      BRINDLE_DECL_FIXED_STRING(Everything, quiet, "quiet", 0, BRINDLE_OVERFLOW_TRUNCATE_SILENT), \
      BRINDLE_DECL_SPOOLED(Everything, spool_text, "st", BRINDLE_FIELD_SPOOLED_TEXT,              \
                           BRINDLE_FIELD_OMIT_EMPTY, &kSmallSpool),                               \
      BRINDLE_DECL_SPOOLED(Everything, spool_bytes, "sb", BRINDLE_FIELD_SPOOLED_BYTES, 0,         \
                           &kCappedSpool),                                                        \
      BRINDLE_DECL_SOURCE(Everything, source, "src", BRINDLE_FIELD_SOURCE_TEXT,                   \
                          BRINDLE_FIELD_OMIT_NULL),                                               \
      BRINDLE_DECL_JSON_VALUE(Everything, raw, "raw", BRINDLE_FIELD_OMIT_NULL),                   \
      BRINDLE_DECL_I64(Everything, i, "i", BRINDLE_FIELD_REQUIRED),                               \
      BRINDLE_DECL_U64(Everything, u, "u", 0), BRINDLE_DECL_F64(Everything, f, "f", 0),           \
      BRINDLE_DECL_BOOL(Everything, b, "b", 0),                                                   \
      BRINDLE_DECL_PRESENT(Everything, pi, "pi", BRINDLE_FIELD_I64, 0, pi_present),               \
      BRINDLE_DECL_PRESENT(Everything, pf, "pf", BRINDLE_FIELD_F64, 0, pf_present),               \
      BRINDLE_DECL_OBJECT(Everything, leaf, "leaf", BRINDLE_FIELD_OMIT_EMPTY, &kLeafMap),         \
      BRINDLE_DECL_ARRAY(Everything, strings, "ss", BRINDLE_FIELD_STRING_ARRAY,                   \
                         BRINDLE_FIELD_OMIT_EMPTY),                                               \
      BRINDLE_DECL_ARRAY(Everything, ints, "is", BRINDLE_FIELD_I64_ARRAY, 0),                     \
      BRINDLE_DECL_ARRAY(Everything, uints, "us", BRINDLE_FIELD_U64_ARRAY, 0),                    \
      BRINDLE_DECL_ARRAY(Everything, floats, "fs", BRINDLE_FIELD_F64_ARRAY, 0),                   \
      BRINDLE_DECL_ARRAY(Everything, bools, "bs", BRINDLE_FIELD_BOOL_ARRAY, 0),                   \
      BRINDLE_DECL_FIXED_ARRAY(Everything, fixed_ints, "fi", BRINDLE_FIELD_I64_ARRAY, 0,          \
                               BRINDLE_OVERFLOW_TRUNCATE, kFixedInts),                            \
      BRINDLE_DECL_OBJECT_ARRAY(Everything, leaves, "ls", BRINDLE_FIELD_OMIT_EMPTY, &kLeafMap,    \
                                Leaf)

// The parse map also streams the "stream" strings; the write map leaves that kind out, since
// it cannot be written, and is otherwise the same record.
inline const brindle_field kParseFields[] = {
    FUZZ_EVERYTHING_FIELDS,
    BRINDLE_DECL_STRING_STREAM(Everything, stream, "stream", 0),
};
inline const brindle_field kWriteFields[] = {FUZZ_EVERYTHING_FIELDS};
inline const brindle_map kParseMap = BRINDLE_MAP("everything", Everything, kParseFields);
inline const brindle_map kWriteMap = BRINDLE_MAP("everything", Everything, kWriteFields);

// Collects what the string stream member delivers, with markers for begin and end.
inline brindle_status stream_begin(void *user, brindle_error *, brindle_string_array_stream *) {
  static_cast<std::string *>(user)->append("<");
  return BRINDLE_OK;
}
inline brindle_status stream_chunk(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<std::string *>(user)->append(bytes, length);
  return BRINDLE_OK;
}
inline brindle_status stream_end(void *user, brindle_error *) {
  static_cast<std::string *>(user)->append(">");
  return BRINDLE_OK;
}

// Prepares a fresh record whose raw member captures its value and whose stream member reports
// into log. Parse with clear_destination 0 so that this configuration stays.
inline void prepare(Everything *record, std::string *log) {
  *record = Everything{};
  brindle_init(&kParseMap, record);
  record->fixed_ints.items = record->fixed_storage;
  record->fixed_ints.capacity = kFixedInts;
  record->fixed_ints.flags = BRINDLE_ARRAY_FIXED;
  brindle_json_value_enable_parse_capture(&record->raw, nullptr);
  static const brindle_string_stream_handler handler = {stream_begin, stream_chunk, stream_end};
  brindle_string_array_stream_set_handler(&record->stream, &handler, log, nullptr);
}

inline brindle_parse_options parse_options(bool reject_duplicates) {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  options.reject_duplicates = reject_duplicates ? 1 : 0;
  return options;
}

// ---- Describing outcomes ----------------------------------------------------------------------

inline std::string describe(const brindle_error &error) {
  char text[BRINDLE_ERROR_MESSAGE_SIZE + 128];
  std::snprintf(text, sizeof(text), "code=%d line=%zu column=%zu offset=%zu truncated=%d '%s'",
                static_cast<int>(error.code), error.line, error.column, error.offset,
                static_cast<int>(error.truncated), error.message);
  return text;
}

inline brindle_status append_sink(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<std::string *>(user)->append(bytes, length);
  return BRINDLE_OK;
}

// The record written back as JSON, or the reason it could not be.
inline std::string written(const brindle_map *map, const void *record) {
  std::string out;
  brindle_error error;
  brindle_error_init(&error);
  const brindle_status status =
      brindle_serialize_sink(map, record, append_sink, &out, nullptr, &error);
  if (status != BRINDLE_OK) out += "\n<write failed: " + describe(error) + ">";
  return out;
}

// ---- Failing allocations ----------------------------------------------------------------------

// An allocator that fails from its nth call on and remembers whether it did.
struct Budget {
  int remaining;
  bool hit;

  static void *take(void *ctx, void *ptr, size_t size, bool grow) {
    Budget *budget = static_cast<Budget *>(ctx);
    if (budget->remaining-- <= 0) {
      budget->hit = true;
      return nullptr;
    }
    return grow ? std::realloc(ptr, size) : std::malloc(size);
  }
  static void *allocate(void *ctx, size_t size) { return take(ctx, nullptr, size, false); }
  static void *reallocate(void *ctx, void *ptr, size_t size) { return take(ctx, ptr, size, true); }
  static void release(void *, void *ptr) { std::free(ptr); }

  brindle_allocator allocator() { return {allocate, reallocate, release, this, nullptr}; }
};

// ---- Slicing ----------------------------------------------------------------------------------

// A chunking plan: one byte at a time, or sizes from a small generator seeded by the input.
class Slicer {
 public:
  Slicer(uint32_t seed, bool one_byte) : state_(seed | 1u), one_byte_(one_byte) {}

  // Takes the plan from the first five bytes of the input (fewer: one-byte slicing).
  static Slicer from_prefix(const uint8_t *&data, size_t &size) {
    if (size < 5) return Slicer(1, true);
    const uint32_t seed = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                          static_cast<uint32_t>(data[3]) << 16 |
                          static_cast<uint32_t>(data[4]) << 24;
    Slicer slicer(seed, (data[0] & 1u) == 0);
    data += 5;
    size -= 5;
    return slicer;
  }

  size_t next(size_t remaining) {
    if (remaining == 0) return 0;
    size_t want = 1;
    if (!one_byte_) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 17;
      state_ ^= state_ << 5;
      want = 1 + state_ % ((state_ >> 8) % 4 == 0 ? 97u : 9u);
    }
    return want < remaining ? want : remaining;
  }

  // Now and then a reader reports that nothing is available yet.
  bool pause() {
    if (one_byte_) return false;
    return (state_ >> 3) % 5 == 0;
  }

 private:
  uint32_t state_;
  bool one_byte_;
};

// Reader over a buffer that follows a slicing plan (or hands out whole blocks without one).
struct SliceReader {
  const char *data;
  size_t size;
  size_t pos;
  Slicer *slicer;  // nullptr: as much as fits
  bool pauses;     // may report would_block between slices
  bool paused;

  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    SliceReader *self = static_cast<SliceReader *>(user);
    brindle_read_result result = brindle_default_read_result();
    const size_t remaining = self->size - self->pos;
    if (self->pauses && !self->paused && remaining > 0 && self->slicer->pause()) {
      self->paused = true;
      result.would_block = 1;
      return result;
    }
    self->paused = false;
    size_t n = self->slicer != nullptr ? self->slicer->next(remaining) : remaining;
    if (n > capacity) n = capacity;
    for (size_t k = 0; k < n; ++k)
      buffer[k] = self->data[self->pos + k];
    self->pos += n;
    result.bytes = n;
    result.eof = self->pos == self->size ? 1 : 0;
    return result;
  }
};

}  // namespace fuzz

#endif  // STAVO_FUZZ_SUPPORT_H
