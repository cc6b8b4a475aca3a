// Streamed members: decoded string bytes go to a spooled value as they arrive (through base64
// decoding for spooled bytes), or piecewise to a string-stream handler.
#include <array>

#include "parser_state.h"
#include "values_internal.h"

namespace {

constexpr int8_t kPad = 64;

constexpr std::array<int8_t, 256> make_base64_table() {
  std::array<int8_t, 256> table{};
  for (auto &entry : table)
    entry = -1;
  for (int i = 0; i < 26; ++i) {
    table[static_cast<size_t>('A' + i)] = static_cast<int8_t>(i);
    table[static_cast<size_t>('a' + i)] = static_cast<int8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i)
    table[static_cast<size_t>('0' + i)] = static_cast<int8_t>(52 + i);
  table['+'] = 62;
  table['/'] = 63;
  table['='] = kPad;
  return table;
}
constexpr std::array<int8_t, 256> kBase64 = make_base64_table();

// Appends to the spool, reporting the exact input byte at which a size limit is passed: the
// bytes that still fit are appended, then the spool refuses the rest with its own message.
brindle_status spool_append(brindle_parser *parser, brindle_spooled *spooled,
                            const unsigned char *bytes, size_t length, const unsigned char *first,
                            bool from_input) {
  brindle_error reported;
  brindle_error_init(&reported);
  const char *text = reinterpret_cast<const char *>(bytes);
  const size_t max = spooled->options.max_bytes;
  // Input bytes are counted one by one; the bytes of one escape go in whole or not at all.
  if (from_input && max != 0 && length > 0 &&
      (spooled->size > max || max - spooled->size < length)) {
    const size_t fit = spooled->size < max ? max - spooled->size : 0;
    if (fit > 0) {
      const brindle_status status = brindle_spooled_append(spooled, text, fit, &reported);
      if (status != BRINDLE_OK) {
        return brindle__parser_outside_status(parser, first, status, &reported,
                                              "failed to append to spooled field");
      }
    }
    const unsigned char *at = from_input ? first + fit : first;
    brindle_status status = brindle_spooled_append(spooled, text + fit, length - fit, &reported);
    if (status == BRINDLE_OK) return BRINDLE_OK;  // the spool took it after all
    return brindle__parser_outside_status(parser, at, status, &reported,
                                          "spooled field exceeds configured max bytes");
  }
  const brindle_status status = brindle_spooled_append(spooled, text, length, &reported);
  if (status == BRINDLE_OK) return BRINDLE_OK;
  return brindle__parser_outside_status(parser, first, status, &reported,
                                        "failed to append to spooled field");
}

// Base64 text of a spooled bytes member: every full quartet is decoded and appended.
brindle_status base64_append(brindle_parser *parser, brindle_spooled *spooled,
                             const unsigned char *bytes, size_t length, const unsigned char *first,
                             bool from_input) {
  unsigned char decoded[768];
  size_t pending = 0;
  // Quartets decoded before a bad byte are kept, wherever the slice boundaries fell.
  auto fail = [&](const unsigned char *at, const char *message) {
    if (pending > 0) {
      const brindle_status status = spool_append(parser, spooled, decoded, pending, at, false);
      if (status != BRINDLE_OK) return status;
    }
    return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON, "%s", message);
  };
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    const unsigned char *at = from_input ? first + i : first;
    const int8_t value = kBase64[c];
    if (value < 0) {
      return fail(at, "invalid base64 character in streamed field");
    }
    if (parser->padding_seen && value != kPad) {
      return fail(at, "non-padding base64 data after padding");
    }
    if (value == kPad) parser->padding_seen = true;
    parser->quartet[parser->quartet_fill++] = static_cast<unsigned char>(value);
    if (parser->quartet_fill < 4) continue;
    parser->quartet_fill = 0;
    const unsigned char *q = parser->quartet;
    size_t produced;
    if (q[0] == kPad || q[1] == kPad) {
      return fail(at, "invalid base64 quartet in streamed field");
    }
    if (q[2] == kPad && q[3] != kPad) {
      return fail(at, "invalid base64 padding in streamed field");
    }
    unsigned char out[3];
    out[0] = static_cast<unsigned char>((q[0] << 2) | (q[1] >> 4));
    produced = 1;
    if (q[2] != kPad) {
      out[1] = static_cast<unsigned char>(((q[1] & 0xF) << 4) | (q[2] >> 2));
      produced = 2;
      if (q[3] != kPad) {
        out[2] = static_cast<unsigned char>(((q[2] & 0x3) << 6) | q[3]);
        produced = 3;
      }
    }
    const size_t max = spooled->options.max_bytes;
    const bool over = max != 0 && spooled->size + pending + produced > max;
    if (over || pending + produced > sizeof(decoded)) {
      if (pending > 0) {
        const brindle_status status = spool_append(parser, spooled, decoded, pending, at, false);
        if (status != BRINDLE_OK) return status;
        pending = 0;
      }
      if (over) return spool_append(parser, spooled, out, produced, at, false);
    }
    std::memcpy(decoded + pending, out, produced);
    pending += produced;
  }
  if (pending == 0) return BRINDLE_OK;
  const unsigned char *last = from_input ? first + (length - 1) : first;
  return spool_append(parser, spooled, decoded, pending, last, false);
}

}  // namespace

brindle_status brindle__stream_value_begin(brindle_parser *parser, const brindle_field *field,
                                           void *member, const unsigned char *at) noexcept {
  parser->stream_field = field;
  parser->stream_member = member;
  parser->quartet_fill = 0;
  parser->padding_seen = false;
  if (field->kind == BRINDLE_FIELD_STRING_STREAM) {
    auto *stream = static_cast<brindle_string_array_stream *>(member);
    if (stream->marker != brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM) ||
        stream->handler.chunk == nullptr) {
      return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_ARGUMENT,
                                     "string array stream field '%s' has no chunk handler",
                                     brindle__key_of(field));
    }
    if (stream->active != 0) {
      return brindle__parser_fail_at(parser, at, BRINDLE_INTERNAL_ERROR,
                                     "string array stream field '%s' is already active",
                                     brindle__key_of(field));
    }
    if (stream->handler.begin != nullptr) {
      brindle_error reported{};
      const brindle_status status = stream->handler.begin(stream->user, &reported, stream);
      if (brindle__parser_outside_status(parser, at, status, &reported,
                                         "string array stream begin callback failed") !=
          BRINDLE_OK) {
        return status;
      }
    }
    stream->active = 1;
    parser->stream_active = true;
    return BRINDLE_OK;
  }
  auto *spooled = static_cast<brindle_spooled *>(member);
  brindle__spooled_set_allocator(spooled, &parser->allocator);
  brindle_spooled_reset(spooled);
  parser->stream_active = true;
  return BRINDLE_OK;
}

brindle_status brindle__stream_value_append(brindle_parser *parser, const unsigned char *bytes,
                                            size_t length, const unsigned char *first,
                                            bool from_input) noexcept {
  if (!parser->stream_active) {
    return brindle__parser_fail_at(parser, first, BRINDLE_INTERNAL_ERROR,
                                   "streamed field is not active");
  }
  switch (parser->stream_field->kind) {
    case BRINDLE_FIELD_SPOOLED_TEXT:
      return spool_append(parser, static_cast<brindle_spooled *>(parser->stream_member), bytes,
                          length, first, from_input);
    case BRINDLE_FIELD_SPOOLED_BYTES:
      return base64_append(parser, static_cast<brindle_spooled *>(parser->stream_member), bytes,
                           length, first, from_input);
    default: {
      auto *stream = static_cast<brindle_string_array_stream *>(parser->stream_member);
      brindle_error reported{};
      const brindle_status status = stream->handler.chunk(
          stream->user, reinterpret_cast<const char *>(bytes), length, &reported);
      const unsigned char *last = from_input ? first + (length - 1) : first;
      return brindle__parser_outside_status(parser, last, status, &reported,
                                            "string array stream chunk callback failed");
    }
  }
}

brindle_status brindle__stream_value_finish(brindle_parser *parser,
                                            const unsigned char *at) noexcept {
  if (!parser->stream_active) {
    return brindle__parser_fail_at(parser, at, BRINDLE_INTERNAL_ERROR,
                                   "streamed field is not active");
  }
  parser->stream_active = false;
  const brindle_field *field = parser->stream_field;
  if (field->kind == BRINDLE_FIELD_STRING_STREAM) {
    auto *stream = static_cast<brindle_string_array_stream *>(parser->stream_member);
    stream->active = 0;
    if (stream->handler.end == nullptr) return BRINDLE_OK;
    brindle_error reported{};
    const brindle_status status = stream->handler.end(stream->user, &reported);
    return brindle__parser_outside_status(parser, at, status, &reported,
                                          "string array stream end callback failed");
  }
  if (field->kind == BRINDLE_FIELD_SPOOLED_BYTES && parser->quartet_fill != 0) {
    return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON,
                                   "incomplete base64 quartet in streamed field");
  }
  return BRINDLE_OK;
}

void brindle__stream_release(brindle_parser *parser) noexcept {
  if (!parser->stream_active) return;
  parser->stream_active = false;
  if (parser->stream_field != nullptr &&
      parser->stream_field->kind == BRINDLE_FIELD_STRING_STREAM) {
    static_cast<brindle_string_array_stream *>(parser->stream_member)->active = 0;
  }
}
