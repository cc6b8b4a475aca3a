// Values stored into members: strings and escapes, integers, booleans, null, arrays, object
// arrays, present flags, fixed storage with its overflow policies, and the type mismatches.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

struct MismatchCase {
  const char *text;
  brindle_status status;
  const char *message;
};

class Mismatches : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(Mismatches, NameTheField) {
  const MismatchCase &c = GetParam();
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, c.text);
  EXPECT_EQ(outcome.status, c.status) << c.text;
  EXPECT_STREQ(outcome.error.message, c.message) << c.text;
  brindle_cleanup(&kAllMap, &record);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Mismatches,
    ::testing::Values(
        MismatchCase{"{\"i\":\"x\"}", BRINDLE_TYPE_MISMATCH, "expected string field 'i'"},
        MismatchCase{"{\"s\":1}", BRINDLE_TYPE_MISMATCH, "numeric value does not match field 's'"},
        MismatchCase{"{\"obj\":2}", BRINDLE_TYPE_MISMATCH,
                     "numeric value does not match field 'obj'"},
        MismatchCase{"{\"s\":true}", BRINDLE_TYPE_MISMATCH,
                     "boolean value does not match field 's'"},
        MismatchCase{"{\"i\":null}", BRINDLE_TYPE_MISMATCH, "null is not allowed for 'i'"},
        MismatchCase{"{\"b\":null}", BRINDLE_TYPE_MISMATCH, "null is not allowed for 'b'"},
        MismatchCase{"{\"i\":{}}", BRINDLE_TYPE_MISMATCH, "field 'i' expects non-object value"},
        MismatchCase{"{\"strs\":{}}", BRINDLE_TYPE_MISMATCH,
                     "field 'strs' expects non-object value"},
        MismatchCase{"{\"obj\":[]}", BRINDLE_TYPE_MISMATCH, "field 'obj' is not an array"},
        MismatchCase{"{\"ints\":[[1]]}", BRINDLE_TYPE_MISMATCH,
                     "field 'ints' does not accept nested arrays"},
        MismatchCase{"{\"ints\":[{}]}", BRINDLE_TYPE_MISMATCH,
                     "array 'ints' expects scalar elements"},
        MismatchCase{"{\"ints\":[\"1\"]}", BRINDLE_TYPE_MISMATCH, "array 'ints' expects integers"},
        MismatchCase{"{\"uints\":[true]}", BRINDLE_TYPE_MISMATCH,
                     "array 'uints' expects unsigned integers"},
        MismatchCase{"{\"floats\":[null]}", BRINDLE_TYPE_MISMATCH,
                     "array 'floats' expects numbers"},
        MismatchCase{"{\"bools\":[1]}", BRINDLE_TYPE_MISMATCH, "array 'bools' expects booleans"},
        MismatchCase{"{\"strs\":[false]}", BRINDLE_TYPE_MISMATCH, "array 'strs' expects strings"},
        MismatchCase{"{\"objs\":[1]}", BRINDLE_TYPE_MISMATCH,
                     "field 'objs' does not accept scalar array values"},
        MismatchCase{"{\"ints\":[1.5]}", BRINDLE_TYPE_MISMATCH, "expected integer for 'ints'"},
        MismatchCase{"{\"uints\":[-1]}", BRINDLE_TYPE_MISMATCH,
                     "expected unsigned integer for 'uints'"},
        MismatchCase{"{\"floats\":[1e999]}", BRINDLE_TYPE_MISMATCH, "expected number for 'floats'"},
        // The grammar is checked first for targets that are not numbers.
        MismatchCase{"{\"strs\":[01]}", BRINDLE_INVALID_JSON, "invalid JSON number"},
        MismatchCase{"{\"s\":1.e5}", BRINDLE_INVALID_JSON, "invalid JSON number"},
        MismatchCase{"{\"s\":\"a\\u0000b\"}", BRINDLE_TYPE_MISMATCH,
                     "field 's' contains embedded NUL unsupported by C strings"},
        MismatchCase{"{\"strs\":[\"\\u0000\"]}", BRINDLE_TYPE_MISMATCH,
                     "array 'strs' contains embedded NUL unsupported by C strings"}));

TEST(Strings, SimpleEscapesDecode) {
  All record;
  const Outcome outcome =
      parse_text(&kAllMap, &record, "{\"s\":\"q\\\" b\\\\ s\\/ \\b\\f\\n\\r\\t end\"}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_STREQ(record.s, "q\" b\\ s/ \b\f\n\r\t end");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Strings, UnicodeEscapesBecomeUtf8) {
  All record;
  const Outcome outcome = parse_text(
      &kAllMap, &record, "{\"s\":\"\\u0041\\u00e9\\u20AC\\uD83D\\uDE00\\u007f\\u0800\"}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_STREQ(record.s, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\xE0\xA0\x80");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Strings, BytesAboveAsciiPassUnchecked) {
  All record;
  const Outcome outcome = parse_text(&kAllMap, &record, "{\"s\":\"\xFF\xC3\x28\x80\"}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_STREQ(record.s, "\xFF\xC3\x28\x80");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Strings, BadEscapesFailAtTheirByte) {
  struct Case {
    const char *text;
    const char *message;
    size_t offset;
  };
  const Case cases[] = {
      {"{\"s\":\"\\x\"}", "invalid escape sequence", 8},
      {"{\"s\":\"\\u12G4\"}", "invalid unicode escape", 11},
      {"{\"s\":\"\\uDE00\"}", "unexpected low surrogate", 12},
      {"{\"s\":\"\\uD83D\"}", "unterminated unicode surrogate pair", 13},
      {"{\"s\":\"\\uD83D\\u0041\"}", "invalid unicode surrogate pair", 18},
      {"{\"s\":\"\\uD83D\\n\"}", "invalid unicode surrogate pair", 14},
      // The low half must follow at once: anything in between would land before it.
      {"{\"s\":\"\\uD83Dx\\uDE00\"}", "invalid unicode surrogate pair", 13},
      {"{\"zz\":\"\\q\"}", "invalid escape sequence", 9},
  };
  for (const Case &c : cases) {
    All record;
    const Outcome outcome = parse_text(&kAllMap, &record, c.text);
    EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << c.text;
    EXPECT_STREQ(outcome.error.message, c.message) << c.text;
    EXPECT_EQ(outcome.error.offset, c.offset) << c.text;
    brindle_cleanup(&kAllMap, &record);
  }
}

struct Fixed {
  char f4[4];
  char f1[1];
};

TEST(Strings, FixedStorageOverflowPolicies) {
  for (int policy :
       {BRINDLE_OVERFLOW_FAIL, BRINDLE_OVERFLOW_TRUNCATE, BRINDLE_OVERFLOW_TRUNCATE_SILENT}) {
    const brindle_field fields[] = {
        BRINDLE_DECL_FIXED_STRING(Fixed, f4, "f4", 0, policy),
        BRINDLE_DECL_FIXED_STRING(Fixed, f1, "f1", 0, policy),
    };
    const brindle_map map = BRINDLE_MAP("fixed_json", Fixed, fields);
    Fixed record;
    Outcome outcome = parse_text(&map, &record, "{\"f4\":\"abcdef\",\"f1\":\"\"}");
    if (policy == BRINDLE_OVERFLOW_FAIL) {
      EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
      EXPECT_STREQ(outcome.error.message, "string field 'f4' exceeds fixed capacity");
      EXPECT_EQ(outcome.error.offset, 11u);
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_TRUNCATED);
      EXPECT_EQ(outcome.error.code, BRINDLE_TRUNCATED);
      EXPECT_EQ(outcome.error.truncated, 1);
      EXPECT_STREQ(record.f4, "abc");
      EXPECT_STREQ(record.f1, "");
    }
    // Exactly capacity - 1 bytes fit, also when they come from escapes.
    outcome = parse_text(&map, &record, "{\"f4\":\"a\\u00e9\"}");
    EXPECT_EQ(outcome.status, BRINDLE_OK);
    EXPECT_STREQ(record.f4, "a\xC3\xA9");
    outcome = parse_text(&map, &record, "{\"f4\":null}");
    EXPECT_EQ(outcome.status, BRINDLE_OK);
    EXPECT_STREQ(record.f4, "");
  }
}

struct Odd {
  brindle_source source;
  char zero[1];
};

TEST(Strings, SerializeOnlyAndZeroCapacityMembers) {
  brindle_field fields[] = {
      BRINDLE_DECL_SOURCE(Odd, source, "source", BRINDLE_FIELD_SOURCE_TEXT, 0),
      BRINDLE_DECL_FIXED_STRING(Odd, zero, "zero", 0, BRINDLE_OVERFLOW_FAIL),
  };
  fields[1].capacity = 0;  // a layout the serializers refuse; the parser reports it on use
  const brindle_map map = BRINDLE_MAP("odd_json", Odd, fields);
  Odd record;
  std::memset(&record, 0, sizeof(record));
  brindle_parse_options keep = brindle_default_parse_options();
  keep.clear_destination = 0;
  Outcome outcome = parse_text(&map, &record, "{\"source\":\"text\"}", &keep);
  EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(outcome.error.message,
               "field 'source' is serialize-only and cannot be parsed from JSON");
  record.source.kind = BRINDLE_SOURCE_FD;
  record.source.fd = 0;
  outcome = parse_text(&map, &record, "{\"source\":null}", &keep);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.source.kind, BRINDLE_SOURCE_NONE);
  EXPECT_EQ(record.source.fd, -1);
  outcome = parse_text(&map, &record, "{\"zero\":\"x\"}", &keep);
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(outcome.error.message, "fixed string field has zero capacity");
  record.zero[0] = 'q';
  outcome = parse_text(&map, &record, "{\"zero\":null}", &keep);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.zero[0], 'q');  // nothing is written into a member of no bytes
}

TEST(Numbers, IntegerRanges) {
  All record;
  Outcome outcome =
      parse_text(&kAllMap, &record, "{\"i\":9223372036854775807,\"u\":18446744073709551615}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.i, INT64_MAX);
  EXPECT_EQ(record.u, UINT64_MAX);
  outcome = parse_text(&kAllMap, &record, "{\"i\":-9223372036854775808,\"u\":0}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.i, INT64_MIN);
  EXPECT_EQ(record.u, 0u);
  outcome = parse_text(&kAllMap, &record, "{\"i\":-0}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.i, 0);
  for (const char *text : {"9223372036854775808", "-9223372036854775809", "1.0", "01", "1e2", "-",
                           "--1", "1-", "99999999999999999999"}) {
    outcome = parse_text(&kAllMap, &record, std::string("{\"i\":") + text + "}");
    EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH) << text;
    EXPECT_STREQ(outcome.error.message, "expected integer for 'i'") << text;
  }
  for (const char *text : {"-1", "18446744073709551616", "1.5", "00", "-0"}) {
    outcome = parse_text(&kAllMap, &record, std::string("{\"u\":") + text + "}");
    EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH) << text;
    EXPECT_STREQ(outcome.error.message, "expected unsigned integer for 'u'") << text;
  }
  brindle_cleanup(&kAllMap, &record);
}

TEST(Literals, BooleansAndPresentFlags) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, "{\"b\":true,\"pi\":7}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.b, 1);
  EXPECT_EQ(record.pi, 7);
  EXPECT_EQ(record.pi_present, 1);
  outcome = parse_text(&kAllMap, &record, "{\"b\":false}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.b, 0);
  EXPECT_EQ(record.pi_present, 0);  // initialised by the parse
  outcome = parse_text(&kAllMap, &record, "{\"pi\":\"x\"}");
  EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(record.pi_present, 0);  // a failed assignment does not mark it present
}

TEST(Null, ClearsMembersByKind) {
  All record;
  Outcome outcome = parse_text(
      &kAllMap, &record,
      "{\"s\":\"x\",\"fixed\":\"ab\",\"obj\":{\"n\":3,\"label\":\"l\"},\"strs\":[\"a\",\"b\"],"
      "\"ints\":[1],\"objs\":[{\"n\":1}]}");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  brindle_parse_options keep = brindle_default_parse_options();
  keep.clear_destination = 0;
  outcome = parse_text(&kAllMap, &record,
                       "{\"s\":null,\"fixed\":null,\"obj\":null,\"strs\":null,\"ints\":null,"
                       "\"objs\":null}",
                       &keep);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.s, nullptr);
  EXPECT_STREQ(record.fixed, "");
  EXPECT_EQ(record.obj.n, 0);
  EXPECT_EQ(record.obj.label, nullptr);
  EXPECT_EQ(record.strs.count, 0u);
  EXPECT_EQ(record.strs.items, nullptr);
  EXPECT_EQ(record.ints.count, 0u);
  EXPECT_EQ(record.objs.count, 0u);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Arrays, ElementsOfEveryKind) {
  All record;
  const Outcome outcome = parse_text(
      &kAllMap, &record,
      "{\"strs\":[\"a\",null,\"\\u00e9\",\"\"],\"ints\":[1,-2,9223372036854775807],"
      "\"uints\":[0,18446744073709551615],\"floats\":[1.5,-2e3,0],\"bools\":[true,false],"
      "\"objs\":[{\"n\":1},{\"n\":2,\"label\":\"two\"}],\"zz\":[]}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  ASSERT_EQ(record.strs.count, 4u);
  EXPECT_STREQ(item<char *>(record.strs, 0), "a");
  EXPECT_STREQ(item<char *>(record.strs, 1), "");
  EXPECT_STREQ(item<char *>(record.strs, 2), "\xC3\xA9");
  EXPECT_STREQ(item<char *>(record.strs, 3), "");
  ASSERT_EQ(record.ints.count, 3u);
  EXPECT_EQ(item<int64_t>(record.ints, 1), -2);
  EXPECT_EQ(item<int64_t>(record.ints, 2), INT64_MAX);
  ASSERT_EQ(record.uints.count, 2u);
  EXPECT_EQ(item<uint64_t>(record.uints, 1), UINT64_MAX);
  ASSERT_EQ(record.floats.count, 3u);
  EXPECT_EQ(item<double>(record.floats, 1), -2000.0);
  ASSERT_EQ(record.bools.count, 2u);
  EXPECT_EQ(item<int32_t>(record.bools, 0), 1);
  EXPECT_EQ(item<int32_t>(record.bools, 1), 0);
  ASSERT_EQ(record.objs.count, 2u);
  EXPECT_EQ(record.objs.element_size, sizeof(Nested));
  EXPECT_EQ(object_item(record.objs, 1).n, 2);
  EXPECT_STREQ(object_item(record.objs, 1).label, "two");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Arrays, GrowByDoublingFromFour) {
  All record;
  std::string text = "{\"ints\":[";
  for (int i = 0; i < 9; ++i)
    text += std::string(i ? "," : "") + std::to_string(i);
  text += "]}";
  const Outcome outcome = parse_text(&kAllMap, &record, text);
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(record.ints.count, 9u);
  EXPECT_EQ(record.ints.capacity, 16u);
  EXPECT_EQ(record.ints.flags, BRINDLE_ARRAY_OWNED);
  EXPECT_EQ(item<int64_t>(record.ints, 8), 8);
  brindle_cleanup(&kAllMap, &record);
}

struct FixedArrays {
  brindle_array ints;
  brindle_object_array objs;
};

TEST(Arrays, FixedStorageOverflowPolicies) {
  for (int policy : {BRINDLE_OVERFLOW_FAIL, BRINDLE_OVERFLOW_TRUNCATE}) {
    const brindle_field fields[] = {
        BRINDLE_DECL_FIXED_ARRAY(FixedArrays, ints, "ints", BRINDLE_FIELD_I64_ARRAY, 0, policy, 2),
        BRINDLE_DECL_FIELD(FixedArrays, objs, "objs", BRINDLE_FIELD_OBJECT_ARRAY,
                           BRINDLE_STORAGE_FIXED, policy, 0, 1, sizeof(Nested), &kNestedMap,
                           nullptr, 0),
    };
    const brindle_map map = BRINDLE_MAP("fixed_arrays_json", FixedArrays, fields);
    int64_t storage[2] = {0, 0};
    Nested nested[1];
    FixedArrays record;
    brindle_init(&map, &record);
    record.ints.items = storage;
    record.ints.capacity = 2;
    record.ints.flags = BRINDLE_ARRAY_FIXED;
    record.objs.items = nested;
    record.objs.capacity = 1;
    record.objs.flags = BRINDLE_ARRAY_FIXED;
    brindle_parse_options options = brindle_default_parse_options();
    options.clear_destination = 0;
    Outcome outcome = parse_text(&map, &record, "{\"ints\":[1,2,3]}", &options);
    if (policy == BRINDLE_OVERFLOW_FAIL) {
      EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
      EXPECT_STREQ(outcome.error.message, "array capacity exceeded");
      EXPECT_EQ(outcome.error.offset, 15u);
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_TRUNCATED);
      EXPECT_EQ(outcome.error.truncated, 1);
    }
    EXPECT_EQ(record.ints.count, 2u);
    EXPECT_EQ(storage[1], 2);
    EXPECT_EQ(record.ints.items, storage);

    outcome =
        parse_text(&map, &record, "{\"objs\":[{\"n\":1},{\"n\":2,\"label\":\"x\"}]}", &options);
    if (policy == BRINDLE_OVERFLOW_FAIL) {
      EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_TRUNCATED);  // the second object is read and dropped
    }
    EXPECT_EQ(record.objs.count, 1u);
    EXPECT_EQ(nested[0].n, 1);
    brindle_reset(&map, &record);
    EXPECT_EQ(record.ints.count, 0u);
    EXPECT_EQ(record.ints.items, storage);
    brindle_cleanup(&map, &record);
    EXPECT_EQ(record.objs.items, nested);
  }
}

TEST(Objects, NestedRecordsReleaseTheirStringsOnCleanup) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  All record;
  const Outcome outcome =
      parse_text(&kAllMap, &record,
                 "{\"s\":\"top\",\"obj\":{\"n\":1,\"label\":\"nested\"},\"strs\":[\"x\",\"y\"],"
                 "\"objs\":[{\"n\":1,\"label\":\"a\"},{\"n\":2,\"label\":\"b\"}]}",
                 &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_GT(allocator.stats().current_bytes, 0u);
  // Six strings and two element buffers, each one block.
  EXPECT_EQ(allocator.stats().allocations, 8u);
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.stats().frees, 8u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

}  // namespace
