// The JSON pull reader on its own: the serializer's re-emission byte for byte whatever the
// input and output piece sizes, and every grammar and limit failure with its message.
#include <gtest/gtest.h>

#include "json/core/values_internal.h"
#include "json/stream/json_pull.h"
#include "serial_support.h"
#include "test_allocator.h"

namespace {

struct PieceReader {
  std::string text;
  size_t position = 0;
  size_t piece = 1;
  int fail_at = -1;  // fail the read that starts at this offset
};

brindle_read_result read_pieces(void *user, char *buffer, size_t capacity) {
  auto *reader = static_cast<PieceReader *>(user);
  brindle_read_result result{};
  if (reader->fail_at >= 0 && reader->position >= static_cast<size_t>(reader->fail_at)) {
    result.error = 77;
    return result;
  }
  const size_t n = std::min({capacity, reader->piece, reader->text.size() - reader->position});
  std::memcpy(buffer, reader->text.data() + reader->position, n);
  reader->position += n;
  result.bytes = n;
  result.eof = reader->position == reader->text.size() ? 1 : 0;
  return result;
}

struct Pulled {
  std::string text;
  brindle_status status = BRINDLE_OK;
  std::string message;
  int32_t system_errno = 0;
};

Pulled pull(brindle_json_value *value, bool pretty, size_t depth, size_t capacity) {
  auto *reader = new brindle__json_pull;
  Pulled out;
  out.status = brindle__json_pull_open(reader, value, pretty, depth, nullptr);
  std::vector<char> buffer(capacity);
  bool done = false;
  while (out.status == BRINDLE_OK && !done) {
    size_t written = 0;
    out.status = brindle__json_pull_read(reader, buffer.data(), capacity, &written, &done);
    out.text.append(buffer.data(), written);
    if (out.status == BRINDLE_OK && !done && written == 0) {
      out.status = BRINDLE_INTERNAL_ERROR;  // no progress
      out.message = "no progress";
      break;
    }
  }
  if (out.message.empty()) out.message = reader->error.message;
  out.system_errno = reader->error.system_errno;
  brindle__json_pull_close(reader);
  delete reader;
  return out;
}

struct ReaderValue {
  brindle_json_value value;
  PieceReader reader;
  explicit ReaderValue(const std::string &text, size_t piece = 1) {
    reader.text = text;
    reader.piece = piece;
    brindle_json_value_init(&value);
    brindle_json_value_set_reader(&value, read_pieces, &reader, nullptr);
  }
  ~ReaderValue() { brindle_json_value_cleanup(&value); }
  void rewind() { reader.position = 0; }
};

std::string transcoded(ReaderValue &value, bool pretty, size_t depth, brindle_status *status) {
  value.rewind();
  serial_test::Collected collected;
  *status = brindle__json_transcode(&value.value, serial_test::collect, &collected, pretty ? 1 : 0,
                                    depth, nullptr);
  value.rewind();
  return collected.text;
}

const char *const kDocuments[] = {
    "0",
    "-0.5e-7",
    " true ",
    "null",
    "\"\"",
    "\"\\u0000\\u001F\\u007f\\u00e9\\u20ac\\ud834\\udd1e\\/\\b\\f\\n\\r\\t\\\"\\\\ plain\"",
    "\"raw \xc3\xa9 \x7f bytes\"",
    "{}",
    "[]",
    "[[], {}, [[]], {\"a\": {}}]",
    " {\n \"k\" : [ 1 , 2.5 , -3E+2 , true , false , null ] ,\r\n\t\"\" : { \"x\\ty\" : \"z\" } } "
    "\n",
    "[{\"a\":[{\"b\":[{\"c\":1234567890123456789012345678901234567890}]}]}]",
};

TEST(JsonPull, SameTextAsTheSerializersReEmission) {
  for (const char *document : kDocuments) {
    for (bool pretty : {false, true}) {
      for (size_t depth : {size_t{0}, size_t{3}}) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
          ReaderValue value(document, piece);
          brindle_status status = BRINDLE_OK;
          const std::string expected = transcoded(value, pretty, depth, &status);
          ASSERT_EQ(status, BRINDLE_OK) << document;
          for (size_t capacity : {size_t{1}, size_t{2}, size_t{5}, size_t{4096}}) {
            value.rewind();
            const Pulled pulled = pull(&value.value, pretty, depth, capacity);
            EXPECT_EQ(pulled.status, BRINDLE_OK) << document << ": " << pulled.message;
            EXPECT_EQ(pulled.text, expected)
                << document << " pretty " << pretty << " piece " << piece << " cap " << capacity;
          }
        }
      }
    }
  }
}

TEST(JsonPull, PrettyLayoutContinuesTheGivenDepth) {
  ReaderValue value("{\"a\":[1,{}],\"b\":{\"c\":null}}", 4096);
  EXPECT_EQ(pull(&value.value, true, 1, 64).text,
            "{\n    \"a\": [\n      1,\n      {}\n    ],\n    \"b\": {\n      \"c\": null\n"
            "    }\n  }");
}

struct Failure {
  const char *text;
  brindle_status status;
  const char *message;
};

TEST(JsonPull, GrammarFailures) {
  const Failure failures[] = {
      {"", BRINDLE_INVALID_JSON, "expected JSON value"},
      {"  ", BRINDLE_INVALID_JSON, "expected JSON value"},
      {"]", BRINDLE_INVALID_JSON, "expected JSON value"},
      {"[1,]", BRINDLE_INVALID_JSON, "expected JSON value"},
      {"tru", BRINDLE_INVALID_JSON, "invalid JSON literal"},
      {"nulL", BRINDLE_INVALID_JSON, "invalid JSON literal"},
      {"{\"a\" 1}", BRINDLE_INVALID_JSON, "expected ':' after object key"},
      {"{\"a\":1 \"b\":2}", BRINDLE_INVALID_JSON, "expected ',' or '}' in object"},
      {"[1 2]", BRINDLE_INVALID_JSON, "expected ',' or ']' in array"},
      {"{\"a\":1", BRINDLE_INVALID_JSON, "unterminated JSON object"},
      {"{\"a\"", BRINDLE_INVALID_JSON, "unterminated JSON object"},
      {"{", BRINDLE_INVALID_JSON, "unterminated JSON object"},
      {"[1,", BRINDLE_INVALID_JSON, "unterminated JSON array"},
      {"[", BRINDLE_INVALID_JSON, "unterminated JSON array"},
      {"{1:2}", BRINDLE_INVALID_JSON, "expected object key"},
      {"{\"a\":1,}", BRINDLE_INVALID_JSON, "expected object key"},
      {"\"abc", BRINDLE_INVALID_JSON, "unterminated JSON string"},
      {"\"\\", BRINDLE_INVALID_JSON, "unterminated escape sequence"},
      {"\"\\u12", BRINDLE_INVALID_JSON, "unterminated escape sequence"},
      {"\"a\x01\"", BRINDLE_INVALID_JSON, "control character in string"},
      {"\"\\x\"", BRINDLE_INVALID_JSON, "invalid string escape"},
      {"\"\\u12g4\"", BRINDLE_INVALID_JSON, "invalid unicode escape"},
      {"\"\\ud800\\u0041\"", BRINDLE_INVALID_JSON, "invalid unicode surrogate pair"},
      {"\"\\ud800x\"", BRINDLE_INVALID_JSON, "invalid unicode surrogate pair"},
      {"\"\\udc00\"", BRINDLE_INVALID_JSON, "unexpected low surrogate"},
      {"-", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"01", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"1.", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"1e", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"1.e5", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"-a", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"[1-2]", BRINDLE_INVALID_JSON, "invalid JSON number"},
      {"1 2", BRINDLE_INVALID_JSON, "JSON value must contain exactly one value"},
      {"{} x", BRINDLE_INVALID_JSON, "JSON value must contain exactly one value"},
  };
  for (const Failure &failure : failures) {
    for (size_t piece : {size_t{1}, size_t{4096}}) {
      ReaderValue value(failure.text, piece);
      const Pulled pulled = pull(&value.value, false, 0, 3);
      EXPECT_EQ(pulled.status, failure.status) << failure.text;
      EXPECT_EQ(pulled.message, failure.message) << failure.text;
    }
  }
}

TEST(JsonPull, LimitsOfTheValue) {
  const std::string long_number(300, '7');
  {
    ReaderValue value(long_number);
    const Pulled pulled = pull(&value.value, false, 0, 64);
    EXPECT_EQ(pulled.status, BRINDLE_OVERFLOW);
    EXPECT_EQ(pulled.message, "JSON number exceeds maximum byte limit");
  }
  {
    ReaderValue value(long_number, 13);
    value.value.limits.max_number_bytes = 400;
    EXPECT_EQ(pull(&value.value, false, 0, 64).text, long_number);
  }
  {
    ReaderValue value("[1, 2]");  // six bytes
    value.value.limits.max_total_bytes = 5;
    const Pulled pulled = pull(&value.value, false, 0, 64);
    EXPECT_EQ(pulled.status, BRINDLE_OVERFLOW);
    EXPECT_EQ(pulled.message, "JSON value exceeds maximum total byte limit");
    value.rewind();
    value.value.limits.max_total_bytes = 6;
    EXPECT_EQ(pull(&value.value, false, 0, 64).text, "[1,2]");
  }
  {
    // Nesting: the default depth of 64 passes at 64 levels and fails at 65, as in the
    // serializer's re-emission; deeper limits grow the frame stack.
    const std::string deep64 = std::string(64, '[') + std::string(64, ']');
    const std::string deep65 = std::string(65, '[') + std::string(65, ']');
    ReaderValue ok(deep64, 4096);
    EXPECT_EQ(pull(&ok.value, false, 0, 4096).text, deep64);
    ReaderValue too_deep(deep65, 4096);
    const Pulled pulled = pull(&too_deep.value, false, 0, 4096);
    EXPECT_EQ(pulled.status, BRINDLE_OVERFLOW);
    EXPECT_EQ(pulled.message, "JSON value nesting exceeds maximum depth");
    brindle_status status = BRINDLE_OK;
    transcoded(too_deep, false, 0, &status);
    EXPECT_EQ(status, BRINDLE_OVERFLOW);
    const std::string deep1000 = std::string(1000, '[') + std::string(1000, ']');
    ReaderValue deep(deep1000, 4096);
    deep.value.limits.max_depth = 1000;
    EXPECT_EQ(pull(&deep.value, true, 0, 4096).status, BRINDLE_OK);
  }
}

TEST(JsonPull, ReaderFailuresUninitialisedStateAndKindNone) {
  ReaderValue value("[1,2,3]", 2);
  value.reader.fail_at = 4;
  const Pulled pulled = pull(&value.value, false, 0, 64);
  EXPECT_EQ(pulled.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(pulled.message, "reader callback failed");
  EXPECT_EQ(pulled.system_errno, 77);

  brindle__json_pull reader{};
  char buffer[4];
  size_t written = 0;
  bool done = false;
  EXPECT_EQ(brindle__json_pull_read(&reader, buffer, sizeof(buffer), &written, &done),
            BRINDLE_INTERNAL_ERROR);
  EXPECT_STREQ(reader.error.message, "JSON pull state is not initialized");

  brindle_json_value none;
  brindle_json_value_init(&none);
  EXPECT_EQ(pull(&none, true, 2, 1).text, "null");
}

TEST(JsonPull, FrameStackAllocationFailure) {
  stavo_test::TestAllocator allocator;
  ReaderValue value(std::string(40, '[') + std::string(40, ']'), 4096);
  auto *reader = new brindle__json_pull;
  ASSERT_EQ(brindle__json_pull_open(reader, &value.value, false, 0, allocator.get()), BRINDLE_OK);
  allocator.fail_from(2);  // the first 16 levels fit, growing to 32 fails
  char buffer[128];
  size_t written = 0;
  bool done = false;
  EXPECT_EQ(brindle__json_pull_read(reader, buffer, sizeof(buffer), &written, &done),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(reader->error.message, "failed to grow JSON pull frame stack");
  brindle__json_pull_close(reader);
  delete reader;
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

}  // namespace
