// Request header lists of the streamed transfers and the small header helpers of their
// response side.
#include <curl/curl.h>
#include <strings.h>

#include <cstring>

#include "stavoc_numbers.h"
#include "stream_internal.h"

namespace {

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int sv_engine_check_header_values(std::initializer_list<const char *> values,
                                  sv_engine_error *error) noexcept {
  for (const char *value : values) {
    if (value != nullptr && std::strpbrk(value, "\r\n") != nullptr) {
      return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                        "request header values must not contain line breaks");
    }
  }
  return SV_OK;
}

bool sv_engine_copy_optional(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_engine_strdup_local(text);
  return *slot != nullptr;
}

extern "C" {

SV_API int sv_engine_append_header(curl_slist **list, const char *name,
                                   const char *value) noexcept {
  if (list == nullptr || name == nullptr || value == nullptr || name[0] == '\0' ||
      std::strpbrk(name, "\r\n:") != nullptr || std::strpbrk(value, "\r\n") != nullptr) {
    return 0;
  }
  sv_engine_buffer line{};
  int status = sv_engine_buffer_append_cstr(&line, name);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(&line, ": ");
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(&line, value);
  curl_slist *grown = status == SV_OK ? curl_slist_append(*list, line.data) : nullptr;
  sv_engine_buffer_cleanup(&line);
  if (grown == nullptr) return 0;
  *list = grown;
  return 1;
}

SV_API curl_slist *sv_engine_build_stream_headers(const char *content_type, const char *accept,
                                                  const char *lease_id, const char *txn_id,
                                                  int64_t fencing_token) noexcept {
  curl_slist *list = nullptr;
  bool ok = true;
  if (ok && is_set(accept)) ok = sv_engine_append_header(&list, "Accept", accept) != 0;
  if (ok && is_set(content_type)) {
    ok = sv_engine_append_header(&list, "Content-Type", content_type) != 0;
  }
  if (ok && is_set(lease_id)) ok = sv_engine_append_header(&list, "X-Lease-ID", lease_id) != 0;
  if (ok && is_set(txn_id)) ok = sv_engine_append_header(&list, "X-Txn-ID", txn_id) != 0;
  if (ok && fencing_token > 0) {
    char token[32];
    ok = sv_i64_format_base10(fencing_token, token, sizeof(token)) > 0 &&
         sv_engine_append_header(&list, "X-Fencing-Token", token) != 0;
  }
  if (!ok) {
    curl_slist_free_all(list);
    return nullptr;
  }
  return list;
}

SV_API int sv_engine_header_name_equals(const char *bytes, size_t length,
                                        const char *name) noexcept {
  if (bytes == nullptr || name == nullptr || std::strlen(name) != length) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (ascii_lower(bytes[i]) != ascii_lower(name[i])) return 0;
  }
  return 1;
}

SV_API int sv_engine_set_header_value(char **slot, const char *start, const char *end) noexcept {
  if (slot == nullptr || start == nullptr || end == nullptr || end < start) return SV_ERR_INVALID;
  char *copy = sv_engine_strdup_range(start, end);
  if (copy == nullptr) return SV_ERR_NOMEM;
  sv_engine_free_string(slot);
  *slot = copy;
  return SV_OK;
}

SV_API size_t sv_engine_empty_reader(void *, char *, size_t, sv_engine_error *) noexcept {
  return 0;
}

}  // extern "C"
