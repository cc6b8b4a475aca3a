// Subscribe and dequeue answers (a multipart stream of meta and payload parts) through the
// stream's header and write callbacks with a handler table: whole and sliced bodies deliver the
// same messages, bytes and outcome.
#include "decoder_internal.h"
#include "engine_fuzz_support.h"

namespace {

struct Log {
  std::string text;
  size_t refuse_after;  // payload bytes the handler accepts before it refuses
  size_t payload = 0;
};

int begin_message(void *context, const sv_engine_dequeue_response *message, sv_engine_error *) {
  auto *log = static_cast<Log *>(context);
  log->text += "begin id=" + fuzz::text_or_null(message->message_id) +
               " queue=" + fuzz::text_or_null(message->queue) +
               " attempts=" + std::to_string(message->attempts) +
               " bytes=" + std::to_string(message->payload_bytes) +
               " type=" + fuzz::text_or_null(message->payload_content_type) +
               " cursor=" + fuzz::text_or_null(message->next_cursor) + "\n";
  return 1;
}

int payload_chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
  auto *log = static_cast<Log *>(context);
  fuzz::expect(length > 0, "payload chunks are never empty");
  log->text.append(bytes, length);
  log->payload += length;
  return log->payload <= log->refuse_after ? 1 : 0;
}

int end_message(void *context, const sv_engine_dequeue_response *message, sv_engine_error *) {
  static_cast<Log *>(context)->text += "|end " + fuzz::text_or_null(message->message_id) + "\n";
  return 1;
}

const sv_engine_message_handler kHandler = {begin_message, payload_chunk, end_message};

std::string run(const fuzz::Answer &answer, uint64_t limit, size_t refuse_after,
                fuzz::Slicer *slicer) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  Log log{std::string(), refuse_after};
  sv_engine_queue_stream_decoder *decoder =
      sv_engine_queue_stream_decoder_open(fuzz::engine_client(limit), &kHandler, &log, &error);
  fuzz::expect(decoder != nullptr, "open the stream decoder");
  // A refused header or body piece ends the feed; finish reports why.
  fuzz::feed_answer(
      answer, slicer,
      [&](char *line, size_t n) { return sv_engine_queue_stream_decoder_header(decoder, line, n); },
      [&](char *bytes, size_t n) {
        return sv_engine_queue_stream_decoder_body(decoder, bytes, n);
      });
  const int status = sv_engine_queue_stream_decoder_finish(decoder);
  sv_engine_queue_stream_decoder_close(decoder);
  std::string out = "status=" + std::to_string(status) + " " + fuzz::describe(error) + "\n";
  // A failed stream may stop anywhere inside a payload; what was delivered before is the same.
  if (status == SV_OK) out += log.text;
  sv_engine_error_reset(&error);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  const uint64_t limit = (selector & 1u) != 0 ? 64 : 0;
  const size_t refuse_after = (selector & 2u) != 0 ? selector >> 2 : SIZE_MAX;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const fuzz::Answer answer = fuzz::split_answer(reinterpret_cast<const char *>(data), size);
  fuzz::expect_same("queue stream, whole vs sliced", run(answer, limit, refuse_after, nullptr),
                    run(answer, limit, refuse_after, &slicer));
  return 0;
}
