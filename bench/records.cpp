// Field maps of the corpus records, keys in the order the documents use them.
#include "records.h"

namespace bench {

namespace {

constexpr uint32_t kNone = 0;

const brindle_field kTwUserFields[] = {
    BRINDLE_DECL_U64(TwUser, id, "id", kNone),
    BRINDLE_DECL_STRING(TwUser, id_str, "id_str", kNone),
    BRINDLE_DECL_STRING(TwUser, name, "name", kNone),
    BRINDLE_DECL_STRING(TwUser, screen_name, "screen_name", kNone),
    BRINDLE_DECL_STRING(TwUser, location, "location", kNone),
    BRINDLE_DECL_STRING(TwUser, description, "description", kNone),
    BRINDLE_DECL_STRING(TwUser, url, "url", kNone),
    BRINDLE_DECL_BOOL(TwUser, is_protected, "protected", kNone),
    BRINDLE_DECL_I64(TwUser, followers_count, "followers_count", kNone),
    BRINDLE_DECL_I64(TwUser, friends_count, "friends_count", kNone),
    BRINDLE_DECL_I64(TwUser, listed_count, "listed_count", kNone),
    BRINDLE_DECL_STRING(TwUser, created_at, "created_at", kNone),
    BRINDLE_DECL_I64(TwUser, favourites_count, "favourites_count", kNone),
    BRINDLE_DECL_STRING(TwUser, time_zone, "time_zone", kNone),
    BRINDLE_DECL_BOOL(TwUser, verified, "verified", kNone),
    BRINDLE_DECL_I64(TwUser, statuses_count, "statuses_count", kNone),
    BRINDLE_DECL_STRING(TwUser, lang, "lang", kNone),
};

const brindle_field kTwHashtagFields[] = {
    BRINDLE_DECL_STRING(TwHashtag, text, "text", kNone),
    BRINDLE_DECL_ARRAY(TwHashtag, indices, "indices", BRINDLE_FIELD_I64_ARRAY, kNone),
};
const brindle_map kTwHashtagMap = BRINDLE_MAP("hashtag_json", TwHashtag, kTwHashtagFields);

const brindle_field kTwUrlFields[] = {
    BRINDLE_DECL_STRING(TwUrl, url, "url", kNone),
    BRINDLE_DECL_STRING(TwUrl, expanded_url, "expanded_url", kNone),
    BRINDLE_DECL_STRING(TwUrl, display_url, "display_url", kNone),
    BRINDLE_DECL_ARRAY(TwUrl, indices, "indices", BRINDLE_FIELD_I64_ARRAY, kNone),
};
const brindle_map kTwUrlMap = BRINDLE_MAP("url_json", TwUrl, kTwUrlFields);

const brindle_field kTwMentionFields[] = {
    BRINDLE_DECL_STRING(TwMention, screen_name, "screen_name", kNone),
    BRINDLE_DECL_STRING(TwMention, name, "name", kNone),
    BRINDLE_DECL_U64(TwMention, id, "id", kNone),
    BRINDLE_DECL_STRING(TwMention, id_str, "id_str", kNone),
    BRINDLE_DECL_ARRAY(TwMention, indices, "indices", BRINDLE_FIELD_I64_ARRAY, kNone),
};
const brindle_map kTwMentionMap = BRINDLE_MAP("mention_json", TwMention, kTwMentionFields);

const brindle_field kTwEntitiesFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(TwEntities, hashtags, "hashtags", kNone, &kTwHashtagMap, TwHashtag),
    BRINDLE_DECL_OBJECT_ARRAY(TwEntities, urls, "urls", kNone, &kTwUrlMap, TwUrl),
    BRINDLE_DECL_OBJECT_ARRAY(TwEntities, user_mentions, "user_mentions", kNone, &kTwMentionMap,
                              TwMention),
};

const brindle_field kTwStatusFields[] = {
    BRINDLE_DECL_STRING(TwStatus, created_at, "created_at", kNone),
    BRINDLE_DECL_U64(TwStatus, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(TwStatus, id_str, "id_str", kNone),
    BRINDLE_DECL_STRING(TwStatus, text, "text", kNone),
    BRINDLE_DECL_STRING(TwStatus, source, "source", kNone),
    BRINDLE_DECL_BOOL(TwStatus, truncated, "truncated", kNone),
    BRINDLE_DECL_STRING(TwStatus, in_reply_to_screen_name, "in_reply_to_screen_name", kNone),
    BRINDLE_DECL_OBJECT(TwStatus, user, "user", kNone, &kTwUserMap),
    BRINDLE_DECL_I64(TwStatus, retweet_count, "retweet_count", kNone),
    BRINDLE_DECL_I64(TwStatus, favorite_count, "favorite_count", kNone),
    BRINDLE_DECL_OBJECT(TwStatus, entities, "entities", kNone, &kTwEntitiesMap),
    BRINDLE_DECL_BOOL(TwStatus, favorited, "favorited", kNone),
    BRINDLE_DECL_BOOL(TwStatus, retweeted, "retweeted", kNone),
    BRINDLE_DECL_STRING(TwStatus, lang, "lang", kNone),
};

const brindle_field kTwRootFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(TwRoot, statuses, "statuses", BRINDLE_FIELD_REQUIRED, &kTwStatusMap,
                              TwStatus),
};

const brindle_field kCtPriceFields[] = {
    BRINDLE_DECL_I64(CtPrice, amount, "amount", kNone),
    BRINDLE_DECL_I64(CtPrice, audience_sub_category_id, "audienceSubCategoryId", kNone),
    BRINDLE_DECL_I64(CtPrice, seat_category_id, "seatCategoryId", kNone),
};
const brindle_map kCtPriceMap = BRINDLE_MAP("price_json", CtPrice, kCtPriceFields);

const brindle_field kCtAreaFields[] = {
    BRINDLE_DECL_I64(CtArea, area_id, "areaId", kNone),
    BRINDLE_DECL_ARRAY(CtArea, block_ids, "blockIds", BRINDLE_FIELD_I64_ARRAY, kNone),
};
const brindle_map kCtAreaMap = BRINDLE_MAP("area_json", CtArea, kCtAreaFields);

const brindle_field kCtSeatCategoryFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(CtSeatCategory, areas, "areas", kNone, &kCtAreaMap, CtArea),
    BRINDLE_DECL_I64(CtSeatCategory, seat_category_id, "seatCategoryId", kNone),
};
const brindle_map kCtSeatCategoryMap =
    BRINDLE_MAP("seat_category_json", CtSeatCategory, kCtSeatCategoryFields);

const brindle_field kCtPerformanceFields[] = {
    BRINDLE_DECL_I64(CtPerformance, event_id, "eventId", kNone),
    BRINDLE_DECL_I64(CtPerformance, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(CtPerformance, logo, "logo", kNone),
    BRINDLE_DECL_STRING(CtPerformance, name, "name", kNone),
    BRINDLE_DECL_OBJECT_ARRAY(CtPerformance, prices, "prices", kNone, &kCtPriceMap, CtPrice),
    BRINDLE_DECL_OBJECT_ARRAY(CtPerformance, seat_categories, "seatCategories", kNone,
                              &kCtSeatCategoryMap, CtSeatCategory),
    BRINDLE_DECL_STRING(CtPerformance, seat_map_image, "seatMapImage", kNone),
    BRINDLE_DECL_I64(CtPerformance, start, "start", kNone),
    BRINDLE_DECL_STRING(CtPerformance, venue_code, "venueCode", kNone),
};

const brindle_field kCtRootFields[] = {
    BRINDLE_DECL_JSON_VALUE(CtRoot, events, "events", kNone),
    BRINDLE_DECL_OBJECT_ARRAY(CtRoot, performances, "performances", BRINDLE_FIELD_REQUIRED,
                              &kCtPerformanceMap, CtPerformance),
};

const brindle_field kCaRootFields[] = {
    BRINDLE_DECL_STRING(CaRoot, type, "type", kNone),
    BRINDLE_DECL_JSON_VALUE(CaRoot, features, "features", BRINDLE_FIELD_REQUIRED),
};

}  // namespace

const brindle_map kTwUserMap = BRINDLE_MAP("user_json", TwUser, kTwUserFields);
const brindle_map kTwEntitiesMap = BRINDLE_MAP("entities_json", TwEntities, kTwEntitiesFields);
const brindle_map kTwStatusMap = BRINDLE_MAP("status_json", TwStatus, kTwStatusFields);
const brindle_map kTwRootMap = BRINDLE_MAP("twitter_json", TwRoot, kTwRootFields);
const brindle_map kCtPerformanceMap =
    BRINDLE_MAP("performance_json", CtPerformance, kCtPerformanceFields);
const brindle_map kCtRootMap = BRINDLE_MAP("citm_json", CtRoot, kCtRootFields);
const brindle_map kCaRootMap = BRINDLE_MAP("canada_json", CaRoot, kCaRootFields);

}  // namespace bench
