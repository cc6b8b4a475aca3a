#include "record_builder.h"

#include <cstdlib>
#include <cstring>

namespace ember {

RecordBuilder::~RecordBuilder() {
  if (data_ != inline_) std::free(data_);
}

bool RecordBuilder::reserve(size_t extra) noexcept {
  if (failed_) return false;
  if (capacity_ - length_ >= extra) return true;
  if (extra > SIZE_MAX / 2 - length_) {
    failed_ = true;
    return false;
  }
  size_t want = capacity_ * 2;
  while (want - length_ < extra)
    want *= 2;
  char *grown = nullptr;
  if (data_ == inline_) {
    grown = static_cast<char *>(std::malloc(want));
    if (grown != nullptr) std::memcpy(grown, inline_, length_);
  } else {
    grown = static_cast<char *>(std::realloc(data_, want));
  }
  if (grown == nullptr) {
    failed_ = true;
    return false;
  }
  data_ = grown;
  capacity_ = want;
  return true;
}

void RecordBuilder::append(const char *bytes, size_t length) noexcept {
  if (length == 0 || !reserve(length)) return;
  std::memcpy(data_ + length_, bytes, length);
  length_ += length;
}

void RecordBuilder::append_cstr(const char *text) noexcept {
  append(text, std::strlen(text));
}

void RecordBuilder::append_json_string(const char *text) noexcept {
  if (text == nullptr) {
    append("null", 4);
    return;
  }
  static const char hex[] = "0123456789abcdef";
  append('"');
  const char *run = text;
  for (const char *p = text;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c != 0 && c >= 0x20 && c != '"' && c != '\\') continue;
    append(run, static_cast<size_t>(p - run));
    if (c == 0) break;
    run = p + 1;
    switch (c) {
      case '"':
        append("\\\"", 2);
        break;
      case '\\':
        append("\\\\", 2);
        break;
      case '\b':
        append("\\b", 2);
        break;
      case '\f':
        append("\\f", 2);
        break;
      case '\n':
        append("\\n", 2);
        break;
      case '\r':
        append("\\r", 2);
        break;
      case '\t':
        append("\\t", 2);
        break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        append(escape, sizeof(escape));
      }
    }
  }
  append('"');
}

void RecordBuilder::append_u64(uint64_t value) noexcept {
  char digits[20];
  size_t n = 0;
  do {
    digits[sizeof(digits) - 1 - n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append(digits + sizeof(digits) - n, n);
}

void RecordBuilder::append_i64(int64_t value) noexcept {
  if (value < 0) {
    append('-');
    append_u64(0 - static_cast<uint64_t>(value));
  } else {
    append_u64(static_cast<uint64_t>(value));
  }
}

void RecordBuilder::append_field(const ember_field &field) noexcept {
  append(',');
  append_json_string(field.key != nullptr ? field.key : "");
  append(':');
  switch (field.type) {
    case EMBER_FIELD_STR:
      append_json_string(field.value.str);
      break;
    case EMBER_FIELD_BOOL:
      if (field.value.boolean != 0) {
        append("true", 4);
      } else {
        append("false", 5);
      }
      break;
    case EMBER_FIELD_I64:
      append_i64(field.value.i64);
      break;
    case EMBER_FIELD_U64:
      append_u64(field.value.u64);
      break;
    default:
      append("null", 4);
      break;
  }
}

char *RecordBuilder::release(size_t *length) noexcept {
  if (!reserve(1)) return nullptr;
  char *out = nullptr;
  if (data_ == inline_) {
    out = static_cast<char *>(std::malloc(length_ + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, inline_, length_);
  } else {
    out = data_;
    data_ = inline_;
    capacity_ = sizeof(inline_);
  }
  *length = length_;
  out[*length] = '\0';
  length_ = 0;
  return out;
}

}  // namespace ember
