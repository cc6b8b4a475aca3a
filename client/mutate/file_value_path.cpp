// Where a file-backed value lives: quotes removed, "~" and "~/..." under the home directory,
// absolute paths as given, anything else under the caller's base directory.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

int fail(sv_error *error, int code, const char *message) noexcept {
  return sv_error_set(error, code, 0, message, nullptr, nullptr, nullptr);
}

// Joins head, an optional '/', and tail into a new text.
char *join(const char *head, size_t head_size, bool slash, Text tail) noexcept {
  const size_t size = head_size + (slash ? 1 : 0) + tail.size;
  char *out = static_cast<char *>(std::malloc(size + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, head, head_size);
  if (slash) out[head_size] = '/';
  if (tail.size > 0) std::memcpy(out + head_size + (slash ? 1 : 0), tail.data, tail.size);
  out[size] = '\0';
  return out;
}

// HOME when set and non-empty, else the account's home directory (copied into storage).
const char *home_directory(char *storage, size_t capacity) noexcept {
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd entry {};
  struct passwd *found = nullptr;
  if (getpwuid_r(getuid(), &entry, storage, capacity, &found) != 0 || found == nullptr) {
    return nullptr;
  }
  if (found->pw_dir == nullptr || found->pw_dir[0] == '\0') return nullptr;
  return found->pw_dir;
}

}  // namespace

int resolve_file_path(Text value, const sv_mutation_parse_options *options, char **out,
                      sv_error *error) noexcept {
  if (value.size >= 2 && (value.data[0] == '"' || value.data[0] == '\'') &&
      value.data[value.size - 1] == value.data[0]) {
    value = {value.data + 1, value.size - 2};
  }
  if (value.size == 0) {
    return fail(error, SV_ERR_INVALID, "file-backed mutation missing file path");
  }
  const bool tilde = value.data[0] == '~' && (value.size == 1 || value.data[1] == '/');
  if (tilde) {
    char storage[4096];
    const char *home = home_directory(storage, sizeof storage);
    if (home == nullptr) {
      return fail(error, SV_ERR_INVALID,
                  "failed to resolve home directory for file-backed mutation");
    }
    const bool more = value.size > 2;
    *out = join(home, std::strlen(home), more,
                more ? Text{value.data + 2, value.size - 2} : Text{"", 0});
    if (*out == nullptr) return fail(error, SV_ERR_NOMEM, "failed to allocate resolved file path");
    return SV_OK;
  }
  if (value.data[0] == '/') {
    *out = join("", 0, false, value);
    if (*out == nullptr) return fail(error, SV_ERR_NOMEM, "failed to allocate file path");
    return SV_OK;
  }
  const char *base = options->file_value_base_dir;
  if (base == nullptr || base[0] == '\0') {
    return fail(error, SV_ERR_INVALID,
                "relative file-backed mutation path requires file value base dir");
  }
  *out = join(base, std::strlen(base), true, value);
  if (*out == nullptr) return fail(error, SV_ERR_NOMEM, "failed to allocate resolved file path");
  return SV_OK;
}

}  // namespace sv_mutation_impl
