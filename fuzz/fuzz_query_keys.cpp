// query_keys bodies ({"keys":[...],"cursor":...,"index_seq":N,"metadata":{...}}) through the
// keys consumer a transfer feeds: whole and sliced bodies give the same keys (joined from their
// chunks), response members and outcome.
#include "decoder_internal.h"
#include "engine_fuzz_support.h"

namespace {

struct Log {
  std::string text;
  size_t refuse_at;  // the key whose end the handler refuses (SIZE_MAX: none)
  size_t keys = 0;
};

int begin_key(void *context, sv_engine_error *) {
  static_cast<Log *>(context)->text += "<";
  return 1;
}
int key_chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
  static_cast<Log *>(context)->text.append(bytes, length);
  return 1;
}
int end_key(void *context, sv_engine_error *) {
  auto *log = static_cast<Log *>(context);
  log->text += ">";
  return log->keys++ == log->refuse_at ? 0 : 1;
}

const sv_engine_query_key_handler kHandler = {begin_key, key_chunk, end_key};

std::string run(const std::string &body, uint64_t limit, size_t refuse_at, fuzz::Slicer *slicer) {
  const sv_engine_client *client = fuzz::engine_client(limit);
  sv_engine_error error;
  sv_engine_error_init(&error);
  Log log{std::string(), refuse_at};
  sv_engine_query_stream_response response{};
  QueryBodyConsumer *consumer = sv_engine_query_keys_consumer_new(client, &kHandler, &log, &error);
  fuzz::expect(consumer != nullptr, "create the keys consumer");
  int status = consumer->start_attempt(&error);
  if (status == SV_OK) {
    const bool complete = fuzz::feed_body(body, slicer, [&](char *bytes, size_t n) {
      return consumer->consume(bytes, n, &error) ? n : 0;
    });
    status = complete ? consumer->finish(client, &response, &error) : error.code;
  }
  consumer->end_attempt();
  delete consumer;
  std::string out = "status=" + std::to_string(status) + " " + fuzz::describe(error) + "\n";
  if (status == SV_OK) {
    out += "cursor=" + fuzz::text_or_null(response.cursor) +
           " seq=" + std::to_string(response.has_index_seq) + ":" +
           std::to_string(response.index_seq) +
           " metadata=" + fuzz::text_or_null(response.metadata) + "\n" + log.text;
  }
  sv_engine_query_stream_response_cleanup(client, &response);
  sv_engine_error_reset(&error);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  const uint64_t limit = (selector & 1u) != 0 ? 32 : 0;
  const size_t refuse_at = (selector & 2u) != 0 ? selector >> 2 : SIZE_MAX;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const std::string body(reinterpret_cast<const char *>(data), size);
  fuzz::expect_same("query keys, whole vs sliced", run(body, limit, refuse_at, nullptr),
                    run(body, limit, refuse_at, &slicer));
  return 0;
}
