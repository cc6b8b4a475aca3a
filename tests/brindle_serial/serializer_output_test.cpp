// What the serializer writes: member order and omission, value forms of every kind, escaping,
// numbers, pretty layout and indentation pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "serial_support.h"

namespace {

using serial_test::Collected;
using serial_test::via_sink;

struct Pair {
  int64_t n;
  char *s;
};

TEST(SerializerOutput, IntegerAndNullStringWithAndWithoutOmitNull) {
  static const brindle_field plain_fields[] = {BRINDLE_DECL_I64(Pair, n, "n", 0),
                                               BRINDLE_DECL_STRING(Pair, s, "s", 0)};
  static const brindle_map plain = BRINDLE_MAP("pair", Pair, plain_fields);
  static const brindle_field omit_fields[] = {
      BRINDLE_DECL_I64(Pair, n, "n", 0),
      BRINDLE_DECL_STRING(Pair, s, "s", BRINDLE_FIELD_OMIT_NULL)};
  static const brindle_map omit = BRINDLE_MAP("pair", Pair, omit_fields);
  Pair record{-1, nullptr};
  EXPECT_EQ(via_sink(&plain, &record, false), "{\"n\":-1,\"s\":null}");
  EXPECT_EQ(via_sink(&omit, &record, false), "{\"n\":-1}");
  char text[] = "";
  record.s = text;  // an empty string is a value, never an absence
  EXPECT_EQ(via_sink(&omit, &record, false), "{\"n\":-1,\"s\":\"\"}");
}

struct Flags {
  int64_t count;
  int32_t count_present;
  char *empty;
  brindle_array list;
  brindle_source source;
  brindle_json_value json;
  brindle_spooled spool;
};

TEST(SerializerOutput, PresentFlagAndEmptinessRules) {
  static const brindle_field fields[] = {
      BRINDLE_DECL_PRESENT(Flags, count, "count", BRINDLE_FIELD_I64, 0, count_present),
      BRINDLE_DECL_STRING(Flags, empty, "empty", BRINDLE_FIELD_OMIT_EMPTY),
      BRINDLE_DECL_ARRAY(Flags, list, "list", BRINDLE_FIELD_I64_ARRAY, BRINDLE_FIELD_OMIT_EMPTY),
      BRINDLE_DECL_SOURCE(Flags, source, "source", BRINDLE_FIELD_SOURCE_TEXT,
                          BRINDLE_FIELD_OMIT_NULL),
      BRINDLE_DECL_JSON_VALUE(Flags, json, "json", BRINDLE_FIELD_OMIT_NULL),
      BRINDLE_DECL_SPOOLED(Flags, spool, "spool", BRINDLE_FIELD_SPOOLED_TEXT,
                           BRINDLE_FIELD_OMIT_EMPTY, nullptr),
  };
  static const brindle_map map = BRINDLE_MAP("flags", Flags, fields);
  Flags record{};
  record.count = 42;  // the value does not matter while the flag is 0
  record.source.fd = -1;
  record.json.fd = -1;
  EXPECT_EQ(via_sink(&map, &record, false), "{}");
  EXPECT_EQ(via_sink(&map, &record, true), "{}");
  record.count_present = 1;
  char empty[] = "";
  record.empty = empty;
  EXPECT_EQ(via_sink(&map, &record, false), "{\"count\":42,\"empty\":\"\"}");
}

struct Leaf {
  char *a;
  brindle_array b;
};
struct Branch {
  Leaf leaf;
  int64_t after;
};
struct NoFields {
  int64_t unused;
};
struct Holder {
  NoFields nothing;
  Branch branch;
};

TEST(SerializerOutput, ObjectsWithOnlyAbsentMembersAreEmptyRecursively) {
  static const brindle_field leaf_fields[] = {
      BRINDLE_DECL_STRING(Leaf, a, "a", BRINDLE_FIELD_OMIT_NULL),
      BRINDLE_DECL_ARRAY(Leaf, b, "b", BRINDLE_FIELD_STRING_ARRAY, BRINDLE_FIELD_OMIT_EMPTY)};
  static const brindle_map leaf_map = BRINDLE_MAP("leaf", Leaf, leaf_fields);
  static const brindle_field branch_fields[] = {
      BRINDLE_DECL_OBJECT(Branch, leaf, "leaf", BRINDLE_FIELD_OMIT_EMPTY, &leaf_map)};
  static const brindle_map branch_map = BRINDLE_MAP("branch", Branch, branch_fields);
  static const brindle_map no_fields_map = {"none", sizeof(NoFields), nullptr, 0};
  static const brindle_field holder_fields[] = {
      BRINDLE_DECL_OBJECT(Holder, nothing, "nothing", BRINDLE_FIELD_OMIT_EMPTY, &no_fields_map),
      BRINDLE_DECL_OBJECT(Holder, branch, "branch", BRINDLE_FIELD_OMIT_EMPTY, &branch_map),
  };
  static const brindle_map holder_map = BRINDLE_MAP("holder", Holder, holder_fields);
  Holder record{};
  EXPECT_EQ(via_sink(&holder_map, &record, false), "{}");
  char a[] = "x";
  record.branch.leaf.a = a;
  EXPECT_EQ(via_sink(&holder_map, &record, false), "{\"branch\":{\"leaf\":{\"a\":\"x\"}}}");
}

struct Numbers {
  int64_t n;
  brindle_array a;
};

TEST(SerializerOutput, PrettyLayoutOfMembersAndArrays) {
  static const brindle_field fields[] = {
      BRINDLE_DECL_I64(Numbers, n, "n", 0),
      BRINDLE_DECL_ARRAY(Numbers, a, "a", BRINDLE_FIELD_I64_ARRAY, 0)};
  static const brindle_map map = BRINDLE_MAP("numbers", Numbers, fields);
  std::vector<int64_t> values{1, 2};
  Numbers record{7, serial_test::fixed_array(values)};
  EXPECT_EQ(via_sink(&map, &record, true), "{\n  \"n\": 7,\n  \"a\": [\n    1,\n    2\n  ]\n}");
  EXPECT_EQ(via_sink(&map, &record, false), "{\"n\":7,\"a\":[1,2]}");
  record.a = {};
  EXPECT_EQ(via_sink(&map, &record, true), "{\n  \"n\": 7,\n  \"a\": []\n}");
  static const brindle_map empty_map = {"empty", sizeof(Numbers), nullptr, 0};
  EXPECT_EQ(via_sink(&empty_map, &record, true), "{}");
}

TEST(SerializerOutput, EveryKindCompactAndPretty) {
  using namespace serial_test;
  EverythingStorage storage;
  char alpha[] = "alpha";
  storage.strings = {alpha, nullptr};
  storage.i64s = {-5, 0, std::numeric_limits<int64_t>::min()};
  storage.u64s = {std::numeric_limits<uint64_t>::max()};
  storage.f64s = {0.5, -0.0};
  storage.bools = {1, 0, 7};
  char first[] = "first";
  storage.items = {{1, first}, {2, nullptr}};
  Everything record{};
  char text[] = "t\"ext";
  record.text = text;
  std::strcpy(record.fixed, "fix");
  record.i64 = std::numeric_limits<int64_t>::min();
  record.u64 = 18446744073709551615ull;
  record.f64 = 0.1;
  record.flag = 3;
  record.inner.id = 9;
  point_arrays(record, storage);
  record.maybe = 5;
  record.maybe_present = 1;
  EXPECT_EQ(via_sink(&kEverythingMap, &record, false),
            "{\"text\":\"t\\\"ext\",\"fixed\":\"fix\",\"i64\":-9223372036854775808,"
            "\"u64\":18446744073709551615,\"f64\":0.10000000000000001,\"flag\":true,"
            "\"inner\":{\"id\":9},\"strings\":[\"alpha\",\"\"],"
            "\"i64s\":[-5,0,-9223372036854775808],\"u64s\":[18446744073709551615],"
            "\"f64s\":[0.5,-0],\"bools\":[true,false,true],"
            "\"items\":[{\"id\":1,\"label\":\"first\"},{\"id\":2}],\"maybe\":5}");
  EXPECT_EQ(via_sink(&kEverythingMap, &record, true),
            "{\n"
            "  \"text\": \"t\\\"ext\",\n"
            "  \"fixed\": \"fix\",\n"
            "  \"i64\": -9223372036854775808,\n"
            "  \"u64\": 18446744073709551615,\n"
            "  \"f64\": 0.10000000000000001,\n"
            "  \"flag\": true,\n"
            "  \"inner\": {\n"
            "    \"id\": 9\n"
            "  },\n"
            "  \"strings\": [\n    \"alpha\",\n    \"\"\n  ],\n"
            "  \"i64s\": [\n    -5,\n    0,\n    -9223372036854775808\n  ],\n"
            "  \"u64s\": [\n    18446744073709551615\n  ],\n"
            "  \"f64s\": [\n    0.5,\n    -0\n  ],\n"
            "  \"bools\": [\n    true,\n    false,\n    true\n  ],\n"
            "  \"items\": [\n"
            "    {\n      \"id\": 1,\n      \"label\": \"first\"\n    },\n"
            "    {\n      \"id\": 2\n    }\n"
            "  ],\n"
            "  \"maybe\": 5\n"
            "}");
}

struct Text {
  char *s;
  char fixed[4];
};

TEST(SerializerOutput, EscapingOfControlBytesQuotesAndHighBytes) {
  static const brindle_field fields[] = {
      BRINDLE_DECL_STRING(Text, s, "s", 0),
      BRINDLE_DECL_FIXED_STRING(Text, fixed, "k\"\n", 0, BRINDLE_OVERFLOW_FAIL)};
  static const brindle_map map = BRINDLE_MAP("text", Text, fields);
  char input[] = "\x01/\x1f\"\\\b\t\n\f\r\x7f\xc3\xa9 end";
  Text record{input, {'a', 'b', 'c', 'd'}};  // the fixed string fills its storage: no NUL
  const std::string expected =
      "{\"s\":\"\\u0001/\\u001f\\\"\\\\\\b\\t\\n\\f\\r\x7f\xc3\xa9 end\",\"k\\\"\\n\":\"abcd\"}";
  EXPECT_EQ(via_sink(&map, &record, false), expected);
  // Plain runs reach the sink in one call each: "{", quote, key, quote, ":", quote, then the
  // escaped pieces; the long plain tail " end" with the high bytes is one call.
  Collected collected;
  brindle_serialize_sink(&map, &record, serial_test::collect, &collected, nullptr, nullptr);
  EXPECT_EQ(collected.text, expected);
  EXPECT_NE(collected.text.find("\x7f\xc3\xa9 end"), std::string::npos);
}

struct Real {
  double d;
  brindle_array list;
};

TEST(SerializerOutput, NonFiniteDoublesFail) {
  static const brindle_field fields[] = {
      BRINDLE_DECL_F64(Real, d, "d", 0),
      BRINDLE_DECL_ARRAY(Real, list, "list", BRINDLE_FIELD_F64_ARRAY, 0)};
  static const brindle_map map = BRINDLE_MAP("real", Real, fields);
  Real record{std::nan(""), {}};
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  via_sink(&map, &record, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "non-finite double cannot be serialized");
  std::vector<double> values{1.5, -std::numeric_limits<double>::infinity()};
  record.d = 1e300;
  record.list = serial_test::fixed_array(values);
  const std::string partial = via_sink(&map, &record, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "non-finite double array element cannot be serialized");
  EXPECT_EQ(partial, "{\"d\":1.0000000000000001e+300,\"list\":[1.5,");
}

struct Stream {
  brindle_string_array_stream stream;
};

TEST(SerializerOutput, StringStreamFieldsAreParseOnly) {
  static const brindle_field fields[] = {BRINDLE_DECL_STRING_STREAM(Stream, stream, "names", 0)};
  static const brindle_map map = BRINDLE_MAP("stream", Stream, fields);
  Stream record{};
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  via_sink(&map, &record, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "field 'names' is parse-only and cannot be serialized");
}

// Nested objects deeper than 32 levels need indentation wider than one 64-space piece.
TEST(SerializerOutput, DeepIndentationIsWrittenInPiecesOfSixtyFourSpaces) {
  constexpr int kLevels = 40;
  struct Node {
    int64_t value;
  };
  static std::vector<brindle_field> fields(kLevels);
  static std::vector<brindle_map> maps(kLevels);
  static const brindle_field leaf[] = {BRINDLE_DECL_I64(Node, value, "v", 0)};
  maps[0] = BRINDLE_MAP("leaf", Node, leaf);
  for (int i = 1; i < kLevels; ++i) {
    fields[i] = BRINDLE_DECL_OBJECT(Node, value, "o", 0, &maps[i - 1]);
    maps[i] = {"node", sizeof(Node), &fields[i], 1};
  }
  Node record{11};
  const std::string text = via_sink(&maps[kLevels - 1], &record, true);
  // The innermost member sits at depth kLevels: 2 * kLevels spaces.
  const std::string innermost = "\n" + std::string(2 * kLevels, ' ') + "\"v\": 11\n";
  EXPECT_NE(text.find(innermost), std::string::npos);
  Collected collected;
  const brindle_write_options pretty = serial_test::options(true);
  ASSERT_EQ(brindle_serialize_sink(&maps[kLevels - 1], &record, serial_test::collect, &collected,
                                   &pretty, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(collected.text, text);
  // Same text through the fixed buffer path, which indents in one piece.
  std::vector<char> buffer(text.size() + 1);
  size_t length = 0;
  ASSERT_EQ(brindle_serialize_buffer(&maps[kLevels - 1], &record, buffer.data(), buffer.size(),
                                     &length, &pretty, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(std::string(buffer.data(), length), text);
}

TEST(SerializerOutput, EmptyKeyAndKeysThatNeedEscapes) {
  struct Two {
    int64_t a;
    int64_t b;
  };
  static const brindle_field fields[] = {BRINDLE_DECL_I64(Two, a, "", 0),
                                         BRINDLE_DECL_I64(Two, b, "tab\there", 0)};
  static const brindle_map map = BRINDLE_MAP("two", Two, fields);
  Two record{1, 2};
  EXPECT_EQ(via_sink(&map, &record, false), "{\"\":1,\"tab\\there\":2}");
}

}  // namespace
