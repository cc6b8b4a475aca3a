// The value visitor: walks one JSON value and reports it as events to a caller's callbacks,
// strings, keys and numbers in chunks that point into the input, under configurable limits.
#include <cstdio>
#include <cstring>

#include "value_grammar.h"

namespace {

class VisitorEvents {
 public:
  VisitorEvents(const brindle_value_visitor *visitor, void *user,
                const brindle_value_limits &limits, brindle_error *error)
      : v_(*visitor), user_(user), limits_(limits), error_(error) {}

  size_t max_depth() const { return limits_.max_depth; }
  size_t max_number_bytes() const { return limits_.max_number_bytes; }
  const char *number_too_long_message() const { return "JSON number exceeds maximum byte limit"; }
  const char *trailing_message() const { return "visited JSON must contain exactly one value"; }

  brindle_status object_begin(size_t) { return call(v_.object_begin); }
  brindle_status object_end(size_t, bool) { return call(v_.object_end); }
  brindle_status array_begin(size_t) { return call(v_.array_begin); }
  brindle_status array_end(size_t, bool) { return call(v_.array_end); }
  brindle_status member_begin(size_t) { return BRINDLE_OK; }
  brindle_status comma() { return BRINDLE_OK; }
  brindle_status colon() { return BRINDLE_OK; }

  brindle_status key_begin() {
    text_length_ = 0;
    return call(v_.key_begin);
  }
  brindle_status key_end() { return call(v_.key_end); }
  brindle_status string_begin() {
    text_length_ = 0;
    return call(v_.string_begin);
  }
  brindle_status string_end() { return call(v_.string_end); }

  brindle_status text_chunk(bool key, const char *bytes, size_t length, bool escaped) {
    const size_t limit = key ? limits_.max_key_bytes : limits_.max_string_bytes;
    if (length > limit - text_length_) {
      const char *message = escaped ? "decoded JSON text exceeds limit"
                            : key   ? "JSON object key exceeds maximum decoded byte limit"
                                    : "JSON string exceeds maximum decoded byte limit";
      return brindle__fail(error_, BRINDLE_OVERFLOW, "%s", message);
    }
    text_length_ += length;
    auto *chunk = key ? v_.key_chunk : v_.string_chunk;
    if (chunk == nullptr) return BRINDLE_OK;
    return check(chunk(user_, bytes, length, error_));
  }

  brindle_status number_begin() { return call(v_.number_begin); }
  brindle_status number_text(const char *text, size_t length) {
    if (v_.number_chunk != nullptr) {
      const brindle_status status = check(v_.number_chunk(user_, text, length, error_));
      if (status != BRINDLE_OK) return status;
    }
    return call(v_.number_end);
  }
  brindle_status boolean(int32_t value) {
    if (v_.boolean == nullptr) return BRINDLE_OK;
    return check(v_.boolean(user_, value, error_));
  }
  brindle_status null_value() { return call(v_.null_value); }

  brindle_status finish() { return brindle__finish(error_, truncated_); }

 private:
  using Event = brindle_status (*)(void *, brindle_error *);

  brindle_status call(Event event) {
    if (event == nullptr) return BRINDLE_OK;
    return check(event(user_, error_));
  }

  // A callback's BRINDLE_TRUNCATED goes on (and is reported at the end); anything else but
  // BRINDLE_OK stops the walk with that status.
  brindle_status check(brindle_status status) {
    if (status == BRINDLE_OK) return BRINDLE_OK;
    if (status == BRINDLE_TRUNCATED) {
      truncated_ = true;
      return BRINDLE_OK;
    }
    return brindle__callback_failed(error_, status, "value visitor callback failed");
  }

  const brindle_value_visitor &v_;
  void *user_;
  brindle_value_limits limits_;
  brindle_error *error_;
  size_t text_length_ = 0;
  bool truncated_ = false;
};

brindle_status visit(brindle__json_cursor *cursor, const brindle_value_visitor *visitor, void *user,
                     const brindle_value_limits *limits, brindle_error *error) {
  const brindle_value_limits normalized = brindle__value_limits_normalize(limits);
  return brindle__json_visit_value(cursor, visitor, user, &normalized, nullptr, error);
}

}  // namespace

brindle_status brindle__json_visit_value(brindle__json_cursor *cursor,
                                         const brindle_value_visitor *visitor, void *user,
                                         const brindle_value_limits *limits,
                                         const brindle_allocator *allocator,
                                         brindle_error *error) noexcept {
  char block[BRINDLE_VALUE_INPUT_BLOCK];
  brindle__value_input input;
  brindle__value_input_init(&input, cursor, block, limits->max_total_bytes, error);
  VisitorEvents events(visitor, user, *limits, error);
  brindle__value_walker<VisitorEvents> walker(&input, &events, allocator);
  return walker.run();
}

extern "C" {

BRINDLE_API brindle_status brindle_visit_value_buffer(const char *bytes, size_t length,
                                                      const brindle_value_visitor *visitor,
                                                      void *user,
                                                      const brindle_value_limits *limits,
                                                      brindle_error *error) noexcept {
  brindle_error_init(error);
  if (bytes == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "buffer and visitor are required");
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, bytes, length);
  return visit(&cursor, visitor, user, limits, error);
}

BRINDLE_API brindle_status brindle_visit_value_cstr(const char *text,
                                                    const brindle_value_visitor *visitor,
                                                    void *user, const brindle_value_limits *limits,
                                                    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (text == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "json string and visitor are required");
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, text, std::strlen(text));
  return visit(&cursor, visitor, user, limits, error);
}

BRINDLE_API brindle_status brindle_visit_value_reader(brindle_reader reader, void *reader_user,
                                                      const brindle_value_visitor *visitor,
                                                      void *user,
                                                      const brindle_value_limits *limits,
                                                      brindle_error *error) noexcept {
  brindle_error_init(error);
  if (reader == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "reader and visitor are required");
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_reader(&cursor, reader, reader_user);
  return visit(&cursor, visitor, user, limits, error);
}

BRINDLE_API brindle_status brindle_visit_value_filep(FILE *file,
                                                     const brindle_value_visitor *visitor,
                                                     void *user, const brindle_value_limits *limits,
                                                     brindle_error *error) noexcept {
  brindle_error_init(error);
  if (file == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "file pointer and visitor are required");
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_file(&cursor, file);
  return visit(&cursor, visitor, user, limits, error);
}

BRINDLE_API brindle_status brindle_visit_value_path(const char *path,
                                                    const brindle_value_visitor *visitor,
                                                    void *user, const brindle_value_limits *limits,
                                                    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (path == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "path and visitor are required");
  }
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    return brindle__fail_io(error, brindle__errno_or_eio(), "failed to open '%s'", path);
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_file(&cursor, file);
  const brindle_status status = visit(&cursor, visitor, user, limits, error);
  std::fclose(file);
  return status;
}

BRINDLE_API brindle_status brindle_visit_value_fd(int fd, const brindle_value_visitor *visitor,
                                                  void *user, const brindle_value_limits *limits,
                                                  brindle_error *error) noexcept {
  brindle_error_init(error);
  if (fd < 0 || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "fd and visitor are required");
  }
  brindle__json_cursor cursor;
  brindle__json_cursor_init_fd(&cursor, fd);
  return visit(&cursor, visitor, user, limits, error);
}

}  // extern "C"
