// Validation: the push parser in validation mode (no map, any root value, nothing stored) with
// the default options.
#include <cerrno>
#include <cstdio>

#include "parser_state.h"

extern "C" {

BRINDLE_API brindle_status brindle_validate_buffer(const char *bytes, size_t length,
                                                   brindle_error *error) noexcept {
  brindle_error_init(error);
  if (bytes == nullptr && length != 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "buffer is required");
  }
  return brindle__one_shot_buffer(nullptr, nullptr, bytes, length, nullptr, true, error);
}

BRINDLE_API brindle_status brindle_validate_cstr(const char *text, brindle_error *error) noexcept {
  brindle_error_init(error);
  if (text == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "json string is required");
  }
  return brindle__one_shot_buffer(nullptr, nullptr, text, std::strlen(text), nullptr, true, error);
}

BRINDLE_API brindle_status brindle_validate_reader(brindle_reader reader, void *user,
                                                   brindle_error *error) noexcept {
  brindle_error_init(error);
  if (reader == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "reader callback is required");
  }
  return brindle__one_shot_reader(nullptr, nullptr, reader, user, nullptr, true, error);
}

BRINDLE_API brindle_status brindle_validate_filep(FILE *file, brindle_error *error) noexcept {
  brindle_error_init(error);
  if (file == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "file pointer is required");
  }
  return brindle__one_shot_reader(nullptr, nullptr, brindle__file_reader, file, nullptr, true,
                                  error);
}

BRINDLE_API brindle_status brindle_validate_path(const char *path, brindle_error *error) noexcept {
  brindle_error_init(error);
  if (path == nullptr) return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "path is required");
  FILE *file = fopen(path, "rb");
  if (file == nullptr) return brindle__fail_io(error, errno, "failed to open '%s'", path);
  const brindle_status status =
      brindle__one_shot_reader(nullptr, nullptr, brindle__file_reader, file, nullptr, true, error);
  fclose(file);
  return status;
}

}  // extern "C"
