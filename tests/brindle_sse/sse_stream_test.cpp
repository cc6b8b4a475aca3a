// Event streams as servers send them, slicing invariance and bounded memory.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sse_recorder.h"
#include "test_allocator.h"

namespace {

using sse_test::Outcome;
using sse_test::parse;
using sse_test::summary;

// A stream in one line-break style: a keep-alive comment, a retry hint, named events with ids,
// multi-line data and an unterminated last event.
std::string server_stream(const std::string &eol) {
  std::string s;
  s += ": connected" + eol + "retry: 3000" + eol + eol;
  s += "event: queue" + eol + "id: 41" + eol;
  s += "data: {\"queue\":\"jobs\",\"available\":true}" + eol + eol;
  s += ": keep-alive" + eol + eol;
  s += "event: queue" + eol + "id: 42" + eol + "data: first line" + eol + "data:second line" + eol +
       "data" + eol + eol;
  s += "id: 43" + eol + "data: last, without a blank line";
  return s;
}

void expect_server_events(const Outcome &outcome) {
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.faults, "");
  const auto &events = outcome.recorder.events;
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].has_retry, 1);
  EXPECT_EQ(events[0].retry, 3000u);
  EXPECT_EQ(events[0].data, "");
  EXPECT_EQ(events[1].event, "queue");
  EXPECT_EQ(events[1].id, "41");
  EXPECT_EQ(events[1].data, "{\"queue\":\"jobs\",\"available\":true}");
  EXPECT_EQ(events[2].id, "42");
  EXPECT_EQ(events[2].data, "first line\nsecond line\n");
  EXPECT_EQ(events[2].length_at_end, 23u);
  EXPECT_EQ(events[3].event, "");
  EXPECT_EQ(events[3].id, "43");
  EXPECT_EQ(events[3].data, "last, without a blank line");
}

TEST(SseStream, ServerStreamWithEachLineBreakStyle) {
  for (const char *eol : {"\n", "\r\n", "\r"}) {
    const std::string stream = server_stream(eol);
    expect_server_events(parse(stream, sse_test::whole()));
    expect_server_events(parse(stream, sse_test::bytewise()));
  }
}

TEST(SseStream, MixedLineBreaksInOneStream) {
  const Outcome outcome =
      parse("data: a\rdata: b\r\ndata: c\n\r\nevent: e\r\r\ndata: d\r\n\n", sse_test::whole());
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  ASSERT_EQ(outcome.recorder.events.size(), 3u);
  EXPECT_EQ(outcome.recorder.events[0].data, "a\nb\nc");
  EXPECT_EQ(outcome.recorder.events[1].event, "e");  // CR then CR LF: two line ends
  EXPECT_EQ(outcome.recorder.events[2].data, "d");
}

TEST(SseStream, EverySplitPoint) {
  const std::vector<std::string> streams = {
      server_stream("\r\n"), server_stream("\r"),
      std::string("data: a\r\r\rdata: b\r\n\r\nid: x\0y\n\n:c\r", 33)};
  for (const std::string &stream : streams) {
    const std::string expected = summary(parse(stream, sse_test::whole()));
    for (size_t point = 1; point < stream.size(); ++point) {
      ASSERT_EQ(summary(parse(stream, sse_test::split_at(point))), expected) << point;
    }
  }
}

// Line breaks at every position of the 16-byte blocks that the line search looks at, in each
// style, with the stream whole and split anywhere.
TEST(SseStream, LineBreaksAtEveryBlockPosition) {
  for (const char *eol : {"\n", "\r\n", "\r"}) {
    for (size_t length = 0; length < 40; ++length) {
      const std::string text(length, 'x');
      const std::string stream = "data: " + text + eol + "data:y" + eol + eol + "id: 7" + eol;
      const Outcome whole = parse(stream, sse_test::whole());
      ASSERT_EQ(whole.status, BRINDLE_OK) << whole.message;
      ASSERT_EQ(whole.recorder.events.size(), 2u);
      EXPECT_EQ(whole.recorder.events[0].data, text + "\ny");
      EXPECT_EQ(whole.recorder.events[1].id, "7");
      const std::string expected = summary(whole);
      for (size_t point = 1; point < stream.size(); ++point) {
        ASSERT_EQ(summary(parse(stream, sse_test::split_at(point))), expected) << length << point;
      }
    }
  }
}

// A line of exactly the limit passes and one byte more fails alike, whether the line lies
// inside one chunk or is assembled across chunks.
TEST(SseStream, LineLimitHoldsForLinesInsideAndAcrossChunks) {
  brindle_sse_options options = brindle_default_sse_options();
  options.max_line_bytes = 20;
  for (size_t length : {20u, 21u}) {
    const std::string stream = "data:" + std::string(length - 5, 'z') + "\r\n\r\n";
    const Outcome whole = parse(stream, sse_test::whole(), &options);
    if (length == 20) {
      ASSERT_EQ(whole.status, BRINDLE_OK);
      ASSERT_EQ(whole.recorder.events.size(), 1u);
    } else {
      EXPECT_EQ(whole.status, BRINDLE_OVERFLOW);
      EXPECT_EQ(whole.message, "framing buffer limit exceeded");
    }
    for (size_t point = 1; point < stream.size(); ++point) {
      ASSERT_EQ(summary(parse(stream, sse_test::split_at(point), &options)), summary(whole))
          << length << " " << point;
    }
  }
}

TEST(SseStream, LargeStreamInRandomSlices) {
  std::mt19937 random(11);
  const char *const eols[] = {"\n", "\r\n", "\r"};
  std::string stream;
  for (int event = 0; event < 2000; ++event) {
    const char *eol = eols[random() % 3];
    if (random() % 4 == 0) stream += std::string(": ping") + eol;
    stream += "event: e" + std::to_string(event) + eol;
    const int lines = static_cast<int>(random() % 4);
    for (int line = 0; line < lines; ++line) {
      stream += "data: " + std::string(random() % 200, static_cast<char>('a' + line)) + eol;
    }
    stream += eol;
  }
  const Outcome reference = parse(stream, sse_test::whole());
  ASSERT_EQ(reference.status, BRINDLE_OK);
  ASSERT_EQ(reference.recorder.events.size(), 2000u);
  const std::string expected = summary(reference);
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    sse_test::Slicer slicer = [seed](size_t n) {
      std::mt19937 r(seed);
      std::vector<size_t> slices;
      while (n > 0) {
        size_t take = std::min<size_t>(n, r() % (seed * 50));
        slices.push_back(take);
        n -= take;
      }
      return slices;
    };
    EXPECT_EQ(summary(parse(stream, slicer)), expected) << seed;
  }
}

class CountedSse {
 public:
  explicit CountedSse(brindle_sse_options options = brindle_default_sse_options()) {
    options.allocator = allocator_.get();
    parser_ = brindle_sse_open(&options, &error_);
  }
  ~CountedSse() {
    brindle_sse_close(parser_);
    EXPECT_EQ(allocator_.live_blocks(), 0);
    EXPECT_EQ(allocator_.stats().current_bytes, 0u);
  }
  CountedSse(const CountedSse &) = delete;
  CountedSse &operator=(const CountedSse &) = delete;
  brindle_status push(const std::string &bytes, const brindle_sse_callbacks *callbacks = nullptr,
                      void *user = nullptr) {
    return brindle_sse_push(parser_, bytes.data(), bytes.size(), callbacks, user, &error_);
  }
  uint64_t peak() const { return allocator_.stats().peak_bytes; }
  const brindle_error &error() const { return error_; }

 private:
  stavo_test::TestAllocator allocator_;
  brindle_error error_{};
  brindle_sse *parser_ = nullptr;
};

TEST(SseMemory, NeverEndingLineFailsAtTheLineLimit) {
  CountedSse parser;
  const std::string piece(4096, 'x');
  brindle_status status = parser.push("data: ");
  size_t pushed = 6;
  while (status == BRINDLE_OK && pushed < (size_t{16} << 20)) {
    status = parser.push(piece);
    pushed += piece.size();
  }
  EXPECT_EQ(status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(parser.error().message, "framing buffer limit exceeded");
  EXPECT_EQ(pushed, 6u + 16u * 4096u);  // the push that crossed 65536 bytes failed
  EXPECT_LT(parser.peak(), 65537u + 2048u);
}

TEST(SseMemory, EventWithEndlessDataFailsAtTheDataLimit) {
  CountedSse parser;
  const std::string line = "data: " + std::string(1000, 'd') + "\n";
  sse_test::Recorder recorder;
  const brindle_sse_callbacks callbacks = recorder.callbacks();
  brindle_status status = BRINDLE_OK;
  size_t lines = 0;
  for (; status == BRINDLE_OK && lines < 100000; ++lines) {
    status = parser.push(line, &callbacks, &recorder);
  }
  EXPECT_EQ(status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(parser.error().message, "SSE event data exceeds configured limit");
  // 1047 lines of 1000 bytes and 1046 line feeds fit in 1 MiB; the 1048th does not.
  EXPECT_EQ(lines, 1048u);
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(recorder.events[0].data.size(), 1047u * 1001u - 1u);
  EXPECT_LT(parser.peak(), 4096u);  // data is never held by the parser
}

TEST(SseMemory, EndlessEventStreamStaysConstant) {
  CountedSse parser;
  sse_test::Recorder recorder;
  const brindle_sse_callbacks callbacks = recorder.callbacks();
  std::string batch;
  for (int i = 0; i < 100; ++i) {
    batch += "event: tick\nid: " + std::to_string(i) + "\ndata: " + std::string(300, 'p') +
             "\ndata: more\n\n: comment\n\n";
  }
  uint64_t peak_after_first = 0;
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(parser.push(batch, &callbacks, &recorder), BRINDLE_OK);
    if (round == 0) peak_after_first = parser.peak();
    recorder.events.clear();
  }
  EXPECT_EQ(parser.peak(), peak_after_first);
  EXPECT_LT(parser.peak(), 4096u);
}

}  // namespace
