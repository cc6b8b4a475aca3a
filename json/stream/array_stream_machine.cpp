// The array stream's document state machine: the root array, or the root object with its keys
// and skipped members around the selected array, and the separators between elements. Element
// contents are read by the element modes (array_stream_elements.cpp).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "array_stream_internal.h"

void brindle__array_advance(brindle_array_stream *stream, const char *bytes,
                            size_t length) noexcept {
  const size_t base = stream->offset;
  const char *p = bytes;
  const char *end = bytes + length;
  while (p < end) {
    const void *newline = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (newline == nullptr) break;
    const char *at = static_cast<const char *>(newline);
    ++stream->line;
    stream->line_start = base + static_cast<size_t>(at - bytes) + 1;
    p = at + 1;
  }
  stream->offset = base + length;
}

int brindle__array_fail(brindle_array_stream *stream, brindle_status code, const char *format,
                        ...) noexcept {
  char message[sizeof(stream->error.message)];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);
  const bool truncated = stream->error.truncated != 0;
  brindle__set_error(&stream->error, code, stream->offset, stream->line,
                     stream->offset - stream->line_start, "%s", message);
  if (truncated) stream->error.truncated = 1;
  stream->phase = BRINDLE__PHASE_FAILED;
  return BRINDLE_ARRAY_STREAM_ERROR;
}

namespace {

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Takes the byte at input[*i] as consumed.
void take(brindle_array_stream *stream, const char *input, size_t *i) noexcept {
  brindle__array_advance(stream, input + *i, 1);
  ++*i;
}

void array_ended(brindle_array_stream *stream) noexcept {
  stream->state = stream->field != nullptr ? BRINDLE__DOC_MEMBER_SEP : BRINDLE__DOC_AFTER_ROOT;
}

// Input ended (stream->eof) between tokens or inside a key.
int at_end_of_input(brindle_array_stream *stream) noexcept {
  if (stream->state == BRINDLE__DOC_AFTER_ROOT) {
    stream->phase = BRINDLE__PHASE_DONE;
    return BRINDLE_ARRAY_STREAM_END;
  }
  if (stream->push) {
    return brindle__array_fail(stream, BRINDLE_INTERNAL_ERROR, "push array stream blocked at EOF");
  }
  switch (stream->state) {
    case BRINDLE__DOC_IN_KEY:
      return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "unterminated JSON string");
    case BRINDLE__DOC_ARRAY_FIRST:
    case BRINDLE__DOC_ARRAY_NEXT:
    case BRINDLE__DOC_ELEMENT_SEP:
      return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "unterminated selected array");
    default:
      return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "incomplete JSON document");
  }
}

// The root key just decoded: duplicates, selection.
int key_complete(brindle_array_stream *stream) noexcept {
  const brindle__bytes &key = stream->key;
  if (stream->options.reject_duplicates != 0) {
    const brindle__key_insert inserted =
        brindle__key_set_insert(&stream->root_keys, &stream->allocator, 0, key.data, key.length);
    if (inserted == BRINDLE__KEY_NO_MEMORY) {
      return brindle__array_fail(stream, BRINDLE_ALLOCATION_FAILED,
                                 "failed to allocate array stream key");
    }
    if (inserted == BRINDLE__KEY_REPEATED) {
      return brindle__array_fail(stream, BRINDLE_DUPLICATE_FIELD, "duplicate root object field");
    }
  }
  stream->selected =
      key.length == stream->field_length && std::memcmp(key.data, stream->field, key.length) == 0;
  if (stream->selected) stream->found = true;
  stream->state = BRINDLE__DOC_COLON;
  return -1;
}

// Decodes key bytes from input[*i, length); -1 to go on, or ERROR.
int read_key(brindle_array_stream *stream, const char *input, size_t length, size_t *i) noexcept {
  while (*i < length) {
    size_t chunk = length - *i;
    if (chunk > BRINDLE__ARRAY_BLOCK) chunk = BRINDLE__ARRAY_BLOCK;
    if (!brindle__bytes_reserve(&stream->key, &stream->allocator, chunk + 4)) {
      return brindle__array_fail(stream, BRINDLE_ALLOCATION_FAILED,
                                 "failed to allocate array stream key");
    }
    size_t produced = 0;
    bool done = false;
    const char *message = nullptr;
    const size_t used =
        brindle__string_decode(&stream->decoder, input + *i, chunk,
                               stream->key.data + stream->key.length, &produced, &done, &message);
    brindle__array_advance(stream, input + *i, used);
    *i += used;
    stream->key.length += produced;
    stream->key.data[stream->key.length] = '\0';
    if (message != nullptr) return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "%s", message);
    if (stream->key.length > BRINDLE__ARRAY_MAX_KEY) {
      return brindle__array_fail(stream, BRINDLE_OVERFLOW,
                                 "JSON object key exceeds maximum decoded byte limit");
    }
    if (done) return key_complete(stream);
  }
  return -1;
}

// After an element or skipped value ended (ITEM from the element modes).
void value_complete(brindle_array_stream *stream) noexcept {
  stream->state =
      stream->state == BRINDLE__DOC_SKIP ? BRINDLE__DOC_MEMBER_SEP : BRINDLE__DOC_ELEMENT_SEP;
}

}  // namespace

int brindle__array_run(brindle_array_stream *stream, const brindle__array_request *request,
                       const char *input, size_t length, size_t *position) noexcept {
  size_t i = *position;
  int result = -1;
  while (result < 0) {
    const uint8_t state = stream->state;
    if (state == BRINDLE__DOC_SEP_PENDING) {
      if (stream->separator == ',') {
        stream->state = BRINDLE__DOC_ARRAY_NEXT;
      } else {
        array_ended(stream);
      }
      continue;
    }
    if (state == BRINDLE__DOC_ELEMENT || state == BRINDLE__DOC_SKIP) {
      const brindle__array_request *use = state == BRINDLE__DOC_SKIP ? nullptr : request;
      int r = BRINDLE_ARRAY_STREAM_NEED_INPUT;
      if (i < length) {
        r = brindle__array_element_continue(stream, use, input, length, &i);
      } else if (stream->eof) {
        r = stream->push ? at_end_of_input(stream) : brindle__array_element_at_eof(stream);
      }
      if (r == BRINDLE_ARRAY_STREAM_ITEM) {
        value_complete(stream);
      } else if (r == BRINDLE_ARRAY_STREAM_ERROR) {
        result = r;
      } else if (i == length) {
        result = BRINDLE_ARRAY_STREAM_NEED_INPUT;
      }
      continue;
    }
    if (state == BRINDLE__DOC_IN_KEY) {
      if (i == length) {
        result = stream->eof ? at_end_of_input(stream) : BRINDLE_ARRAY_STREAM_NEED_INPUT;
      } else {
        result = read_key(stream, input, length, &i);
      }
      continue;
    }
    while (i < length && is_space(input[i]))
      take(stream, input, &i);
    if (i == length) {
      result = stream->eof ? at_end_of_input(stream) : BRINDLE_ARRAY_STREAM_NEED_INPUT;
      continue;
    }
    const char c = input[i];
    switch (state) {
      case BRINDLE__DOC_START:
        take(stream, input, &i);
        if (stream->field == nullptr) {
          if (c != '[') {
            result = brindle__array_fail(stream, BRINDLE_TYPE_MISMATCH,
                                         "selected JSON value is not an array");
          } else {
            stream->state = BRINDLE__DOC_ARRAY_FIRST;
          }
        } else if (c != '{') {
          result = brindle__array_fail(stream, BRINDLE_TYPE_MISMATCH,
                                       "array path requires a root object");
        } else {
          stream->state = BRINDLE__DOC_KEY_OR_END;
        }
        break;
      case BRINDLE__DOC_KEY_OR_END:
      case BRINDLE__DOC_KEY:
        take(stream, input, &i);
        if (c == '"') {
          brindle__string_decoder_reset(&stream->decoder);
          stream->key.length = 0;
          stream->state = BRINDLE__DOC_IN_KEY;
        } else if (c == '}' && state == BRINDLE__DOC_KEY_OR_END) {
          if (stream->found) {
            stream->state = BRINDLE__DOC_AFTER_ROOT;
          } else {
            result = brindle__array_fail(stream, BRINDLE_MISSING_REQUIRED_FIELD,
                                         "selected array field was not found");
          }
        } else {
          result = brindle__array_fail(stream, BRINDLE_INVALID_JSON, "expected object key");
        }
        break;
      case BRINDLE__DOC_COLON:
        take(stream, input, &i);
        if (c == ':') {
          stream->state = BRINDLE__DOC_VALUE;
        } else {
          result =
              brindle__array_fail(stream, BRINDLE_INVALID_JSON, "expected ':' after object key");
        }
        break;
      case BRINDLE__DOC_VALUE:
        if (stream->selected) {
          take(stream, input, &i);
          if (c == '[') {
            stream->state = BRINDLE__DOC_ARRAY_FIRST;
          } else {
            result = brindle__array_fail(stream, BRINDLE_TYPE_MISMATCH,
                                         "selected JSON value is not an array");
          }
        } else {
          stream->state = BRINDLE__DOC_SKIP;
          const int r = brindle__array_element_begin(stream, nullptr, input, length, &i);
          if (r == BRINDLE_ARRAY_STREAM_ERROR) result = r;
          if (r == BRINDLE_ARRAY_STREAM_ITEM) value_complete(stream);
        }
        break;
      case BRINDLE__DOC_MEMBER_SEP:
        take(stream, input, &i);
        if (c == ',') {
          stream->state = BRINDLE__DOC_KEY;
        } else if (c == '}') {
          if (stream->found) {
            stream->state = BRINDLE__DOC_AFTER_ROOT;
          } else {
            result = brindle__array_fail(stream, BRINDLE_MISSING_REQUIRED_FIELD,
                                         "selected array field was not found");
          }
        } else {
          result =
              brindle__array_fail(stream, BRINDLE_INVALID_JSON, "expected ',' or '}' in object");
        }
        break;
      case BRINDLE__DOC_ARRAY_FIRST:
      case BRINDLE__DOC_ARRAY_NEXT:
        if (c == ']') {
          take(stream, input, &i);
          if (state == BRINDLE__DOC_ARRAY_FIRST) {
            array_ended(stream);
          } else {
            result = brindle__array_fail(stream, BRINDLE_INVALID_JSON,
                                         "expected JSON value in selected array");
          }
        } else {
          stream->state = BRINDLE__DOC_ELEMENT;
          const int r = brindle__array_element_begin(stream, request, input, length, &i);
          if (r == BRINDLE_ARRAY_STREAM_ERROR) result = r;
          if (r == BRINDLE_ARRAY_STREAM_ITEM) value_complete(stream);
        }
        break;
      case BRINDLE__DOC_ELEMENT_SEP:
        take(stream, input, &i);
        if (c == ',' || c == ']') {
          stream->separator = c;
          stream->state = BRINDLE__DOC_SEP_PENDING;
          result = BRINDLE_ARRAY_STREAM_ITEM;
        } else {
          result = brindle__array_fail(stream, BRINDLE_INVALID_JSON,
                                       "expected ',' or ']' in selected array");
        }
        break;
      case BRINDLE__DOC_AFTER_ROOT:
        take(stream, input, &i);
        result = brindle__array_fail(stream, BRINDLE_INVALID_JSON,
                                     stream->field != nullptr ? "unexpected data after root object"
                                                              : "unexpected data after root array");
        break;
      default:
        result = brindle__array_fail(stream, BRINDLE_INTERNAL_ERROR, "invalid array stream state");
        break;
    }
  }
  *position = i;
  return result;
}
