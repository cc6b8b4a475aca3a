// The SSE2 and AVX2 byte scanners against the portable ones on random bytes at every alignment
// and every length up to 257, and the corpus parsed with each set of kernels to equal records.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "brindle.h"
#include "corpus_files.h"
#include "json/core/byte_scan.h"

namespace {

using stavo_test::corpus_dir;
using stavo_test::read_file;

using Kernel = const unsigned char *(*)(const unsigned char *, const unsigned char *);

struct KernelSet {
  const char *name;
  Kernel portable;
  std::vector<std::pair<const char *, Kernel>> fast;
  std::string alphabet;  // bytes drawn from, the stopping ones among them
};

std::vector<KernelSet> kernel_sets() {
  std::vector<KernelSet> sets = {
      {"find_escape",
       brindle__find_escape_portable,
       {},
       std::string("abc \x7f\x80\xff/\"\\\n\x1f\x20", 14)},
      {"skip_digits", brindle__skip_digits_portable, {}, "0123456789.e-/:"},
      {"skip_spaces", brindle__skip_spaces_portable, {}, "    \t!\n"},
  };
#if defined(BRINDLE__SCAN_SSE2)
  sets[0].fast.push_back({"sse2", brindle__find_escape_sse2});
  sets[1].fast.push_back({"sse2", brindle__skip_digits_sse2});
  sets[2].fast.push_back({"sse2", brindle__skip_spaces_sse2});
  if (brindle__scan_level_available() >= 2) {
    sets[0].fast.push_back({"avx2", brindle__find_escape_avx2});
    sets[1].fast.push_back({"avx2", brindle__skip_digits_avx2});
    sets[2].fast.push_back({"avx2", brindle__skip_spaces_avx2});
  }
#endif
  return sets;
}

// The run-of-plain-bytes every kernel skips, so that runs are long enough to cross blocks.
unsigned char filler(const KernelSet &set) {
  return static_cast<unsigned char>(set.name[0] == 'f' ? 'q' : set.name[5] == 'd' ? '7' : ' ');
}

// Sets the scanners' level for one scope.
class ScanLevel {
 public:
  explicit ScanLevel(int level) : saved_(brindle__scan_level) { brindle__scan_level = level; }
  ~ScanLevel() { brindle__scan_level = saved_; }
  ScanLevel(const ScanLevel &) = delete;
  ScanLevel &operator=(const ScanLevel &) = delete;

 private:
  int saved_;
};

}  // namespace

TEST(ScanPaths, EveryKernelAgreesWithThePortableOne) {
  std::mt19937 random(20261211);
  alignas(64) unsigned char buffer[64 + 257 + 64];
  size_t compared = 0;
  for (const KernelSet &set : kernel_sets()) {
    if (set.fast.empty()) GTEST_SKIP() << "this build has only the portable kernels";
    for (size_t alignment = 0; alignment < 64; ++alignment) {
      for (size_t length = 0; length <= 257; ++length) {
        unsigned char *begin = buffer + alignment;
        // Mostly plain bytes, with a stopping byte (or none) somewhere random.
        for (size_t i = 0; i < length; ++i) {
          begin[i] = random() % 4 == 0
                         ? static_cast<unsigned char>(set.alphabet[random() % set.alphabet.size()])
                         : filler(set);
        }
        if (length != 0 && random() % 3 == 0) std::memset(begin, filler(set), length);
        const unsigned char *expected = set.portable(begin, begin + length);
        for (const auto &[name, kernel] : set.fast) {
          ASSERT_EQ(kernel(begin, begin + length) - begin, expected - begin)
              << set.name << " " << name << " at alignment " << alignment << ", length " << length;
          ++compared;
        }
        for (int level = 0; level <= brindle__scan_level_available(); ++level) {
          ScanLevel use(level);
          if (set.name[0] == 'f') {
            ASSERT_EQ(brindle__find_escape(begin, begin + length), expected) << level;
          } else if (set.name[5] == 'd') {
            // The dispatcher takes two digits itself before the kernels.
            ASSERT_EQ(brindle__skip_digits(begin, begin + length), expected) << level;
          } else {
            ASSERT_EQ(brindle__skip_spaces(begin, begin + length), expected) << level;
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 3u * 64u * 258u - 1u);
}

namespace {

// {"doc": document}: the document as its JSON value member re-emits it, token by token.
struct Wrapped {
  brindle_json_value doc;
};
const brindle_field kWrappedFields[] = {BRINDLE_DECL_JSON_VALUE(Wrapped, doc, "doc", 0)};
const brindle_map kWrappedMap = BRINDLE_MAP("wrapped_json", Wrapped, kWrappedFields);

std::string captured(const std::string &document, int level) {
  ScanLevel use(level);
  Wrapped record;
  brindle_init(&kWrappedMap, &record);
  brindle_json_value_enable_parse_capture(&record.doc, nullptr);
  const std::string text = "{\"doc\":" + document + "}";
  brindle_error error{};
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;  // keeps the capture set up above
  const brindle_status status =
      brindle_parse_buffer(&kWrappedMap, &record, text.data(), text.size(), &options, &error);
  std::string out = std::string(brindle_status_string(status)) + " " + error.message + " ";
  if (status == BRINDLE_OK) out.append(record.doc.buffer, record.doc.length);
  brindle_cleanup(&kWrappedMap, &record);
  return out;
}

// Twitter's statuses as mapped records: strings from the token space, keys looked up.
struct User {
  char *screen_name;
  char *description;
  int64_t followers_count;
};
const brindle_field kUserFields[] = {
    BRINDLE_DECL_STRING(User, screen_name, "screen_name", 0),
    BRINDLE_DECL_STRING(User, description, "description", 0),
    BRINDLE_DECL_I64(User, followers_count, "followers_count", 0),
};
const brindle_map kUserMap = BRINDLE_MAP("user_json", User, kUserFields);
struct Status {
  char *text;
  char *source;
  User user;
};
const brindle_field kStatusFields[] = {
    BRINDLE_DECL_STRING(Status, text, "text", 0),
    BRINDLE_DECL_STRING(Status, source, "source", 0),
    BRINDLE_DECL_OBJECT(Status, user, "user", 0, &kUserMap),
};
const brindle_map kStatusMap = BRINDLE_MAP("status_json", Status, kStatusFields);
struct Feed {
  brindle_object_array statuses;
};
const brindle_field kFeedFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Feed, statuses, "statuses", 0, &kStatusMap, Status),
};
const brindle_map kFeedMap = BRINDLE_MAP("feed_json", Feed, kFeedFields);

std::string feed_records(const std::string &document, int level) {
  ScanLevel use(level);
  Feed feed;
  brindle_error error{};
  const brindle_status status =
      brindle_parse_buffer(&kFeedMap, &feed, document.data(), document.size(), nullptr, &error);
  std::string out = std::string(brindle_status_string(status)) + " " + error.message + "\n";
  for (size_t i = 0; i < feed.statuses.count; ++i) {
    const Status &s = static_cast<const Status *>(feed.statuses.items)[i];
    out += std::string(s.text != nullptr ? s.text : "-") + "|" + (s.source ? s.source : "-") + "|" +
           (s.user.screen_name ? s.user.screen_name : "-") + "|" +
           (s.user.description ? s.user.description : "-") + "|" +
           std::to_string(s.user.followers_count) + "\n";
  }
  brindle_cleanup(&kFeedMap, &feed);
  return out;
}

}  // namespace

TEST(ScanPaths, TheCorpusParsesToEqualRecordsOnEveryPath) {
  const std::string dir = corpus_dir() + "/nativejson/";
  std::string twitter;
  if (!read_file(dir + "twitter.json", &twitter)) GTEST_SKIP() << "corpus not found at " << dir;
  const int top = brindle__scan_level_available();
  const std::string records = feed_records(twitter, 0);
  ASSERT_EQ(records.rfind("ok ", 0), 0u) << records.substr(0, 200);
  EXPECT_GT(records.size(), 10000u);
  for (int level = 1; level <= top; ++level)
    EXPECT_TRUE(feed_records(twitter, level) == records);
  for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
    std::string document;
    ASSERT_TRUE(read_file(dir + name, &document)) << name;
    const std::string portable = captured(document, 0);
    ASSERT_EQ(portable.rfind("ok ", 0), 0u) << name << ": " << portable.substr(0, 200);
    for (int level = 1; level <= top; ++level) {
      EXPECT_TRUE(captured(document, level) == portable) << name << " at level " << level;
    }
  }
}
