// The AVX2 byte scanners, compiled for AVX2 alone and called only when the CPU has it; and the
// choice of kernels at load time.
#include "byte_scan.h"

#if defined(BRINDLE__SCAN_AVX2)
#include <immintrin.h>

#define BRINDLE__AVX2 __attribute__((target("avx2")))

BRINDLE__AVX2 const unsigned char *brindle__find_escape_avx2(const unsigned char *p,
                                                             const unsigned char *end) noexcept {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i control_max = _mm256_set1_epi8(0x1F);
  while (end - p >= 32) {
    const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i special = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(chunk, quote), _mm256_cmpeq_epi8(chunk, backslash)),
        _mm256_cmpeq_epi8(_mm256_max_epu8(chunk, control_max), control_max));
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(special));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 32;
  }
  return brindle__find_escape_sse2(p, end);
}

BRINDLE__AVX2 const unsigned char *brindle__skip_digits_avx2(const unsigned char *p,
                                                             const unsigned char *end) noexcept {
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8(9);
  while (end - p >= 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i offset = _mm256_sub_epi8(bytes, zero);
    const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(offset, nine), offset);
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(digit));
    if (mask != 0xFFFFFFFFu) return p + __builtin_ctz(~mask);
    p += 32;
  }
  return brindle__skip_digits_sse2(p, end);
}

BRINDLE__AVX2 const unsigned char *brindle__skip_spaces_avx2(const unsigned char *p,
                                                             const unsigned char *end) noexcept {
  const __m256i space = _mm256_set1_epi8(' ');
  while (end - p >= 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const unsigned mask =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, space)));
    if (mask != 0xFFFFFFFFu) return p + __builtin_ctz(~mask);
    p += 32;
  }
  return brindle__skip_spaces_sse2(p, end);
}

int brindle__scan_level_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? 2 : 1;
}
#elif defined(BRINDLE__SCAN_SSE2)
int brindle__scan_level_available() noexcept {
  return 1;
}
#else
int brindle__scan_level_available() noexcept {
  return 0;
}
#endif

#if defined(BRINDLE__SCAN_SSE2)
const unsigned char *brindle__find_escape_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept {
#if defined(BRINDLE__SCAN_AVX2)
  if (brindle__scan_level >= 2) return brindle__find_escape_avx2(p, end);
#endif
  if (brindle__scan_level == 1) return brindle__find_escape_sse2(p, end);
  return brindle__find_escape_portable(p, end);
}

const unsigned char *brindle__skip_digits_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept {
#if defined(BRINDLE__SCAN_AVX2)
  if (brindle__scan_level >= 2) return brindle__skip_digits_avx2(p, end);
#endif
  if (brindle__scan_level == 1) return brindle__skip_digits_sse2(p, end);
  return brindle__skip_digits_portable(p, end);
}

const unsigned char *brindle__skip_spaces_rest(const unsigned char *p,
                                               const unsigned char *end) noexcept {
#if defined(BRINDLE__SCAN_AVX2)
  if (brindle__scan_level >= 2) return brindle__skip_spaces_avx2(p, end);
#endif
  if (brindle__scan_level == 1) return brindle__skip_spaces_sse2(p, end);
  return brindle__skip_spaces_portable(p, end);
}
#endif

// Constant-initialised to the inline kernels, so that no parse can see it unset; raised to AVX2
// before main when the CPU has it.
#if defined(BRINDLE__SCAN_SSE2)
int brindle__scan_level = 1;
#else
int brindle__scan_level = 0;
#endif

namespace {
__attribute__((constructor)) void choose_scan_level() {
  brindle__scan_level = brindle__scan_level_available();
}
}  // namespace
