// Documents shaped like a social feed, where reply ids and flags are null more often than not:
// nullable members take them, and the records survive a write and a second parse.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "brindle.h"

namespace {

struct User {
  uint64_t id;
  char *screen_name;
  int32_t verified;
  int32_t verified_present;
};
const brindle_field kUserFields[] = {
    BRINDLE_DECL_U64(User, id, "id", 0),
    BRINDLE_DECL_STRING(User, screen_name, "screen_name", 0),
    BRINDLE_DECL_PRESENT(User, verified, "verified", BRINDLE_FIELD_BOOL, BRINDLE_FIELD_NULLABLE,
                         verified_present),
};
const brindle_map kUserMap = BRINDLE_MAP("user", User, kUserFields);

struct Status {
  uint64_t id;
  char *text;
  uint64_t in_reply_to_status_id;
  int32_t in_reply_to_status_id_present;
  uint64_t in_reply_to_user_id;
  int32_t in_reply_to_user_id_present;
  int32_t favorited;
  int32_t favorited_present;
  User user;
};

brindle_field reply_field(uint32_t nullable) {
  return BRINDLE_DECL_PRESENT(Status, in_reply_to_status_id, "in_reply_to_status_id",
                              BRINDLE_FIELD_U64, nullable, in_reply_to_status_id_present);
}

const brindle_field kStatusFields[] = {
    BRINDLE_DECL_U64(Status, id, "id", 0),
    BRINDLE_DECL_STRING(Status, text, "text", 0),
    reply_field(BRINDLE_FIELD_NULLABLE),
    BRINDLE_DECL_PRESENT(Status, in_reply_to_user_id, "in_reply_to_user_id", BRINDLE_FIELD_U64,
                         BRINDLE_FIELD_NULLABLE, in_reply_to_user_id_present),
    BRINDLE_DECL_PRESENT(Status, favorited, "favorited", BRINDLE_FIELD_BOOL, BRINDLE_FIELD_NULLABLE,
                         favorited_present),
    BRINDLE_DECL_OBJECT(Status, user, "user", 0, &kUserMap),
};
const brindle_map kStatusMap = BRINDLE_MAP("status", Status, kStatusFields);

// The same status with the reply id as it was declared before nulls were allowed.
const brindle_field kStrictStatusFields[] = {BRINDLE_DECL_U64(Status, id, "id", 0), reply_field(0)};
const brindle_map kStrictStatusMap = BRINDLE_MAP("strict_status", Status, kStrictStatusFields);

struct Feed {
  brindle_object_array statuses;
};
const brindle_field kFeedFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Feed, statuses, "statuses", 0, &kStatusMap, Status)};
const brindle_map kFeedMap = BRINDLE_MAP("feed", Feed, kFeedFields);
const brindle_field kStrictFeedFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Feed, statuses, "statuses", 0, &kStrictStatusMap, Status)};
const brindle_map kStrictFeedMap = BRINDLE_MAP("strict_feed", Feed, kStrictFeedFields);

const Status &status_at(const Feed &feed, size_t i) {
  return static_cast<const Status *>(feed.statuses.items)[i];
}

std::string serialize(const Feed &feed) {
  size_t length = 0;
  brindle_error error;
  char *text = brindle_serialize_alloc(&kFeedMap, &feed, &length, nullptr, &error);
  EXPECT_NE(text, nullptr) << error.message;
  std::string out = text != nullptr ? std::string(text, length) : std::string();
  std::free(text);
  return out;
}

// Same statuses, same values where present, same absences.
void expect_same_feed(const Feed &a, const Feed &b) {
  ASSERT_EQ(a.statuses.count, b.statuses.count);
  for (size_t i = 0; i < a.statuses.count; ++i) {
    const Status &x = status_at(a, i);
    const Status &y = status_at(b, i);
    EXPECT_EQ(x.id, y.id) << i;
    EXPECT_STREQ(x.text, y.text) << i;
    ASSERT_EQ(x.in_reply_to_status_id_present, y.in_reply_to_status_id_present) << i;
    if (x.in_reply_to_status_id_present != 0) {
      EXPECT_EQ(x.in_reply_to_status_id, y.in_reply_to_status_id) << i;
    }
    ASSERT_EQ(x.in_reply_to_user_id_present, y.in_reply_to_user_id_present) << i;
    ASSERT_EQ(x.favorited_present, y.favorited_present) << i;
    if (x.favorited_present != 0) {
      EXPECT_EQ(x.favorited, y.favorited) << i;
    }
    EXPECT_EQ(x.user.id, y.user.id) << i;
    EXPECT_EQ(x.user.verified_present, y.user.verified_present) << i;
  }
}

const char kFeed[] = R"({"statuses":[
  {"id":1,"text":"first","in_reply_to_status_id":null,"in_reply_to_user_id":null,
   "favorited":false,"retweet_count":0,"user":{"id":10,"screen_name":"a","verified":null}},
  {"id":2,"text":"re: first","in_reply_to_status_id":1,"in_reply_to_user_id":10,
   "favorited":null,"user":{"id":11,"screen_name":"b","verified":true}},
  {"id":3,"text":"third","in_reply_to_status_id":null,"in_reply_to_user_id":null,
   "favorited":true,"user":{"id":12,"screen_name":"c","verified":false}}
]})";

TEST(NullableFeed, RepliesAndFlagsMayBeNull) {
  Feed feed{};
  brindle_error error;
  ASSERT_EQ(brindle_parse_cstr(&kFeedMap, &feed, kFeed, nullptr, &error), BRINDLE_OK)
      << error.message;
  ASSERT_EQ(feed.statuses.count, 3u);
  EXPECT_EQ(status_at(feed, 0).in_reply_to_status_id_present, 0);
  EXPECT_EQ(status_at(feed, 0).favorited_present, 1);
  EXPECT_EQ(status_at(feed, 0).user.verified_present, 0);
  EXPECT_EQ(status_at(feed, 1).in_reply_to_status_id_present, 1);
  EXPECT_EQ(status_at(feed, 1).in_reply_to_status_id, 1u);
  EXPECT_EQ(status_at(feed, 1).in_reply_to_user_id, 10u);
  EXPECT_EQ(status_at(feed, 1).favorited_present, 0);
  EXPECT_EQ(status_at(feed, 1).user.verified, 1);
  EXPECT_EQ(status_at(feed, 2).in_reply_to_status_id_present, 0);
  EXPECT_EQ(status_at(feed, 2).favorited, 1);

  const std::string written = serialize(feed);
  EXPECT_NE(written.find(R"("in_reply_to_status_id":null,"in_reply_to_user_id":null)"),
            std::string::npos)
      << written;
  Feed again{};
  ASSERT_EQ(
      brindle_parse_buffer(&kFeedMap, &again, written.data(), written.size(), nullptr, &error),
      BRINDLE_OK)
      << error.message;
  expect_same_feed(feed, again);
  brindle_cleanup(&kFeedMap, &again);
  brindle_cleanup(&kFeedMap, &feed);
}

TEST(NullableFeed, WithoutTheFlagTheWholeFeedIsRefused) {
  Feed feed{};
  brindle_error error;
  EXPECT_EQ(brindle_parse_cstr(&kStrictFeedMap, &feed, kFeed, nullptr, &error),
            BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "null is not allowed for 'in_reply_to_status_id'");
  brindle_cleanup(&kStrictFeedMap, &feed);
}

std::string corpus_twitter() {
  const char *dir = std::getenv("STAVO_CORPUS_DIR");
  const std::string path = std::string(dir != nullptr && dir[0] != '\0' ? dir : STAVO_CORPUS_DIR) +
                           "/nativejson/twitter.json";
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(NullableFeed, CorpusTwitterParsesAndRoundTrips) {
  const std::string bytes = corpus_twitter();
  if (bytes.empty()) GTEST_SKIP() << "corpus twitter.json not found (set STAVO_CORPUS_DIR)";
  brindle_error error;
  Feed strict{};
  EXPECT_EQ(
      brindle_parse_buffer(&kStrictFeedMap, &strict, bytes.data(), bytes.size(), nullptr, &error),
      BRINDLE_TYPE_MISMATCH);
  brindle_cleanup(&kStrictFeedMap, &strict);

  Feed feed{};
  ASSERT_EQ(brindle_parse_buffer(&kFeedMap, &feed, bytes.data(), bytes.size(), nullptr, &error),
            BRINDLE_OK)
      << error.message;
  ASSERT_GT(feed.statuses.count, 0u);
  size_t replies = 0;
  for (size_t i = 0; i < feed.statuses.count; ++i) {
    const Status &s = status_at(feed, i);
    if (s.in_reply_to_status_id_present == 0) continue;
    ++replies;
    EXPECT_NE(s.in_reply_to_status_id, 0u) << "status " << i;  // ids are never 0
  }
  // Both kinds occur in the document: some replies, and (mostly) statuses that reply to none.
  EXPECT_GT(replies, 0u);
  EXPECT_LT(replies, feed.statuses.count);

  const std::string written = serialize(feed);
  Feed again{};
  ASSERT_EQ(
      brindle_parse_buffer(&kFeedMap, &again, written.data(), written.size(), nullptr, &error),
      BRINDLE_OK)
      << error.message;
  expect_same_feed(feed, again);
  brindle_cleanup(&kFeedMap, &again);
  brindle_cleanup(&kFeedMap, &feed);
}

}  // namespace
