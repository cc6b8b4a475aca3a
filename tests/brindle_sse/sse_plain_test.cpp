// Server-sent events, plain flavour: fields, events, callbacks, limits and the entry points.
#include <gtest/gtest.h>

#include <string>

#include "sse_recorder.h"
#include "test_allocator.h"

namespace {

using sse_test::Outcome;
using sse_test::parse;
using sse_test::whole;

Outcome parse_whole(const std::string &stream, const brindle_sse_options *options = nullptr) {
  return parse(stream, whole(), options);
}

// Records the order of the callbacks and the bytes of every chunk.
struct CallLog {
  std::string log;
  static int begin(void *user, const brindle_sse_event *event, brindle_error *) {
    static_cast<CallLog *>(user)->log += "begin(" + std::to_string(event->data_length) + ")";
    return 0;
  }
  static int chunk(void *user, const char *bytes, size_t length, brindle_error *) {
    static_cast<CallLog *>(user)->log += "chunk(" + std::string(bytes, length) + ")";
    return 0;
  }
  static int end(void *user, const brindle_sse_event *event, brindle_error *) {
    static_cast<CallLog *>(user)->log += "end(" + std::to_string(event->data_length) + ")";
    return 0;
  }
};

std::string call_log(const std::string &stream) {
  CallLog log;
  const brindle_sse_callbacks callbacks{&CallLog::begin, &CallLog::chunk, &CallLog::end};
  brindle_sse *parser = brindle_sse_open(nullptr, nullptr);
  EXPECT_EQ(brindle_sse_push(parser, stream.data(), stream.size(), &callbacks, &log, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(brindle_sse_finish(parser, &callbacks, &log, nullptr), BRINDLE_OK);
  brindle_sse_close(parser);
  return log.log;
}

TEST(SsePlain, DataLinesAreJoinedByLineFeeds) {
  EXPECT_EQ(call_log("data: a\ndata: b\n\n"), "begin(0)chunk(a)chunk(\n)chunk(b)end(3)");
  Outcome outcome = parse_whole("data: a\ndata: b\n\n");
  ASSERT_EQ(outcome.recorder.events.size(), 1u);
  EXPECT_EQ(outcome.recorder.events[0].data, "a\nb");
  EXPECT_EQ(outcome.recorder.events[0].length_at_end, 3u);
  EXPECT_EQ(outcome.recorder.events[0].event, "");
  EXPECT_EQ(outcome.recorder.events[0].id, "<null>");
}

TEST(SsePlain, EmptyDataLinesAddOnlyTheJoiningLineFeed) {
  EXPECT_EQ(call_log("data\n\n"), "begin(0)end(0)");
  EXPECT_EQ(call_log("data:\ndata\ndata: x\n\n"), "begin(0)chunk(\n)chunk(\n)chunk(x)end(3)");
}

TEST(SsePlain, CommentsAndUnknownFieldsChangeNothing) {
  EXPECT_EQ(call_log(": comment\nunknown: x\nData: no\n:\n\n"), "");
  EXPECT_EQ(call_log("data: a\n: comment\nfoo\ndata: b\n\n"),
            "begin(0)chunk(a)chunk(\n)chunk(b)end(3)");
}

TEST(SsePlain, ValueLosesExactlyOneLeadingSpace) {
  Outcome outcome = parse_whole("data:x\n\ndata:  two\n\ndata:a:b\n\nevent:  name \ndata\n\n");
  ASSERT_EQ(outcome.recorder.events.size(), 4u);
  EXPECT_EQ(outcome.recorder.events[0].data, "x");
  EXPECT_EQ(outcome.recorder.events[1].data, " two");
  EXPECT_EQ(outcome.recorder.events[2].data, "a:b");
  EXPECT_EQ(outcome.recorder.events[3].event, " name ");
}

TEST(SsePlain, EventNameAloneStillBeginsAndEnds) {
  EXPECT_EQ(call_log("event: ping\n\n"), "begin(0)end(0)");
  Outcome outcome = parse_whole("event: ping\n\nevent: first\nevent: second\ndata: d\n\n");
  ASSERT_EQ(outcome.recorder.events.size(), 2u);
  EXPECT_EQ(outcome.recorder.events[0].event, "ping");
  EXPECT_EQ(outcome.recorder.events[1].event, "second");
}

TEST(SsePlain, IdAndRetry) {
  Outcome outcome = parse_whole(
      "id: 7\nretry: 1500\ndata: x\n\n"
      "data: no id carried over\n\n"
      "retry: 15x00\nretry: -1\nretry:\nretry: 18446744073709551616\nid\ndata: y\n\n"
      "retry: 18446744073709551615\n\n");
  ASSERT_EQ(outcome.recorder.events.size(), 4u) << outcome.message;
  EXPECT_EQ(outcome.recorder.events[0].id, "7");
  EXPECT_EQ(outcome.recorder.events[0].retry, 1500u);
  EXPECT_EQ(outcome.recorder.events[0].has_retry, 1);
  EXPECT_EQ(outcome.recorder.events[1].id, "<null>");
  EXPECT_EQ(outcome.recorder.events[1].has_retry, 0);
  EXPECT_EQ(outcome.recorder.events[2].retry, 0u);
  EXPECT_EQ(outcome.recorder.events[2].has_retry, 0);
  EXPECT_EQ(outcome.recorder.events[2].id, "");  // an empty id is still an id
  EXPECT_EQ(outcome.recorder.events[3].retry, UINT64_MAX);
  // A retry alone is content: the event is dispatched.
  EXPECT_EQ(outcome.recorder.events[3].data, "");
}

TEST(SsePlain, IdWithNulIsIgnored) {
  Outcome outcome = parse_whole(std::string("id: a\0b\ndata: x\n\nid: ok\nid: a\0b\n\n", 33));
  ASSERT_EQ(outcome.recorder.events.size(), 2u);
  EXPECT_EQ(outcome.recorder.events[0].id, "<null>");
  EXPECT_EQ(outcome.recorder.events[1].id, "ok");
  // An id line with NUL alone gives the event no content.
  EXPECT_TRUE(parse_whole(std::string("id: \0\n\n", 7)).recorder.events.empty());
}

TEST(SsePlain, EmptyLinesWithoutContentDispatchNothing) {
  EXPECT_EQ(call_log("\n\n\r\n\r\r\n"), "");
}

TEST(SsePlain, FinishDispatchesTheLastEventAndAPendingLine) {
  EXPECT_EQ(call_log("data: a\n"), "begin(0)chunk(a)end(1)");
  EXPECT_EQ(call_log("data: a"), "begin(0)chunk(a)end(1)");
  EXPECT_EQ(call_log("data: a\r"), "begin(0)chunk(a)end(1)");
  EXPECT_EQ(call_log("data: a\n\ndata: b"), "begin(0)chunk(a)end(1)begin(0)chunk(b)end(1)");
}

TEST(SsePlain, DataLimitCountsJoiningLineFeeds) {
  brindle_sse_options options = brindle_default_sse_options();
  options.max_data_bytes = 4;
  Outcome outcome = parse_whole("data: ab\ndata: cd\n\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "SSE event data exceeds configured limit");
  EXPECT_TRUE(outcome.failed_in_push);
  ASSERT_EQ(outcome.recorder.events.size(), 1u);
  EXPECT_EQ(outcome.recorder.events[0].data, "ab");
  // Four bytes exactly, and the limit is per event.
  outcome = parse_whole("data: ab\ndata: c\n\ndata: abcd\n\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.events.size(), 2u);
  outcome = parse_whole("data: abcde\n\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_TRUE(outcome.recorder.events.empty());  // checked before begin_event
}

TEST(SsePlain, LineAndFieldLimits) {
  brindle_sse_options options = brindle_default_sse_options();
  options.max_line_bytes = 10;
  options.max_field_bytes = 3;
  EXPECT_EQ(parse_whole("data: 1234\n\n", &options).status, BRINDLE_OK);
  Outcome outcome = parse_whole("data: 12345\n\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "framing buffer limit exceeded");
  EXPECT_EQ(parse_whole("event: abc\nid: xyz\n\n", &options).status, BRINDLE_OK);
  for (const char *stream : {"event: abcd\n\n", "id: abcd\n\n"}) {
    outcome = parse_whole(stream, &options);
    EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW) << stream;
    EXPECT_EQ(outcome.message, "framing buffer limit exceeded") << stream;
  }
}

TEST(SsePlain, OptionsDefaultIndividually) {
  const brindle_sse_options defaults = brindle_default_sse_options();
  EXPECT_EQ(defaults.max_line_bytes, 65536u);
  EXPECT_EQ(defaults.max_data_bytes, 1048576u);
  EXPECT_EQ(defaults.max_field_bytes, 1048576u);
  EXPECT_EQ(defaults.allocator, nullptr);
  brindle_sse_options options{};
  options.max_data_bytes = 2;
  EXPECT_EQ(parse_whole("data: " + std::string(60000, 'x') + "\n\n", &options).status,
            BRINDLE_OVERFLOW);
  options.max_data_bytes = 0;
  EXPECT_EQ(parse_whole("data: " + std::string(65530, 'x') + "\n\n", &options).status, BRINDLE_OK);
  EXPECT_EQ(parse_whole("data: " + std::string(65531, 'x') + "\n\n", &options).status,
            BRINDLE_OVERFLOW);
}

struct Failure {
  char kind;
  const char *message;
};

TEST(SsePlain, CallbackFailures) {
  const Failure failures[] = {{'B', "SSE begin_event callback failed"},
                              {'C', "SSE data_chunk callback failed"},
                              {'E', "SSE end_event callback failed"}};
  for (const Failure &failure : failures) {
    sse_test::Recorder recorder;
    recorder.fail_kind = failure.kind;
    recorder.fail_at = 1;
    Outcome outcome = parse("data: x\n\n", whole(), nullptr, recorder);
    EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED);
    EXPECT_EQ(outcome.message, failure.message);
    recorder.fail_code = BRINDLE_TYPE_MISMATCH;
    outcome = parse("data: x\n\n", whole(), nullptr, recorder);
    EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH);
    EXPECT_EQ(outcome.message, "recorder failure");
  }
  // An event dispatched by finish fails in finish.
  sse_test::Recorder recorder;
  recorder.fail_kind = 'E';
  recorder.fail_at = 1;
  Outcome outcome = parse("event: x", whole(), nullptr, recorder);
  EXPECT_FALSE(outcome.failed_in_push);
  EXPECT_EQ(outcome.message, "SSE end_event callback failed");
  // With a null error record the status alone tells.
  brindle_sse *parser = brindle_sse_open(nullptr, nullptr);
  const brindle_sse_callbacks callbacks = recorder.callbacks();
  recorder.calls_of_kind = 0;
  EXPECT_EQ(brindle_sse_push(parser, "data: 1\n\n", 9, &callbacks, &recorder, nullptr),
            BRINDLE_CALLBACK_FAILED);
  brindle_sse_close(parser);
}

TEST(SsePlain, NullCallbacksOnlyCount) {
  brindle_sse_options options = brindle_default_sse_options();
  options.max_data_bytes = 3;
  brindle_sse *parser = brindle_sse_open(&options, nullptr);
  brindle_error error;
  EXPECT_EQ(brindle_sse_push(parser, "data: abc\n\n", 11, nullptr, nullptr, &error), BRINDLE_OK);
  const brindle_sse_callbacks none{};
  EXPECT_EQ(brindle_sse_push(parser, "data: ab\ndata: c\n", 17, &none, nullptr, &error),
            BRINDLE_OVERFLOW);
  brindle_sse_close(parser);
}

TEST(SsePlain, EntryPointChecks) {
  brindle_error error;
  EXPECT_EQ(brindle_sse_push(nullptr, "x", 1, nullptr, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser and bytes are required");
  EXPECT_EQ(brindle_sse_finish(nullptr, nullptr, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser is required");
  brindle_sse *parser = brindle_sse_open(nullptr, &error);
  ASSERT_NE(parser, nullptr);
  EXPECT_EQ(brindle_sse_push(parser, nullptr, 1, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_sse_push(parser, nullptr, 0, nullptr, nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_sse_finish(parser, nullptr, nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_sse_finish(parser, nullptr, nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_sse_push(parser, "data: x\n", 8, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser is already finished");
  brindle_sse_close(parser);
  brindle_sse_close(nullptr);
}

TEST(SsePlain, OpenChecksTheAllocatorAndClearsTheError) {
  stavo_test::TestAllocator test_allocator;
  brindle_allocator partial = *test_allocator.get();
  partial.free = nullptr;
  brindle_sse_options options = brindle_default_sse_options();
  options.allocator = &partial;
  brindle_error error;
  EXPECT_EQ(brindle_sse_open(&options, &error), nullptr);
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

  options.allocator = test_allocator.get();
  test_allocator.fail_from(1);
  EXPECT_EQ(brindle_sse_open(&options, &error), nullptr);
  EXPECT_EQ(error.code, BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to allocate SSE parser");
  test_allocator.fail_from(0);

  error.code = BRINDLE_IO_ERROR;
  brindle_sse *parser = brindle_sse_open(&options, &error);
  ASSERT_NE(parser, nullptr);
  EXPECT_EQ(error.code, BRINDLE_OK);
  brindle_sse_close(parser);
  EXPECT_EQ(test_allocator.live_blocks(), 0);
  EXPECT_EQ(test_allocator.stats().current_bytes, 0u);
}

TEST(SsePlain, EveryAllocationFailureIsReportedAndLeaksNothing) {
  const std::string stream = "event: " + std::string(100, 'n') + "\nid: " + std::string(300, 'i') +
                             "\ndata: " + std::string(1000, 'd') + "\n\n";
  bool succeeded = false;
  for (uint64_t nth = 1; nth < 50 && !succeeded; ++nth) {
    stavo_test::TestAllocator test_allocator;
    brindle_sse_options options = brindle_default_sse_options();
    options.allocator = test_allocator.get();
    test_allocator.fail_from(nth);
    Outcome outcome = parse(stream, sse_test::bytewise(), &options);
    if (outcome.status == BRINDLE_OK) {
      succeeded = true;
      ASSERT_EQ(outcome.recorder.events.size(), 1u);
      EXPECT_EQ(outcome.recorder.events[0].data, std::string(1000, 'd'));
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED) << outcome.message;
      EXPECT_TRUE(outcome.message == "failed to allocate SSE parser" ||
                  outcome.message == "failed to allocate framing buffer")
          << outcome.message;
    }
    EXPECT_EQ(test_allocator.live_blocks(), 0);
    EXPECT_EQ(test_allocator.stats().current_bytes, 0u);
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
