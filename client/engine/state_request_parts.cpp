// Pieces the lease and state operations share: the "?key=...&namespace=..." path, the
// X-If-Version header and owned copies of parsed strings.
#include <cstdlib>

#include "state_internal.h"
#include "stavoc_numbers.h"

namespace sv_state {

int build_key_path(const sv_engine_client *client, const char *base, const char *key,
                   const char *namespace_name, sv_engine_buffer *path) noexcept {
  char *encoded_key = sv_engine_url_encode(key);
  char *encoded_namespace =
      sv_engine_url_encode(sv_engine_effective_namespace(client, namespace_name));
  int status = encoded_key != nullptr && encoded_namespace != nullptr ? SV_OK : SV_ERR_NOMEM;
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(path, base);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(path, "?key=");
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(path, encoded_key);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(path, "&namespace=");
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(path, encoded_namespace);
  std::free(encoded_key);
  std::free(encoded_namespace);
  if (status != SV_OK) {
    sv_engine_buffer_cleanup(path);
    return SV_ERR_NOMEM;
  }
  return SV_OK;
}

bool set_version_header(int64_t version, char *buffer, size_t capacity,
                        sv_engine_header *header) noexcept {
  if (header == nullptr || sv_i64_format_base10(version, buffer, capacity) < 0) return false;
  header->name = "X-If-Version";
  header->value = buffer;
  return true;
}

bool copy_string(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_engine_strdup_local(text);
  return *slot != nullptr;
}

}  // namespace sv_state
