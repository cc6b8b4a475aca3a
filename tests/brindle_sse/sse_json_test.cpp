// Server-sent events, JSON flavour: each accepted event's data is parsed into a mapped record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "brindle.h"
#include "test_allocator.h"

namespace {

struct WatchEvent {
  char *queue;
  int32_t available;
  int64_t changed_at_unix;
  char tag[8];  // fixed storage, truncating
};

brindle_field make_field(const char *key, size_t offset, int32_t kind) {
  brindle_field field{};
  field.json_key = key;
  field.json_key_len = std::strlen(key);
  field.key_first = key[0];
  field.key_last = key[field.json_key_len - 1];
  field.offset = offset;
  field.kind = kind;
  return field;
}

const brindle_map *watch_map() {
  static const brindle_field fields[] = {
      make_field("queue", offsetof(WatchEvent, queue), BRINDLE_FIELD_STRING),
      make_field("available", offsetof(WatchEvent, available), BRINDLE_FIELD_BOOL),
      make_field("changed_at_unix", offsetof(WatchEvent, changed_at_unix), BRINDLE_FIELD_I64), [] {
        brindle_field f = make_field("tag", offsetof(WatchEvent, tag), BRINDLE_FIELD_STRING);
        f.storage = BRINDLE_STORAGE_FIXED;
        f.capacity = sizeof(WatchEvent::tag);
        f.overflow = BRINDLE_OVERFLOW_TRUNCATE;
        return f;
      }()};
  static const brindle_map map{"watch_event_json", sizeof(WatchEvent), fields, 4};
  return &map;
}

struct Seen {
  std::string event;
  std::string id;
  size_t data_length;
  std::string queue;
  int32_t available;
  int64_t changed;
  std::string tag;
  int32_t truncated;
};

// Copies each event out of the destination and empties it, as a consumer of a watch does.
struct Collector {
  std::vector<Seen> seen;
  int fail_on = 0;  // fail the nth call
  int fail_code = 0;
  static int callback(void *user, const brindle_sse_event *event, void *destination,
                      brindle_error *error) {
    auto *self = static_cast<Collector *>(user);
    auto *record = static_cast<WatchEvent *>(destination);
    self->seen.push_back({event->event, event->id != nullptr ? event->id : "<null>",
                          event->data_length, record->queue != nullptr ? record->queue : "<null>",
                          record->available, record->changed_at_unix, record->tag,
                          error != nullptr ? error->truncated : -1});
    brindle_cleanup(watch_map(), destination);
    if (static_cast<int>(self->seen.size()) == self->fail_on) {
      if (self->fail_code != 0 && error != nullptr) {
        error->code = self->fail_code;
        snprintf(error->message, sizeof(error->message), "collector failure");
      }
      return 1;
    }
    return 0;
  }
};

struct JsonRun {
  brindle_status status = BRINDLE_OK;
  std::string message;
  bool failed_in_push = false;
  size_t error_offset = 0;
  Collector collector;
};

using Slicer = std::vector<size_t> (*)(size_t);
std::vector<size_t> one_piece(size_t n) {
  return {n};
}
std::vector<size_t> byte_at_a_time(size_t n) {
  return std::vector<size_t>(n, 1);
}

JsonRun run(const std::string &stream, const brindle_sse_json_options *json_options = nullptr,
            Slicer slicer = one_piece, const brindle_sse_options *options = nullptr,
            Collector collector = Collector()) {
  JsonRun result;
  result.collector = collector;
  WatchEvent record{};
  record.changed_at_unix = 777;  // untouched unless an accepted event is parsed
  brindle_error error;
  brindle_sse *parser = brindle_sse_open(options, &error);
  if (parser == nullptr) {
    result.status = static_cast<brindle_status>(error.code);
    result.message = error.message;
    result.failed_in_push = true;
    return result;
  }
  size_t at = 0;
  for (size_t slice : slicer(stream.size())) {
    result.status =
        brindle_sse_push_json(parser, watch_map(), &record, stream.data() + at, slice, json_options,
                              &Collector::callback, &result.collector, &error);
    at += slice;
    if (result.status != BRINDLE_OK) {
      result.failed_in_push = true;
      break;
    }
  }
  if (!result.failed_in_push) {
    result.status = brindle_sse_finish_json(parser, watch_map(), &record, json_options,
                                            &Collector::callback, &result.collector, &error);
  }
  if (result.status != BRINDLE_OK) {
    result.message = error.message;
    result.error_offset = error.offset;
  }
  brindle_sse_close(parser);
  brindle_cleanup(watch_map(), &record);
  return result;
}

const char *const kStream =
    "event: queue\nid: 1\ndata: {\"queue\":\"jobs\",\"available\":true,\n"
    "data:  \"changed_at_unix\":1700000000}\n\n"
    ": keep-alive\n\n"
    "event: queue\r\ndata: {\"queue\":\"mail\",\"tag\":\"abcdefghij\"}\r\n\r\n"
    "data: {}\rretry: 10\r\r"
    "data: {\"available\":false}";

TEST(SseJson, EventsAreParsedIntoTheRecordOneCallbackEach) {
  JsonRun result = run(kStream);
  ASSERT_EQ(result.status, BRINDLE_OK) << result.message;
  const auto &seen = result.collector.seen;
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].event, "queue");
  EXPECT_EQ(seen[0].id, "1");
  EXPECT_EQ(seen[0].queue, "jobs");
  EXPECT_EQ(seen[0].available, 1);
  EXPECT_EQ(seen[0].changed, 1700000000);
  EXPECT_EQ(seen[0].data_length, 64u);  // both lines and the joining line feed
  EXPECT_EQ(seen[1].queue, "mail");
  EXPECT_EQ(seen[1].changed, 0);  // the record is initialised for every event
  EXPECT_EQ(seen[1].tag, "abcdefg");
  EXPECT_EQ(seen[1].truncated, 1);
  EXPECT_EQ(seen[2].queue, "<null>");
  EXPECT_EQ(seen[2].event, "");
  EXPECT_EQ(seen[3].available, 0);  // dispatched by finish
}

TEST(SseJson, SlicingDoesNotChangeTheEvents) {
  const JsonRun whole = run(kStream);
  const JsonRun bytes = run(kStream, nullptr, byte_at_a_time);
  ASSERT_EQ(bytes.status, BRINDLE_OK) << bytes.message;
  ASSERT_EQ(bytes.collector.seen.size(), whole.collector.seen.size());
  for (size_t i = 0; i < whole.collector.seen.size(); ++i) {
    const Seen &a = whole.collector.seen[i];
    const Seen &b = bytes.collector.seen[i];
    EXPECT_EQ(a.event + a.id + a.queue + a.tag, b.event + b.id + b.queue + b.tag);
    EXPECT_EQ(a.data_length, b.data_length);
    EXPECT_EQ(a.available, b.available);
    EXPECT_EQ(a.changed, b.changed);
  }
}

TEST(SseJson, FilterSkipsOtherEventsWithoutTouchingTheRecord) {
  const char *names[] = {"message"};
  brindle_sse_json_options options{names, 1, nullptr};
  JsonRun result =
      run("event: heartbeat\ndata: {\"queue\":\"x\"}\n\n"
          "data: {\"queue\":\"unnamed\"}\n\n"
          "event: message\ndata: {\"queue\":\"kept\"}\n\n"
          "event: heartbeat\ndata: not even json\n\n",
          &options);
  ASSERT_EQ(result.status, BRINDLE_OK) << result.message;
  ASSERT_EQ(result.collector.seen.size(), 1u);
  EXPECT_EQ(result.collector.seen[0].queue, "kept");
  EXPECT_EQ(result.collector.seen[0].event, "message");
  // Only skipped events: the record keeps what the caller put there.
  WatchEvent record{};
  record.changed_at_unix = 777;
  brindle_sse *parser = brindle_sse_open(nullptr, nullptr);
  Collector collector;
  const std::string skipped = "event: heartbeat\ndata: {\"changed_at_unix\":1}\n\n";
  EXPECT_EQ(brindle_sse_push_json(parser, watch_map(), &record, skipped.data(), skipped.size(),
                                  &options, &Collector::callback, &collector, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(record.changed_at_unix, 777);
  EXPECT_TRUE(collector.seen.empty());
  brindle_sse_close(parser);
  // An empty filter list accepts everything, and "" selects unnamed events.
  brindle_sse_json_options empty{names, 0, nullptr};
  EXPECT_EQ(run("event: any\ndata: {}\n\n", &empty).collector.seen.size(), 1u);
  const char *unnamed[] = {""};
  brindle_sse_json_options only_unnamed{unnamed, 1, nullptr};
  EXPECT_EQ(run("event: x\ndata: {}\n\ndata: {}\n\n", &only_unnamed).collector.seen.size(), 1u);
}

TEST(SseJson, EventNameMustPrecedeDataWhenFiltering) {
  const char *names[] = {"message"};
  brindle_sse_json_options options{names, 1, nullptr};
  JsonRun result = run("data: {}\nevent: message\n\n", &options);
  EXPECT_EQ(result.status, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(result.message, "SSE event name must precede data for streaming JSON filters");
  result = run("event: message\ndata: {\ndata: }\nevent: message\n\n", &options);
  EXPECT_EQ(result.message, "SSE event name must precede data for streaming JSON filters");
  // Without a filter a late name simply names the event.
  result = run("data: {}\nevent: late\n\n");
  ASSERT_EQ(result.status, BRINDLE_OK);
  ASSERT_EQ(result.collector.seen.size(), 1u);
  EXPECT_EQ(result.collector.seen[0].event, "late");
}

TEST(SseJson, EventsWithoutDataCallNothing) {
  JsonRun result = run("event: ping\n\nid: 3\n\nretry: 5\n\n: comment\n\n");
  EXPECT_EQ(result.status, BRINDLE_OK);
  EXPECT_TRUE(result.collector.seen.empty());
}

TEST(SseJson, ParserFailuresAreReportedFromTheEventsData) {
  struct Case {
    const char *stream;
    brindle_status status;
    const char *message;
  };
  const Case cases[] = {
      {"data: {\"queue\": }\n\n", BRINDLE_INVALID_JSON, "expected JSON value"},
      {"data: []\n\n", BRINDLE_TYPE_MISMATCH, "root value must be an object"},
      {"data: {\"queue\":\"x\"\n\n", BRINDLE_INVALID_JSON, "incomplete JSON document"},
      {"data: {}\ndata: {}\n\n", BRINDLE_INVALID_JSON, "unexpected trailing data"},
      {"data:\n\n", BRINDLE_INVALID_JSON, "incomplete JSON document"},
      {"data: {\"changed_at_unix\":1.5}\n\n", BRINDLE_TYPE_MISMATCH,
       "expected integer for 'changed_at_unix'"},
  };
  for (const Case &c : cases) {
    JsonRun result = run(c.stream);
    EXPECT_EQ(result.status, c.status) << c.stream;
    EXPECT_EQ(result.message, c.message) << c.stream;
    EXPECT_TRUE(result.collector.seen.empty()) << c.stream;
  }
  // Positions count the event's data, joining line feeds included.
  JsonRun result = run("id: 1\ndata: {\"queue\":\ndata: ]\n\n");
  EXPECT_EQ(result.message, "expected JSON value");
  EXPECT_EQ(result.error_offset, 11u);
}

TEST(SseJson, DataLimit) {
  brindle_sse_options options = brindle_default_sse_options();
  options.max_data_bytes = 10;
  JsonRun result = run("data: {\"queue\"\ndata: :\"ab\"}\n\n", nullptr, one_piece, &options);
  EXPECT_EQ(result.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(result.message, "SSE JSON event data exceeds configured limit");
  result = run("data: {\"queue\"\ndata: :\n\n", nullptr, one_piece, &options);
  EXPECT_EQ(result.message, "incomplete JSON document");  // exactly at the limit: parsed
  // Skipped events are not counted.
  const char *names[] = {"m"};
  brindle_sse_json_options filter{names, 1, nullptr};
  result = run("data: {\"queue\":\"far too long\"}\n\n", &filter, one_piece, &options);
  EXPECT_EQ(result.status, BRINDLE_OK);
}

TEST(SseJson, ArgumentsMustStayTheSameDuringAnEvent) {
  WatchEvent first{};
  WatchEvent second{};
  brindle_error error;
  brindle_sse *parser = brindle_sse_open(nullptr, &error);
  const std::string line = "data: {\n";
  ASSERT_EQ(brindle_sse_push_json(parser, watch_map(), &first, line.data(), line.size(), nullptr,
                                  nullptr, nullptr, &error),
            BRINDLE_OK);
  const std::string next = "data: }\n";
  EXPECT_EQ(brindle_sse_push_json(parser, watch_map(), &second, next.data(), next.size(), nullptr,
                                  nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE JSON parser arguments changed during an event");
  brindle_sse_close(parser);

  // Finishing the event into another record is refused as well.
  parser = brindle_sse_open(nullptr, &error);
  const std::string whole_line = "data: {}\n";
  ASSERT_EQ(brindle_sse_push_json(parser, watch_map(), &first, whole_line.data(), whole_line.size(),
                                  nullptr, nullptr, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(
      brindle_sse_finish_json(parser, watch_map(), &second, nullptr, nullptr, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE JSON parser arguments changed during an event");
  brindle_sse_close(parser);

  // Other parse options are a change too.
  parser = brindle_sse_open(nullptr, &error);
  const brindle_parse_options parse_options = brindle_default_parse_options();
  brindle_sse_json_options with_options{nullptr, 0, &parse_options};
  ASSERT_EQ(brindle_sse_push_json(parser, watch_map(), &first, line.data(), line.size(), nullptr,
                                  nullptr, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_sse_push_json(parser, watch_map(), &first, next.data(), next.size(),
                                  &with_options, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  brindle_sse_close(parser);
  brindle_cleanup(watch_map(), &first);
}

TEST(SseJson, EntryPointChecks) {
  WatchEvent record{};
  brindle_error error;
  EXPECT_EQ(
      brindle_sse_push_json(nullptr, nullptr, &record, "x", 1, nullptr, nullptr, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map and destination are required");
  EXPECT_EQ(
      brindle_sse_finish_json(nullptr, watch_map(), nullptr, nullptr, nullptr, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "map and destination are required");
  brindle_allocator partial{};
  partial.malloc = [](void *, size_t size) { return std::malloc(size); };
  brindle_parse_options parse_options = brindle_default_parse_options();
  parse_options.allocator = &partial;
  brindle_sse_json_options json_options{nullptr, 0, &parse_options};
  EXPECT_EQ(brindle_sse_push_json(nullptr, watch_map(), &record, "x", 1, &json_options, nullptr,
                                  nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");
  EXPECT_EQ(brindle_sse_push_json(nullptr, watch_map(), &record, "x", 1, nullptr, nullptr, nullptr,
                                  &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser and bytes are required");
  EXPECT_EQ(
      brindle_sse_finish_json(nullptr, watch_map(), &record, nullptr, nullptr, nullptr, &error),
      BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser is required");

  brindle_sse *parser = brindle_sse_open(nullptr, &error);
  EXPECT_EQ(
      brindle_sse_finish_json(parser, watch_map(), &record, nullptr, nullptr, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(
      brindle_sse_finish_json(parser, watch_map(), &record, nullptr, nullptr, nullptr, &error),
      BRINDLE_OK);
  EXPECT_EQ(brindle_sse_push_json(parser, watch_map(), &record, "x", 1, nullptr, nullptr, nullptr,
                                  &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "SSE parser is already finished");
  brindle_sse_close(parser);
}

TEST(SseJson, CallbackFailures) {
  Collector collector;
  collector.fail_on = 2;
  JsonRun result =
      run("data: {}\n\ndata: {}\n\ndata: {}\n\n", nullptr, one_piece, nullptr, collector);
  EXPECT_EQ(result.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(result.message, "SSE JSON callback failed");
  EXPECT_EQ(result.collector.seen.size(), 2u);
  collector.fail_code = BRINDLE_IO_ERROR;
  result = run("data: {}\n\ndata: {}\n\n", nullptr, one_piece, nullptr, collector);
  EXPECT_EQ(result.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(result.message, "collector failure");
}

TEST(SseJson, MemoryIsReleasedOnEveryPath) {
  const char *const streams[] = {
      kStream,
      "data: {\"queue\":\"abc\",\n",  // open at close
      "data: {\"queue\":\"abc\"}\ndata: {\n\n",
      "data: {\"queue\":\""
      "abc",  // inside a string at close
  };
  for (const char *stream : streams) {
    stavo_test::TestAllocator sse_allocator;
    stavo_test::TestAllocator record_allocator;
    brindle_sse_options options = brindle_default_sse_options();
    options.allocator = sse_allocator.get();
    brindle_parse_options parse_options = brindle_default_parse_options();
    parse_options.allocator = record_allocator.get();
    brindle_sse_json_options json_options{nullptr, 0, &parse_options};
    WatchEvent record{};
    brindle_sse *parser = brindle_sse_open(&options, nullptr);
    Collector collector;
    const size_t length = std::strlen(stream);
    for (size_t at = 0; at < length; ++at) {  // byte by byte
      if (brindle_sse_push_json(parser, watch_map(), &record, stream + at, 1, &json_options,
                                &Collector::callback, &collector, nullptr) != BRINDLE_OK) {
        break;
      }
    }
    brindle_sse_close(parser);
    brindle_cleanup(watch_map(), &record);
    EXPECT_EQ(sse_allocator.live_blocks(), 0) << stream;
    EXPECT_EQ(sse_allocator.stats().current_bytes, 0u) << stream;
    EXPECT_EQ(record_allocator.live_blocks(), 0) << stream;
  }
}

TEST(SseJson, EveryAllocationFailureIsReported) {
  for (int which = 0; which < 2; ++which) {  // the parser's allocator, then the record's
    bool succeeded = false;
    for (uint64_t nth = 1; nth < 60 && !succeeded; ++nth) {
      stavo_test::TestAllocator sse_allocator;
      stavo_test::TestAllocator record_allocator;
      brindle_sse_options options = brindle_default_sse_options();
      options.allocator = sse_allocator.get();
      brindle_parse_options parse_options = brindle_default_parse_options();
      parse_options.allocator = record_allocator.get();
      brindle_sse_json_options json_options{nullptr, 0, &parse_options};
      (which == 0 ? sse_allocator : record_allocator).fail_from(nth);
      JsonRun result = run(kStream, &json_options, byte_at_a_time, &options);
      if (result.status == BRINDLE_OK) {
        succeeded = true;
        EXPECT_EQ(result.collector.seen.size(), 4u);
      } else {
        EXPECT_EQ(result.status, BRINDLE_ALLOCATION_FAILED) << result.message;
        EXPECT_TRUE(result.message == "failed to allocate SSE parser" ||
                    result.message == "failed to allocate framing buffer" ||
                    result.message == "failed to allocate string")
            << result.message;
      }
      EXPECT_EQ(sse_allocator.live_blocks(), 0);
      EXPECT_EQ(record_allocator.live_blocks(), 0);
    }
    EXPECT_TRUE(succeeded);
  }
}

TEST(SseJson, EndlessEventDataFailsAtTheLimitInBoundedMemory) {
  stavo_test::TestAllocator sse_allocator;
  brindle_sse_options options = brindle_default_sse_options();
  options.allocator = sse_allocator.get();
  WatchEvent record{};
  brindle_sse *parser = brindle_sse_open(&options, nullptr);
  brindle_error error;
  const std::string open = "data: {\"queue\":\n";
  ASSERT_EQ(brindle_sse_push_json(parser, watch_map(), &record, open.data(), open.size(), nullptr,
                                  nullptr, nullptr, &error),
            BRINDLE_OK);
  const std::string blank_line = "data: " + std::string(4000, ' ') + "\n";  // JSON whitespace
  brindle_status status = BRINDLE_OK;
  size_t lines = 0;
  while (status == BRINDLE_OK && lines < 10000) {
    status = brindle_sse_push_json(parser, watch_map(), &record, blank_line.data(),
                                   blank_line.size(), nullptr, nullptr, nullptr, &error);
    ++lines;
  }
  EXPECT_EQ(status, BRINDLE_OVERFLOW);
  EXPECT_STREQ(error.message, "SSE JSON event data exceeds configured limit");
  EXPECT_EQ(lines, 263u);  // after the first 9 bytes, 262 lines of 4001 bytes fit in 1 MiB
  EXPECT_LT(sse_allocator.stats().peak_bytes, 16384u);
  brindle_sse_close(parser);
  brindle_cleanup(watch_map(), &record);
  EXPECT_EQ(sse_allocator.live_blocks(), 0);
}

TEST(SseJson, RandomSlicesOfAManyEventStream) {
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    stream += "event: queue\nid: " + std::to_string(i) + "\ndata: {\"queue\":\"q" +
              std::to_string(i) + "\",\ndata: \"changed_at_unix\":" + std::to_string(i * 7) +
              "}\n\n";
  }
  const JsonRun whole = run(stream);
  ASSERT_EQ(whole.status, BRINDLE_OK) << whole.message;
  ASSERT_EQ(whole.collector.seen.size(), 300u);
  static std::mt19937 random(5);
  Slicer random_slices = [](size_t n) {
    std::vector<size_t> slices;
    while (n > 0) {
      size_t take = std::min<size_t>(n, random() % 97);
      slices.push_back(take);
      n -= take;
    }
    return slices;
  };
  for (int round = 0; round < 3; ++round) {
    const JsonRun sliced = run(stream, nullptr, random_slices);
    ASSERT_EQ(sliced.status, BRINDLE_OK) << sliced.message;
    ASSERT_EQ(sliced.collector.seen.size(), 300u);
    for (size_t i = 0; i < 300; ++i) {
      EXPECT_EQ(sliced.collector.seen[i].queue, "q" + std::to_string(i));
      EXPECT_EQ(sliced.collector.seen[i].changed, static_cast<int64_t>(i * 7));
      EXPECT_EQ(sliced.collector.seen[i].id, std::to_string(i));
    }
  }
}

}  // namespace
