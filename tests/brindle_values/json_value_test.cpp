// Raw JSON values: initialisation, set-buffer compaction and its failures, the content setters,
// parse configurations, writing every kind of content, and rewindability.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "json/core/values_internal.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::FilledPipe;
using values_test::PieceReader;
using values_test::StringSink;
using values_test::TempDir;

struct Written {
  brindle_status status;
  std::string text;
  std::string message;
};

Written write_value(const brindle_json_value *value) {
  StringSink sink;
  brindle_error error;
  const brindle_status status =
      brindle_json_value_write_to_sink(value, StringSink::write, &sink, &error);
  return {status, sink.text, error.message};
}

Written transcode(const brindle_json_value *value, int pretty, size_t depth) {
  StringSink sink;
  brindle_error error;
  brindle_error_init(&error);
  const brindle_status status =
      brindle__json_transcode(value, StringSink::write, &sink, pretty, depth, &error);
  return {status, sink.text, error.message};
}

void expect_default_limits(const brindle_value_limits &limits) {
  EXPECT_EQ(limits.max_depth, 64u);
  EXPECT_EQ(limits.max_string_bytes, 1048576u);
  EXPECT_EQ(limits.max_number_bytes, 256u);
  EXPECT_EQ(limits.max_key_bytes, 65536u);
  EXPECT_EQ(limits.max_total_bytes, 0u);
}

TEST(JsonValue, InitGivesAnEmptyValueWithDefaults) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(value.buffer, nullptr);
  EXPECT_EQ(value.fd, -1);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_NONE);
  expect_default_limits(value.limits);
  EXPECT_TRUE(brindle__json_value_marker_ok(&value));
  EXPECT_EQ(write_value(&value).text, "null");
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 1);

  stavo_test::TestAllocator allocator;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  EXPECT_EQ(value.allocator.ctx, allocator.get()->ctx);
  brindle_allocator partial{};
  partial.malloc = allocator.get()->malloc;
  brindle_json_value_init_with_allocator(&value, &partial);
  EXPECT_EQ(value.allocator.ctx, nullptr);  // the default instead of an incomplete allocator
  EXPECT_NE(value.allocator.malloc, nullptr);
  EXPECT_NE(value.allocator.free, nullptr);
  brindle_json_value copy = value;
  EXPECT_FALSE(brindle__json_value_marker_ok(&copy));
}

TEST(JsonValueSetBuffer, StoresTheCompactForm) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  const std::string text = " {\n  \"a\" : [ 1, 2 ] ,\n  \"b\" : \"x\\u0079\" }\n ";
  brindle_error error;
  ASSERT_EQ(brindle_json_value_set_buffer(&value, text.data(), text.size(), &error), BRINDLE_OK);
  EXPECT_EQ(error.code, BRINDLE_OK);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_BUFFER);
  EXPECT_EQ(std::string(value.buffer, value.length), R"({"a":[1,2],"b":"xy"})");
  EXPECT_EQ(value.buffer[value.length], '\0');
  EXPECT_EQ(write_value(&value).text, R"({"a":[1,2],"b":"xy"})");
  EXPECT_GT(allocator.stats().current_bytes, 0u);
  brindle_json_value_cleanup(&value);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(JsonValueSetBuffer, FailureLeavesThePreviousContent) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "[1]", 3, nullptr), BRINDLE_OK);
  char *stored = value.buffer;
  brindle_error error;
  EXPECT_EQ(brindle_json_value_set_buffer(&value, "1 2", 3, &error), BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "embedded JSON must contain exactly one value");
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_BUFFER);
  EXPECT_EQ(value.buffer, stored);
  EXPECT_STREQ(value.buffer, "[1]");
  EXPECT_EQ(brindle_json_value_set_buffer(&value, "", 0, &error), BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "expected JSON value");
  EXPECT_EQ(brindle_json_value_set_buffer(&value, "{\"a\":}", 6, &error), BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "expected JSON value");
  EXPECT_EQ(error.offset, 5u);  // the bytes before the fault
  EXPECT_EQ(brindle_json_value_set_buffer(&value, "[1,\n 2 x]", 9, &error), BRINDLE_INVALID_JSON);
  EXPECT_EQ(error.offset, 7u);
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  EXPECT_EQ(brindle_json_value_set_buffer(&value, deep.data(), deep.size(), &error),
            BRINDLE_OVERFLOW);
  EXPECT_STREQ(value.buffer, "[1]");

  // A parse configuration survives a failed set-buffer, and is replaced by a successful one.
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&value, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_set_buffer(&value, "tru", 3, &error), BRINDLE_INVALID_JSON);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_CAPTURE);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, " null ", 6, &error), BRINDLE_OK);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_NONE);
  EXPECT_STREQ(value.buffer, "null");
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueSetBuffer, EveryAllocationFailureLeavesTheValueAndNoLeak) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "\"old\"", 5, nullptr), BRINDLE_OK);
  const uint64_t baseline = allocator.stats().current_bytes;
  const std::string text = "[\"" + std::string(10000, 'v') + "\", " + std::string(600, '7') + "]";
  bool succeeded = false;
  for (uint64_t nth = 1; nth < 100 && !succeeded; ++nth) {
    allocator.fail_once(nth);
    brindle_error error;
    const brindle_status status =
        brindle_json_value_set_buffer(&value, text.data(), text.size(), &error);
    allocator.fail_from(0);
    if (status == BRINDLE_OK) {
      succeeded = true;
      EXPECT_GT(nth, 2u);  // the buffer grew more than once on the way
      break;
    }
    EXPECT_EQ(status, BRINDLE_ALLOCATION_FAILED) << nth;
    EXPECT_EQ(error.code, BRINDLE_ALLOCATION_FAILED);
    EXPECT_STREQ(value.buffer, "\"old\"") << nth;
    EXPECT_EQ(allocator.stats().current_bytes, baseline) << nth;
  }
  ASSERT_TRUE(succeeded);
  EXPECT_EQ(std::string(value.buffer, value.length),
            "[\"" + std::string(10000, 'v') + "\"," + std::string(600, '7') + "]");
  brindle_json_value_cleanup(&value);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(JsonValueSetters, ArgumentsAndMessages) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  brindle_error error;
  EXPECT_EQ(brindle_json_value_set_buffer(&value, nullptr, 0, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and buffer are required");
  EXPECT_EQ(brindle_json_value_set_buffer(nullptr, "1", 1, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(brindle_json_value_set_reader(&value, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and reader are required");
  EXPECT_EQ(brindle_json_value_set_file(&value, nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and FILE* are required");
  EXPECT_EQ(brindle_json_value_set_fd(&value, -2, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and non-negative fd are required");
  EXPECT_EQ(brindle_json_value_set_path(&value, "", &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and path are required");
  EXPECT_EQ(brindle_json_value_set_parse_sink(&value, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and parse sink are required");
  EXPECT_EQ(brindle_json_value_set_parse_visitor(&value, nullptr, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle and parse visitor are required");
  EXPECT_EQ(brindle_json_value_enable_parse_capture(nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle is required");
  EXPECT_EQ(brindle_json_value_write_to_sink(&value, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "sink is required");
  EXPECT_EQ(brindle_json_value_write_to_sink(nullptr, StringSink::write, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle is required");
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(brindle_json_value_is_rewindable(nullptr), 0);
  brindle_json_value_cleanup(nullptr);
  brindle_json_value_init(nullptr);
}

TEST(JsonValueSetters, PathCopyFailureLeavesTheValue) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "7", 1, nullptr), BRINDLE_OK);
  allocator.fail_once(1);
  brindle_error error;
  EXPECT_EQ(brindle_json_value_set_path(&value, "/tmp/x.json", &error), BRINDLE_ALLOCATION_FAILED);
  EXPECT_STREQ(error.message, "failed to duplicate JSON value path");
  EXPECT_STREQ(value.buffer, "7");
  ASSERT_EQ(brindle_json_value_set_path(&value, "/tmp/x.json", &error), BRINDLE_OK);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_PATH);
  EXPECT_EQ(value.buffer, nullptr);
  EXPECT_EQ(allocator.stats().current_bytes, sizeof("/tmp/x.json"));
  brindle_json_value_cleanup(&value);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(JsonValueSetters, ParseConfigurationsReplaceContentAndSetLimits) {
  stavo_test::TestAllocator allocator;
  brindle_json_value value;
  brindle_json_value_init_with_allocator(&value, allocator.get());
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "[1,2]", 5, nullptr), BRINDLE_OK);
  const brindle_value_visitor visitor{};
  const brindle_value_limits limits{0, 5, 0, 0, 7};
  int user = 0;
  ASSERT_EQ(brindle_json_value_set_parse_visitor(&value, &visitor, &user, &limits, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);  // the content was freed
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_VISITOR);
  EXPECT_EQ(value.visitor, &visitor);
  EXPECT_EQ(value.visitor_user, &user);
  EXPECT_EQ(value.limits.max_depth, 64u);
  EXPECT_EQ(value.limits.max_string_bytes, 5u);
  EXPECT_EQ(value.limits.max_number_bytes, 256u);
  EXPECT_EQ(value.limits.max_key_bytes, 65536u);
  EXPECT_EQ(value.limits.max_total_bytes, 7u);
  ASSERT_EQ(brindle_json_value_set_parse_visitor(&value, &visitor, nullptr, nullptr, nullptr),
            BRINDLE_OK);
  expect_default_limits(value.limits);

  ASSERT_EQ(brindle_json_value_set_parse_sink(&value, StringSink::write, &user, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_SINK);
  EXPECT_EQ(value.visitor, nullptr);
  EXPECT_EQ(value.parse_sink_user, &user);
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&value, nullptr), BRINDLE_OK);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_CAPTURE);
  EXPECT_EQ(value.parse_sink, nullptr);
  EXPECT_EQ(value.allocator.ctx, allocator.get()->ctx);  // the allocator is kept throughout

  // A content setter clears the parse configuration.
  ASSERT_EQ(brindle_json_value_set_fd(&value, 0, nullptr), BRINDLE_OK);
  EXPECT_EQ(value.parse_mode, BRINDLE_JSON_PARSE_NONE);
  brindle_json_value_reset(&value);
  EXPECT_EQ(value.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_EQ(value.fd, -1);
}

TEST(JsonValueCleanup, ACopyDoesNotFreeTheOriginalsBuffers) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "{\"k\":1}", 7, nullptr), BRINDLE_OK);
  brindle_json_value copy = value;
  brindle_json_value_cleanup(&copy);
  EXPECT_EQ(copy.kind, BRINDLE_JSON_VALUE_NONE);
  EXPECT_TRUE(brindle__json_value_marker_ok(&copy));
  EXPECT_EQ(write_value(&value).text, "{\"k\":1}");  // still intact
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueCleanup, AMovedRecordFreesItsBuffersAtItsNewAddress) {
  stavo_test::TestAllocator allocator;
  alignas(brindle_json_value) unsigned char first[sizeof(brindle_json_value)];
  alignas(brindle_json_value) unsigned char second[sizeof(brindle_json_value)];
  auto *original = reinterpret_cast<brindle_json_value *>(first);
  brindle_json_value_init_with_allocator(original, allocator.get());
  ASSERT_EQ(brindle_json_value_set_buffer(original, "[true]", 6, nullptr), BRINDLE_OK);
  std::memcpy(second, first, sizeof(first));
  auto *moved = reinterpret_cast<brindle_json_value *>(second);
  brindle__json_value_moved(moved, first);
  brindle_json_value_cleanup(moved);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(JsonValueWrite, FileDescriptorAndPathAreReadFromTheStartEveryTime) {
  TempDir dir;
  const std::string path = dir.file("value.json");
  values_test::write_file(path, "\n  { \"list\" : [ 1 , \"two\" ] }  \n");
  const std::string compact = R"({"list":[1,"two"]})";
  brindle_json_value value;
  brindle_json_value_init(&value);

  ASSERT_EQ(brindle_json_value_set_path(&value, path.c_str(), nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 1);
  EXPECT_EQ(write_value(&value).text, compact);
  EXPECT_EQ(write_value(&value).text, compact);

  FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(brindle_json_value_set_file(&value, file, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 1);
  EXPECT_EQ(write_value(&value).text, compact);
  EXPECT_EQ(write_value(&value).text, compact);
  std::fclose(file);

  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(brindle_json_value_set_fd(&value, fd, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 1);
  EXPECT_EQ(write_value(&value).text, compact);
  EXPECT_EQ(write_value(&value).text, compact);
  close(fd);
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueWrite, AReaderValueCanBeWrittenOnce) {
  PieceReader reader;
  reader.data = "[ true , null ]";
  reader.piece = 2;
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_reader(&value, PieceReader::read, &reader, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 0);
  EXPECT_EQ(write_value(&value).text, "[true,null]");
  const Written again = write_value(&value);
  EXPECT_EQ(again.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(again.message, "expected JSON value");

  PieceReader failing;
  failing.data = "[1,2,3]";
  failing.error_at_call = 1;
  failing.error_value = 13;
  ASSERT_EQ(brindle_json_value_set_reader(&value, PieceReader::read, &failing, nullptr),
            BRINDLE_OK);
  StringSink sink;
  brindle_error error;
  EXPECT_EQ(brindle_json_value_write_to_sink(&value, StringSink::write, &sink, &error),
            BRINDLE_CALLBACK_FAILED);
  EXPECT_STREQ(error.message, "reader callback failed");
  EXPECT_EQ(error.system_errno, 13);
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueWrite, FailuresOfEachKind) {
  TempDir dir;
  brindle_json_value value;
  brindle_json_value_init(&value);
  const std::string missing = dir.file("none.json");
  ASSERT_EQ(brindle_json_value_set_path(&value, missing.c_str(), nullptr), BRINDLE_OK);
  Written out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(out.message, "failed to open JSON value path '" + missing + "'");

  FilledPipe pipe("[1]");
  ASSERT_EQ(brindle_json_value_set_fd(&value, pipe.read_fd, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 0);
  out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(out.message, "failed to rewind JSON value fd");
  FILE *file = fdopen(dup(pipe.read_fd), "rb");
  ASSERT_EQ(brindle_json_value_set_file(&value, file, nullptr), BRINDLE_OK);
  EXPECT_EQ(brindle_json_value_is_rewindable(&value), 0);
  out = write_value(&value);
  EXPECT_EQ(out.message, "failed to rewind JSON value FILE*");
  std::fclose(file);

  const std::string two = dir.file("two.json");
  values_test::write_file(two, "{} {}");
  ASSERT_EQ(brindle_json_value_set_path(&value, two.c_str(), nullptr), BRINDLE_OK);
  out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(out.message, "embedded JSON must contain exactly one value");

  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(brindle_json_value_set_fd(&value, fd, nullptr), BRINDLE_OK);
  out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(out.message, "failed to read JSON value fd");
  close(fd);
  FILE *unreadable = std::fopen(dir.file("w.json").c_str(), "wb");
  ASSERT_EQ(brindle_json_value_set_file(&value, unreadable, nullptr), BRINDLE_OK);
  out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_IO_ERROR);
  EXPECT_EQ(out.message, "failed to read JSON value stream");
  std::fclose(unreadable);

  brindle_json_value_cleanup(&value);
  value.kind = 9;
  out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_INTERNAL_ERROR);
  EXPECT_EQ(out.message, "unsupported JSON value kind");
}

TEST(JsonValueWrite, LimitsOfTheValueApplyToItsContent) {
  TempDir dir;
  const std::string path = dir.file("deep.json");
  values_test::write_file(path, std::string(70, '[') + std::string(70, ']'));
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_path(&value, path.c_str(), nullptr), BRINDLE_OK);
  Written out = write_value(&value);
  EXPECT_EQ(out.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(out.message, "JSON value nesting exceeds maximum depth");
  value.limits.max_depth = 100;
  EXPECT_EQ(write_value(&value).status, BRINDLE_OK);
  value.limits.max_total_bytes = 139;
  out = write_value(&value);
  EXPECT_EQ(out.message, "JSON value exceeds maximum total byte limit");
  value.limits.max_total_bytes = 140;
  EXPECT_EQ(write_value(&value).status, BRINDLE_OK);
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueTranscode, PrettyOutputContinuesTheCallersDepth) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, R"({"a":[1,{}],"b":"c"})", 20, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(transcode(&value, 0, 3).text, R"({"a":[1,{}],"b":"c"})");
  EXPECT_EQ(transcode(&value, 1, 0).text, "{\n  \"a\": [\n    1,\n    {}\n  ],\n  \"b\": \"c\"\n}");
  EXPECT_EQ(transcode(&value, 1, 1).text,
            "{\n    \"a\": [\n      1,\n      {}\n    ],\n    \"b\": \"c\"\n  }");
  brindle_json_value none;
  brindle_json_value_init(&none);
  EXPECT_EQ(transcode(&none, 1, 4).text, "null");
  brindle_error error;
  EXPECT_EQ(brindle__json_transcode(nullptr, StringSink::write, nullptr, 0, 0, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "JSON value handle is required");
  brindle_json_value_cleanup(&value);
}

TEST(JsonValueTranscode, SinkStatusesComeBack) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  ASSERT_EQ(brindle_json_value_set_buffer(&value, "[1]", 3, nullptr), BRINDLE_OK);
  StringSink sink;
  sink.fail_at = 1;
  sink.fail_status = BRINDLE_OVERFLOW;
  brindle_error error;
  EXPECT_EQ(brindle_json_value_write_to_sink(&value, StringSink::write, &sink, &error),
            BRINDLE_OVERFLOW);
  EXPECT_EQ(error.code, BRINDLE_OVERFLOW);
  const auto truncating = [](void *, const char *, size_t, brindle_error *) {
    return BRINDLE_TRUNCATED;
  };
  EXPECT_EQ(brindle_json_value_write_to_sink(&value, truncating, nullptr, &error),
            BRINDLE_TRUNCATED);
  EXPECT_EQ(error.truncated, 1);
  brindle_json_value_cleanup(&value);
}

}  // namespace
