// Parser lifecycle: allocation, starting a document, end of input, failures and queries.
#include <cstdarg>
#include <cstdio>

#include "parser_state.h"

namespace {

__attribute__((format(printf, 6, 0))) void record_failure(brindle_parser *parser,
                                                          brindle_status code, size_t offset,
                                                          size_t line, size_t column,
                                                          const char *format, va_list arguments) {
  brindle_error *error = &parser->error;
  error->code = code;
  error->offset = offset;
  error->line = line;
  error->column = column;
  vsnprintf(error->message, sizeof(error->message), format, arguments);
  if (code == BRINDLE_TRUNCATED) {
    error->truncated = 1;
  } else {
    parser->failed = true;
    brindle__drop_long_string(parser);
  }
}

// Position after the byte at p (a newline starts a new line).
void position_after(const brindle_parser *parser, const unsigned char *p, size_t *offset,
                    size_t *line, size_t *column) {
  if (p == nullptr || parser->run_begin == nullptr) {
    *offset = parser->offset;
    *line = parser->line;
    *column = parser->offset - parser->line_start;
    return;
  }
  *offset = brindle__offset_after(parser, p);
  if (*p == '\n') {
    *line = parser->line + 1;
    *column = 0;
  } else {
    *line = parser->line;
    *column = *offset - parser->line_start;
  }
}

}  // namespace

brindle_status brindle__parser_fail_at(brindle_parser *parser, const unsigned char *p,
                                       brindle_status code, const char *format, ...) noexcept {
  size_t offset, line, column;
  position_after(parser, p, &offset, &line, &column);
  va_list arguments;
  va_start(arguments, format);
  record_failure(parser, code, offset, line, column, format, arguments);
  va_end(arguments);
  return code;
}

brindle_status brindle__parser_fail_here(brindle_parser *parser, brindle_status code,
                                         const char *format, ...) noexcept {
  size_t offset, line, column;
  position_after(parser, nullptr, &offset, &line, &column);
  va_list arguments;
  va_start(arguments, format);
  record_failure(parser, code, offset, line, column, format, arguments);
  va_end(arguments);
  return code;
}

brindle_status brindle__parser_outside_status(brindle_parser *parser, const unsigned char *p,
                                              brindle_status status, const brindle_error *reported,
                                              const char *fallback) noexcept {
  if (status == BRINDLE_OK) return BRINDLE_OK;
  if (status == BRINDLE_TRUNCATED) {
    const bool own = reported != nullptr && reported->message[0] != '\0';
    brindle__parser_note_truncated(parser, p, "%s",
                                   own ? reported->message : "value truncated by a callback");
    return BRINDLE_OK;
  }
  brindle_error *error = &parser->error;
  size_t offset, line, column;
  position_after(parser, p, &offset, &line, &column);
  const bool own_message = reported != nullptr && reported->message[0] != '\0';
  snprintf(error->message, sizeof(error->message), "%s",
           own_message ? reported->message : fallback);
  error->system_errno = reported != nullptr ? reported->system_errno : 0;
  error->code = status;
  error->offset = offset;
  error->line = line;
  error->column = column;
  parser->failed = true;
  return status;
}

void brindle__parser_note_truncated(brindle_parser *parser, const unsigned char *p,
                                    const char *format, ...) noexcept {
  brindle_error *error = &parser->error;
  if (error->truncated != 0) return;  // the first truncation names itself
  size_t offset, line, column;
  position_after(parser, p, &offset, &line, &column);
  error->code = BRINDLE_TRUNCATED;
  error->offset = offset;
  error->line = line;
  error->column = column;
  error->truncated = 1;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(error->message, sizeof(error->message), format, arguments);
  va_end(arguments);
}

brindle_parser *brindle__parser_new(const brindle_allocator *allocator) noexcept {
  if (!brindle__allocator_is_valid(allocator)) return nullptr;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  auto *parser = static_cast<brindle_parser *>(brindle__raw_alloc(&use, sizeof(brindle_parser)));
  if (parser == nullptr) return nullptr;
  std::memset(static_cast<void *>(parser), 0, sizeof(*parser));
  parser->self_allocator = use;
  parser->line = 1;
  parser->top = BRINDLE__WORKSPACE_SIZE;
  parser->validation = true;
  parser->max_depth = 64;
  parser->allocator = brindle__allocator_resolve(nullptr);
  return parser;
}

void brindle__parser_delete(brindle_parser *parser) noexcept {
  if (parser == nullptr) return;
  brindle__parser_release(parser);
  const brindle_allocator use = parser->self_allocator;
  brindle__raw_free(&use, parser, sizeof(brindle_parser));
}

void brindle__parser_release(brindle_parser *parser) noexcept {
  if (parser == nullptr) return;
  brindle__stream_release(parser);
  brindle__drop_long_string(parser);
  // Bookkeeping areas live inside the workspace: closing every frame returns them.
  parser->frame_count = 0;
  parser->top = BRINDLE__WORKSPACE_SIZE;
}

brindle_status brindle__parser_init_state(brindle_parser *parser, const brindle_map *map,
                                          void *record, const brindle_parse_options *options,
                                          int validation_mode) noexcept {
  if (parser == nullptr) return BRINDLE_INVALID_ARGUMENT;
  const brindle_allocator self = parser->self_allocator;
  // The workspace and key slots need no clearing: they are written before they are read.
  std::memset(reinterpret_cast<char *>(parser) + BRINDLE__PARSER_CLEARED_FROM, 0,
              sizeof(*parser) - BRINDLE__PARSER_CLEARED_FROM);
  parser->self_allocator = self;
  parser->line = 1;
  parser->top = BRINDLE__WORKSPACE_SIZE;
  parser->map = map;
  parser->record = record;
  parser->validation = validation_mode != 0;
  const brindle_parse_options defaults = brindle_default_parse_options();
  const brindle_parse_options *use = options != nullptr ? options : &defaults;
  parser->clear_destination = use->clear_destination != 0;
  parser->reject_duplicates = use->reject_duplicates != 0;
  parser->max_depth = use->max_depth;
  if (!brindle__allocator_is_valid(use->allocator)) {
    parser->allocator = brindle__allocator_resolve(nullptr);
    return brindle__parser_fail_here(parser, BRINDLE_INVALID_ARGUMENT,
                                     "allocator must provide either all callbacks or none");
  }
  parser->allocator = brindle__allocator_resolve(use->allocator);
  if (!parser->validation && (map == nullptr || record == nullptr)) {
    return brindle__parser_fail_here(parser, BRINDLE_INVALID_ARGUMENT,
                                     "map and destination are required");
  }
  return BRINDLE_OK;
}

void brindle__parser_prepare_record(const brindle_map *map, void *record,
                                    const brindle_parse_options *options) noexcept {
  if (map == nullptr || record == nullptr) return;
  if (options != nullptr && options->clear_destination == 0) return;
  const brindle_allocator *allocator = options != nullptr ? options->allocator : nullptr;
  if (!brindle__allocator_is_valid(allocator)) return;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  brindle__init_with_allocator(map, record, &use);
}

brindle_status brindle_parser_finish(brindle_parser *parser) noexcept {
  if (parser == nullptr) return BRINDLE_INVALID_ARGUMENT;
  if (parser->failed) return static_cast<brindle_status>(parser->error.code);
  if (parser->lex == BRINDLE__LEX_NUMBER) {
    if (!parser->validation && parser->frame_count == 0) {
      return brindle__parser_fail_here(parser, BRINDLE_INVALID_JSON,
                                       "unexpected scalar at document root");
    }
    parser->lex = BRINDLE__LEX_NONE;
    const brindle_status status = brindle__scalar_complete(
        parser, BRINDLE__TOKEN_NUMBER, brindle__token_data(parser), parser->token_length, nullptr);
    parser->token_in_place = nullptr;
    if (status != BRINDLE_OK) return status;
  }
  if (parser->lex != BRINDLE__LEX_NONE) {
    return brindle__parser_fail_here(parser, BRINDLE_INVALID_JSON,
                                     "incomplete JSON token at end of input");
  }
  if (!parser->root_complete || parser->frame_count != 0) {
    return brindle__parser_fail_here(parser, BRINDLE_INVALID_JSON, "incomplete JSON document");
  }
  return parser->error.truncated != 0 ? BRINDLE_TRUNCATED : BRINDLE_OK;
}

const brindle_error *brindle__parser_error(const brindle_parser *parser) noexcept {
  return parser == nullptr ? nullptr : &parser->error;
}

bool brindle__parser_root_complete(const brindle_parser *parser) noexcept {
  return parser != nullptr && parser->root_complete;
}

bool brindle__parser_root_started(const brindle_parser *parser) noexcept {
  return parser != nullptr && parser->root_started;
}
