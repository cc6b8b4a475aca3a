/*
 * Checked base-10 conversions used wherever a number crosses a text boundary (headers, query
 * strings, mutation literals). They never consult the locale, never accept partial input and
 * report overflow instead of clamping. Parsers return 1 on success and 0 on failure; on failure
 * the output is left untouched.
 */
#ifndef STAVOC_NUMBERS_H
#define STAVOC_NUMBERS_H

#include <stddef.h>
#include <stdint.h>

#include "stavoc_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Optional sign, then one or more digits, nothing else; the whole int64 range. */
SV_API int sv_i64_parse_base10(const char *text, int64_t *out) SV_NOEXCEPT;
/* As sv_i64_parse_base10, into a (64-bit) long. */
SV_API int sv_parse_long_base10_checked(const char *text, long *out) SV_NOEXCEPT;
/* As sv_i64_parse_base10, then the value must fit int32. */
SV_API int sv_parse_int_base10_checked(const char *text, int32_t *out) SV_NOEXCEPT;
/* Optional "+", then digits; 0 to 18446744073709551615; a leading "-" fails. */
SV_API int sv_u64_parse_base10(const char *text, uint64_t *out) SV_NOEXCEPT;
/* As sv_u64_parse_base10, into a (64-bit) unsigned long. */
SV_API int sv_parse_ulong_base10_checked(const char *text, unsigned long *out) SV_NOEXCEPT;
/* As sv_u64_parse_base10, into a size_t. */
SV_API int sv_parse_size_base10_checked(const char *text, size_t *out) SV_NOEXCEPT;

/* Byte ranges (not NUL-terminated, such as header values): space, tab, CR and LF around the
 * value are trimmed; the value must be 1 to 63 characters. */
SV_API int sv_parse_long_base10_range_checked(const char *text, size_t length, long *out)
    SV_NOEXCEPT;
/* As sv_parse_long_base10_range_checked, into an unsigned long by the rules of
 * sv_u64_parse_base10. */
SV_API int sv_parse_ulong_base10_range_checked(const char *text, size_t length, unsigned long *out)
    SV_NOEXCEPT;

/* Conversions: 1 when the value fits and out is given, else 0 (out untouched). */
SV_API int sv_i64_to_long_checked(int64_t value, long *out) SV_NOEXCEPT;
/* int64 to int32. */
SV_API int sv_i64_to_int_checked(int64_t value, int32_t *out) SV_NOEXCEPT;
/* uint64 to a (64-bit) unsigned long. */
SV_API int sv_u64_to_ulong_checked(uint64_t value, unsigned long *out) SV_NOEXCEPT;
/* uint64 to size_t. */
SV_API int sv_u64_to_size_checked(uint64_t value, size_t *out) SV_NOEXCEPT;

/* Writes the decimal form of value and a NUL; returns the characters written without the NUL,
 * or -1 (writing nothing) when buffer is NULL or capacity is too small. */
SV_API int sv_i64_format_base10(int64_t value, char *buffer, size_t capacity) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_NUMBERS_H */
