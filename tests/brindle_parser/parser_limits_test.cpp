// The fixed workspace and hostile input: nesting, token space, bookkeeping areas, huge tokens,
// truncated documents, NUL bytes and random garbage never crash and fail with clear messages.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/core/records.h"
#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

std::string nested_arrays(size_t depth, const char *inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(Nesting, WorkspaceHoldsFortySixFrames) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(45) + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(46) + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by nesting depth");
  EXPECT_EQ(outcome.error.offset, 6u + 46u);

  brindle_parse_options options = brindle_default_parse_options();
  options.max_depth = 8;
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(7) + "}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(8) + "}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "maximum nesting depth exceeded");
  EXPECT_EQ(outcome.error.offset, 6u + 8u);

  options.max_depth = 0;  // no depth check; the workspace still bounds nesting
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(45) + "}", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + nested_arrays(100) + "}", &options);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by nesting depth");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Nesting, DeepInputIsRejectedWithoutRecursion) {
  const std::string deep(1000000, '[');
  Outcome outcome = validate_text(deep);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by nesting depth");
  All record;
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + std::string(1000000, '{'));
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);  // '{' is not a key
  outcome = parse_text(&kAllMap, &record,
                       "{\"zz\":" + std::string(100000, '[') + std::string(100000, '{'));
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
}

// A record type that nests itself through an object array, with more than 64 fields so that
// every object keeps its seen fields in a workspace area.
struct Level {
  int64_t values[69];
  brindle_object_array next;
};

struct LevelMap {
  brindle_field fields[70];
  std::string keys[70];
  brindle_map map;
  LevelMap() {
    for (size_t i = 0; i < 70; ++i) {
      keys[i] = i == 69 ? "next" : "v" + std::to_string(i);
      brindle_field &field = fields[i];
      field = brindle_field{};
      field.json_key = keys[i].c_str();
      field.json_key_len = keys[i].size();
      field.key_first = keys[i].front();
      field.key_last = keys[i].back();
      field.offset = i * sizeof(int64_t);
      field.kind = BRINDLE_FIELD_I64;
    }
    fields[69].kind = BRINDLE_FIELD_OBJECT_ARRAY;
    fields[69].offset = offsetof(Level, next);
    fields[69].element_size = sizeof(Level);
    fields[69].submap = &map;
    map = brindle_map{"level_json", sizeof(Level), fields, 70};
  }
};

TEST(Workspace, BookkeepingAreasCompeteWithFrames) {
  const LevelMap level;
  ASSERT_TRUE(brindle__map_layout_is_valid(&level.map));
  const auto nested = [](size_t levels) {
    std::string text;
    for (size_t i = 0; i < levels; ++i)
      text += "{\"v0\":" + std::to_string(i) + ",\"next\":[";
    text += "{}";
    for (size_t i = 0; i < levels; ++i)
      text += "]}";
    return text;
  };
  // Each level takes an object frame, its 72-byte area and an array frame.
  Level record;
  Outcome outcome = parse_text(&level.map, &record, nested(15));
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  const Level *inner = &record;
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(inner->values[0], i);
    ASSERT_EQ(inner->next.count, 1u);
    inner = static_cast<const Level *>(inner->next.items);
  }
  brindle_cleanup(&level.map, &record);
  outcome = parse_text(&level.map, &record, nested(17));
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by object bookkeeping");
  brindle_cleanup(&level.map, &record);
}

struct Huge {
  int64_t values[136];
};

TEST(Workspace, NoTokenSpaceLeft) {
  // A 136-field map takes a 136-byte area; with 45 frames open the token space is empty.
  brindle_field fields[136];
  std::string keys[136];
  for (size_t i = 0; i < 136; ++i) {
    keys[i] = "h" + std::to_string(i);
    fields[i] = brindle_field{};
    fields[i].json_key = keys[i].c_str();
    fields[i].json_key_len = keys[i].size();
    fields[i].key_first = keys[i].front();
    fields[i].key_last = keys[i].back();
    fields[i].offset = i * 8;
    fields[i].kind = BRINDLE_FIELD_I64;
  }
  const brindle_map map{"huge_json", sizeof(Huge), fields, 136};
  Huge record;
  Outcome outcome = parse_text(&map, &record, "{\"h0\":1,\"x\":" + nested_arrays(44) + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by token");
  outcome = parse_text(&map, &record, "{\"h0\":1,\"x\":" + nested_arrays(44, "") + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  outcome = parse_text(&map, &record, "{\"h0\":1,\"x\":" + nested_arrays(43, "[true]") + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  outcome = parse_text(&map, &record, "{\"h0\":1,\"x\":" + nested_arrays(44, "\"s\"") + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);  // skipped strings need no token space
  // Without the area there is room again.
  outcome = parse_text(&map, &record, "{\"x\":" + nested_arrays(44) + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
}

TEST(Hostile, HugeKeysNumbersAndStrings) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, "{\"" + std::string(1 << 20, 'k') + "\":1}");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by token");
  outcome = parse_text(&kAllMap, &record, "{\"zz\":" + std::string(1 << 20, '7') + "}");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(outcome.error.message, "parser workspace exhausted by token");
  outcome = parse_text(&kAllMap, &record, "{\"zz\":\"" + std::string(1 << 22, 's') + "\"}");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  outcome = validate_text("\"" + std::string(1 << 22, 's') + "\"");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Hostile, EveryPrefixOfADocumentIsIncomplete) {
  const std::string text =
      "{\"s\":\"a\\u00e9\\n\",\"i\":-12,\"f\":1.5e3,\"b\":false,\"strs\":[\"x\",null],"
      "\"objs\":[{\"n\":1}],\"zz\":{\"q\":[true,{}]}}";
  for (size_t length = 0; length < text.size(); ++length) {
    stavo_test::TestAllocator allocator;
    brindle_parse_options options = brindle_default_parse_options();
    options.allocator = allocator.get();
    All record;
    const Outcome outcome = parse_text(&kAllMap, &record, text.substr(0, length), &options);
    const std::string message = outcome.error.message;
    if (outcome.status == BRINDLE_TYPE_MISMATCH) {
      // A number cut short ("-", "1.5e") is completed at the end and refused by its field.
      EXPECT_TRUE(message == "expected integer for 'i'" || message == "expected number for 'f'")
          << length << ": " << message;
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << length;
      EXPECT_TRUE(message == "incomplete JSON document" ||
                  message == "incomplete JSON token at end of input")
          << length << ": " << message;
    }
    EXPECT_EQ(outcome.error.offset, length);
    brindle_cleanup(&kAllMap, &record);
    EXPECT_EQ(allocator.stats().current_bytes, 0u);
  }
  All record;
  EXPECT_EQ(parse_text(&kAllMap, &record, text).status, BRINDLE_OK);
  brindle_cleanup(&kAllMap, &record);
}

TEST(Hostile, NulBytesAreNeverContent) {
  All record;
  Outcome outcome = parse_text(&kAllMap, &record, std::string("{\"s\":\"a\0b\"}", 11));
  EXPECT_STREQ(outcome.error.message, "control character in string");
  EXPECT_EQ(outcome.error.offset, 8u);
  outcome = parse_text(&kAllMap, &record, std::string("{\0}", 3));
  EXPECT_STREQ(outcome.error.message, "expected object key");
  outcome = parse_text(&kAllMap, &record, std::string("{}\0", 3));
  EXPECT_STREQ(outcome.error.message, "unexpected trailing data");
  outcome = parse_text(&kAllMap, &record, std::string("{\"i\":1\0}", 8));
  EXPECT_STREQ(outcome.error.message, "expected ',' or '}' in object");
  outcome = validate_text(std::string("\0", 1));
  EXPECT_STREQ(outcome.error.message, "expected JSON value");
  brindle_cleanup(&kAllMap, &record);
}

TEST(Hostile, RandomInputNeverCrashesOrLeaks) {
  std::mt19937 random(7);
  const std::string alphabet = "{}[],:\"\\ntrufalsebn0123456789-+.eEu\\/\t\r \x01\xC3\xA9xyz";
  const std::string keys[] = {"\"s\"",     "\"i\"",      "\"strs\"", "\"objs\"", "\"obj\"",
                              "\"fixed\"", "\"floats\"", "\"n\"",    "\"label\""};
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  options.reject_duplicates = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = "{";
    const size_t length = random() % 64;
    for (size_t i = 0; i < length; ++i) {
      if (random() % 5 == 0) {
        text += keys[random() % (sizeof(keys) / sizeof(keys[0]))];
      } else {
        text += alphabet[random() % alphabet.size()];
      }
    }
    All record;
    const Outcome parsed = parse_text(&kAllMap, &record, text, &options);
    brindle_cleanup(&kAllMap, &record);
    ASSERT_EQ(allocator.stats().current_bytes, 0u) << text;
    ASSERT_LE(parsed.error.offset, text.size());
    const Outcome validated = validate_text(text);
    if (validated.status == BRINDLE_OK) {
      // A valid document fails in mapped mode only for reasons of the map.
      EXPECT_NE(parsed.status, BRINDLE_INVALID_JSON) << text << ": " << parsed.error.message;
    }
  }
}

}  // namespace
