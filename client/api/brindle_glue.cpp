// JSON glue over libbrindle for the public layer: an engine writer that appends to a stdio
// file, and parsing and serializing mapped records through open files with public errors.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stavoc.h"

extern "C" {

SV_API int sv_engine_file_write_callback(void *file, const char *bytes, size_t length,
                                         sv_engine_error *engine_error) noexcept {
  auto *stream = static_cast<FILE *>(file);
  if (stream == nullptr || (bytes == nullptr && length > 0)) {
    sv_engine_set_client_error(engine_error, SV_ERR_INVALID,
                               "file write callback requires file and bytes");
    return 0;
  }
  if (length == 0) return 1;
  errno = 0;
  if (std::fwrite(bytes, 1, length, stream) == length) return 1;
  const int system_errno = errno;
  const bool failed = std::ferror(stream) != 0 && system_errno != 0;
  sv_engine_set_transport_error(
      engine_error, failed ? std::strerror(system_errno) : "failed to write temporary JSON file");
  return 0;
}

SV_API int sv_brindle_parse_file(FILE *file, const brindle_map *map, void *destination,
                                 const brindle_parse_options *options, sv_error *error,
                                 const char *message) noexcept {
  if (file == nullptr || map == nullptr || destination == nullptr) {
    return sv_error_set(
        error, SV_ERR_INVALID, 0,
        message != nullptr ? message : "brindle parse requires file, map, and destination", nullptr,
        nullptr, nullptr);
  }
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status status = brindle_parse_filep(map, destination, file, options, &parse_error);
  return sv_brindle_error_from_status(error, status, &parse_error, message);
}

SV_API int sv_brindle_serialize_file(FILE *file, const brindle_map *map, const void *source,
                                     const brindle_write_options *options, sv_error *error,
                                     const char *message) noexcept {
  if (file == nullptr || map == nullptr || source == nullptr) {
    return sv_error_set(
        error, SV_ERR_INVALID, 0,
        message != nullptr ? message : "brindle serialize requires file, map, and source", nullptr,
        nullptr, nullptr);
  }
  brindle_error write_error;
  brindle_error_init(&write_error);
  const brindle_status status = brindle_serialize_filep(map, source, file, options, &write_error);
  return sv_brindle_error_from_status(error, status, &write_error, message);
}

}  // extern "C"
