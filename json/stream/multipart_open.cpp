// Opening and closing multipart parsers: options, boundary extraction from the Content-Type
// value, the part record.
#include <cstdint>
#include <cstring>
#include <new>

#include "multipart_internal.h"

namespace {

constexpr size_t kDefaultMaxBoundaryBytes = 200;
constexpr size_t kDefaultMaxLineBytes = 65536;
constexpr size_t kDefaultMaxHeaders = 64;
constexpr size_t kDefaultMaxBufferedBytes = 1048576;

size_t saturating_add(size_t a, size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Finds the boundary parameter in a Content-Type value. The media type and other parameters are
// skipped; the first boundary parameter wins.
brindle_status find_boundary(const char *content_type, const char **boundary, size_t *length,
                             brindle_error *error) {
  const char *p = content_type;
  const char *const end = content_type + std::strlen(content_type);
  for (;;) {
    while (p < end && (is_blank(*p) || *p == ';'))
      ++p;
    if (p == end) break;
    const char *key = p;
    while (p < end && *p != '=' && *p != ';')
      ++p;
    const char *key_end = p;
    while (key_end > key && is_blank(key_end[-1]))
      --key_end;
    if (p == end || *p == ';') continue;  // a parameter without a value, or the media type
    ++p;
    while (p < end && is_blank(*p))
      ++p;
    const char *value = p;
    const char *value_end;
    if (p < end && *p == '"') {
      value = ++p;
      const void *quote = std::memchr(p, '"', static_cast<size_t>(end - p));
      if (quote == nullptr) {
        return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                             "multipart boundary quote is unterminated");
      }
      value_end = static_cast<const char *>(quote);
      p = value_end + 1;
    } else {
      while (p < end && !is_blank(*p) && *p != ';')
        ++p;
      value_end = p;
    }
    if (brindle__equals_folded(key, static_cast<size_t>(key_end - key), "boundary")) {
      *boundary = value;
      *length = static_cast<size_t>(value_end - value);
      return BRINDLE_OK;
    }
  }
  return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "multipart Content-Type missing boundary");
}

brindle_status build_delimiters(brindle_multipart *parser, const char *boundary, size_t length,
                                brindle_error *error) {
  const brindle_allocator *allocator = &parser->allocator;
  brindle_status status =
      brindle__framing_append(&parser->boundary, allocator, boundary, length, error);
  if (status == BRINDLE_OK) {
    status = brindle__framing_append(&parser->delimiter, allocator, "--", 2, error);
  }
  if (status == BRINDLE_OK) {
    status = brindle__framing_append(&parser->delimiter, allocator, boundary, length, error);
  }
  if (status == BRINDLE_OK) {
    status = brindle__framing_append(&parser->closing_delimiter, allocator, parser->delimiter.data,
                                     parser->delimiter.length, error);
  }
  if (status == BRINDLE_OK) {
    status = brindle__framing_append(&parser->closing_delimiter, allocator, "--", 2, error);
  }
  return status;
}

void free_string(const brindle_allocator *allocator, char **text, size_t *size) {
  brindle__raw_free(allocator, *text, *size);
  *text = nullptr;
  *size = 0;
}

}  // namespace

brindle_status brindle__multipart_callback_failed(brindle_error *error,
                                                  const char *message) noexcept {
  if (error != nullptr && error->code != BRINDLE_OK)
    return static_cast<brindle_status>(error->code);
  return brindle__fail(error, BRINDLE_CALLBACK_FAILED, "%s", message);
}

brindle_multipart_part brindle__multipart_descriptor(const brindle_multipart *parser) noexcept {
  brindle_multipart_part part{};
  part.name = parser->name;
  part.content_type = parser->content_type;
  part.content_length = parser->content_length;
  part.headers = parser->headers;
  part.header_count = parser->header_count;
  return part;
}

void brindle__multipart_reset_part(brindle_multipart *parser) noexcept {
  for (size_t i = 0; i < parser->header_count; ++i) {
    char *block = parser->headers[i].name - sizeof(size_t);
    size_t size;
    std::memcpy(&size, block, sizeof(size));
    brindle__raw_free(&parser->allocator, block, size);
    parser->headers[i].name = nullptr;
    parser->headers[i].value = nullptr;
  }
  parser->header_count = 0;
  free_string(&parser->allocator, &parser->name, &parser->name_size);
  free_string(&parser->allocator, &parser->content_type, &parser->content_type_size);
  parser->content_length = -1;
  parser->remaining = 0;
  brindle__framing_clear(&parser->pending);
  parser->match = BRINDLE__DM_NONE;
  parser->match_position = 0;
  parser->match_length = 0;
}

extern "C" {

BRINDLE_API brindle_multipart_options brindle_default_multipart_options(void) noexcept {
  brindle_multipart_options options{};
  options.max_boundary_bytes = kDefaultMaxBoundaryBytes;
  options.max_line_bytes = kDefaultMaxLineBytes;
  options.max_headers = kDefaultMaxHeaders;
  options.max_buffered_bytes = kDefaultMaxBufferedBytes;
  options.allocator = nullptr;
  return options;
}

BRINDLE_API brindle_multipart *brindle_multipart_open(const char *content_type,
                                                      const brindle_multipart_options *options,
                                                      brindle_error *error) noexcept {
  if (content_type == nullptr) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "multipart Content-Type is required");
    return nullptr;
  }
  brindle_multipart_options given =
      options != nullptr ? *options : brindle_default_multipart_options();
  if (!brindle__allocator_is_valid(given.allocator)) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                  "allocator must provide either all callbacks or none");
    return nullptr;
  }
  const brindle_allocator allocator = brindle__allocator_resolve(given.allocator);
  void *memory = brindle__raw_alloc(&allocator, sizeof(brindle_multipart));
  if (memory == nullptr) {
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate multipart parser");
    return nullptr;
  }
  brindle_multipart *parser = new (memory) brindle_multipart{};
  parser->max_boundary_bytes =
      given.max_boundary_bytes != 0 ? given.max_boundary_bytes : kDefaultMaxBoundaryBytes;
  parser->max_line_bytes = given.max_line_bytes != 0 ? given.max_line_bytes : kDefaultMaxLineBytes;
  parser->max_headers = given.max_headers != 0 ? given.max_headers : kDefaultMaxHeaders;
  parser->max_buffered_bytes =
      given.max_buffered_bytes != 0 ? given.max_buffered_bytes : kDefaultMaxBufferedBytes;
  parser->caller_allocator = given.allocator;
  parser->allocator = allocator;
  brindle__framing_init(&parser->boundary, parser->max_boundary_bytes);
  brindle__framing_init(&parser->delimiter, saturating_add(parser->max_boundary_bytes, 4));
  brindle__framing_init(&parser->closing_delimiter, saturating_add(parser->max_boundary_bytes, 6));
  brindle__line_reader_init(&parser->line, parser->max_line_bytes);
  brindle__framing_init(&parser->pending, parser->max_buffered_bytes);
  brindle__framing_init(&parser->scratch, parser->max_line_bytes);
  parser->content_length = -1;
  parser->state = BRINDLE__MP_BOUNDARY;
  parser->match = BRINDLE__DM_NONE;

  const char *boundary = nullptr;
  size_t length = 0;
  brindle_status status = find_boundary(content_type, &boundary, &length, error);
  if (status == BRINDLE_OK && length == 0) {
    status = brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "multipart boundary is invalid");
  }
  if (status == BRINDLE_OK && length > parser->max_boundary_bytes) {
    status = brindle__fail(error, BRINDLE_OVERFLOW, "multipart boundary length limit exceeded");
  }
  if (status == BRINDLE_OK) status = build_delimiters(parser, boundary, length, error);
  if (status != BRINDLE_OK) {
    brindle_multipart_close(parser);
    return nullptr;
  }
  brindle_error_init(error);
  return parser;
}

BRINDLE_API void brindle_multipart_close(brindle_multipart *parser) noexcept {
  if (parser == nullptr) return;
  const brindle_allocator allocator = parser->allocator;
  brindle__multipart_reset_part(parser);
  brindle__raw_free(&allocator, parser->headers, parser->headers_bytes);
  brindle__framing_free(&parser->boundary, &allocator);
  brindle__framing_free(&parser->delimiter, &allocator);
  brindle__framing_free(&parser->closing_delimiter, &allocator);
  brindle__framing_free(&parser->line.line, &allocator);
  brindle__framing_free(&parser->pending, &allocator);
  brindle__framing_free(&parser->scratch, &allocator);
  parser->~brindle_multipart();
  brindle__raw_free(&allocator, parser, sizeof(brindle_multipart));
}

}  // extern "C"
