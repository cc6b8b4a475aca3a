// Entry points of the serializer: argument checks, then one record or JSON Lines into a sink, a
// fixed buffer, a growing buffer (owned or malloc'd), a FILE* or a path.
#include <cerrno>
#include <cstdio>

#include "serializer_buffers.h"

namespace {

constexpr size_t kDefaultMaxOutput = 8388608;

struct Settings {
  int32_t overflow = 0;
  bool pretty = false;
  const brindle_allocator *allocator = nullptr;
  size_t max_output = kDefaultMaxOutput;
};

Settings settings_of(const brindle_write_options *options) {
  Settings settings;
  if (options != nullptr) {
    settings.overflow = options->overflow;
    settings.pretty = options->pretty != 0;
    settings.allocator = options->allocator;
    if (options->max_output_bytes != 0) settings.max_output = options->max_output_bytes;
  }
  return settings;
}

brindle_status invalid(brindle_error *error, const char *message) {
  return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "%s", message);
}

// Checks common to every form once its own pointers were checked.
brindle_status check_options_and_map(const brindle_map *map, const Settings &settings,
                                     brindle_error *error) {
  if (!brindle__allocator_is_valid(settings.allocator)) {
    return invalid(error, "allocator must provide either all callbacks or none");
  }
  if (!brindle__map_layout_is_valid(map)) return invalid(error, "invalid map layout");
  return BRINDLE_OK;
}

// Which records to write, after the JSON Lines checks.
brindle_status lines_run(const brindle_map *map, const void *items, size_t count, size_t stride,
                         const Settings &settings, brindle__record_run *run, brindle_error *error) {
  if (items == nullptr && count > 0) {
    return invalid(error, "items are required when count is non-zero");
  }
  if (stride != 0 && stride < map->struct_size) {
    return invalid(error, "stride must be at least map->struct_size");
  }
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  *run = {map,   static_cast<const char *>(items),
          count, stride != 0 ? stride : map->struct_size,
          true,  settings.pretty};
  return BRINDLE_OK;
}

brindle__record_run single_run(const brindle_map *map, const void *record,
                               const Settings &settings) {
  return {map, static_cast<const char *>(record), 1, map->struct_size, false, settings.pretty};
}

brindle_status finish_sink(const brindle__sink_output &out, brindle_status status,
                           brindle_error *error) {
  if (status != BRINDLE_OK) return status;
  if (!out.truncated) return BRINDLE_OK;
  if (error != nullptr) {
    error->code = BRINDLE_TRUNCATED;
    error->truncated = 1;
  }
  return BRINDLE_TRUNCATED;
}

brindle_status to_sink(brindle_sink sink, void *user, const brindle__record_run &run,
                       brindle_error *error) {
  brindle__sink_output out(sink, user, error);
  const brindle_status status = brindle__write_records(out, run, error);
  return finish_sink(out, status, error);
}

// NUL-terminates, reports the needed length and turns overflow into failure or truncation.
brindle_status to_fixed(char *buffer, size_t capacity, size_t *length,
                        const brindle__record_run &run, const Settings &settings,
                        brindle_error *error) {
  brindle__fixed_output out(buffer, capacity);
  const brindle_status status = brindle__write_records(out, run, error);
  *out.position = '\0';
  if (length != nullptr) *length = out.total();
  if (out.overflowed && settings.overflow == 0) {
    if (error != nullptr) error->system_errno = 0;
    return brindle__fail(error, BRINDLE_OVERFLOW, "output buffer too small");
  }
  if (status != BRINDLE_OK || !out.overflowed) return status;
  if (settings.overflow == 1) {
    return brindle__fail(error, BRINDLE_TRUNCATED, "output truncated to %zu of %zu bytes",
                         out.written(), out.total());
  }
  if (error != nullptr) error->truncated = 1;
  return BRINDLE_OK;
}

brindle_status to_growing(brindle__growing_output &out, const brindle__record_run &run,
                          brindle_error *error) {
  brindle_status status = brindle__write_records(out, run, error);
  if (status == BRINDLE_OK) status = out.ensure_buffer();
  if (status != BRINDLE_OK) {
    out.release();
    return status;
  }
  out.data[out.length] = '\0';
  return BRINDLE_OK;
}

brindle_status to_owned(brindle_owned_buffer *owned, const brindle__record_run &run,
                        const Settings &settings, brindle_error *error) {
  brindle__growing_output out(settings.max_output, settings.allocator, false, error);
  BRINDLE_TRY(to_growing(out, run, error));
  owned->data = out.data;
  owned->length = out.length;
  owned->capacity = out.capacity;
  owned->malloc = out.allocator.malloc;
  owned->realloc = out.allocator.realloc;
  owned->free = out.allocator.free;
  owned->ctx = out.allocator.ctx;
  owned->stats = out.allocator.stats;
  return BRINDLE_OK;
}

char *to_allocated(const brindle__record_run &run, const Settings &settings, size_t *length,
                   brindle_error *error) {
  brindle__growing_output out(settings.max_output, nullptr, true, error);
  if (to_growing(out, run, error) != BRINDLE_OK) return nullptr;
  if (length != nullptr) *length = out.length;
  return out.data;
}

brindle_status file_sink(void *user, const char *bytes, size_t length, brindle_error *error) {
  errno = 0;
  if (std::fwrite(bytes, 1, length, static_cast<FILE *>(user)) != length) {
    return brindle__fail_io(error, errno != 0 ? errno : EIO, "failed to write JSON output");
  }
  return BRINDLE_OK;
}

brindle_status to_path(const char *path, const brindle__record_run &run, brindle_error *error) {
  FILE *file = std::fopen(path, "wb");
  if (file == nullptr) {
    return brindle__fail_io(error, errno, "failed to open '%s' for writing", path);
  }
  brindle_status status = to_sink(file_sink, file, run, error);
  errno = 0;
  if (std::fclose(file) != 0 && status == BRINDLE_OK) {
    status = brindle__fail_io(error, errno != 0 ? errno : EIO, "failed to write JSON output");
  }
  return status;
}

}  // namespace

brindle_status brindle__serialize_count(const brindle_map *map, const void *record,
                                        const brindle_write_options *options, size_t *length,
                                        brindle_error *error) noexcept {
  const Settings settings = settings_of(options);
  brindle__counting_output out;
  brindle_status status = brindle__write_records(out, single_run(map, record, settings), error);
  *length = out.total;
  if (out.too_large) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "serialized output is too large to measure");
  }
  return status;
}

extern "C" {

BRINDLE_API brindle_status brindle_serialize_sink(const brindle_map *map, const void *record,
                                                  brindle_sink sink, void *sink_user,
                                                  const brindle_write_options *options,
                                                  brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr || record == nullptr || sink == nullptr) {
    return invalid(error, "map, source, and sink are required");
  }
  const Settings settings = settings_of(options);
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  return to_sink(sink, sink_user, single_run(map, record, settings), error);
}

BRINDLE_API brindle_status brindle_serialize_buffer(const brindle_map *map, const void *record,
                                                    char *buffer, size_t capacity, size_t *length,
                                                    const brindle_write_options *options,
                                                    brindle_error *error) noexcept {
  brindle_error_init(error);
  if (length != nullptr) *length = 0;
  if (map == nullptr || record == nullptr) {
    return invalid(error, "map, source, and sink are required");
  }
  if (buffer == nullptr || capacity == 0) {
    return invalid(error, "output buffer and capacity are required");
  }
  buffer[0] = '\0';
  const Settings settings = settings_of(options);
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  return to_fixed(buffer, capacity, length, single_run(map, record, settings), settings, error);
}

BRINDLE_API brindle_status brindle_serialize_owned(const brindle_map *map, const void *record,
                                                   brindle_owned_buffer *out,
                                                   const brindle_write_options *options,
                                                   brindle_error *error) noexcept {
  brindle_error_init(error);
  if (out != nullptr) *out = brindle_default_owned_buffer();
  if (map == nullptr || record == nullptr) {
    return invalid(error, "map, source, and sink are required");
  }
  if (out == nullptr) return invalid(error, "output buffer handle is required");
  const Settings settings = settings_of(options);
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  return to_owned(out, single_run(map, record, settings), settings, error);
}

BRINDLE_API char *brindle_serialize_alloc(const brindle_map *map, const void *record,
                                          size_t *length, const brindle_write_options *options,
                                          brindle_error *error) noexcept {
  brindle_error_init(error);
  if (length != nullptr) *length = 0;
  if (map == nullptr || record == nullptr) {
    invalid(error, "map, source, and sink are required");
    return nullptr;
  }
  const Settings settings = settings_of(options);
  if (!brindle__allocator_is_valid(settings.allocator)) {
    invalid(error, "allocator must provide either all callbacks or none");
    return nullptr;
  }
  if (!brindle__allocator_is_default(settings.allocator)) {
    invalid(error,
            "serialize_alloc uses the default allocator only; use serialize_owned for custom "
            "allocators");
    return nullptr;
  }
  if (check_options_and_map(map, settings, error) != BRINDLE_OK) return nullptr;
  return to_allocated(single_run(map, record, settings), settings, length, error);
}

BRINDLE_API brindle_status brindle_serialize_filep(const brindle_map *map, const void *record,
                                                   FILE *file, const brindle_write_options *options,
                                                   brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr || record == nullptr) {
    return invalid(error, "map, source, and sink are required");
  }
  if (file == nullptr) return invalid(error, "file pointer is required");
  const Settings settings = settings_of(options);
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  return to_sink(file_sink, file, single_run(map, record, settings), error);
}

BRINDLE_API brindle_status brindle_serialize_path(const brindle_map *map, const void *record,
                                                  const char *path,
                                                  const brindle_write_options *options,
                                                  brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr || record == nullptr) {
    return invalid(error, "map, source, and sink are required");
  }
  if (path == nullptr) return invalid(error, "path is required");
  const Settings settings = settings_of(options);
  BRINDLE_TRY(check_options_and_map(map, settings, error));
  return to_path(path, single_run(map, record, settings), error);
}

BRINDLE_API brindle_status brindle_serialize_jsonl_sink(const brindle_map *map, const void *items,
                                                        size_t count, size_t stride,
                                                        brindle_sink sink, void *sink_user,
                                                        const brindle_write_options *options,
                                                        brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr || sink == nullptr) return invalid(error, "map and sink are required");
  const Settings settings = settings_of(options);
  brindle__record_run run{};
  BRINDLE_TRY(lines_run(map, items, count, stride, settings, &run, error));
  return to_sink(sink, sink_user, run, error);
}

BRINDLE_API brindle_status brindle_serialize_jsonl_buffer(const brindle_map *map, const void *items,
                                                          size_t count, size_t stride, char *buffer,
                                                          size_t capacity, size_t *length,
                                                          const brindle_write_options *options,
                                                          brindle_error *error) noexcept {
  brindle_error_init(error);
  if (length != nullptr) *length = 0;
  if (map == nullptr) return invalid(error, "map and sink are required");
  if (buffer == nullptr || capacity == 0) {
    return invalid(error, "output buffer and capacity are required");
  }
  buffer[0] = '\0';
  const Settings settings = settings_of(options);
  brindle__record_run run{};
  BRINDLE_TRY(lines_run(map, items, count, stride, settings, &run, error));
  return to_fixed(buffer, capacity, length, run, settings, error);
}

BRINDLE_API brindle_status brindle_serialize_jsonl_owned(const brindle_map *map, const void *items,
                                                         size_t count, size_t stride,
                                                         brindle_owned_buffer *out,
                                                         const brindle_write_options *options,
                                                         brindle_error *error) noexcept {
  brindle_error_init(error);
  if (out != nullptr) *out = brindle_default_owned_buffer();
  if (map == nullptr) return invalid(error, "map and sink are required");
  if (out == nullptr) return invalid(error, "output buffer handle is required");
  const Settings settings = settings_of(options);
  brindle__record_run run{};
  BRINDLE_TRY(lines_run(map, items, count, stride, settings, &run, error));
  return to_owned(out, run, settings, error);
}

BRINDLE_API char *brindle_serialize_jsonl_alloc(const brindle_map *map, const void *items,
                                                size_t count, size_t stride, size_t *length,
                                                const brindle_write_options *options,
                                                brindle_error *error) noexcept {
  brindle_error_init(error);
  if (length != nullptr) *length = 0;
  if (map == nullptr) {
    invalid(error, "map and sink are required");
    return nullptr;
  }
  const Settings settings = settings_of(options);
  if (brindle__allocator_is_valid(settings.allocator) &&
      !brindle__allocator_is_default(settings.allocator)) {
    invalid(error,
            "serialize_jsonl_alloc uses the default allocator only; use serialize_jsonl_owned "
            "for custom allocators");
    return nullptr;
  }
  brindle__record_run run{};
  if (lines_run(map, items, count, stride, settings, &run, error) != BRINDLE_OK) return nullptr;
  return to_allocated(run, settings, length, error);
}

BRINDLE_API brindle_status brindle_serialize_jsonl_filep(const brindle_map *map, const void *items,
                                                         size_t count, size_t stride, FILE *file,
                                                         const brindle_write_options *options,
                                                         brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr) return invalid(error, "map and sink are required");
  if (file == nullptr) return invalid(error, "file pointer is required");
  const Settings settings = settings_of(options);
  brindle__record_run run{};
  BRINDLE_TRY(lines_run(map, items, count, stride, settings, &run, error));
  return to_sink(file_sink, file, run, error);
}

BRINDLE_API brindle_status brindle_serialize_jsonl_path(const brindle_map *map, const void *items,
                                                        size_t count, size_t stride,
                                                        const char *path,
                                                        const brindle_write_options *options,
                                                        brindle_error *error) noexcept {
  brindle_error_init(error);
  if (map == nullptr) return invalid(error, "map and sink are required");
  if (path == nullptr) return invalid(error, "path is required");
  const Settings settings = settings_of(options);
  brindle__record_run run{};
  BRINDLE_TRY(lines_run(map, items, count, stride, settings, &run, error));
  return to_path(path, run, error);
}

}  // extern "C"
