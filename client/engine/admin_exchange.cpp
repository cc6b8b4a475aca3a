// The typed exchange of the management operations and the copies of answer members.
#include <cstdlib>
#include <cstring>

#include "admin_internal.h"

int sv_engine_admin_exchange(const sv_engine_client *client, const sv_engine_admin_call &call,
                             char **correlation_id, sv_engine_error *error) noexcept {
  brindle_init(call.response_map, call.response_record);
  const sv_engine_header headers[] = {
      {"Content-Type", "application/json"},
      {"Accept", "application/json"},
  };
  sv_engine_http_result result;
  sv_engine_http_result_init(&result);
  int status = sv_engine_http_json_request_stream(
      client, call.method, call.path, call.body_map, call.body_record, nullptr, headers,
      call.content_type_only ? 1 : 2, call.response_map, call.response_record, &result, error);
  if (status == SV_OK) {
    const bool success =
        call.only_200 ? result.status == 200 : result.status >= 200 && result.status <= 299;
    if (!success) {
      status = sv_engine_set_server_error_from_result(error, &result);
    } else if (!sv_engine_admin_copy(correlation_id, result.correlation_id)) {
      status = sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy correlation id");
    }
  }
  sv_engine_http_result_cleanup(&result);
  return status;
}

bool sv_engine_admin_copy(char **out, const char *text) noexcept {
  *out = nullptr;
  if (text == nullptr) return true;
  *out = sv_engine_strdup_local(text);
  return *out != nullptr;
}

int sv_engine_admin_copy_strings(char ***out, size_t *count, const brindle_array &items,
                                 const char *allocate_message, const char *copy_message,
                                 sv_engine_error *error) noexcept {
  *out = nullptr;
  *count = 0;
  if (items.count == 0) return SV_OK;
  auto **strings = static_cast<char **>(std::calloc(items.count, sizeof(char *)));
  if (strings == nullptr) return sv_engine_set_client_error(error, SV_ERR_NOMEM, allocate_message);
  *out = strings;
  const auto *source = static_cast<char *const *>(items.items);
  for (size_t i = 0; i < items.count; ++i) {
    // A null element of the answer becomes an empty string, so every entry is usable.
    strings[i] = sv_engine_strdup_local(source[i] != nullptr ? source[i] : "");
    if (strings[i] == nullptr) return sv_engine_set_client_error(error, SV_ERR_NOMEM, copy_message);
    *count = i + 1;
  }
  return SV_OK;
}

void sv_engine_admin_free_strings(char ***strings, size_t *count) noexcept {
  if (*strings != nullptr) {
    for (size_t i = 0; i < *count; ++i)
      std::free((*strings)[i]);
    std::free(*strings);
  }
  *strings = nullptr;
  *count = 0;
}
