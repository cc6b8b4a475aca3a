// The re-emitting value reader: compact and pretty output, re-escaping, limits, grammar errors
// and sink behaviour.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::PieceReader;
using values_test::StringSink;

struct Emitted {
  brindle_status status;
  std::string text;
  std::string message;
};

Emitted emit(const std::string &json, int pretty = 0, size_t depth = 0, size_t max_total = 0,
             size_t max_depth = 0, size_t piece = 0, const brindle_allocator *allocator = nullptr) {
  StringSink sink;
  PieceReader reader;
  brindle__json_cursor cursor;
  if (piece == 0) {
    brindle__json_cursor_init_memory(&cursor, json.data(), json.size());
  } else {
    reader.data = json;
    reader.piece = piece;
    brindle__json_cursor_init_reader(&cursor, PieceReader::read, &reader);
  }
  brindle_error error;
  brindle_error_init(&error);
  const brindle_status status =
      brindle__json_parse_value(&cursor, StringSink::write, &sink, pretty, depth, max_total,
                                max_depth, allocator, nullptr, &error);
  return {status, sink.text, error.message};
}

TEST(ValueReaderOutput, CompactDropsAllWhitespace) {
  const Emitted out = emit(
      " {\n \"a\" : [ 1 , 2.50 , -3e+2 ] ,\t\"b\" : { } , \"c\":[ ] ,"
      "\"d\" : true , \"e\":false,\"f\" : null }\n");
  EXPECT_EQ(out.status, BRINDLE_OK);
  EXPECT_EQ(out.text, R"({"a":[1,2.50,-3e+2],"b":{},"c":[],"d":true,"e":false,"f":null})");
}

TEST(ValueReaderOutput, StringsAreDecodedAndEscapedAgain) {
  EXPECT_EQ(emit(R"("\u0041\/\u00e9\n\u001F\"\\\b\f\r\t\u007f")").text,
            "\"A/\xC3\xA9\\n\\u001f\\\"\\\\\\b\\f\\r\\t\x7F\"");
  EXPECT_EQ(emit(R"("\ud83d\ude00")").text, "\"\xF0\x9F\x98\x80\"");
  EXPECT_EQ(emit(R"("\u0000")").text, R"("\u0000")");
  EXPECT_EQ(emit("{\"k\\u0022ey\":\"\xE2\x82\xAC\"}").text, "{\"k\\\"ey\":\"\xE2\x82\xAC\"}");
}

TEST(ValueReaderOutput, PrettyIndentsTwoSpacesPerLevel) {
  const std::string json = R"({"a":[1,2],"b":{},"c":[],"d":{"e":null}})";
  EXPECT_EQ(emit(json, 1).text,
            "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {},\n  \"c\": [],\n  \"d\": {\n"
            "    \"e\": null\n  }\n}");
  // Continuing the caller's depth: members at 2 * (depth + 1), the brace at 2 * depth.
  EXPECT_EQ(emit("[1,{\"x\":2}]", 1, 2).text,
            "[\n      1,\n      {\n        \"x\": 2\n      }\n    ]");
  EXPECT_EQ(emit("  7 ", 1, 5).text, "7");
  EXPECT_EQ(emit("{}", 1, 3).text, "{}");
}

TEST(ValueReaderOutput, DeepIndentationNeedsSeveralPiecesOfSpaces) {
  const std::string json = std::string(40, '[') + "1" + std::string(40, ']');
  const Emitted out = emit(json, 1);
  ASSERT_EQ(out.status, BRINDLE_OK);
  EXPECT_NE(out.text.find("\n" + std::string(80, ' ') + "1\n"), std::string::npos);
  EXPECT_EQ(out.text.substr(out.text.size() - 2), "\n]");
}

TEST(ValueReaderOutput, IndentationThatWouldOverflowFails) {
  const Emitted out = emit("[1]", 1, SIZE_MAX / 2);
  EXPECT_EQ(out.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(out.message, "JSON indentation depth is too large");
  EXPECT_EQ(emit("[1]", 0, SIZE_MAX / 2).status, BRINDLE_OK);  // compact output has none
}

TEST(ValueReaderOutput, SameOutputWhateverTheReadBlocks) {
  const std::string documents[] = {
      R"( {"a" : [1, 22.5e-3, "x\u00e9y"], "bb": {"c": [true, false, null]}} )",
      "\"" + std::string(9000, 'z') + "\\n" + std::string(9000, 'y') + "\"",
      "[" + std::string(300, '1') + "]",
  };
  for (const std::string &json : documents) {
    for (int pretty : {0, 1}) {
      const Emitted whole = emit(json, pretty);
      ASSERT_EQ(whole.status, BRINDLE_OK);
      for (size_t piece : {1, 3, 4096}) {
        const Emitted pieces = emit(json, pretty, 0, 0, 0, piece);
        EXPECT_EQ(pieces.status, BRINDLE_OK);
        EXPECT_EQ(pieces.text, whole.text) << piece;
      }
    }
  }
}

TEST(ValueReaderOutput, OutputIsGatheredIntoFewSinkCalls) {
  std::string json = "[";
  for (int i = 0; i < 300; ++i)
    json += (i ? ",\"s\"" : "\"s\"");
  json += "]";
  StringSink sink;
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, json.data(), json.size());
  ASSERT_EQ(brindle__json_parse_value(&cursor, StringSink::write, &sink, 0, 0, 0, 0, nullptr,
                                      nullptr, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(sink.text, json);
  EXPECT_EQ(sink.calls, 1u);
}

TEST(ValueReaderErrors, GrammarMessages) {
  const struct {
    const char *json;
    const char *message;
  } cases[] = {
      {"", "expected JSON value"},
      {"{\"a\" 1}", "expected ':' after object key"},
      {"{\"a\":1,}", "expected object key"},
      {"[1 2]", "expected ',' in array"},
      {"{\"a\":1 2}", "expected ',' in object"},
      {"{\"a\":1", "unterminated JSON object"},
      {"[1", "unterminated JSON array"},
      {"\"ab", "unterminated JSON string"},
      {"\"\t\"", "control character in string"},
      {"\"\\q\"", "invalid string escape"},
      {"\"\\u00x0\"", "invalid unicode escape"},
      {"\"\\u00", "unterminated escape sequence"},
      {"nulL", "invalid JSON literal"},
      {"1.e5", "invalid JSON number"},
      {"1 2", "embedded JSON must contain exactly one value"},
      {"[1] ,", "embedded JSON must contain exactly one value"},
  };
  for (const auto &c : cases) {
    for (size_t piece : {0, 1}) {
      const Emitted out = emit(c.json, 0, 0, 0, 0, piece);
      EXPECT_EQ(out.status, BRINDLE_INVALID_JSON) << c.json;
      EXPECT_EQ(out.message, c.message) << c.json;
    }
  }
}

TEST(ValueReaderErrors, DeepNestingIsBoundedByTheDepthLimit) {
  const std::string deep(100000, '[');
  Emitted out = emit(deep);
  EXPECT_EQ(out.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(out.message, "JSON value nesting exceeds maximum depth");
  out = emit(deep, 1, 0, 0, 0, 4096);
  EXPECT_EQ(out.message, "JSON value nesting exceeds maximum depth");
  // 0 means the default of 64 levels.
  EXPECT_EQ(emit(std::string(64, '[') + std::string(64, ']')).status, BRINDLE_OK);
  EXPECT_EQ(emit(std::string(65, '[') + std::string(65, ']')).status, BRINDLE_OVERFLOW);
  EXPECT_EQ(emit(std::string(65, '[') + std::string(65, ']'), 0, 0, 0, 65).status, BRINDLE_OK);
}

TEST(ValueReaderErrors, TotalLimitAndNumberLength) {
  Emitted out = emit("[1,22]", 0, 0, 5);
  EXPECT_EQ(out.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(out.message, "JSON value exceeds maximum total byte limit");
  EXPECT_EQ(emit("[1,22]", 0, 0, 6).text, "[1,22]");
  // Numbers are not held to the visitor's 256 bytes, but cannot grow without bound either.
  const std::string long_number(10000, '4');
  EXPECT_EQ(emit(long_number).text, long_number);
  EXPECT_EQ(emit(long_number, 0, 0, 0, 0, 100).text, long_number);
  out = emit(std::string(70000, '4'), 0, 0, 0, 0, 4096);
  EXPECT_EQ(out.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(out.message, "JSON number token too long");
}

TEST(ValueReaderErrors, NumberBufferAllocationFailure) {
  stavo_test::TestAllocator allocator;
  allocator.fail_from(1);
  const Emitted out = emit(std::string(1000, '4'), 0, 0, 0, 0, 64, allocator.get());
  EXPECT_EQ(out.status, BRINDLE_ALLOCATION_FAILED);
  EXPECT_EQ(out.message, "failed to allocate JSON number buffer");
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(ValueReaderSink, AStoppingSinkEndsTheOutputWithItsStatus) {
  StringSink sink;
  sink.fail_at = 1;
  sink.fail_status = BRINDLE_IO_ERROR;
  brindle__json_cursor cursor;
  const std::string json = "[1,2,3]";
  brindle__json_cursor_init_memory(&cursor, json.data(), json.size());
  brindle_error error;
  brindle_error_init(&error);
  EXPECT_EQ(brindle__json_parse_value(&cursor, StringSink::write, &sink, 0, 0, 0, 0, nullptr,
                                      nullptr, &error),
            BRINDLE_IO_ERROR);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "sink failed");
}

TEST(ValueReaderSink, TruncatingSinkLetsTheOutputGoOn) {
  struct Truncating {
    std::string text;
    static brindle_status write(void *user, const char *bytes, size_t length, brindle_error *) {
      static_cast<Truncating *>(user)->text.append(bytes, length);
      return BRINDLE_TRUNCATED;
    }
  } sink;
  const std::string json = "[1, \"" + std::string(5000, 'w') + "\"]";
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, json.data(), json.size());
  brindle_error error;
  brindle_error_init(&error);
  EXPECT_EQ(brindle__json_parse_value(&cursor, Truncating::write, &sink, 0, 0, 0, 0, nullptr,
                                      nullptr, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(sink.text, "[1,\"" + std::string(5000, 'w') + "\"]");
  EXPECT_EQ(error.truncated, 1);
}

}  // namespace
