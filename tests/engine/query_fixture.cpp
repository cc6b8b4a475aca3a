#include "query_fixture.h"

#include <algorithm>

namespace engine_test {

namespace {

int key_begin(void *context, sv_engine_error *) {
  auto *log = static_cast<KeyLog *>(context);
  ++log->begins;
  log->open = true;
  log->current.clear();
  log->chunks_per_key.push_back(0);
  return 1;
}

int key_chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
  auto *log = static_cast<KeyLog *>(context);
  ++log->chunk_calls;
  if (log->refuse_chunk_on != 0 && log->chunk_calls == log->refuse_chunk_on) return 0;
  if (!log->open) log->chunk_outside_key = true;
  log->current.append(bytes, length);
  if (!log->chunks_per_key.empty()) ++log->chunks_per_key.back();
  return 1;
}

int key_end(void *context, sv_engine_error *) {
  auto *log = static_cast<KeyLog *>(context);
  ++log->ends;
  log->open = false;
  log->keys.push_back(log->current);
  return 1;
}

}  // namespace

const sv_engine_query_key_handler key_log_handler = {key_begin, key_chunk, key_end};

int record_write(void *context, const char *bytes, size_t length, sv_engine_error *error) {
  auto *log = static_cast<WriterLog *>(context);
  const auto now = std::chrono::steady_clock::now();
  if (log->writes == 0) log->first_write = now;
  log->last_write = now;
  ++log->writes;
  if (log->refuse_on != 0 && log->writes == log->refuse_on) {
    if (log->refusal_message != nullptr) {
      sv_engine_set_client_error(error, SV_ERR_INVALID, log->refusal_message);
    }
    return 0;
  }
  log->bytes.append(bytes, length);
  log->largest_write = std::max(log->largest_write, length);
  return 1;
}

sv_engine_query_request query_request(const char *selector) {
  sv_engine_query_request request{};
  request.selector_json = selector;
  return request;
}

std::string ndjson_documents(size_t count) {
  std::string body;
  body.reserve(count * 80);
  for (size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    body += "{\"key\":\"doc-" + n + "\",\"version\":" + n + ",\"document\":{\"n\":" + n +
            ",\"name\":\"item " + n + "\"}}\n";
  }
  return body;
}

stavo::test::Fault query_answer(std::string body, stavo::test::HeaderList headers) {
  return stavo::test::Fault::respond("POST", "/v1/query", 200, std::move(body), std::move(headers));
}

}  // namespace engine_test
