// Completed scalars: strings, numbers, booleans and null stored into members and array
// elements by the member's kind.
#include "parser_state.h"
#include "values_internal.h"

namespace {

bool numeric_target(int32_t kind) {
  return kind == BRINDLE_FIELD_I64 || kind == BRINDLE_FIELD_U64 || kind == BRINDLE_FIELD_F64 ||
         kind == BRINDLE_FIELD_I64_ARRAY || kind == BRINDLE_FIELD_U64_ARRAY ||
         kind == BRINDLE_FIELD_F64_ARRAY;
}

// The grammar of the number token just completed, as the scanner found it.
brindle_status check_grammar(brindle_parser *parser, const unsigned char *, size_t,
                             const unsigned char *at) {
  if (brindle__number_accepting(parser->number_state)) return BRINDLE_OK;
  return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON, "invalid JSON number");
}

void store_present(const brindle_field *field, void *record, int32_t value) {
  if ((field->flags & BRINDLE_FIELD_HAS_PRESENT) == 0) return;
  std::memcpy(static_cast<char *>(record) + field->present_offset, &value, sizeof(value));
}

void set_present(const brindle_field *field, void *record) {
  store_present(field, record, 1);
}

// A NUL-terminated block of the record's allocator holding the string: the long string's own
// block when data is one, else a new copy; NULL when the allocation fails.
char *owned_copy(brindle_parser *parser, const unsigned char *data, size_t length) {
  if (parser->long_string != nullptr) {
    char *taken = brindle__take_long_string(parser, data);
    if (taken != nullptr) return taken;
  }
  char *copy = static_cast<char *>(brindle__block_alloc(&parser->allocator, length + 1));
  if (copy == nullptr) return nullptr;
  if (length != 0) std::memcpy(copy, data, length);
  copy[length] = '\0';
  return copy;
}

brindle_status assign_string(brindle_parser *parser, const brindle_field *field, void *member,
                             const unsigned char *data, size_t length, const unsigned char *at) {
  if (parser->saw_nul) {
    return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                   "field '%s' contains embedded NUL unsupported by C strings",
                                   brindle__key_of(field));
  }
  if (field->storage == BRINDLE_STORAGE_FIXED) {
    const size_t capacity = field->capacity;
    if (capacity == 0) {
      return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_ARGUMENT,
                                     "fixed string field has zero capacity");
    }
    char *target = static_cast<char *>(member);
    if (length + 1 <= capacity) {
      std::memcpy(target, data, length);
      target[length] = '\0';
      return BRINDLE_OK;
    }
    if (field->overflow == BRINDLE_OVERFLOW_FAIL) {
      return brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                                     "string field '%s' exceeds fixed capacity",
                                     brindle__key_of(field));
    }
    std::memcpy(target, data, capacity - 1);
    target[capacity - 1] = '\0';
    brindle__parser_note_truncated(parser, at, "string field '%s' truncated to its fixed capacity",
                                   brindle__key_of(field));
    return BRINDLE_OK;
  }
  char *copy = owned_copy(parser, data, length);
  if (copy == nullptr) {
    return brindle__parser_fail_at(parser, at, BRINDLE_ALLOCATION_FAILED,
                                   "failed to allocate string");
  }
  char **slot = static_cast<char **>(member);
  brindle__block_free(*slot);
  *slot = copy;
  return BRINDLE_OK;
}

brindle_status null_into_field(brindle_parser *parser, const brindle_field *field, void *record,
                               const unsigned char *at) {
  void *member = brindle__member(record, field);
  switch (field->kind) {
    case BRINDLE_FIELD_STRING:
      if (field->storage == BRINDLE_STORAGE_FIXED) {
        if (field->capacity > 0) static_cast<char *>(member)[0] = '\0';
      } else {
        char **slot = static_cast<char **>(member);
        brindle__block_free(*slot);
        *slot = nullptr;
      }
      return BRINDLE_OK;
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
    case BRINDLE_FIELD_OBJECT:
    case BRINDLE_FIELD_STRING_ARRAY:
    case BRINDLE_FIELD_I64_ARRAY:
    case BRINDLE_FIELD_U64_ARRAY:
    case BRINDLE_FIELD_F64_ARRAY:
    case BRINDLE_FIELD_BOOL_ARRAY:
    case BRINDLE_FIELD_OBJECT_ARRAY:
      brindle__field_cleanup(field, record);
      return BRINDLE_OK;
    case BRINDLE_FIELD_I64:
    case BRINDLE_FIELD_U64:
    case BRINDLE_FIELD_F64:
    case BRINDLE_FIELD_BOOL:
      if ((field->flags & BRINDLE_FIELD_NULLABLE) == 0) break;
      store_present(field, record, 0);  // the member keeps whatever it held
      return BRINDLE_OK;
    default:
      break;
  }
  return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH, "null is not allowed for '%s'",
                                 brindle__key_of(field));
}

brindle_status scalar_for_field(brindle_parser *parser, brindle__token_type type,
                                const unsigned char *data, size_t length, const unsigned char *at) {
  brindle__frame *frame = brindle__inner_frame(parser);
  const brindle_field *field = parser->value_field;
  const int32_t kind = field->kind;
  if (type == BRINDLE__TOKEN_NUMBER && !numeric_target(kind)) {
    const brindle_status status = check_grammar(parser, data, length, at);
    if (status != BRINDLE_OK) return status;
  }
  brindle_status status = brindle__note_new_field(parser, frame, field, at);
  if (status != BRINDLE_OK) return status;
  void *record = frame->record;
  void *member = brindle__member(record, field);
  if (kind == BRINDLE_FIELD_JSON_VALUE) {
    status = brindle__jv_scalar_value(parser, field, static_cast<brindle_json_value *>(member),
                                      type, data, length, at);
    if (status != BRINDLE_OK) return status;
    return brindle__value_done(parser, at);
  }
  switch (type) {
    case BRINDLE__TOKEN_STRING:
      if (kind == BRINDLE_FIELD_STRING) {
        status = assign_string(parser, field, member, data, length, at);
      } else if (kind == BRINDLE_FIELD_SOURCE_TEXT || kind == BRINDLE_FIELD_SOURCE_BYTES) {
        status = brindle__parser_fail_at(
            parser, at, BRINDLE_TYPE_MISMATCH,
            "field '%s' is serialize-only and cannot be parsed from JSON", brindle__key_of(field));
      } else {
        status = brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                         "expected string field '%s'", brindle__key_of(field));
      }
      break;
    case BRINDLE__TOKEN_NUMBER:
      if (kind == BRINDLE_FIELD_I64) {
        int64_t value;
        if (!brindle__parse_i64(data, length, &value)) {
          return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                         "expected integer for '%s'", brindle__key_of(field));
        }
        std::memcpy(member, &value, sizeof(value));
      } else if (kind == BRINDLE_FIELD_U64) {
        uint64_t value;
        if (!brindle__parse_u64(data, length, &value)) {
          return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                         "expected unsigned integer for '%s'",
                                         brindle__key_of(field));
        }
        std::memcpy(member, &value, sizeof(value));
      } else if (kind == BRINDLE_FIELD_F64) {
        double value;
        if (!brindle__number_accepting(parser->number_state) ||
            !brindle__parse_f64_valid(data, length, &value)) {
          return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                         "expected number for '%s'", brindle__key_of(field));
        }
        std::memcpy(member, &value, sizeof(value));
      } else {
        return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                       "numeric value does not match field '%s'",
                                       brindle__key_of(field));
      }
      set_present(field, record);
      break;
    case BRINDLE__TOKEN_TRUE:
    case BRINDLE__TOKEN_FALSE:
      if (kind != BRINDLE_FIELD_BOOL) {
        return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                       "boolean value does not match field '%s'",
                                       brindle__key_of(field));
      } else {
        const int32_t value = type == BRINDLE__TOKEN_TRUE ? 1 : 0;
        std::memcpy(member, &value, sizeof(value));
        set_present(field, record);
      }
      break;
    case BRINDLE__TOKEN_NULL:
      status = null_into_field(parser, field, record, at);
      break;
  }
  if (status != BRINDLE_OK) return status;
  return brindle__value_done(parser, at);
}

// Appends one element of element_size bytes; NULL when nothing is to be stored (dropped or
// failed: the parser's state tells).
void *element_slot(brindle_parser *parser, brindle_array *array, const brindle_field *field,
                   size_t element_size, const unsigned char *at) {
  if (array->items != nullptr && array->count < array->capacity) {
    return static_cast<char *>(array->items) + array->count * element_size;  // room left
  }
  brindle__append_result result;
  void *slot = brindle__array_reserve(&array->items, array->count, &array->capacity, &array->flags,
                                      element_size, field->overflow, &parser->allocator, &result);
  if (slot != nullptr) return slot;
  if (result == BRINDLE__APPEND_DROPPED) {
    brindle__parser_note_truncated(parser, at, "array '%s' truncated to its fixed capacity",
                                   brindle__key_of(field));
  } else {
    brindle__parser_fail_at(
        parser, at,
        result == BRINDLE__APPEND_NO_MEMORY ? BRINDLE_ALLOCATION_FAILED : BRINDLE_OVERFLOW, "%s",
        brindle__append_message(result));
  }
  return nullptr;
}

brindle_status append_string_element(brindle_parser *parser, brindle_array *array,
                                     const brindle_field *field, const unsigned char *data,
                                     size_t length, const unsigned char *at) {
  if (parser->saw_nul) {
    return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                   "array '%s' contains embedded NUL unsupported by C strings",
                                   brindle__key_of(field));
  }
  char *copy = owned_copy(parser, data, length);
  if (copy == nullptr) {
    return brindle__parser_fail_at(parser, at, BRINDLE_ALLOCATION_FAILED,
                                   "failed to allocate array string");
  }
  void *slot = element_slot(parser, array, field, sizeof(char *), at);
  if (slot == nullptr) {
    brindle__block_free(copy);
    return parser->failed ? static_cast<brindle_status>(parser->error.code) : BRINDLE_OK;
  }
  std::memcpy(slot, &copy, sizeof(copy));
  ++array->count;
  return BRINDLE_OK;
}

template <typename T>
brindle_status append_value(brindle_parser *parser, brindle_array *array,
                            const brindle_field *field, T value, const unsigned char *at) {
  void *slot = element_slot(parser, array, field, sizeof(T), at);
  if (slot == nullptr) {
    return parser->failed ? static_cast<brindle_status>(parser->error.code) : BRINDLE_OK;
  }
  std::memcpy(slot, &value, sizeof(T));
  ++array->count;
  return BRINDLE_OK;
}

brindle_status expects(brindle_parser *parser, const brindle_field *field, const char *what,
                       const unsigned char *at) {
  return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH, "array '%s' expects %s",
                                 brindle__key_of(field), what);
}

brindle_status scalar_for_element(brindle_parser *parser, brindle__token_type type,
                                  const unsigned char *data, size_t length,
                                  const unsigned char *at) {
  brindle__frame *frame = brindle__inner_frame(parser);
  const brindle_field *field = parser->value_field;
  const int32_t kind = field->kind;
  if (type == BRINDLE__TOKEN_NUMBER && !numeric_target(kind)) {
    const brindle_status status = check_grammar(parser, data, length, at);
    if (status != BRINDLE_OK) return status;
  }
  auto *array = static_cast<brindle_array *>(brindle__member(frame->record, field));
  const bool number = type == BRINDLE__TOKEN_NUMBER;
  brindle_status status;
  switch (kind) {
    case BRINDLE_FIELD_STRING_ARRAY:
      if (type == BRINDLE__TOKEN_STRING) {
        status = append_string_element(parser, array, field, data, length, at);
      } else if (type == BRINDLE__TOKEN_NULL) {
        parser->saw_nul = false;
        status = append_string_element(parser, array, field, data, 0, at);
      } else {
        status = expects(parser, field, "strings", at);
      }
      break;
    case BRINDLE_FIELD_I64_ARRAY: {
      if (!number) return expects(parser, field, "integers", at);
      int64_t value;
      if (!brindle__parse_i64(data, length, &value)) {
        return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                       "expected integer for '%s'", brindle__key_of(field));
      }
      status = append_value(parser, array, field, value, at);
      break;
    }
    case BRINDLE_FIELD_U64_ARRAY: {
      if (!number) return expects(parser, field, "unsigned integers", at);
      uint64_t value;
      if (!brindle__parse_u64(data, length, &value)) {
        return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                       "expected unsigned integer for '%s'",
                                       brindle__key_of(field));
      }
      status = append_value(parser, array, field, value, at);
      break;
    }
    case BRINDLE_FIELD_F64_ARRAY: {
      if (!number) return expects(parser, field, "numbers", at);
      double value;
      if (!brindle__number_accepting(parser->number_state) ||
          !brindle__parse_f64_valid(data, length, &value)) {
        return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                       "expected number for '%s'", brindle__key_of(field));
      }
      status = append_value(parser, array, field, value, at);
      break;
    }
    case BRINDLE_FIELD_BOOL_ARRAY:
      if (type != BRINDLE__TOKEN_TRUE && type != BRINDLE__TOKEN_FALSE) {
        return expects(parser, field, "booleans", at);
      }
      status = append_value(parser, array, field, int32_t{type == BRINDLE__TOKEN_TRUE ? 1 : 0}, at);
      break;
    case BRINDLE_FIELD_STRING_STREAM:
      return expects(parser, field, "strings", at);
    default:
      return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                     "field '%s' does not accept scalar array values",
                                     brindle__key_of(field));
  }
  if (status != BRINDLE_OK) return status;
  return brindle__value_done(parser, at);
}

}  // namespace

brindle_status brindle__scalar_complete(brindle_parser *parser, brindle__token_type type,
                                        const unsigned char *data, size_t length,
                                        const unsigned char *at) noexcept {
  switch (parser->target) {
    case BRINDLE__TARGET_FIELD:
      return scalar_for_field(parser, type, data, length, at);
    case BRINDLE__TARGET_ELEMENT:
      return scalar_for_element(parser, type, data, length, at);
    case BRINDLE__TARGET_JV: {
      if (type == BRINDLE__TOKEN_NUMBER) {
        const brindle_status status = check_grammar(parser, data, length, at);
        if (status != BRINDLE_OK) return status;
      }
      const brindle_status status = brindle__jv_scalar(parser, type, data, length, at);
      if (status != BRINDLE_OK) return status;
      return brindle__value_done(parser, at);
    }
    default:  // the root in validation mode and skipped values: only the grammar matters
      if (type == BRINDLE__TOKEN_NUMBER) {
        const brindle_status status = check_grammar(parser, data, length, at);
        if (status != BRINDLE_OK) return status;
      }
      return brindle__value_done(parser, at);
  }
}
