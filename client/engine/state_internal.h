// Internals shared by the lease and state operations: the parsed forms of their JSON answers
// with the maps that read them, the "?key=...&namespace=..." path builder, the X-If-Version
// header and the copies that move parsed strings into caller-owned responses.
#ifndef STAVOC_ENGINE_STATE_INTERNAL_H
#define STAVOC_ENGINE_STATE_INTERNAL_H

#include <cstdint>

#include "engine_internal.h"

namespace sv_state {

// Room for any int64 in decimal with its sign and NUL.
constexpr size_t kIntTextCapacity = 24;

// ---- Parsed answers (filled by the exchange's parser, freed with brindle_cleanup) ----------

struct QueryHiddenJson {
  int32_t query_hidden;
};

struct AcquireJson {
  char *namespace_name;
  char *key;
  char *owner;
  char *lease_id;
  char *txn_id;
  int64_t expires_at_unix;
  int64_t version;
  char *state_etag;
  int64_t fencing_token;
};

struct KeepaliveJson {
  int64_t expires_at_unix;
  int64_t version;
  char *state_etag;
};

struct ReleaseJson {
  int32_t released;
};

struct UpdateJson {
  int64_t new_version;
  char *new_state_etag;
  int64_t bytes;
};

struct MetadataJson {
  char *namespace_name;
  char *key;
  int64_t version;
  QueryHiddenJson metadata;
};

struct RemoveJson {
  int32_t removed;
  int64_t new_version;
};

struct DescribeJson {
  char *namespace_name;
  char *key;
  char *owner;
  char *lease_id;
  int64_t expires_at_unix;
  int64_t version;
  char *state_etag;
  int64_t updated_at_unix;
  QueryHiddenJson metadata;
};

extern const brindle_map acquire_response_map;
extern const brindle_map keepalive_response_map;
extern const brindle_map release_response_map;
extern const brindle_map update_response_map;
extern const brindle_map metadata_response_map;
extern const brindle_map remove_response_map;
extern const brindle_map describe_response_map;

// ---- Requests ------------------------------------------------------------------------------

// base + "?key=" + encoded key + "&namespace=" + encoded namespace (the effective one). Returns
// SV_OK, or SV_ERR_NOMEM when encoding or growth fails; the buffer is then empty.
int build_key_path(const sv_engine_client *client, const char *base, const char *key,
                   const char *namespace_name, sv_engine_buffer *path) noexcept;

// Points header at ("X-If-Version", decimal version in buffer). False when formatting fails.
bool set_version_header(int64_t version, char *buffer, size_t capacity,
                        sv_engine_header *header) noexcept;

inline bool is_empty(const char *text) noexcept {
  return text == nullptr || text[0] == '\0';
}

// ---- Responses -----------------------------------------------------------------------------

// *slot = copy of text (NULL stays NULL). False when a non-null text cannot be copied.
bool copy_string(char **slot, const char *text) noexcept;

// The exchange result and the parsed answer of one operation, both freed on every path.
template <typename Parsed>
class Answer {
 public:
  explicit Answer(const brindle_map &map) noexcept : map_(map) {
    sv_engine_http_result_init(&result);
  }
  ~Answer() {
    brindle_cleanup(&map_, &parsed);
    sv_engine_http_result_cleanup(&result);
  }
  Answer(const Answer &) = delete;
  Answer &operator=(const Answer &) = delete;

  const brindle_map *map() const noexcept { return &map_; }

  // After the exchange returned `status`: SV_OK only for an HTTP 200 answer; any other answer
  // becomes the server error (SV_ERR_SERVER with the error body's members).
  int accept(int status, sv_engine_error *error) noexcept {
    if (status != SV_OK) return status;
    if (result.status != 200) return sv_engine_set_server_error_from_result(error, &result);
    return SV_OK;
  }

  sv_engine_http_result result{};
  Parsed parsed{};

 private:
  const brindle_map &map_;
};

// A caller's request with no client, request or response.
inline int require_records(const void *client, const void *request, const void *response,
                           sv_engine_error *error) noexcept {
  if (client != nullptr && request != nullptr && response != nullptr) return SV_OK;
  return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                    "client, request, and response are required");
}

}  // namespace sv_state

#endif
