// Internal helpers shared by every part of libbrindle: allocation with the hidden block header
// and exact statistics, error reporting, address-derived markers and JSON string escaping.
// Nothing here is exported.
#ifndef BRINDLE_CORE_INTERNAL_H
#define BRINDLE_CORE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "brindle.h"

#include "byte_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---- Allocation ------------------------------------------------------------------------------

// True when the record gives all three callbacks or none (NULL counts as none).
bool brindle__allocator_is_valid(const brindle_allocator *allocator) noexcept;

// The allocator to use: the given record when it has all three callbacks (stats kept), else the
// default record (system functions) with the given record's stats pointer when it has one.
brindle_allocator brindle__allocator_resolve(const brindle_allocator *allocator) noexcept;

// True when the record is the library's default: no callbacks, or the three default callbacks,
// in both cases with no context.
bool brindle__allocator_is_default(const brindle_allocator *allocator) noexcept;

// Blocks for mapped records: a hidden header (the three callbacks, context, stats pointer and
// payload size) precedes the payload, so a block can be grown or freed with the allocator that
// made it whatever options are in force later. Statistics count payload bytes.
void *brindle__block_alloc(const brindle_allocator *allocator, size_t size) noexcept;
// Grows or shrinks a block through its own header; NULL payload allocates with allocator.
// Returns NULL on failure, leaving the old block intact.
void *brindle__block_realloc(const brindle_allocator *allocator, void *payload,
                             size_t size) noexcept;
void brindle__block_free(void *payload) noexcept;
size_t brindle__block_size(const void *payload) noexcept;
// A NUL-terminated copy of text in a block (NULL on failure).
char *brindle__block_strdup(const brindle_allocator *allocator, const char *text) noexcept;

// Plain allocations whose owner knows their size (parser states, stream handles, buffers):
// no header, statistics still exact.
void *brindle__raw_alloc(const brindle_allocator *allocator, size_t size) noexcept;
void *brindle__raw_realloc(const brindle_allocator *allocator, void *pointer, size_t old_size,
                           size_t new_size) noexcept;
void brindle__raw_free(const brindle_allocator *allocator, void *pointer, size_t size) noexcept;

// ---- Errors ----------------------------------------------------------------------------------

// Writes code, position and the formatted message (cut at 159 characters); sets truncated when
// code is BRINDLE_TRUNCATED. With a NULL record it only returns the code.
brindle_status brindle__set_error(brindle_error *error, brindle_status code, size_t offset,
                                  size_t line, size_t column, const char *format, ...) noexcept
    __attribute__((format(printf, 6, 7)));
// The same without a position.
brindle_status brindle__fail(brindle_error *error, brindle_status code, const char *format,
                             ...) noexcept __attribute__((format(printf, 3, 4)));
// BRINDLE_IO_ERROR with system_errno set, without a position.
brindle_status brindle__fail_io(brindle_error *error, int system_errno, const char *format,
                                ...) noexcept __attribute__((format(printf, 3, 4)));

// A record for a caller's callback to write into, which must look empty to each callback.
// Callbacks run once per value in some loops: a plain zero-initialisation of the 200-byte record
// compiles to a slow string store, and most callbacks leave the record alone, so a record kept
// between calls is only cleared again when a callback wrote into it.
inline bool brindle__error_record_is_clear(const brindle_error *error) noexcept {
  static_assert(sizeof(brindle_error) % 8 == 0, "the record is read in 8-byte steps");
  const unsigned char *p = reinterpret_cast<const unsigned char *>(error);
#if defined(__SSE2__)
  __m128i any = _mm_setzero_si128();
  __m128i other = _mm_setzero_si128();
  size_t i = 0;
#pragma GCC unroll 8
  for (; i + 32 <= sizeof(brindle_error); i += 32) {
    any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)));
    other = _mm_or_si128(other, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16)));
  }
  if (i + 16 <= sizeof(brindle_error)) {
    any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)));
    i += 16;
  }
  any = _mm_or_si128(any, other);
  if (i < sizeof(brindle_error)) {
    any = _mm_or_si128(any, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + i)));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
#else
  uint64_t any = 0;
  for (size_t i = 0; i < sizeof(brindle_error); i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof(word));
    any |= word;
  }
  return any == 0;
#endif
}

inline void brindle__clean_error_record(brindle_error *error) noexcept {
  if (!brindle__error_record_is_clear(error)) {
    std::memset(static_cast<void *>(error), 0, sizeof(*error));
  }
}

// ---- Markers ---------------------------------------------------------------------------------

constexpr uint32_t BRINDLE_MARKER_STRING_STREAM = 0x42524153u;
constexpr uint32_t BRINDLE_MARKER_SPOOLED = 0x42525350u;
constexpr uint32_t BRINDLE_MARKER_JSON_VALUE = 0x42524a56u;

// ((a >> 9) ^ (a >> 4) ^ constant) truncated to 32 bits, a being the record's address: a copied
// or uninitialised record does not match.
inline int32_t brindle__marker(const void *record, uint32_t constant) noexcept {
  const uintptr_t a = reinterpret_cast<uintptr_t>(record);
  return static_cast<int32_t>(static_cast<uint32_t>((a >> 9) ^ (a >> 4) ^ constant));
}

// ---- JSON string escaping ----------------------------------------------------------------------

// brindle__escape_table and brindle__find_escape (byte_scan.h): the first byte in [bytes, end)
// that cannot stand unescaped in a JSON string ('"', '\\' or a byte below 0x20), or end. The
// parser's string runs, the value reader and the serializer's escaping all scan with it.

// Writes the escaped form of bytes (without surrounding quotes) to the sink: runs that need no
// escape in one call each; '"' and '\\' preceded by a backslash; 0x08 0x09 0x0A 0x0C 0x0D as \b \t
// \n \f \r; other bytes below 0x20 as \u00 and two lower-case hex digits. Returns BRINDLE_OK, or
// BRINDLE_TRUNCATED when a sink call did (writing went on), or the sink's stopping status.
brindle_status brindle__emit_escaped_fragment(brindle_sink sink, void *user, const char *bytes,
                                              size_t length, brindle_error *error) noexcept;

// The escape sequence for one byte that needs escaping; returns its length (2 or 6).
size_t brindle__escape_sequence(unsigned char byte, char out[6]) noexcept;

// Calls the sink; TRUNCATED is remembered in *truncated and counts as success.
inline brindle_status brindle__sink_call(brindle_sink sink, void *user, const char *bytes,
                                         size_t length, brindle_error *error,
                                         bool *truncated) noexcept {
  brindle_status status = sink(user, bytes, length, error);
  if (status == BRINDLE_TRUNCATED) {
    *truncated = true;
    return BRINDLE_OK;
  }
  return status;
}

#endif  // BRINDLE_CORE_INTERNAL_H
