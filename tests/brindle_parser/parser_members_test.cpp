// Streamed members and JSON value members: spooled text and base64 bytes, string streams, and
// JSON values re-emitted for a sink or capture or delivered to a visitor under its limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "json/core/records.h"
#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

const brindle_spool_options kSmallSpool = {16, 0, nullptr};
const brindle_spool_options kLimitedSpool = {65536, 8, nullptr};

struct Members {
  brindle_spooled text;
  brindle_spooled bytes;
  brindle_spooled small;
  brindle_spooled limited;
  brindle_string_array_stream keys;
  brindle_json_value meta;
  int64_t i;
};

const brindle_field kMembersFields[] = {
    BRINDLE_DECL_SPOOLED(Members, text, "text", BRINDLE_FIELD_SPOOLED_TEXT, 0, nullptr),
    BRINDLE_DECL_SPOOLED(Members, bytes, "bytes", BRINDLE_FIELD_SPOOLED_BYTES, 0, nullptr),
    BRINDLE_DECL_SPOOLED(Members, small, "small", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kSmallSpool),
    BRINDLE_DECL_SPOOLED(Members, limited, "limited", BRINDLE_FIELD_SPOOLED_TEXT, 0,
                         &kLimitedSpool),
    BRINDLE_DECL_STRING_STREAM(Members, keys, "keys", 0),
    BRINDLE_DECL_JSON_VALUE(Members, meta, "meta", 0),
    BRINDLE_DECL_I64(Members, i, "i", 0),
};
const brindle_map kMembersMap = BRINDLE_MAP("members_json", Members, kMembersFields);

std::string spool_text(brindle_spooled *spooled) {
  std::string out;
  EXPECT_EQ(brindle_spooled_rewind(spooled, nullptr), BRINDLE_OK);
  char buffer[1000];
  for (;;) {
    const brindle_read_result result = brindle_spooled_read(spooled, buffer, sizeof(buffer));
    out.append(buffer, result.bytes);
    if (result.eof != 0 || result.error != 0 || result.bytes == 0) break;
  }
  return out;
}

// Parses into a record prepared by the caller (handlers, parse configurations).
Outcome parse_prepared(Members *record, const std::string &text, size_t chunk = 0,
                       const brindle_allocator *allocator = nullptr) {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  options.allocator = allocator;
  return feed_in_chunks(&kMembersMap, record, text, chunk, &options);
}

TEST(Spooled, TextIsDecodedIntoTheSpool) {
  Members record;
  brindle_init(&kMembersMap, &record);
  const std::string long_text(5000, 'L');
  const Outcome outcome =
      parse_prepared(&record, "{\"text\":\"a\\\"b\\u00e9\\uD83D\\uDE00 " + long_text +
                                  "\",\"small\":\"0123456789abcdefghij\"}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(spool_text(&record.text), "a\"b\xC3\xA9\xF0\x9F\x98\x80 " + long_text);
  EXPECT_EQ(brindle_spooled_spilled(&record.text), 0);
  EXPECT_EQ(spool_text(&record.small), "0123456789abcdefghij");
  EXPECT_EQ(brindle_spooled_spilled(&record.small), 1);
  EXPECT_EQ(record.small.prefix_length, 16u);
  brindle_cleanup(&kMembersMap, &record);
}

TEST(Spooled, NullAndRepeatedValuesEmptyTheSpool) {
  Members record;
  brindle_init(&kMembersMap, &record);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  options.reject_duplicates = 0;
  Outcome outcome = feed_in_chunks(&kMembersMap, &record,
                                   "{\"text\":\"first\",\"text\":\"second\"}", 0, &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(spool_text(&record.text), "second");
  outcome = feed_in_chunks(&kMembersMap, &record, "{\"text\":null}", 0, &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(brindle_spooled_size(&record.text), 0u);
  // A rejected duplicate leaves the first value alone.
  outcome = parse_prepared(&record, "{\"text\":\"kept\",\"text\":\"dropped\"}");
  EXPECT_EQ(outcome.status, BRINDLE_DUPLICATE_FIELD);
  EXPECT_EQ(spool_text(&record.text), "kept");
  brindle_cleanup(&kMembersMap, &record);
}

TEST(Spooled, MaximumSizeFailsAtTheByteThatPassesIt) {
  const std::string text = "{\"limited\":\"1234567\\u00e9x\"}";
  for (size_t chunk : {0u, 1u, 3u}) {
    Members record;
    brindle_init(&kMembersMap, &record);
    const Outcome outcome = parse_prepared(&record, text, chunk);
    EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
    EXPECT_STREQ(outcome.error.message, "spooled field exceeds configured max bytes");
    // Seven bytes fit, the two-byte escape does not: reported at its last hex digit.
    EXPECT_EQ(outcome.error.offset, 25u) << chunk;
    EXPECT_EQ(brindle_spooled_size(&record.limited), 7u);
    brindle_cleanup(&kMembersMap, &record);
  }
  Members record;
  brindle_init(&kMembersMap, &record);
  const Outcome outcome = parse_prepared(&record, "{\"limited\":\"123456789\"}");
  EXPECT_EQ(outcome.error.offset, 21u);
  EXPECT_EQ(brindle_spooled_size(&record.limited), 8u);
  brindle_cleanup(&kMembersMap, &record);
}

TEST(Spooled, Base64IsDecodedQuartetByQuartet) {
  struct Case {
    const char *base64;
    std::string decoded;
  };
  const Case good[] = {{"", ""},
                       {"aGVsbG8=", "hello"},
                       {"aGVsbG8h", "hello!"},
                       {"aGk=", "hi"},
                       {"aA==", "h"},
                       {"\\u0061GVs\\/w==", "hel\xFF"},
                       {"AAECAwQFBgc=", std::string("\x00\x01\x02\x03\x04\x05\x06\x07", 8)}};
  for (const Case &c : good) {
    for (size_t chunk : {0u, 1u, 2u}) {
      Members record;
      brindle_init(&kMembersMap, &record);
      const Outcome outcome =
          parse_prepared(&record, std::string("{\"bytes\":\"") + c.base64 + "\"}", chunk);
      ASSERT_EQ(outcome.status, BRINDLE_OK) << c.base64 << ": " << outcome.error.message;
      EXPECT_EQ(spool_text(&record.bytes), c.decoded) << c.base64;
      brindle_cleanup(&kMembersMap, &record);
    }
  }
  struct Bad {
    const char *base64;
    const char *message;
    size_t offset;
  };
  const Bad bad[] = {
      {"aGVsbG8", "incomplete base64 quartet in streamed field", 18},
      {"aGV$", "invalid base64 character in streamed field", 14},
      {"aGVs bG8=", "invalid base64 character in streamed field", 15},
      {"aGk=aGk=", "non-padding base64 data after padding", 15},
      {"a===", "invalid base64 quartet in streamed field", 14},
      {"====", "invalid base64 quartet in streamed field", 14},
  };
  for (const Bad &c : bad) {
    for (size_t chunk : {0u, 1u}) {
      Members record;
      brindle_init(&kMembersMap, &record);
      const Outcome outcome =
          parse_prepared(&record, std::string("{\"bytes\":\"") + c.base64 + "\"}", chunk);
      EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << c.base64;
      EXPECT_STREQ(outcome.error.message, c.message) << c.base64;
      EXPECT_EQ(outcome.error.offset, c.offset) << c.base64;
      brindle_cleanup(&kMembersMap, &record);
    }
  }
}

struct StreamLog {
  std::vector<std::string> strings;
  int begins = 0;
  int ends = 0;
  brindle_status fail_chunk = BRINDLE_OK;
};

brindle_status stream_begin(void *user, brindle_error *, brindle_string_array_stream *stream) {
  auto *log = static_cast<StreamLog *>(user);
  EXPECT_EQ(stream->active, 0);
  ++log->begins;
  log->strings.emplace_back();
  return BRINDLE_OK;
}
brindle_status stream_chunk(void *user, const char *bytes, size_t length, brindle_error *error) {
  auto *log = static_cast<StreamLog *>(user);
  if (log->fail_chunk != BRINDLE_OK) {
    std::snprintf(error->message, sizeof(error->message), "handler refused");
    return log->fail_chunk;
  }
  log->strings.back().append(bytes, length);
  return BRINDLE_OK;
}
brindle_status stream_end(void *user, brindle_error *) {
  ++static_cast<StreamLog *>(user)->ends;
  return BRINDLE_OK;
}

TEST(StringStream, DeliversEachStringPiecewise) {
  for (size_t chunk : {0u, 1u, 5u}) {
    Members record;
    brindle_init(&kMembersMap, &record);
    StreamLog log;
    const brindle_string_stream_handler handler{stream_begin, stream_chunk, stream_end};
    ASSERT_EQ(brindle_string_array_stream_set_handler(&record.keys, &handler, &log, nullptr),
              BRINDLE_OK);
    const std::string long_key(10000, 'k');
    const Outcome outcome = parse_prepared(
        &record, "{\"keys\":[\"alpha\",\"b\\u00e9ta\",\"\",\"" + long_key + "\"],\"i\":3}", chunk);
    ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
    ASSERT_EQ(log.strings.size(), 4u);
    EXPECT_EQ(log.strings[0], "alpha");
    EXPECT_EQ(log.strings[1], "b\xC3\xA9ta");
    EXPECT_EQ(log.strings[2], "");
    EXPECT_EQ(log.strings[3], long_key);
    EXPECT_EQ(log.begins, 4);
    EXPECT_EQ(log.ends, 4);
    EXPECT_EQ(record.keys.active, 0);
    EXPECT_EQ(record.i, 3);
  }
}

TEST(StringStream, Failures) {
  Members record;
  brindle_init(&kMembersMap, &record);
  Outcome outcome = parse_prepared(&record, "{\"keys\":[\"a\"]}");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(outcome.error.message, "string array stream field 'keys' has no chunk handler");

  StreamLog log;
  const brindle_string_stream_handler handler{stream_begin, stream_chunk, stream_end};
  ASSERT_EQ(brindle_string_array_stream_set_handler(&record.keys, &handler, &log, nullptr),
            BRINDLE_OK);
  outcome = parse_prepared(&record, "{\"keys\":\"a\"}");
  EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(outcome.error.message, "field 'keys' is not an array");
  outcome = parse_prepared(&record, "{\"keys\":[1]}");
  EXPECT_STREQ(outcome.error.message, "array 'keys' expects strings");
  outcome = parse_prepared(&record, "{\"keys\":[{}]}");
  EXPECT_STREQ(outcome.error.message, "array 'keys' expects scalar elements");
  outcome = parse_prepared(&record, "{\"keys\":null}");
  EXPECT_STREQ(outcome.error.message, "null is not allowed for 'keys'");

  record.keys.active = 1;
  outcome = parse_prepared(&record, "{\"keys\":[\"a\"]}");
  EXPECT_EQ(outcome.status, BRINDLE_INTERNAL_ERROR);
  EXPECT_STREQ(outcome.error.message, "string array stream field 'keys' is already active");
  record.keys.active = 0;

  // A handler's own failure stops the parse with its status and message, and the parse leaves
  // the stream inactive.
  log.fail_chunk = BRINDLE_CALLBACK_FAILED;
  outcome = parse_prepared(&record, "{\"keys\":[\"abc\"]}");
  EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(outcome.error.message, "handler refused");
  EXPECT_EQ(record.keys.active, 0);
  Members copy;
  std::memcpy(&copy, &record, sizeof(copy));
  outcome = parse_prepared(&copy, "{\"keys\":[\"a\"]}");
  EXPECT_STREQ(outcome.error.message, "string array stream field 'keys' has no chunk handler");
  brindle_cleanup(&kMembersMap, &record);
}

std::string captured(const brindle_json_value &value) {
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_BUFFER);
  return value.buffer != nullptr ? std::string(value.buffer, value.length) : std::string();
}

TEST(JsonValue, CaptureReEmitsCompactText) {
  const std::string text =
      "{\"i\":1, \"meta\" : { \"a\" : [ 1, -2.5e3, \"x\\n\\u00e9\\/\" ],\n \"b\": null,"
      "\"c\":{\"d\":[true,false,[]]}, \"e\":{} } , \"keys\":[]}";
  for (size_t chunk : {0u, 1u, 7u}) {
    Members record;
    brindle_init(&kMembersMap, &record);
    StreamLog log;
    const brindle_string_stream_handler handler{stream_begin, stream_chunk, stream_end};
    ASSERT_EQ(brindle_string_array_stream_set_handler(&record.keys, &handler, &log, nullptr),
              BRINDLE_OK);
    ASSERT_EQ(brindle_json_value_enable_parse_capture(&record.meta, nullptr), BRINDLE_OK);
    const Outcome outcome = parse_prepared(&record, text, chunk);
    ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
    EXPECT_EQ(captured(record.meta),
              "{\"a\":[1,-2.5e3,\"x\\n\xC3\xA9/\"],\"b\":null,\"c\":{\"d\":[true,false,[]]},"
              "\"e\":{}}");
    EXPECT_EQ(record.i, 1);
    brindle_cleanup(&kMembersMap, &record);
  }
  for (const char *scalar : {"12.5", "\"s\\\"\"", "true", "false", "null", "[]", "-0"}) {
    Members record;
    brindle_init(&kMembersMap, &record);
    ASSERT_EQ(brindle_json_value_enable_parse_capture(&record.meta, nullptr), BRINDLE_OK);
    const Outcome outcome = parse_prepared(&record, std::string("{\"meta\":") + scalar + "}");
    ASSERT_EQ(outcome.status, BRINDLE_OK) << scalar;
    EXPECT_EQ(captured(record.meta), scalar);
    brindle_cleanup(&kMembersMap, &record);
  }
}

TEST(JsonValue, WithoutParseConfigurationTheParseFails) {
  Members record;
  brindle_init(&kMembersMap, &record);
  for (const char *text : {"{\"meta\":{}}", "{\"meta\":\"x\"}", "{\"meta\":1}"}) {
    const Outcome outcome = parse_prepared(&record, text);
    EXPECT_EQ(outcome.status, BRINDLE_INVALID_ARGUMENT) << text;
    EXPECT_STREQ(outcome.error.message,
                 "JSON value parse requires a configured parse sink, parse visitor, or parse "
                 "capture");
  }
  EXPECT_EQ(parse_prepared(&record, "{\"i\":2}").status, BRINDLE_OK);
  brindle_cleanup(&kMembersMap, &record);
}

brindle_status collect_sink(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<std::string *>(user)->append(bytes, length);
  return BRINDLE_OK;
}
brindle_status refusing_sink(void *, const char *, size_t, brindle_error *) {
  return BRINDLE_IO_ERROR;
}

TEST(JsonValue, SinkReceivesTheTextPieceByPiece) {
  Members record;
  brindle_init(&kMembersMap, &record);
  std::string text;
  ASSERT_EQ(brindle_json_value_set_parse_sink(&record.meta, collect_sink, &text, nullptr),
            BRINDLE_OK);
  Outcome outcome = parse_prepared(
      &record, "{\"meta\": [ {\"k\\u0001\" : \"" + std::string(9000, 'v') + "\"} ] }");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(text, "[{\"k\\u0001\":\"" + std::string(9000, 'v') + "\"}]");
  EXPECT_EQ(record.meta.buffer, nullptr);

  ASSERT_EQ(brindle_json_value_set_parse_sink(&record.meta, refusing_sink, nullptr, nullptr),
            BRINDLE_OK);
  outcome = parse_prepared(&record, "{\"meta\":[1]}");
  EXPECT_EQ(outcome.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(outcome.error.offset, 9u);
  brindle_cleanup(&kMembersMap, &record);
}

struct Events {
  std::string log;
  brindle_status stop_at_null = BRINDLE_OK;
};

#define EVENT(name, text)                            \
  brindle_status name(void *user, brindle_error *) { \
    static_cast<Events *>(user)->log += text;        \
    return BRINDLE_OK;                               \
  }
EVENT(on_object_begin, "{")
EVENT(on_object_end, "}")
EVENT(on_key_begin, "K(")
EVENT(on_key_end, ")")
EVENT(on_array_begin, "[")
EVENT(on_array_end, "]")
EVENT(on_string_begin, "S(")
EVENT(on_string_end, ")")
EVENT(on_number_begin, "N(")
EVENT(on_number_end, ")")
#undef EVENT
brindle_status on_chunk(void *user, const char *bytes, size_t length, brindle_error *) {
  static_cast<Events *>(user)->log.append(bytes, length);
  return BRINDLE_OK;
}
brindle_status on_boolean(void *user, int32_t value, brindle_error *) {
  static_cast<Events *>(user)->log += value != 0 ? "T" : "F";
  return BRINDLE_OK;
}
brindle_status on_null(void *user, brindle_error *) {
  auto *events = static_cast<Events *>(user);
  events->log += "0";
  return events->stop_at_null;
}

const brindle_value_visitor kVisitor = {
    on_object_begin, on_object_end, on_key_begin,    on_chunk,   on_key_end,
    on_array_begin,  on_array_end,  on_string_begin, on_chunk,   on_string_end,
    on_number_begin, on_chunk,      on_number_end,   on_boolean, on_null};

Outcome visit_member(const std::string &value, Events *events, const brindle_value_limits *limits,
                     size_t chunk = 0) {
  Members record;
  brindle_init(&kMembersMap, &record);
  EXPECT_EQ(brindle_json_value_set_parse_visitor(&record.meta, &kVisitor, events, limits, nullptr),
            BRINDLE_OK);
  const Outcome outcome = parse_prepared(&record, "{\"meta\":" + value + ",\"i\":5}", chunk);
  if (outcome.status == BRINDLE_OK) {
    EXPECT_EQ(record.i, 5);
  }
  brindle_cleanup(&kMembersMap, &record);
  return outcome;
}

TEST(JsonValue, VisitorSeesEveryEvent) {
  for (size_t chunk : {0u, 1u}) {
    Events events;
    const Outcome outcome =
        visit_member("{\"a\": [1, true], \"b\": null, \"c\": \"x\\u00e9\", \"d\": [false, {}]}",
                     &events, nullptr, chunk);
    ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
    EXPECT_EQ(events.log, "{K(a)[N(1)T]K(b)0K(c)S(x\xC3\xA9)K(d)[F{}]}");
  }
  Events scalar;
  EXPECT_EQ(visit_member("-12.5e3", &scalar, nullptr).status, BRINDLE_OK);
  EXPECT_EQ(scalar.log, "N(-12.5e3)");
  // A visitor with no callbacks still checks the value.
  Members record;
  brindle_init(&kMembersMap, &record);
  const brindle_value_visitor empty = brindle_default_value_visitor();
  ASSERT_EQ(brindle_json_value_set_parse_visitor(&record.meta, &empty, nullptr, nullptr, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(parse_prepared(&record, "{\"meta\":{\"a\":[1,2]}}").status, BRINDLE_OK);
  EXPECT_EQ(parse_prepared(&record, "{\"meta\":{\"a\":[1,2}}").status, BRINDLE_INVALID_JSON);
  brindle_cleanup(&kMembersMap, &record);
}

// Runs of numbers in an array ("1,2,3") are delivered without a dispatch per comma: the events,
// failures and their positions must be those of a byte-by-byte feed.
TEST(JsonValue, NumberRunsInVisitedArraysMatchAByteByByteFeed) {
  const char *const values[] = {
      "[1,2,3]", "[[-1.5,2e3],[0,-0.0],[7]]", "[1,2,01]", "[1,2,]", "[1,2 ,3, 4]", "[1,-,3]",
      "[1,2.,3]", "[1,2,3e]", "[1,2,true,4,null]", "{\"a\":[5,6],\"b\":7}", "[1,2,3]]",
      "[1,2,3,{}]", "[1,2,\"3\",4]", "[12345678901234567890123,-0.5e-400,1E+2]",
      // Arrays of arrays of numbers: closing one and opening the next is taken in the run too.
      "[[1,2],[3,4],[5,6]]", "[[[1,2],[3,4]],[[5,6]]]", "[[1,2],]", "[[1,2],[]]",
      "[[1,2],[3,4],{}]", "[[1,2],[,3]]", "[[1,2],[3,4]", "[[1,2] ,[3]]", "[[1,2],[-]]",
      "[[1,2],[01]]", "{\"a\":[[1,2],[3]],\"b\":[[4]],\"c\":[1,[2,[3,[4]]],5]}",
      "[[1],[2],\"x\",[3]]"};
  for (const char *value : values) {
    Events whole;
    const Outcome one = visit_member(value, &whole, nullptr, 0);
    for (size_t chunk : {1u, 2u, 3u, 5u}) {
      Events pieces;
      const Outcome each = visit_member(value, &pieces, nullptr, chunk);
      EXPECT_EQ(one.status, each.status) << value << " in pieces of " << chunk;
      EXPECT_STREQ(one.error.message, each.error.message) << value << " in pieces of " << chunk;
      EXPECT_EQ(one.error.offset, each.error.offset) << value << " in pieces of " << chunk;
      EXPECT_EQ(whole.log, pieces.log) << value << " in pieces of " << chunk;
    }
  }
  Events events;
  EXPECT_EQ(visit_member("[1,2,3]", &events, nullptr).status, BRINDLE_OK);
  EXPECT_EQ(events.log, "[N(1)N(2)N(3)]");
  const Outcome bad = visit_member("[1,2,01]", &events, nullptr);
  EXPECT_EQ(bad.status, BRINDLE_INVALID_JSON);
  // The limit on one number holds inside a run too.
  brindle_value_limits limits{};
  limits.max_number_bytes = 3;
  events.log.clear();
  const Outcome long_number = visit_member("[1,22,333,4444]", &events, &limits);
  EXPECT_EQ(long_number.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(long_number.error.message, "JSON number exceeds maximum byte limit");
  EXPECT_EQ(events.log, "[N(1)N(22)N(333)");
  // The nesting limit holds for arrays opened inside a run.
  limits = brindle_value_limits{};
  limits.max_depth = 2;
  for (size_t chunk : {0u, 1u}) {
    events.log.clear();
    const Outcome deep = visit_member("[[1,2],[3,[4,5]]]", &events, &limits, chunk);
    EXPECT_EQ(deep.status, BRINDLE_OVERFLOW);
    EXPECT_STREQ(deep.error.message, "JSON value nesting exceeds maximum depth");
    EXPECT_EQ(deep.error.offset, std::string("{\"meta\":[[1,2],[3,[").size());
    EXPECT_EQ(events.log, "[[N(1)N(2)][N(3)");
  }
  // A callback that stops the walk inside a run stops it there, at that number.
  events.log.clear();
  events.stop_at_null = BRINDLE_CALLBACK_FAILED;
  const std::string failing = "[1,2,null,3]";
  const Outcome stopped = visit_member(failing, &events, nullptr);
  EXPECT_EQ(stopped.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(events.log, "[N(1)N(2)0");
  // A number callback that fails inside a run: the same message and position as byte by byte.
  brindle_value_visitor refusing = kVisitor;
  refusing.number_end = [](void *user, brindle_error *error) {
    auto *log = &static_cast<Events *>(user)->log;
    if (log->size() >= 8 && log->compare(log->size() - 3, 3, "333") == 0) {
      std::snprintf(error->message, sizeof(error->message), "no threes");
      return BRINDLE_CALLBACK_FAILED;
    }
    *log += ")";
    return BRINDLE_OK;
  };
  Outcome refused[2];
  std::string logs[2];
  for (size_t chunk : {0u, 1u}) {
    Members record;
    brindle_init(&kMembersMap, &record);
    Events seen;
    ASSERT_EQ(
        brindle_json_value_set_parse_visitor(&record.meta, &refusing, &seen, nullptr, nullptr),
        BRINDLE_OK);
    refused[chunk] = parse_prepared(&record, "{\"meta\":[1,22,333,4444],\"i\":5}", chunk);
    logs[chunk] = seen.log;
    brindle_cleanup(&kMembersMap, &record);
  }
  EXPECT_EQ(refused[0].status, BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(refused[0].error.message, "no threes");
  EXPECT_EQ(refused[0].error.offset, std::string("{\"meta\":[1,22,333,").size());
  EXPECT_EQ(refused[1].error.offset, refused[0].error.offset);
  EXPECT_EQ(logs[0], "[N(1)N(22)N(333");
  EXPECT_EQ(logs[1], logs[0]);
}

TEST(JsonValue, VisitorLimits) {
  brindle_value_limits limits{};
  limits.max_depth = 2;
  Events events;
  Outcome outcome = visit_member("{\"a\":[{}]}", &events, &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "JSON value nesting exceeds maximum depth");
  EXPECT_EQ(events.log, "{K(a)[");
  EXPECT_EQ(visit_member("{\"a\":[1]}", &events, &limits).status, BRINDLE_OK);

  limits = brindle_value_limits{};
  limits.max_string_bytes = 9;
  EXPECT_EQ(visit_member("\"0123456789\"", &events, &limits).status, BRINDLE_OVERFLOW);
  limits.max_string_bytes = 10;
  EXPECT_EQ(visit_member("\"0123456789\"", &events, &limits).status, BRINDLE_OK);
  limits.max_key_bytes = 3;
  events.log.clear();
  outcome = visit_member("{\"abcd\":1}", &events, &limits);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "JSON object key exceeds maximum decoded byte limit");
  EXPECT_EQ(outcome.error.offset, 14u);
  EXPECT_EQ(events.log, "{K(abc");
  outcome = visit_member("\"\\u00e9\\u00e9\\u00e9\\u00e9\\u00e9\\u00e9\"", &events, &limits);
  EXPECT_STREQ(outcome.error.message, "JSON string exceeds maximum decoded byte limit");

  limits = brindle_value_limits{};
  const std::string long_number = "1" + std::string(299, '0');
  outcome = visit_member(long_number, &events, &limits);
  EXPECT_STREQ(outcome.error.message, "JSON number exceeds maximum byte limit");
  limits.max_number_bytes = 400;
  events.log.clear();
  EXPECT_EQ(visit_member(long_number, &events, &limits).status, BRINDLE_OK);
  EXPECT_EQ(events.log, "N(" + long_number + ")");
}

TEST(JsonValue, VisitorTotalLimitCountsEveryByteOfTheValue) {
  brindle_value_limits limits{};
  limits.max_total_bytes = 12;
  for (size_t chunk : {0u, 1u, 4u}) {
    Events events;
    EXPECT_EQ(visit_member("[1, 2,   3]", &events, &limits, chunk).status, BRINDLE_OK);
    EXPECT_EQ(visit_member("[1, 2,    3]", &events, &limits, chunk).status, BRINDLE_OK);
    const Outcome outcome = visit_member("[1, 2,\n      3]", &events, &limits, chunk);
    EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
    EXPECT_STREQ(outcome.error.message, "JSON value exceeds maximum total byte limit");
    // {"meta": is 8 bytes; the 13th byte of the value is the sixth space after the newline.
    EXPECT_EQ(outcome.error.offset, 21u);
    EXPECT_EQ(outcome.error.line, 2u);
    EXPECT_EQ(outcome.error.column, 6u);
  }
  limits.max_total_bytes = 3;
  Events events;
  EXPECT_EQ(visit_member("true", &events, &limits).status, BRINDLE_OVERFLOW);
  EXPECT_EQ(visit_member("123", &events, &limits).status, BRINDLE_OK);
}

TEST(JsonValue, VisitorFailureStopsTheParse) {
  Events events;
  events.stop_at_null = BRINDLE_CALLBACK_FAILED;
  const Outcome outcome = visit_member("[1,null,2]", &events, nullptr);
  EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(events.log, "[N(1)0");
  EXPECT_EQ(outcome.error.offset, 15u);
}

struct Holder {
  brindle_object_array items;
};
struct Item {
  int64_t id;
  brindle_spooled note;
  brindle_json_value extra;
};
const brindle_field kItemFields[] = {
    BRINDLE_DECL_I64(Item, id, "id", 0),
    BRINDLE_DECL_SPOOLED(Item, note, "note", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kSmallSpool),
    BRINDLE_DECL_JSON_VALUE(Item, extra, "extra", 0),
};
const brindle_map kItemMap = BRINDLE_MAP("item_json", Item, kItemFields);
const brindle_field kHolderFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Holder, items, "items", 0, &kItemMap, Item),
};
const brindle_map kHolderMap = BRINDLE_MAP("holder_json", Holder, kHolderFields);

TEST(ObjectArrays, SpooledMembersFollowTheirElementsWhenTheBufferGrows) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  std::string text = "{\"items\":[";
  for (int i = 0; i < 20; ++i) {
    text += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"note\":\"note " +
            std::to_string(i) + " spilling past sixteen bytes\"}";
  }
  text += "]}";
  Holder holder;
  const Outcome outcome = parse_text(&kHolderMap, &holder, text, &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  ASSERT_EQ(holder.items.count, 20u);
  Item *items = static_cast<Item *>(holder.items.items);
  EXPECT_EQ(spool_text(&items[0].note), "note 0 spilling past sixteen bytes");
  EXPECT_EQ(spool_text(&items[19].note), "note 19 spilling past sixteen bytes");
  brindle_cleanup(&kHolderMap, &holder);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(AllocationFailures, SpooledPrefixAndCapturedValues) {
  for (uint64_t nth = 1;; ++nth) {
    stavo_test::TestAllocator allocator;
    Members record;
    brindle__init_with_allocator(&kMembersMap, &record, allocator.get());
    ASSERT_EQ(brindle_json_value_enable_parse_capture(&record.meta, nullptr), BRINDLE_OK);
    allocator.fail_once(nth);
    const Outcome outcome = parse_prepared(
        &record, "{\"text\":\"abc\",\"small\":\"0123456789abcdefXYZ\",\"meta\":{\"a\":[1,2,3]}}", 0,
        allocator.get());
    brindle_cleanup(&kMembersMap, &record);
    EXPECT_EQ(allocator.stats().current_bytes, 0u) << nth;
    EXPECT_EQ(allocator.live_blocks(), 0) << nth;
    if (outcome.status == BRINDLE_OK) break;
    EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED) << nth << ": " << outcome.error.message;
    ASSERT_LT(nth, 100u);
  }
}

// Generates {"text":"<size bytes>"} without holding it.
struct Generator {
  size_t size;
  size_t produced = 0;
  int stage = 0;
};

brindle_read_result generate(void *user, char *buffer, size_t capacity) {
  auto *g = static_cast<Generator *>(user);
  brindle_read_result result = brindle_default_read_result();
  static const char kHead[] = "{\"meta\":\"";
  static const char kTail[] = "\"}";
  if (g->stage == 0) {
    std::memcpy(buffer, kHead, sizeof(kHead) - 1);
    result.bytes = sizeof(kHead) - 1;
    g->stage = 1;
  } else if (g->stage == 1) {
    const size_t n = std::min(capacity, g->size - g->produced);
    for (size_t i = 0; i < n; ++i) {
      buffer[i] = static_cast<char>('a' + (g->produced + i) % 26);
    }
    g->produced += n;
    result.bytes = n;
    if (g->produced == g->size) g->stage = 2;
  } else {
    std::memcpy(buffer, kTail, sizeof(kTail) - 1);
    result.bytes = sizeof(kTail) - 1;
    result.eof = 1;
  }
  return result;
}

struct BigText {
  brindle_spooled meta;
};
const brindle_field kBigFields[] = {
    BRINDLE_DECL_SPOOLED(BigText, meta, "meta", BRINDLE_FIELD_SPOOLED_TEXT, 0, nullptr),
};
const brindle_map kBigMap = BRINDLE_MAP("big_json", BigText, kBigFields);

TEST(BoundedMemory, HundredMegabyteSpooledString) {
  constexpr size_t kSize = 100u << 20;
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  Generator generator{kSize};
  BigText record;
  brindle_error error;
  ASSERT_EQ(brindle_parse_reader(&kBigMap, &record, generate, &generator, &options, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(brindle_spooled_size(&record.meta), kSize);
  EXPECT_EQ(brindle_spooled_spilled(&record.meta), 1);
  // Only the 64 KiB memory prefix was ever held.
  EXPECT_LE(allocator.stats().peak_bytes, 65536u);
  EXPECT_EQ(allocator.stats().current_bytes, 65536u);
  // Spot checks: the first block and the last bytes.
  char buffer[4096];
  brindle_read_result read = brindle_spooled_read(&record.meta, buffer, sizeof(buffer));
  ASSERT_EQ(read.bytes, sizeof(buffer));
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(buffer[27], 'b');
  brindle_cleanup(&kBigMap, &record);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(BoundedMemory, HundredMegabyteStringThroughAVisitor) {
  constexpr size_t kSize = 100u << 20;
  stavo_test::TestAllocator allocator;
  Members record;
  brindle_init(&kMembersMap, &record);
  brindle_value_limits limits{};
  limits.max_string_bytes = kSize;
  size_t delivered = 0;
  brindle_value_visitor visitor = brindle_default_value_visitor();
  visitor.string_chunk = [](void *user, const char *, size_t length, brindle_error *) {
    *static_cast<size_t *>(user) += length;
    return BRINDLE_OK;
  };
  ASSERT_EQ(
      brindle_json_value_set_parse_visitor(&record.meta, &visitor, &delivered, &limits, nullptr),
      BRINDLE_OK);
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  options.clear_destination = 0;
  Generator generator{kSize};
  brindle_error error;
  ASSERT_EQ(brindle_parse_reader(&kMembersMap, &record, generate, &generator, &options, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(delivered, kSize);
  EXPECT_EQ(allocator.stats().peak_bytes, 0u);
  brindle_cleanup(&kMembersMap, &record);
}

}  // namespace

namespace {

struct MemberSnapshot {
  std::string outcome;
  std::string text, bytes, small, meta;
  std::vector<std::string> keys;
  bool operator==(const MemberSnapshot &) const = default;
};

MemberSnapshot parse_members_split(const std::string &text, size_t split) {
  Members record;
  brindle_init(&kMembersMap, &record);
  StreamLog log;
  const brindle_string_stream_handler handler{stream_begin, stream_chunk, stream_end};
  EXPECT_EQ(brindle_string_array_stream_set_handler(&record.keys, &handler, &log, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_enable_parse_capture(&record.meta, nullptr), BRINDLE_OK);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  const Outcome outcome = split == 0 ? feed_in_chunks(&kMembersMap, &record, text, 0, &options)
                                     : feed_split(&kMembersMap, &record, text, {split}, &options);
  MemberSnapshot snapshot;
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), "%d %s %zu:%zu@%zu", outcome.status, outcome.error.message,
                outcome.error.line, outcome.error.column, outcome.error.offset);
  snapshot.outcome = buffer;
  snapshot.text = spool_text(&record.text);
  snapshot.bytes = spool_text(&record.bytes);
  snapshot.small = spool_text(&record.small);
  if (record.meta.buffer != nullptr) snapshot.meta.assign(record.meta.buffer, record.meta.length);
  snapshot.keys = log.strings;
  brindle_cleanup(&kMembersMap, &record);
  return snapshot;
}

TEST(MemberChunkInvariance, EverySplitPoint) {
  const char *documents[] = {
      "{\"text\":\"a\\u00e9\\\"\\uD83D\\uDE00 tail\",\"bytes\":\"aGVs\\u0062G8=\","
      "\"small\":\"0123456789abcdef spilled\",\"keys\":[\"k1\",\"k\\u00e92\",\"\"],"
      "\"meta\":{\"x\":[1.5e3, true, null, \"s\\n\"], \"y\": {}},\"i\":4}",
      "{\"bytes\":\"aGV$\"}",
      "{\"meta\":[1, 2,]}",
      "{\"limited\":\"12345678\\u00e9\"}",
  };
  for (const char *document : documents) {
    const std::string text = document;
    const MemberSnapshot whole = parse_members_split(text, 0);
    for (size_t split = 1; split < text.size(); ++split) {
      EXPECT_TRUE(parse_members_split(text, split) == whole) << document << " split " << split;
    }
  }
}

}  // namespace
