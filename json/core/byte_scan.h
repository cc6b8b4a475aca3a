// The byte scanners under the parser, the value reader and the serializer: plain string runs
// (stopping at '"', '\\' or a byte below 0x20), digit runs and runs of spaces. Each kernel comes
// portable (8 bytes at a time where it pays), with SSE2 (the x86-64 baseline, inline) and with
// AVX2 (out of line, taken for long runs when the CPU has it); every kernel returns the first
// byte it does not take, at most end. Building with BRINDLE_PORTABLE_SCAN keeps only the portable
// kernels.
#ifndef BRINDLE_CORE_BYTE_SCAN_H
#define BRINDLE_CORE_BYTE_SCAN_H

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(BRINDLE_PORTABLE_SCAN)
#define BRINDLE__SCAN_SSE2 1
#include <emmintrin.h>
#if defined(__x86_64__)
#define BRINDLE__SCAN_AVX2 1
#endif
#endif

// Non-zero for bytes that cannot appear unescaped inside a JSON string: '"', '\\' and bytes below
// 0x20. The slash, 0x7F and bytes of 0x80 and above pass as they are.
constexpr std::array<uint8_t, 256> brindle__make_escape_table() noexcept {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 0x20; ++i)
    table[static_cast<size_t>(i)] = 1;
  table[static_cast<unsigned char>('"')] = 1;
  table[static_cast<unsigned char>('\\')] = 1;
  return table;
}
inline constexpr std::array<uint8_t, 256> brindle__escape_table = brindle__make_escape_table();

// Kernels in use: 0 portable, 1 SSE2, 2 AVX2. Set once at load time from the build and the CPU;
// tests lower it to compare the paths.
extern int brindle__scan_level __attribute__((visibility("hidden")));
// The highest level this build and CPU can run.
int brindle__scan_level_available() noexcept;

// ---- Portable ----------------------------------------------------------------------------------

inline const unsigned char *brindle__find_escape_portable(const unsigned char *p,
                                                          const unsigned char *end) noexcept {
  constexpr uint64_t ones = 0x0101010101010101ULL;
  constexpr uint64_t highs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    const uint64_t quote = word ^ (ones * '"');
    const uint64_t backslash = word ^ (ones * '\\');
    // A set high bit may also be a false hit from a borrow: the byte loop below decides.
    const uint64_t hit = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                         ((word - ones * 0x20) & ~word);
    if ((hit & highs) != 0) break;
    p += 8;
  }
  while (p < end && brindle__escape_table[*p] == 0)
    ++p;
  return p;
}

inline const unsigned char *brindle__skip_digits_portable(const unsigned char *p,
                                                          const unsigned char *end) noexcept {
  while (p < end && static_cast<unsigned>(*p - '0') < 10u)
    ++p;
  return p;
}

inline const unsigned char *brindle__skip_spaces_portable(const unsigned char *p,
                                                          const unsigned char *end) noexcept {
  constexpr uint64_t spaces = 0x2020202020202020ULL;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    if (word != spaces) break;
    p += 8;
  }
  while (p < end && *p == ' ')
    ++p;
  return p;
}

#if defined(BRINDLE__SCAN_SSE2)

// ---- SSE2 --------------------------------------------------------------------------------------

inline unsigned brindle__escape_mask_sse2(const unsigned char *p) noexcept {
  const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i control_max = _mm_set1_epi8(0x1F);
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('"')),
                                _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\\'))),
                   _mm_cmpeq_epi8(_mm_max_epu8(chunk, control_max), control_max));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}

inline const unsigned char *brindle__find_escape_sse2(const unsigned char *p,
                                                      const unsigned char *end) noexcept {
  while (end - p >= 16) {
    const unsigned mask = brindle__escape_mask_sse2(p);
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
  while (p < end && brindle__escape_table[*p] == 0)
    ++p;
  return p;
}

inline const unsigned char *brindle__skip_digits_sse2(const unsigned char *p,
                                                      const unsigned char *end) noexcept {
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i offset = _mm_sub_epi8(bytes, zero);
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, nine), offset);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(digit));
    if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
    p += 16;
  }
  return brindle__skip_digits_portable(p, end);
}

inline const unsigned char *brindle__skip_spaces_sse2(const unsigned char *p,
                                                      const unsigned char *end) noexcept {
  const __m128i space = _mm_set1_epi8(' ');
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, space)));
    if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
    p += 16;
  }
  while (p < end && *p == ' ')
    ++p;
  return p;
}

// ---- AVX2 (byte_scan_avx2.cpp) -----------------------------------------------------------------

const unsigned char *brindle__find_escape_avx2(const unsigned char *p,
                                               const unsigned char *end) noexcept;
const unsigned char *brindle__skip_digits_avx2(const unsigned char *p,
                                               const unsigned char *end) noexcept;
const unsigned char *brindle__skip_spaces_avx2(const unsigned char *p,
                                               const unsigned char *end) noexcept;

#endif  // BRINDLE__SCAN_SSE2

// ---- Dispatch ----------------------------------------------------------------------------------

// Past the inline blocks: the AVX2 or SSE2 kernel as the level says, or the portable one (out of
// line, in byte_scan_avx2.cpp, so that the inline part stays small enough to inline everywhere).
const unsigned char *brindle__find_escape_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept;
const unsigned char *brindle__skip_digits_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept;
const unsigned char *brindle__skip_spaces_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept;

// Most runs in JSON documents are short: the first 64 bytes of a run are scanned inline with SSE2
// (a shorter rest of the chunk byte by byte), and only a run that goes on pays the call into the
// kernel that the level chooses.
__attribute__((always_inline)) inline const unsigned char *brindle__find_escape(
    const unsigned char *p, const unsigned char *end) noexcept {
#if defined(BRINDLE__SCAN_SSE2)
  if (__builtin_expect(brindle__scan_level != 0, 1)) {
    for (int block = 0; block < 4; ++block) {
      if (end - p < 16) {
        while (p < end && brindle__escape_table[*p] == 0)
          ++p;
        return p;
      }
      const unsigned mask = brindle__escape_mask_sse2(p);
      if (mask != 0) return p + __builtin_ctz(mask);
      p += 16;
    }
  }
  return brindle__find_escape_rest(p, end);
#else
  return brindle__find_escape_portable(p, end);
#endif
}

inline const char *brindle__find_escape(const char *bytes, const char *end) noexcept {
  return reinterpret_cast<const char *>(
      brindle__find_escape(reinterpret_cast<const unsigned char *>(bytes),
                           reinterpret_cast<const unsigned char *>(end)));
}

// The first byte at or after p that is not a decimal digit.
__attribute__((always_inline)) inline const unsigned char *brindle__skip_digits(
    const unsigned char *p, const unsigned char *end) noexcept {
  // Short runs (integer parts) end sooner byte by byte than through a block's masks.
  for (int i = 0; i < 2; ++i) {
    if (p == end || static_cast<unsigned>(*p - '0') >= 10u) return p;
    ++p;
  }
#if defined(BRINDLE__SCAN_SSE2)
  if (__builtin_expect(brindle__scan_level != 0, 1)) {
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    for (int block = 0; block < 4; ++block) {
      if (end - p < 16) return brindle__skip_digits_portable(p, end);
      const __m128i offset =
          _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), zero);
      const unsigned mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offset, nine), offset)));
      if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
      p += 16;
    }
  }
  return brindle__skip_digits_rest(p, end);
#else
  return brindle__skip_digits_portable(p, end);
#endif
}

// After a space, the rest of a run of spaces (indentation).
__attribute__((always_inline)) inline const unsigned char *brindle__skip_spaces(
    const unsigned char *p, const unsigned char *end) noexcept {
#if defined(BRINDLE__SCAN_SSE2)
  if (__builtin_expect(brindle__scan_level != 0, 1)) {
    const __m128i space = _mm_set1_epi8(' ');
    for (int block = 0; block < 4; ++block) {
      if (end - p < 16) return brindle__skip_spaces_portable(p, end);
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), space)));
      if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
      p += 16;
    }
  }
  return brindle__skip_spaces_rest(p, end);
#else
  return brindle__skip_spaces_portable(p, end);
#endif
}

#endif  // BRINDLE_CORE_BYTE_SCAN_H
