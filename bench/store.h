// How the peer parsers store values into mapped records: the same descriptors, the same C
// structs, malloc'd strings and arrays grown by doubling. Also the record checksum that proves
// every parser stored the same data, and the release of peer-filled records.
#pragma once

#include <brindle.h>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace bench {

// Events of one JSON value, as the collectors of the unmapped parts receive them.
class Consumer {
 public:
  virtual ~Consumer() = default;
  virtual void begin_object() = 0;
  virtual void end_object() = 0;
  virtual void key(std::string_view key) = 0;
  virtual void begin_array() = 0;
  virtual void end_array() = 0;
  virtual void string(std::string_view value) = 0;
  virtual void integer(int64_t value) = 0;
  virtual void real(double value) = 0;
  virtual void boolean(bool value) = 0;
  virtual void null() = 0;
};

// The consumer of a JSON value member, looked up by the member's descriptor.
struct Hook {
  const brindle_field *field;
  Consumer *consumer;
};

struct Hooks {
  const Hook *items = nullptr;
  size_t count = 0;
  Consumer *find(const brindle_field *field) const {
    for (size_t i = 0; i < count; ++i)
      if (items[i].field == field) return items[i].consumer;
    return nullptr;
  }
};

// Key lookup as a mapped parser does it: the field after the last match first, then a scan (a
// hash index for maps of more than 32 fields).
const brindle_field *find_field(const brindle_map *map, std::string_view key, size_t *hint);

inline char *field_ptr(void *record, const brindle_field *field) {
  return static_cast<char *>(record) + field->offset;
}

// Scalar stores; false when the value does not fit the field's kind.
bool store_string(void *record, const brindle_field *field, std::string_view value);
bool store_null(void *record, const brindle_field *field);
bool store_i64(void *record, const brindle_field *field, int64_t value);
bool store_u64(void *record, const brindle_field *field, uint64_t value);
bool store_f64(void *record, const brindle_field *field, double value);
bool store_bool(void *record, const brindle_field *field, bool value);
// Scalar elements of arrays of kinds 11 to 15.
bool append_string(void *record, const brindle_field *field, std::string_view value);
bool append_i64(void *record, const brindle_field *field, int64_t value);
bool append_u64(void *record, const brindle_field *field, uint64_t value);
bool append_f64(void *record, const brindle_field *field, double value);
bool append_bool(void *record, const brindle_field *field, bool value);
// A zeroed element of an object array; NULL for another kind.
void *append_object(void *record, const brindle_field *field);

// Frees what the peer stores put into a record (malloc'd), leaving it zeroed.
void free_record(const brindle_map *map, void *record);

// FNV-1a over every mapped member (JSON value members excluded), in map order.
struct Checksum {
  uint64_t hash = 1469598103934665603ull;
  uint64_t objects = 0;  // records visited and values collected
  void bytes(const void *data, size_t length) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; ++i)
      hash = (hash ^ p[i]) * 1099511628211ull;
  }
  template <typename T>
  void value(T v) {
    bytes(&v, sizeof v);
  }
  void text(const char *s) {
    if (s == nullptr) {
      value<uint64_t>(~0ull);
      return;
    }
    const size_t n = std::strlen(s);
    value<uint64_t>(n);
    bytes(s, n);
  }
};
void checksum_record(const brindle_map *map, const void *record, Checksum *sum);

// Fails loudly at startup when the checksum does not tell apart records that differ.
bool checksum_self_test();

}  // namespace bench
