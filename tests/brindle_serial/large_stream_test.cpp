// A 100 MB file source streamed through the generator: the text is right (by hash) and the
// generator's allocations stay the same however much it hands out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "serial_support.h"
#include "test_allocator.h"

namespace {

// 64-bit FNV-1a, fed piece by piece.
struct Hash {
  uint64_t value = 1469598103934665603ull;
  void add(const char *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      value ^= static_cast<unsigned char>(bytes[i]);
      value *= 1099511628211ull;
    }
  }
  void add(const std::string &text) { add(text.data(), text.size()); }
};

std::string base64(const std::string &bytes) {  // length a multiple of 3
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i + 3 <= bytes.size(); i += 3) {
    const uint32_t g = (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                       (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6)
      out += alphabet[(g >> shift) & 63];
  }
  return out;
}

std::string escaped(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char sequence[8];
      const char *simple = c == '\n'   ? "\\n"
                           : c == '\t' ? "\\t"
                           : c == '\r' ? "\\r"
                           : c == '\b' ? "\\b"
                           : c == '\f' ? "\\f"
                                       : nullptr;
      if (simple != nullptr) {
        out += simple;
      } else {
        std::snprintf(sequence, sizeof(sequence), "\\u%04x", c);
        out += sequence;
      }
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Upload {
  brindle_source text;
  brindle_source data;
};
const brindle_field kUploadFields[] = {
    BRINDLE_DECL_SOURCE(Upload, text, "text", BRINDLE_FIELD_SOURCE_TEXT, 0),
    BRINDLE_DECL_SOURCE(Upload, data, "data", BRINDLE_FIELD_SOURCE_BYTES, 0),
};
const brindle_map kUploadMap = BRINDLE_MAP("upload", Upload, kUploadFields);

TEST(LargeStream, HundredMegabyteSourceWithConstantAllocations) {
  // A pattern of 65535 bytes (a multiple of 3, so its base64 repeats) with bytes that need
  // escapes, written 1600 times in large blocks: 104,856,000 bytes.
  constexpr size_t kRepeats = 1600;
  std::string pattern(65535, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) {
    pattern[i] = static_cast<char>((i * 7919 + (i >> 8)) & 0xFF);
  }
  const std::string path =
      std::string(::testing::TempDir()) + "brindle-large-" + std::to_string(getpid()) + ".bin";
  {
    FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (size_t i = 0; i < kRepeats; ++i) {
      ASSERT_EQ(std::fwrite(pattern.data(), 1, pattern.size(), file), pattern.size());
    }
    ASSERT_EQ(std::fclose(file), 0);
  }
  Hash expected;
  expected.add("{\"text\":\"");
  const std::string text_piece = escaped(pattern);
  for (size_t i = 0; i < kRepeats; ++i)
    expected.add(text_piece);
  expected.add("\",\"data\":\"");
  const std::string data_piece = base64(pattern);
  for (size_t i = 0; i < kRepeats; ++i)
    expected.add(data_piece);
  expected.add("\"}");

  Upload upload;
  brindle_source_init(&upload.text);
  brindle_source_init(&upload.data);
  ASSERT_EQ(brindle_source_set_path(&upload.text, path.c_str(), nullptr), BRINDLE_OK);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(brindle_source_set_fd(&upload.data, fd, nullptr), BRINDLE_OK);

  stavo_test::TestAllocator allocator;
  brindle_write_options options = brindle_default_write_options();
  options.allocator = allocator.get();
  brindle_generator generator;
  ASSERT_EQ(brindle_generator_init(&generator, &kUploadMap, &upload, &options), BRINDLE_OK);
  std::vector<char> buffer(65536 + 17);  // an odd size: pieces end anywhere
  Hash produced;
  size_t total = 0;
  uint64_t allocations_after_first_read = 0;
  uint64_t reads = 0;
  int done = 0;
  while (done == 0) {
    size_t length = 0;
    ASSERT_EQ(brindle_generator_read(&generator, buffer.data(), buffer.size(), &length, &done),
              BRINDLE_OK)
        << generator.error.message;
    produced.add(buffer.data(), length);
    total += length;
    if (++reads == 1) allocations_after_first_read = allocator.stats().allocations;
  }
  EXPECT_EQ(produced.value, expected.value);
  EXPECT_EQ(total, 9 + text_piece.size() * kRepeats + 10 + data_piece.size() * kRepeats + 2);
  // The state, the frame stack and one refill block: nothing more while 240 MB went by.
  EXPECT_EQ(allocator.stats().allocations, allocations_after_first_read);
  EXPECT_LE(allocator.stats().allocations, 3u);
  EXPECT_EQ(allocator.stats().reallocations, 0u);
  EXPECT_LT(allocator.stats().peak_bytes, 16384u);
  brindle_generator_cleanup(&generator);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
  close(fd);
  brindle_source_cleanup(&upload.text);
  brindle_source_cleanup(&upload.data);
  std::remove(path.c_str());
}

}  // namespace
