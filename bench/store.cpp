// Peer-side stores into mapped records, their release, and the record checksum.
#include "store.h"

#include <cstdlib>
#include <unordered_map>

namespace bench {

namespace {

// Wide maps get a hash index for the peers too, built once per map, so that a wide row compares
// lookups of the same order of cost instead of brindle against a scan.
constexpr size_t kIndexedFrom = 33;

const std::unordered_map<std::string_view, size_t> &key_index(const brindle_map *map) {
  static std::unordered_map<const brindle_map *, std::unordered_map<std::string_view, size_t>>
      indexes;
  auto found = indexes.find(map);
  if (found != indexes.end()) return found->second;
  std::unordered_map<std::string_view, size_t> index;
  for (size_t i = map->field_count; i-- > 0;)
    index[std::string_view(map->fields[i].json_key, map->fields[i].json_key_len)] = i;
  return indexes.emplace(map, std::move(index)).first->second;
}

}  // namespace

const brindle_field *find_field(const brindle_map *map, std::string_view key, size_t *hint) {
  auto same = [&](const brindle_field &f) {
    return f.json_key_len == key.size() && std::memcmp(f.json_key, key.data(), key.size()) == 0;
  };
  if (*hint < map->field_count && same(map->fields[*hint])) return &map->fields[(*hint)++];
  if (map->field_count >= kIndexedFrom) {
    const auto &index = key_index(map);
    auto found = index.find(key);
    if (found == index.end()) return nullptr;
    *hint = found->second + 1;
    return &map->fields[found->second];
  }
  for (size_t i = 0; i < map->field_count; ++i) {
    if (same(map->fields[i])) {
      *hint = i + 1;
      return &map->fields[i];
    }
  }
  return nullptr;
}

namespace {

void *grow(void *items, size_t *capacity, size_t count, size_t element_size) {
  if (count < *capacity) return items;
  const size_t next = *capacity == 0 ? 4 : *capacity * 2;
  void *grown = std::realloc(items, next * element_size);
  if (grown == nullptr) return nullptr;
  *capacity = next;
  return grown;
}

template <typename T>
bool append_scalar(void *record, const brindle_field *field, int kind, T value) {
  if (field->kind != kind) return false;
  auto *array = reinterpret_cast<brindle_array *>(field_ptr(record, field));
  void *items = grow(array->items, &array->capacity, array->count, sizeof(T));
  if (items == nullptr) return false;
  array->items = items;
  static_cast<T *>(items)[array->count++] = value;
  return true;
}

char *copy_text(std::string_view value) {
  auto *copy = static_cast<char *>(std::malloc(value.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, value.data(), value.size());
  copy[value.size()] = '\0';
  return copy;
}

}  // namespace

bool store_string(void *record, const brindle_field *field, std::string_view value) {
  if (field->kind != BRINDLE_FIELD_STRING) return false;
  char *copy = copy_text(value);
  if (copy == nullptr) return false;
  char **slot = reinterpret_cast<char **>(field_ptr(record, field));
  std::free(*slot);
  *slot = copy;
  return true;
}

bool store_null(void *record, const brindle_field *field) {
  if (field->kind != BRINDLE_FIELD_STRING) return false;
  char **slot = reinterpret_cast<char **>(field_ptr(record, field));
  std::free(*slot);
  *slot = nullptr;
  return true;
}

bool store_i64(void *record, const brindle_field *field, int64_t value) {
  if (field->kind == BRINDLE_FIELD_F64) return store_f64(record, field, static_cast<double>(value));
  if (field->kind == BRINDLE_FIELD_U64) {
    return value >= 0 && store_u64(record, field, static_cast<uint64_t>(value));
  }
  if (field->kind != BRINDLE_FIELD_I64) return false;
  std::memcpy(field_ptr(record, field), &value, sizeof value);
  return true;
}

bool store_u64(void *record, const brindle_field *field, uint64_t value) {
  if (field->kind == BRINDLE_FIELD_I64) {
    return value <= INT64_MAX && store_i64(record, field, static_cast<int64_t>(value));
  }
  if (field->kind == BRINDLE_FIELD_F64) return store_f64(record, field, static_cast<double>(value));
  if (field->kind != BRINDLE_FIELD_U64) return false;
  std::memcpy(field_ptr(record, field), &value, sizeof value);
  return true;
}

bool store_f64(void *record, const brindle_field *field, double value) {
  if (field->kind != BRINDLE_FIELD_F64) return false;
  std::memcpy(field_ptr(record, field), &value, sizeof value);
  return true;
}

bool store_bool(void *record, const brindle_field *field, bool value) {
  if (field->kind != BRINDLE_FIELD_BOOL) return false;
  const int32_t stored = value ? 1 : 0;
  std::memcpy(field_ptr(record, field), &stored, sizeof stored);
  return true;
}

bool append_string(void *record, const brindle_field *field, std::string_view value) {
  char *copy = copy_text(value);
  if (copy == nullptr) return false;
  if (append_scalar<char *>(record, field, BRINDLE_FIELD_STRING_ARRAY, copy)) return true;
  std::free(copy);
  return false;
}

bool append_i64(void *record, const brindle_field *field, int64_t value) {
  if (field->kind == BRINDLE_FIELD_U64_ARRAY) {
    return value >= 0 && append_u64(record, field, static_cast<uint64_t>(value));
  }
  if (field->kind == BRINDLE_FIELD_F64_ARRAY) {
    return append_f64(record, field, static_cast<double>(value));
  }
  return append_scalar<int64_t>(record, field, BRINDLE_FIELD_I64_ARRAY, value);
}

bool append_u64(void *record, const brindle_field *field, uint64_t value) {
  if (field->kind == BRINDLE_FIELD_I64_ARRAY) {
    return value <= INT64_MAX && append_i64(record, field, static_cast<int64_t>(value));
  }
  if (field->kind == BRINDLE_FIELD_F64_ARRAY) {
    return append_f64(record, field, static_cast<double>(value));
  }
  return append_scalar<uint64_t>(record, field, BRINDLE_FIELD_U64_ARRAY, value);
}

bool append_f64(void *record, const brindle_field *field, double value) {
  return append_scalar<double>(record, field, BRINDLE_FIELD_F64_ARRAY, value);
}

bool append_bool(void *record, const brindle_field *field, bool value) {
  return append_scalar<int32_t>(record, field, BRINDLE_FIELD_BOOL_ARRAY, value ? 1 : 0);
}

void *append_object(void *record, const brindle_field *field) {
  if (field->kind != BRINDLE_FIELD_OBJECT_ARRAY) return nullptr;
  auto *array = reinterpret_cast<brindle_object_array *>(field_ptr(record, field));
  const size_t size = field->element_size;
  void *items = grow(array->items, &array->capacity, array->count, size);
  if (items == nullptr) return nullptr;
  array->items = items;
  array->element_size = size;
  void *slot = static_cast<char *>(items) + array->count++ * size;
  std::memset(slot, 0, size);
  return slot;
}

void free_record(const brindle_map *map, void *record) {
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *f = &map->fields[i];
    char *member = field_ptr(record, f);
    switch (f->kind) {
      case BRINDLE_FIELD_STRING:
        std::free(*reinterpret_cast<char **>(member));
        break;
      case BRINDLE_FIELD_OBJECT:
        free_record(f->submap, member);
        break;
      case BRINDLE_FIELD_STRING_ARRAY: {
        auto *array = reinterpret_cast<brindle_array *>(member);
        for (size_t k = 0; k < array->count; ++k)
          std::free(static_cast<char **>(array->items)[k]);
        std::free(array->items);
        break;
      }
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
      case BRINDLE_FIELD_BOOL_ARRAY:
        std::free(reinterpret_cast<brindle_array *>(member)->items);
        break;
      case BRINDLE_FIELD_OBJECT_ARRAY: {
        auto *array = reinterpret_cast<brindle_object_array *>(member);
        for (size_t k = 0; k < array->count; ++k) {
          free_record(f->submap, static_cast<char *>(array->items) + k * f->element_size);
        }
        std::free(array->items);
        break;
      }
      default:
        break;
    }
  }
  std::memset(record, 0, map->struct_size);
}

void checksum_record(const brindle_map *map, const void *record, Checksum *sum) {
  ++sum->objects;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *f = &map->fields[i];
    const char *member = static_cast<const char *>(record) + f->offset;
    const auto *array = reinterpret_cast<const brindle_array *>(member);
    switch (f->kind) {
      case BRINDLE_FIELD_STRING:
        sum->text(*reinterpret_cast<char *const *>(member));
        break;
      case BRINDLE_FIELD_I64:
      case BRINDLE_FIELD_U64:
      case BRINDLE_FIELD_F64:
        sum->bytes(member, 8);
        break;
      case BRINDLE_FIELD_BOOL:
        sum->bytes(member, 4);
        break;
      case BRINDLE_FIELD_OBJECT:
        checksum_record(f->submap, member, sum);
        break;
      case BRINDLE_FIELD_STRING_ARRAY:
        sum->value<uint64_t>(array->count);
        for (size_t k = 0; k < array->count; ++k)
          sum->text(static_cast<char **>(array->items)[k]);
        break;
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
        sum->value<uint64_t>(array->count);
        sum->bytes(array->items, array->count * 8);
        break;
      case BRINDLE_FIELD_BOOL_ARRAY:
        sum->value<uint64_t>(array->count);
        sum->bytes(array->items, array->count * 4);
        break;
      case BRINDLE_FIELD_OBJECT_ARRAY: {
        const auto *objects = reinterpret_cast<const brindle_object_array *>(member);
        sum->value<uint64_t>(objects->count);
        for (size_t k = 0; k < objects->count; ++k) {
          checksum_record(f->submap,
                          static_cast<const char *>(objects->items) + k * f->element_size, sum);
        }
        break;
      }
      default:
        break;
    }
  }
}

bool checksum_self_test() {
  struct Probe {
    char *name;
    brindle_array values;
  };
  static const brindle_field fields[] = {
      BRINDLE_DECL_STRING(Probe, name, "name", 0),
      BRINDLE_DECL_ARRAY(Probe, values, "values", BRINDLE_FIELD_I64_ARRAY, 0),
  };
  static const brindle_map map = BRINDLE_MAP("probe_json", Probe, fields);
  auto sum_of = [](const Probe &p) {
    Checksum sum;
    checksum_record(&map, &p, &sum);
    return sum.hash;
  };
  char ab[] = "ab", ba[] = "ba";
  int64_t one_two[] = {1, 2}, two_one[] = {2, 1};
  Probe a{ab, {one_two, 2, 2, 0}}, same{ab, {one_two, 2, 2, 0}};
  Probe swapped_text{ba, {one_two, 2, 2, 0}}, swapped_values{ab, {two_one, 2, 2, 0}};
  Probe shorter{ab, {one_two, 1, 2, 0}}, null_name{nullptr, {one_two, 2, 2, 0}};
  const uint64_t base = sum_of(a);
  return base == sum_of(same) && base != sum_of(swapped_text) && base != sum_of(swapped_values) &&
         base != sum_of(shorter) && base != sum_of(null_name);
}

}  // namespace bench
