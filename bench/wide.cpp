// A generated document for key lookup in wide maps: an array of records of 64 fields whose keys
// come in a different shuffled order in every object. The keys share prefixes and suffixes and
// many have the same length, so that neither the map order nor the first bytes find a field.
#include <array>
#include <string>
#include <vector>

#include "records.h"

namespace bench {

namespace {

constexpr size_t kWideItems = 1500;
constexpr const char *kStems[8] = {"user",     "item",    "order",   "account",
                                   "shipping", "billing", "created", "updated"};
constexpr const char *kEndings[8] = {"_id",    "_name",   "_count", "_at",
                                     "_total", "_status", "_code",  "_flag"};

// Every fourth field holds a string, the others integers.
bool is_string_field(size_t i) {
  return i % 4 == 3;
}

const std::array<std::string, kWideFields> &wide_keys() {
  static const std::array<std::string, kWideFields> keys = [] {
    std::array<std::string, kWideFields> made;
    for (size_t i = 0; i < kWideFields; ++i)
      made[i] = std::string(kStems[i / 8]) + kEndings[i % 8];
    return made;
  }();
  return keys;
}

brindle_field wide_field(size_t i) {
  const std::string &key = wide_keys()[i];
  brindle_field field{};
  field.json_key = key.c_str();
  field.json_key_len = key.size();
  field.key_first = key.front();
  field.key_last = key.back();
  if (is_string_field(i)) {
    field.offset = offsetof(WideItem, strings) + (i / 4) * sizeof(char *);
    field.kind = BRINDLE_FIELD_STRING;
  } else {
    field.offset = offsetof(WideItem, numbers) + (i - i / 4) * sizeof(int64_t);
    field.kind = BRINDLE_FIELD_I64;
  }
  return field;
}

// xorshift64: the same document on every machine and standard library.
uint64_t next_random(uint64_t *state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

}  // namespace

const brindle_map &wide_item_map() {
  static const std::vector<brindle_field> fields = [] {
    std::vector<brindle_field> made;
    for (size_t i = 0; i < kWideFields; ++i)
      made.push_back(wide_field(i));
    return made;
  }();
  static const brindle_map map{"wide_item_json", sizeof(WideItem), fields.data(), fields.size()};
  return map;
}

const brindle_map &wide_root_map() {
  static const brindle_field fields[] = {{"items", 5, 'i', 's', offsetof(WideRoot, items),
                                          BRINDLE_FIELD_OBJECT_ARRAY, BRINDLE_STORAGE_DYNAMIC,
                                          BRINDLE_OVERFLOW_FAIL, 0, 0, sizeof(WideItem),
                                          &wide_item_map(), nullptr, 0}};
  static const brindle_map map = BRINDLE_MAP("wide_json", WideRoot, fields);
  return map;
}

std::string wide_document() {
  std::string out = "{\"items\":[";
  uint64_t state = 0x9e3779b97f4a7c15ull;
  std::array<size_t, kWideFields> order;
  for (size_t i = 0; i < kWideFields; ++i)
    order[i] = i;
  for (size_t item = 0; item < kWideItems; ++item) {
    for (size_t i = kWideFields - 1; i > 0; --i)
      std::swap(order[i], order[next_random(&state) % (i + 1)]);
    out += item == 0 ? "{" : ",{";
    for (size_t k = 0; k < kWideFields; ++k) {
      const size_t i = order[k];
      if (k > 0) out += ',';
      out += '"' + wide_keys()[i] + "\":";
      const std::string number = std::to_string(next_random(&state) % 1000000);
      out += is_string_field(i) ? '"' + wide_keys()[i] + '-' + number + '"' : number;
    }
    out += '}';
  }
  out += "]}";
  return out;
}

}  // namespace bench
