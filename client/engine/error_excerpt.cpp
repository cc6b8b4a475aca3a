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

ErrorBodyAppend sv_engine_error_body_append(sv_engine_buffer *body, const char *bytes,
                                            size_t length, long status, const char *correlation_id,
                                            sv_engine_error *error) noexcept {
  const size_t limit = static_cast<size_t>(SV_ENGINE_ERROR_BODY_LIMIT);
  if (body->length + length + 1 <= limit) {
    return sv_engine_buffer_append(body, bytes, length) == SV_OK ? ErrorBodyAppend::kKept
                                                                 : ErrorBodyAppend::kNoMemory;
  }
  // A server that keeps talking past any sensible error report is stopped; the answer keeps
  // its status, with its first bytes as the detail.
  const size_t room = limit - 1 - body->length;
  sv_engine_buffer_append(body, bytes, length < room ? length : room);
  sv_engine_http_result answer{};
  answer.status = status;
  answer.correlation_id = const_cast<char *>(correlation_id);
  sv_engine_set_server_error_from_text(error, &answer, body->data != nullptr ? body->data : "",
                                       body->length, true);
  return ErrorBodyAppend::kCapped;
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
