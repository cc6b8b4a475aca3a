// Builds one JSON Lines record in a buffer that starts on the stack and moves to the heap only
// for large records. A failed allocation poisons the builder so the record is dropped whole.
#ifndef EMBER_RECORD_BUILDER_H
#define EMBER_RECORD_BUILDER_H

#include <cstddef>
#include <cstdint>

#include "ember.h"

namespace ember {

class RecordBuilder {
 public:
  RecordBuilder() noexcept = default;
  ~RecordBuilder();
  RecordBuilder(const RecordBuilder &) = delete;
  RecordBuilder &operator=(const RecordBuilder &) = delete;

  void append(const char *bytes, size_t length) noexcept;
  void append(char c) noexcept { append(&c, 1); }
  void append_cstr(const char *text) noexcept;
  // A JSON string with quotes; NULL becomes null.
  void append_json_string(const char *text) noexcept;
  // ,"key":value for one field.
  void append_field(const ember_field &field) noexcept;
  void append_i64(int64_t value) noexcept;
  void append_u64(uint64_t value) noexcept;

  bool failed() const noexcept { return failed_; }
  const char *data() const noexcept { return data_; }
  size_t length() const noexcept { return length_; }
  // Hands the heap buffer to the caller (malloc'd; copies stack content when needed).
  char *release(size_t *length) noexcept;

 private:
  bool reserve(size_t extra) noexcept;

  char inline_[1024];
  char *data_ = inline_;
  size_t length_ = 0;
  size_t capacity_ = sizeof(inline_);
  bool failed_ = false;
};

}  // namespace ember

#endif
