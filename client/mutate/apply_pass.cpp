// One streaming pass of one mutation: the value visitor walks the input and every event is
// written again, compactly, into the output, except where the current path meets the target.
#include "apply_pass.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sv_mutation_impl {
namespace {

brindle_status stop(Pass *pass, brindle_error *error, brindle_status status,
                    const char *message) noexcept {
  std::snprintf(error->message, sizeof error->message, "%s", message);
  error->code = status;
  pass->failed = true;
  return status;
}

// Turns the failure of a value writer (in pass->value_error) into a visitor status.
brindle_status stop_value(Pass *pass, brindle_error *error) noexcept {
  const char *message = pass->value_error.message != nullptr ? pass->value_error.message
                                                             : "failed to serialize mutation value";
  return stop(pass, error,
              pass->value_error.code == SV_ERR_TRANSPORT ? BRINDLE_IO_ERROR : BRINDLE_INVALID_JSON,
              message);
}

brindle_status write(Pass *pass, brindle_error *error, const char *bytes, size_t length) noexcept {
  return output_write(&pass->output, bytes, length) ? BRINDLE_OK : stop_value(pass, error);
}

bool grow(Growable *buffer, size_t need) noexcept {
  if (need <= buffer->capacity) return true;
  size_t capacity = buffer->capacity == 0 ? 32 : buffer->capacity;
  while (capacity < need)
    capacity *= 2;
  void *grown = std::realloc(buffer->data, capacity);
  if (grown == nullptr) return false;
  buffer->data = static_cast<char *>(grown);
  buffer->capacity = capacity;
  return true;
}

bool append(Growable *buffer, const char *bytes, size_t length) noexcept {
  if (!grow(buffer, buffer->size + length + 1)) return false;
  std::memcpy(buffer->data + buffer->size, bytes, length);
  buffer->size += length;
  buffer->data[buffer->size] = '\0';
  return true;
}

// The decimal text of an element index (what "%lu" prints), without printf's cost per element.
void format_index(unsigned long value, char *out) noexcept {
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i)
    out[i] = digits[count - 1 - i];
  out[count] = '\0';
}

const char *segment(const Pass *pass, size_t index) noexcept {
  return pass->mutation->path[index];
}

// The value now beginning inside the top frame: extend the path and say whether it is the
// target. Fails for a member without key.
brindle_status enter_value(Pass *pass, brindle_error *error, bool *is_target) noexcept {
  Frame &parent = pass->frames[pass->depth - 1];
  const char *name = nullptr;
  if (parent.is_array) {
    format_index(parent.count, parent.index);
    name = parent.index;
  } else {
    if (!parent.has_key) {
      return stop(pass, error, BRINDLE_INVALID_JSON, "unexpected object visitor state");
    }
    name = parent.key;
  }
  pass->path[parent.path_length] = name;
  pass->path_length = parent.path_length + 1;
  const size_t n = pass->mutation->path_count;
  pass->value_on_target = parent.on_target && parent.path_length < n &&
                          std::strcmp(name, segment(pass, parent.path_length)) == 0;
  *is_target = pass->value_on_target && pass->path_length == n;
  return BRINDLE_OK;
}

// Separator and key before a value written inside the top frame.
brindle_status write_prefix(Pass *pass, brindle_error *error) noexcept {
  Frame &parent = pass->frames[pass->depth - 1];
  if (!parent.first) {
    if (write(pass, error, ",", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
  }
  parent.first = false;
  if (parent.is_array) return BRINDLE_OK;
  if (write(pass, error, "\"", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
  if (!output_escaped(&pass->output, parent.key, std::strlen(parent.key))) {
    return stop_value(pass, error);
  }
  return write(pass, error, "\":", 2);
}

// A value of the top frame is complete.
void finish_value(Pass *pass) noexcept {
  if (pass->depth == 0) return;
  Frame &parent = pass->frames[pass->depth - 1];
  if (parent.is_array) {
    ++parent.count;
  } else {
    parent.has_key = false;
  }
  pass->path_length = parent.path_length;
}

brindle_status push_frame(Pass *pass, brindle_error *error, bool is_array) noexcept {
  const size_t path_length = pass->depth == 0 ? 0 : pass->path_length;
  if (pass->depth == kMaxFrames || path_length >= kMaxFrames - 1) {
    return stop(pass, error, BRINDLE_OVERFLOW, "local mutate nesting is too deep");
  }
  Frame &frame = pass->frames[pass->depth++];
  char *key = frame.key;  // the slot's key buffer is reused
  const size_t key_capacity = frame.key_capacity;
  frame = Frame{};
  frame.key = key;
  frame.key_capacity = key_capacity;
  frame.is_array = is_array;
  frame.path_length = path_length;
  frame.first = true;
  frame.on_target = path_length == 0 || pass->value_on_target;
  return write(pass, error, is_array ? "[" : "{", 1);
}

// Writes the missing members of the target from segment k on: nested objects down to the value.
int write_chain(Pass *pass, size_t k) noexcept {
  const sv_mutation *mutation = pass->mutation;
  // A loop rather than recursion: a path may have any number of segments.
  for (size_t j = k; j < mutation->path_count; ++j) {
    const char *name = segment(pass, j);
    if (name[0] >= '0' && name[0] <= '9') {
      return sv_error_set(&pass->value_error, SV_ERR_INVALID, 0,
                          "local mutate cannot create missing array paths", name, nullptr, nullptr);
    }
  }
  for (size_t j = k; j < mutation->path_count; ++j) {
    const char *name = segment(pass, j);
    if (!output_write(&pass->output, "{\"", 2) ||
        !output_escaped(&pass->output, name, std::strlen(name)) ||
        !output_write(&pass->output, "\":", 2)) {
      return pass->value_error.code;
    }
  }
  const int status = write_mutation_value(&pass->output, mutation);
  if (status != SV_OK) return status;
  for (size_t j = k; j < mutation->path_count; ++j) {
    if (!output_write(&pass->output, "}", 1)) return pass->value_error.code;
  }
  return SV_OK;
}

// A value begins (container, string, number or literal); kind says which.
enum class Value { object, array, string, number, literal };

// Starts a value: the root, a copied value or the target. Returns whether the caller should copy
// the value's own text (false when it is dropped or replaced).
brindle_status begin_value(Pass *pass, brindle_error *error, Value kind, bool *copy) noexcept {
  *copy = false;
  if (pass->skip > 0) {
    if (kind != Value::literal) ++pass->skip;
    return BRINDLE_OK;
  }
  if (pass->depth == 0) {
    if (pass->root_done || kind != Value::object) {
      return stop(pass, error, BRINDLE_INVALID_JSON,
                  "local mutate currently requires a JSON object root");
    }
    return push_frame(pass, error, false);
  }
  bool is_target = false;
  if (enter_value(pass, error, &is_target) != BRINDLE_OK) return BRINDLE_INVALID_JSON;
  const sv_mutation *mutation = pass->mutation;
  if (!is_target && pass->value_on_target && kind != Value::object &&
      pass->path_length > pass->blocked_length) {
    pass->blocked_length = pass->path_length;
    pass->blocked_kind = static_cast<int>(kind);
  }
  if (is_target && mutation->kind != SV_MUTATION_REMOVE) pass->applied = true;
  if (!is_target) {
    if (write_prefix(pass, error) != BRINDLE_OK) return BRINDLE_IO_ERROR;
    if (kind == Value::object || kind == Value::array) {
      return push_frame(pass, error, kind == Value::array);
    }
    *copy = true;
    return BRINDLE_OK;
  }
  switch (mutation->kind) {
    case SV_MUTATION_SET:
      if (write_prefix(pass, error) != BRINDLE_OK) return BRINDLE_IO_ERROR;
      if (write_mutation_value(&pass->output, mutation) != SV_OK) return stop_value(pass, error);
      break;
    case SV_MUTATION_INCREMENT:
      if (kind != Value::number) {
        return stop(pass, error, BRINDLE_INVALID_JSON, "increment target is not numeric");
      }
      if (write_prefix(pass, error) != BRINDLE_OK) return BRINDLE_IO_ERROR;
      pass->number_target = true;
      pass->number.size = 0;
      return BRINDLE_OK;
    case SV_MUTATION_REMOVE:
      break;
    default:
      return stop(pass, error, BRINDLE_INVALID_JSON, "unsupported mutation kind");
  }
  if (kind == Value::literal) {
    finish_value(pass);
  } else {
    pass->skip = 1;
  }
  return BRINDLE_OK;
}

// Ends a string or number value (copied, dropped or the increment target).
brindle_status end_scalar(Pass *pass) noexcept {
  if (pass->skip > 0) {
    if (--pass->skip == 0) finish_value(pass);
    return BRINDLE_OK;
  }
  finish_value(pass);
  return BRINDLE_OK;
}

brindle_status end_container(Pass *pass, brindle_error *error, bool is_array) noexcept {
  if (pass->skip > 0) {
    if (--pass->skip == 0) finish_value(pass);
    return BRINDLE_OK;
  }
  if (pass->depth == 0 || pass->frames[pass->depth - 1].is_array != is_array) {
    return stop(pass, error, BRINDLE_INVALID_JSON,
                is_array ? "unexpected array end" : "unexpected object end");
  }
  Frame &frame = pass->frames[pass->depth - 1];
  const sv_mutation *mutation = pass->mutation;
  if (!is_array && frame.on_target && frame.path_length < mutation->path_count && !frame.found &&
      mutation->kind != SV_MUTATION_REMOVE) {
    const char *name = segment(pass, frame.path_length);
    if (!frame.first && write(pass, error, ",", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
    frame.first = false;
    if (write(pass, error, "\"", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
    if (!output_escaped(&pass->output, name, std::strlen(name))) return stop_value(pass, error);
    if (write(pass, error, "\":", 2) != BRINDLE_OK) return BRINDLE_IO_ERROR;
    if (write_chain(pass, frame.path_length + 1) != SV_OK) return stop_value(pass, error);
    pass->applied = true;
  }
  if (write(pass, error, is_array ? "]" : "}", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
  frame.has_key = false;
  --pass->depth;
  if (pass->depth == 0) {
    pass->root_done = true;
    return BRINDLE_OK;
  }
  finish_value(pass);
  return BRINDLE_OK;
}

// ---- Visitor callbacks ----

brindle_status on_object_begin(void *user, brindle_error *error) noexcept {
  bool copy = false;
  return begin_value(static_cast<Pass *>(user), error, Value::object, &copy);
}

brindle_status on_object_end(void *user, brindle_error *error) noexcept {
  return end_container(static_cast<Pass *>(user), error, false);
}

brindle_status on_array_begin(void *user, brindle_error *error) noexcept {
  bool copy = false;
  return begin_value(static_cast<Pass *>(user), error, Value::array, &copy);
}

brindle_status on_array_end(void *user, brindle_error *error) noexcept {
  return end_container(static_cast<Pass *>(user), error, true);
}

brindle_status on_key_begin(void *user, brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip > 0) return BRINDLE_OK;
  if (pass->depth == 0 || pass->frames[pass->depth - 1].is_array || pass->key_active) {
    return stop(pass, error, BRINDLE_INVALID_JSON, "unexpected object key");
  }
  pass->key_active = true;
  pass->key.size = 0;
  if (!grow(&pass->key, 1)) {
    return stop(pass, error, BRINDLE_ALLOCATION_FAILED, "failed to allocate local mutate buffer");
  }
  pass->key.data[0] = '\0';
  return BRINDLE_OK;
}

brindle_status on_key_chunk(void *user, const char *bytes, size_t length,
                            brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip > 0) return BRINDLE_OK;
  if (!pass->key_active)
    return stop(pass, error, BRINDLE_INVALID_JSON, "unexpected object key chunk");
  if (std::memchr(bytes, '\0', length) != nullptr) {
    return stop(pass, error, BRINDLE_INVALID_JSON, "local mutate object keys cannot contain NUL");
  }
  if (!append(&pass->key, bytes, length)) {
    return stop(pass, error, BRINDLE_ALLOCATION_FAILED, "failed to allocate local mutate buffer");
  }
  return BRINDLE_OK;
}

brindle_status on_key_end(void *user, brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip > 0) return BRINDLE_OK;
  if (!pass->key_active) return stop(pass, error, BRINDLE_INVALID_JSON, "unexpected object key");
  pass->key_active = false;
  Frame &frame = pass->frames[pass->depth - 1];
  if (frame.key_capacity < pass->key.size + 1) {
    size_t capacity = frame.key_capacity == 0 ? 32 : frame.key_capacity;
    while (capacity < pass->key.size + 1)
      capacity *= 2;
    void *grown = std::realloc(frame.key, capacity);
    if (grown == nullptr) {
      return stop(pass, error, BRINDLE_ALLOCATION_FAILED, "failed to allocate local mutate buffer");
    }
    frame.key = static_cast<char *>(grown);
    frame.key_capacity = capacity;
  }
  std::memcpy(frame.key, pass->key.data, pass->key.size + 1);
  frame.has_key = true;
  const char *key = frame.key;
  if (frame.on_target && frame.path_length < pass->mutation->path_count &&
      std::strcmp(key, segment(pass, frame.path_length)) == 0) {
    frame.found = true;
  }
  return BRINDLE_OK;
}

brindle_status on_string_begin(void *user, brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  bool copy = false;
  const brindle_status status = begin_value(pass, error, Value::string, &copy);
  if (status != BRINDLE_OK || !copy) return status;
  return write(pass, error, "\"", 1);
}

brindle_status on_string_chunk(void *user, const char *bytes, size_t length,
                               brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip > 0) return BRINDLE_OK;
  return output_escaped(&pass->output, bytes, length) ? BRINDLE_OK : stop_value(pass, error);
}

brindle_status on_string_end(void *user, brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip == 0 && write(pass, error, "\"", 1) != BRINDLE_OK) return BRINDLE_IO_ERROR;
  return end_scalar(pass);
}

brindle_status on_number_begin(void *user, brindle_error *error) noexcept {
  bool copy = false;
  return begin_value(static_cast<Pass *>(user), error, Value::number, &copy);
}

brindle_status on_number_chunk(void *user, const char *bytes, size_t length,
                               brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip > 0) return BRINDLE_OK;
  if (!pass->number_target) return write(pass, error, bytes, length);
  if (!append(&pass->number, bytes, length)) {
    return stop(pass, error, BRINDLE_ALLOCATION_FAILED, "failed to allocate local mutate buffer");
  }
  return BRINDLE_OK;
}

// Writes old + delta for the collected target number: exact when both are integers, else as
// doubles.
brindle_status write_increment(Pass *pass, brindle_error *error) noexcept {
  const char *text = pass->number.size > 0 ? pass->number.data : "";
  const sv_mutation *mutation = pass->mutation;
  int64_t old_integer = 0;
  if (mutation->has_int_delta != 0 && decimal_int64(text, false, &old_integer)) {
    int64_t sum = 0;
    if (__builtin_add_overflow(old_integer, mutation->int_delta, &sum)) {
      return stop(pass, error, BRINDLE_INVALID_JSON, "increment result overflows a 64-bit integer");
    }
    return write_integer(&pass->output, sum) == SV_OK ? BRINDLE_OK : stop_value(pass, error);
  }
  errno = 0;
  char *end = nullptr;
  const double old = std::strtod(text, &end);
  if (pass->number.size == 0 || *end != '\0' || errno == ERANGE) {
    return stop(pass, error, BRINDLE_INVALID_JSON, "increment target is not numeric");
  }
  return write_double(&pass->output, old + mutation->delta) == SV_OK ? BRINDLE_OK
                                                                     : stop_value(pass, error);
}

brindle_status on_number_end(void *user, brindle_error *error) noexcept {
  auto *pass = static_cast<Pass *>(user);
  if (pass->skip == 0 && pass->number_target) {
    pass->number_target = false;
    const brindle_status status = write_increment(pass, error);
    if (status != BRINDLE_OK) return status;
  }
  return end_scalar(pass);
}

brindle_status on_literal(Pass *pass, brindle_error *error, const char *text) noexcept {
  bool copy = false;
  const brindle_status status = begin_value(pass, error, Value::literal, &copy);
  if (status != BRINDLE_OK || !copy) return status;
  if (write(pass, error, text, std::strlen(text)) != BRINDLE_OK) return BRINDLE_IO_ERROR;
  finish_value(pass);
  return BRINDLE_OK;
}

brindle_status on_boolean(void *user, int32_t value, brindle_error *error) noexcept {
  return on_literal(static_cast<Pass *>(user), error, value != 0 ? "true" : "false");
}

brindle_status on_null(void *user, brindle_error *error) noexcept {
  return on_literal(static_cast<Pass *>(user), error, "null");
}

}  // namespace

brindle_value_visitor pass_visitor() noexcept {
  brindle_value_visitor visitor = brindle_default_value_visitor();
  visitor.object_begin = on_object_begin;
  visitor.object_end = on_object_end;
  visitor.key_begin = on_key_begin;
  visitor.key_chunk = on_key_chunk;
  visitor.key_end = on_key_end;
  visitor.array_begin = on_array_begin;
  visitor.array_end = on_array_end;
  visitor.string_begin = on_string_begin;
  visitor.string_chunk = on_string_chunk;
  visitor.string_end = on_string_end;
  visitor.number_begin = on_number_begin;
  visitor.number_chunk = on_number_chunk;
  visitor.number_end = on_number_end;
  visitor.boolean = on_boolean;
  visitor.null_value = on_null;
  return visitor;
}

namespace {

// Appends a pointer of count segments, each escaped ('~' as "~0", '/' as "~1").
bool append_pointer(Growable *out, const sv_mutation *mutation, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) {
    if (!append(out, "/", 1)) return false;
    for (const char *at = mutation->path[i]; *at != '\0'; ++at) {
      const char *piece = *at == '~' ? "~0" : *at == '/' ? "~1" : at;
      if (!append(out, piece, piece == at ? 1 : 2)) return false;
    }
  }
  return true;
}

// A canonical array index: digits without a leading zero.
bool index_text(const char *text) noexcept {
  if (*text == '\0' || (text[0] == '0' && text[1] != '\0')) return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

}  // namespace

int pass_check_applied(const Pass *pass, sv_error *error) noexcept {
  const sv_mutation *mutation = pass->mutation;
  if (pass->applied || mutation->kind == SV_MUTATION_REMOVE || pass->blocked_length == 0) {
    return SV_OK;
  }
  const size_t at = pass->blocked_length;
  const auto kind = static_cast<Value>(pass->blocked_kind);
  const char *what = kind == Value::array    ? "an array"
                     : kind == Value::string ? "a string"
                     : kind == Value::number ? "a number"
                                             : "a literal (boolean or null)";
  const bool past_end =
      kind == Value::array && at < mutation->path_count && index_text(mutation->path[at]);
  Growable detail{};
  bool ok = append_pointer(&detail, mutation, mutation->path_count) && append(&detail, ": ", 2);
  if (ok && past_end) {
    ok = append(&detail, "index ", 6) &&
         append(&detail, mutation->path[at], std::strlen(mutation->path[at])) &&
         append(&detail, " is past the end of the array at ", 33) &&
         append_pointer(&detail, mutation, at);
  } else if (ok) {
    ok = append_pointer(&detail, mutation, at) && append(&detail, " is ", 4) &&
         append(&detail, what, std::strlen(what)) && append(&detail, ", not an object", 15);
  }
  const int status = sv_error_set(error, SV_ERR_INVALID, 0, "mutation path cannot be applied",
                                  ok ? detail.data : nullptr, nullptr, nullptr);
  std::free(detail.data);
  return status;
}

void pass_cleanup(Pass *pass) noexcept {
  // Every slot may hold a key buffer from an earlier container, not only the open ones.
  for (Frame &frame : pass->frames)
    std::free(frame.key);
  pass->depth = 0;
  std::free(pass->key.data);
  std::free(pass->number.data);
  std::free(pass->path);
  sv_error_cleanup(&pass->value_error);
}

}  // namespace sv_mutation_impl
