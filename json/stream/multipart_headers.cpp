// Header lines of a multipart part: storage, Content-Disposition name, Content-Type and
// Content-Length.
#include <cstdint>
#include <cstring>

#include "multipart_internal.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Replaces one of the part's strings with a copy of bytes.
brindle_status replace_string(brindle_multipart *parser, char **text, size_t *size,
                              const char *bytes, size_t length, brindle_error *error) {
  char *copy = static_cast<char *>(brindle__raw_alloc(&parser->allocator, length + 1));
  if (copy == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate string");
  }
  if (length != 0) std::memcpy(copy, bytes, length);
  copy[length] = '\0';
  brindle__raw_free(&parser->allocator, *text, *size);
  *text = copy;
  *size = length + 1;
  return BRINDLE_OK;
}

brindle_status append_header(brindle_multipart *parser, const char *name, size_t name_length,
                             const char *value, size_t value_length, brindle_error *error) {
  if (parser->header_count >= parser->max_headers) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "multipart header count limit exceeded");
  }
  if (parser->header_count == parser->header_capacity) {
    size_t capacity = parser->header_capacity == 0 ? 8 : parser->header_capacity * 2;
    if (capacity > parser->max_headers || capacity < parser->header_capacity) {
      capacity = parser->max_headers;
    }
    const size_t bytes = capacity * sizeof(brindle_multipart_header);
    void *grown = capacity > SIZE_MAX / sizeof(brindle_multipart_header)
                      ? nullptr
                      : brindle__raw_realloc(&parser->allocator, parser->headers,
                                             parser->headers_bytes, bytes);
    if (grown == nullptr) {
      return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate headers");
    }
    parser->headers = static_cast<brindle_multipart_header *>(grown);
    parser->header_capacity = capacity;
    parser->headers_bytes = bytes;
  }
  // One allocation: its size, the name and its NUL, the value and its NUL.
  const size_t size = sizeof(size_t) + name_length + value_length + 2;
  char *block = static_cast<char *>(brindle__raw_alloc(&parser->allocator, size));
  if (block == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate string");
  }
  std::memcpy(block, &size, sizeof(size));
  char *name_copy = block + sizeof(size_t);
  if (name_length != 0) std::memcpy(name_copy, name, name_length);
  name_copy[name_length] = '\0';
  char *value_copy = name_copy + name_length + 1;
  if (value_length != 0) std::memcpy(value_copy, value, value_length);
  value_copy[value_length] = '\0';
  parser->headers[parser->header_count].name = name_copy;
  parser->headers[parser->header_count].value = value_copy;
  ++parser->header_count;
  return BRINDLE_OK;
}

// The name parameter of a Content-Disposition value; parameters in double quotes may escape any
// byte with a backslash.
brindle_status parse_disposition(brindle_multipart *parser, const char *value, size_t length,
                                 brindle_error *error) {
  const char *p = value;
  const char *const end = value + length;
  const void *semicolon = std::memchr(p, ';', length);
  if (semicolon == nullptr) return BRINDLE_OK;
  p = static_cast<const char *>(semicolon) + 1;
  while (p < end) {
    while (p < end && is_blank(*p))
      ++p;
    const char *key = p;
    while (p < end && *p != '=' && *p != ';')
      ++p;
    const char *key_end = p;
    while (key_end > key && is_blank(key_end[-1]))
      --key_end;
    if (p < end && *p == '=') {
      ++p;
      while (p < end && is_blank(*p))
        ++p;
      const char *text;
      size_t text_length;
      if (p < end && *p == '"') {
        ++p;
        brindle__framing_clear(&parser->scratch);
        bool closed = false;
        while (p < end) {
          const char *run = p;
          while (p < end && *p != '"' && *p != '\\')
            ++p;
          brindle_status status = brindle__framing_append(&parser->scratch, &parser->allocator, run,
                                                          static_cast<size_t>(p - run), error);
          if (status != BRINDLE_OK) return status;
          if (p == end) break;
          if (*p == '"') {
            ++p;
            closed = true;
            break;
          }
          // A backslash takes the next byte literally; at the very end it stands for itself.
          const char *literal = p + 1 < end ? p + 1 : p;
          status = brindle__framing_append(&parser->scratch, &parser->allocator, literal, 1, error);
          if (status != BRINDLE_OK) return status;
          p = literal + 1;
        }
        if (!closed) {
          return brindle__fail(error, BRINDLE_INVALID_JSON,
                               "multipart Content-Disposition name invalid");
        }
        text = brindle__framing_text(&parser->scratch);
        text_length = parser->scratch.length;
      } else {
        text = p;
        while (p < end && !is_blank(*p) && *p != ';')
          ++p;
        text_length = static_cast<size_t>(p - text);
      }
      if (brindle__equals_folded(key, static_cast<size_t>(key_end - key), "name")) {
        return replace_string(parser, &parser->name, &parser->name_size, text, text_length, error);
      }
    }
    while (p < end && *p != ';')
      ++p;
    if (p < end) ++p;
  }
  return BRINDLE_OK;
}

brindle_status parse_content_length(const char *value, size_t length, int64_t *out,
                                    brindle_error *error) {
  if (length == 0) {
    return brindle__fail(error, BRINDLE_INVALID_JSON, "multipart Content-Length is invalid");
  }
  for (size_t i = 0; i < length; ++i) {
    if (value[i] < '0' || value[i] > '9') {
      return brindle__fail(error, BRINDLE_INVALID_JSON, "multipart Content-Length is invalid");
    }
  }
  int64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    const int64_t digit = value[i] - '0';
    if (result > (INT64_MAX - digit) / 10) {
      return brindle__fail(error, BRINDLE_OVERFLOW,
                           "multipart Content-Length exceeds supported range");
    }
    result = result * 10 + digit;
  }
  *out = result;
  return BRINDLE_OK;
}

}  // namespace

brindle_status brindle__multipart_header_line(brindle_multipart *parser, const char *line,
                                              size_t length, brindle_error *error) noexcept {
  const void *colon = std::memchr(line, ':', length);
  if (colon == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_JSON, "invalid multipart header line");
  }
  const char *name = line;
  const size_t name_length = static_cast<size_t>(static_cast<const char *>(colon) - line);
  const char *value = static_cast<const char *>(colon) + 1;
  const char *end = line + length;
  while (value < end && is_blank(*value))
    ++value;
  while (end > value && is_blank(end[-1]))
    --end;
  const size_t value_length = static_cast<size_t>(end - value);

  brindle_status status = append_header(parser, name, name_length, value, value_length, error);
  if (status != BRINDLE_OK) return status;
  if (brindle__equals_folded(name, name_length, "content-disposition")) {
    return parse_disposition(parser, value, value_length, error);
  }
  if (brindle__equals_folded(name, name_length, "content-type")) {
    return replace_string(parser, &parser->content_type, &parser->content_type_size, value,
                          value_length, error);
  }
  if (brindle__equals_folded(name, name_length, "content-length")) {
    int64_t content_length = 0;
    status = parse_content_length(value, value_length, &content_length, error);
    if (status == BRINDLE_OK) parser->content_length = content_length;
    return status;
  }
  return BRINDLE_OK;
}
