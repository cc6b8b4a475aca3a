// Multipart: a body pushed whole and pushed in random slices gives the same parts, headers,
// body bytes and result.
#include "fuzz_support.h"

namespace {

struct Log {
  std::string events;  // part boundaries and headers
  std::string data;    // body bytes, with a marker at each part's end
};

std::string text_or_null(const char *text) {
  return text != nullptr ? text : "<null>";
}

std::string describe_part(const brindle_multipart_part *part) {
  std::string out = "name=" + text_or_null(part->name) +
                    " type=" + text_or_null(part->content_type) +
                    " length=" + std::to_string(part->content_length);
  for (size_t i = 0; i < part->header_count; ++i) {
    out += " [" + std::string(part->headers[i].name) + "=" + part->headers[i].value + "]";
  }
  return out;
}

int begin_part(void *user, const brindle_multipart_part *part, brindle_error *) {
  static_cast<Log *>(user)->events += "begin " + describe_part(part) + "\n";
  return 0;
}
int part_data(void *user, const char *bytes, size_t length, brindle_error *) {
  fuzz::expect(length > 0, "part data is never empty");
  static_cast<Log *>(user)->data.append(bytes, length);
  return 0;
}
int end_part(void *user, const brindle_multipart_part *part, brindle_error *) {
  Log *log = static_cast<Log *>(user);
  log->events += "end " + describe_part(part) + "\n";
  log->data += "|end|";
  return 0;
}

struct Outcome {
  Log log;
  std::string result;
};

Outcome run(const char *content_type, const char *body, size_t size, fuzz::Slicer *slicer) {
  Outcome out;
  brindle_error error;
  brindle_error_init(&error);
  brindle_multipart *parser = brindle_multipart_open(content_type, nullptr, &error);
  fuzz::expect(parser != nullptr, "open multipart parser", fuzz::describe(error));
  const brindle_multipart_callbacks callbacks = {begin_part, part_data, end_part};
  brindle_status status = BRINDLE_OK;
  size_t pos = 0;
  do {
    const size_t n = slicer != nullptr ? slicer->next(size - pos) : size - pos;
    status = brindle_multipart_push(parser, body + pos, n, &callbacks, &out.log, &error);
    pos += n;
    // Bytes after the closing delimiter are ignored within one push; a later push is refused.
    // Stopping there is what a caller that sliced the body would see as the same end.
    if (status != BRINDLE_OK &&
        std::string(error.message) == "multipart parser is already finished") {
      status = BRINDLE_OK;
      brindle_error_init(&error);
      break;
    }
  } while (status == BRINDLE_OK && pos < size);
  std::string push_result = "push=" + std::to_string(status) + " " + fuzz::describe(error);
  if (status == BRINDLE_OK) {
    brindle_error_init(&error);
    status = brindle_multipart_finish(parser, &error);
    push_result += " finish=" + std::to_string(status) + " " + fuzz::describe(error);
  }
  out.result = push_result;
  brindle_multipart_close(parser);
  return out;
}

// With the parser's allocations failing part way, the body fails with exactly that, and closing
// the parser frees everything.
void run_with_budget(const char *content_type, const char *body, size_t size, int allowed) {
  fuzz::Budget budget{allowed, false};
  const brindle_allocator allocator = budget.allocator();
  brindle_multipart_options options = brindle_default_multipart_options();
  options.allocator = &allocator;
  brindle_error error;
  brindle_error_init(&error);
  brindle_multipart *parser = brindle_multipart_open(content_type, &options, &error);
  if (parser == nullptr) {
    fuzz::expect(budget.hit && error.code == BRINDLE_ALLOCATION_FAILED, "open fails for memory",
                 fuzz::describe(error));
    return;
  }
  const brindle_multipart_callbacks callbacks = {begin_part, part_data, end_part};
  Log log;
  const brindle_status status =
      brindle_multipart_push(parser, body, size, &callbacks, &log, &error);
  if (budget.hit) fuzz::expect(status != BRINDLE_OK, "a failed allocation fails the push");
  if (std::string(error.message).find("allocate") != std::string::npos) {
    fuzz::expect(status == BRINDLE_ALLOCATION_FAILED, "allocation failure status",
                 fuzz::describe(error));
  }
  brindle_multipart_close(parser);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const bool quoted = size > 0 && (data[0] & 4u) != 0;
  const char *content_type =
      quoted ? "multipart/mixed; boundary=\"a b=c\"" : "multipart/form-data; boundary=frontier";
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const char *body = reinterpret_cast<const char *>(data);
  const Outcome whole = run(content_type, body, size, nullptr);
  const Outcome sliced = run(content_type, body, size, &slicer);
  fuzz::expect_same("multipart result", whole.result, sliced.result);
  run_with_budget(content_type, body, size, static_cast<int>(size % 5));
  fuzz::expect_same("multipart parts", whole.log.events, sliced.log.events);
  // Body bytes of a failed body may stop at a slice boundary; a complete body must agree.
  if (whole.result.find("finish=0") != std::string::npos) {
    fuzz::expect_same("multipart body bytes", whole.log.data, sliced.log.data);
  }
  return 0;
}
