// Document structure: objects, arrays, separators, the root, trailing data, key lookup,
// duplicates, required fields and the positions of failures.
#include <gtest/gtest.h>

#include <string>

#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

struct ParseCase {
  const char *text;
  brindle_status status;
  const char *message;
  size_t offset;
};

class StructureFailures : public ::testing::TestWithParam<ParseCase> {};

TEST_P(StructureFailures, ReportCodeMessageAndOffset) {
  const ParseCase &c = GetParam();
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, c.text);
  EXPECT_EQ(outcome.status, c.status) << c.text;
  EXPECT_EQ(outcome.error.code, c.status);
  EXPECT_STREQ(outcome.error.message, c.message) << c.text;
  EXPECT_EQ(outcome.error.offset, c.offset) << c.text;
  brindle_cleanup(&kAllMap, &record);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, StructureFailures,
    ::testing::Values(
        ParseCase{"{} x", BRINDLE_INVALID_JSON, "unexpected trailing data", 4},
        ParseCase{"{}{}", BRINDLE_INVALID_JSON, "unexpected trailing data", 3},
        ParseCase{"[]", BRINDLE_TYPE_MISMATCH, "root value must be an object", 1},
        ParseCase{"  7", BRINDLE_TYPE_MISMATCH, "root value must be an object", 3},
        ParseCase{"", BRINDLE_INVALID_JSON, "incomplete JSON document", 0},
        ParseCase{" \n\t ", BRINDLE_INVALID_JSON, "incomplete JSON document", 4},
        ParseCase{"{", BRINDLE_INVALID_JSON, "incomplete JSON document", 1},
        ParseCase{"{\"s\":\"ab", BRINDLE_INVALID_JSON, "incomplete JSON token at end of input", 8},
        ParseCase{"{\"b\":tr", BRINDLE_INVALID_JSON, "incomplete JSON token at end of input", 7},
        ParseCase{"{\"i\":1,}", BRINDLE_INVALID_JSON, "trailing comma in object", 8},
        ParseCase{"{\"i\" 1}", BRINDLE_INVALID_JSON, "expected ':' after object key", 6},
        ParseCase{"{1:2}", BRINDLE_INVALID_JSON, "expected object key", 2},
        ParseCase{"{,}", BRINDLE_INVALID_JSON, "expected object key", 2},
        ParseCase{"{\"i\":}", BRINDLE_INVALID_JSON, "expected JSON value", 6},
        ParseCase{"{\"i\":1 \"u\":2}", BRINDLE_INVALID_JSON, "expected ',' or '}' in object", 8},
        ParseCase{"{\"ints\":[1,]}", BRINDLE_INVALID_JSON, "trailing comma in array", 12},
        ParseCase{"{\"ints\":[,]}", BRINDLE_INVALID_JSON, "expected array value", 10},
        ParseCase{"{\"ints\":[1 2]}", BRINDLE_INVALID_JSON, "expected ',' or ']' in array", 12},
        ParseCase{"{\"zz\":[1}", BRINDLE_INVALID_JSON, "expected ',' or ']' in array", 9},
        ParseCase{"{\"b\":trux}", BRINDLE_INVALID_JSON, "invalid literal", 9},
        ParseCase{"{\"b\":nul}", BRINDLE_INVALID_JSON, "invalid literal", 9},
        ParseCase{"{\"zz\":1.}", BRINDLE_INVALID_JSON, "invalid JSON number", 9},
        ParseCase{"{\"zz\":-}", BRINDLE_INVALID_JSON, "invalid JSON number", 8},
        ParseCase{"{\"zz\":1x}", BRINDLE_INVALID_JSON, "expected ',' or '}' in object", 8},
        ParseCase{"{\"zz\":\"a\x01\"}", BRINDLE_INVALID_JSON, "control character in string", 9}));

TEST(Structure, EmptyObjectWithWhitespaceAndNewlineIsOk) {
  All record;
  for (const char *text : {"{}", "  {}  ", "\n\t{ }\r\n", "{}\n"}) {
    const Outcome outcome = parse_text(&kAllMap, &record, text);
    EXPECT_EQ(outcome.status, BRINDLE_OK) << text;
    EXPECT_EQ(outcome.error.code, BRINDLE_OK);
    EXPECT_STREQ(outcome.error.message, "");
  }
  brindle_cleanup(&kAllMap, &record);
}

TEST(Structure, PositionsCountLinesAndColumns) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, "{\n  \"i\": x\n}");
  EXPECT_STREQ(outcome.error.message, "expected JSON value");
  EXPECT_EQ(outcome.error.offset, 10u);
  EXPECT_EQ(outcome.error.line, 2u);
  EXPECT_EQ(outcome.error.column, 8u);

  // A newline that causes the failure is on the next line, at column 0.
  outcome = parse_text(&kAllMap, &record, "{\"s\":\"a\nb\"}");
  EXPECT_STREQ(outcome.error.message, "control character in string");
  EXPECT_EQ(outcome.error.offset, 8u);
  EXPECT_EQ(outcome.error.line, 2u);
  EXPECT_EQ(outcome.error.column, 0u);

  // A number is judged by the byte that ends it.
  outcome = parse_text(&kAllMap, &record, "{\"i\":\n01\n}");
  EXPECT_STREQ(outcome.error.message, "expected integer for 'i'");
  EXPECT_EQ(outcome.error.offset, 9u);
  EXPECT_EQ(outcome.error.line, 3u);
  EXPECT_EQ(outcome.error.column, 0u);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Structure, KeysInAnyOrderAndUnknownKeysAreSkipped) {
  All record;
  const std::string text =
      "{\"zz\":{\"i\":5,\"deep\":[[1,{\"s\":\"no\"}],{}],\"t\":true},\"b\":true,\"i\":-3,"
      "\"unknown\":\"x\",\"s\":\"yes\",\"\":null,\"obj\":{\"label\":\"L\",\"n\":9}}";
  const Outcome outcome = parse_text(&kAllMap, &record, text);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.i, -3);
  EXPECT_EQ(record.b, 1);
  EXPECT_STREQ(record.s, "yes");
  EXPECT_EQ(record.obj.n, 9);
  EXPECT_STREQ(record.obj.label, "L");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Structure, SkippedStringsHaveNoLengthLimit) {
  All record;
  const std::string text = "{\"unknown\":\"" + std::string(20000, 'q') + "\",\"i\":1}";
  const Outcome outcome = parse_text(&kAllMap, &record, text);
  EXPECT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.i, 1);
  brindle_cleanup(&kAllMap, &record);
}

struct KeyedRecord {
  int64_t a;
  int64_t ab;
  int64_t abc;
  int64_t abd;
  int64_t empty;
};
const brindle_field kKeyedFields[] = {
    BRINDLE_DECL_I64(KeyedRecord, a, "a", 0),     BRINDLE_DECL_I64(KeyedRecord, ab, "ab", 0),
    BRINDLE_DECL_I64(KeyedRecord, abc, "abc", 0), BRINDLE_DECL_I64(KeyedRecord, abd, "abd", 0),
    BRINDLE_DECL_I64(KeyedRecord, empty, "", 0),
};
const brindle_map kKeyedMap = BRINDLE_MAP("keyed_json", KeyedRecord, kKeyedFields);

TEST(Structure, KeyLookupComparesWholeKeys) {
  KeyedRecord record;
  // Same length, first and last byte ("abc" and "axc"); prefixes; the empty key; reversed order.
  const Outcome outcome =
      parse_text(&kKeyedMap, &record,
                 "{\"abd\":4,\"axc\":99,\"abc\":3,\"ab\":2,\"a\":1,\"abcd\":98,\"\":5,\"b\":97}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.a, 1);
  EXPECT_EQ(record.ab, 2);
  EXPECT_EQ(record.abc, 3);
  EXPECT_EQ(record.abd, 4);
  EXPECT_EQ(record.empty, 5);
}

TEST(Structure, KeysWithEscapesMatchTheirDecodedForm) {
  KeyedRecord record;
  const Outcome outcome = parse_text(&kKeyedMap, &record, "{\"\\u0061b\\u0063\":3,\"a\\u0062\":2}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.abc, 3);
  EXPECT_EQ(record.ab, 2);
}

TEST(Duplicates, RejectedByDefaultAndLastWinsOtherwise) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, "{\"i\":1,\"i\":2}");
  EXPECT_EQ(outcome.status, BRINDLE_DUPLICATE_FIELD);
  EXPECT_STREQ(outcome.error.message, "duplicate field 'i'");
  EXPECT_EQ(outcome.error.offset, 13u);  // a number is complete at the byte after it
  EXPECT_EQ(record.i, 1);                // the earlier value stays

  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  outcome = parse_text(&kAllMap, &record, "{\"i\":1,\"i\":2}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.i, 2);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Duplicates, ReplacedValuesReleaseWhatTheyHeld) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  options.allocator = allocator.get();
  All record;
  const Outcome outcome = parse_text(
      &kAllMap, &record,
      "{\"s\":\"first\",\"obj\":{\"n\":1,\"label\":\"one\"},\"s\":\"second\","
      "\"obj\":{\"n\":2},\"strs\":[\"a\"],\"strs\":[\"b\"],\"fixed\":\"xy\",\"fixed\":\"z\"}",
      &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_STREQ(record.s, "second");
  EXPECT_EQ(record.obj.n, 2);
  EXPECT_EQ(record.obj.label, nullptr);  // the repeated object starts afresh
  ASSERT_EQ(record.strs.count, 2u);      // array elements accumulate
  EXPECT_STREQ(item<char *>(record.strs, 1), "b");
  EXPECT_STREQ(record.fixed, "z");
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(Duplicates, RejectedFixedStringKeepsItsFirstValue) {
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"fixed\":\"ab\",\"fixed\":\"cd\"}");
  EXPECT_EQ(outcome.status, BRINDLE_DUPLICATE_FIELD);
  EXPECT_STREQ(record.fixed, "ab");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Required, MissingFieldReportedAtTheClosingBraceOfItsObject) {
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"obj\":{\"label\":\"x\"},\"i\":1}");
  EXPECT_EQ(outcome.status, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_STREQ(outcome.error.message, "missing required field 'n'");
  EXPECT_EQ(outcome.error.offset, 20u);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Required, ObjectArrayElementsAreCheckedOneByOne) {
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"objs\":[{\"n\":1},{\"label\":\"b\"}]}");
  EXPECT_EQ(outcome.status, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_EQ(outcome.error.offset, 30u);
  EXPECT_EQ(record.objs.count, 2u);
  brindle_cleanup(&kAllMap, &record);
}

struct Wide {
  int64_t values[70];
};
constexpr size_t kWideFields = 70;

struct WideMap {
  brindle_field fields[70];
  std::string keys[70];
  brindle_map map;
  explicit WideMap(std::initializer_list<size_t> required, size_t count = kWideFields) {
    for (size_t i = 0; i < 70; ++i) {
      keys[i] = "k" + std::to_string(i);
      brindle_field &field = fields[i];
      field = brindle_field{};
      field.json_key = keys[i].c_str();
      field.json_key_len = keys[i].size();
      field.key_first = keys[i].front();
      field.key_last = keys[i].back();
      field.offset = i * sizeof(int64_t);
      field.kind = BRINDLE_FIELD_I64;
    }
    for (size_t index : required)
      fields[index].flags = BRINDLE_FIELD_REQUIRED;
    map = brindle_map{"wide_json", sizeof(Wide), fields, count};
  }
};

TEST(Required, SixtyFourFieldsStillUseTheMask) {
  for (size_t count : {64u, 65u}) {
    const WideMap wide({0, 63}, count);
    Wide record;
    Outcome outcome = parse_text(&wide.map, &record, "{\"k0\":1}");
    EXPECT_EQ(outcome.status, BRINDLE_MISSING_REQUIRED_FIELD) << count;
    EXPECT_STREQ(outcome.error.message, "missing required field 'k63'");
    outcome = parse_text(&wide.map, &record, "{\"k63\":1,\"k0\":2,\"k63\":3}");
    EXPECT_STREQ(outcome.error.message, "duplicate field 'k63'");
    outcome = parse_text(&wide.map, &record, "{\"k63\":1,\"k0\":2,\"k62\":3}");
    EXPECT_EQ(outcome.status, BRINDLE_OK) << count;
    EXPECT_EQ(record.values[63], 1);
    EXPECT_EQ(record.values[62], 3);
  }
}

TEST(Required, LargeMapsTrackSeenFieldsInTheWorkspace) {
  const WideMap wide({5, 66});
  Wide record;
  Outcome outcome = parse_text(&wide.map, &record, "{}");
  EXPECT_EQ(outcome.status, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_STREQ(outcome.error.message, "missing required field 'k5'");

  outcome = parse_text(&wide.map, &record, "{\"k5\":1,\"k69\":2}");
  EXPECT_STREQ(outcome.error.message, "missing required field 'k66'");

  outcome = parse_text(&wide.map, &record, "{\"k66\":1,\"k5\":2,\"k68\":3}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.values[68], 3);

  outcome = parse_text(&wide.map, &record, "{\"k66\":1,\"k5\":2,\"k66\":3}");
  EXPECT_EQ(outcome.status, BRINDLE_DUPLICATE_FIELD);
  EXPECT_STREQ(outcome.error.message, "duplicate field 'k66'");
}

struct WideHolder {
  Wide items[1];
  brindle_object_array list;
};

TEST(Required, LargeMapBookkeepingIsReturnedWhenObjectsClose) {
  // 200 elements of a 70-field map would need 16000 bytes if areas were not given back.
  const WideMap wide({0});
  const brindle_field holder_fields[] = {
      BRINDLE_DECL_FIELD(WideHolder, list, "list", BRINDLE_FIELD_OBJECT_ARRAY,
                         BRINDLE_STORAGE_DYNAMIC, BRINDLE_OVERFLOW_FAIL, 0, 0, sizeof(Wide),
                         &wide.map, nullptr, 0),
  };
  const brindle_map holder_map = BRINDLE_MAP("holder_json", WideHolder, holder_fields);
  std::string text = "{\"list\":[";
  for (int i = 0; i < 200; ++i)
    text += std::string(i ? "," : "") + "{\"k0\":" + std::to_string(i) + "}";
  text += "]}";
  WideHolder record;
  const Outcome outcome = parse_text(&holder_map, &record, text);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  ASSERT_EQ(record.list.count, 200u);
  EXPECT_EQ(static_cast<const Wide *>(record.list.items)[199].values[0], 199);
  brindle_cleanup(&holder_map, &record);
}

TEST(Arguments, EntryPointsCheckTheirArguments) {
  All record;
  brindle_error error;
  EXPECT_EQ(brindle_parse_buffer(nullptr, &record, "{}", 2, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map and destination are required");
  EXPECT_EQ(brindle_parse_buffer(&kAllMap, &record, nullptr, 2, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "buffer is required");
  EXPECT_EQ(brindle_parse_buffer(&kAllMap, &record, nullptr, 0, nullptr, &error),
            BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "incomplete JSON document");
  EXPECT_EQ(brindle_parse_cstr(&kAllMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "json string is required");
  EXPECT_EQ(brindle_parse_reader(&kAllMap, &record, nullptr, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "reader callback is required");
  EXPECT_EQ(brindle_parse_filep(&kAllMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "file pointer is required");
  EXPECT_EQ(brindle_parse_path(&kAllMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "path is required");
  EXPECT_EQ(brindle_parse_path(&kAllMap, &record, "/nonexistent/x.json", nullptr, &error),
            BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to open '/nonexistent/x.json'");
  EXPECT_NE(error.system_errno, 0);

  brindle_allocator partial = brindle_default_allocator();
  partial.realloc = nullptr;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_parse_cstr(&kAllMap, &record, "{}", &options, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");
  // A NULL error record is never written; the status still comes back.
  EXPECT_EQ(brindle_parse_cstr(&kAllMap, &record, "[]", nullptr, nullptr), BRINDLE_TYPE_MISMATCH);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Arguments, InternalFeedChecksItsArguments) {
  size_t consumed = 7;
  EXPECT_EQ(brindle__parser_feed_bytes(nullptr, "{}", 2, &consumed, 0), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(brindle_parser_finish(nullptr), BRINDLE_INVALID_ARGUMENT);
  brindle_parser *parser = brindle__parser_new(nullptr);
  ASSERT_NE(parser, nullptr);
  ASSERT_EQ(brindle__parser_init_state(parser, nullptr, nullptr, nullptr, 1), BRINDLE_OK);
  EXPECT_EQ(brindle__parser_feed_bytes(parser, nullptr, 3, nullptr, 0), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(brindle__parser_error(parser)->message, "invalid parser feed arguments");
  EXPECT_EQ(brindle__parser_init_state(parser, nullptr, nullptr, nullptr, 0),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(brindle__parser_error(parser)->message, "map and destination are required");
  brindle__parser_delete(parser);
}

}  // namespace
