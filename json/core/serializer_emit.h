// The record writer, shared by every output (sink, fixed buffer, growing buffer, FILE*,
// counting): one template per output kind and form, so the buffer paths write straight into
// memory while producing exactly the bytes the sink path produces.
#ifndef BRINDLE_CORE_SERIALIZER_EMIT_H
#define BRINDLE_CORE_SERIALIZER_EMIT_H

#include "serializer_outputs.h"
#include "values_internal.h"

// Streams spooled and source members: reads blocks of 4096 bytes and hands them on.
brindle_status brindle__stream_spooled(brindle_spooled *spooled, bool base64, brindle_sink sink,
                                       void *user, brindle_error *error) noexcept;
brindle_status brindle__stream_source(const brindle_source *source, bool base64, brindle_sink sink,
                                      void *user, brindle_error *error) noexcept;

template <class Out, bool Pretty>
class brindle__emitter {
 public:
  brindle__emitter(Out &out, brindle_error *error) : out_(out), error_(error) {}

  // One record as one JSON object at the current depth.
  brindle_status record(const brindle_map *map, const char *record) {
    BRINDLE_TRY(out_.put("{", 1));
    bool any = false;
    const brindle_field *field = map->fields;
    const brindle_field *end = field + map->field_count;
    for (; field != end; ++field) {
      if (brindle__field_is_skipped(field, record)) continue;
      BRINDLE_TRY(member(field, record, any));
      any = true;
    }
    if (Pretty && any) BRINDLE_TRY(indent(0));
    return out_.put("}", 1);
  }

  // One member of a record at the current depth: separator, key and value.
  brindle_status member(const brindle_field *field, const char *record, bool any) {
    BRINDLE_TRY(member_key(field, any));
    ++depth_;
    const brindle_status status = value(field, record);
    --depth_;
    return status;
  }

  // Element i of an array member of the given kind (records of an object array use the map and
  // stride), with its separator, at the current depth.
  brindle_status element(int32_t kind, const char *items, size_t i, const brindle_map *map,
                         size_t stride) {
    if (i > 0) BRINDLE_TRY(out_.put(",", 1));
    if constexpr (Pretty) BRINDLE_TRY(indent(1));
    ++depth_;
    const brindle_status status = kind == BRINDLE_FIELD_OBJECT_ARRAY
                                      ? object_element(map, items + i * stride)
                                      : scalar_element(kind, items, i);
    --depth_;
    return status;
  }

  ptrdiff_t depth_ = 0;

 private:
  // The separator, the indentation and the key with its colon.
  brindle_status member_key(const brindle_field *field, bool any) {
    const char *key = field->json_key != nullptr ? field->json_key : "";
    const size_t key_length = field->json_key != nullptr ? field->json_key_len : 0;
    if constexpr (Out::kDirect && !Pretty) {
      if (key_length <= SIZE_MAX / 8) {
        if (char *at = out_.reserve(6 * key_length + 4)) {
          if (any) *at++ = ',';
          *at = '"';
          at = brindle__escape_into(at + 1, key, key_length);
          at[0] = '"';
          at[1] = ':';
          out_.commit(at + 2);
          return BRINDLE_OK;
        }
      }
    }
    if (any) BRINDLE_TRY(out_.put(",", 1));
    if constexpr (Pretty) BRINDLE_TRY(indent(1));
    BRINDLE_TRY(out_.put_string(key, key_length));
    return Pretty ? out_.put(": ", 2) : out_.put(":", 1);
  }

  // A newline and 2 * (depth + extra) spaces, in pieces of at most 64 spaces.
  brindle_status indent(ptrdiff_t extra) {
    size_t width = 0;
    if (!brindle__indent_width(depth_, extra, &width)) {
      return brindle__fail(error_, BRINDLE_OVERFLOW, "JSON indentation depth is too large");
    }
    if constexpr (Out::kDirect) {
      if (width < SIZE_MAX) {
        if (char *at = out_.reserve(width + 1)) {
          *at = '\n';
          std::memset(at + 1, ' ', width);
          out_.commit(at + 1 + width);
          return BRINDLE_OK;
        }
      }
    }
    size_t first = width < BRINDLE_INDENT_PIECE ? width : BRINDLE_INDENT_PIECE;
    BRINDLE_TRY(out_.put(brindle__newline_spaces, first + 1));
    width -= first;
    while (width > 0) {
      const size_t piece = width < BRINDLE_INDENT_PIECE ? width : BRINDLE_INDENT_PIECE;
      BRINDLE_TRY(out_.put(brindle__newline_spaces + 1, piece));
      width -= piece;
    }
    return BRINDLE_OK;
  }

  template <class Format, class T>
  brindle_status number(Format format, T value) {
    if constexpr (Out::kDirect) {
      if (char *at = out_.reserve(BRINDLE_NUMBER_ROOM)) {
        out_.commit(format(at, value));
        return BRINDLE_OK;
      }
    }
    char text[BRINDLE_NUMBER_ROOM];
    char *end = format(text, value);
    return out_.put(text, static_cast<size_t>(end - text));
  }

  brindle_status f64(double value, const char *non_finite_message) {
    if (!brindle__is_finite(value)) {
      return brindle__fail(error_, BRINDLE_TYPE_MISMATCH, "%s", non_finite_message);
    }
    char text[BRINDLE_NUMBER_ROOM];
    char *at = text;
    if constexpr (Out::kDirect) {
      if (char *direct = out_.reserve(BRINDLE_NUMBER_ROOM)) at = direct;
    }
    char *end = brindle__format_f64(at, value);
    if (end == nullptr) {
      return brindle__fail(error_, BRINDLE_INTERNAL_ERROR, "failed to format number");
    }
    if (at != text) {
      out_.commit(end);
      return BRINDLE_OK;
    }
    return out_.put(text, static_cast<size_t>(end - text));
  }

  brindle_status boolean(int32_t value) {
    return value != 0 ? out_.put("true", 4) : out_.put("false", 5);
  }

  brindle_status c_string(const char *text) {
    if (text == nullptr) return out_.put("null", 4);
    return out_.put_string(text, std::strlen(text));
  }

  // Elements of an array, each written by element(i).
  template <class Element>
  brindle_status elements(size_t count, Element element) {
    BRINDLE_TRY(out_.put("[", 1));
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) BRINDLE_TRY(out_.put(",", 1));
      if constexpr (Pretty) BRINDLE_TRY(indent(1));
      ++depth_;
      const brindle_status status = element(i);
      --depth_;
      if (status != BRINDLE_OK) return status;
    }
    if (Pretty && count > 0) BRINDLE_TRY(indent(0));
    return out_.put("]", 1);
  }

  brindle_status array(const brindle_field *field, const void *member) {
    const brindle_array array = brindle__load<brindle_array>(member);
    if (array.count > 0 && array.items == nullptr) {
      return brindle__fail(error_, BRINDLE_INVALID_ARGUMENT,
                           "array field '%s' has elements but no storage", field->json_key);
    }
    const char *items = static_cast<const char *>(array.items);
    // One loop per kind, so the element kind is not looked at per element.
    switch (field->kind) {
      case BRINDLE_FIELD_STRING_ARRAY:
        return elements_of<BRINDLE_FIELD_STRING_ARRAY>(items, array.count);
      case BRINDLE_FIELD_I64_ARRAY:
        return elements_of<BRINDLE_FIELD_I64_ARRAY>(items, array.count);
      case BRINDLE_FIELD_U64_ARRAY:
        return elements_of<BRINDLE_FIELD_U64_ARRAY>(items, array.count);
      case BRINDLE_FIELD_F64_ARRAY:
        return elements_of<BRINDLE_FIELD_F64_ARRAY>(items, array.count);
      default:
        return elements_of<BRINDLE_FIELD_BOOL_ARRAY>(items, array.count);
    }
  }

  template <int32_t Kind>
  brindle_status elements_of(const char *items, size_t count) {
    return elements(count, [&](size_t i) { return scalar_element(Kind, items, i); });
  }

  __attribute__((always_inline)) brindle_status scalar_element(int32_t kind, const char *items,
                                                               size_t i) {
    switch (kind) {
      case BRINDLE_FIELD_STRING_ARRAY: {
        const char *text = brindle__load<const char *>(items + i * sizeof(char *));
        return text == nullptr ? out_.put("\"\"", 2) : out_.put_string(text, std::strlen(text));
      }
      case BRINDLE_FIELD_I64_ARRAY:
        return number(brindle__format_i64, brindle__load<int64_t>(items + i * 8));
      case BRINDLE_FIELD_U64_ARRAY:
        return number(brindle__format_u64, brindle__load<uint64_t>(items + i * 8));
      case BRINDLE_FIELD_F64_ARRAY:
        return f64(brindle__load<double>(items + i * 8),
                   "non-finite double array element cannot be serialized");
      default:
        return boolean(brindle__load<int32_t>(items + i * sizeof(int32_t)));
    }
  }

  brindle_status object_element(const brindle_map *map, const char *item) {
    if (map == nullptr) return out_.put("{}", 2);
    return record(map, item);
  }

  brindle_status object_array(const brindle_field *field, const void *member) {
    const brindle_object_array array = brindle__load<brindle_object_array>(member);
    size_t stride = 0;
    if (!brindle__object_array_stride(field, array, &stride)) {
      return brindle__fail(error_, BRINDLE_INVALID_ARGUMENT,
                           "object array field '%s' has elements smaller than their record",
                           field->json_key);
    }
    if (array.count > 0 && array.items == nullptr) {
      return brindle__fail(error_, BRINDLE_INVALID_ARGUMENT,
                           "array field '%s' has elements but no storage", field->json_key);
    }
    const char *items = static_cast<const char *>(array.items);
    return elements(array.count,
                    [&](size_t i) { return object_element(field->submap, items + i * stride); });
  }

  static brindle_status to_output(void *user, const char *bytes, size_t length, brindle_error *) {
    return static_cast<Out *>(user)->put(bytes, length);
  }
  static brindle_status to_output_escaped(void *user, const char *bytes, size_t length,
                                          brindle_error *) {
    return static_cast<Out *>(user)->put_escaped(bytes, length);
  }

  brindle_status spooled(const brindle_field *field, const void *member) {
    const bool base64 = field->kind == BRINDLE_FIELD_SPOOLED_BYTES;
    auto *value = static_cast<brindle_spooled *>(const_cast<void *>(member));
    BRINDLE_TRY(out_.put("\"", 1));
    BRINDLE_TRY(brindle__stream_spooled(value, base64, base64 ? to_output : to_output_escaped,
                                        &out_, error_));
    return out_.put("\"", 1);
  }

  brindle_status source(const brindle_field *field, const void *member) {
    const auto *value = static_cast<const brindle_source *>(member);
    if (value->kind == BRINDLE_SOURCE_NONE) return out_.put("null", 4);
    const bool base64 = field->kind == BRINDLE_FIELD_SOURCE_BYTES;
    BRINDLE_TRY(out_.put("\"", 1));
    BRINDLE_TRY(brindle__stream_source(value, base64, base64 ? to_output : to_output_escaped, &out_,
                                       error_));
    return out_.put("\"", 1);
  }

  brindle_status json_value(const void *member) {
    const auto *value = static_cast<const brindle_json_value *>(member);
    if (value->kind == BRINDLE_JSON_VALUE_NONE) return out_.put("null", 4);
    if (!Pretty && value->kind == BRINDLE_JSON_VALUE_BUFFER && value->buffer != nullptr) {
      return out_.put(value->buffer, value->length);
    }
    return brindle__json_transcode(value, to_output, &out_, Pretty ? 1 : 0,
                                   static_cast<size_t>(depth_), error_);
  }

  brindle_status value(const brindle_field *field, const char *base) {
    const char *member = base + field->offset;
    if (brindle__field_writes_null(field, base)) return out_.put("null", 4);
    switch (field->kind) {
      case BRINDLE_FIELD_STRING:
        if (field->storage == BRINDLE_STORAGE_FIXED) {
          return out_.put_string(member, strnlen(member, field->capacity));
        }
        return c_string(brindle__load<const char *>(member));
      case BRINDLE_FIELD_SPOOLED_TEXT:
      case BRINDLE_FIELD_SPOOLED_BYTES:
        return spooled(field, member);
      case BRINDLE_FIELD_SOURCE_TEXT:
      case BRINDLE_FIELD_SOURCE_BYTES:
        return source(field, member);
      case BRINDLE_FIELD_JSON_VALUE:
        return json_value(member);
      case BRINDLE_FIELD_I64:
        return number(brindle__format_i64, brindle__load<int64_t>(member));
      case BRINDLE_FIELD_U64:
        return number(brindle__format_u64, brindle__load<uint64_t>(member));
      case BRINDLE_FIELD_F64:
        return f64(brindle__load<double>(member), "non-finite double cannot be serialized");
      case BRINDLE_FIELD_BOOL:
        return boolean(brindle__load<int32_t>(member));
      case BRINDLE_FIELD_OBJECT:
        return record(field->submap, member);
      case BRINDLE_FIELD_STRING_ARRAY:
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
      case BRINDLE_FIELD_BOOL_ARRAY:
        return array(field, member);
      case BRINDLE_FIELD_OBJECT_ARRAY:
        return object_array(field, member);
      case BRINDLE_FIELD_STRING_STREAM:
        return brindle__fail(error_, BRINDLE_TYPE_MISMATCH,
                             "field '%s' is parse-only and cannot be serialized", field->json_key);
      default:
        return brindle__fail(error_, BRINDLE_INTERNAL_ERROR, "unsupported field kind");
    }
  }

  Out &out_;
  brindle_error *error_;
};

#endif  // BRINDLE_CORE_SERIALIZER_EMIT_H
