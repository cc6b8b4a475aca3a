// The C records the corpus documents are parsed into, and their field maps. Every parser under
// test fills these same structs, so one checksum can tell whether they all stored the same data.
#pragma once

#include <brindle.h>

#include <cstdint>
#include <string>

namespace bench {

// ---- twitter.json ----------------------------------------------------------------------------

struct TwUser {
  uint64_t id;
  char *id_str;
  char *name;
  char *screen_name;
  char *location;
  char *description;
  char *url;
  int32_t is_protected;
  int64_t followers_count;
  int64_t friends_count;
  int64_t listed_count;
  char *created_at;
  int64_t favourites_count;
  char *time_zone;
  int32_t verified;
  int64_t statuses_count;
  char *lang;
};

struct TwHashtag {
  char *text;
  brindle_array indices;  // int64_t
};

struct TwUrl {
  char *url;
  char *expanded_url;
  char *display_url;
  brindle_array indices;
};

struct TwMention {
  char *screen_name;
  char *name;
  uint64_t id;
  char *id_str;
  brindle_array indices;
};

struct TwEntities {
  brindle_object_array hashtags;  // TwHashtag
  brindle_object_array urls;      // TwUrl
  brindle_object_array user_mentions;
};

struct TwStatus {
  char *created_at;
  uint64_t id;
  char *id_str;
  char *text;
  char *source;
  int32_t truncated;
  char *in_reply_to_screen_name;
  TwUser user;
  int64_t retweet_count;
  int64_t favorite_count;
  TwEntities entities;
  int32_t favorited;
  int32_t retweeted;
  char *lang;
};

struct TwRoot {
  brindle_object_array statuses;  // TwStatus
};

extern const brindle_map kTwUserMap;
extern const brindle_map kTwEntitiesMap;
extern const brindle_map kTwStatusMap;
extern const brindle_map kTwRootMap;

// ---- citm_catalog.json -----------------------------------------------------------------------

struct CtPrice {
  int64_t amount;
  int64_t audience_sub_category_id;
  int64_t seat_category_id;
};

struct CtArea {
  int64_t area_id;
  brindle_array block_ids;  // int64_t
};

struct CtSeatCategory {
  brindle_object_array areas;  // CtArea
  int64_t seat_category_id;
};

struct CtPerformance {
  int64_t event_id;
  int64_t id;
  char *logo;
  char *name;
  brindle_object_array prices;           // CtPrice
  brindle_object_array seat_categories;  // CtSeatCategory
  char *seat_map_image;
  int64_t start;
  char *venue_code;
};

// "events" is an object keyed by event id, which no fixed map can name: it is read as a JSON
// value whose events go to an EventsCollector (collectors.h).
struct CtRoot {
  brindle_json_value events;
  brindle_object_array performances;  // CtPerformance
};

extern const brindle_map kCtPerformanceMap;
extern const brindle_map kCtRootMap;

// ---- canada.json -----------------------------------------------------------------------------

// The coordinates are arrays nested three deep, which mapped arrays do not hold: "features" is
// read as a JSON value whose events go to a CoordsCollector (collectors.h).
struct CaRoot {
  char *type;
  brindle_json_value features;
};

extern const brindle_map kCaRootMap;

// ---- generated: wide records (wide.cpp) ------------------------------------------------------

// 64 fields: every fourth a string, the others integers.
constexpr size_t kWideFields = 64;
struct WideItem {
  int64_t numbers[48];
  char *strings[16];
};

struct WideRoot {
  brindle_object_array items;  // WideItem
};

const brindle_map &wide_item_map();
const brindle_map &wide_root_map();
// The document: objects of all 64 fields, the keys shuffled anew in each.
std::string wide_document();

}  // namespace bench
