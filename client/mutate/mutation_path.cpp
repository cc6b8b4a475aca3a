// JSON pointer paths of mutation expressions: split into decoded segments, refusing the root,
// wildcard segments and segments too long to decode.
#include <cstdlib>
#include <cstring>

#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

int fail(sv_error *error, int code, const char *message, const char *detail) noexcept {
  return sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

int fail_text(sv_error *error, const char *message, Text text) noexcept {
  char *detail = static_cast<char *>(std::malloc(text.size + 1));
  if (detail != nullptr) {
    if (text.size > 0) std::memcpy(detail, text.data, text.size);
    detail[text.size] = '\0';
  }
  fail(error, SV_ERR_INVALID, message, detail);
  std::free(detail);
  return SV_ERR_INVALID;
}

bool is_wildcard(const char *segment) noexcept {
  return std::strcmp(segment, "*") == 0 || std::strcmp(segment, "**") == 0 ||
         std::strcmp(segment, "[]") == 0 || std::strcmp(segment, "...") == 0;
}

// Decodes "~0" and "~1" into buffer (kSegmentLimit + 1 bytes); false when it does not fit.
bool decode_segment(Text segment, char *buffer, size_t *length) noexcept {
  size_t used = 0;
  for (size_t i = 0; i < segment.size; ++i) {
    char c = segment.data[i];
    if (c == '~' && i + 1 < segment.size &&
        (segment.data[i + 1] == '0' || segment.data[i + 1] == '1')) {
      c = segment.data[i + 1] == '0' ? '~' : '/';
      ++i;
    }
    if (used == kSegmentLimit) return false;
    buffer[used++] = c;
  }
  buffer[used] = '\0';
  *length = used;
  return true;
}

}  // namespace

int split_path(Text path, sv_mutation *mutation, sv_error *error) noexcept {
  if (path.size == 0 || path.data[0] != '/') {
    return fail_text(error, "mutation path must start with '/'", path);
  }
  size_t segments = 0;
  for (size_t i = 0; i < path.size; ++i) {
    if (path.data[i] == '/') ++segments;
  }
  // Every segment is checked before anything is allocated.
  char buffer[kSegmentLimit + 1];
  for (size_t begin = 1; begin <= path.size;) {
    const void *slash = std::memchr(path.data + begin, '/', path.size - begin);
    const size_t end = slash != nullptr
                           ? static_cast<size_t>(static_cast<const char *>(slash) - path.data)
                           : path.size;
    const Text segment{path.data + begin, end - begin};
    if (segment.size == 0) return fail_text(error, "mutation path refers to document root", path);
    size_t length = 0;
    if (!decode_segment(segment, buffer, &length)) {
      return fail_text(error, "mutation path segment exceeds 1024 bytes", segment);
    }
    if (is_wildcard(buffer)) {
      return fail_text(error,
                       "local mutate does not support wildcard SVQL paths; use direct JSON "
                       "pointer paths",
                       {buffer, length});
    }
    begin = end + 1;
  }
  auto **items = static_cast<char **>(std::calloc(segments, sizeof(char *)));
  if (items == nullptr)
    return fail(error, SV_ERR_NOMEM, "failed to allocate mutation path", nullptr);
  mutation->path = items;
  size_t index = 0;
  for (size_t begin = 1; begin <= path.size; ++index) {
    const void *slash = std::memchr(path.data + begin, '/', path.size - begin);
    const size_t end = slash != nullptr
                           ? static_cast<size_t>(static_cast<const char *>(slash) - path.data)
                           : path.size;
    size_t length = 0;
    decode_segment({path.data + begin, end - begin}, buffer, &length);
    items[index] = static_cast<char *>(std::malloc(length + 1));
    if (items[index] == nullptr) {
      mutation->path_count = index;
      return fail(error, SV_ERR_NOMEM, "failed to allocate mutation path", nullptr);
    }
    std::memcpy(items[index], buffer, length + 1);
    begin = end + 1;
  }
  mutation->path_count = segments;
  return SV_OK;
}

}  // namespace sv_mutation_impl
