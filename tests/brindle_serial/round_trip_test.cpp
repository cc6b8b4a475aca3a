// Property tests over a varied set of maps and random records: every output form and the
// generator at every read size give the same bytes, measure gives their length, and parsing the
// compact and the pretty text gives back an equal record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <random>

#include "json/core/internal.h"
#include "serial_support.h"

namespace {

using serial_test::expect_all_forms_agree;

// ---- The maps ----------------------------------------------------------------------------------

struct Tag {
  char name[12];
  int64_t weight;
  int32_t weight_present;
};
const brindle_field kTagFields[] = {
    BRINDLE_DECL_FIXED_STRING(Tag, name, "name", BRINDLE_FIELD_REQUIRED, BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_PRESENT(Tag, weight, "weight", BRINDLE_FIELD_I64, 0, weight_present),
};
const brindle_map kTagMap = BRINDLE_MAP("tag", Tag, kTagFields);

constexpr size_t kVoteCapacity = 8;

struct Profile {
  char *name;
  char code[8];
  char *nickname;
  int64_t age;
  uint64_t id;
  double score;
  int32_t active;
  int64_t rank;
  int32_t rank_present;
  double ratio;
  int32_t ratio_present;
  int32_t verified;
  int32_t verified_present;
  brindle_array aliases;
  brindle_array lucky;
  brindle_array sizes;
  brindle_array samples;
  brindle_array votes;
  brindle_object_array tags;
};
const brindle_field kProfileFields[] = {
    BRINDLE_DECL_STRING(Profile, name, "name", 0),
    BRINDLE_DECL_FIXED_STRING(Profile, code, "code", 0, BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_STRING(Profile, nickname, "nick\"name", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_I64(Profile, age, "age", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_U64(Profile, id, "id", 0),
    BRINDLE_DECL_F64(Profile, score, "score", 0),
    BRINDLE_DECL_BOOL(Profile, active, "active", 0),
    BRINDLE_DECL_PRESENT(Profile, rank, "rank", BRINDLE_FIELD_I64, 0, rank_present),
    BRINDLE_DECL_PRESENT(Profile, ratio, "ratio", BRINDLE_FIELD_F64, 0, ratio_present),
    BRINDLE_DECL_PRESENT(Profile, verified, "verified", BRINDLE_FIELD_BOOL, 0, verified_present),
    BRINDLE_DECL_ARRAY(Profile, aliases, "aliases", BRINDLE_FIELD_STRING_ARRAY,
                       BRINDLE_FIELD_OMIT_EMPTY),
    BRINDLE_DECL_ARRAY(Profile, lucky, "lucky", BRINDLE_FIELD_I64_ARRAY, 0),
    BRINDLE_DECL_ARRAY(Profile, sizes, "sizes", BRINDLE_FIELD_U64_ARRAY, BRINDLE_FIELD_OMIT_EMPTY),
    BRINDLE_DECL_ARRAY(Profile, samples, "samples", BRINDLE_FIELD_F64_ARRAY, 0),
    BRINDLE_DECL_FIXED_ARRAY(Profile, votes, "votes", BRINDLE_FIELD_BOOL_ARRAY, 0,
                             BRINDLE_OVERFLOW_FAIL, kVoteCapacity),
    BRINDLE_DECL_OBJECT_ARRAY(Profile, tags, "tags", BRINDLE_FIELD_OMIT_EMPTY, &kTagMap, Tag),
};
const brindle_map kProfileMap = BRINDLE_MAP("profile_json", Profile, kProfileFields);

struct Point {
  double x;
  double y;
};
const brindle_field kPointFields[] = {BRINDLE_DECL_F64(Point, x, "x", 0),
                                      BRINDLE_DECL_F64(Point, y, "y", 0)};
const brindle_map kPointMap = BRINDLE_MAP("point", Point, kPointFields);

struct Geometry {
  Point origin;
  brindle_object_array points;
  char *label;
};
const brindle_field kGeometryFields[] = {
    BRINDLE_DECL_OBJECT(Geometry, origin, "origin", 0, &kPointMap),
    BRINDLE_DECL_OBJECT_ARRAY(Geometry, points, "points", 0, &kPointMap, Point),
    BRINDLE_DECL_STRING(Geometry, label, "label", BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map kGeometryMap = BRINDLE_MAP("geometry", Geometry, kGeometryFields);

struct Meta {
  char *author;
  brindle_array keywords;
};
const brindle_field kMetaFields[] = {
    BRINDLE_DECL_STRING(Meta, author, "author", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_ARRAY(Meta, keywords, "keywords", BRINDLE_FIELD_STRING_ARRAY,
                       BRINDLE_FIELD_OMIT_EMPTY),
};
const brindle_map kMetaMap = BRINDLE_MAP("meta", Meta, kMetaFields);

struct Child {
  char *key;
  brindle_object_array leaves;
};
const brindle_field kChildFields[] = {
    BRINDLE_DECL_STRING(Child, key, "key", 0),
    BRINDLE_DECL_OBJECT_ARRAY(Child, leaves, "leaves", BRINDLE_FIELD_OMIT_EMPTY, &kGeometryMap,
                              Geometry),
};
const brindle_map kChildMap = BRINDLE_MAP("child", Child, kChildFields);

const brindle_spool_options kSmallSpool = {16, 0, nullptr};

struct Document {
  Geometry geometry;
  Meta meta;
  brindle_spooled body;
  brindle_spooled blob;
  brindle_json_value extra;
  brindle_object_array children;
};
const brindle_field kDocumentFields[] = {
    BRINDLE_DECL_OBJECT(Document, geometry, "geometry", 0, &kGeometryMap),
    BRINDLE_DECL_OBJECT(Document, meta, "meta", BRINDLE_FIELD_OMIT_EMPTY, &kMetaMap),
    BRINDLE_DECL_SPOOLED(Document, body, "body", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kSmallSpool),
    BRINDLE_DECL_SPOOLED(Document, blob, "blob", BRINDLE_FIELD_SPOOLED_BYTES,
                         BRINDLE_FIELD_OMIT_EMPTY, &kSmallSpool),
    BRINDLE_DECL_JSON_VALUE(Document, extra, "extra", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_OBJECT_ARRAY(Document, children, "children", 0, &kChildMap, Child),
};
const brindle_map kDocumentMap = BRINDLE_MAP("document_json", Document, kDocumentFields);

// Sources are written but never parsed: the text is read back into spooled members.
struct Upload {
  char *name;
  brindle_source text;
  brindle_source data;
};
struct UploadMirror {
  char *name;
  brindle_spooled text;
  brindle_spooled data;
};
const brindle_field kUploadFields[] = {
    BRINDLE_DECL_STRING(Upload, name, "name", 0),
    BRINDLE_DECL_SOURCE(Upload, text, "text", BRINDLE_FIELD_SOURCE_TEXT, 0),
    BRINDLE_DECL_SOURCE(Upload, data, "data", BRINDLE_FIELD_SOURCE_BYTES, BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map kUploadMap = BRINDLE_MAP("upload_json", Upload, kUploadFields);
const brindle_field kMirrorFields[] = {
    BRINDLE_DECL_STRING(UploadMirror, name, "name", 0),
    BRINDLE_DECL_SPOOLED(UploadMirror, text, "text", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kSmallSpool),
    BRINDLE_DECL_SPOOLED(UploadMirror, data, "data", BRINDLE_FIELD_SPOOLED_BYTES, 0, &kSmallSpool),
};
const brindle_map kMirrorMap = BRINDLE_MAP("upload_mirror", UploadMirror, kMirrorFields);

// ---- Random content ----------------------------------------------------------------------------

class Random {
 public:
  explicit Random(unsigned seed) : engine_(seed) {}

  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(engine_() % n); }
  bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }

  // Text with escapes, control bytes and multi-byte UTF-8; sometimes long (but within what the
  // parser's 4 KiB workspace takes for a dynamic string: longer text goes to spools).
  std::string text(size_t max_length = 24, size_t long_length = 2500) {
    static const char *const pieces[] = {
        "a",    "Z",  "7",    " ",    "\"",       "\\",           "/",
        "\n",   "\t", "\x01", "\x1f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
        "\x7f", "{",  "]"};
    std::string out;
    const size_t length = chance(5) ? 300 + below(long_length) : below(max_length + 1);
    while (out.size() < length)
      out += pieces[below(sizeof(pieces) / sizeof(pieces[0]))];
    return out;
  }
  std::string ascii(size_t max_length) {
    std::string out(below(max_length + 1), 'a');
    for (char &c : out)
      c = static_cast<char>('a' + below(26));
    return out;
  }
  std::string bytes(size_t max_length) {
    std::string out(below(max_length + 1), '\0');
    for (char &c : out)
      c = static_cast<char>(engine_());
    return out;
  }
  int64_t i64() {
    if (chance(10))
      return chance(50) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(engine_()) >> below(63);
  }
  uint64_t u64() {
    return chance(10) ? std::numeric_limits<uint64_t>::max() : engine_() >> below(64);
  }
  double f64() {
    for (;;) {
      double value = 0;
      if (chance(50)) {
        const uint64_t bits = engine_();
        std::memcpy(&value, &bits, sizeof(value));
      } else {
        value = static_cast<double>(static_cast<int64_t>(engine_() % 2000001) - 1000000) / 8.0;
      }
      if (std::isfinite(value)) return value;
    }
  }

 private:
  std::mt19937_64 engine_;
};

char *block_string(const std::string &text) {
  char *copy = static_cast<char *>(brindle__block_alloc(nullptr, text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// A library-owned array buffer, freed by brindle_cleanup.
template <class T>
brindle_array owned_array(const std::vector<T> &values) {
  brindle_array array{};
  if (values.empty()) return array;
  array.items = brindle__block_alloc(nullptr, values.size() * sizeof(T));
  std::memcpy(array.items, values.data(), values.size() * sizeof(T));
  array.count = values.size();
  array.capacity = values.size();
  array.flags = BRINDLE_ARRAY_OWNED;
  return array;
}

template <class T>
T *owned_elements(brindle_object_array *array, size_t count) {
  array->element_size = sizeof(T);
  if (count == 0) return nullptr;
  array->items = brindle__block_alloc(nullptr, count * sizeof(T));
  std::memset(array->items, 0, count * sizeof(T));
  array->count = count;
  array->capacity = count;
  array->flags = BRINDLE_ARRAY_OWNED;
  return static_cast<T *>(array->items);
}

brindle_array strings_array(Random &random, size_t max_count) {
  std::vector<char *> items(random.below(max_count + 1));
  for (char *&item : items)
    item = random.chance(10) ? nullptr : block_string(random.text());
  return owned_array(items);
}

void fill_profile(Random &random, Profile *p, std::vector<int32_t> &votes) {
  brindle_init(&kProfileMap, p);
  p->name = random.chance(15) ? nullptr : block_string(random.text());
  std::strcpy(p->code, random.ascii(7).c_str());
  p->nickname = random.chance(50) ? nullptr : block_string(random.text());
  p->age = random.i64();
  p->id = random.u64();
  p->score = random.f64();
  p->active = static_cast<int32_t>(random.below(3));
  p->rank = random.i64();
  p->rank_present = random.chance(50) ? 1 : 0;
  p->ratio = random.f64();
  p->ratio_present = random.chance(50) ? 1 : 0;
  p->verified = 1;
  p->verified_present = random.chance(50) ? 1 : 0;
  p->aliases = strings_array(random, 4);
  std::vector<int64_t> lucky(random.below(6));
  for (int64_t &v : lucky)
    v = random.i64();
  p->lucky = owned_array(lucky);
  std::vector<uint64_t> sizes(random.below(3));
  for (uint64_t &v : sizes)
    v = random.u64();
  p->sizes = owned_array(sizes);
  std::vector<double> samples(random.below(5));
  for (double &v : samples)
    v = random.f64();
  p->samples = owned_array(samples);
  votes.assign(random.below(kVoteCapacity + 1), 0);
  for (int32_t &v : votes)
    v = random.chance(50) ? 1 : 0;
  p->votes.items = votes.data();
  p->votes.count = votes.size();
  p->votes.capacity = votes.size();
  p->votes.flags = BRINDLE_ARRAY_FIXED;
  Tag *tags = owned_elements<Tag>(&p->tags, random.below(4));
  for (size_t i = 0; i < p->tags.count; ++i) {
    std::strcpy(tags[i].name, random.ascii(11).c_str());
    tags[i].weight = random.i64();
    tags[i].weight_present = random.chance(50) ? 1 : 0;
  }
}

void fill_geometry(Random &random, Geometry *g, int depth) {
  g->origin = {random.f64(), random.f64()};
  Point *points = owned_elements<Point>(&g->points, random.below(depth > 0 ? 3 : 5));
  for (size_t i = 0; i < g->points.count; ++i)
    points[i] = {random.f64(), random.f64()};
  g->label = random.chance(50) ? nullptr : block_string(random.text());
}

const char *const kJsonSamples[] = {
    "{\"a\":1,\"b\":[true,false,null],\"c\":{\"d\":\"\\u00e9\\n\"}}",
    "[1,-0.5,2e10,\"x\",[],{}]",
    "\"plain\"",
    "-12.5e-3",
    "{\"deep\":[[[[{\"k\":[1,2,{\"z\":null}]}]]]]}",
    "{}",
    "[]",
    "true"};

void fill_document(Random &random, Document *d) {
  brindle_init(&kDocumentMap, d);
  fill_geometry(random, &d->geometry, 0);
  d->meta.author = random.chance(50) ? nullptr : block_string(random.text());
  d->meta.keywords = random.chance(50) ? brindle_array{} : strings_array(random, 3);
  const std::string body = random.text(60, 20000);
  brindle_spooled_append(&d->body, body.data(), body.size(), nullptr);
  const std::string blob = random.bytes(50);
  brindle_spooled_append(&d->blob, blob.data(), blob.size(), nullptr);
  if (!random.chance(25)) {
    const char *sample = kJsonSamples[random.below(sizeof(kJsonSamples) / sizeof(char *))];
    EXPECT_EQ(brindle_json_value_set_buffer(&d->extra, sample, std::strlen(sample), nullptr),
              BRINDLE_OK);
  }
  Child *children = owned_elements<Child>(&d->children, random.below(4));
  for (size_t i = 0; i < d->children.count; ++i) {
    children[i].key = block_string(random.text());
    Geometry *leaves = owned_elements<Geometry>(&children[i].leaves, random.below(3));
    for (size_t k = 0; k < children[i].leaves.count; ++k)
      fill_geometry(random, &leaves[k], 1);
  }
}

// ---- Comparing records field by field -----------------------------------------------------------

std::string sink_text(brindle_status (*write)(const void *, brindle_sink, void *, brindle_error *),
                      const void *member) {
  serial_test::Collected collected;
  EXPECT_EQ(write(member, serial_test::collect, &collected, nullptr), BRINDLE_OK);
  return collected.text;
}

brindle_status spool_write(const void *member, brindle_sink sink, void *user, brindle_error *e) {
  return brindle_spooled_write_to_sink(static_cast<brindle_spooled *>(const_cast<void *>(member)),
                                       sink, user, e);
}
brindle_status source_write(const void *member, brindle_sink sink, void *user, brindle_error *e) {
  return brindle_source_write_to_sink(static_cast<const brindle_source *>(member), sink, user, e);
}

template <class T>
T serial_test_load(const void *at) {
  T value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

std::string string_member(const brindle_field *field, const char *member) {
  if (field->storage == BRINDLE_STORAGE_FIXED) {
    return std::string(member, strnlen(member, field->capacity));
  }
  const char *text = serial_test_load<const char *>(member);
  return text == nullptr ? "<null>" : text;
}

void expect_equal(const brindle_map *map_a, const char *a, const brindle_map *map_b, const char *b,
                  const std::string &path);

template <class T>
void expect_elements(const brindle_array &x, const brindle_array &y, const std::string &path) {
  ASSERT_EQ(x.count, y.count) << path;
  for (size_t i = 0; i < x.count; ++i) {
    const T u = serial_test_load<T>(static_cast<const char *>(x.items) + i * sizeof(T));
    const T v = serial_test_load<T>(static_cast<const char *>(y.items) + i * sizeof(T));
    if constexpr (std::is_same_v<T, double>) {
      EXPECT_EQ(std::memcmp(&u, &v, sizeof(double)), 0)
          << path << "[" << i << "] " << u << " " << v;
    } else if constexpr (std::is_same_v<T, int32_t>) {
      EXPECT_EQ(u != 0, v != 0) << path << "[" << i << "]";
    } else if constexpr (std::is_same_v<T, char *>) {
      EXPECT_STREQ(u == nullptr ? "" : u, v == nullptr ? "" : v) << path << "[" << i << "]";
    } else {
      EXPECT_EQ(u, v) << path << "[" << i << "]";
    }
  }
}

void expect_field_equal(const brindle_field *fa, const char *a, const brindle_field *fb,
                        const char *b, const std::string &path) {
  const char *ma = a + fa->offset;
  const char *mb = b + fb->offset;
  switch (fa->kind) {
    case BRINDLE_FIELD_STRING:
      EXPECT_EQ(string_member(fa, ma), string_member(fb, mb)) << path;
      break;
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      EXPECT_EQ(sink_text(spool_write, ma), sink_text(spool_write, mb)) << path;
      break;
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
      EXPECT_EQ(sink_text(source_write, ma), sink_text(spool_write, mb)) << path;
      break;
    case BRINDLE_FIELD_JSON_VALUE: {
      const auto *x = reinterpret_cast<const brindle_json_value *>(ma);
      const auto *y = reinterpret_cast<const brindle_json_value *>(mb);
      ASSERT_EQ(x->kind == BRINDLE_JSON_VALUE_NONE, y->kind == BRINDLE_JSON_VALUE_NONE) << path;
      if (x->kind != BRINDLE_JSON_VALUE_NONE) {
        EXPECT_EQ(std::string(x->buffer, x->length), std::string(y->buffer, y->length)) << path;
      }
      break;
    }
    case BRINDLE_FIELD_I64:
      EXPECT_EQ(serial_test_load<int64_t>(ma), serial_test_load<int64_t>(mb)) << path;
      break;
    case BRINDLE_FIELD_U64:
      EXPECT_EQ(serial_test_load<uint64_t>(ma), serial_test_load<uint64_t>(mb)) << path;
      break;
    case BRINDLE_FIELD_F64:
      EXPECT_EQ(std::memcmp(ma, mb, sizeof(double)), 0) << path;
      break;
    case BRINDLE_FIELD_BOOL:
      EXPECT_EQ(serial_test_load<int32_t>(ma) != 0, serial_test_load<int32_t>(mb) != 0) << path;
      break;
    case BRINDLE_FIELD_OBJECT:
      expect_equal(fa->submap, ma, fb->submap, mb, path);
      break;
    case BRINDLE_FIELD_STRING_ARRAY:
      expect_elements<char *>(serial_test_load<brindle_array>(ma),
                              serial_test_load<brindle_array>(mb), path);
      break;
    case BRINDLE_FIELD_I64_ARRAY:
      expect_elements<int64_t>(serial_test_load<brindle_array>(ma),
                               serial_test_load<brindle_array>(mb), path);
      break;
    case BRINDLE_FIELD_U64_ARRAY:
      expect_elements<uint64_t>(serial_test_load<brindle_array>(ma),
                                serial_test_load<brindle_array>(mb), path);
      break;
    case BRINDLE_FIELD_F64_ARRAY:
      expect_elements<double>(serial_test_load<brindle_array>(ma),
                              serial_test_load<brindle_array>(mb), path);
      break;
    case BRINDLE_FIELD_BOOL_ARRAY:
      expect_elements<int32_t>(serial_test_load<brindle_array>(ma),
                               serial_test_load<brindle_array>(mb), path);
      break;
    case BRINDLE_FIELD_OBJECT_ARRAY: {
      const auto x = serial_test_load<brindle_object_array>(ma);
      const auto y = serial_test_load<brindle_object_array>(mb);
      ASSERT_EQ(x.count, y.count) << path;
      for (size_t i = 0; i < x.count; ++i) {
        expect_equal(fa->submap, static_cast<const char *>(x.items) + i * x.element_size,
                     fb->submap, static_cast<const char *>(y.items) + i * y.element_size,
                     path + "[" + std::to_string(i) + "]");
      }
      break;
    }
    default:
      ADD_FAILURE() << "unexpected kind at " << path;
  }
}

void expect_equal(const brindle_map *map_a, const char *a, const brindle_map *map_b, const char *b,
                  const std::string &path) {
  ASSERT_EQ(map_a->field_count, map_b->field_count);
  for (size_t i = 0; i < map_a->field_count; ++i) {
    const brindle_field *fa = &map_a->fields[i];
    const brindle_field *fb = &map_b->fields[i];
    const std::string where = path + "." + fa->json_key;
    if ((fa->flags & BRINDLE_FIELD_HAS_PRESENT) != 0) {
      const int32_t pa = serial_test_load<int32_t>(a + fa->present_offset);
      const int32_t pb = serial_test_load<int32_t>(b + fb->present_offset);
      EXPECT_EQ(pa != 0, pb != 0) << where;
      if (pa == 0) continue;  // an absent member's value is not part of the record
    }
    expect_field_equal(fa, a, fb, b, where);
  }
}

// ---- The properties -----------------------------------------------------------------------------

// Parses text into a fresh destination prepared by prepare (parse targets, fixed storage).
template <class Record, class Prepare>
void expect_round_trip(const brindle_map *map, const Record &original, const brindle_map *parse_map,
                       const std::string &text, Prepare prepare) {
  alignas(16) unsigned char storage[sizeof(Record) > 0 ? 4096 : 1];
  static_assert(sizeof(Record) <= sizeof(storage));
  std::memset(storage, 0, sizeof(storage));
  brindle_init(parse_map, storage);
  prepare(storage);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  brindle_error error;
  ASSERT_EQ(brindle_parse_buffer(parse_map, storage, text.data(), text.size(), &options, &error),
            BRINDLE_OK)
      << error.message << " at " << error.offset << " in " << text;
  expect_equal(map, reinterpret_cast<const char *>(&original), parse_map,
               reinterpret_cast<const char *>(storage), "$");
  brindle_cleanup(parse_map, storage);
}

TEST(RoundTrip, ProfilesWithEveryScalarArrayAndFlag) {
  Random random(1001);
  for (int round = 0; round < 60; ++round) {
    Profile profile;
    std::vector<int32_t> votes;
    fill_profile(random, &profile, votes);
    for (bool pretty : {false, true}) {
      const std::string text = expect_all_forms_agree(&kProfileMap, &profile, pretty);
      int32_t parsed_votes[kVoteCapacity];
      expect_round_trip(&kProfileMap, profile, &kProfileMap, text, [&](void *record) {
        auto *p = static_cast<Profile *>(record);
        p->votes.items = parsed_votes;
        p->votes.capacity = kVoteCapacity;
        p->votes.flags = BRINDLE_ARRAY_FIXED;
      });
      if (HasFailure()) return;
    }
    brindle_cleanup(&kProfileMap, &profile);
  }
}

TEST(RoundTrip, DocumentsWithNestingSpoolsAndJsonValues) {
  Random random(2002);
  for (int round = 0; round < 40; ++round) {
    Document document;
    fill_document(random, &document);
    for (bool pretty : {false, true}) {
      const std::string text = expect_all_forms_agree(&kDocumentMap, &document, pretty);
      expect_round_trip(&kDocumentMap, document, &kDocumentMap, text, [](void *record) {
        brindle_json_value_enable_parse_capture(&static_cast<Document *>(record)->extra, nullptr);
      });
      if (HasFailure()) return;
    }
    brindle_cleanup(&kDocumentMap, &document);
  }
}

TEST(RoundTrip, SourcesArriveAsTheirContent) {
  Random random(3003);
  const std::string dir = ::testing::TempDir();
  const std::string text_path = dir + "brindle-rt-text-" + std::to_string(getpid());
  const std::string data_path = dir + "brindle-rt-data-" + std::to_string(getpid());
  for (int round = 0; round < 20; ++round) {
    std::ofstream(text_path, std::ios::binary) << random.text(9000);
    std::ofstream(data_path, std::ios::binary) << random.bytes(9000);
    Upload upload;
    brindle_init(&kUploadMap, &upload);
    upload.name = block_string(random.text());
    brindle_source_set_path(&upload.text, text_path.c_str(), nullptr);
    if (random.chance(75)) brindle_source_set_path(&upload.data, data_path.c_str(), nullptr);
    for (bool pretty : {false, true}) {
      const std::string text = expect_all_forms_agree(&kUploadMap, &upload, pretty);
      expect_round_trip(&kUploadMap, upload, &kMirrorMap, text, [](void *) {});
      if (HasFailure()) break;
    }
    brindle_cleanup(&kUploadMap, &upload);
    if (HasFailure()) break;
  }
  std::remove(text_path.c_str());
  std::remove(data_path.c_str());
}

TEST(RoundTrip, RecordsWithNothingToWrite) {
  const brindle_map empty = {"empty", sizeof(Meta), nullptr, 0};
  Meta meta{};
  EXPECT_EQ(expect_all_forms_agree(&empty, &meta, false), "{}");
  EXPECT_EQ(expect_all_forms_agree(&empty, &meta, true), "{}");
  EXPECT_EQ(expect_all_forms_agree(&kMetaMap, &meta, true), "{}");
  expect_round_trip(&kMetaMap, meta, &kMetaMap, "{}", [](void *) {});
}

}  // namespace
