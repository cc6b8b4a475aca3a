// Push and pull give the same elements, results, messages and positions however the input is
// cut: every split point and every pair of split points of small documents, one byte at a time,
// every read size, and random slices of a large document.
#include <gtest/gtest.h>

#include <random>

#include "streams_support.h"

namespace {

using streams_test::cut;
using streams_test::every;
using streams_test::MemoryReader;
using streams_test::Outcome;
using streams_test::pull_mapped;
using streams_test::pull_values;
using streams_test::push_text;
using streams_test::push_whole;
using streams_test::PushMode;
using streams_test::where;

struct Document {
  const char *name;
  const char *field;
  std::string text;
};

const Document kMapped[] = {
    {"root", nullptr,
     " [ {\"id\":1,\"name\":\"a\\u00e9\\n\",\"tags\":[\"x\",\"\\ud83d\\ude00\"]} ,\n"
     "{\"id\":-22,\"skip\":{\"n\":[1,{\"]\":\"[\"}]},\"code\":\"abcdef\"},{\"id\":3}]\n"},
    {"member", "list",
     "{\"pre\":[1,2.5e-3,\"s\\\"\"],\"li\\u0073t\":[{\"id\":7,\"name\":\"q\"},{\"id\":8}],"
     "\"post\":{\"a\":null,\"b\":true}}"},
    {"empty", "list", "{\"list\":[],\"x\":0}"},
    {"missing field", nullptr, "[{\"id\":1},{\"name\":\"n\"},{\"id\":3}]"},
    {"bad separator", nullptr, "[{\"id\":1} {\"id\":2}]"},
    {"bad member", "list", "{\"a\":[1,2,],\"list\":[]}"},
    {"trailing", nullptr, "[{\"id\":1}] {"},
    {"bad key", "list", "{\"\\ud800\\u0020\":1}"},
};

const Document kStrings[] = {
    {"strings", nullptr,
     "[\"plain\", \"\\\"\\\\\\/\\b\\f\\n\\r\\t\", "
     "\"\\u00e9\\u20ac\\ud83d\\ude00\",\"\",\n\"last\"]"},
    {"member strings", "s", "{\"n\":[\"x\"],\"s\":[\"a\",\"bc\",\"d\\u0041e\"],\"z\":\"]\"}"},
    {"not a string", nullptr, "[\"a\",1,\"b\"]"},
    {"bad escape", nullptr, "[\"ab\\uZ\"]"},
};

void expect_same(const Outcome &expected, const Outcome &actual, const std::string &how) {
  SCOPED_TRACE(how);
  EXPECT_EQ(actual.items, expected.items);
  EXPECT_EQ(actual.status, expected.status);
  EXPECT_EQ(where(actual.error), where(expected.error));
  EXPECT_EQ(actual.error.code, expected.error.code);
}

// The pull result that corresponds to a push outcome.
void expect_pull_matches(const Outcome &push, const Outcome &pull, const std::string &how) {
  SCOPED_TRACE(how);
  EXPECT_EQ(pull.items, push.items);
  if (push.status == BRINDLE_OK) {
    EXPECT_EQ(pull.result, BRINDLE_ARRAY_STREAM_END);
  } else if (push.status == BRINDLE_INTERNAL_ERROR) {
    // Input ending inside the document: push says so at finish, pull names the place.
    EXPECT_EQ(pull.result, BRINDLE_ARRAY_STREAM_ERROR);
  } else {
    EXPECT_EQ(pull.result, BRINDLE_ARRAY_STREAM_ERROR);
    EXPECT_EQ(where(pull.error), where(push.error));
  }
}

MemoryReader reader_for(const std::string &text, std::vector<size_t> pieces, bool eof_with_data) {
  MemoryReader reader;
  reader.text = text;
  reader.pieces = std::move(pieces);
  reader.eof_with_data = eof_with_data;
  return reader;
}

TEST(ArraySlicing, MappedElementsAtEverySplitPoint) {
  for (const Document &doc : kMapped) {
    SCOPED_TRACE(doc.name);
    const Outcome reference = push_whole(PushMode::Mapped, doc.field, doc.text);
    const size_t size = doc.text.size();
    expect_same(reference, push_text(PushMode::Mapped, doc.field, doc.text, every(size, 1)),
                "one byte at a time");
    for (size_t k = 0; k <= size; ++k) {
      expect_same(reference, push_text(PushMode::Mapped, doc.field, doc.text, cut(size, {k})),
                  "split at " + std::to_string(k));
    }
    for (size_t i = 1; i < size; i += 3) {
      for (size_t j = i + 1; j < size; j += 2) {
        expect_same(reference, push_text(PushMode::Mapped, doc.field, doc.text, cut(size, {i, j})),
                    "split at " + std::to_string(i) + " and " + std::to_string(j));
      }
    }
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1024}}) {
      for (bool eof_with_data : {false, true}) {
        expect_pull_matches(reference,
                            pull_mapped(doc.field, reader_for(doc.text, {piece}, eof_with_data)),
                            "pull in pieces of " + std::to_string(piece));
      }
    }
  }
}

TEST(ArraySlicing, StringElementsAtEverySplitPoint) {
  for (const Document &doc : kStrings) {
    SCOPED_TRACE(doc.name);
    const Outcome reference = push_whole(PushMode::Items, doc.field, doc.text);
    const size_t size = doc.text.size();
    expect_same(reference, push_whole(PushMode::Chunks, doc.field, doc.text), "chunks");
    for (PushMode mode : {PushMode::Chunks, PushMode::Items}) {
      expect_same(reference, push_text(mode, doc.field, doc.text, every(size, 1)),
                  "one byte at a time");
      for (size_t k = 0; k <= size; ++k) {
        expect_same(reference, push_text(mode, doc.field, doc.text, cut(size, {k})),
                    "split at " + std::to_string(k));
      }
    }
  }
}

TEST(ArraySlicing, RawValuesForEveryReadSize) {
  for (const Document &doc : kMapped) {
    SCOPED_TRACE(doc.name);
    const Outcome reference = pull_values(doc.field, reader_for(doc.text, {1024}, false));
    for (size_t piece = 1; piece <= doc.text.size() + 1; ++piece) {
      for (bool eof_with_data : {false, true}) {
        const Outcome run = pull_values(doc.field, reader_for(doc.text, {piece}, eof_with_data));
        SCOPED_TRACE(piece);
        EXPECT_EQ(run.items, reference.items);
        EXPECT_EQ(run.result, reference.result);
        EXPECT_EQ(where(run.error), where(reference.error));
      }
    }
  }
}

// A document of about 400 KB with escapes, nested skipped members and long strings.
std::string large_document(std::mt19937 &random) {
  std::string text = "{\"meta\":{\"a\":[1,2,{\"b\":\"]\"}]},\"items\":[";
  std::uniform_int_distribution<int> pick(0, 9);
  for (int i = 0; i < 3000; ++i) {
    if (i > 0) text += i % 7 == 0 ? " ,\n  " : ",";
    text += "{\"id\":" + std::to_string(i * 37 - 5000) + ",\"name\":\"";
    // Now and then a plain run of 3000 bytes, near what a dynamic string member can take.
    if (i % 50 == 0) text += std::string(3000, 'p');
    const int length = pick(random) * 9;
    for (int c = 0; c < length; ++c) {
      switch (pick(random)) {
        case 0:
          text += "\\n";
          break;
        case 1:
          text += "\\u00e9";
          break;
        case 2:
          text += "\\ud83d\\ude00";
          break;
        case 3:
          text += "\\\"";
          break;
        default:
          text += static_cast<char>('a' + (c % 26));
          break;
      }
    }
    text += "\",\"tags\":[\"t" + std::to_string(i % 5) + "\"],\"skip\":{\"x\":[" +
            std::to_string(i) + ",true,null]}}";
  }
  text += "],\"tail\":[\"done\"]}";
  return text;
}

TEST(ArraySlicing, RandomSlicesOfALargeDocument) {
  std::mt19937 random(20241208);
  const std::string text = large_document(random);
  const Outcome reference = push_whole(PushMode::Mapped, "items", text);
  ASSERT_EQ(reference.status, BRINDLE_OK) << reference.error.message;
  ASSERT_EQ(reference.items.size(), 3000u);
  for (int round = 0; round < 6; ++round) {
    std::uniform_int_distribution<size_t> size(1, round % 2 == 0 ? 64 : 5000);
    std::vector<size_t> slices;
    for (size_t total = 0; total < text.size();) {
      const size_t slice = std::min(size(random), text.size() - total);
      slices.push_back(slice);
      total += slice;
    }
    expect_same(reference, push_text(PushMode::Mapped, "items", text, slices),
                "random push slices, round " + std::to_string(round));
    std::vector<size_t> pieces;
    for (int i = 0; i < 20000; ++i)
      pieces.push_back(size(random));
    expect_pull_matches(reference, pull_mapped("items", reader_for(text, pieces, round % 3 == 0)),
                        "random reads, round " + std::to_string(round));
  }
}

}  // namespace
