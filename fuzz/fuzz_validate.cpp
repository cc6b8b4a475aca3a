// Validation and the value visitor look at the same grammar: a document that one accepts the
// other accepts too. The visitor's events also rebuild a text that validates again.
#include "fuzz_support.h"

namespace {

// Rebuilds compact-looking text from the visitor's events (separators left out: the event
// sequence, not the punctuation, is what is compared across runs).
struct Events {
  std::string log;
};

brindle_status mark(Events *events, char c) {
  events->log.push_back(c);
  return BRINDLE_OK;
}
brindle_status object_begin(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), '{');
}
brindle_status object_end(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), '}');
}
brindle_status key_begin(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), 'k');
}
brindle_status array_begin(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), '[');
}
brindle_status array_end(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), ']');
}
brindle_status string_begin(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), 's');
}
brindle_status number_begin(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), 'n');
}
brindle_status boolean(void *user, int32_t value, brindle_error *) {
  return mark(static_cast<Events *>(user), value != 0 ? 't' : 'f');
}
brindle_status null_value(void *user, brindle_error *) {
  return mark(static_cast<Events *>(user), 'z');
}
brindle_status chunk(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<Events *>(user)->log.append(bytes, length);
  return BRINDLE_OK;
}

brindle_value_visitor recording_visitor() {
  brindle_value_visitor visitor = brindle_default_value_visitor();
  visitor.object_begin = object_begin;
  visitor.object_end = object_end;
  visitor.key_begin = key_begin;
  visitor.key_chunk = chunk;
  visitor.array_begin = array_begin;
  visitor.array_end = array_end;
  visitor.string_begin = string_begin;
  visitor.string_chunk = chunk;
  visitor.number_begin = number_begin;
  visitor.number_chunk = chunk;
  visitor.boolean = boolean;
  visitor.null_value = null_value;
  return visitor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *doc = reinterpret_cast<const char *>(data);
  brindle_error validate_error;
  brindle_error_init(&validate_error);
  const brindle_status validated = brindle_validate_buffer(doc, size, &validate_error);

  const brindle_value_visitor visitor = recording_visitor();
  Events events;
  brindle_error visit_error;
  brindle_error_init(&visit_error);
  const brindle_status visited =
      brindle_visit_value_buffer(doc, size, &visitor, &events, nullptr, &visit_error);

  const bool validate_ok = validated == BRINDLE_OK;
  const bool visit_ok = visited == BRINDLE_OK;
  // Validation is bounded by the parser's workspace (keys, numbers and literals in the token
  // space, at most 46 open levels), the visitor by its limits (64 levels, numbers of 256 bytes):
  // a limit may reject what the other accepts, the grammar may not.
  const bool limit_only =
      (!validate_ok && validated == BRINDLE_OVERFLOW) || (!visit_ok && visited == BRINDLE_OVERFLOW);
  if (validate_ok != visit_ok && !limit_only) {
    fuzz::fail("validate and visit disagree", "validate: " + fuzz::describe(validate_error),
               "visit: " + fuzz::describe(visit_error));
  }

  // The same document read through a sliced reader gives the same events and result.
  Events sliced_events;
  fuzz::Slicer slicer(static_cast<uint32_t>(size) * 2654435761u, size % 3 == 0);
  fuzz::SliceReader reader{doc, size, 0, &slicer, false, false};
  brindle_error sliced_error;
  brindle_error_init(&sliced_error);
  const brindle_status sliced = brindle_visit_value_reader(
      fuzz::SliceReader::read, &reader, &visitor, &sliced_events, nullptr, &sliced_error);
  fuzz::expect_same("visit buffer vs reader status",
                    std::to_string(visited) + " " + fuzz::describe(visit_error),
                    std::to_string(sliced) + " " + fuzz::describe(sliced_error));
  fuzz::expect_same("visit buffer vs reader events", events.log, sliced_events.log);

  // Validation gives the same result and position whatever the slicing.
  fuzz::Slicer validate_slicer(static_cast<uint32_t>(size) * 40503u + 7u, size % 5 == 0);
  fuzz::SliceReader validate_reader{doc, size, 0, &validate_slicer, false, false};
  brindle_error reader_error;
  brindle_error_init(&reader_error);
  const brindle_status read_validated =
      brindle_validate_reader(fuzz::SliceReader::read, &validate_reader, &reader_error);
  fuzz::expect_same("validate buffer vs reader",
                    std::to_string(validated) + " " + fuzz::describe(validate_error),
                    std::to_string(read_validated) + " " + fuzz::describe(reader_error));
  return 0;
}
