// The error record a JSON value member's visitor callbacks write into: every callback finds it
// empty, whatever an earlier callback left in it, and only a failing callback's own message or
// the fallback message reaches the parse's error record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brindle.h"

namespace {

struct Holder {
  brindle_json_value value;
};

const brindle_field kHolderFields[] = {BRINDLE_DECL_JSON_VALUE(Holder, value, "value", 0)};
const brindle_map kHolderMap = BRINDLE_MAP("holder_json", Holder, kHolderFields);

// Scribbles into the record on every event (returning OK), checks that each event found the
// record empty, and fails at the chosen number with or without a message of its own.
struct Scribbler {
  int numbers = 0;
  int fail_at = -1;
  bool fail_with_message = false;
  int dirty_seen = 0;  // events that found a non-empty record
};

bool record_is_empty(const brindle_error *error) {
  static const brindle_error empty{};
  return std::memcmp(error, &empty, sizeof(empty)) == 0;
}

brindle_status scribble(Scribbler *s, brindle_error *error) {
  if (!record_is_empty(error)) ++s->dirty_seen;
  error->code = BRINDLE_IO_ERROR;
  error->offset = 99;
  error->system_errno = 5;
  std::snprintf(error->message, sizeof(error->message), "left behind");
  error->message[100] = 'x';  // beyond the terminator as well
  error->message[0] = '\0';   // an empty message with dirt after it
  error->message[150] = 'y';
  return BRINDLE_OK;
}

brindle_status on_event(void *user, brindle_error *error) {
  return scribble(static_cast<Scribbler *>(user), error);
}

brindle_status on_chunk(void *user, const char *, size_t, brindle_error *error) {
  return scribble(static_cast<Scribbler *>(user), error);
}

brindle_status on_number_end(void *user, brindle_error *error) {
  auto *s = static_cast<Scribbler *>(user);
  if (!record_is_empty(error)) ++s->dirty_seen;
  if (s->numbers++ == s->fail_at) {
    if (s->fail_with_message) {
      std::snprintf(error->message, sizeof(error->message), "number %d refused", s->fail_at);
    }
    return BRINDLE_CALLBACK_FAILED;
  }
  return scribble(s, error);
}

brindle_status on_boolean(void *user, int32_t, brindle_error *error) {
  return scribble(static_cast<Scribbler *>(user), error);
}

brindle_value_visitor scribbling_visitor() {
  brindle_value_visitor visitor = brindle_default_value_visitor();
  visitor.object_begin = on_event;
  visitor.object_end = on_event;
  visitor.array_begin = on_event;
  visitor.array_end = on_event;
  visitor.key_begin = on_event;
  visitor.key_chunk = on_chunk;
  visitor.key_end = on_event;
  visitor.string_begin = on_event;
  visitor.string_chunk = on_chunk;
  visitor.string_end = on_event;
  visitor.number_begin = on_event;
  visitor.number_chunk = on_chunk;
  visitor.number_end = on_number_end;
  visitor.boolean = on_boolean;
  visitor.null_value = on_event;
  return visitor;
}

brindle_status parse_with(Scribbler *s, const std::string &json, size_t chunk,
                          brindle_error *error) {
  static const brindle_value_visitor visitor = scribbling_visitor();
  Holder holder{};
  brindle_init(&kHolderMap, &holder);
  EXPECT_EQ(brindle_json_value_set_parse_visitor(&holder.value, &visitor, s, nullptr, nullptr),
            BRINDLE_OK);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  brindle_curl_parse adapter;
  EXPECT_EQ(brindle_curl_parse_init(&adapter, &kHolderMap, &holder, &options), BRINDLE_OK);
  brindle_status status = BRINDLE_OK;
  for (size_t i = 0; i < json.size() && status == BRINDLE_OK; i += chunk) {
    const size_t n = json.size() - i < chunk ? json.size() - i : chunk;
    if (brindle_curl_write_callback(const_cast<char *>(json.data() + i), 1, n, &adapter) != n) {
      status = static_cast<brindle_status>(adapter.error.code);
    }
  }
  if (status == BRINDLE_OK) status = brindle_curl_parse_finish(&adapter);
  *error = adapter.error;
  brindle_curl_parse_cleanup(&adapter);
  brindle_cleanup(&kHolderMap, &holder);
  return status;
}

const char kDocument[] =
    R"({"value":{"a":[1,-2.5e3,true,"s\u00e9",null,{"b":[[7,8],[9]]}],"c":0}})";

TEST(VisitorRecord, EveryCallbackFindsTheRecordEmpty) {
  for (size_t chunk : {size_t{1}, size_t{3}, sizeof(kDocument)}) {
    Scribbler s;
    brindle_error error;
    EXPECT_EQ(parse_with(&s, kDocument, chunk, &error), BRINDLE_OK) << error.message;
    EXPECT_EQ(s.numbers, 6);
    EXPECT_EQ(s.dirty_seen, 0) << "chunk " << chunk;
  }
}

TEST(VisitorRecord, AFailureWithoutItsOwnMessageGetsTheFallbackNotEarlierScribbles) {
  for (size_t chunk : {size_t{1}, sizeof(kDocument)}) {
    Scribbler s;
    s.fail_at = 3;
    brindle_error error;
    EXPECT_EQ(parse_with(&s, kDocument, chunk, &error), BRINDLE_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "JSON value visitor callback failed");
    EXPECT_EQ(error.system_errno, 0);
    EXPECT_EQ(s.dirty_seen, 0);
  }
}

TEST(VisitorRecord, AFailureKeepsItsOwnMessage) {
  Scribbler s;
  s.fail_at = 1;
  s.fail_with_message = true;
  brindle_error error;
  EXPECT_EQ(parse_with(&s, kDocument, sizeof(kDocument), &error), BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(error.message, "number 1 refused");
  // The failing number is -2.5e3, which ends at the ',' after it.
  const std::string doc = kDocument;
  EXPECT_EQ(error.offset, doc.find("-2.5e3") + 6 + 1);
}

}  // namespace
