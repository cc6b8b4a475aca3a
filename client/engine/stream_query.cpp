// Paths with query strings for the streamed and attachment requests: every value
// percent-encoded, the parameters in a fixed order.
#include <cstdlib>

#include "stavoc_numbers.h"
#include "stream_internal.h"

namespace {

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

// Appends prefix and the encoded value; false (with the message stored) on failure.
bool append_encoded(sv_engine_buffer *buffer, const char *prefix, const char *value,
                    const char *message, sv_engine_error *error) {
  char *encoded = sv_engine_url_encode(value);
  const bool ok = encoded != nullptr && sv_engine_buffer_append_cstr(buffer, prefix) == SV_OK &&
                  sv_engine_buffer_append_cstr(buffer, encoded) == SV_OK;
  std::free(encoded);
  if (!ok) sv_engine_set_client_error(error, SV_ERR_NOMEM, message);
  return ok;
}

bool append_text(sv_engine_buffer *buffer, const char *text, sv_engine_error *error) {
  if (sv_engine_buffer_append_cstr(buffer, text) == SV_OK) return true;
  sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate request path");
  return false;
}

}  // namespace

extern "C" {

SV_API int sv_engine_attachment_build_query(sv_engine_buffer *buffer, const char *base_path,
                                            const char *namespace_name, const char *key,
                                            const sv_engine_attachment_selector *selector,
                                            int32_t public_flag, const char *name,
                                            const char *content_type, int32_t prevent_overwrite,
                                            int64_t max_bytes, int32_t has_max_bytes,
                                            sv_engine_error *error) noexcept {
  if (buffer == nullptr || base_path == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "attachment query requires buffer and base path");
  }
  bool ok = append_text(buffer, base_path, error) &&
            append_encoded(buffer, "?key=", key, "failed to encode key", error);
  if (ok && is_set(namespace_name)) {
    ok = append_encoded(buffer, "&namespace=", namespace_name, "failed to encode namespace", error);
  }
  if (ok && is_set(name))
    ok = append_encoded(buffer, "&name=", name, "failed to encode name", error);
  if (ok && selector != nullptr && is_set(selector->name)) {
    ok = append_encoded(buffer, "&name=", selector->name,
                        "failed to encode attachment selector name", error);
  }
  if (ok && selector != nullptr && is_set(selector->id)) {
    ok = append_encoded(buffer, "&id=", selector->id, "failed to encode attachment selector id",
                        error);
  }
  if (ok && is_set(content_type)) {
    ok = append_encoded(buffer, "&content_type=", content_type, "failed to encode content_type",
                        error);
  }
  if (ok && prevent_overwrite != 0) ok = append_text(buffer, "&prevent_overwrite=1", error);
  if (ok && has_max_bytes != 0) {
    char digits[32];
    ok = sv_i64_format_base10(max_bytes, digits, sizeof(digits)) > 0 &&
         sv_engine_buffer_append_cstr(buffer, "&max_bytes=") == SV_OK &&
         sv_engine_buffer_append_cstr(buffer, digits) == SV_OK;
    if (!ok) sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to format max_bytes");
  }
  if (ok && public_flag != 0) ok = append_text(buffer, "&public=1", error);
  return ok ? SV_OK : (error != nullptr && error->code != 0 ? error->code : SV_ERR_NOMEM);
}

}  // extern "C"
