// Server-sent events, plain and JSON flavour: a stream pushed whole and pushed in random slices
// gives the same events, data, records and result.
#include "fuzz_support.h"

namespace {

struct Log {
  std::string events;
  std::string data;
};

std::string describe_event(const brindle_sse_event *event) {
  std::string out = "event='" + std::string(event->event) + "'";
  out += event->id != nullptr ? " id='" + std::string(event->id) + "'" : " id=<null>";
  out += " length=" + std::to_string(event->data_length);
  if (event->has_retry != 0) out += " retry=" + std::to_string(event->retry);
  return out;
}

int begin_event(void *user, const brindle_sse_event *event, brindle_error *) {
  static_cast<Log *>(user)->events += "begin " + describe_event(event) + "\n";
  return 0;
}
int data_chunk(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<Log *>(user)->data.append(bytes, length);
  return 0;
}
int end_event(void *user, const brindle_sse_event *event, brindle_error *) {
  Log *log = static_cast<Log *>(user);
  log->events += "end " + describe_event(event) + "\n";
  log->data += "|end|";
  return 0;
}

struct JsonLog {
  std::string events;
  std::string strings;  // what the record's string stream member received
  fuzz::Everything record;
};

int json_event(void *user, const brindle_sse_event *event, void *destination, brindle_error *) {
  JsonLog *log = static_cast<JsonLog *>(user);
  fuzz::expect(destination == &log->record, "JSON event gets the destination");
  log->events += describe_event(event) + " " +
                 fuzz::written(&fuzz::kWriteMap, static_cast<fuzz::Everything *>(destination)) +
                 "\n";
  return 0;
}

struct Setup {
  brindle_sse_options options;
  bool json;
  bool filtered;
  brindle_parse_options parse;
};

std::string plain(const Setup &setup, const char *bytes, size_t size, fuzz::Slicer *slicer) {
  brindle_error error;
  brindle_error_init(&error);
  brindle_sse *parser = brindle_sse_open(&setup.options, &error);
  fuzz::expect(parser != nullptr, "open SSE parser", fuzz::describe(error));
  const brindle_sse_callbacks callbacks = {begin_event, data_chunk, end_event};
  Log log;
  brindle_status status = BRINDLE_OK;
  size_t pos = 0;
  while (status == BRINDLE_OK && pos < size) {
    const size_t n = slicer != nullptr ? slicer->next(size - pos) : size - pos;
    status = brindle_sse_push(parser, bytes + pos, n, &callbacks, &log, &error);
    pos += n;
  }
  if (status == BRINDLE_OK) status = brindle_sse_finish(parser, &callbacks, &log, &error);
  brindle_sse_close(parser);
  std::string out = "status=" + std::to_string(status) + " " + fuzz::describe(error) + "\n";
  out += log.events;
  if (status == BRINDLE_OK) out += log.data;  // a failed line may stop anywhere in its data
  return out;
}

std::string json(const Setup &setup, const char *bytes, size_t size, fuzz::Slicer *slicer) {
  brindle_error error;
  brindle_error_init(&error);
  brindle_sse *parser = brindle_sse_open(&setup.options, &error);
  fuzz::expect(parser != nullptr, "open SSE parser", fuzz::describe(error));
  static const char *const kNames[] = {"update", ""};
  brindle_sse_json_options json_options = {nullptr, 0, &setup.parse};
  if (setup.filtered) {
    json_options.event_names = kNames;
    json_options.event_name_count = 2;
  }
  JsonLog log;
  fuzz::prepare(&log.record, &log.strings);
  brindle_status status = BRINDLE_OK;
  size_t pos = 0;
  while (status == BRINDLE_OK && pos < size) {
    const size_t n = slicer != nullptr ? slicer->next(size - pos) : size - pos;
    status = brindle_sse_push_json(parser, &fuzz::kParseMap, &log.record, bytes + pos, n,
                                   &json_options, json_event, &log, &error);
    pos += n;
  }
  if (status == BRINDLE_OK) {
    status = brindle_sse_finish_json(parser, &fuzz::kParseMap, &log.record, &json_options,
                                     json_event, &log, &error);
  }
  brindle_sse_close(parser);
  brindle_cleanup(&fuzz::kParseMap, &log.record);
  return "status=" + std::to_string(status) + " " + fuzz::describe(error) + "\n" + log.events +
         log.strings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t selector = size > 0 ? data[0] : 0;
  Setup setup{brindle_default_sse_options(), (selector & 4u) != 0, (selector & 8u) != 0,
              fuzz::parse_options((selector & 2u) != 0)};
  if ((selector & 16u) != 0) {  // small limits, so that the overflow paths are reached
    setup.options.max_line_bytes = 24;
    setup.options.max_data_bytes = 40;
    setup.options.max_field_bytes = 8;
  }
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const char *bytes = reinterpret_cast<const char *>(data);
  if (setup.json) {
    fuzz::expect_same("SSE JSON, whole vs sliced", json(setup, bytes, size, nullptr),
                      json(setup, bytes, size, &slicer));
  } else {
    fuzz::expect_same("SSE plain, whole vs sliced", plain(setup, bytes, size, nullptr),
                      plain(setup, bytes, size, &slicer));
  }
  return 0;
}
