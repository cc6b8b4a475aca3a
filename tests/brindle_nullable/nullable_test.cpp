// Nullable numbers and booleans: a null in the document leaves the member as it was and clears its
// present flag, and the serializer and generator write null back for such a member.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brindle.h"

namespace {

struct Reading {
  int64_t delta;
  int32_t delta_present;
  uint64_t count;
  int32_t count_present;
  double level;
  int32_t level_present;
  int32_t ok;
  int32_t ok_present;
  int64_t plain;   // nullable without a present flag
  int64_t strict;  // has a present flag, but null is not allowed
  int32_t strict_present;
};

const brindle_field kReadingFields[] = {
    BRINDLE_DECL_PRESENT(Reading, delta, "delta", BRINDLE_FIELD_I64, BRINDLE_FIELD_NULLABLE,
                         delta_present),
    BRINDLE_DECL_PRESENT(Reading, count, "count", BRINDLE_FIELD_U64, BRINDLE_FIELD_NULLABLE,
                         count_present),
    BRINDLE_DECL_PRESENT(Reading, level, "level", BRINDLE_FIELD_F64, BRINDLE_FIELD_NULLABLE,
                         level_present),
    BRINDLE_DECL_PRESENT(Reading, ok, "ok", BRINDLE_FIELD_BOOL, BRINDLE_FIELD_NULLABLE, ok_present),
    BRINDLE_DECL_I64(Reading, plain, "plain", BRINDLE_FIELD_NULLABLE | BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_PRESENT(Reading, strict, "strict", BRINDLE_FIELD_I64, 0, strict_present),
};
const brindle_map kReadingMap = BRINDLE_MAP("reading", Reading, kReadingFields);

brindle_status parse(const std::string &text, Reading *out, brindle_error *error,
                     int32_t clear = 1) {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = clear;
  options.reject_duplicates = 0;
  return brindle_parse_buffer(&kReadingMap, out, text.data(), text.size(), &options, error);
}

std::string serialize(const brindle_map *map, const void *record, bool pretty = false) {
  brindle_write_options options = brindle_default_write_options();
  options.pretty = pretty ? 1 : 0;
  brindle_owned_buffer out = brindle_default_owned_buffer();
  brindle_error error;
  const brindle_status status = brindle_serialize_owned(map, record, &out, &options, &error);
  EXPECT_EQ(status, BRINDLE_OK) << error.message;
  std::string text = status == BRINDLE_OK ? std::string(out.data, out.length) : std::string();
  brindle_owned_buffer_free(&out);
  return text;
}

// The generator's text, read a few bytes at a time so that every value crosses a piece boundary.
std::string generate(const brindle_map *map, const void *record, bool pretty) {
  brindle_write_options options = brindle_default_write_options();
  options.pretty = pretty ? 1 : 0;
  brindle_generator generator;
  EXPECT_EQ(brindle_generator_init(&generator, map, record, &options), BRINDLE_OK);
  std::string text;
  int done = 0;
  while (done == 0) {
    char piece[3];
    size_t got = 0;
    if (brindle_generator_read(&generator, piece, sizeof piece, &got, &done) != BRINDLE_OK) {
      ADD_FAILURE() << generator.error.message;
      break;
    }
    text.append(piece, got);
  }
  brindle_generator_cleanup(&generator);
  return text;
}

struct ByteReader {
  const std::string *text;
  size_t at;
};

brindle_read_result one_byte(void *user, char *buffer, size_t capacity) {
  auto *reader = static_cast<ByteReader *>(user);
  brindle_read_result result = brindle_default_read_result();
  if (reader->at < reader->text->size() && capacity > 0) {
    buffer[0] = (*reader->text)[reader->at++];
    result.bytes = 1;
  }
  result.eof = reader->at == reader->text->size() ? 1 : 0;
  return result;
}

TEST(NullableParse, NullClearsThePresentFlagAndKeepsTheMember) {
  Reading r{};
  brindle_error error;
  const std::string text =
      R"({"delta":null,"count":null,"level":null,"ok":null,"plain":null,"strict":4})";
  ASSERT_EQ(parse(text, &r, &error), BRINDLE_OK) << error.message;
  EXPECT_EQ(r.delta_present, 0);
  EXPECT_EQ(r.count_present, 0);
  EXPECT_EQ(r.level_present, 0);
  EXPECT_EQ(r.ok_present, 0);
  EXPECT_EQ(r.delta, 0);
  EXPECT_EQ(r.plain, 0);
  EXPECT_EQ(r.strict, 4);
  EXPECT_EQ(r.strict_present, 1);

  // Into a record the caller prepared: the members keep their values, the flags drop to 0.
  Reading kept{};
  kept.delta = -9;
  kept.delta_present = 1;
  kept.level = 2.5;
  kept.level_present = 1;
  kept.ok = 1;
  kept.ok_present = 1;
  kept.plain = 77;
  ASSERT_EQ(parse(R"({"delta":null,"level":null,"ok":null,"plain":null})", &kept, &error, 0),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(kept.delta, -9);
  EXPECT_EQ(kept.delta_present, 0);
  EXPECT_EQ(kept.level, 2.5);
  EXPECT_EQ(kept.level_present, 0);
  EXPECT_EQ(kept.ok, 1);
  EXPECT_EQ(kept.ok_present, 0);
  EXPECT_EQ(kept.plain, 77);
}

TEST(NullableParse, ValuesAreStoredAsBeforeAndTheLastOfRepeatedKeysWins) {
  Reading r{};
  brindle_error error;
  ASSERT_EQ(parse(R"({"delta":-3,"count":18446744073709551615,"level":0.5,"ok":true,"plain":6})",
                  &r, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(r.delta, -3);
  EXPECT_EQ(r.count, UINT64_MAX);
  EXPECT_EQ(r.level, 0.5);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.plain, 6);
  EXPECT_EQ(r.delta_present + r.count_present + r.level_present + r.ok_present, 4);

  ASSERT_EQ(parse(R"({"plain":1,"delta":5,"delta":null,"ok":null,"ok":false})", &r, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(r.delta_present, 0);
  EXPECT_EQ(r.ok_present, 1);
  EXPECT_EQ(r.ok, 0);

  // Other types are still refused, null or not.
  EXPECT_EQ(parse(R"({"plain":1,"delta":"x"})", &r, &error), BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(parse(R"({"plain":1,"ok":0})", &r, &error), BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(parse(R"({"plain":1,"count":-1})", &r, &error), BRINDLE_TYPE_MISMATCH);
}

TEST(NullableParse, WithoutTheFlagNullIsStillAMismatch) {
  Reading r{};
  brindle_error error;
  EXPECT_EQ(parse(R"({"plain":1,"strict":null})", &r, &error), BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "null is not allowed for 'strict'");
  // A required nullable member is satisfied by null, and missing it still fails.
  EXPECT_EQ(parse(R"({"plain":null})", &r, &error), BRINDLE_OK) << error.message;
  EXPECT_EQ(parse(R"({"delta":null})", &r, &error), BRINDLE_MISSING_REQUIRED_FIELD);
}

TEST(NullableParse, NullSplitAcrossOneByteReads) {
  const std::string text = " {\"ok\" : null , \"plain\":null,\"level\":null, \"count\" : 12 } ";
  ByteReader reader{&text, 0};
  Reading r{};
  r.ok = 1;
  brindle_error error;
  ASSERT_EQ(brindle_parse_reader(&kReadingMap, &r, one_byte, &reader, nullptr, &error), BRINDLE_OK)
      << error.message;
  EXPECT_EQ(r.ok_present, 0);
  EXPECT_EQ(r.level_present, 0);
  EXPECT_EQ(r.count_present, 1);
  EXPECT_EQ(r.count, 12u);
}

TEST(NullableParse, OtherKindsIgnoreTheFlag) {
  struct Named {
    char *name;
    int64_t n;
  };
  const brindle_field fields[] = {BRINDLE_DECL_STRING(Named, name, "name", BRINDLE_FIELD_NULLABLE),
                                  BRINDLE_DECL_I64(Named, n, "n", 0)};
  const brindle_map map = BRINDLE_MAP("named", Named, fields);
  Named named{};
  brindle_error error;
  ASSERT_EQ(brindle_parse_cstr(&map, &named, R"({"name":"x","n":1})", nullptr, &error), BRINDLE_OK);
  EXPECT_STREQ(named.name, "x");
  EXPECT_EQ(serialize(&map, &named), R"({"name":"x","n":1})");
  brindle_parse_options keep = brindle_default_parse_options();
  keep.clear_destination = 0;
  ASSERT_EQ(brindle_parse_cstr(&map, &named, R"({"name":null})", &keep, &error), BRINDLE_OK);
  EXPECT_EQ(named.name, nullptr);  // freed, as without the flag
  EXPECT_EQ(serialize(&map, &named), R"({"name":null,"n":1})");
  ASSERT_EQ(brindle_parse_cstr(&map, &named, R"({"name":"y"})", nullptr, &error), BRINDLE_OK);
  brindle_cleanup(&map, &named);  // the map stays valid: cleanup frees "y" (checked by ASan)
  EXPECT_EQ(named.name, nullptr);
}

TEST(NullableSerialize, AbsentNullableMembersAreWrittenAsNull) {
  Reading r{};
  r.delta = 5;  // a value with its flag at 0 is not written
  r.count = 3;
  r.count_present = 1;
  r.strict = 9;  // not nullable and absent: left out
  EXPECT_EQ(serialize(&kReadingMap, &r),
            R"({"delta":null,"count":3,"level":null,"ok":null,"plain":0})");
  EXPECT_EQ(serialize(&kReadingMap, &r, true),
            "{\n  \"delta\": null,\n  \"count\": 3,\n  \"level\": null,\n  \"ok\": null,\n"
            "  \"plain\": 0\n}");
  r.ok_present = 1;
  r.strict_present = 1;
  EXPECT_EQ(serialize(&kReadingMap, &r),
            R"({"delta":null,"count":3,"level":null,"ok":false,"plain":0,"strict":9})");
}

TEST(NullableSerialize, GeneratorAndMeasureAgreeWithTheSerializer) {
  Reading r{};
  r.level = 1.25;
  r.level_present = 1;
  for (bool pretty : {false, true}) {
    const std::string expected = serialize(&kReadingMap, &r, pretty);
    EXPECT_EQ(generate(&kReadingMap, &r, pretty), expected);
    brindle_write_options options = brindle_default_write_options();
    options.pretty = pretty ? 1 : 0;
    size_t length = 0;
    ASSERT_EQ(brindle_generator_measure(&kReadingMap, &r, &options, &length, nullptr), BRINDLE_OK);
    EXPECT_EQ(length, expected.size());
  }
}

TEST(NullableSerialize, RoundTripKeepsNullsAndValues) {
  const std::string text =
      R"({"delta":null,"count":0,"level":-0.25,"ok":null,"plain":-1,"strict":2})";
  Reading first{};
  brindle_error error;
  ASSERT_EQ(parse(text, &first, &error), BRINDLE_OK) << error.message;
  const std::string written = serialize(&kReadingMap, &first);
  EXPECT_EQ(written, text);
  Reading second{};
  ASSERT_EQ(parse(written, &second, &error), BRINDLE_OK) << error.message;
  EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
  EXPECT_EQ(generate(&kReadingMap, &second, false), text);
}

// The validator and the visitor take null anywhere; the mapped parse now takes these documents
// too, so the three agree on them.
struct NullCounter {
  int nulls = 0;
  int numbers = 0;
};

brindle_status on_null(void *user, brindle_error *) {
  ++static_cast<NullCounter *>(user)->nulls;
  return BRINDLE_OK;
}
brindle_status on_number_end(void *user, brindle_error *) {
  ++static_cast<NullCounter *>(user)->numbers;
  return BRINDLE_OK;
}

TEST(NullableValidation, ValidatorVisitorAndMappedParseAgree) {
  const std::string good = R"({"delta":null,"ok":null,"plain":null,"count":1})";
  const std::string bad = R"({"delta":nul,"plain":null})";
  brindle_error error;
  EXPECT_EQ(brindle_validate_buffer(good.data(), good.size(), &error), BRINDLE_OK);
  EXPECT_EQ(brindle_validate_buffer(bad.data(), bad.size(), &error), BRINDLE_INVALID_JSON);

  brindle_value_visitor visitor = brindle_default_value_visitor();
  visitor.null_value = on_null;
  visitor.number_end = on_number_end;
  NullCounter counter;
  ASSERT_EQ(
      brindle_visit_value_buffer(good.data(), good.size(), &visitor, &counter, nullptr, &error),
      BRINDLE_OK)
      << error.message;
  EXPECT_EQ(counter.nulls, 3);
  EXPECT_EQ(counter.numbers, 1);

  Reading r{};
  EXPECT_EQ(parse(good, &r, &error), BRINDLE_OK) << error.message;
  EXPECT_EQ(parse(bad, &r, &error), BRINDLE_INVALID_JSON);
}

}  // namespace
