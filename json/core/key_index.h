// Hash indexes of the keys of wide maps, built lazily in the parser's own fixed-size table so
// that a key in any order is found in one or two probes instead of a scan of every field. Maps
// are constant caller data and stay untouched; the table lives and dies with the parser.
#ifndef BRINDLE_CORE_KEY_INDEX_H
#define BRINDLE_CORE_KEY_INDEX_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "brindle_core.h"

// Maps with fewer fields are scanned: below this the scan costs no more than the hash.
constexpr size_t BRINDLE__KEY_INDEX_MIN_FIELDS = 12;
// Distinct maps indexed per parser, and slots shared by their tables (2 KiB). Past either the
// parser falls back to the scan, so memory stays fixed whatever the maps.
constexpr size_t BRINDLE__KEY_INDEX_MAPS = 8;
constexpr size_t BRINDLE__KEY_INDEX_SLOTS = 1024;

struct brindle__key_index_entry {
  const brindle_map *map;  // NULL: free
  uint64_t multiplier;     // chosen at build time for few collisions
  uint16_t base;           // first slot of the table
  uint8_t shift;           // 64 - log2(table size)
  bool usable;             // false: the table did not fit; scan this map
};

// The directory is cleared with the parser; slots are cleared only when a table is built.
struct brindle__key_index_directory {
  brindle__key_index_entry entries[BRINDLE__KEY_INDEX_MAPS];
  size_t slots_used;
};

// Equal bytes, with short keys compared in two overlapping words instead of a memcmp call.
inline bool brindle__same_bytes(const unsigned char *a, const unsigned char *b, size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    uint64_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    uint32_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n < 4) {
    for (size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  return std::memcmp(a, b, n) == 0;
}

// Whether field's key is the length bytes at key: length, first and last byte decide most.
inline bool brindle__key_matches(const brindle_field *field, const unsigned char *key,
                                 size_t length) noexcept {
  if (field->json_key_len != length) return false;
  if (length == 0) return true;
  if (static_cast<unsigned char>(field->key_first) != key[0] ||
      static_cast<unsigned char>(field->key_last) != key[length - 1]) {
    return false;
  }
  return length <= 2 ||
         (field->json_key != nullptr &&
          brindle__same_bytes(reinterpret_cast<const unsigned char *>(field->json_key) + 1, key + 1,
                              length - 2));
}

// The first field of map named by key, by a scan; *index receives its position.
inline const brindle_field *brindle__key_scan(const brindle_map *map, const unsigned char *key,
                                              size_t length, size_t *index) noexcept {
  for (size_t i = 0; i < map->field_count; ++i) {
    if (brindle__key_matches(&map->fields[i], key, length)) {
      *index = i;
      return &map->fields[i];
    }
  }
  return nullptr;
}

// The field of map named by key (through its table, built on first use, or else by the scan), NULL
// when none is; *index receives its position. slots is the parser's slot table, directory its
// bookkeeping.
const brindle_field *brindle__key_index_find(brindle__key_index_directory *directory,
                                             uint16_t *slots, const brindle_map *map,
                                             const unsigned char *key, size_t length,
                                             size_t *index) noexcept;

#endif
