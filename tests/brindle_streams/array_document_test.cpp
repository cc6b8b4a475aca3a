// The array stream's view of the whole document: the root array or the selected member of a root
// object, the members around it, root keys with their escapes and repeats, what may follow the
// root, and the end of input in every place, with messages, codes and positions.
#include <gtest/gtest.h>

#include "streams_support.h"

namespace {

using streams_test::Outcome;
using streams_test::pull_values_text;
using streams_test::push_text;
using streams_test::push_whole;
using streams_test::PushMode;
using streams_test::where;

std::vector<std::string> strings(std::initializer_list<const char *> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

TEST(ArrayDocument, EmptyArrayEndsAtTheFirstCall) {
  Outcome run = pull_values_text(nullptr, " [ ] \n");
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
  EXPECT_TRUE(run.items.empty());
  EXPECT_EQ(run.error.code, BRINDLE_OK);
}

TEST(ArrayDocument, CommaBeforeTheClosingBracketIsRefused) {
  Outcome run = pull_values_text(nullptr, "[1,]");
  EXPECT_EQ(run.items, strings({"1"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_EQ(where(run.error), "expected JSON value in selected array @4:1:4");
}

TEST(ArrayDocument, SelectedMemberIsStreamedAndTheOthersAreCheckedButSkipped) {
  const std::string text = R"({"a":1,"items":[{"x":1}],"b":[true]})";
  Outcome run = pull_values_text("items", text);
  EXPECT_EQ(run.items, strings({R"({"x":1})"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);

  // A broken member after the array is still noticed, at its place in the document.
  run = pull_values_text("items", R"({"a":1,"items":[{"x":1}],"b":[tru]})");
  EXPECT_EQ(run.items, strings({R"({"x":1})"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(run.error.message, "invalid literal");
  EXPECT_EQ(run.error.offset, 34u);
  EXPECT_EQ(run.error.column, 34u);

  // Skipped members may hold anything, nested deeply, with strings that look like structure.
  run = pull_values_text(
      "items", R"({"skip":{"a":[1,{"b":"]}[,"},2.5e3],"c":null},"s":"x\"y","items":[7]})");
  EXPECT_EQ(run.items, strings({"7"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
}

TEST(ArrayDocument, MissingFieldAndWrongTypes) {
  Outcome run = pull_values_text("items", R"({"a":1})");
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_EQ(run.error.code, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_EQ(where(run.error), "selected array field was not found @7:1:7");

  run = pull_values_text("items", "{}");
  EXPECT_EQ(run.error.code, BRINDLE_MISSING_REQUIRED_FIELD);

  run = pull_values_text("items", R"({"items":{}})");
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(where(run.error), "selected JSON value is not an array @10:1:10");

  run = pull_values_text(nullptr, R"({"items":[]})");
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(run.error.message, "selected JSON value is not an array");

  run = pull_values_text(nullptr, "x");
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(run.error.message, "selected JSON value is not an array");

  run = pull_values_text("items", "[1]");
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(where(run.error), "array path requires a root object @1:1:1");
}

TEST(ArrayDocument, RepeatedRootKeys) {
  Outcome run = pull_values_text("items", R"({"items":[],"items":[]})");
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);
  EXPECT_EQ(where(run.error), "duplicate root object field @19:1:19");

  // Also for keys that only repeat once decoded, and for keys that are not selected.
  run = pull_values_text("items", R"({"a":1,"\u0061":2,"items":[]})");
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);

  // Without rejection every occurrence of the field is streamed, as the parser appends repeated
  // arrays to the member.
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  run = pull_values_text("items", R"({"items":[1],"a":0,"a":0,"items":[2,3]})", 1024, &options);
  EXPECT_EQ(run.items, strings({"1", "2", "3"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
}

TEST(ArrayDocument, ManyRootKeysAreCheckedForRepeats) {
  std::string text = "{";
  for (int i = 0; i < 20000; ++i)
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  std::string repeated = text + "\"k12345\":0,\"items\":[1]}";
  text += "\"items\":[1]}";
  Outcome run = pull_values_text("items", text);
  EXPECT_EQ(run.items, strings({"1"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
  run = pull_values_text("items", repeated);
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);
}

TEST(ArrayDocument, RootKeysAreDecodedBeforeTheyAreCompared) {
  Outcome run = pull_values_text("items", R"({"it\u0065ms":[1],"x":0})");
  EXPECT_EQ(run.items, strings({"1"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);

  // A surrogate pair becomes the four UTF-8 bytes of U+1F600.
  run = pull_values_text("\xF0\x9F\x98\x80", R"({"\ud83d\ude00":[true]})");
  EXPECT_EQ(run.items, strings({"true"}));

  // Escapes of every kind; the key is not the field, so the member is skipped.
  run = pull_values_text("items", R"({"\"\\\/\b\f\n\r\t\u00e9":0,"items":[]})");
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);

  // A key that only starts like the field does not select it.
  run = pull_values_text("items", R"({"items2":[1],"item":[2]})");
  EXPECT_EQ(run.error.code, BRINDLE_MISSING_REQUIRED_FIELD);
}

struct KeyCase {
  const char *text;
  const char *message;
  size_t offset;
};

TEST(ArrayDocument, BrokenRootKeys) {
  const KeyCase cases[] = {
      {"{\"a\x01\":1}", "control character in JSON string", 4},
      {R"({"\q":1})", "invalid JSON string escape", 4},
      {R"({"\u12G4":1})", "invalid unicode escape in JSON string", 7},
      {R"({"\ud800x":1})", "invalid unicode surrogate pair", 9},
      {R"({"\ud800\n":1})", "invalid unicode surrogate pair", 10},
      {R"({"\ud800\u0041":1})", "invalid unicode surrogate pair", 14},
      {R"({"\ud800":1})", "invalid unicode surrogate pair", 9},
      {R"({"\udc00":1})", "unexpected low surrogate", 8},
      {R"({"a":1,})", "expected object key", 8},
      {R"({1:2})", "expected object key", 2},
      {R"({"a" 1})", "expected ':' after object key", 6},
      {R"({"a":1 "b":2})", "expected ',' or '}' in object", 8},
  };
  for (const KeyCase &c : cases) {
    SCOPED_TRACE(c.text);
    Outcome run = pull_values_text("items", c.text);
    EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
    EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
    EXPECT_STREQ(run.error.message, c.message);
    EXPECT_EQ(run.error.offset, c.offset);
  }
}

TEST(ArrayDocument, OverlongRootKeyIsRefusedWithoutHoldingIt) {
  std::string text = "{\"" + std::string(70000, 'k') + "\":1,\"items\":[]}";
  Outcome run = pull_values_text("items", text);
  EXPECT_EQ(run.error.code, BRINDLE_OVERFLOW);
  EXPECT_STREQ(run.error.message, "JSON object key exceeds maximum decoded byte limit");
}

TEST(ArrayDocument, WhatMayFollowTheRoot) {
  Outcome run = pull_values_text(nullptr, "[1]  \r\n\t ");
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
  run = pull_values_text(nullptr, "[1] x");
  EXPECT_EQ(run.items, strings({"1"}));
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_EQ(where(run.error), "unexpected data after root array @5:1:5");
  run = pull_values_text(nullptr, "[1][2]");
  EXPECT_STREQ(run.error.message, "unexpected data after root array");
  run = pull_values_text("items", "{\"items\":[1]}\n{}");
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_EQ(where(run.error), "unexpected data after root object @15:2:1");
}

TEST(ArrayDocument, ElementsMustBeSeparated) {
  Outcome run = pull_values_text(nullptr, "[1 2]");
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  EXPECT_EQ(where(run.error), "expected ',' or ']' in selected array @4:1:4");
  run = pull_values_text(nullptr, "[\"a\"\"b\"]");
  EXPECT_STREQ(run.error.message, "expected ',' or ']' in selected array");
  EXPECT_TRUE(run.items.empty()) << "an element is handed out only with its separator";
}

struct EndCase {
  const char *field;
  const char *text;
  size_t items;
  const char *message;
};

TEST(ArrayDocument, EndOfInputInEveryPlaceWhenPulled) {
  const EndCase cases[] = {
      {nullptr, "", 0, "incomplete JSON document"},
      {nullptr, "  \n ", 0, "incomplete JSON document"},
      {"items", "{", 0, "incomplete JSON document"},
      {"items", "{\"ab", 0, "unterminated JSON string"},
      {"items", "{\"a\"", 0, "incomplete JSON document"},
      {"items", "{\"a\":", 0, "incomplete JSON document"},
      {"items", "{\"a\":[1,", 0, "unterminated JSON value"},
      {"items", "{\"a\":12", 0, "incomplete JSON document"},
      {"items", "{\"items\":[]", 0, "incomplete JSON document"},
      {nullptr, "[", 0, "unterminated selected array"},
      {nullptr, "[1", 0, "unterminated selected array"},
      {nullptr, "[1,", 1, "unterminated selected array"},
      {nullptr, "[1 ", 0, "unterminated selected array"},
      {nullptr, "[{\"a\":1", 0, "unterminated JSON value"},
      {nullptr, "[\"abc", 0, "unterminated JSON value"},
      {nullptr, "[tr", 0, "unterminated JSON value"},
  };
  for (const EndCase &c : cases) {
    SCOPED_TRACE(c.text);
    Outcome run = pull_values_text(c.field, c.text);
    EXPECT_EQ(run.items.size(), c.items);
    EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_ERROR);
    EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
    EXPECT_STREQ(run.error.message, c.message);
    EXPECT_EQ(run.error.offset, std::strlen(c.text));
  }
}

TEST(ArrayDocument, PushInputEndingInsideTheDocumentFailsAtFinish) {
  const std::pair<const char *, const char *> cases[] = {
      {nullptr, ""},
      {nullptr, "["},
      {nullptr, "[\"x\""},
      {nullptr, "[\"x\","},
      {nullptr, "[\"a"},
      {"items", "{\"items\""},
      {"items", "{\"items\":[\"a\"]"},
  };
  for (const auto &[field, text] : cases) {
    SCOPED_TRACE(text);
    Outcome run = push_whole(PushMode::Items, field, text);
    EXPECT_EQ(run.status, BRINDLE_INTERNAL_ERROR);
    EXPECT_STREQ(run.error.message, "push array stream blocked at EOF");
  }
  // Data after the root is refused as it arrives, before the end.
  Outcome run = push_text(PushMode::Items, "items", "{\"items\":[\"a\"]}\n{", {15, 2});
  EXPECT_EQ(run.items, strings({"a"}));
  EXPECT_EQ(run.status, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(run.error.message, "unexpected data after root object");

  run = push_whole(PushMode::Items, nullptr, "[\"a\",\"b\"] \n");
  EXPECT_EQ(run.status, BRINDLE_OK);
  EXPECT_EQ(run.items, strings({"a", "b"}));
}

TEST(ArrayDocument, PositionsCountLinesAndColumnsOfTheWholeDocument) {
  Outcome run = pull_values_text(nullptr, "[1,\n  2,\n  x]");
  EXPECT_EQ(run.items, strings({"1", "2"}));
  EXPECT_EQ(run.error.code, BRINDLE_INVALID_JSON);
  // The element's own parser reports the byte; its position is moved to the document's.
  EXPECT_EQ(where(run.error), "expected JSON value @12:3:3");

  run = pull_values_text("items", "{\n \"other\": {\"a\":\n  [1 2]},\n \"items\": []}");
  EXPECT_STREQ(run.error.message, "expected ',' or ']' in array");
  EXPECT_EQ(run.error.line, 3u);
  EXPECT_EQ(run.error.column, 6u);
  EXPECT_EQ(run.error.offset, 24u);
}

}  // namespace
