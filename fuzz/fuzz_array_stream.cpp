// Array stream: pushing a document in random slices and pulling it through a sliced reader give
// the same elements and the same final result. For arrays of strings, chunked delivery and
// whole-item delivery give the same strings.
#include "fuzz_support.h"

namespace {

struct Collected {
  std::string items;
  std::string outcome;
};

int collect_item(void *user, void *destination) {
  const auto *record = static_cast<const fuzz::Everything *>(destination);
  static_cast<std::string *>(user)->append(fuzz::written(&fuzz::kWriteMap, record) + "\n");
  return 0;
}

const char *field_name(uint8_t selector) {
  return (selector & 4u) != 0 ? "items" : nullptr;
}

// The stream's final error record; a clean end counts as BRINDLE_OK whatever truncations said.
std::string final_state(int code, const brindle_error &error) {
  return "code=" + std::to_string(code) + " " + fuzz::describe(error);
}

Collected pull(const char *doc, size_t size, fuzz::Slicer *slicer, const char *field,
               const brindle_parse_options &options) {
  Collected out;
  fuzz::SliceReader reader{doc, size, 0, slicer, true, false};
  brindle_error error;
  brindle_error_init(&error);
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(field, fuzz::SliceReader::read, &reader, &options, &error);
  fuzz::expect(stream != nullptr, "open pull stream", fuzz::describe(error));
  fuzz::Everything record;
  std::string strings;
  fuzz::prepare(&record, &strings);
  for (;;) {
    const int result = brindle_array_stream_next(stream, &fuzz::kParseMap, &record, &error);
    if (result == BRINDLE_ARRAY_STREAM_NEED_INPUT) continue;
    if (result == BRINDLE_ARRAY_STREAM_ITEM) {
      collect_item(&out.items, &record);
      brindle_reset(&fuzz::kParseMap, &record);
      continue;
    }
    const int code = result == BRINDLE_ARRAY_STREAM_END ? 0 : error.code;
    out.outcome = final_state(code, error);
    break;
  }
  brindle_cleanup(&fuzz::kParseMap, &record);
  brindle_array_stream_close(stream);
  out.items += strings;
  return out;
}

Collected push(const char *doc, size_t size, fuzz::Slicer *slicer, const char *field,
               const brindle_parse_options &options) {
  Collected out;
  brindle_error error;
  brindle_error_init(&error);
  brindle_array_stream *stream = brindle_array_stream_open_push(field, &options, &error);
  fuzz::expect(stream != nullptr, "open push stream", fuzz::describe(error));
  fuzz::Everything record;
  std::string strings;
  fuzz::prepare(&record, &strings);
  brindle_status status = BRINDLE_OK;
  size_t pos = 0;
  while (pos < size) {
    const size_t n = slicer->next(size - pos);
    status = brindle_array_stream_push(stream, &fuzz::kParseMap, &record, doc + pos, n,
                                       collect_item, &out.items, &error);
    pos += n;
    if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) break;
  }
  if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) {
    status = brindle_array_stream_finish(stream, &fuzz::kParseMap, &record, collect_item,
                                         &out.items, &error);
  }
  const int code = status == BRINDLE_TRUNCATED ? 0 : static_cast<int>(status);
  out.outcome = final_state(code, *brindle_array_stream_error(stream));
  brindle_cleanup(&fuzz::kParseMap, &record);
  brindle_array_stream_close(stream);
  out.items += strings;
  return out;
}

// String items: chunks joined per item, or whole items.
brindle_status string_begin(void *context, brindle_error *) {
  static_cast<std::string *>(context)->append("<");
  return BRINDLE_OK;
}
brindle_status string_chunk(void *context, const char *bytes, size_t length, brindle_error *) {
  static_cast<std::string *>(context)->append(bytes, length);
  return BRINDLE_OK;
}
brindle_status string_end(void *context, brindle_error *) {
  static_cast<std::string *>(context)->append(">");
  return BRINDLE_OK;
}
int string_item(void *user, const char *text, size_t length) {
  fuzz::expect(text[length] == '\0', "string item is NUL-terminated");
  static_cast<std::string *>(user)->append("<" + std::string(text, length) + ">");
  return 0;
}

void compare_strings(const char *doc, size_t size, fuzz::Slicer *slicer, const char *field,
                     const brindle_parse_options &options) {
  const brindle_array_string_handlers handlers = {string_begin, string_chunk, string_end};
  std::string chunked;
  std::string whole;
  brindle_array_stream *a = brindle_array_stream_open_push(field, &options, nullptr);
  brindle_array_stream *b = brindle_array_stream_open_push(field, &options, nullptr);
  fuzz::expect(a != nullptr && b != nullptr, "open string streams");
  brindle_status sa = BRINDLE_OK;
  brindle_status sb = BRINDLE_OK;
  size_t pos = 0;
  while (pos < size && sa == BRINDLE_OK) {
    const size_t n = slicer->next(size - pos);
    sa = brindle_array_stream_push_string(a, doc + pos, n, &handlers, &chunked, nullptr);
    pos += n;
  }
  if (sa == BRINDLE_OK) sa = brindle_array_stream_finish_string(a, &handlers, &chunked, nullptr);
  sb = brindle_array_stream_push_string_items(b, doc, size, string_item, &whole, nullptr);
  if (sb == BRINDLE_OK)
    sb = brindle_array_stream_finish_string_items(b, string_item, &whole, nullptr);
  fuzz::expect_same("string items: status",
                    std::to_string(sa) + " " + fuzz::describe(*brindle_array_stream_error(a)),
                    std::to_string(sb) + " " + fuzz::describe(*brindle_array_stream_error(b)));
  if (sa == BRINDLE_OK) fuzz::expect_same("string items: chunked vs whole", chunked, whole);
  brindle_array_stream_close(a);
  brindle_array_stream_close(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t selector = size > 0 ? data[0] : 0;
  fuzz::Slicer push_slicer = fuzz::Slicer::from_prefix(data, size);
  fuzz::Slicer pull_slicer = push_slicer;
  const char *doc = reinterpret_cast<const char *>(data);
  const char *field = field_name(selector);
  brindle_parse_options options = fuzz::parse_options((selector & 2u) != 0);
  if ((selector & 8u) != 0) {
    compare_strings(doc, size, &push_slicer, field, options);
    return 0;
  }
  const Collected pulled = pull(doc, size, &pull_slicer, field, options);
  const Collected pushed = push(doc, size, &push_slicer, field, options);
  // At the end of input a pull stream names what was left open; a push stream that is finished
  // early reports that it was blocked. Both stop at the same element.
  if (pushed.outcome.find("'push array stream blocked at EOF'") != std::string::npos) {
    const bool ended_early = pulled.outcome.find("'incomplete ") != std::string::npos ||
                             pulled.outcome.find("'unterminated ") != std::string::npos;
    fuzz::expect(ended_early, "push blocked at EOF, pull did not end early", pulled.outcome);
  } else {
    fuzz::expect_same("array stream: outcome, pull vs push", pulled.outcome, pushed.outcome);
  }
  fuzz::expect_same("array stream: elements, pull vs push", pulled.items, pushed.items);
  return 0;
}
