// Chunk invariance: a document fed in two pieces at every split point, and one byte at a time,
// gives the same record, status, message and position as the document fed whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "parser_test_support.h"

using namespace parser_test;

namespace {

std::string describe(const All &r) {
  std::string out;
  char buffer[96];
  out += "s=" + std::string(r.s != nullptr ? r.s : "(null)");
  out += " fixed=" + std::string(r.fixed);
  std::snprintf(buffer, sizeof(buffer), " i=%lld u=%llu f=%.17g b=%d pi=%lld/%d",
                static_cast<long long>(r.i), static_cast<unsigned long long>(r.u), r.f, r.b,
                static_cast<long long>(r.pi), r.pi_present);
  out += buffer;
  out += " obj=" + std::to_string(r.obj.n) + "/" + (r.obj.label ? r.obj.label : "(null)");
  out += " strs=[";
  for (size_t k = 0; k < r.strs.count; ++k)
    out += std::string(item<char *>(r.strs, k)) + "|";
  out += "] ints=[";
  for (size_t k = 0; k < r.ints.count; ++k)
    out += std::to_string(item<int64_t>(r.ints, k)) + ",";
  out += "] uints=[";
  for (size_t k = 0; k < r.uints.count; ++k) {
    out += std::to_string(item<uint64_t>(r.uints, k)) + ",";
  }
  out += "] floats=[";
  for (size_t k = 0; k < r.floats.count; ++k) {
    std::snprintf(buffer, sizeof(buffer), "%.17g,", item<double>(r.floats, k));
    out += buffer;
  }
  out += "] bools=[";
  for (size_t k = 0; k < r.bools.count; ++k)
    out += std::to_string(item<int32_t>(r.bools, k));
  out += "] objs=[";
  for (size_t k = 0; k < r.objs.count; ++k) {
    const Nested &n = object_item(r.objs, k);
    out += std::to_string(n.n) + "/" + (n.label ? n.label : "(null)") + ";";
  }
  return out + "]";
}

std::string describe_outcome(const Outcome &o) {
  char buffer[300];
  std::snprintf(buffer, sizeof(buffer), "status=%d code=%d msg='%s' at %zu:%zu@%zu trunc=%d",
                o.status, o.error.code, o.error.message, o.error.line, o.error.column,
                o.error.offset, o.error.truncated);
  return buffer;
}

std::string run_whole(const std::string &text, std::string *record_out,
                      const brindle_parse_options *options, bool validation) {
  All record;
  std::memset(&record, 0, sizeof(record));
  const Outcome outcome = feed_in_chunks(&kAllMap, &record, text, 0, options, validation);
  if (!validation) *record_out = describe(record);
  brindle_cleanup(&kAllMap, &record);
  return describe_outcome(outcome);
}

// Tricky places for a chunk boundary: inside escapes and surrogate pairs, inside numbers that
// end the document, inside literals, keys, direct and token strings, at newlines, inside
// failures, across truncation and duplicate detection.
const char *const kDocuments[] = {
    "{\"s\":\"a\\\"b\\\\c\\/\\n\\u00e9\\uD83D\\uDE00z\",\"fixed\":\"\\u20ACxyz\",\"i\":-42}",
    "{\n  \"i\": 9223372036854775807,\r\n  \"u\": 18446744073709551615,\n\t\"f\": -1.25e-3,\n"
    "  \"b\": true, \"pi\": 0\n}\n",
    "{\"strs\":[\"one\",null,\"\",\"th\\u0072ee\"],\"ints\":[1,-2,3],\"uints\":[0],"
    "\"floats\":[0.1,2.5e10,-0],\"bools\":[false,true]}",
    "{\"objs\":[{\"n\":1,\"label\":\"a\"},{\"label\":\"b\",\"n\":2}],\"obj\":{\"n\":3}}",
    "{\"unknown\":{\"x\":[1,2,{\"y\":\"\\u1234\\\\\"}],\"z\":null},\"i\":5,\"zz\":\"skip\"}",
    "{\"fixed\":\"abcdefgh\",\"s\":\"after truncation\"}",
    "{\"i\":1,\"s\":\"x\",\"i\":2}",
    "{\"obj\":{\"label\":\"missing n\"}}",
    "{\"s\":\"bad \\uD83D\\u0041 pair\"}",
    "{\"s\":\"line\nbreak\"}",
    "{\"i\":12 ,\n\"u\":1e5}",
    "{\"f\":1e400}",
    "{\"b\":tru}",
    "{\"i\":1}\n \t x",
    "{\"ints\":[1,2,]}",
    "{\"s\":\"\\x\"}",
    "{\"f\":-0.000123456789012345678}",
    "{\"floats\":[-2.137434449116363827e-308,1.000000000000000000e-400,-1e-400,4.9e-324],"
    "\"f\":-2.2250738585072011e-308}",
};

class ChunkInvariance : public ::testing::TestWithParam<const char *> {};

TEST_P(ChunkInvariance, EverySplitPointAndSingleBytes) {
  const std::string text = GetParam();
  std::string whole_record;
  const std::string whole = run_whole(text, &whole_record, nullptr, false);
  for (size_t split = 1; split < text.size(); ++split) {
    All record;
    std::memset(&record, 0, sizeof(record));
    const Outcome outcome = feed_split(&kAllMap, &record, text, {split});
    EXPECT_EQ(describe_outcome(outcome), whole) << "split at " << split;
    EXPECT_EQ(describe(record), whole_record) << "split at " << split;
    brindle_cleanup(&kAllMap, &record);
  }
  All record;
  std::memset(&record, 0, sizeof(record));
  const Outcome bytes = feed_in_chunks(&kAllMap, &record, text, 1);
  EXPECT_EQ(describe_outcome(bytes), whole);
  EXPECT_EQ(describe(record), whole_record);
  brindle_cleanup(&kAllMap, &record);
}

TEST_P(ChunkInvariance, ValidationModeToo) {
  const std::string text = GetParam();
  std::string unused;
  const std::string whole = run_whole(text, &unused, nullptr, true);
  for (size_t split = 1; split < text.size(); ++split) {
    const Outcome outcome = feed_split(nullptr, nullptr, text, {split}, nullptr, true);
    EXPECT_EQ(describe_outcome(outcome), whole) << "split at " << split;
  }
  EXPECT_EQ(describe_outcome(feed_in_chunks(nullptr, nullptr, text, 1, nullptr, true)), whole);
}

INSTANTIATE_TEST_SUITE_P(Documents, ChunkInvariance, ::testing::ValuesIn(kDocuments));

TEST(ChunkInvariance, TokenSpaceLimitsDoNotDependOnChunks) {
  // A key and a number at the limit of the token space: the whole document fails at the same
  // byte whether the token sits in one chunk or is gathered from several.
  const std::string text = "{\"" + std::string(4010, 'k') + "\":1}";
  std::string record_text;
  const std::string whole = run_whole(text, &record_text, nullptr, false);
  EXPECT_NE(whole.find("parser workspace exhausted by token"), std::string::npos);
  for (size_t chunk : {1u, 7u, 1000u, 4005u}) {
    All record;
    std::memset(&record, 0, sizeof(record));
    EXPECT_EQ(describe_outcome(feed_in_chunks(&kAllMap, &record, text, chunk)), whole);
  }
  const std::string number = "{\"zz\":" + std::string(4010, '1') + "}";
  const std::string whole_number = run_whole(number, &record_text, nullptr, false);
  EXPECT_NE(whole_number.find("parser workspace exhausted by token"), std::string::npos);
  for (size_t chunk : {1u, 3u, 4000u}) {
    All record;
    std::memset(&record, 0, sizeof(record));
    EXPECT_EQ(describe_outcome(feed_in_chunks(&kAllMap, &record, number, chunk)), whole_number);
  }
}

TEST(StopAtRootEnd, ReturnsWhenTheRootIsComplete) {
  brindle_parser *parser = brindle__parser_new(nullptr);
  All record;
  ASSERT_EQ(brindle__parser_init_state(parser, &kAllMap, &record, nullptr, 0), BRINDLE_OK);
  brindle__parser_prepare_record(&kAllMap, &record, nullptr);
  const std::string text = "{\"i\":1} {\"i\":2}";
  size_t consumed = 0;
  EXPECT_FALSE(brindle__parser_root_started(parser));
  EXPECT_EQ(brindle__parser_feed_bytes(parser, text.data(), text.size(), &consumed, 1), BRINDLE_OK);
  EXPECT_EQ(consumed, 7u);
  EXPECT_TRUE(brindle__parser_root_started(parser));
  EXPECT_TRUE(brindle__parser_root_complete(parser));
  EXPECT_EQ(brindle_parser_finish(parser), BRINDLE_OK);
  EXPECT_EQ(record.i, 1);
  brindle_cleanup(&kAllMap, &record);
  brindle__parser_delete(parser);
}

TEST(StopAtRootEnd, TheByteAfterARootNumberIsNotConsumed) {
  brindle_parser *parser = brindle__parser_new(nullptr);
  for (const char *text : {"123,", "123]", "-4.5e2\n", "true,", "\"s\" "}) {
    ASSERT_EQ(brindle__parser_init_state(parser, nullptr, nullptr, nullptr, 1), BRINDLE_OK);
    size_t consumed = 0;
    EXPECT_EQ(brindle__parser_feed_bytes(parser, text, std::strlen(text), &consumed, 1),
              BRINDLE_OK);
    EXPECT_EQ(consumed, std::strlen(text) - 1) << text;
    EXPECT_TRUE(brindle__parser_root_complete(parser)) << text;
    EXPECT_EQ(brindle__parser_error(parser)->code, BRINDLE_OK);
    EXPECT_EQ(brindle_parser_finish(parser), BRINDLE_OK);
  }
  // A number split across feeds is still pending after the first one.
  ASSERT_EQ(brindle__parser_init_state(parser, nullptr, nullptr, nullptr, 1), BRINDLE_OK);
  size_t consumed = 0;
  EXPECT_EQ(brindle__parser_feed_bytes(parser, "12", 2, &consumed, 1), BRINDLE_OK);
  EXPECT_EQ(consumed, 2u);
  EXPECT_FALSE(brindle__parser_root_complete(parser));
  EXPECT_EQ(brindle__parser_feed_bytes(parser, "3 ", 2, &consumed, 1), BRINDLE_OK);
  EXPECT_EQ(consumed, 1u);
  EXPECT_TRUE(brindle__parser_root_complete(parser));
  brindle__parser_delete(parser);
}

TEST(StopAtRootEnd, FailedParserKeepsItsError) {
  brindle_parser *parser = brindle__parser_new(nullptr);
  ASSERT_EQ(brindle__parser_init_state(parser, nullptr, nullptr, nullptr, 1), BRINDLE_OK);
  size_t consumed = 0;
  EXPECT_EQ(brindle__parser_feed_bytes(parser, "[1,}", 4, &consumed, 0), BRINDLE_INVALID_JSON);
  EXPECT_EQ(brindle__parser_feed_bytes(parser, "]", 1, &consumed, 0), BRINDLE_INVALID_JSON);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(brindle_parser_finish(parser), BRINDLE_INVALID_JSON);
  EXPECT_STREQ(brindle__parser_error(parser)->message, "expected array value");
  brindle__parser_delete(parser);
}

}  // namespace
