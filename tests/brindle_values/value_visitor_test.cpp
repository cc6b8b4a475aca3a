// The value visitor: event order, chunking, limits, grammar errors, callbacks that stop the walk,
// and every kind of input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::PieceReader;
using values_test::Recorder;

struct Outcome {
  brindle_status status;
  std::string message;
  std::string events;
};

Outcome visit(const std::string &json, const brindle_value_limits *limits = nullptr) {
  Recorder recorder;
  brindle_error error;
  const brindle_status status = brindle_visit_value_buffer(
      json.data(), json.size(), Recorder::visitor(), &recorder, limits, &error);
  EXPECT_EQ(error.code, status);
  return {status, error.message, recorder.joined()};
}

// Adjacent chunks of the same kind merged, so that walks with different chunk boundaries
// compare equal.
std::string merged(const Recorder &recorder) {
  std::vector<std::string> out;
  for (const auto &event : recorder.events) {
    const bool chunk = event.size() >= 2 && event[1] == ':';
    if (chunk && !out.empty() && out.back().size() >= 2 && out.back()[1] == ':' &&
        out.back()[0] == event[0]) {
      out.back() += event.substr(2);
    } else {
      out.push_back(event);
    }
  }
  std::string joined;
  for (const auto &event : out)
    joined += event + " ";
  return joined;
}

Outcome visit_in_pieces(const std::string &json, size_t piece,
                        const brindle_value_limits *limits = nullptr) {
  PieceReader reader;
  reader.data = json;
  reader.piece = piece;
  Recorder recorder;
  brindle_error error;
  const brindle_status status = brindle_visit_value_reader(
      PieceReader::read, &reader, Recorder::visitor(), &recorder, limits, &error);
  return {status, error.message, merged(recorder)};
}

brindle_value_limits limits_with(size_t depth, size_t string, size_t number, size_t key,
                                 size_t total) {
  return brindle_value_limits{depth, string, number, key, total};
}

TEST(ValueVisitorEvents, ObjectWithArrayAndNullInDocumentOrder) {
  const Outcome outcome = visit(R"({"a":[1,true],"b":null})");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(outcome.events, "{ K< k:a K> [ N< n:1 N> true ] K< k:b K> null }");
}

TEST(ValueVisitorEvents, EveryScalarIsAValidRoot) {
  EXPECT_EQ(visit("-12.5e+3").events, "N< n:-12.5e+3 N>");
  EXPECT_EQ(visit("\"x\"").events, "S< s:x S>");
  EXPECT_EQ(visit(" \t\r\ntrue \n").events, "true");
  EXPECT_EQ(visit("false").events, "false");
  EXPECT_EQ(visit("null").events, "null");
  EXPECT_EQ(visit("\"\"").events, "S< S>");
  EXPECT_EQ(visit("{}").events, "{ }");
  EXPECT_EQ(visit("[]").events, "[ ]");
  EXPECT_EQ(visit("{\"\":0}").events, "{ K< K> N< n:0 N> }");
}

TEST(ValueVisitorEvents, EscapesAreDeliveredAsTheirOwnChunks) {
  EXPECT_EQ(visit(R"("ab\u00e9cd")").events, "S< s:ab s:\xC3\xA9 s:cd S>");
  EXPECT_EQ(visit(R"("a\nb\"\\\/")").events, "S< s:a s:\n s:b s:\" s:\\ s:/ S>");
  EXPECT_EQ(visit(R"("\ud83d\ude00")").events, "S< s:\xF0\x9F\x98\x80 S>");
  EXPECT_EQ(visit(R"("\u0041\u20AC")").events, "S< s:A s:\xE2\x82\xAC S>");
  // An escaped NUL is a one-byte chunk holding 0.
  Recorder recorder;
  ASSERT_EQ(
      brindle_visit_value_cstr(R"("\u0000")", Recorder::visitor(), &recorder, nullptr, nullptr),
      BRINDLE_OK);
  ASSERT_EQ(recorder.events.size(), 3u);
  EXPECT_EQ(recorder.events[1], std::string("s:\0", 3));
  // Keys are chunked the same way.
  EXPECT_EQ(visit(R"({"k\tx":1})").events, "{ K< k:k k:\t k:x K> N< n:1 N> }");
}

TEST(ValueVisitorEvents, BytesAboveAsciiPassUnchecked) {
  EXPECT_EQ(visit("\"\xFF\xC3\x28\"").events, "S< s:\xFF\xC3( S>");
}

TEST(ValueVisitorEvents, AllNullCallbacksStillValidate) {
  const brindle_value_visitor none{};
  brindle_error error;
  EXPECT_EQ(
      brindle_visit_value_cstr(R"({"a":[1,"x",{"b":null}]})", &none, nullptr, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(brindle_visit_value_cstr(R"({"a":[1,"x",{"b":nul}]})", &none, nullptr, nullptr, &error),
            BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "invalid JSON literal");
}

TEST(ValueVisitorEvents, SameEventsWhateverTheChunkBoundaries) {
  const std::vector<std::string> documents = {
      R"({"a":[1,true],"b":null})",
      R"( { "key with spaces" : "value \u00e9\ud83d\ude00 \n end" , "n" : -0.5e-7 } )",
      R"([[[]],{},"",0,false,{"x":{"y":[1,2,3]}}])",
      "\"" + std::string(5000, 'p') + "\\t" + std::string(5000, 'q') + "\"",
      "12345678901234567890",
  };
  for (const auto &document : documents) {
    Recorder whole;
    ASSERT_EQ(brindle_visit_value_buffer(document.data(), document.size(), Recorder::visitor(),
                                         &whole, nullptr, nullptr),
              BRINDLE_OK)
        << document;
    for (size_t piece : {1, 2, 3, 7, 4096}) {
      const Outcome outcome = visit_in_pieces(document, piece);
      EXPECT_EQ(outcome.status, BRINDLE_OK) << document << " piece " << piece;
      EXPECT_EQ(outcome.events, merged(whole)) << document << " piece " << piece;
    }
  }
}

TEST(ValueVisitorLimits, DepthFailsAfterTheOuterLevelsWereDelivered) {
  const brindle_value_limits limits = limits_with(2, 0, 0, 0, 0);
  const Outcome outcome = visit(R"({"a":[{}]})", &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON value nesting exceeds maximum depth");
  EXPECT_EQ(outcome.events, "{ K< k:a K> [");
  EXPECT_EQ(visit(R"({"a":[1]})", &limits).status, BRINDLE_OK);
}

TEST(ValueVisitorLimits, StringAndKeyLimitsCountDecodedBytes) {
  const std::string ten = "\"0123456789\"";
  brindle_value_limits limits = limits_with(0, 9, 0, 0, 0);
  Outcome outcome = visit(ten, &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON string exceeds maximum decoded byte limit");
  limits.max_string_bytes = 10;
  EXPECT_EQ(visit(ten, &limits).status, BRINDLE_OK);

  // A key is held to max_key_bytes, not to max_string_bytes.
  const std::string keyed = "{" + ten + ":1}";
  limits = limits_with(0, 9, 0, 0, 0);
  EXPECT_EQ(visit(keyed, &limits).status, BRINDLE_OK);
  limits = limits_with(0, 0, 0, 9, 0);
  outcome = visit(keyed, &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON object key exceeds maximum decoded byte limit");

  // Reaching the limit at an escape has its own message; "\u00e9" decodes to 2 bytes.
  limits = limits_with(0, 10, 0, 0, 0);
  outcome = visit(R"("012345678\u00e9")", &limits);
  EXPECT_EQ(outcome.message, "decoded JSON text exceeds limit");
  limits.max_string_bytes = 11;
  EXPECT_EQ(visit(R"("012345678\u00e9")", &limits).status, BRINDLE_OK);
}

TEST(ValueVisitorLimits, LongNumbersNeedAHigherLimitAndComeInOneChunk) {
  const std::string number = "1" + std::string(299, '0');
  Outcome outcome = visit(number);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON number exceeds maximum byte limit");
  const brindle_value_limits limits = limits_with(0, 0, 400, 0, 0);
  EXPECT_EQ(visit(number, &limits).events, "N< n:" + number + " N>");
  // Across read blocks the number is gathered and still delivered whole.
  for (size_t piece : {1, 7, 100}) {
    outcome = visit_in_pieces("[" + number + "]", piece, &limits);
    EXPECT_EQ(outcome.status, BRINDLE_OK);
    EXPECT_EQ(outcome.events, "[ N< n:" + number + " N> ] ");
  }
  outcome = visit_in_pieces("[" + number + "]", 7);
  EXPECT_EQ(outcome.message, "JSON number exceeds maximum byte limit");
}

TEST(ValueVisitorLimits, ZeroLimitsMeanTheDefaults) {
  const brindle_value_limits zeros = limits_with(0, 0, 0, 0, 0);
  const auto nested = [](size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_EQ(visit(nested(64), &zeros).status, BRINDLE_OK);
  EXPECT_EQ(visit(nested(65), &zeros).status, BRINDLE_OVERFLOW);
  const auto string_of = [](size_t n) { return "\"" + std::string(n, 's') + "\""; };
  EXPECT_EQ(visit(string_of(1048576), &zeros).status, BRINDLE_OK);
  EXPECT_EQ(visit(string_of(1048577), &zeros).status, BRINDLE_OVERFLOW);
  EXPECT_EQ(visit(std::string(256, '7'), &zeros).status, BRINDLE_OK);
  EXPECT_EQ(visit(std::string(257, '7'), &zeros).status, BRINDLE_OVERFLOW);
  EXPECT_EQ(visit("{" + string_of(65536) + ":1}", &zeros).status, BRINDLE_OK);
  EXPECT_EQ(visit("{" + string_of(65537) + ":1}", &zeros).status, BRINDLE_OVERFLOW);
  // No total limit.
  EXPECT_EQ(visit("[" + std::string(3000000, ' ') + "]", &zeros).status, BRINDLE_OK);
  // NULL limits are the same defaults.
  EXPECT_EQ(visit(nested(65)).status, BRINDLE_OVERFLOW);
}

TEST(ValueVisitorLimits, TotalLimitCountsEveryInputByte) {
  brindle_value_limits limits = limits_with(0, 0, 0, 0, 5);
  Outcome outcome = visit("[1,22]", &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON value exceeds maximum total byte limit");
  EXPECT_EQ(visit("[1,2] ", &limits).status, BRINDLE_OVERFLOW);  // whitespace counts too
  EXPECT_EQ(visit("[1,2]", &limits).status, BRINDLE_OK);
  limits.max_total_bytes = 6;
  EXPECT_EQ(visit("[1,22]", &limits).status, BRINDLE_OK);
  for (size_t piece : {1, 2, 5, 6}) {
    limits.max_total_bytes = 5;
    EXPECT_EQ(visit_in_pieces("[1,22]", piece, &limits).message,
              "JSON value exceeds maximum total byte limit")
        << piece;
    limits.max_total_bytes = 6;
    EXPECT_EQ(visit_in_pieces("[1,22]", piece, &limits).status, BRINDLE_OK) << piece;
  }
}

struct GrammarCase {
  const char *json;
  const char *message;
};

TEST(ValueVisitorGrammar, MalformedInputGivesTheMessageForItsFault) {
  const GrammarCase cases[] = {
      {"", "expected JSON value"},
      {"   ", "expected JSON value"},
      {"]", "expected JSON value"},
      {"x", "expected JSON value"},
      {"{", "unterminated JSON object"},
      {"{\"a\"", "unterminated JSON object"},
      {"{\"a\":", "unterminated JSON object"},
      {"{\"a\":1", "unterminated JSON object"},
      {"[", "unterminated JSON array"},
      {"[1,", "unterminated JSON array"},
      {"[[]", "unterminated JSON array"},
      {"{\"a\" 1}", "expected ':' after object key"},
      {"{\"a\":1,}", "expected object key"},
      {"{1:2}", "expected object key"},
      {"{,}", "expected object key"},
      {"[1,]", "expected JSON value"},
      {"[,1]", "expected JSON value"},
      {"[1 2]", "expected ',' in array"},
      {"[1}", "expected ',' in array"},
      {"{\"a\":1 \"b\":2}", "expected ',' in object"},
      {"{\"a\":1]", "expected ',' in object"},
      {"\"abc", "unterminated JSON string"},
      {"\"a\x01\"", "control character in string"},
      {"\"a\nb\"", "control character in string"},
      {"\"\\x\"", "invalid string escape"},
      {"\"\\u12G4\"", "invalid unicode escape"},
      {"\"\\uDC00\"", "invalid unicode escape"},
      {"\"\\uD800\"", "invalid unicode escape"},
      {"\"\\uD800\\n\"", "invalid unicode escape"},
      {"\"\\uD800\\u0041\"", "invalid unicode escape"},
      {"\"\\u12", "unterminated escape sequence"},
      {"\"\\", "unterminated escape sequence"},
      {"\"\\uD800\\", "unterminated escape sequence"},
      {"tru", "invalid JSON literal"},
      {"trux", "invalid JSON literal"},
      {"nul", "invalid JSON literal"},
      {"fals", "invalid JSON literal"},
      {"-", "invalid JSON number"},
      {"01", "invalid JSON number"},
      {"1.", "invalid JSON number"},
      {".5", "expected JSON value"},
      {"1e", "invalid JSON number"},
      {"1e+", "invalid JSON number"},
      {"--1", "invalid JSON number"},
      {"1+2", "invalid JSON number"},
      {"[-]", "invalid JSON number"},
      {"1 2", "visited JSON must contain exactly one value"},
      {"{} x", "visited JSON must contain exactly one value"},
      {"truex", "visited JSON must contain exactly one value"},
  };
  for (const GrammarCase &c : cases) {
    const std::string json = c.json;
    const Outcome whole = visit(json);
    EXPECT_EQ(whole.status, BRINDLE_INVALID_JSON) << json;
    EXPECT_EQ(whole.message, c.message) << json;
    for (size_t piece : {1, 2, 3}) {
      const Outcome pieces = visit_in_pieces(json, piece);
      EXPECT_EQ(pieces.status, BRINDLE_INVALID_JSON) << json << " piece " << piece;
      EXPECT_EQ(pieces.message, c.message) << json << " piece " << piece;
    }
  }
}

TEST(ValueVisitorGrammar, ValidNumbersAndLiteralsInContext) {
  for (const char *json : {"0", "-0", "0.0", "1e5", "1E-5", "1.5e+30", "-123.456", "[0,-1,2.5]",
                           "{\"a\":0}", "[true,false,null]", "\t[ 1 , 2 ]\n"}) {
    EXPECT_EQ(visit(json).status, BRINDLE_OK) << json;
  }
}

// Numbers go to the visitor as written: values beyond either end of the double range are
// neither refused nor rewritten, whether the token arrives whole or in pieces.
TEST(ValueVisitorGrammar, NumbersOutsideTheDoubleRangeAreDeliveredAsWritten) {
  for (const std::string number :
       {"-2.137434449116363827e-308", "1.000000000000000000e-400", "-1e-400", "4.9e-324",
        "2.4703282292062327e-324", "1e-100010", "1e400", "-1.000000000000000000e400"}) {
    const Outcome whole = visit(number);
    EXPECT_EQ(whole.status, BRINDLE_OK) << number << ": " << whole.message;
    EXPECT_EQ(whole.events, "N< n:" + number + " N>") << number;
    for (size_t piece : {1u, 3u, 7u}) {
      const Outcome pieces = visit_in_pieces("[" + number + ",0]", piece);
      EXPECT_EQ(pieces.status, BRINDLE_OK) << number << " piece " << piece;
      EXPECT_EQ(pieces.events, "[ N< n:" + number + " N> N< n:0 N> ] ") << number;
    }
  }
}

TEST(ValueVisitorGrammar, FailureEventsAreNotRetracted) {
  const Outcome outcome = visit(R"([1,{"a":tru}])");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(outcome.events, "[ N< n:1 N> { K< k:a K>");
}

TEST(ValueVisitorCallbacks, AStoppingStatusEndsTheWalkAtOnce) {
  const std::string json = R"({"a":[1,"x"],"b":null})";
  const Outcome full = visit(json);
  const size_t total =
      full.events.empty() ? 0 : std::count(full.events.begin(), full.events.end(), ' ') + 1;
  for (size_t stop = 1; stop <= total; ++stop) {
    Recorder recorder;
    recorder.stop_at = stop;
    recorder.stop_status = BRINDLE_TYPE_MISMATCH;
    brindle_error error;
    EXPECT_EQ(brindle_visit_value_buffer(json.data(), json.size(), Recorder::visitor(), &recorder,
                                         nullptr, &error),
              BRINDLE_TYPE_MISMATCH);
    EXPECT_EQ(recorder.events.size(), stop);
    EXPECT_EQ(error.code, BRINDLE_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "value visitor callback failed");
  }
}

TEST(ValueVisitorCallbacks, ACallbackKeepsItsOwnMessage) {
  brindle_value_visitor visitor{};
  visitor.number_chunk = [](void *, const char *, size_t, brindle_error *error) {
    std::snprintf(error->message, sizeof(error->message), "%s", "no numbers here");
    error->code = BRINDLE_TYPE_MISMATCH;
    return BRINDLE_TYPE_MISMATCH;
  };
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_cstr("[\"a\",1]", &visitor, nullptr, nullptr, &error),
            BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "no numbers here");
}

TEST(ValueVisitorCallbacks, TruncatedGoesOnAndIsReportedAtTheEnd) {
  Recorder recorder;
  recorder.chunk_status = BRINDLE_TRUNCATED;
  brindle_error error;
  EXPECT_EQ(
      brindle_visit_value_cstr(R"(["abc",2])", Recorder::visitor(), &recorder, nullptr, &error),
      BRINDLE_TRUNCATED);
  EXPECT_EQ(recorder.joined(), "[ S< s:abc S> N< n:2 N> ]");
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(error.code, BRINDLE_TRUNCATED);
}

TEST(ValueVisitorArguments, EachEntryPointNamesWhatItRequires) {
  const brindle_value_visitor *v = Recorder::visitor();
  brindle_error error;
  EXPECT_EQ(brindle_visit_value_buffer(nullptr, 0, v, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "buffer and visitor are required");
  EXPECT_EQ(brindle_visit_value_buffer("1", 1, nullptr, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_visit_value_cstr(nullptr, v, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "json string and visitor are required");
  EXPECT_EQ(brindle_visit_value_reader(nullptr, nullptr, v, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "reader and visitor are required");
  EXPECT_EQ(brindle_visit_value_filep(nullptr, v, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "file pointer and visitor are required");
  EXPECT_EQ(brindle_visit_value_path(nullptr, v, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "path and visitor are required");
  EXPECT_EQ(brindle_visit_value_fd(-1, v, nullptr, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "fd and visitor are required");
  EXPECT_EQ(brindle_visit_value_fd(0, nullptr, nullptr, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  // A NULL error record is never written; the status still comes back.
  const brindle_value_visitor none{};
  EXPECT_EQ(brindle_visit_value_cstr("[1", &none, nullptr, nullptr, nullptr), BRINDLE_INVALID_JSON);
}

TEST(ValueVisitorNesting, DeepInputEndsInACleanErrorNotACrash) {
  const std::string deep(100000, '[');
  const Outcome outcome = visit(deep);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "JSON value nesting exceeds maximum depth");
  // With a depth limit that allows it, 100000 levels are walked on the explicit stack.
  const std::string balanced = deep + std::string(100000, ']');
  const brindle_value_limits limits = limits_with(200000, 0, 0, 0, 0);
  brindle_value_visitor none{};
  brindle_error error;
  EXPECT_EQ(
      brindle_visit_value_buffer(balanced.data(), balanced.size(), &none, nullptr, &limits, &error),
      BRINDLE_OK);
  EXPECT_EQ(brindle_visit_value_buffer(deep.data(), deep.size(), &none, nullptr, &limits, &error),
            BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "unterminated JSON array");
  const std::string objects = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i)
      s += "{\"k\":";
    return s;
  }();
  EXPECT_EQ(visit(objects).message, "JSON value nesting exceeds maximum depth");
}

TEST(ValueVisitorNesting, DeepNestingUsesTheGivenAllocatorForItsStack) {
  stavo_test::TestAllocator allocator;
  const std::string balanced = std::string(2000, '[') + std::string(2000, ']');
  const brindle_value_limits limits = limits_with(5000, 0, 0, 0, 0);
  const brindle_value_visitor none{};
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, balanced.data(), balanced.size());
  brindle_error error;
  EXPECT_EQ(brindle__json_visit_value(&cursor, &none, nullptr, &limits, allocator.get(), &error),
            BRINDLE_OK);
  EXPECT_GT(allocator.stats().allocations, 0u);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  // When the stack cannot grow, the walk fails cleanly.
  allocator.fail_from(1);
  brindle__json_cursor_init_memory(&cursor, balanced.data(), balanced.size());
  EXPECT_EQ(brindle__json_visit_value(&cursor, &none, nullptr, &limits, allocator.get(), &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to allocate JSON nesting stack");
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(ValueVisitorNesting, ALongNumberAcrossBlocksFailsCleanlyWithoutMemory) {
  stavo_test::TestAllocator allocator;
  allocator.fail_from(1);
  PieceReader reader;
  reader.data = std::string(1000, '9');
  reader.piece = 10;
  const brindle_value_limits limits = limits_with(0, 0, 2000, 0, 0);
  brindle__json_cursor cursor;
  brindle__json_cursor_init_reader(&cursor, PieceReader::read, &reader);
  const brindle_value_visitor none{};
  brindle_error error;
  EXPECT_EQ(brindle__json_visit_value(&cursor, &none, nullptr, &limits, allocator.get(), &error),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to allocate JSON number buffer");
}

}  // namespace
