// The array stream on public documents: every accepted JSONTestSuite document as an element
// gives its compact form, and the big arrays of twitter.json, citm_catalog.json and canada.json
// stream element by element to exactly the compact text of the whole array, pulled or pushed.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "corpus_files.h"
#include "streams_support.h"

namespace {

using stavo_test::corpus_dir;
using stavo_test::read_file;

using streams_test::MemoryReader;
using streams_test::Outcome;
using streams_test::pull_values;

// The compact form of a whole document, as a JSON value stores it.
std::string compact(const std::string &text) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  std::string out;
  if (brindle_json_value_set_buffer(&value, text.data(), text.size(), nullptr) == BRINDLE_OK) {
    out.assign(value.buffer, value.length);
  }
  brindle_json_value_cleanup(&value);
  return out;
}

std::string join(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i)
    out += (i > 0 ? "," : "") + items[i];
  return out + "]";
}

TEST(ArrayCorpus, AcceptedDocumentsAsElements) {
  const std::string directory = corpus_dir() + "/jsontestsuite/test_parsing";
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr) GTEST_SKIP() << "corpus not found at " << directory;
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == 'y') names.push_back(entry->d_name);
  }
  closedir(dir);
  ASSERT_GT(names.size(), 90u);
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;  // y_object_duplicated_key and its kind are valid JSON
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    std::string text;
    ASSERT_TRUE(read_file(directory + "/" + name, &text));
    const std::string expected = compact(text);
    ASSERT_FALSE(expected.empty());
    for (const char *field : {static_cast<const char *>(nullptr), "k"}) {
      MemoryReader reader;
      reader.text = field == nullptr ? "[" + text + "\n]" : "{\"k\":[" + text + "]}";
      reader.pieces = {3};
      const Outcome run = pull_values(field, reader, &options);
      ASSERT_EQ(run.result, BRINDLE_ARRAY_STREAM_END) << run.error.message;
      ASSERT_EQ(run.items.size(), 1u);
      EXPECT_EQ(run.items[0], expected);
    }
  }
}

struct BigArray {
  const char *file;
  const char *field;
  size_t elements;
};

TEST(ArrayCorpus, BigArraysStreamToTheirCompactText) {
  const BigArray cases[] = {
      {"twitter.json", "statuses", 100},
      {"citm_catalog.json", "performances", 243},
      {"canada.json", "features", 1},
  };
  for (const BigArray &c : cases) {
    SCOPED_TRACE(c.file);
    std::string text;
    if (!read_file(corpus_dir() + "/nativejson/" + c.file, &text)) {
      GTEST_SKIP() << "corpus not found at " << corpus_dir();
    }
    const std::string whole = compact(text);
    const std::string key = std::string("\"") + c.field + "\":";
    const size_t start = whole.find(key);
    ASSERT_NE(start, std::string::npos);

    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> piece(1, 3000);
    MemoryReader reader;
    reader.text = text;
    for (int i = 0; i < 5000; ++i)
      reader.pieces.push_back(piece(random));
    const Outcome run = pull_values(c.field, reader);
    ASSERT_EQ(run.result, BRINDLE_ARRAY_STREAM_END) << run.error.message;
    EXPECT_EQ(run.items.size(), c.elements);
    const std::string array = join(run.items);
    EXPECT_EQ(whole.compare(start + key.size(), array.size(), array), 0);
  }
}

// A record of the two members every status has, for the push side.
struct Status {
  int64_t id;
  char *text;
};
const brindle_field kStatusFields[] = {
    BRINDLE_DECL_I64(Status, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Status, text, "text", BRINDLE_FIELD_REQUIRED),
};
const brindle_map kStatusMap = BRINDLE_MAP("status_json", Status, kStatusFields);

std::vector<std::string> push_statuses(const std::string &text, size_t max_slice, uint32_t seed) {
  std::vector<std::string> seen;
  brindle_array_stream *stream = brindle_array_stream_open_push("statuses", nullptr, nullptr);
  Status status{};
  brindle_init(&kStatusMap, &status);
  auto collect = [](void *user, void *destination) -> int {
    const auto *s = static_cast<Status *>(destination);
    static_cast<std::vector<std::string> *>(user)->push_back(std::to_string(s->id) + " " + s->text);
    return 0;
  };
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> slice(1, max_slice);
  brindle_error error;
  for (size_t at = 0; at < text.size();) {
    const size_t n = std::min(slice(random), text.size() - at);
    EXPECT_EQ(brindle_array_stream_push(stream, &kStatusMap, &status, text.data() + at, n, collect,
                                        &seen, &error),
              BRINDLE_OK)
        << error.message;
    at += n;
  }
  EXPECT_EQ(brindle_array_stream_finish(stream, &kStatusMap, &status, collect, &seen, &error),
            BRINDLE_OK);
  brindle_cleanup(&kStatusMap, &status);
  brindle_array_stream_close(stream);
  return seen;
}

TEST(ArrayCorpus, TwitterStatusesPushedInAnySlices) {
  std::string text;
  if (!read_file(corpus_dir() + "/nativejson/twitter.json", &text)) {
    GTEST_SKIP() << "corpus not found at " << corpus_dir();
  }
  const std::vector<std::string> whole = push_statuses(text, text.size(), 1);
  ASSERT_EQ(whole.size(), 100u);
  EXPECT_EQ(push_statuses(text, 1, 2), whole);
  EXPECT_EQ(push_statuses(text, 17, 3), whole);
  EXPECT_EQ(push_statuses(text, 4000, 4), whole);
}

}  // namespace
