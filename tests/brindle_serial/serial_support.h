// Helpers for the serializer tests: collecting sinks, running every output form of the
// serializer and the generator at a given read size, and a record type with every scalar,
// string, array and object kind.
#ifndef STAVO_TESTS_BRINDLE_SERIAL_SUPPORT_H
#define STAVO_TESTS_BRINDLE_SERIAL_SUPPORT_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brindle.h"

namespace serial_test {

// A sink that appends every piece and counts the calls.
struct Collected {
  std::string text;
  size_t calls = 0;
  // Return this status from the call with this 1-based number (0: never).
  size_t fail_at = 0;
  brindle_status fail_status = BRINDLE_CALLBACK_FAILED;
  bool truncate = false;  // answer BRINDLE_TRUNCATED to every call
};

inline brindle_status collect(void *user, const char *bytes, size_t length, brindle_error *) {
  auto *collected = static_cast<Collected *>(user);
  ++collected->calls;
  if (collected->fail_at != 0 && collected->calls == collected->fail_at) {
    return collected->fail_status;
  }
  collected->text.append(bytes, length);
  return collected->truncate ? BRINDLE_TRUNCATED : BRINDLE_OK;
}

inline brindle_write_options options(bool pretty) {
  brindle_write_options result = brindle_default_write_options();
  result.pretty = pretty ? 1 : 0;
  return result;
}

// The sink path's text (status into *status when given).
inline std::string via_sink(const brindle_map *map, const void *record, bool pretty,
                            brindle_status *status = nullptr, brindle_error *error = nullptr) {
  Collected collected;
  const brindle_write_options opts = options(pretty);
  brindle_status result = brindle_serialize_sink(map, record, collect, &collected, &opts, error);
  if (status != nullptr) *status = result;
  return collected.text;
}

// The generator's text read with the given capacity per call.
inline std::string via_generator(const brindle_map *map, const void *record, bool pretty,
                                 size_t capacity, brindle_status *status = nullptr,
                                 brindle_error *error = nullptr) {
  brindle_generator generator;
  const brindle_write_options opts = options(pretty);
  brindle_status result = brindle_generator_init(&generator, map, record, &opts);
  std::string text;
  std::vector<char> buffer(capacity);
  while (result == BRINDLE_OK) {
    size_t length = 0;
    int done = 0;
    result = brindle_generator_read(&generator, buffer.data(), capacity, &length, &done);
    text.append(buffer.data(), length);
    if (done != 0) break;
    if (length == 0 && result == BRINDLE_OK) {  // no progress: a defect
      result = BRINDLE_INTERNAL_ERROR;
      break;
    }
  }
  if (error != nullptr) *error = generator.error;
  brindle_generator_cleanup(&generator);
  if (status != nullptr) *status = result;
  return text;
}

// Read sizes the generator is checked with.
inline const size_t kReadSizes[] = {1, 2, 3, 7, 64, 4096};

// Every output form, compact or pretty, must give the sink path's bytes: the fixed buffer (also
// truncated to a few capacities), the owned and malloc'd buffers, the generator at every read
// size, and the measured length. Returns the sink path's text.
inline std::string expect_all_forms_agree(const brindle_map *map, const void *record, bool pretty) {
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  const std::string expected = via_sink(map, record, pretty, &status, &error);
  EXPECT_EQ(status, BRINDLE_OK) << error.message;
  brindle_write_options opts = options(pretty);

  std::vector<char> buffer(expected.size() + 1);
  size_t length = 0;
  EXPECT_EQ(
      brindle_serialize_buffer(map, record, buffer.data(), buffer.size(), &length, &opts, &error),
      BRINDLE_OK)
      << error.message;
  EXPECT_EQ(std::string(buffer.data(), length), expected);
  opts.overflow = 1;
  for (size_t capacity : {size_t{1}, size_t{2}, expected.size() / 2 + 1, expected.size()}) {
    std::vector<char> small(capacity);
    EXPECT_EQ(brindle_serialize_buffer(map, record, small.data(), capacity, &length, &opts, &error),
              capacity > expected.size() ? BRINDLE_OK : BRINDLE_TRUNCATED);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::string(small.data()), expected.substr(0, capacity - 1));
  }
  opts.overflow = 0;

  brindle_owned_buffer owned;
  EXPECT_EQ(brindle_serialize_owned(map, record, &owned, &opts, &error), BRINDLE_OK)
      << error.message;
  if (owned.data != nullptr) {
    EXPECT_EQ(std::string(owned.data, owned.length), expected);
  }
  brindle_owned_buffer_free(&owned);

  char *text = brindle_serialize_alloc(map, record, &length, &opts, &error);
  EXPECT_NE(text, nullptr) << error.message;
  if (text != nullptr) {
    EXPECT_EQ(std::string(text, length), expected);
  }
  std::free(text);

  for (size_t size : kReadSizes) {
    EXPECT_EQ(via_generator(map, record, pretty, size, &status, &error), expected)
        << "read size " << size;
    EXPECT_EQ(status, BRINDLE_OK) << error.message;
  }
  size_t measured = 0;
  EXPECT_EQ(brindle_generator_measure(map, record, &opts, &measured, &error), BRINDLE_OK)
      << error.message;
  EXPECT_EQ(measured, expected.size());
  return expected;
}

// malloc'd copies for the dynamic members of hand-built records. The record module frees
// dynamic strings through their block header, so hand-built records are released by hand.
inline char *dup(const char *text) {
  char *copy = static_cast<char *>(std::malloc(std::strlen(text) + 1));
  std::strcpy(copy, text);
  return copy;
}

// ---- A record with every kind that needs no file or JSON value ----------------------------

struct Inner {
  int64_t id;
  char *label;
};

struct Everything {
  char *text;
  char fixed[16];
  int64_t i64;
  uint64_t u64;
  double f64;
  int32_t flag;
  Inner inner;
  brindle_array strings;
  brindle_array i64s;
  brindle_array u64s;
  brindle_array f64s;
  brindle_array bools;
  brindle_object_array items;
  int64_t maybe;
  int32_t maybe_present;
  char *optional;
};

inline const brindle_field kInnerFields[] = {
    BRINDLE_DECL_I64(Inner, id, "id", 0),
    BRINDLE_DECL_STRING(Inner, label, "label", BRINDLE_FIELD_OMIT_NULL),
};
inline const brindle_map kInnerMap = BRINDLE_MAP("inner_json", Inner, kInnerFields);

inline const brindle_field kEverythingFields[] = {
    BRINDLE_DECL_STRING(Everything, text, "text", 0),
    BRINDLE_DECL_FIXED_STRING(Everything, fixed, "fixed", 0, BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_I64(Everything, i64, "i64", 0),
    BRINDLE_DECL_U64(Everything, u64, "u64", 0),
    BRINDLE_DECL_F64(Everything, f64, "f64", 0),
    BRINDLE_DECL_BOOL(Everything, flag, "flag", 0),
    BRINDLE_DECL_OBJECT(Everything, inner, "inner", BRINDLE_FIELD_OMIT_EMPTY, &kInnerMap),
    BRINDLE_DECL_ARRAY(Everything, strings, "strings", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Everything, i64s, "i64s", BRINDLE_FIELD_I64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Everything, u64s, "u64s", BRINDLE_FIELD_U64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Everything, f64s, "f64s", BRINDLE_FIELD_F64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Everything, bools, "bools", BRINDLE_FIELD_BOOL_ARRAY,
                       BRINDLE_FIELD_OMIT_EMPTY),
    BRINDLE_DECL_OBJECT_ARRAY(Everything, items, "items", 0, &kInnerMap, Inner),
    BRINDLE_DECL_PRESENT(Everything, maybe, "maybe", BRINDLE_FIELD_I64, 0, maybe_present),
    BRINDLE_DECL_STRING(Everything, optional, "optional", BRINDLE_FIELD_OMIT_NULL),
};
inline const brindle_map kEverythingMap =
    BRINDLE_MAP("everything_json", Everything, kEverythingFields);

// Element storage for an Everything record built by hand (arrays point into it).
struct EverythingStorage {
  std::vector<char *> strings;
  std::vector<int64_t> i64s;
  std::vector<uint64_t> u64s;
  std::vector<double> f64s;
  std::vector<int32_t> bools;
  std::vector<Inner> items;
};

template <class T>
inline brindle_array fixed_array(std::vector<T> &values) {
  brindle_array array{};
  array.items = values.empty() ? nullptr : values.data();
  array.count = values.size();
  array.capacity = values.size();
  array.flags = BRINDLE_ARRAY_FIXED;
  return array;
}

inline void point_arrays(Everything &record, EverythingStorage &storage) {
  record.strings = fixed_array(storage.strings);
  record.i64s = fixed_array(storage.i64s);
  record.u64s = fixed_array(storage.u64s);
  record.f64s = fixed_array(storage.f64s);
  record.bools = fixed_array(storage.bools);
  record.items = {};
  record.items.items = storage.items.empty() ? nullptr : storage.items.data();
  record.items.count = storage.items.size();
  record.items.capacity = storage.items.size();
  record.items.element_size = sizeof(Inner);
  record.items.flags = BRINDLE_ARRAY_FIXED;
}

}  // namespace serial_test

#endif  // STAVO_TESTS_BRINDLE_SERIAL_SUPPORT_H
