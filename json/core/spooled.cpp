// Spooled values: a possibly large string kept as a memory prefix of at most memory_limit bytes,
// the rest in a spill file.
#include <cstring>

#include "spool_file.h"

namespace {

constexpr size_t kBlockSize = 4096;
constexpr size_t kDefaultMemoryLimit = 65536;

void stamp(brindle_spooled *spooled) {
  spooled->marker = brindle__marker(spooled, BRINDLE_MARKER_SPOOLED);
}

// Forgets the content without freeing anything (for records that do not own it).
void clear_content(brindle_spooled *spooled) {
  spooled->prefix = nullptr;
  spooled->prefix_length = 0;
  spooled->size = 0;
  spooled->read_pos = 0;
  spooled->file = nullptr;
  spooled->spilled = 0;
  spooled->path[0] = '\0';
}

}  // namespace

bool brindle__spooled_marker_ok(const brindle_spooled *spooled) noexcept {
  return spooled != nullptr && spooled->marker == brindle__marker(spooled, BRINDLE_MARKER_SPOOLED);
}

void brindle__spooled_release(brindle_spooled *spooled) noexcept {
  if (spooled == nullptr) return;
  brindle__spool_file_close(spooled);
  brindle__block_free(spooled->prefix);
  clear_content(spooled);
}

void brindle__spooled_moved(brindle_spooled *spooled, const void *old_address) noexcept {
  if (spooled != nullptr &&
      spooled->marker == brindle__marker(old_address, BRINDLE_MARKER_SPOOLED)) {
    stamp(spooled);
  }
}

void brindle__spooled_set_allocator(brindle_spooled *spooled,
                                    const brindle_allocator *allocator) noexcept {
  if (spooled == nullptr) return;
  spooled->allocator = brindle__allocator_resolve(allocator);
}

brindle_status brindle__spooled_append(brindle_spooled *spooled, const char *bytes, size_t length,
                                       brindle_error *error) noexcept {
  // A copied record shares its content with the original: appending to it would corrupt both.
  if (spooled == nullptr || (bytes == nullptr && length != 0) ||
      !brindle__spooled_marker_ok(spooled)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "invalid spooled append arguments");
  }
  if (length == 0) return BRINDLE_OK;
  const size_t max_bytes = spooled->options.max_bytes;
  if (length > SIZE_MAX - spooled->size || (max_bytes != 0 && spooled->size + length > max_bytes)) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "spooled field exceeds configured max bytes");
  }
  const size_t limit = spooled->options.memory_limit;
  const size_t room = limit > spooled->prefix_length ? limit - spooled->prefix_length : 0;
  const size_t in_memory = length < room ? length : room;
  if (in_memory > 0) {
    // The prefix grows to exactly what it holds. A failed realloc leaves the old block.
    void *grown = brindle__block_realloc(&spooled->allocator, spooled->prefix,
                                         spooled->prefix_length + in_memory);
    if (grown == nullptr) {
      return brindle__fail(error, BRINDLE_ALLOCATION_FAILED,
                           "failed to expand spooled in-memory prefix");
    }
    spooled->prefix = static_cast<char *>(grown);
  }
  if (in_memory < length) {
    if (spooled->file == nullptr) {
      const brindle_status status = brindle__spool_file_create(spooled, error);
      if (status != BRINDLE_OK) return status;
    }
    const brindle_status status =
        brindle__spool_file_write(spooled, bytes + in_memory, length - in_memory, error);
    if (status != BRINDLE_OK) return status;
  }
  // Only now that nothing can fail does the content grow: a failure leaves size unchanged.
  if (in_memory > 0) {
    std::memcpy(spooled->prefix + spooled->prefix_length, bytes, in_memory);
    spooled->prefix_length += in_memory;
  }
  spooled->size += length;
  return BRINDLE_OK;
}

extern "C" {

BRINDLE_API void brindle_spooled_init_with_allocator(brindle_spooled *spooled,
                                                     const brindle_spool_options *options,
                                                     const brindle_allocator *allocator) noexcept {
  if (spooled == nullptr) return;
  std::memset(spooled, 0, sizeof(*spooled));
  if (options != nullptr) {
    spooled->options = *options;
  } else {
    spooled->options.memory_limit = kDefaultMemoryLimit;
  }
  spooled->allocator = brindle__allocator_resolve(allocator);
  stamp(spooled);
}

BRINDLE_API void brindle_spooled_init(brindle_spooled *spooled,
                                      const brindle_spool_options *options) noexcept {
  brindle_spooled_init_with_allocator(spooled, options, nullptr);
}

BRINDLE_API brindle_status brindle_spooled_append(brindle_spooled *spooled, const char *bytes,
                                                  size_t length, brindle_error *error) noexcept {
  return brindle__spooled_append(spooled, bytes, length, error);
}

BRINDLE_API size_t brindle_spooled_size(const brindle_spooled *spooled) noexcept {
  return spooled == nullptr ? 0 : spooled->size;
}

BRINDLE_API int brindle_spooled_spilled(const brindle_spooled *spooled) noexcept {
  return spooled != nullptr && spooled->spilled != 0 ? 1 : 0;
}

BRINDLE_API brindle_status brindle_spooled_rewind(brindle_spooled *spooled,
                                                  brindle_error *error) noexcept {
  if (spooled == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "spooled value is required");
  }
  // The spill file is read at explicit offsets: moving the cursor is all a rewind takes.
  spooled->read_pos = 0;
  return BRINDLE_OK;
}

BRINDLE_API brindle_read_result brindle_spooled_read(brindle_spooled *spooled, char *buffer,
                                                     size_t capacity) noexcept {
  brindle_read_result result{};
  if (spooled == nullptr || buffer == nullptr || capacity == 0 ||
      spooled->read_pos >= spooled->size) {
    result.eof = 1;
    return result;
  }
  size_t n = 0;
  if (spooled->read_pos < spooled->prefix_length) {
    n = spooled->prefix_length - spooled->read_pos;
    if (n > capacity) n = capacity;
    std::memcpy(buffer, spooled->prefix + spooled->read_pos, n);
  } else {
    const int failure = brindle__spool_file_flush(spooled);
    if (failure != 0) {
      result.error = failure;
      return result;
    }
    size_t want = spooled->size - spooled->read_pos;
    if (want > capacity) want = capacity;
    const long got = brindle__spool_file_read_at(
        spooled, spooled->read_pos - spooled->prefix_length, buffer, want);
    if (got < 0) {
      result.error = brindle__errno_or_eio();
      return result;
    }
    n = static_cast<size_t>(got);
  }
  spooled->read_pos += n;
  result.bytes = n;
  result.eof = spooled->read_pos >= spooled->size ? 1 : 0;
  return result;
}

BRINDLE_API brindle_status brindle_spooled_write_to_sink(brindle_spooled *spooled,
                                                         brindle_sink sink, void *user,
                                                         brindle_error *error) noexcept {
  if (spooled == nullptr || sink == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "spooled value and sink are required");
  }
  brindle_error_init(error);
  brindle__spool_cursor cursor;
  brindle_status status = brindle__spool_cursor_open(&cursor, spooled, error);
  if (status != BRINDLE_OK) return status;
  char block[kBlockSize];
  bool truncated = false;
  bool eof = false;
  while (!eof) {
    size_t length = 0;
    status = brindle__spool_cursor_read(&cursor, block, sizeof(block), &length, &eof,
                                        "failed to read spooled value", error);
    if (status != BRINDLE_OK) return status;
    if (length == 0) continue;
    status = brindle__sink_call(sink, user, block, length, error, &truncated);
    if (status != BRINDLE_OK) return brindle__callback_failed(error, status, "sink failed");
  }
  return brindle__finish(error, truncated);
}

BRINDLE_API void brindle_spooled_reset(brindle_spooled *spooled) noexcept {
  if (spooled == nullptr) return;
  if (brindle__spooled_marker_ok(spooled)) {
    brindle__spooled_release(spooled);
  } else {
    clear_content(spooled);  // a copy or a stranger: its content is not ours to free
  }
  if (!brindle__allocator_is_valid(&spooled->allocator)) {
    spooled->allocator = brindle__allocator_resolve(&spooled->allocator);
  }
  stamp(spooled);
}

BRINDLE_API void brindle_spooled_cleanup(brindle_spooled *spooled) noexcept {
  if (spooled == nullptr) return;
  if (brindle__spooled_marker_ok(spooled)) brindle__spooled_release(spooled);
  brindle_spooled_init(spooled, nullptr);
}

}  // extern "C"
