// The record module: layout validation, brindle_init / brindle_reset / brindle_cleanup by kind,
// array growth, option defaults, the owned buffer and the string array stream record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "json/core/records.h"
#include "parser_test_support.h"
#include "test_allocator.h"

using namespace parser_test;

namespace {

struct Small {
  int64_t a;
  char text[8];
  char *dynamic;
};

brindle_field i64_field(size_t offset) {
  brindle_field field = BRINDLE_DECL_I64(Small, a, "a", 0);
  field.offset = offset;
  return field;
}

bool valid_with(const brindle_field &field, size_t struct_size = sizeof(Small)) {
  const brindle_map map{"small_json", struct_size, &field, 1};
  return brindle__map_layout_is_valid(&map);
}

TEST(Layout, MemberBoundsKindsAndFlags) {
  EXPECT_TRUE(valid_with(i64_field(0)));
  EXPECT_TRUE(valid_with(i64_field(sizeof(Small) - 8)));
  EXPECT_FALSE(valid_with(i64_field(sizeof(Small) - 7)));  // ends one byte past the record
  EXPECT_FALSE(valid_with(i64_field(sizeof(Small) + 8)));
  EXPECT_FALSE(valid_with(i64_field(SIZE_MAX - 3)));

  brindle_field kind = i64_field(0);
  kind.kind = 18;
  EXPECT_FALSE(valid_with(kind));
  kind.kind = -1;
  EXPECT_FALSE(valid_with(kind));

  brindle_field fixed = BRINDLE_DECL_FIXED_STRING(Small, text, "t", 0, 0);
  EXPECT_TRUE(valid_with(fixed));
  fixed.capacity = 0;
  EXPECT_FALSE(valid_with(fixed));
  fixed.capacity = 9;
  fixed.offset = sizeof(Small) - 8;
  EXPECT_FALSE(valid_with(fixed));

  brindle_field required = i64_field(0);
  required.flags = BRINDLE_FIELD_REQUIRED | BRINDLE_FIELD_OMIT_EMPTY;
  EXPECT_FALSE(valid_with(required));
  required.flags = BRINDLE_FIELD_REQUIRED | BRINDLE_FIELD_OMIT_NULL;
  EXPECT_FALSE(valid_with(required));
  required.flags = BRINDLE_FIELD_REQUIRED;
  EXPECT_TRUE(valid_with(required));

  brindle_field present = BRINDLE_DECL_STRING(Small, dynamic, "d", BRINDLE_FIELD_HAS_PRESENT);
  EXPECT_FALSE(valid_with(present));  // present flags belong to numbers and bools
  present = i64_field(0);
  present.flags = BRINDLE_FIELD_HAS_PRESENT;
  present.present_offset = offsetof(Small, text);
  EXPECT_TRUE(valid_with(present));
  present.present_offset = sizeof(Small) - 3;
  EXPECT_FALSE(valid_with(present));
  present.present_offset = offsetof(Small, text);
  present.flags |= BRINDLE_FIELD_REQUIRED;
  EXPECT_FALSE(valid_with(present));
}

TEST(Layout, MapsAndSubMaps) {
  EXPECT_FALSE(brindle__map_layout_is_valid(nullptr));
  const brindle_map empty{"empty_json", 0, nullptr, 0};
  EXPECT_TRUE(brindle__map_layout_is_valid(&empty));
  const brindle_map missing{"missing_json", 8, nullptr, 1};
  EXPECT_FALSE(brindle__map_layout_is_valid(&missing));

  EXPECT_TRUE(brindle__map_layout_is_valid(&kAllMap));
  // A sub-map with an invalid field makes the outer map invalid.
  brindle_field bad_inner = i64_field(100);
  const brindle_map inner{"inner_json", 16, &bad_inner, 1};
  brindle_field object = BRINDLE_DECL_OBJECT(Small, a, "o", 0, &inner);
  EXPECT_FALSE(valid_with(object, 64));
  bad_inner.offset = 0;
  EXPECT_TRUE(valid_with(object, 64));
  object.submap = nullptr;
  EXPECT_FALSE(valid_with(object, 64));
  const brindle_map sizeless{"sizeless_json", 0, nullptr, 0};
  object.submap = &sizeless;
  EXPECT_FALSE(valid_with(object, 64));
}

struct Tree {
  int64_t value;
  brindle_object_array children;
};
extern const brindle_map kTreeMap;
const brindle_field kTreeFields[] = {
    BRINDLE_DECL_I64(Tree, value, "value", 0),
    BRINDLE_DECL_OBJECT_ARRAY(Tree, children, "children", 0, &kTreeMap, Tree),
};
const brindle_map kTreeMap = BRINDLE_MAP("tree_json", Tree, kTreeFields);

TEST(Layout, SelfReferencingMaps) {
  EXPECT_TRUE(brindle__map_layout_is_valid(&kTreeMap));
  EXPECT_TRUE(brindle__map_can_allocate(&kTreeMap));
  // An object that contains a record of its own type cannot exist.
  brindle_field loop;
  brindle_map self{"self_json", 16, &loop, 1};
  loop = brindle_field{};
  loop.json_key = "self";
  loop.json_key_len = 4;
  loop.kind = BRINDLE_FIELD_OBJECT;
  loop.submap = &self;
  EXPECT_FALSE(brindle__map_layout_is_valid(&self));
  EXPECT_FALSE(brindle__map_can_allocate(&self));
  Tree garbage;
  brindle_init(&self, &garbage);  // must not recurse without end

  Tree tree;
  const Outcome outcome = parse_text(
      &kTreeMap, &tree,
      "{\"value\":1,\"children\":[{\"value\":2,\"children\":[{\"value\":3}]},{\"value\":4}]}");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  ASSERT_EQ(tree.children.count, 2u);
  const Tree *first = static_cast<const Tree *>(tree.children.items);
  ASSERT_EQ(first->children.count, 1u);
  EXPECT_EQ(static_cast<const Tree *>(first->children.items)->value, 3);
  EXPECT_EQ(first[1].value, 4);
  brindle_cleanup(&kTreeMap, &tree);
  EXPECT_EQ(tree.children.items, nullptr);
}

struct Numbers {
  int64_t a;
  int32_t b;  // followed by padding
};
const brindle_field kNumberFields[] = {
    BRINDLE_DECL_I64(Numbers, a, "a", 0),
    BRINDLE_DECL_BOOL(Numbers, b, "b", 0),
};
const brindle_map kNumbersMap = BRINDLE_MAP("numbers_json", Numbers, kNumberFields);

struct Named {
  int64_t a;
  int32_t b;
  char *name;
};
const brindle_field kNamedFields[] = {
    BRINDLE_DECL_I64(Named, a, "a", 0),
    BRINDLE_DECL_BOOL(Named, b, "b", 0),
    BRINDLE_DECL_STRING(Named, name, "name", 0),
};
const brindle_map kNamedMap = BRINDLE_MAP("named_json", Named, kNamedFields);

struct Outer {
  Numbers numbers;
  Named named;
};
const brindle_field kOuterFields[] = {
    BRINDLE_DECL_OBJECT(Outer, numbers, "numbers", 0, &kNumbersMap),
    BRINDLE_DECL_OBJECT(Outer, named, "named", 0, &kNamedMap),
};
const brindle_map kOuterMap = BRINDLE_MAP("outer_json", Outer, kOuterFields);

TEST(Init, PlainSubRecordsAreZeroedWhole) {
  Outer outer;
  std::memset(&outer, 0xAB, sizeof(outer));
  brindle_init(&kOuterMap, &outer);
  // Only numbers: every byte, padding included, is zero.
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&outer.numbers);
  for (size_t i = 0; i < sizeof(outer.numbers); ++i)
    EXPECT_EQ(bytes[i], 0u) << i;
  // A string inside: initialised member by member, padding left alone.
  EXPECT_EQ(outer.named.a, 0);
  EXPECT_EQ(outer.named.b, 0);
  EXPECT_EQ(outer.named.name, nullptr);
  const unsigned char *padding = reinterpret_cast<const unsigned char *>(&outer.named.b) + 4;
  EXPECT_EQ(padding[0], 0xABu);
}

TEST(Init, MembersOfEveryKindStartEmpty) {
  All record;
  std::memset(&record, 0x5A, sizeof(record));
  brindle_init(&kAllMap, &record);
  EXPECT_EQ(record.s, nullptr);
  EXPECT_EQ(record.fixed[0], '\0');
  EXPECT_EQ(record.i, 0);
  EXPECT_EQ(record.f, 0.0);
  EXPECT_EQ(record.obj.label, nullptr);
  EXPECT_EQ(record.strs.items, nullptr);
  EXPECT_EQ(record.strs.count, 0u);
  EXPECT_EQ(record.objs.element_size, sizeof(Nested));
  EXPECT_EQ(record.objs.count, 0u);
  EXPECT_EQ(record.pi_present, 0);
  brindle_cleanup(&kAllMap, &record);
}

struct WithValues {
  brindle_spooled text;
  brindle_json_value value;
};
const brindle_spool_options kTinySpool = {4, 100, nullptr};
const brindle_field kWithValuesFields[] = {
    BRINDLE_DECL_SPOOLED(WithValues, text, "text", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kTinySpool),
    BRINDLE_DECL_JSON_VALUE(WithValues, value, "value", 0),
};
const brindle_map kWithValuesMap = BRINDLE_MAP("with_values_json", WithValues, kWithValuesFields);

TEST(Init, TreatsRecordsAsFreshEvenWhenAMarkerMatches) {
  // Memory reused at the address of an earlier record can keep a matching marker while its other
  // bytes are garbage: initialisation must not free anything it finds there.
  WithValues record;
  std::memset(&record, 0x25, sizeof(record));
  record.text.marker = brindle__marker(&record.text, BRINDLE_MARKER_SPOOLED);
  record.value.marker = brindle__marker(&record.value, BRINDLE_MARKER_JSON_VALUE);
  brindle_init(&kWithValuesMap, &record);
  EXPECT_EQ(record.text.prefix, nullptr);
  EXPECT_EQ(record.text.file, nullptr);
  EXPECT_EQ(record.text.options.memory_limit, 4u);
  EXPECT_EQ(record.text.options.max_bytes, 100u);
  EXPECT_EQ(record.value.buffer, nullptr);
  EXPECT_EQ(record.value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(record.value.fd, -1);
  brindle_cleanup(&kWithValuesMap, &record);
}

TEST(Cleanup, ReleasesSpoolsAndJsonValues) {
  stavo_test::TestAllocator allocator;
  WithValues record;
  brindle__init_with_allocator(&kWithValuesMap, &record, allocator.get());
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&record.value, nullptr), BRINDLE_OK);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  options.allocator = allocator.get();
  ASSERT_EQ(
      parse_text(&kWithValuesMap, &record, "{\"text\":\"spilled text\",\"value\":[1,2]}", &options)
          .status,
      BRINDLE_OK);
  EXPECT_EQ(brindle_spooled_spilled(&record.text), 1);
  EXPECT_STREQ(record.value.buffer, "[1,2]");
  EXPECT_GT(allocator.stats().current_bytes, 0u);
  brindle_reset(&kWithValuesMap, &record);
  EXPECT_EQ(brindle_spooled_size(&record.text), 0u);
  EXPECT_EQ(record.text.options.memory_limit, 4u);  // the options stay
  EXPECT_EQ(record.value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  brindle_cleanup(&kWithValuesMap, &record);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

struct Arrays {
  brindle_array fixed_ints;
  brindle_array strings;
  char *text;
  int64_t number;
  int32_t number_present;
  brindle_string_array_stream stream;
};
const brindle_field kArraysFields[] = {
    BRINDLE_DECL_FIXED_ARRAY(Arrays, fixed_ints, "fixed_ints", BRINDLE_FIELD_I64_ARRAY, 0, 0, 8),
    BRINDLE_DECL_ARRAY(Arrays, strings, "strings", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_STRING(Arrays, text, "text", 0),
    BRINDLE_DECL_PRESENT(Arrays, number, "number", BRINDLE_FIELD_I64, 0, number_present),
    BRINDLE_DECL_STRING_STREAM(Arrays, stream, "stream", 0),
};
const brindle_map kArraysMap = BRINDLE_MAP("arrays_json", Arrays, kArraysFields);

brindle_status ignore_chunk(void *, const char *, size_t, brindle_error *) {
  return BRINDLE_OK;
}

TEST(Reset, KeepsCallerStorageAndEmptiesTheRest) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  options.clear_destination = 0;
  Arrays record;
  brindle_init(&kArraysMap, &record);
  int64_t storage[8];
  record.fixed_ints.items = storage;
  record.fixed_ints.capacity = 8;
  record.fixed_ints.flags = BRINDLE_ARRAY_FIXED;
  const brindle_string_stream_handler handler{nullptr, ignore_chunk, nullptr};
  ASSERT_EQ(brindle_string_array_stream_set_handler(&record.stream, &handler, &storage, nullptr),
            BRINDLE_OK);
  const Outcome outcome = parse_text(
      &kArraysMap, &record,
      "{\"fixed_ints\":[1,2,3,4,5],\"strings\":[\"a\",\"b\",\"c\"],\"text\":\"t\",\"number\":4}",
      &options);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.error.message;
  EXPECT_EQ(record.fixed_ints.count, 5u);
  EXPECT_EQ(record.number_present, 1);

  brindle_reset(&kArraysMap, &record);
  EXPECT_EQ(record.fixed_ints.items, storage);
  EXPECT_EQ(record.fixed_ints.count, 0u);
  EXPECT_EQ(record.fixed_ints.capacity, 8u);
  EXPECT_EQ(record.strings.count, 0u);
  EXPECT_EQ(record.strings.items, nullptr);
  EXPECT_EQ(record.text, nullptr);
  EXPECT_EQ(record.number, 0);
  EXPECT_EQ(record.number_present, 0);
  EXPECT_EQ(record.stream.handler.chunk, ignore_chunk);  // the handler stays
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  brindle_cleanup(&kArraysMap, &record);
  EXPECT_EQ(record.fixed_ints.items, storage);
  EXPECT_EQ(record.fixed_ints.flags, BRINDLE_ARRAY_FIXED);
}

TEST(Cleanup, FreesStringArraysCompletely) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  All record;
  ASSERT_EQ(parse_text(&kAllMap, &record, "{\"strs\":[\"a\",\"bb\",\"ccc\",\"d\",\"e\"]}", &options)
                .status,
            BRINDLE_OK);
  // Five strings of 2, 3, 4, 2 and 2 bytes, and a buffer of 8 pointers.
  EXPECT_EQ(allocator.stats().current_bytes, 13u + 8 * sizeof(char *));
  brindle_cleanup(&kAllMap, &record);
  EXPECT_EQ(record.strs.count, 0u);
  EXPECT_EQ(record.strs.capacity, 0u);
  EXPECT_EQ(record.strs.items, nullptr);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.stats().frees, 6u);
}

TEST(Cleanup, IgnoresInvalidMapsAndNullArguments) {
  Small record{};
  record.a = 5;
  brindle_field field = i64_field(sizeof(Small));
  const brindle_map invalid{"invalid_json", sizeof(Small), &field, 1};
  brindle_cleanup(&invalid, &record);
  brindle_reset(&invalid, &record);
  EXPECT_EQ(record.a, 5);
  brindle_cleanup(nullptr, &record);
  brindle_cleanup(&kAllMap, nullptr);
  brindle_reset(nullptr, nullptr);
  brindle_init(nullptr, &record);
  EXPECT_EQ(record.a, 5);
}

TEST(ArrayGrowth, OverflowAndFixedStorage) {
  brindle__append_result result;
  void *items = nullptr;
  size_t capacity = SIZE_MAX / 2 + 1;
  int32_t flags = 0;
  EXPECT_EQ(brindle__array_reserve(&items, capacity, &capacity, &flags, 8, 0, nullptr, &result),
            nullptr);
  EXPECT_EQ(result, BRINDLE__APPEND_TOO_LARGE);
  EXPECT_STREQ(brindle__append_message(result), "array too large");
  capacity = SIZE_MAX / 16;
  EXPECT_EQ(brindle__array_reserve(&items, capacity, &capacity, &flags, 64, 0, nullptr, &result),
            nullptr);
  EXPECT_EQ(result, BRINDLE__APPEND_TOO_LARGE);

  int64_t storage[2];
  items = storage;
  capacity = 2;
  flags = BRINDLE_ARRAY_FIXED;
  EXPECT_EQ(brindle__array_reserve(&items, 1, &capacity, &flags, 8, 0, nullptr, &result),
            &storage[1]);
  EXPECT_EQ(brindle__array_reserve(&items, 2, &capacity, &flags, 8, 0, nullptr, &result), nullptr);
  EXPECT_EQ(result, BRINDLE__APPEND_FULL);
  EXPECT_STREQ(brindle__append_message(result), "array capacity exceeded");
  EXPECT_EQ(brindle__array_reserve(&items, 2, &capacity, &flags, 8, 1, nullptr, &result), nullptr);
  EXPECT_EQ(result, BRINDLE__APPEND_DROPPED);

  // Elements the library does not own are copied into a block of its own.
  stavo_test::TestAllocator allocator;
  storage[0] = 11;
  storage[1] = 22;
  items = storage;
  flags = 0;
  int64_t *grown = static_cast<int64_t *>(
      brindle__array_reserve(&items, 2, &capacity, &flags, 8, 0, allocator.get(), &result));
  ASSERT_NE(grown, nullptr);
  EXPECT_NE(items, static_cast<void *>(storage));
  EXPECT_EQ(capacity, 4u);
  EXPECT_EQ(flags, BRINDLE_ARRAY_OWNED);
  EXPECT_EQ(static_cast<int64_t *>(items)[1], 22);
  brindle__block_free(items);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(StringArrayStream, MarkersAndHandlers) {
  brindle_string_array_stream stream;
  std::memset(&stream, 0x77, sizeof(stream));
  brindle_string_array_stream_init(&stream);
  EXPECT_EQ(stream.active, 0);
  EXPECT_EQ(stream.handler.chunk, nullptr);
  EXPECT_EQ(stream.marker, brindle__marker(&stream, BRINDLE_MARKER_STRING_STREAM));
  brindle_string_array_stream copy = stream;
  EXPECT_NE(copy.marker, brindle__marker(&copy, BRINDLE_MARKER_STRING_STREAM));

  brindle_error error;
  const brindle_string_stream_handler no_chunk{nullptr, nullptr, nullptr};
  EXPECT_EQ(brindle_string_array_stream_set_handler(&stream, &no_chunk, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "string array stream and chunk handler are required");
  EXPECT_EQ(brindle_string_array_stream_set_handler(nullptr, &no_chunk, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_string_array_stream_set_handler(&stream, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);

  // Installing a handler into a copied record re-initialises it first.
  const brindle_string_stream_handler handler{nullptr, ignore_chunk, nullptr};
  int user = 0;
  copy.active = 1;
  ASSERT_EQ(brindle_string_array_stream_set_handler(&copy, &handler, &user, &error), BRINDLE_OK);
  EXPECT_EQ(copy.marker, brindle__marker(&copy, BRINDLE_MARKER_STRING_STREAM));
  EXPECT_EQ(copy.active, 0);
  EXPECT_EQ(copy.user, &user);
  EXPECT_EQ(copy.handler.chunk, ignore_chunk);
}

TEST(StringArrayStream, InitAndCleanupKeepAMatchingHandler) {
  Arrays record;
  brindle_init(&kArraysMap, &record);
  const brindle_string_stream_handler handler{nullptr, ignore_chunk, nullptr};
  ASSERT_EQ(brindle_string_array_stream_set_handler(&record.stream, &handler, nullptr, nullptr),
            BRINDLE_OK);
  record.stream.active = 1;
  brindle_init(&kArraysMap, &record);
  EXPECT_EQ(record.stream.handler.chunk, ignore_chunk);
  EXPECT_EQ(record.stream.active, 0);
  record.stream.active = 1;
  record.stream.marker ^= 1;
  brindle_cleanup(&kArraysMap, &record);
  EXPECT_EQ(record.stream.marker, brindle__marker(&record.stream, BRINDLE_MARKER_STRING_STREAM));
  EXPECT_EQ(record.stream.active, 0);
  EXPECT_EQ(record.stream.handler.chunk, ignore_chunk);
  // A record copied elsewhere is reset by init.
  Arrays moved;
  std::memcpy(&moved, &record, sizeof(moved));
  brindle_init(&kArraysMap, &moved);
  EXPECT_EQ(moved.stream.handler.chunk, nullptr);
}

TEST(Options, Defaults) {
  const brindle_parse_options parse = brindle_default_parse_options();
  EXPECT_EQ(parse.clear_destination, 1);
  EXPECT_EQ(parse.reject_duplicates, 1);
  EXPECT_EQ(parse.max_depth, 64u);
  EXPECT_EQ(parse.allocator, nullptr);
  const brindle_write_options write = brindle_default_write_options();
  EXPECT_EQ(write.overflow, 0);
  EXPECT_EQ(write.pretty, 0);
  EXPECT_EQ(write.max_output_bytes, 8388608u);
  const brindle_value_limits limits = brindle_default_value_limits();
  EXPECT_EQ(limits.max_depth, 64u);
  EXPECT_EQ(limits.max_string_bytes, 1048576u);
  EXPECT_EQ(limits.max_number_bytes, 256u);
  EXPECT_EQ(limits.max_key_bytes, 65536u);
  EXPECT_EQ(limits.max_total_bytes, 0u);
  const brindle_spool_options spool = brindle_default_spool_options();
  EXPECT_EQ(spool.memory_limit, 65536u);
  EXPECT_EQ(spool.max_bytes, 0u);
  EXPECT_EQ(spool.temp_dir, nullptr);
  const brindle_read_result read = brindle_default_read_result();
  EXPECT_EQ(read.bytes + static_cast<size_t>(read.eof + read.would_block + read.error), 0u);
  const brindle_value_visitor visitor = brindle_default_value_visitor();
  EXPECT_EQ(visitor.object_begin, nullptr);
  EXPECT_EQ(visitor.null_value, nullptr);
}

struct Counting {
  int frees = 0;
  static void *do_malloc(void *, size_t size) { return std::malloc(size); }
  static void *do_realloc(void *, void *p, size_t size) { return std::realloc(p, size); }
  static void do_free(void *ctx, void *p) {
    ++static_cast<Counting *>(ctx)->frees;
    std::free(p);
  }
};

TEST(OwnedBuffer, FreesWithItsOwnAllocator) {
  brindle_owned_buffer buffer = brindle_default_owned_buffer();
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_NE(buffer.malloc, nullptr);
  EXPECT_NE(buffer.free, nullptr);
  brindle_owned_buffer_free(&buffer);  // nothing to free
  brindle_owned_buffer_free(nullptr);

  Counting counting;
  brindle_alloc_stats stats{};
  stats.current_bytes = 100;
  stats.allocations = 1;
  buffer.malloc = Counting::do_malloc;
  buffer.realloc = Counting::do_realloc;
  buffer.free = Counting::do_free;
  buffer.ctx = &counting;
  buffer.stats = &stats;
  buffer.capacity = 64;
  buffer.length = 10;
  buffer.data = static_cast<char *>(std::malloc(64));
  brindle_owned_buffer_free(&buffer);
  EXPECT_EQ(counting.frees, 1);
  EXPECT_EQ(stats.frees, 1u);
  EXPECT_EQ(stats.current_bytes, 36u);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(buffer.capacity, 0u);
  EXPECT_EQ(buffer.ctx, nullptr);
  EXPECT_EQ(buffer.stats, nullptr);

  // All three callbacks NULL: the system's free.
  brindle_owned_buffer_init(&buffer);
  buffer.malloc = nullptr;
  buffer.realloc = nullptr;
  buffer.free = nullptr;
  buffer.data = static_cast<char *>(std::malloc(8));
  buffer.capacity = 8;
  brindle_owned_buffer_free(&buffer);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_NE(buffer.free, nullptr);
}

}  // namespace
