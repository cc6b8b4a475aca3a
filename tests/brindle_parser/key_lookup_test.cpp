// Key lookup through the public parse calls: maps of many fields with keys in any order, keys
// that share prefixes or differ in one byte, long keys, unknown keys, more wide maps than the
// parser indexes, whole buffers and chunks of 1, 2, 3 and 5 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brindle.h"

namespace {

// A record of count int64 members at 8-byte steps, and a map naming them with keys.
struct IntMap {
  std::vector<std::string> keys;
  std::vector<brindle_field> fields;
  brindle_map map{};

  explicit IntMap(std::vector<std::string> names, uint32_t flags = 0) : keys(std::move(names)) {
    for (size_t i = 0; i < keys.size(); ++i) {
      brindle_field field{};
      field.json_key = keys[i].c_str();
      field.json_key_len = keys[i].size();
      field.key_first = keys[i].empty() ? '\0' : keys[i].front();
      field.key_last = keys[i].empty() ? '\0' : keys[i].back();
      field.offset = i * sizeof(int64_t);
      field.kind = BRINDLE_FIELD_I64;
      field.flags = flags;
      fields.push_back(field);
    }
    map = {"ints_json", keys.size() * sizeof(int64_t), fields.data(), fields.size()};
  }
};

// Keys that defeat a lookup by length, first or last byte: shared prefixes and suffixes, one
// byte apart at the start, middle and end, long keys equal but for one byte, the empty key.
std::vector<std::string> tricky_keys(size_t count) {
  std::vector<std::string> keys = {"",      "k",     "ke",    "key",    "key_",
                                   "key_a", "key_b", "kay_a", "key_aa", "aey_a"};
  const std::string long_base(120, 'x');
  for (size_t at : {0, 7, 8, 15, 16, 60, 119}) {
    std::string key = long_base;
    key[at] = 'y';
    keys.push_back(key);
  }
  keys.push_back(long_base);
  for (size_t i = 0; keys.size() < count; ++i) {
    keys.push_back("field_" + std::to_string(i) + "_name");
  }
  keys.resize(count);
  return keys;
}

uint64_t next_random(uint64_t *state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

std::string as_json_string(const std::string &key) {
  return "\"" + key + "\"";
}

// One object holding every key of map (member i is 1000 + i) in the order given, with unknown
// keys close to known ones between them.
std::string object_in_order(const IntMap &map, const std::vector<size_t> &order, size_t base = 0) {
  std::string out = "{";
  for (size_t k = 0; k < order.size(); ++k) {
    const std::string &key = map.keys[order[k]];
    if (k > 0) out += ",";
    out += as_json_string(key + "!") + ":{\"skip\":[1,\"" + key + "\"]},";
    out += as_json_string(key) + ":" + std::to_string(base + 1000 + order[k]);
  }
  return out + ",\"zz_unknown\":\"tail\"}";
}

std::vector<size_t> shuffled(size_t count, uint64_t seed) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i)
    order[i] = i;
  uint64_t state = seed;
  for (size_t i = count - 1; i > 0; --i)
    std::swap(order[i], order[next_random(&state) % (i + 1)]);
  return order;
}

struct Piecewise {
  const std::string *text;
  size_t at;
  size_t step;
};

brindle_read_result read_piece(void *user, char *buffer, size_t capacity) {
  auto *source = static_cast<Piecewise *>(user);
  brindle_read_result result = brindle_default_read_result();
  const size_t left = source->text->size() - source->at;
  result.bytes = std::min({left, capacity, source->step});
  std::memcpy(buffer, source->text->data() + source->at, result.bytes);
  source->at += result.bytes;
  result.eof = source->at == source->text->size() ? 1 : 0;
  return result;
}

// Parses text whole (step 0) or step bytes per read.
brindle_status parse(const brindle_map *map, void *record, const std::string &text, size_t step,
                     brindle_error *error, const brindle_parse_options *options = nullptr) {
  if (step == 0) {
    return brindle_parse_buffer(map, record, text.data(), text.size(), options, error);
  }
  Piecewise source{&text, 0, step};
  return brindle_parse_reader(map, record, read_piece, &source, options, error);
}

constexpr size_t kSteps[] = {0, 1, 2, 3, 5};

void expect_every_member(const std::vector<int64_t> &record, size_t base = 0) {
  for (size_t i = 0; i < record.size(); ++i) {
    ASSERT_EQ(record[i], static_cast<int64_t>(base + 1000 + i)) << "member " << i;
  }
}

TEST(KeyLookup, EveryFieldOfWideAndNarrowMapsInAnyOrder) {
  for (size_t count : {5, 11, 12, 40, 64, 65, 300}) {
    const IntMap map(tricky_keys(count));
    std::vector<std::vector<size_t>> orders = {shuffled(count, 1), shuffled(count, 99)};
    std::vector<size_t> reversed = shuffled(count, 1);
    std::sort(reversed.rbegin(), reversed.rend());
    orders.push_back(reversed);
    for (const auto &order : orders) {
      const std::string text = object_in_order(map, order);
      for (size_t step : kSteps) {
        std::vector<int64_t> record(count, -1);
        brindle_error error;
        ASSERT_EQ(parse(&map.map, record.data(), text, step, &error), BRINDLE_OK)
            << count << " fields, step " << step << ": " << error.message;
        expect_every_member(record);
      }
    }
  }
}

TEST(KeyLookup, EscapedKeysNameTheirFields) {
  const IntMap map(tricky_keys(40));
  // "key_b" and "kay_a" written with escapes, so that the key is decoded before the lookup.
  const std::string text = "{\"key_\\u0062\":7,\"k\\u0061y_a\":8,\"key_a\":9}";
  for (size_t step : kSteps) {
    std::vector<int64_t> record(40, -1);
    brindle_error error;
    ASSERT_EQ(parse(&map.map, record.data(), text, step, &error), BRINDLE_OK) << error.message;
    EXPECT_EQ(record[6], 7);
    EXPECT_EQ(record[7], 8);
    EXPECT_EQ(record[5], 9);
    EXPECT_EQ(record[4], 0);  // "key_" is a prefix of all three, and not in the document
  }
}

TEST(KeyLookup, DuplicateAndMissingFieldsOfAWideMapAreNamed) {
  const IntMap map(tricky_keys(64), BRINDLE_FIELD_REQUIRED);
  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 1;
  std::vector<size_t> order = shuffled(64, 5);
  order.push_back(order[17]);
  const std::string duplicated = object_in_order(map, order);
  order.pop_back();
  const size_t missing = order[30];
  order.erase(order.begin() + 30);
  const std::string incomplete = object_in_order(map, order);
  for (size_t step : kSteps) {
    std::vector<int64_t> record(64, -1);
    brindle_error error;
    EXPECT_EQ(parse(&map.map, record.data(), duplicated, step, &error, &options),
              BRINDLE_DUPLICATE_FIELD);
    EXPECT_EQ(std::string(error.message),
              "duplicate field '" + map.keys[shuffled(64, 5)[17]] + "'");
    EXPECT_EQ(parse(&map.map, record.data(), incomplete, step, &error),
              BRINDLE_MISSING_REQUIRED_FIELD);
    EXPECT_EQ(std::string(error.message), "missing required field '" + map.keys[missing] + "'");
  }
}

// Twelve wide maps of different fields in one document, each an array of two objects in
// different key orders: more maps than the parser keeps tables for, so the later ones are
// scanned, and every one still finds its fields.
TEST(KeyLookup, ManyWideMapsInOneDocument) {
  constexpr size_t kMaps = 12, kFields = 40;
  std::vector<std::unique_ptr<IntMap>> maps;
  std::vector<std::string> outer_keys;
  std::vector<brindle_field> outer_fields;
  for (size_t m = 0; m < kMaps; ++m) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < kFields; ++i) {
      keys.push_back("m" + std::to_string(m) + "_f" + std::to_string(i));
    }
    maps.push_back(std::make_unique<IntMap>(std::move(keys)));
    outer_keys.push_back("map" + std::to_string(m));
  }
  for (size_t m = 0; m < kMaps; ++m) {
    brindle_field field{};
    field.json_key = outer_keys[m].c_str();
    field.json_key_len = outer_keys[m].size();
    field.key_first = outer_keys[m].front();
    field.key_last = outer_keys[m].back();
    field.offset = m * sizeof(brindle_object_array);
    field.kind = BRINDLE_FIELD_OBJECT_ARRAY;
    field.element_size = kFields * sizeof(int64_t);
    field.submap = &maps[m]->map;
    outer_fields.push_back(field);
  }
  const brindle_map outer = {"outer_json", kMaps * sizeof(brindle_object_array),
                             outer_fields.data(), outer_fields.size()};
  std::string text = "{";
  for (size_t m : shuffled(kMaps, 7)) {
    if (text.size() > 1) text += ",";
    text += as_json_string(outer_keys[m]) + ":[" +
            object_in_order(*maps[m], shuffled(kFields, 11 + m), m * 100) + "," +
            object_in_order(*maps[m], shuffled(kFields, 50 + m), m * 100 + 50) + "]";
  }
  text += "}";
  for (size_t step : kSteps) {
    std::vector<brindle_object_array> record(kMaps);
    brindle_error error;
    ASSERT_EQ(parse(&outer, record.data(), text, step, &error), BRINDLE_OK) << error.message;
    for (size_t m = 0; m < kMaps; ++m) {
      ASSERT_EQ(record[m].count, 2u);
      const auto *items = static_cast<const int64_t *>(record[m].items);
      for (size_t e = 0; e < 2; ++e) {
        for (size_t i = 0; i < kFields; ++i) {
          ASSERT_EQ(items[e * kFields + i], static_cast<int64_t>(m * 100 + e * 50 + 1000 + i))
              << "map " << m << " element " << e << " member " << i;
        }
      }
    }
    brindle_cleanup(&outer, record.data());
  }
}

// A map too large for the parser's tables is scanned and still finds every field.
TEST(KeyLookup, MapLargerThanTheTables) {
  const IntMap map(tricky_keys(700));
  const std::string text = object_in_order(map, shuffled(700, 3));
  for (size_t step : {0, 5}) {
    std::vector<int64_t> record(700, -1);
    brindle_error error;
    ASSERT_EQ(parse(&map.map, record.data(), text, step, &error), BRINDLE_OK) << error.message;
    expect_every_member(record);
  }
}

}  // namespace
