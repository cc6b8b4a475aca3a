// A streaming UTF-8 check (RFC 3629), for file-backed mutation values and for the names a
// request carries.
#ifndef STAVOC_API_UTF8_CHECK_H
#define STAVOC_API_UTF8_CHECK_H

#include <cstddef>

namespace sv_text {

// True when the bytes are valid UTF-8 without NUL; state carries a cut sequence between calls.
struct Utf8Check {
  unsigned need = 0;       // continuation bytes still expected
  unsigned char low = 0;   // bounds of the next continuation byte
  unsigned char high = 0;  // (narrowed after some lead bytes)
  bool ok = true;
  unsigned pending = 0;  // bytes of the sequence in progress
  size_t accepted = 0;   // bytes of the complete sequences before the first invalid one
};
void utf8_feed(Utf8Check *check, const unsigned char *bytes, size_t length) noexcept;
inline bool utf8_finished(const Utf8Check &check) noexcept {
  return check.ok && check.need == 0;
}

}  // namespace sv_text

#endif
