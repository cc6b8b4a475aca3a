// The array stream's element modes: mapped records (pull and push), raw JSON values with the
// repeated-key check, strings in chunks and whole; callbacks and their failures; resuming an
// element across calls; misuse of a stream; the arguments of every entry point.
#include <gtest/gtest.h>

#include "streams_support.h"

namespace {

using streams_test::describe;
using streams_test::Item;
using streams_test::kItemMap;
using streams_test::MemoryReader;
using streams_test::Outcome;
using streams_test::pull_mapped;
using streams_test::pull_values_text;
using streams_test::push_text;
using streams_test::push_whole;
using streams_test::PushMode;
using streams_test::where;

std::vector<std::string> strings(std::initializer_list<const char *> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

MemoryReader reader_of(const std::string &text, size_t piece = 1024) {
  MemoryReader reader;
  reader.text = text;
  reader.pieces = {piece};
  return reader;
}

const char kItems[] = R"([{"id":1,"name":"one","tags":["a","b"]},)"
                      "\n"
                      R"( {"tags":[],"id":-2,"extra":{"x":[1,2]},"code":"xy"},)"
                      R"({"id":3,"name":null}])";

TEST(ArrayMapped, PullFillsTheDestinationOnePerCall) {
  Outcome run = pull_mapped(nullptr, reader_of(kItems));
  EXPECT_EQ(run.items, strings({"1|one|a,b|", "-2|<null>||xy", "3|<null>||"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
}

TEST(ArrayMapped, PushHandsEachElementToTheCallbackAndResetsTheDestination) {
  struct Seen {
    std::vector<std::string> items;
  } seen;
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  Item item{};
  brindle_init(&kItemMap, &item);
  auto callback = [](void *user, void *destination) -> int {
    static_cast<Seen *>(user)->items.push_back(describe(*static_cast<Item *>(destination)));
    return 0;
  };
  brindle_error error;
  ASSERT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, kItems, sizeof(kItems) - 1,
                                      callback, &seen, &error),
            BRINDLE_OK);
  // Every element is complete with its separator, so all three were delivered already.
  EXPECT_EQ(seen.items, strings({"1|one|a,b|", "-2|<null>||xy", "3|<null>||"}));
  EXPECT_EQ(item.id, 0);
  EXPECT_EQ(item.name, nullptr);
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &item, callback, &seen, &error),
            BRINDLE_OK);
  EXPECT_EQ(error.code, BRINDLE_OK);
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
}

TEST(ArrayMapped, ElementFailuresKeepTheParsersMessageAtTheDocumentsPosition) {
  Outcome run = pull_mapped(nullptr, reader_of("[{\"id\":1},\n {\"name\":\"x\"}]"));
  EXPECT_EQ(run.items, strings({"1|<null>||"}));
  EXPECT_EQ(run.error.code, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_EQ(where(run.error), "missing required field 'id' @24:2:13");

  run = pull_mapped(nullptr, reader_of("[1]"));
  EXPECT_EQ(run.error.code, BRINDLE_TYPE_MISMATCH);
  EXPECT_EQ(where(run.error), "root value must be an object @2:1:2");

  run = pull_mapped(nullptr, reader_of("[{\"id\":1,\"id\":2}]"));
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);

  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  run = pull_mapped(nullptr, reader_of("[{\"id\":1,\"id\":2}]"), &options);
  EXPECT_EQ(run.items, strings({"2|<null>||"}));

  // The same failures through push.
  run = push_whole(PushMode::Mapped, nullptr, "[{\"id\":1},\n {\"name\":\"x\"}]");
  EXPECT_EQ(run.status, BRINDLE_MISSING_REQUIRED_FIELD);
  EXPECT_EQ(where(run.error), "missing required field 'id' @24:2:13");
}

TEST(ArrayMapped, TruncatedElementsAreStillDelivered) {
  const char text[] = R"([{"id":1,"code":"abcdef"},{"id":2,"code":"ab"}])";
  Outcome run = pull_mapped(nullptr, reader_of(text));
  EXPECT_EQ(run.items, strings({"1|<null>||abc", "2|<null>||ab"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);

  // Pull: the element's call reports the truncation in the error record.
  MemoryReader reader = reader_of(text);
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(nullptr, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{};
  brindle_error error;
  ASSERT_EQ(brindle_array_stream_next(stream, &kItemMap, &item, &error), BRINDLE_ARRAY_STREAM_ITEM);
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(error.code, BRINDLE_TRUNCATED);
  ASSERT_EQ(brindle_array_stream_next(stream, &kItemMap, &item, &error), BRINDLE_ARRAY_STREAM_ITEM);
  EXPECT_EQ(error.truncated, 0) << "each call reports its own element";
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);

  // Push: the call that delivered a truncated element says so.
  run = push_text(PushMode::Mapped, nullptr, text, {27, sizeof(text) - 1 - 27});
  EXPECT_EQ(run.items, strings({"1|<null>||abc", "2|<null>||ab"}));
  stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  brindle_init(&kItemMap, &item);
  auto ignore = [](void *, void *) -> int { return 0; };
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, text, 27, ignore, nullptr, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, text + 27, sizeof(text) - 1 - 27,
                                      ignore, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &item, ignore, nullptr, &error),
            BRINDLE_OK);
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
}

TEST(ArrayMapped, ItemCallbackFailuresStopTheStream) {
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  Item item{};
  brindle_init(&kItemMap, &item);
  int calls = 0;
  auto refuse = [](void *user, void *) -> int {
    ++*static_cast<int *>(user);
    return BRINDLE_OVERFLOW;
  };
  brindle_error error;
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, kItems, sizeof(kItems) - 1, refuse,
                                      &calls, &error),
            BRINDLE_OVERFLOW);
  EXPECT_EQ(calls, 1);
  EXPECT_STREQ(error.message, "array stream item callback failed");
  EXPECT_EQ(item.name, nullptr) << "the destination is reset after the callback";
  // The failure is kept: later calls return it without calling back.
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &item, refuse, &calls, &error),
            BRINDLE_OVERFLOW);
  EXPECT_EQ(calls, 1);
  EXPECT_STREQ(error.message, "array stream item callback failed");
  brindle_array_stream_close(stream);

  // An answer that is no failure status, or BRINDLE_TRUNCATED, still fails, as a callback failure.
  for (int answer : {-1, 7, 99}) {
    stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
    auto odd = [](void *user, void *) -> int { return *static_cast<int *>(user); };
    EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, kItems, sizeof(kItems) - 1, odd,
                                        &answer, &error),
              BRINDLE_CALLBACK_FAILED);
    brindle_array_stream_close(stream);
  }
  brindle_cleanup(&kItemMap, &item);
}

TEST(ArrayRaw, ElementsAreCapturedCompactly) {
  Outcome run = pull_values_text(
      nullptr, "[ {\"a\" : [1, 2], \"b\":{}} , \"x\\n\\u00e9\" , -1.5e3 , true,false , null,[] ]");
  EXPECT_EQ(run.items, strings({R"({"a":[1,2],"b":{}})", "\"x\\n\xC3\xA9\"", "-1.5e3", "true",
                                "false", "null", "[]"}));
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
}

TEST(ArrayRaw, RepeatedKeysInsideElements) {
  Outcome run = pull_values_text(nullptr, R"([{"a":1},{"a":1,"a":2}])");
  EXPECT_EQ(run.items, strings({R"({"a":1})"}));
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);
  EXPECT_STREQ(run.error.message, "duplicate object field");
  EXPECT_EQ(where(run.error), "duplicate object field @10:1:10")
      << "reported at the element's start";

  // Keys repeat only within one object; decoded keys are compared.
  run = pull_values_text(nullptr, R"([{"a":{"a":1,"b":[{"a":2,"b":3}]},"b":{"b":2}}])");
  EXPECT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.result, BRINDLE_ARRAY_STREAM_END);
  run = pull_values_text(nullptr, R"([{"x":[{"k":1,"\u006b":2}]}])");
  EXPECT_EQ(run.error.code, BRINDLE_DUPLICATE_FIELD);

  brindle_parse_options options = brindle_default_parse_options();
  options.reject_duplicates = 0;
  run = pull_values_text(nullptr, R"([{"a":1,"a":2}])", 1024, &options);
  EXPECT_EQ(run.items, strings({R"({"a":1,"a":2})"}));
}

TEST(ArrayRaw, NestingIsBoundedByTheStreamsDepth) {
  brindle_parse_options options = brindle_default_parse_options();
  options.max_depth = 2;
  Outcome run = pull_values_text(nullptr, "[[[1]],[[[2]]]]", 1024, &options);
  EXPECT_EQ(run.items, strings({"[[1]]"}));
  EXPECT_EQ(run.error.code, BRINDLE_OVERFLOW);
  EXPECT_EQ(where(run.error), "maximum nesting depth exceeded @10:1:10");
}

TEST(ArrayRaw, LargeElementsAndStringsPassWhole) {
  const std::string big(3 * 1024 * 1024, 'q');
  Outcome run = pull_values_text(nullptr, "[\"" + big + "\",{\"k\":\"" + big + "\"}]", 1000);
  ASSERT_EQ(run.items.size(), 2u);
  EXPECT_EQ(run.items[0], "\"" + big + "\"");
  EXPECT_EQ(run.items[1].size(), big.size() + 8);
}

TEST(ArrayStrings, ChunksAndWholeItemsCarryTheDecodedText) {
  const std::string text =
      R"({"skip":["no"],"names":["plain","esc\"\\\/\b\f\n\r\t","\u00e9\ud83d\ude00","","nul\u0000x"]})";
  const std::vector<std::string> expected = {
      "plain", "esc\"\\/\b\f\n\r\t", "\xC3\xA9\xF0\x9F\x98\x80", "", std::string("nul\0x", 5)};
  Outcome run = push_whole(PushMode::Chunks, "names", text);
  EXPECT_EQ(run.status, BRINDLE_OK);
  EXPECT_EQ(run.items, expected);
  run = push_whole(PushMode::Items, "names", text);
  EXPECT_EQ(run.status, BRINDLE_OK);
  EXPECT_EQ(run.items, expected);
}

TEST(ArrayStrings, OnlyStringsAreAccepted) {
  for (PushMode mode : {PushMode::Chunks, PushMode::Items}) {
    Outcome run = push_whole(mode, nullptr, R"(["a",{"b":1}])");
    EXPECT_EQ(run.items, strings({"a"}));
    EXPECT_EQ(run.status, BRINDLE_TYPE_MISMATCH);
    EXPECT_EQ(where(run.error), "selected array item is not a string @6:1:6");
    run = push_whole(mode, nullptr, "[\"a\\x\"]");
    EXPECT_EQ(run.status, BRINDLE_INVALID_JSON);
    EXPECT_EQ(where(run.error), "invalid JSON string escape @5:1:5");
    run = push_whole(mode, nullptr, "[\"a\nb\"]");
    EXPECT_EQ(where(run.error), "control character in JSON string @4:2:0");
  }
}

TEST(ArrayStrings, WholeItemsAreLimitedTo1MiB) {
  const std::string fits(1048576, 'z');
  Outcome run = push_text(PushMode::Items, nullptr, "[\"" + fits + "\"]",
                          streams_test::every(fits.size() + 4, 4096));
  ASSERT_EQ(run.status, BRINDLE_OK);
  ASSERT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.items[0].size(), fits.size());
  run = push_whole(PushMode::Items, nullptr, "[\"" + fits + "z\"]");
  EXPECT_EQ(run.status, BRINDLE_OVERFLOW);
  EXPECT_TRUE(run.items.empty());
  // Chunks have no such limit.
  run = push_whole(PushMode::Chunks, nullptr, "[\"" + fits + fits + "\"]");
  EXPECT_EQ(run.status, BRINDLE_OK);
  ASSERT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.items[0].size(), 2 * fits.size());
}

struct HandlerLog {
  std::string events;
  brindle_status begin_answer = BRINDLE_OK;
  brindle_status chunk_answer = BRINDLE_OK;
  brindle_status end_answer = BRINDLE_OK;
};

brindle_status log_begin(void *user, brindle_error *) {
  auto *log = static_cast<HandlerLog *>(user);
  log->events += "<";
  return log->begin_answer;
}
brindle_status log_chunk(void *user, const char *bytes, size_t length, brindle_error *) {
  auto *log = static_cast<HandlerLog *>(user);
  log->events.append(bytes, length);
  return log->chunk_answer;
}
brindle_status log_end(void *user, brindle_error *) {
  auto *log = static_cast<HandlerLog *>(user);
  log->events += ">";
  return log->end_answer;
}

TEST(ArrayStrings, HandlerAnswers) {
  const brindle_array_string_handlers handlers{log_begin, log_chunk, log_end};
  const char text[] = R"(["ab","cd"])";
  struct Case {
    HandlerLog log;
    brindle_status status;
    const char *events;
  };
  Case cases[] = {
      {{"", BRINDLE_OK, BRINDLE_OK, BRINDLE_OK}, BRINDLE_OK, "<ab><cd>"},
      {{"", BRINDLE_TRUNCATED, BRINDLE_TRUNCATED, BRINDLE_OK}, BRINDLE_TRUNCATED, "<ab><cd>"},
      {{"", BRINDLE_OK, BRINDLE_OK, BRINDLE_TRUNCATED}, BRINDLE_TRUNCATED, "<ab><cd>"},
      {{"", BRINDLE_IO_ERROR, BRINDLE_OK, BRINDLE_OK}, BRINDLE_IO_ERROR, "<"},
      {{"", BRINDLE_OK, BRINDLE_OVERFLOW, BRINDLE_OK}, BRINDLE_OVERFLOW, "<ab"},
      {{"", BRINDLE_OK, BRINDLE_OK, BRINDLE_INVALID_JSON}, BRINDLE_INVALID_JSON, "<ab>"},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.events);
    brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
    brindle_error error;
    brindle_status status =
        brindle_array_stream_push_string(stream, text, sizeof(text) - 1, &handlers, &c.log, &error);
    if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) {
      const brindle_status finished =
          brindle_array_stream_finish_string(stream, &handlers, &c.log, &error);
      if (finished != BRINDLE_OK) status = finished;
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(c.log.events, c.events);
    if (c.status != BRINDLE_OK && c.status != BRINDLE_TRUNCATED) {
      EXPECT_STREQ(error.message, "array stream string callback failed");
    }
    brindle_array_stream_close(stream);
  }
  // Begin and end handlers are optional.
  const brindle_array_string_handlers chunks_only{nullptr, log_chunk, nullptr};
  HandlerLog log;
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  EXPECT_EQ(
      brindle_array_stream_push_string(stream, text, sizeof(text) - 1, &chunks_only, &log, nullptr),
      BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish_string(stream, &chunks_only, &log, nullptr), BRINDLE_OK);
  EXPECT_EQ(log.events, "abcd");
  brindle_array_stream_close(stream);
}

TEST(ArrayStrings, ItemCallbackFailure) {
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  auto refuse = [](void *, const char *, size_t) -> int { return BRINDLE_CALLBACK_FAILED; };
  brindle_error error;
  EXPECT_EQ(brindle_array_stream_push_string_items(stream, "[\"a\"]", 5, refuse, nullptr, &error),
            BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(error.message, "array stream item callback failed");
  brindle_array_stream_close(stream);
}

TEST(ArrayResume, AnElementSpanningPushesNeedsTheSameDestination) {
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  Item first{}, second{};
  brindle_init(&kItemMap, &first);
  brindle_init(&kItemMap, &second);
  std::vector<std::string> seen;
  auto collect = [](void *user, void *destination) -> int {
    static_cast<std::vector<std::string> *>(user)->push_back(
        describe(*static_cast<Item *>(destination)));
    return 0;
  };
  brindle_error error;
  ASSERT_EQ(brindle_array_stream_push(stream, &kItemMap, &first, "[{\"id\":4,", 9, collect, &seen,
                                      &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &second, "\"name\":\"n\"}", 11, collect,
                                      &seen, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "resume array stream item with the same destination");
  // Another mode is refused the same way; nothing was consumed, and the stream goes on.
  auto items = [](void *, const char *, size_t) -> int { return 0; };
  EXPECT_EQ(brindle_array_stream_push_string_items(stream, "x", 1, items, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "resume array stream item with the same destination");
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &first, "\"name\":\"n\"}", 11, collect,
                                      &seen, &error),
            BRINDLE_OK);
  EXPECT_TRUE(seen.empty()) << "the element waits for its separator";
  // Complete (separator seen): the next element may go anywhere.
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &first, ",", 1, collect, &seen, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &second, "{\"id\":5}]", 9, collect, &seen,
                                      &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &second, collect, &seen, &error),
            BRINDLE_OK);
  EXPECT_EQ(seen, strings({"4|n||", "5|<null>||"}));
  brindle_cleanup(&kItemMap, &first);
  brindle_cleanup(&kItemMap, &second);
  brindle_array_stream_close(stream);
}

TEST(ArrayResume, AReaderThatWouldBlockMakesPullAskForMoreInput) {
  MemoryReader reader = reader_of(R"([{"id":1,"name":"a"},{"id":2}])", 5);
  reader.would_block_every = 2;
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(nullptr, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{}, other{};
  brindle_error error;
  std::vector<std::string> seen;
  int result = BRINDLE_ARRAY_STREAM_NEED_INPUT;
  bool refused = false;
  for (int calls = 0; calls < 100 && result != BRINDLE_ARRAY_STREAM_END; ++calls) {
    result = brindle_array_stream_next(stream, &kItemMap, &item, &error);
    if (result == BRINDLE_ARRAY_STREAM_ITEM) seen.push_back(describe(item));
    if (result == BRINDLE_ARRAY_STREAM_NEED_INPUT && !refused) {
      // Half an element is held; it must be finished into the same record.
      EXPECT_EQ(brindle_array_stream_next(stream, &kItemMap, &other, &error),
                BRINDLE_ARRAY_STREAM_ERROR);
      EXPECT_STREQ(error.message, "resume array stream item with the same destination");
      refused = true;
    }
    ASSERT_NE(result, BRINDLE_ARRAY_STREAM_ERROR) << error.message;
  }
  EXPECT_TRUE(refused);
  EXPECT_GE(reader.blocked, 2u);
  EXPECT_EQ(seen, strings({"1|a||", "2|<null>||"}));
  EXPECT_EQ(result, BRINDLE_ARRAY_STREAM_END);
  brindle_cleanup(&kItemMap, &item);
  brindle_cleanup(&kItemMap, &other);
  brindle_array_stream_close(stream);
}

TEST(ArrayMisuse, PushAndPullDoNotMix) {
  brindle_array_stream *push = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  MemoryReader reader = reader_of("[]");
  brindle_array_stream *pull =
      brindle_array_stream_open_reader(nullptr, MemoryReader::read, &reader, nullptr, nullptr);
  Item item{};
  brindle_error error;
  auto ignore = [](void *, void *) -> int { return 0; };
  EXPECT_EQ(brindle_array_stream_push(pull, &kItemMap, &item, "[", 1, ignore, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream is not push-fed");
  EXPECT_EQ(brindle_array_stream_next(push, &kItemMap, &item, &error), BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "push array stream cannot be pulled");
  EXPECT_EQ(brindle_array_stream_push(push, &kItemMap, &item, nullptr, 3, ignore, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "input bytes are required");
  // Refused calls leave the streams usable.
  EXPECT_EQ(brindle_array_stream_next(pull, &kItemMap, &item, &error), BRINDLE_ARRAY_STREAM_END);
  EXPECT_EQ(brindle_array_stream_next(pull, &kItemMap, &item, &error), BRINDLE_ARRAY_STREAM_END);
  EXPECT_EQ(brindle_array_stream_push(push, &kItemMap, &item, nullptr, 0, ignore, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_push(push, &kItemMap, &item, "[]", 2, ignore, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish(push, &kItemMap, &item, ignore, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_push(push, &kItemMap, &item, " ", 1, ignore, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream is already finished");
  EXPECT_EQ(brindle_array_stream_finish(push, &kItemMap, &item, ignore, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  brindle_array_stream_close(push);
  brindle_array_stream_close(pull);
}

TEST(ArrayMisuse, FailuresAreSticky) {
  MemoryReader reader = reader_of("[1 2]");
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(nullptr, MemoryReader::read, &reader, nullptr, nullptr);
  brindle_json_value value;
  brindle_json_value_init(&value);
  brindle_error error;
  EXPECT_EQ(brindle_array_stream_next_value(stream, &value, &error), BRINDLE_ARRAY_STREAM_ERROR);
  const std::string first = where(error);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(brindle_array_stream_next_value(stream, &value, &error), BRINDLE_ARRAY_STREAM_ERROR);
    EXPECT_EQ(where(error), first);
    EXPECT_EQ(error.code, BRINDLE_INVALID_JSON);
  }
  EXPECT_EQ(where(*brindle_array_stream_error(stream)), first);
  brindle_json_value_cleanup(&value);
  brindle_array_stream_close(stream);
}

TEST(ArrayArguments, EveryEntryPointChecksItsArguments) {
  brindle_error error;
  auto reader = [](void *, char *, size_t) -> brindle_read_result {
    return brindle_default_read_result();
  };
  EXPECT_EQ(brindle_array_stream_open_reader(nullptr, nullptr, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "reader callback is required");
  EXPECT_EQ(brindle_array_stream_open_filep(nullptr, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "file pointer is required");
  EXPECT_EQ(brindle_array_stream_open_path(nullptr, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "path is required");
  EXPECT_EQ(brindle_array_stream_open_fd(nullptr, -1, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "fd must be non-negative");
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_array_stream_open_push("a.b", nullptr, &error), nullptr);
  EXPECT_EQ(error.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream v1 supports only one direct path segment");
  EXPECT_EQ(brindle_array_stream_open_reader("x.", reader, nullptr, nullptr, &error), nullptr);
  EXPECT_STREQ(error.message, "array stream v1 supports only one direct path segment");

  brindle_allocator partial = brindle_default_allocator();
  partial.realloc = nullptr;
  brindle_parse_options options = brindle_default_parse_options();
  options.allocator = &partial;
  EXPECT_EQ(brindle_array_stream_open_push(nullptr, &options, &error), nullptr);
  EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

  EXPECT_EQ(brindle_array_stream_open_path(nullptr, "/nonexistent/streams/x.json", nullptr, &error),
            nullptr);
  EXPECT_EQ(error.code, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to open '/nonexistent/streams/x.json'");
  EXPECT_EQ(error.system_errno, ENOENT);

  // An empty field name means the root array.
  brindle_array_stream *stream = brindle_array_stream_open_push("", nullptr, &error);
  ASSERT_NE(stream, nullptr);
  Item item{};
  auto ignore = [](void *, void *) -> int { return 0; };
  EXPECT_EQ(brindle_array_stream_next(nullptr, &kItemMap, &item, &error),
            BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "array stream, map, and destination are required");
  EXPECT_EQ(brindle_array_stream_next(stream, nullptr, &item, &error), BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "array stream, map, and destination are required");
  EXPECT_EQ(brindle_array_stream_next_value(stream, nullptr, &error), BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "JSON value destination is required");
  brindle_json_value value;
  brindle_json_value_init(&value);
  EXPECT_EQ(brindle_array_stream_next_value(nullptr, &value, &error), BRINDLE_ARRAY_STREAM_ERROR);
  EXPECT_STREQ(error.message, "array stream is required");
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, "[]", 2, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream, map, destination, and callback are required");
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, nullptr, ignore, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream, map, destination, and callback are required");
  const brindle_array_string_handlers no_chunk{log_begin, nullptr, log_end};
  EXPECT_EQ(brindle_array_stream_push_string(stream, "[]", 2, &no_chunk, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream and string chunk handler are required");
  EXPECT_EQ(brindle_array_stream_finish_string(stream, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream and string chunk handler are required");
  EXPECT_EQ(brindle_array_stream_push_string_items(stream, "[]", 2, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream and string item callback are required");
  EXPECT_EQ(brindle_array_stream_finish_string_items(nullptr, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "array stream and string item callback are required");
  EXPECT_EQ(brindle_array_stream_push(stream, &kItemMap, &item, "[]", 2, ignore, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_array_stream_finish(stream, &kItemMap, &item, ignore, nullptr, &error),
            BRINDLE_OK);
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);

  EXPECT_EQ(brindle_array_stream_error(nullptr), nullptr);
  brindle_array_stream_close(nullptr);
}

}  // namespace
