// Pieces of the array stream that handle text: growable byte buffers, the set of keys seen (root
// keys, and keys inside captured elements), and the resumable JSON string decoder used for root
// keys and string elements.
#include <cstring>

#include "array_stream_internal.h"

// ---- Byte buffers ------------------------------------------------------------------------------

bool brindle__bytes_reserve(brindle__bytes *bytes, const brindle_allocator *allocator,
                            size_t extra) noexcept {
  if (extra > SIZE_MAX - 1 - bytes->length) return false;
  const size_t needed = bytes->length + extra + 1;
  if (needed <= bytes->capacity) return true;
  size_t capacity = bytes->capacity != 0 ? bytes->capacity : 256;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) {
      capacity = needed;
      break;
    }
    capacity *= 2;
  }
  void *grown = brindle__raw_realloc(allocator, bytes->data, bytes->capacity, capacity);
  if (grown == nullptr) return false;
  bytes->data = static_cast<char *>(grown);
  bytes->capacity = capacity;
  return true;
}

bool brindle__bytes_append(brindle__bytes *bytes, const brindle_allocator *allocator,
                           const char *data, size_t length) noexcept {
  if (!brindle__bytes_reserve(bytes, allocator, length)) return false;
  if (length > 0) std::memcpy(bytes->data + bytes->length, data, length);
  bytes->length += length;
  bytes->data[bytes->length] = '\0';
  return true;
}

void brindle__bytes_free(brindle__bytes *bytes, const brindle_allocator *allocator) noexcept {
  if (bytes->data != nullptr) brindle__raw_free(allocator, bytes->data, bytes->capacity);
  bytes->data = nullptr;
  bytes->length = 0;
  bytes->capacity = 0;
}

void brindle__bytes_clear(brindle__bytes *bytes, const brindle_allocator *allocator) noexcept {
  if (bytes->capacity > BRINDLE__ARRAY_KEEP_BUFFER) {
    brindle__bytes_free(bytes, allocator);
    return;
  }
  bytes->length = 0;
  if (bytes->data != nullptr) bytes->data[0] = '\0';
}

// ---- Key set -----------------------------------------------------------------------------------

namespace {

uint64_t key_hash(uint64_t scope, const char *key, size_t length) noexcept {
  uint64_t hash = 1469598103934665603ull ^ (scope * 0x9e3779b97f4a7c15ull);
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(key[i]);
    hash *= 1099511628211ull;
  }
  hash ^= hash >> 29;
  return hash | 1;  // 0 marks an empty slot
}

bool grow_slots(brindle__key_set *set, const brindle_allocator *allocator) noexcept {
  const size_t count = set->slot_count != 0 ? set->slot_count * 2 : 16;
  if (count > SIZE_MAX / sizeof(brindle__key_entry)) return false;
  auto *slots = static_cast<brindle__key_entry *>(
      brindle__raw_alloc(allocator, count * sizeof(brindle__key_entry)));
  if (slots == nullptr) return false;
  std::memset(static_cast<void *>(slots), 0, count * sizeof(brindle__key_entry));
  for (size_t i = 0; i < set->slot_count; ++i) {
    const brindle__key_entry &entry = set->slots[i];
    if (entry.hash == 0) continue;
    size_t index = entry.hash & (count - 1);
    while (slots[index].hash != 0)
      index = (index + 1) & (count - 1);
    slots[index] = entry;
  }
  if (set->slots != nullptr) {
    brindle__raw_free(allocator, set->slots, set->slot_count * sizeof(brindle__key_entry));
  }
  set->slots = slots;
  set->slot_count = count;
  return true;
}

}  // namespace

brindle__key_insert brindle__key_set_insert(brindle__key_set *set,
                                            const brindle_allocator *allocator, uint64_t scope,
                                            const char *key, size_t length) noexcept {
  if ((set->used + 1) * 2 > set->slot_count && !grow_slots(set, allocator)) {
    return BRINDLE__KEY_NO_MEMORY;
  }
  const uint64_t hash = key_hash(scope, key, length);
  const size_t mask = set->slot_count - 1;
  size_t index = hash & mask;
  while (set->slots[index].hash != 0) {
    const brindle__key_entry &entry = set->slots[index];
    if (entry.hash == hash && entry.scope == scope && entry.length == length &&
        (length == 0 || std::memcmp(set->store.data + entry.offset, key, length) == 0)) {
      return BRINDLE__KEY_REPEATED;
    }
    index = (index + 1) & mask;
  }
  const size_t offset = set->store.length;
  if (!brindle__bytes_append(&set->store, allocator, key, length)) return BRINDLE__KEY_NO_MEMORY;
  set->slots[index] = brindle__key_entry{hash, offset, length, scope};
  ++set->used;
  return BRINDLE__KEY_NEW;
}

void brindle__key_set_clear(brindle__key_set *set, const brindle_allocator *allocator) noexcept {
  if (set->slot_count * sizeof(brindle__key_entry) > BRINDLE__ARRAY_KEEP_BUFFER) {
    brindle__key_set_free(set, allocator);
    return;
  }
  if (set->slots != nullptr) {
    std::memset(static_cast<void *>(set->slots), 0, set->slot_count * sizeof(brindle__key_entry));
  }
  set->used = 0;
  brindle__bytes_clear(&set->store, allocator);
}

void brindle__key_set_free(brindle__key_set *set, const brindle_allocator *allocator) noexcept {
  if (set->slots != nullptr) {
    brindle__raw_free(allocator, set->slots, set->slot_count * sizeof(brindle__key_entry));
  }
  set->slots = nullptr;
  set->slot_count = 0;
  set->used = 0;
  brindle__bytes_free(&set->store, allocator);
}

// ---- String decoder ----------------------------------------------------------------------------

namespace {

enum : uint8_t {
  DECODE_PLAIN = 0,
  DECODE_ESCAPE = 1,     // after a backslash
  DECODE_HEX = 2,        // the four hex digits of \u
  DECODE_LOW_SLASH = 3,  // after a high surrogate: the backslash of its low half
  DECODE_LOW_U = 4,      // then the u
};

int hex_value(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends code point cp as UTF-8; false for values beyond U+10FFFF.
bool put_utf8(uint32_t cp, char *out, size_t *o) noexcept {
  auto put = [&](uint32_t byte) {
    out[(*o)++] = static_cast<char>(static_cast<unsigned char>(byte));
  };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else if (cp <= 0x10FFFF) {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    return false;
  }
  return true;
}

// A complete \u escape: NULL, or the failure.
const char *code_unit(brindle__string_decoder *decoder, char *out, size_t *o) noexcept {
  const uint32_t unit = decoder->code;
  decoder->state = DECODE_PLAIN;
  if (decoder->high != 0) {
    const uint32_t high = decoder->high;
    decoder->high = 0;
    if (unit < 0xDC00 || unit > 0xDFFF) return "invalid unicode surrogate pair";
    const uint32_t cp = 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00);
    return put_utf8(cp, out, o) ? nullptr : "invalid unicode codepoint";
  }
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    decoder->high = unit;
    decoder->state = DECODE_LOW_SLASH;
    return nullptr;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) return "unexpected low surrogate";
  return put_utf8(unit, out, o) ? nullptr : "invalid unicode codepoint";
}

}  // namespace

void brindle__string_decoder_reset(brindle__string_decoder *decoder) noexcept {
  *decoder = brindle__string_decoder{};
}

size_t brindle__string_decode(brindle__string_decoder *decoder, const char *input, size_t length,
                              char *out, size_t *produced, bool *done,
                              const char **message) noexcept {
  const auto *in = reinterpret_cast<const unsigned char *>(input);
  size_t i = 0;
  size_t o = 0;
  *done = false;
  *message = nullptr;
  while (i < length) {
    const unsigned char c = in[i];
    switch (decoder->state) {
      case DECODE_PLAIN: {
        if (c == '"') {
          *done = true;
          *produced = o;
          return i + 1;
        }
        if (c == '\\') {
          decoder->state = DECODE_ESCAPE;
          ++i;
          break;
        }
        if (c < 0x20) {
          *message = "control character in JSON string";
          *produced = o;
          return i + 1;
        }
        size_t j = i + 1;
        while (j < length && brindle__escape_table[in[j]] == 0)
          ++j;
        std::memcpy(out + o, in + i, j - i);
        o += j - i;
        i = j;
        break;
      }
      case DECODE_ESCAPE: {
        ++i;
        char decoded = 0;
        switch (c) {
          case '"':
            decoded = '"';
            break;
          case '\\':
            decoded = '\\';
            break;
          case '/':
            decoded = '/';
            break;
          case 'b':
            decoded = '\b';
            break;
          case 'f':
            decoded = '\f';
            break;
          case 'n':
            decoded = '\n';
            break;
          case 'r':
            decoded = '\r';
            break;
          case 't':
            decoded = '\t';
            break;
          case 'u':
            decoder->state = DECODE_HEX;
            decoder->hex_left = 4;
            decoder->code = 0;
            continue;
          default:
            *message = "invalid JSON string escape";
            *produced = o;
            return i;
        }
        out[o++] = decoded;
        decoder->state = DECODE_PLAIN;
        break;
      }
      case DECODE_HEX: {
        ++i;
        const int digit = hex_value(c);
        if (digit < 0) {
          *message = "invalid unicode escape in JSON string";
          *produced = o;
          return i;
        }
        decoder->code = (decoder->code << 4) | static_cast<uint32_t>(digit);
        if (--decoder->hex_left == 0) {
          const char *failure = code_unit(decoder, out, &o);
          if (failure != nullptr) {
            *message = failure;
            *produced = o;
            return i;
          }
        }
        break;
      }
      case DECODE_LOW_SLASH:
      case DECODE_LOW_U: {
        ++i;
        const unsigned char expected = decoder->state == DECODE_LOW_SLASH ? '\\' : 'u';
        if (c != expected) {
          *message = "invalid unicode surrogate pair";
          *produced = o;
          return i;
        }
        if (decoder->state == DECODE_LOW_SLASH) {
          decoder->state = DECODE_LOW_U;
        } else {
          decoder->state = DECODE_HEX;
          decoder->hex_left = 4;
          decoder->code = 0;
        }
        break;
      }
      default:
        *message = "invalid string decoder state";
        *produced = o;
        return i;
    }
  }
  *produced = o;
  return i;
}
