// Queue watch answers (server-sent events whose data are JSON documents) through the watch's
// header and write callbacks: whole and sliced bodies deliver the same events and outcome.
#include "decoder_internal.h"
#include "engine_fuzz_support.h"

namespace {

struct Log {
  std::string text;
  size_t refuse_at;  // the event the handler refuses (SIZE_MAX: none)
  size_t events = 0;
};

int on_event(void *context, const sv_engine_queue_watch_event *event, sv_engine_error *) {
  auto *log = static_cast<Log *>(context);
  log->text += "event ns=" + fuzz::text_or_null(event->namespace_name) +
               " queue=" + fuzz::text_or_null(event->queue) +
               " available=" + std::to_string(event->available) +
               " head=" + fuzz::text_or_null(event->head_message_id) +
               " at=" + std::to_string(event->changed_at_unix) +
               " cid=" + fuzz::text_or_null(event->correlation_id) + "\n";
  return log->events++ == log->refuse_at ? 0 : 1;
}

std::string run(const fuzz::Answer &answer, size_t refuse_at, fuzz::Slicer *slicer) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  Log log{std::string(), refuse_at};
  sv_engine_queue_watch_decoder *decoder =
      sv_engine_queue_watch_decoder_open(on_event, &log, &error);
  fuzz::expect(decoder != nullptr, "open the watch decoder");
  // A refused header or body piece ends the feed; finish reports why.
  fuzz::feed_answer(
      answer, slicer,
      [&](char *line, size_t n) { return sv_engine_queue_watch_decoder_header(decoder, line, n); },
      [&](char *bytes, size_t n) { return sv_engine_queue_watch_decoder_body(decoder, bytes, n); });
  const int status = sv_engine_queue_watch_decoder_finish(decoder);
  sv_engine_queue_watch_decoder_close(decoder);
  std::string out = "status=" + std::to_string(status) + " " + fuzz::describe(error) + "\n";
  out += log.text;  // events are whole documents, delivered the same way in both runs
  sv_engine_error_reset(&error);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  const size_t refuse_at = (selector & 1u) != 0 ? selector >> 1 : SIZE_MAX;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const fuzz::Answer answer = fuzz::split_answer(reinterpret_cast<const char *>(data), size);
  fuzz::expect_same("queue watch, whole vs sliced", run(answer, refuse_at, nullptr),
                    run(answer, refuse_at, &slicer));
  return 0;
}
