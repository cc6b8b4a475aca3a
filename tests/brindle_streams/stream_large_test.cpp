// A gigabyte through the streams in constant memory: the array stream (pulled from a reader and
// pushed in slices) and the object stream over NDJSON, with the input generated on the fly and
// the memory watched through the allocator's statistics.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "streams_support.h"
#include "test_allocator.h"

namespace {

using streams_test::Item;
using streams_test::kItemMap;

// The sanitizer build runs these checks on a smaller input: the same code paths and the same
// memory bound, at a tenth of the CPU cost per byte it would otherwise take on a 2-core machine.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kTargetBytes = 64ull << 20;
#else
constexpr uint64_t kTargetBytes = 1ull << 30;
#endif

// Generates [e,e,...] or NDJSON lines of elements with increasing ids until kTargetBytes.
class Generator {
 public:
  explicit Generator(bool ndjson, uint64_t target = kTargetBytes)
      : ndjson_(ndjson), target_(target) {
    element_ = "{\"id\":1000000000,\"name\":\"";
    for (int i = 0; i < 20; ++i)
      element_ += "generated text \\u00e9 ";
    element_ += "\",\"tags\":[\"alpha\",\"beta\\n\"],\"skip\":{\"n\":[1,2.5,{\"k\":null}]}}";
    digits_ = element_.find("1000000000");
    pending_ = ndjson_ ? "" : "[";
    load_next();
  }

  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    brindle_read_result result = brindle_default_read_result();
    result.bytes = static_cast<Generator *>(user)->fill(buffer, capacity);
    result.eof = result.bytes == 0;
    return result;
  }

  size_t fill(char *buffer, size_t capacity) {
    size_t written = 0;
    while (written < capacity && position_ < pending_.size()) {
      const size_t n = std::min(capacity - written, pending_.size() - position_);
      std::memcpy(buffer + written, pending_.data() + position_, n);
      written += n;
      position_ += n;
      if (position_ == pending_.size()) load_next();
    }
    return written;
  }

  uint64_t elements() const { return count_; }
  uint64_t id_sum() const { return id_sum_; }

 private:
  // The next piece: an element with its separator, the closing bracket, or nothing.
  void load_next() {
    position_ = 0;
    if (finished_) {
      pending_.clear();
      return;
    }
    if (produced_ >= target_) {
      finished_ = true;
      pending_ = ndjson_ ? "" : "]\n";
      return;
    }
    const bool first = count_ == 0;
    if (!first) increment_id();
    ++count_;
    id_sum_ += 1000000000ull + count_ - 1;
    pending_.clear();
    if (!ndjson_ && !first) pending_ += ',';
    if (first && !ndjson_) pending_ = "[";
    pending_ += element_;
    if (ndjson_) pending_ += '\n';
    produced_ += pending_.size();
  }

  void increment_id() {
    for (size_t i = digits_ + 9;; --i) {
      if (element_[i] != '9') {
        ++element_[i];
        return;
      }
      element_[i] = '0';
    }
  }

  bool ndjson_;
  uint64_t target_;
  std::string element_;
  size_t digits_ = 0;
  std::string pending_;
  size_t position_ = 0;
  uint64_t produced_ = 0;
  uint64_t count_ = 0;
  uint64_t id_sum_ = 0;
  bool finished_ = false;
};

// What the consumer saw, and the allocator's view after the first thousand elements.
struct Tally {
  const stavo_test::TestAllocator *allocator;
  uint64_t count = 0;
  uint64_t id_sum = 0;
  uint64_t peak_after_warmup = 0;
  bool names_ok = true;

  void see(const Item &item) {
    ++count;
    id_sum += static_cast<uint64_t>(item.id);
    if (item.name == nullptr || std::strncmp(item.name, "generated text \xC3\xA9", 17) != 0 ||
        item.tags.count != 2) {
      names_ok = false;
    }
    if (count == 1000) peak_after_warmup = allocator->stats().peak_bytes;
  }
};

void expect_constant_memory(const stavo_test::TestAllocator &allocator, const Tally &tally) {
  ASSERT_GT(tally.peak_after_warmup, 0u);
  std::printf("%llu elements, allocator peak %llu bytes\n",
              static_cast<unsigned long long>(tally.count),
              static_cast<unsigned long long>(allocator.stats().peak_bytes));
  // Nothing grows with the input: the peak after a gigabyte is the peak after the first elements.
  EXPECT_EQ(allocator.stats().peak_bytes, tally.peak_after_warmup);
  EXPECT_LT(allocator.stats().peak_bytes, 32768u);
}

TEST(LargeStreams, ArrayPulledFromAReaderInConstantMemory) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  Generator generator(false);
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(nullptr, Generator::read, &generator, &options, nullptr);
  ASSERT_NE(stream, nullptr);
  Item item{};
  Tally tally{&allocator};
  brindle_error error;
  int result;
  while ((result = brindle_array_stream_next(stream, &kItemMap, &item, &error)) ==
         BRINDLE_ARRAY_STREAM_ITEM) {
    tally.see(item);
  }
  EXPECT_EQ(result, BRINDLE_ARRAY_STREAM_END) << error.message;
  EXPECT_EQ(tally.count, generator.elements());
  EXPECT_GT(tally.count, kTargetBytes / 1024);
  EXPECT_EQ(tally.id_sum, generator.id_sum());
  EXPECT_TRUE(tally.names_ok);
  EXPECT_EQ(error.offset, 0u);
  expect_constant_memory(allocator, tally);
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(LargeStreams, ArrayPushedInSlicesInConstantMemory) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  // A quarter of the input: push slices cost the same per byte as pulled blocks.
  Generator generator(false, kTargetBytes / 4);
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, &options, nullptr);
  ASSERT_NE(stream, nullptr);
  Item item{};
  brindle_init(&kItemMap, &item);
  Tally tally{&allocator};
  auto see = [](void *user, void *destination) -> int {
    static_cast<Tally *>(user)->see(*static_cast<Item *>(destination));
    return 0;
  };
  static char slice[65536];
  brindle_status status = BRINDLE_OK;
  size_t length;
  size_t round = 0;
  // Slices of varying size, from 1 byte to 64 KiB (the stream takes them 1 KiB at a time).
  while (status == BRINDLE_OK &&
         (length = generator.fill(slice, 1 + (round++ * 7919) % sizeof(slice))) > 0) {
    status =
        brindle_array_stream_push(stream, &kItemMap, &item, slice, length, see, &tally, nullptr);
  }
  brindle_error error;
  ASSERT_EQ(status, BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &item, see, &tally, &error), BRINDLE_OK)
      << error.message;
  EXPECT_EQ(tally.count, generator.elements());
  EXPECT_EQ(tally.id_sum, generator.id_sum());
  EXPECT_TRUE(tally.names_ok);
  expect_constant_memory(allocator, tally);
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(LargeStreams, NdjsonObjectSequenceInConstantMemory) {
  stavo_test::TestAllocator allocator;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = allocator.get();
  Generator generator(true);
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, Generator::read, &generator, &options, nullptr);
  ASSERT_NE(stream, nullptr);
  Item item{};
  Tally tally{&allocator};
  brindle_error error;
  int result;
  while ((result = brindle_stream_next(stream, &item, &error)) == BRINDLE_STREAM_OBJECT) {
    tally.see(item);
  }
  EXPECT_EQ(result, BRINDLE_STREAM_EOF) << error.message;
  EXPECT_EQ(tally.count, generator.elements());
  EXPECT_EQ(tally.id_sum, generator.id_sum());
  EXPECT_TRUE(tally.names_ok);
  expect_constant_memory(allocator, tally);
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

}  // namespace
