// Bounded memory: hostile bodies end in their limit errors, and parts of any size stream through
// without growth. Memory is watched through the allocator statistics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "brindle.h"
#include "test_allocator.h"

namespace {

constexpr size_t kChunk = 1 << 20;

// A parser whose memory is counted; pushes report through error.
class CountedParser {
 public:
  explicit CountedParser(const char *content_type = "multipart/related; boundary=b") {
    options_ = brindle_default_multipart_options();
    options_.allocator = allocator_.get();
    parser_ = brindle_multipart_open(content_type, &options_, &error_);
  }
  ~CountedParser() {
    brindle_multipart_close(parser_);
    EXPECT_EQ(allocator_.live_blocks(), 0);
    EXPECT_EQ(allocator_.stats().current_bytes, 0u);
  }
  CountedParser(const CountedParser &) = delete;
  CountedParser &operator=(const CountedParser &) = delete;

  brindle_status push(const std::string &bytes, const brindle_multipart_callbacks *callbacks,
                      void *user) {
    return push(bytes.data(), bytes.size(), callbacks, user);
  }
  brindle_status push(const char *bytes, size_t length,
                      const brindle_multipart_callbacks *callbacks, void *user) {
    return brindle_multipart_push(parser_, bytes, length, callbacks, user, &error_);
  }
  brindle_status finish() { return brindle_multipart_finish(parser_, &error_); }
  uint64_t peak() const { return allocator_.stats().peak_bytes; }
  uint64_t current() const { return allocator_.stats().current_bytes; }
  const brindle_error &error() const { return error_; }
  bool opened() const { return parser_ != nullptr; }

 private:
  stavo_test::TestAllocator allocator_;
  brindle_multipart_options options_{};
  brindle_error error_{};
  brindle_multipart *parser_ = nullptr;
};

// Counts delivered bytes and checks where they come from.
struct Sink {
  uint64_t bytes = 0;
  uint64_t calls = 0;
  uint64_t parts_ended = 0;
  const char *chunk = nullptr;  // the chunk being pushed
  size_t chunk_length = 0;
  uint64_t outside_chunk = 0;  // deliveries that did not point into the pushed chunk
  uint64_t marker_mismatches = 0;
  bool check_markers = false;  // every delivery begins with the chunk's 8-byte marker

  static int data(void *user, const char *bytes, size_t length, brindle_error *) {
    auto *self = static_cast<Sink *>(user);
    self->bytes += length;
    ++self->calls;
    if (bytes < self->chunk || bytes + length > self->chunk + self->chunk_length) {
      ++self->outside_chunk;
    } else if (self->check_markers &&
               (bytes != self->chunk || length < 8 || std::memcmp(bytes, self->chunk, 8) != 0)) {
      ++self->marker_mismatches;
    }
    return 0;
  }
  static int end(void *user, const brindle_multipart_part *, brindle_error *) {
    ++static_cast<Sink *>(user)->parts_ended;
    return 0;
  }
  brindle_multipart_callbacks callbacks() const { return {nullptr, &data, &end}; }
};

constexpr uint64_t kGigabyte = uint64_t{1} << 30;

// Scanning a delimited gigabyte under the address sanitizer takes about 20 s on a small CI
// machine, so the sanitizer build streams 128 MiB of delimited body through the same code; the
// normal build streams the full gigabyte. Counted bodies are cheap and use 1 GiB everywhere.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kDelimitedBytes = uint64_t{128} << 20;
#else
constexpr uint64_t kDelimitedBytes = kGigabyte;
#endif

TEST(MultipartMemory, GigabyteCountedPartStreamsFromTheChunkInConstantMemory) {
  CountedParser parser;
  ASSERT_TRUE(parser.opened());
  Sink sink;
  const brindle_multipart_callbacks callbacks = sink.callbacks();
  ASSERT_EQ(parser.push("--b\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                            std::to_string(kGigabyte) + "\r\n\r\n",
                        &callbacks, &sink),
            BRINDLE_OK);
  std::vector<char> chunk(kChunk, 'x');
  sink.chunk = chunk.data();
  sink.chunk_length = chunk.size();
  sink.check_markers = true;
  uint64_t peak_after_first = 0;
  for (uint64_t index = 0; index < kGigabyte / kChunk; ++index) {
    std::memcpy(chunk.data(), &index, sizeof(index));  // each chunk is different
    ASSERT_EQ(parser.push(chunk.data(), chunk.size(), &callbacks, &sink), BRINDLE_OK);
    if (index == 0) peak_after_first = parser.peak();
  }
  sink.chunk = nullptr;
  ASSERT_EQ(parser.push("\r\n--b--\r\n", &callbacks, &sink), BRINDLE_OK);
  EXPECT_EQ(parser.finish(), BRINDLE_OK);
  EXPECT_EQ(sink.bytes, kGigabyte);
  EXPECT_EQ(sink.calls, kGigabyte / kChunk);  // one delivery per chunk, straight from it
  EXPECT_EQ(sink.outside_chunk, 0u);
  EXPECT_EQ(sink.marker_mismatches, 0u);
  EXPECT_EQ(sink.parts_ended, 1u);
  EXPECT_EQ(parser.peak(), peak_after_first);
  EXPECT_LT(parser.peak(), 4096u);
}

// One chunk of delimited body text: lines of text with near-delimiters, never the delimiter.
std::vector<char> delimited_chunk() {
  const std::string pieces[] = {"a line of ordinary text in a delimited body\r\n",
                                "\r\n--b-\r\n",
                                "--b-- not at a line start\n",
                                "\n--bx\r\n",
                                "-\r\n",
                                "\r\r\n",
                                "plain\n--\r\n"};
  std::string text;
  for (size_t i = 0; text.size() < kChunk; ++i)
    text += pieces[i % 7];
  text.resize(kChunk);
  text.back() = 'z';  // never ends in a line break, so the total delivered is exact
  return std::vector<char>(text.begin(), text.end());
}

TEST(MultipartMemory, GigabyteDelimitedPartStreamsInConstantMemory) {
  CountedParser parser;
  ASSERT_TRUE(parser.opened());
  Sink sink;
  const brindle_multipart_callbacks callbacks = sink.callbacks();
  ASSERT_EQ(parser.push("--b\r\nContent-Type: text/plain\r\n\r\n", &callbacks, &sink), BRINDLE_OK);
  std::vector<char> chunk = delimited_chunk();
  sink.chunk = chunk.data();
  sink.chunk_length = chunk.size();
  uint64_t peak_after_first = 0;
  for (uint64_t index = 0; index < kDelimitedBytes / kChunk; ++index) {
    chunk[0] = static_cast<char>('a' + index % 26);
    ASSERT_EQ(parser.push(chunk.data(), chunk.size(), &callbacks, &sink), BRINDLE_OK);
    if (index == 0) peak_after_first = parser.peak();
  }
  sink.chunk = nullptr;
  ASSERT_EQ(parser.push("\r\n--b--\r\n", &callbacks, &sink), BRINDLE_OK);
  EXPECT_EQ(parser.finish(), BRINDLE_OK);
  EXPECT_EQ(sink.bytes, kDelimitedBytes);
  EXPECT_EQ(sink.parts_ended, 1u);
  // Bytes come straight from the chunks; only held line breaks come from the parser.
  EXPECT_LE(sink.outside_chunk, sink.calls / 2);
  EXPECT_LE(sink.calls, 2 * kDelimitedBytes / kChunk);
  EXPECT_EQ(parser.peak(), peak_after_first);
  EXPECT_LT(parser.peak(), 4096u);
}

TEST(MultipartMemory, NeverEndingDelimitedPartNeverGrows) {
  CountedParser parser;
  Sink sink;
  const brindle_multipart_callbacks callbacks = sink.callbacks();
  ASSERT_EQ(parser.push("--b\r\n\r\n", &callbacks, &sink), BRINDLE_OK);
  // Chunks cut at awkward places: inside line breaks and near-delimiters.
  const std::vector<char> text = delimited_chunk();
  uint64_t pushed = 0;
  uint64_t peak_after_first = 0;
  for (size_t round = 0; round < 64; ++round) {
    for (size_t at = 0; at < text.size();) {
      const size_t take = std::min<size_t>(text.size() - at, 1 + (at * 7919 + round) % 4093);
      ASSERT_EQ(parser.push(text.data() + at, take, &callbacks, &sink), BRINDLE_OK);
      at += take;
      pushed += take;
    }
    if (round == 0) peak_after_first = parser.peak();
  }
  EXPECT_EQ(sink.bytes, pushed);
  EXPECT_EQ(parser.peak(), peak_after_first);
  EXPECT_LT(parser.peak(), 4096u);
  EXPECT_EQ(parser.finish(), BRINDLE_INVALID_JSON);
}

// Pushes filler in 64 KiB pieces until a push fails; returns the bytes pushed before.
uint64_t push_until_failure(CountedParser &parser, char filler, uint64_t most) {
  const std::string piece(65536, filler);
  uint64_t pushed = 0;
  while (pushed < most) {
    if (parser.push(piece, nullptr, nullptr) != BRINDLE_OK) return pushed;
    pushed += piece.size();
  }
  return pushed;
}

TEST(MultipartMemory, NeverEndingLinesFailAtTheLineLimit) {
  const char *const heads[] = {"", "--b\r\n", "--b\r\nName: v\r\n"};
  for (const char *head : heads) {
    CountedParser parser;
    ASSERT_EQ(parser.push(head, nullptr, nullptr), BRINDLE_OK);
    const uint64_t pushed = push_until_failure(parser, 'l', uint64_t{64} << 20);
    EXPECT_EQ(pushed, 65536u) << head;  // the 65537th byte of the line fails
    EXPECT_EQ(parser.error().code, BRINDLE_OVERFLOW) << head;
    EXPECT_STREQ(parser.error().message, "framing buffer limit exceeded") << head;
    EXPECT_LT(parser.peak(), 65537u + 4096u) << head;
  }
  // Epilogue lines after the closing delimiter are still bounded by the line limit.
  CountedParser parser;
  EXPECT_EQ(parser.push("--b--\r\n" + std::string(65536, 'e') + "\n" + std::string(65537, 'e'),
                        nullptr, nullptr),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(parser.error().message, "framing buffer limit exceeded");
  EXPECT_LT(parser.peak(), 65537u + 4096u);
}

TEST(MultipartMemory, EndlessHeaderListFailsAtTheCountLimit) {
  CountedParser parser;
  ASSERT_EQ(parser.push("--b\r\n", nullptr, nullptr), BRINDLE_OK);
  const std::string header = "X-Repeated-Header: " + std::string(100, 'v') + "\r\n";
  brindle_status status = BRINDLE_OK;
  size_t accepted = 0;
  for (; accepted < 100000 && status == BRINDLE_OK; ++accepted) {
    status = parser.push(header, nullptr, nullptr);
  }
  EXPECT_EQ(status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(parser.error().message, "multipart header count limit exceeded");
  EXPECT_EQ(accepted, 65u);
  EXPECT_LT(parser.peak(), 64u * (header.size() + 64) + 4096u);
}

TEST(MultipartMemory, StalledDelimiterFailsAtTheBufferLimit) {
  CountedParser parser;
  Sink sink;
  const brindle_multipart_callbacks callbacks = sink.callbacks();
  // The candidate held back: CR LF, "--b", CR and X; then filler until the 1 MiB limit.
  ASSERT_EQ(parser.push("--b\r\n\r\nbody\r\n--b\rX", &callbacks, &sink), BRINDLE_OK);
  const uint64_t held = 7;
  const std::string filler(1048576 - held, 'y');
  ASSERT_EQ(parser.push(filler, &callbacks, &sink), BRINDLE_OK);  // exactly at the limit
  EXPECT_EQ(sink.bytes, 4u);                                      // only "body"
  EXPECT_EQ(parser.push("y", &callbacks, &sink), BRINDLE_OVERFLOW);
  EXPECT_STREQ(parser.error().message, "framing buffer limit exceeded");
  EXPECT_EQ(sink.bytes, 4u);
  EXPECT_LE(parser.peak(), 1048577u + 4096u);
}

}  // namespace
