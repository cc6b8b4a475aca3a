// What an error answer said when it was not the server's JSON error: its first bytes as text.
#include <cstring>

#include "engine_internal.h"

void sv_engine_error_excerpt_append(sv_engine_error_excerpt *excerpt, const char *bytes,
                                    size_t length) noexcept {
  const size_t room = sizeof excerpt->text - 1 - excerpt->length;
  const size_t taken = length < room ? length : room;
  for (size_t i = 0; i < taken; ++i) {
    excerpt->text[excerpt->length + i] = bytes[i] == '\0' ? '?' : bytes[i];
  }
  excerpt->length += taken;
  excerpt->text[excerpt->length] = '\0';
  if (taken < length) excerpt->truncated = 1;
}

int sv_engine_error_excerpt_to_detail(const sv_engine_error_excerpt *excerpt,
                                      sv_engine_http_result *result) noexcept {
  if (result->detail != nullptr && result->detail[0] != '\0') return SV_OK;
  static constexpr char kCut[] = " [truncated]";
  char detail[sizeof excerpt->text + sizeof kCut];
  std::memcpy(detail, excerpt->text, excerpt->length);
  size_t length = excerpt->length;
  if (excerpt->truncated != 0) {
    std::memcpy(detail + length, kCut, sizeof kCut - 1);
    length += sizeof kCut - 1;
  }
  detail[length] = '\0';
  return sv_engine_replace_string(&result->detail, detail) ? SV_OK : SV_ERR_NOMEM;
}
