// JSON string escaping shared by the serializer, the generator, the value reader and the
// parser's re-emission of raw JSON values.
#include "internal.h"

size_t brindle__escape_sequence(unsigned char byte, char out[6]) noexcept {
  static const char hex[] = "0123456789abcdef";
  out[0] = '\\';
  switch (byte) {
    case '"':
      out[1] = '"';
      return 2;
    case '\\':
      out[1] = '\\';
      return 2;
    case 0x08:
      out[1] = 'b';
      return 2;
    case 0x09:
      out[1] = 't';
      return 2;
    case 0x0A:
      out[1] = 'n';
      return 2;
    case 0x0C:
      out[1] = 'f';
      return 2;
    case 0x0D:
      out[1] = 'r';
      return 2;
    default:
      out[1] = 'u';
      out[2] = '0';
      out[3] = '0';
      out[4] = hex[byte >> 4];
      out[5] = hex[byte & 0xF];
      return 6;
  }
}

brindle_status brindle__emit_escaped_fragment(brindle_sink sink, void *user, const char *bytes,
                                              size_t length, brindle_error *error) noexcept {
  bool truncated = false;
  size_t run = 0;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (brindle__escape_table[byte] == 0) continue;
    if (i > run) {
      brindle_status status =
          brindle__sink_call(sink, user, bytes + run, i - run, error, &truncated);
      if (status != BRINDLE_OK) return status;
    }
    char sequence[6];
    const size_t n = brindle__escape_sequence(byte, sequence);
    brindle_status status = brindle__sink_call(sink, user, sequence, n, error, &truncated);
    if (status != BRINDLE_OK) return status;
    run = i + 1;
  }
  if (length > run) {
    brindle_status status =
        brindle__sink_call(sink, user, bytes + run, length - run, error, &truncated);
    if (status != BRINDLE_OK) return status;
  }
  return truncated ? BRINDLE_TRUNCATED : BRINDLE_OK;
}
