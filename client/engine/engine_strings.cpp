// Small string helpers of the engine: system-allocator copies, trailing slash removal, the
// effective namespace, percent-encoding and the version string.
#include <climits>
#include <cstdint>
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
  // RFC 3986 unreserved characters stay; every other byte becomes %XX (upper-case hex), as
  // libcurl escapes, without a curl handle per value.
  const size_t length = std::strlen(text);
  if (length > (SIZE_MAX - 1) / 3) return nullptr;
  auto *encoded = static_cast<char *>(std::malloc(length * 3 + 1));
  if (encoded == nullptr) return nullptr;
  static const char kHex[] = "0123456789ABCDEF";
  char *out = encoded;
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      *out++ = static_cast<char>(byte);
    } else {
      *out++ = '%';
      *out++ = kHex[byte >> 4];
      *out++ = kHex[byte & 0x0F];
    }
  }
  *out = '\0';
  return encoded;
}

}  // extern "C"
