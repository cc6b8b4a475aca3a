// The feeder: one tight loop over a chunk that keeps the per-byte state machine's results and
// positions while copying plain string runs, whitespace and digits in bulk.
#include <array>

#include "parser_scan.h"
#include "parser_state.h"

namespace {

// Where the bytes of a string starting in the current context go, for the two captures the
// feeder completes by itself: token (1) and discard (2); 0 for every other capture.
inline int quick_capture(const brindle_parser *P) {
  switch (P->target) {
    case BRINDLE__TARGET_ROOT:
    case BRINDLE__TARGET_SKIP:
      return 2;
    case BRINDLE__TARGET_FIELD: {
      const brindle_field *field = P->value_field;
      switch (field->kind) {
        case BRINDLE_FIELD_STRING:
          return field->storage == BRINDLE_STORAGE_FIXED && field->capacity > 0 ? 0 : 1;
        case BRINDLE_FIELD_SPOOLED_TEXT:
        case BRINDLE_FIELD_SPOOLED_BYTES:
        case BRINDLE_FIELD_JSON_VALUE:
        case BRINDLE_FIELD_STRING_STREAM:
          return 0;
        default:
          return 1;
      }
    }
    case BRINDLE__TARGET_ELEMENT:
      return P->value_field->kind == BRINDLE_FIELD_STRING_STREAM ? 0 : 1;
    default:
      return 0;
  }
}

// A container that stores nothing (validation, unknown keys, skipped values).
inline bool plain_container(const brindle_parser *P, const brindle__frame *f) {
  if (P->jv_active) return false;
  if (f == nullptr) return P->validation;
  if (f->type == BRINDLE__FRAME_OBJECT) return f->map == nullptr || f->current_field == nullptr;
  return f->array_field == nullptr;
}

// Pushes a frame that stores nothing; the general push reports the limits.
inline bool push_plain(brindle_parser *P, int32_t type, const unsigned char *at) {
  if (!(P->max_depth - 1 >= P->frame_count) ||
      brindle__frames_end(P) + BRINDLE__FRAME_SIZE > P->top) {
    return brindle__push_frame(P, type, nullptr, nullptr, nullptr, at) != nullptr;
  }
  brindle__frame *frame = reinterpret_cast<brindle__frame *>(P->workspace) + P->frame_count;
  std::memset(static_cast<void *>(frame), 0, sizeof(*frame));
  frame->type = type;
  frame->state =
      type == BRINDLE__FRAME_OBJECT ? BRINDLE__OBJ_KEY_OR_END : BRINDLE__ARR_VALUE_OR_END;
  ++P->frame_count;
  return true;
}

// After a number in an array that stores nothing, the numbers that follow it ("1,2,3"), each
// one complete in the chunk and valid, are taken here rather than by dispatching every comma
// and number again; returns the first byte left to the dispatch. The frame's state stays "after
// a value", as completing each number would leave it.
inline const unsigned char *plain_number_run(brindle_parser *P, brindle__frame *f,
                                             const unsigned char *q, const unsigned char *end,
                                             size_t space) {
  for (;;) {
    const unsigned char *at = q + 1;
    if (*q != ',' || at == end || brindle__number_class[*at] > 2) return q;  // 0-9 or '-'
    uint8_t state = brindle__number_next[BRINDLE__NUM_START][brindle__number_class[*at]];
    const unsigned char *r = brindle__scan_number(at + 1, end, &state);
    if (r == end || static_cast<size_t>(r - at) > space - 2 || !brindle__number_accepting(state)) {
      return q;  // the dispatch takes the comma and reports or gathers the number
    }
    f->after_comma = 1;
    P->number_state = state;
    q = r;
  }
}

// A number that starts at at in the innermost array of a JSON value member delivered to a
// visitor, taken as the dispatch takes it when it completes in the chunk and is valid: 1, with
// *q after it; 0 when it is left to the dispatch; -1 when a visitor callback failed or asked for
// a re-dispatch. after_comma: a comma came before it.
inline int take_visited_number(brindle_parser *P, const unsigned char *at, const unsigned char *end,
                               bool after_comma, const unsigned char **q) {
  uint8_t state = brindle__number_next[BRINDLE__NUM_START][brindle__number_class[*at]];
  const unsigned char *next = brindle__scan_number(at + 1, end, &state);
  const size_t space = brindle__token_space(P);
  if (next == end || space < 3 || static_cast<size_t>(next - at) > space - 2 ||
      !brindle__number_accepting(state)) {
    return 0;
  }
  if (after_comma) brindle__inner_frame(P)->after_comma = 1;
  P->number_state = state;
  *q = next;
  if (brindle__jv_number(P, at, static_cast<size_t>(next - at), next) != BRINDLE_OK) return -1;
  return P->yield ? -1 : 1;
}

// The same for arrays of numbers inside a visited JSON value ("[[1,2],[3,4]]"): after a number,
// the numbers that follow it, the ']' that closes an inner array and the ",[" that opens the next
// one are taken here, each as the dispatch takes it, while they come without whitespace and
// complete in the chunk. *q: the first byte left to the dispatch; false when a visitor callback
// failed or asked for a re-dispatch.
inline bool visited_array_run(brindle_parser *P, const unsigned char **q,
                              const unsigned char *end) {
  for (const unsigned char *r = *q;;) {
    const unsigned char *at = r + 1;
    if (*r == ']') {
      if (P->frame_count <= P->jv_base_depth + 1) return true;  // the end of the value itself
      *q = at;
      if (brindle__close_frame(P, r) != BRINDLE_OK || P->yield) return false;
      if (at == end || brindle__inner_frame(P)->type != BRINDLE__FRAME_ARRAY) return true;
      r = at;
      continue;
    }
    if (*r != ',' || at == end) return true;
    int taken;
    if (*at == '[') {
      if (at + 1 == end || brindle__number_class[at[1]] > 2) return true;
      brindle__frame *f = brindle__inner_frame(P);
      f->state = BRINDLE__ARR_VALUE_OR_END;
      f->after_comma = 1;
      *q = at + 1;
      brindle__set_value_target(P, f);
      if (brindle__jv_container_open(P, '[', at) != BRINDLE_OK ||
          !push_plain(P, BRINDLE__FRAME_ARRAY, at) || P->yield) {
        return false;
      }
      taken = take_visited_number(P, at + 1, end, false, q);
    } else if (brindle__number_class[*at] <= 2) {
      taken = take_visited_number(P, at, end, true, q);
    } else {
      return true;
    }
    if (taken <= 0) return taken == 0;
    r = *q;
  }
}

// Appends number bytes to the token, checking the token space.
inline bool number_append(brindle_parser *parser, const unsigned char *run, size_t length) {
  const size_t space = brindle__token_space(parser);
  const size_t limit = space >= 2 ? space - 2 : 0;
  if (parser->token_length + length > limit) {
    const size_t fit = limit > parser->token_length ? limit - parser->token_length : 0;
    brindle__parser_fail_at(parser, run + fit, BRINDLE_OVERFLOW,
                            "parser workspace exhausted by token");
    return false;
  }
  if (parser->token_in_place == nullptr) {
    std::memcpy(brindle__token_area(parser) + parser->token_length, run, length);
  }
  parser->token_length += length;
  return true;
}

// A token (number or literal) starts with the byte at at; false when there is no room.
inline bool token_start(brindle_parser *parser, const unsigned char *at) {
  if (brindle__token_space(parser) < 3) {
    brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW, "parser workspace exhausted by token");
    return false;
  }
  return true;
}

const char *const kLiterals[] = {"true", "false", "null"};
constexpr uint8_t kLiteralLength[] = {4, 5, 4};

// Runs the state machine over [p, end). Stops at end, at a failure, when the root value is
// complete and stop is set, or when the feeder must re-dispatch (yield).
const unsigned char *run(brindle_parser *P, const unsigned char *p, const unsigned char *end,
                         bool stop) {
  unsigned char c;
  const unsigned char *at;
  brindle__frame *f;

  switch (P->lex) {
    case BRINDLE__LEX_NONE:
      break;
    case BRINDLE__LEX_STRING:
      goto in_string;
    case BRINDLE__LEX_NUMBER:
      goto in_number;
    default:
      goto in_literal;
  }

between:
  for (;;) {
    for (;;) {
      if (p == end) return p;
      c = *p;
      if (c > ' ') break;
      if (c == ' ') {
        p = brindle__skip_spaces(p + 1, end);
      } else if (c == '\t' || c == '\r') {
        ++p;
      } else if (c == '\n') {
        ++p;
        ++P->line;
        P->line_start = P->run_base + static_cast<size_t>(p - P->run_begin);
        // The indentation that usually follows is taken at once.
        if (p != end && *p == ' ') p = brindle__skip_spaces(p + 1, end);
      } else {
        break;
      }
    }
    if (P->root_complete) {
      if (stop) return p;
      brindle__parser_fail_at(P, p, BRINDLE_INVALID_JSON, "unexpected trailing data");
      return p + 1;
    }
    at = p++;
    f = brindle__top_frame(P);
    if (f == nullptr) {
      if (!P->validation && c != '{') {
        brindle__parser_fail_at(P, at, BRINDLE_TYPE_MISMATCH, "root value must be an object");
        return p;
      }
      P->root_started = true;
      goto start_value;
    }
    switch (f->state) {
      case BRINDLE__OBJ_KEY_OR_END:
        if (c == '"') {
          f->after_comma = 0;
          P->target = BRINDLE__TARGET_KEY;
          if (!P->jv_active) {
            // A plain key that ends in this chunk is looked up where it lies.
            const unsigned char *q = brindle__find_escape(p, end);
            const size_t space = brindle__token_space(P);
            if (q != end && *q == '"' && space >= 2 && static_cast<size_t>(q - p) <= space - 2) {
              if (brindle__key_complete_expected(P, f, p, static_cast<size_t>(q - p), q) !=
                  BRINDLE_OK) {
                return q + 1;
              }
              p = q + 1;
              // The usual "key": value: the colon and one space are taken here and the value
              // is dispatched at once.
              if (end - p >= 3 && *p == ':') {
                const unsigned char *v = p[1] == ' ' ? p + 2 : p + 1;
                if (*v > ' ') {
                  f->state = BRINDLE__OBJ_VALUE;
                  c = *v;
                  at = v;
                  p = v + 1;
                  goto start_value;
                }
              }
              continue;
            }
          }
          if (brindle__string_begin(P, at) != BRINDLE_OK) return p;
          if (P->yield) return p;
          goto in_string;
        }
        if (c == '}') {
          if (f->after_comma != 0) {
            brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "trailing comma in object");
            return p;
          }
          goto close_container;
        }
        brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "expected object key");
        return p;
      case BRINDLE__OBJ_COLON:
        if (c == ':') {
          f->state = BRINDLE__OBJ_VALUE;
          if (P->jv_active && !P->jv_visitor && brindle__jv_punctuation(P, c, at) != BRINDLE_OK) {
            return p;
          }
          continue;
        }
        brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "expected ':' after object key");
        return p;
      case BRINDLE__OBJ_VALUE:
        goto start_value;
      case BRINDLE__OBJ_COMMA_OR_END:
        if (c == ',') {
          f->state = BRINDLE__OBJ_KEY_OR_END;
          f->after_comma = 1;
          if (P->jv_active && !P->jv_visitor && brindle__jv_punctuation(P, c, at) != BRINDLE_OK) {
            return p;
          }
          continue;
        }
        if (c == '}') goto close_container;
        brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "expected ',' or '}' in object");
        return p;
      case BRINDLE__ARR_VALUE_OR_END:
        if (c == ']') {
          if (f->after_comma != 0) {
            brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "trailing comma in array");
            return p;
          }
          goto close_container;
        }
        goto start_value;
      case BRINDLE__ARR_COMMA_OR_END:
        if (c == ',') {
          f->state = BRINDLE__ARR_VALUE_OR_END;
          f->after_comma = 1;
          if (P->jv_active && !P->jv_visitor && brindle__jv_punctuation(P, c, at) != BRINDLE_OK) {
            return p;
          }
          continue;
        }
        if (c == ']') goto close_container;
        brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON, "expected ',' or ']' in array");
        return p;
      default:
        brindle__parser_fail_at(P, at, BRINDLE_INTERNAL_ERROR, "invalid parser state");
        return p;
    }

  close_container:
    if (!P->jv_active && (f->type == BRINDLE__FRAME_ARRAY || f->map == nullptr)) {
      --P->frame_count;  // nothing to check or release
      if (brindle__value_done(P, at) != BRINDLE_OK) return p;
    } else if (brindle__close_frame(P, at) != BRINDLE_OK) {
      return p;
    }
    if (P->yield || (stop && P->root_complete)) return p;
    continue;

  start_value:
    switch (c) {
      case '{':
      case '[':
        if (plain_container(P, f)) {
          if (!push_plain(P, c == '{' ? BRINDLE__FRAME_OBJECT : BRINDLE__FRAME_ARRAY, at)) {
            return p;
          }
          continue;
        }
        if (P->jv_active && f != nullptr) {
          // Inside a JSON value member every container is a plain frame; the member sees it.
          brindle__set_value_target(P, f);
          if (brindle__jv_container_open(P, c, at) != BRINDLE_OK ||
              !push_plain(P, c == '{' ? BRINDLE__FRAME_OBJECT : BRINDLE__FRAME_ARRAY, at)) {
            return p;
          }
          if (P->yield) return p;
          continue;
        }
        if (brindle__open_container(P, c, at) != BRINDLE_OK) return p;
        if (P->yield) return p;
        continue;
      case '"': {
        brindle__set_value_target(P, f);
        const int quick = quick_capture(P);
        if (quick != 0) {
          // A plain string that ends in this chunk is completed where it lies.
          const unsigned char *q = brindle__find_escape(p, end);
          const size_t length = static_cast<size_t>(q - p);
          const size_t space = brindle__token_space(P);
          if (q != end && *q == '"' && (quick == 2 || (space >= 2 && length <= space - 2))) {
            const unsigned char *data = p;
            p = q + 1;
            if (quick == 2) {
              if (brindle__value_done(P, q) != BRINDLE_OK) return p;
            } else {
              P->saw_nul = false;
              if (brindle__scalar_complete(P, BRINDLE__TOKEN_STRING, data, length, q) !=
                  BRINDLE_OK) {
                return p;
              }
            }
            if (P->yield || (stop && P->root_complete)) return p;
            continue;
          }
        }
        if (brindle__string_begin(P, at) != BRINDLE_OK) return p;
        if (P->yield) return p;
        goto in_string;
      }
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': {
        brindle__set_value_target(P, f);
        uint8_t state = brindle__number_next[BRINDLE__NUM_START][brindle__number_class[c]];
        const unsigned char *q = brindle__scan_number(p, end, &state);
        const size_t length = static_cast<size_t>(q - at);
        const size_t space = brindle__token_space(P);
        if (q != end && space >= 3 && length <= space - 2) {
          // The number ends in this chunk: complete it where it lies. The byte at q ends it
          // and is dispatched again between tokens.
          P->number_state = state;
          p = q;
          if (P->target == BRINDLE__TARGET_ROOT || P->target == BRINDLE__TARGET_SKIP) {
            if (!brindle__number_accepting(state)) {
              brindle__parser_fail_at(P, q, BRINDLE_INVALID_JSON, "invalid JSON number");
              return p;
            }
            if (brindle__value_done(P, q) != BRINDLE_OK) return p;
            if (f != nullptr && f->type == BRINDLE__FRAME_ARRAY) {
              p = plain_number_run(P, f, q, end, space);
              continue;
            }
          } else if (P->target == BRINDLE__TARGET_JV) {
            if (brindle__jv_number(P, at, length, q) != BRINDLE_OK) return p;
            if (P->jv_visitor && !P->jv_careful && !P->yield && f->type == BRINDLE__FRAME_ARRAY &&
                !visited_array_run(P, &p, end)) {
              return p;
            }
          } else if (brindle__scalar_complete(P, BRINDLE__TOKEN_NUMBER, at, length, q) !=
                     BRINDLE_OK) {
            return p;
          }
          if (P->yield || (stop && P->root_complete)) return p;
          continue;
        }
        if (!token_start(P, at)) return p;
        P->lex = BRINDLE__LEX_NUMBER;
        P->token_in_place = at;
        P->token_length = 1;
        P->number_state = brindle__number_next[BRINDLE__NUM_START][brindle__number_class[c]];
        goto in_number;
      }
      case 't':
      case 'f':
      case 'n':
        brindle__set_value_target(P, f);
        if (!token_start(P, at)) return p;
        P->lex = c == 't' ? BRINDLE__LEX_TRUE : c == 'f' ? BRINDLE__LEX_FALSE : BRINDLE__LEX_NULL;
        P->literal_pos = 1;
        goto in_literal;
      default:
        brindle__parser_fail_at(P, at, BRINDLE_INVALID_JSON,
                                f != nullptr && f->type == BRINDLE__FRAME_ARRAY
                                    ? "expected array value"
                                    : "expected JSON value");
        return p;
    }
  }

in_string:
  for (;;) {
    if (P->esc != BRINDLE__ESC_NONE) {
      if (p == end) return p;
      if (brindle__string_escape_byte(P, p) != BRINDLE_OK) return p + 1;
      ++p;
      continue;
    }
    const unsigned char *q = brindle__find_escape(p, end);
    if (q != p) {
      if (P->capture != BRINDLE__CAPTURE_DISCARD &&
          brindle__string_run(P, p, static_cast<size_t>(q - p)) != BRINDLE_OK) {
        return q;
      }
      p = q;
    }
    if (p == end) return p;
    c = *p;
    if (c == '"') {
      at = p++;
      if (brindle__string_end(P, at) != BRINDLE_OK) return p;
      if (P->yield || (stop && P->root_complete)) return p;
      goto between;
    }
    if (c == '\\') {
      ++p;
      P->esc = BRINDLE__ESC_START;
      continue;
    }
    brindle__parser_fail_at(P, p, BRINDLE_INVALID_JSON, "control character in string");
    return p + 1;
  }

in_number : {
  uint8_t state = P->number_state;
  const unsigned char *q = brindle__scan_number(p, end, &state);
  P->number_state = state;
  if (q != p) {
    if (!number_append(P, p, static_cast<size_t>(q - p))) return q;
    p = q;
  }
  if (p == end) return p;
  // The byte at p ends the number; it is dispatched again between tokens.
  P->lex = BRINDLE__LEX_NONE;
  if (brindle__scalar_complete(P, BRINDLE__TOKEN_NUMBER, brindle__token_data(P), P->token_length,
                               p) != BRINDLE_OK) {
    return p;
  }
  P->token_in_place = nullptr;
  if (P->yield || (stop && P->root_complete)) return p;
  goto between;
}

in_literal : {
  const size_t which = static_cast<size_t>(P->lex - BRINDLE__LEX_TRUE);
  const char *word = kLiterals[which];
  const uint8_t length = kLiteralLength[which];
  while (P->literal_pos < length) {
    if (p == end) return p;
    if (*p != static_cast<unsigned char>(word[P->literal_pos])) {
      brindle__parser_fail_at(P, p, BRINDLE_INVALID_JSON, "invalid literal");
      return p + 1;
    }
    if (static_cast<size_t>(P->literal_pos) + 3 > brindle__token_space(P)) {
      brindle__parser_fail_at(P, p, BRINDLE_OVERFLOW, "parser workspace exhausted by token");
      return p + 1;
    }
    ++P->literal_pos;
    ++p;
  }
  P->lex = BRINDLE__LEX_NONE;
  const brindle__token_type type = which == 0   ? BRINDLE__TOKEN_TRUE
                                   : which == 1 ? BRINDLE__TOKEN_FALSE
                                                : BRINDLE__TOKEN_NULL;
  if (brindle__scalar_complete(P, type, nullptr, 0, p - 1) != BRINDLE_OK) return p;
  if (P->yield || (stop && P->root_complete)) return p;
  goto between;
}
}

}  // namespace

brindle_status brindle__parser_feed_bytes(brindle_parser *parser, const char *bytes, size_t length,
                                          size_t *consumed, int stop_at_root_end) noexcept {
  if (consumed != nullptr) *consumed = 0;
  if (parser == nullptr || (bytes == nullptr && length != 0)) {
    if (parser != nullptr) {
      return brindle__parser_fail_here(parser, BRINDLE_INVALID_ARGUMENT,
                                       "invalid parser feed arguments");
    }
    return BRINDLE_INVALID_ARGUMENT;
  }
  if (parser->failed) return static_cast<brindle_status>(parser->error.code);
  const bool stop = stop_at_root_end != 0;
  const unsigned char *begin = reinterpret_cast<const unsigned char *>(bytes);
  const unsigned char *p = begin;
  const unsigned char *end = begin + length;
  parser->run_begin = begin;
  parser->run_base = parser->offset;
  while (p < end) {
    if (stop && parser->root_complete) break;
    if (parser->jv_careful) {
      // A visitor with a total limit sees the value one byte at a time, so that the byte
      // that goes past the limit is the one reported.
      if (brindle__offset_after(parser, p) - parser->jv_start_offset >
          parser->jv_limits.max_total_bytes) {
        brindle__parser_fail_at(parser, p, BRINDLE_OVERFLOW,
                                "JSON value exceeds maximum total byte limit");
        break;
      }
      p = run(parser, p, p + 1, stop);
    } else {
      p = run(parser, p, end, stop);
    }
    parser->yield = false;
    if (parser->failed) break;
  }
  if (!parser->failed) {
    parser->offset = parser->run_base + static_cast<size_t>(p - begin);
    const bool token_pending =
        parser->lex == BRINDLE__LEX_NUMBER ||
        (parser->lex == BRINDLE__LEX_STRING && parser->capture == BRINDLE__CAPTURE_TOKEN);
    if (token_pending && parser->token_in_place != nullptr) brindle__token_to_workspace(parser);
  }
  parser->run_begin = nullptr;
  if (consumed != nullptr) *consumed = static_cast<size_t>(p - begin);
  if (parser->failed) return static_cast<brindle_status>(parser->error.code);
  return parser->error.truncated != 0 ? BRINDLE_TRUNCATED : BRINDLE_OK;
}
