// The pull generator: the serializer's bytes at any read size, completion, failures recorded
// in the generator, its allocations, and measuring.
#include <gtest/gtest.h>

#include <limits>

#include "serial_support.h"
#include "test_allocator.h"

namespace {

using namespace serial_test;

Everything full_record(EverythingStorage &storage) {
  static char alpha[] = "al\"pha\x01";
  static char label[] = "la\\bel";
  storage.strings = {alpha, nullptr, alpha};
  storage.i64s = {-5, 0, std::numeric_limits<int64_t>::min()};
  storage.u64s = {std::numeric_limits<uint64_t>::max(), 0};
  storage.f64s = {0.1, -2.5e-300, 1e300};
  storage.bools = {1, 0};
  storage.items = {{1, label}, {2, nullptr}, {3, alpha}};
  Everything record{};
  static char text[] = "a longer text with \"quotes\", \\ and \n newlines\t";
  record.text = text;
  std::strcpy(record.fixed, "fixed\x1f");
  record.i64 = -42;
  record.u64 = 42;
  record.f64 = 3.141592653589793;
  record.flag = 1;
  record.inner = {7, label};
  point_arrays(record, storage);
  record.maybe_present = 1;
  record.maybe = 99;
  return record;
}

TEST(Generator, EveryFormAgreesOnARecordWithEveryKind) {
  EverythingStorage storage;
  Everything record = full_record(storage);
  expect_all_forms_agree(&kEverythingMap, &record, false);
  expect_all_forms_agree(&kEverythingMap, &record, true);
  // Empty arrays, absent optional members, NULL strings.
  Everything sparse{};
  expect_all_forms_agree(&kEverythingMap, &sparse, false);
  expect_all_forms_agree(&kEverythingMap, &sparse, true);
}

TEST(Generator, DoneComesWithTheLastByteAndReadsAfterwardsGiveNothing) {
  struct One {
    int64_t n;
  };
  static const brindle_field fields[] = {BRINDLE_DECL_I64(One, n, "n", 0)};
  static const brindle_map map = BRINDLE_MAP("one", One, fields);
  One record{5};
  brindle_generator generator;
  ASSERT_EQ(brindle_generator_init(&generator, &map, &record, nullptr), BRINDLE_OK);
  char buffer[7];  // exactly {"n":5}
  size_t length = 0;
  int done = 0;
  ASSERT_EQ(brindle_generator_read(&generator, buffer, sizeof(buffer), &length, &done), BRINDLE_OK);
  EXPECT_EQ(std::string(buffer, length), "{\"n\":5}");
  EXPECT_EQ(done, 1);
  EXPECT_EQ(generator.done, 1);
  ASSERT_EQ(brindle_generator_read(&generator, buffer, sizeof(buffer), &length, &done), BRINDLE_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(done, 1);
  brindle_generator_cleanup(&generator);
  EXPECT_EQ(generator.state, nullptr);
  brindle_generator_cleanup(&generator);  // twice is harmless
  brindle_generator_cleanup(nullptr);
}

TEST(Generator, ArgumentChecks) {
  struct One {
    int64_t n;
  };
  static const brindle_field fields[] = {BRINDLE_DECL_I64(One, n, "n", 0)};
  static const brindle_map map = BRINDLE_MAP("one", One, fields);
  One record{5};
  EXPECT_EQ(brindle_generator_init(nullptr, &map, &record, nullptr), BRINDLE_INVALID_ARGUMENT);
  brindle_generator generator;
  EXPECT_EQ(brindle_generator_init(&generator, nullptr, &record, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(generator.error.message, "map and source are required for generator init");
  EXPECT_EQ(generator.state, nullptr);
  const brindle_field bad[] = {{"x", 1, 'x', 'x', 0, 99, 0, 0, 0, 0, 0, nullptr, nullptr, 0}};
  const brindle_map bad_map = {"bad", sizeof(One), bad, 1};
  EXPECT_EQ(brindle_generator_init(&generator, &bad_map, &record, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(generator.error.message, "invalid map layout");
  stavo_test::TestAllocator allocator;
  brindle_allocator partial = *allocator.get();
  partial.free = nullptr;
  brindle_write_options options = brindle_default_write_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_generator_init(&generator, &map, &record, &options), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(generator.error.message, "allocator must provide either all callbacks or none");

  EXPECT_EQ(brindle_generator_read(nullptr, nullptr, 0, nullptr, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_generator_read(&generator, nullptr, 0, nullptr, nullptr),
            BRINDLE_INVALID_ARGUMENT);  // never initialised successfully

  ASSERT_EQ(brindle_generator_init(&generator, &map, &record, nullptr), BRINDLE_OK);
  size_t length = 99;
  int done = 99;
  EXPECT_EQ(brindle_generator_read(&generator, nullptr, 4, &length, &done),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(generator.error.message, "generator read buffer is required");
  // A null buffer with capacity 0 is a read of nothing, not a failure.
  EXPECT_EQ(brindle_generator_read(&generator, nullptr, 0, &length, &done), BRINDLE_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(via_generator(&map, &record, false, 3), "{\"n\":5}");
  brindle_generator_cleanup(&generator);
}

TEST(Generator, StepFailuresAreRecordedAndStick) {
  struct Real {
    int64_t before;
    double d;
  };
  static const brindle_field fields[] = {BRINDLE_DECL_I64(Real, before, "before", 0),
                                         BRINDLE_DECL_F64(Real, d, "d", 0)};
  static const brindle_map map = BRINDLE_MAP("real", Real, fields);
  Real record{1, std::numeric_limits<double>::infinity()};
  brindle_generator generator;
  ASSERT_EQ(brindle_generator_init(&generator, &map, &record, nullptr), BRINDLE_OK);
  char buffer[64];
  size_t length = 0;
  int done = 0;
  EXPECT_EQ(brindle_generator_read(&generator, buffer, sizeof(buffer), &length, &done),
            BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(generator.error.message, "non-finite double cannot be serialized");
  // What was handed out before the failure is a prefix of the text up to the bad value.
  EXPECT_GE(length, 12u);
  EXPECT_EQ(std::string("{\"before\":1,\"d\":").rfind(std::string(buffer, length), 0), 0u);
  EXPECT_EQ(brindle_generator_read(&generator, buffer, sizeof(buffer), &length, &done),
            BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(done, 0);
  brindle_generator_cleanup(&generator);

  struct Stream {
    brindle_string_array_stream stream;
  };
  static const brindle_field stream_fields[] = {
      BRINDLE_DECL_STRING_STREAM(Stream, stream, "names", 0)};
  static const brindle_map stream_map = BRINDLE_MAP("stream", Stream, stream_fields);
  Stream stream{};
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  via_generator(&stream_map, &stream, false, 16, &status, &error);
  EXPECT_EQ(status, BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "field 'names' is parse-only and cannot be serialized");
}

// A chain of nested objects deeper than the first frame stack (16 frames) makes it grow, with
// the allocator of the options; its failure is reported.
TEST(Generator, FrameStackGrowsThroughTheAllocator) {
  constexpr int kLevels = 30;
  struct Node {
    int64_t value;
  };
  static std::vector<brindle_field> fields(kLevels);
  static std::vector<brindle_map> maps(kLevels);
  static const brindle_field leaf[] = {BRINDLE_DECL_I64(Node, value, "v", 0)};
  maps[0] = BRINDLE_MAP("leaf", Node, leaf);
  for (int i = 1; i < kLevels; ++i) {
    fields[i] = BRINDLE_DECL_OBJECT(Node, value, "o", 0, &maps[i - 1]);
    maps[i] = {"node", sizeof(Node), &fields[i], 1};
  }
  Node record{3};
  const brindle_map *root = &maps[kLevels - 1];
  expect_all_forms_agree(root, &record, true);
  expect_all_forms_agree(root, &record, false);

  stavo_test::TestAllocator allocator;
  brindle_write_options options = brindle_default_write_options();
  options.allocator = allocator.get();
  brindle_generator generator;
  ASSERT_EQ(brindle_generator_init(&generator, root, &record, &options), BRINDLE_OK);
  const uint64_t after_init = allocator.stats().allocations;
  EXPECT_EQ(after_init, 2u);  // the state and the first frames
  allocator.fail_from(1);
  std::vector<char> buffer(4096);
  size_t length = 0;
  int done = 0;
  EXPECT_EQ(brindle_generator_read(&generator, buffer.data(), buffer.size(), &length, &done),
            BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(generator.error.message, "failed to grow generator frame stack");
  brindle_generator_cleanup(&generator);
  EXPECT_EQ(allocator.live_blocks(), 0);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);

  allocator.fail_from(0);
  allocator.fail_once(1);
  EXPECT_EQ(brindle_generator_init(&generator, root, &record, &options), BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(generator.error.message, "failed to allocate generator state");
  EXPECT_EQ(generator.state, nullptr);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(Generator, MeasureArgumentsAndTheLengthOfEveryForm) {
  EverythingStorage storage;
  Everything record = full_record(storage);
  size_t length = 7;
  brindle_error error;
  EXPECT_EQ(brindle_generator_measure(&kEverythingMap, &record, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map, source, and output length are required");
  EXPECT_EQ(brindle_generator_measure(nullptr, &record, nullptr, &length, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(length, 0u);
  for (bool pretty : {false, true}) {
    const brindle_write_options opts = options(pretty);
    ASSERT_EQ(brindle_generator_measure(&kEverythingMap, &record, &opts, &length, &error),
              BRINDLE_OK);
    EXPECT_EQ(length, via_sink(&kEverythingMap, &record, pretty).size());
  }
}

}  // namespace
