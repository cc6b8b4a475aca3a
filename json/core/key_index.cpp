// Lazily built open-addressing tables from key to field, one per wide map met by a parser.
#include "key_index.h"

namespace {

// Candidate multipliers of the multiply-shift hash; the build keeps the first that places every
// key in its home slot, else the one with the fewest displaced probes.
constexpr uint64_t kMultipliers[] = {0x9e3779b97f4a7c15ull, 0xc2b2ae3d27d4eb4full,
                                     0x165667b19e3779f9ull, 0xd6e8feb86659fd93ull};

// The key folded into one word from its first and last bytes (overlapping loads, never past the
// key) and its length.
inline uint64_t key_word(const unsigned char *key, size_t length) {
  uint64_t head = 0, tail = 0;
  if (length >= 8) {
    std::memcpy(&head, key, 8);
    std::memcpy(&tail, key + length - 8, 8);
  } else if (length >= 4) {
    uint32_t a, b;
    std::memcpy(&a, key, 4);
    std::memcpy(&b, key + length - 4, 4);
    head = a;
    tail = uint64_t{b} << 32;
  } else if (length > 0) {
    head = key[0] | (uint64_t{key[length / 2]} << 8) | (uint64_t{key[length - 1]} << 16);
  }
  return head ^ ((tail << 21) | (tail >> 43)) ^ (uint64_t{length} << 56);
}

inline size_t home_slot(const brindle__key_index_entry &entry, uint64_t word) {
  return static_cast<size_t>((word * entry.multiplier) >> entry.shift);
}

const unsigned char *key_bytes(const brindle_field &field) {
  return reinterpret_cast<const unsigned char *>(field.json_key);
}

// Fills the table with the map's fields under entry's multiplier; returns the probes past the
// home slots. Earlier fields of equal keys stay ahead in their probe chain, so the first wins,
// as with a scan.
size_t fill(const brindle__key_index_entry &entry, uint16_t *table, const brindle_map *map) {
  const size_t mask = (size_t{1} << (64 - entry.shift)) - 1;
  std::memset(table, 0, (mask + 1) * sizeof(uint16_t));
  size_t displaced = 0;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field &field = map->fields[i];
    size_t slot = home_slot(entry, key_word(key_bytes(field), field.json_key_len));
    while (table[slot] != 0) {
      slot = (slot + 1) & mask;
      ++displaced;
    }
    table[slot] = static_cast<uint16_t>(i + 1);
  }
  return displaced;
}

void build(brindle__key_index_directory *directory, brindle__key_index_entry *entry,
           uint16_t *slots, const brindle_map *map) {
  entry->map = map;
  entry->usable = false;
  size_t bits = 1;
  while ((size_t{1} << bits) < 2 * map->field_count)
    ++bits;
  const size_t size = size_t{1} << bits;
  // Keys without text cannot be hashed; huge maps do not fit the slot numbers.
  for (size_t i = 0; i < map->field_count; ++i) {
    if (map->fields[i].json_key == nullptr && map->fields[i].json_key_len != 0) return;
  }
  if (map->field_count >= UINT16_MAX || size > BRINDLE__KEY_INDEX_SLOTS - directory->slots_used) {
    return;
  }
  entry->base = static_cast<uint16_t>(directory->slots_used);
  entry->shift = static_cast<uint8_t>(64 - bits);
  uint16_t *table = slots + entry->base;
  size_t best = SIZE_MAX;
  uint64_t best_multiplier = kMultipliers[0];
  for (uint64_t multiplier : kMultipliers) {
    entry->multiplier = multiplier;
    const size_t displaced = fill(*entry, table, map);
    if (displaced < best) {
      best = displaced;
      best_multiplier = multiplier;
    }
    if (displaced == 0) break;
  }
  if (entry->multiplier != best_multiplier) {
    entry->multiplier = best_multiplier;
    fill(*entry, table, map);
  }
  directory->slots_used += size;
  entry->usable = true;
}

}  // namespace

const brindle_field *brindle__key_index_find(brindle__key_index_directory *directory,
                                             uint16_t *slots, const brindle_map *map,
                                             const unsigned char *key, size_t length,
                                             size_t *index) noexcept {
  brindle__key_index_entry *entry = nullptr;
  for (brindle__key_index_entry &candidate : directory->entries) {
    if (candidate.map == map || candidate.map == nullptr) {
      entry = &candidate;
      break;
    }
  }
  if (entry != nullptr && entry->map == nullptr) build(directory, entry, slots, map);
  if (entry == nullptr || !entry->usable) return brindle__key_scan(map, key, length, index);
  const brindle_field *fields = map->fields;
  const uint16_t *table = slots + entry->base;
  const size_t mask = (size_t{1} << (64 - entry->shift)) - 1;
  for (size_t slot = home_slot(*entry, key_word(key, length));; slot = (slot + 1) & mask) {
    const size_t held = table[slot];
    if (held == 0) return nullptr;
    if (brindle__key_matches(&fields[held - 1], key, length)) {
      *index = held - 1;
      return &fields[held - 1];
    }
  }
}
