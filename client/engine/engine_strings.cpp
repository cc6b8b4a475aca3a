// Small string helpers of the engine: system-allocator copies, trailing slash removal, the
// effective namespace, percent-encoding and the version string.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"

extern "C" {

SV_API const char *sv_engine_version_string(void) noexcept {
  return SV_VERSION_STRING;
}

SV_API char *sv_engine_strdup_range(const char *start, const char *end) noexcept {
  return sv_engine_client_strdup_range(nullptr, start, end);
}

SV_API char *sv_engine_strdup_local(const char *text) noexcept {
  return sv_engine_client_strdup(nullptr, text);
}

SV_API void sv_engine_free_string(char **text) noexcept {
  if (text == nullptr) return;
  std::free(*text);
  *text = nullptr;
}

SV_API size_t sv_engine_trim_trailing_slash(char *text) noexcept {
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == '/')
    text[--length] = '\0';
  return length;
}

SV_API const char *sv_engine_effective_namespace(const sv_engine_client *client,
                                                 const char *namespace_name) noexcept {
  if (namespace_name != nullptr && namespace_name[0] != '\0') return namespace_name;
  if (client != nullptr && client->default_namespace != nullptr &&
      client->default_namespace[0] != '\0') {
    return client->default_namespace;
  }
  return "default";
}

SV_API char *sv_engine_url_encode(const char *text) noexcept {
  if (text == nullptr) return sv_engine_strdup_local("");
  const size_t length = std::strlen(text);
  if (length > static_cast<size_t>(INT_MAX)) return nullptr;
  CURL *curl = curl_easy_init();
  if (curl == nullptr) return nullptr;
  char *escaped = curl_easy_escape(curl, text, static_cast<int>(length));
  // libcurl's copy must go back through curl_free; callers free ours with free().
  char *copy = sv_engine_strdup_local(escaped);
  curl_free(escaped);
  curl_easy_cleanup(curl);
  return copy;
}

}  // extern "C"
