// Helpers of the query and administration tests: a writer and a key handler that record what
// the engine hands them, one streaming query call with everything it produced, and canned
// answers for the dev server.
#ifndef STAVO_TESTS_ENGINE_QUERY_FIXTURE_H
#define STAVO_TESTS_ENGINE_QUERY_FIXTURE_H

#include <chrono>
#include <string>
#include <vector>

#include "exchange_fixture.h"

namespace engine_test {

// Everything a query_into writer received.
struct WriterLog {
  std::string bytes;
  size_t writes = 0;
  size_t largest_write = 0;
  std::chrono::steady_clock::time_point first_write{};
  std::chrono::steady_clock::time_point last_write{};
  // Refuse on this write (1-based); 0 never refuses. With refusal_message the refusal stores its
  // own error first.
  size_t refuse_on = 0;
  const char *refusal_message = nullptr;
};
int record_write(void *context, const char *bytes, size_t length, sv_engine_error *error);

// Everything a query_keys handler received.
struct KeyLog {
  std::vector<std::string> keys;
  std::vector<size_t> chunks_per_key;
  size_t begins = 0;
  size_t ends = 0;
  bool chunk_outside_key = false;  // a chunk arrived between an end and the next begin
  bool open = false;
  std::string current;
  // Refuse the chunk call number refuse_chunk_on (1-based, over the whole answer); 0 never.
  size_t refuse_chunk_on = 0;
  size_t chunk_calls = 0;
};
extern const sv_engine_query_key_handler key_log_handler;

// One streaming query call and what it produced; frees the response with the client's hooks.
struct StreamCall {
  const sv_engine_client *client;
  int status = -1;
  sv_engine_query_stream_response response{};
  sv_engine_error error{};
  explicit StreamCall(const sv_engine_client *c) : client(c) { sv_engine_error_init(&error); }
  ~StreamCall() {
    sv_engine_query_stream_response_cleanup(client, &response);
    sv_engine_error_reset(&error);
  }
  StreamCall(const StreamCall &) = delete;
  StreamCall &operator=(const StreamCall &) = delete;
  std::string message() const { return error.message != nullptr ? error.message : "<null>"; }
  std::string text(const char *value) const { return value != nullptr ? value : "<null>"; }
};

// A query request with a selector and nothing else.
sv_engine_query_request query_request(const char *selector);

// An NDJSON body of count documents {"key":"doc-N","version":N,"document":{...}}.
std::string ndjson_documents(size_t count);

// A canned 200 answer of /v1/query with the given body and headers.
stavo::test::Fault query_answer(std::string body, stavo::test::HeaderList headers = {});

// "text or <null>" (defined with the stream fixture).
std::string text(const char *value);

}  // namespace engine_test

#endif
