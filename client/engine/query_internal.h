// Internals of the query operations: the request body record shared by the three forms and the
// streaming transfer that query_into and query_keys run over the configured endpoints.
#ifndef STAVOC_ENGINE_QUERY_INTERNAL_H
#define STAVOC_ENGINE_QUERY_INTERNAL_H

#include <curl/curl.h>

#include "brindle_values.h"
#include "engine_internal.h"

// The JSON body of POST /v1/query ("sv_engine_query_body_json"); strings are borrowed from the
// request, the two documents are owned compact copies of the caller's text.
struct sv_engine_query_body {
  const char *namespace_name;  // the effective namespace
  brindle_json_value selector;
  int64_t limit;
  int32_t has_limit;
  const char *cursor;  // NULL when empty
  brindle_json_value fields;
  const char *return_mode;  // NULL when empty
};

extern const brindle_map sv_engine_query_body_map;

// Fills body from request; with keys the return member is "keys" whatever the request says. A
// selector or fields text that is not exactly one JSON value fails here, before any request.
int sv_engine_query_body_prepare(const sv_engine_client *client,
                                 const sv_engine_query_request *request, bool keys,
                                 sv_engine_query_body *body, sv_engine_error *error) noexcept;
void sv_engine_query_body_cleanup(sv_engine_query_body *body) noexcept;

// What a streaming query does with the body of a 2xx answer.
class QueryBodyConsumer {
 public:
  virtual ~QueryBodyConsumer() = default;
  // Before each attempt: prepare a fresh consumer state.
  virtual int start_attempt(sv_engine_error *error) noexcept = 0;
  // One chunk of a 2xx body; false stops the transfer (the consumer stored why in error).
  virtual bool consume(const char *bytes, size_t length, sv_engine_error *error) noexcept = 0;
  // After a complete 2xx answer: fill what the body adds to the response.
  virtual int finish(const sv_engine_client *client, sv_engine_query_stream_response *response,
                     sv_engine_error *error) noexcept = 0;
  // After each attempt, whatever happened.
  virtual void end_attempt() noexcept = 0;
};

// Runs POST /v1/query with body over the endpoints, in order, moving on only after a 503
// "node_passive". response is filled on success and left empty on failure; error must be
// non-NULL and empty.
int sv_engine_query_stream_run(const sv_engine_client *client,
                               const sv_engine_query_request *request,
                               const sv_engine_query_body *body, QueryBodyConsumer &consumer,
                               sv_engine_query_stream_response *response,
                               sv_engine_error *error) noexcept;

// Stores a copy (made with the client's allocator) of [start, end) in *slot, replacing what was
// there. False when the copy fails.
bool sv_engine_query_capture(const sv_engine_client *client, char **slot, const char *start,
                             const char *end) noexcept;

// Limits of what a streaming query keeps besides the streamed body.
constexpr size_t SV_ENGINE_QUERY_HEADER_VALUE_LIMIT = 65536;

#endif
