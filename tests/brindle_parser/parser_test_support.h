// Shared pieces of the parser tests: a record type with one member of most kinds, and helpers
// that feed a document to the internal push parser in chunks.
#ifndef STAVO_TESTS_BRINDLE_PARSER_SUPPORT_H
#define STAVO_TESTS_BRINDLE_PARSER_SUPPORT_H

#include <string>
#include <vector>

#include "brindle.h"
#include "json/core/parser_api.h"

namespace parser_test {

struct Nested {
  int64_t n;
  char *label;
};

inline const brindle_field kNestedFields[] = {
    BRINDLE_DECL_I64(Nested, n, "n", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Nested, label, "label", 0),
};
inline const brindle_map kNestedMap = BRINDLE_MAP("nested_json", Nested, kNestedFields);

struct All {
  char *s;
  char fixed[4];
  int64_t i;
  uint64_t u;
  double f;
  int32_t b;
  Nested obj;
  brindle_array strs;
  brindle_array ints;
  brindle_array uints;
  brindle_array floats;
  brindle_array bools;
  brindle_object_array objs;
  int64_t pi;
  int32_t pi_present;
};

inline const brindle_field kAllFields[] = {
    BRINDLE_DECL_STRING(All, s, "s", 0),
    BRINDLE_DECL_FIXED_STRING(All, fixed, "fixed", 0, BRINDLE_OVERFLOW_TRUNCATE),
    BRINDLE_DECL_I64(All, i, "i", 0),
    BRINDLE_DECL_U64(All, u, "u", 0),
    BRINDLE_DECL_F64(All, f, "f", 0),
    BRINDLE_DECL_BOOL(All, b, "b", 0),
    BRINDLE_DECL_OBJECT(All, obj, "obj", 0, &kNestedMap),
    BRINDLE_DECL_ARRAY(All, strs, "strs", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_ARRAY(All, ints, "ints", BRINDLE_FIELD_I64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(All, uints, "uints", BRINDLE_FIELD_U64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(All, floats, "floats", BRINDLE_FIELD_F64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(All, bools, "bools", BRINDLE_FIELD_BOOL_ARRAY, 0),
    BRINDLE_DECL_OBJECT_ARRAY(All, objs, "objs", 0, &kNestedMap, Nested),
    BRINDLE_DECL_PRESENT(All, pi, "pi", BRINDLE_FIELD_I64, 0, pi_present),
};
inline const brindle_map kAllMap = BRINDLE_MAP("all_json", All, kAllFields);

template <typename T>
const T &item(const brindle_array &array, size_t index) {
  return static_cast<const T *>(array.items)[index];
}
inline const Nested &object_item(const brindle_object_array &array, size_t index) {
  return static_cast<const Nested *>(array.items)[index];
}

struct Outcome {
  brindle_status status;
  brindle_error error;
};

// Feeds text to a parser in chunks of chunk bytes (0: one chunk), then finishes.
inline Outcome feed_in_chunks(const brindle_map *map, void *record, const std::string &text,
                              size_t chunk, const brindle_parse_options *options = nullptr,
                              bool validation = false) {
  brindle_parser *parser = brindle__parser_new(nullptr);
  Outcome outcome{};
  brindle_status status =
      brindle__parser_init_state(parser, map, record, options, validation ? 1 : 0);
  if (status == BRINDLE_OK) {
    if (!validation) brindle__parser_prepare_record(map, record, options);
    size_t position = 0;
    if (chunk == 0) chunk = text.size();
    while (position < text.size() && (status == BRINDLE_OK || status == BRINDLE_TRUNCATED)) {
      const size_t length = std::min(chunk, text.size() - position);
      status = brindle__parser_feed_bytes(parser, text.data() + position, length, nullptr, 0);
      position += length;
    }
    if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) status = brindle_parser_finish(parser);
  }
  outcome.status = status;
  outcome.error = *brindle__parser_error(parser);
  brindle__parser_delete(parser);
  return outcome;
}

// Feeds text split at the given positions (ascending), then finishes.
inline Outcome feed_split(const brindle_map *map, void *record, const std::string &text,
                          const std::vector<size_t> &splits,
                          const brindle_parse_options *options = nullptr, bool validation = false) {
  brindle_parser *parser = brindle__parser_new(nullptr);
  Outcome outcome{};
  brindle_status status =
      brindle__parser_init_state(parser, map, record, options, validation ? 1 : 0);
  if (status == BRINDLE_OK) {
    if (!validation) brindle__parser_prepare_record(map, record, options);
    size_t position = 0;
    std::vector<size_t> ends = splits;
    ends.push_back(text.size());
    for (size_t end : ends) {
      if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) break;
      status =
          brindle__parser_feed_bytes(parser, text.data() + position, end - position, nullptr, 0);
      position = end;
    }
    if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) status = brindle_parser_finish(parser);
  }
  outcome.status = status;
  outcome.error = *brindle__parser_error(parser);
  brindle__parser_delete(parser);
  return outcome;
}

inline Outcome parse_text(const brindle_map *map, void *record, const std::string &text,
                          const brindle_parse_options *options = nullptr) {
  Outcome outcome{};
  outcome.status =
      brindle_parse_buffer(map, record, text.data(), text.size(), options, &outcome.error);
  return outcome;
}

inline Outcome validate_text(const std::string &text) {
  Outcome outcome{};
  outcome.status = brindle_validate_buffer(text.data(), text.size(), &outcome.error);
  return outcome;
}

}  // namespace parser_test

#endif
