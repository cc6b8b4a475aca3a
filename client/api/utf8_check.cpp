// A streaming UTF-8 check (RFC 3629): no NUL, no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut off at the end. Chunks may split a sequence anywhere.
#include "utf8_check.h"

namespace sv_text {

void utf8_feed(Utf8Check *check, const unsigned char *bytes, size_t length) noexcept {
  for (size_t i = 0; i < length && check->ok; ++i) {
    const unsigned char byte = bytes[i];
    if (check->need > 0) {
      if (byte < check->low || byte > check->high) {
        check->ok = false;
        return;
      }
      check->low = 0x80;
      check->high = 0xBF;
      ++check->pending;
      if (--check->need == 0) check->accepted += check->pending;
      continue;
    }
    check->low = 0x80;
    check->high = 0xBF;
    if (byte == 0x00) {
      check->ok = false;
    } else if (byte < 0x80) {
      // ASCII
    } else if (byte >= 0xC2 && byte <= 0xDF) {
      check->need = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      check->need = 2;
      if (byte == 0xE0) check->low = 0xA0;   // overlong below U+0800
      if (byte == 0xED) check->high = 0x9F;  // surrogates
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      check->need = 3;
      if (byte == 0xF0) check->low = 0x90;   // overlong below U+10000
      if (byte == 0xF4) check->high = 0x8F;  // above U+10FFFF
    } else {
      check->ok = false;  // continuation byte as lead, C0, C1, F5 and above
    }
    if (!check->ok) return;
    if (check->need == 0) {
      ++check->accepted;
    } else {
      check->pending = 1;
    }
  }
}

}  // namespace sv_text
