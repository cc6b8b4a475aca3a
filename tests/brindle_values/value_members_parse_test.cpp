// Spooled and JSON value members filled by a mapped parse: capture, parse sinks, missing
// configuration, spilling of a large string with bounded memory, and allocation failures.
#include <gtest/gtest.h>

#include <string>

#include "brindle.h"
#include "test_allocator.h"
#include "values_test_util.h"

namespace {

using values_test::StringSink;
using values_test::TempDir;

struct Envelope {
  int64_t id;
  brindle_json_value payload;
  brindle_spooled body;
};

const brindle_spool_options kSmallSpool = {16, 0, nullptr};

const brindle_field kEnvelopeFields[] = {
    BRINDLE_DECL_I64(Envelope, id, "id", 0),
    BRINDLE_DECL_JSON_VALUE(Envelope, payload, "payload", 0),
    BRINDLE_DECL_SPOOLED(Envelope, body, "body", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kSmallSpool),
};
const brindle_map kEnvelopeMap = BRINDLE_MAP("envelope_json", Envelope, kEnvelopeFields);

// Records start zeroed: brindle_init releases members whose marker matches, and stack memory
// left by an earlier record at the same address can carry a stale marker.

// Parses into a record prepared by the caller (clear_destination 0 keeps its configuration).
brindle_status parse(Envelope *envelope, const std::string &json, brindle_error *error,
                     const brindle_allocator *allocator = nullptr) {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  options.allocator = allocator;
  return brindle_parse_buffer(&kEnvelopeMap, envelope, json.data(), json.size(), &options, error);
}

std::string spooled_text(brindle_spooled *spooled) {
  StringSink sink;
  EXPECT_EQ(brindle_spooled_write_to_sink(spooled, StringSink::write, &sink, nullptr), BRINDLE_OK);
  return sink.text;
}

TEST(ValueMembersParse, AJsonValueMemberWithoutConfigurationFailsTheParse) {
  Envelope envelope{};
  brindle_init(&kEnvelopeMap, &envelope);
  brindle_error error;
  EXPECT_EQ(parse(&envelope, R"({"id":1,"payload":[1]})", &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message,
               "JSON value parse requires a configured parse sink, parse visitor, or parse "
               "capture");
  // Without the key the member is never touched and the parse succeeds.
  EXPECT_EQ(parse(&envelope, R"({"id":1})", &error), BRINDLE_OK);
  brindle_cleanup(&kEnvelopeMap, &envelope);
}

TEST(ValueMembersParse, CaptureKeepsTheCompactValueAndSerializesLikeSetBuffer) {
  Envelope envelope{};
  brindle_init(&kEnvelopeMap, &envelope);
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&envelope.payload, nullptr), BRINDLE_OK);
  brindle_error error;
  ASSERT_EQ(parse(&envelope,
                  "{\"id\":7, \"payload\" : { \"a\" : [ 1, \"x\\u00e9\\n\" ],\n \"b\":null },"
                  "\"body\":\"spilled text beyond sixteen bytes\"}",
                  &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(envelope.id, 7);
  EXPECT_EQ(envelope.payload.kind, BRINDLE_JSON_VALUE_BUFFER);
  const std::string captured(envelope.payload.buffer, envelope.payload.length);
  EXPECT_EQ(captured, "{\"a\":[1,\"x\xC3\xA9\\n\"],\"b\":null}");
  // What set-buffer stores for the same text is the same.
  brindle_json_value again;
  brindle_json_value_init(&again);
  ASSERT_EQ(brindle_json_value_set_buffer(&again, captured.data(), captured.size(), nullptr),
            BRINDLE_OK);
  EXPECT_EQ(std::string(again.buffer, again.length), captured);
  brindle_json_value_cleanup(&again);

  EXPECT_EQ(brindle_spooled_spilled(&envelope.body), 1);
  EXPECT_EQ(spooled_text(&envelope.body), "spilled text beyond sixteen bytes");
  brindle_cleanup(&kEnvelopeMap, &envelope);
  EXPECT_EQ(envelope.payload.kind, BRINDLE_JSON_VALUE_NONE);
}

TEST(ValueMembersParse, ParseSinkReceivesTheCompactText) {
  Envelope envelope{};
  brindle_init(&kEnvelopeMap, &envelope);
  StringSink sink;
  ASSERT_EQ(brindle_json_value_set_parse_sink(&envelope.payload, StringSink::write, &sink, nullptr),
            BRINDLE_OK);
  brindle_error error;
  ASSERT_EQ(parse(&envelope, R"({"payload": [ true , { "k" : "v" } ] , "id" : 2})", &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(sink.text, R"([true,{"k":"v"}])");
  EXPECT_EQ(envelope.payload.kind, BRINDLE_JSON_VALUE_NONE);
  brindle_cleanup(&kEnvelopeMap, &envelope);
}

TEST(ValueMembersParse, NamedSpillFilesAreRemovedByCleanup) {
  TempDir dir;
  const brindle_spool_options options = {4, 0, dir.path().c_str()};
  const brindle_field fields[] = {
      BRINDLE_DECL_SPOOLED(Envelope, body, "body", BRINDLE_FIELD_SPOOLED_TEXT, 0, &options),
  };
  const brindle_map map = BRINDLE_MAP("spool_json", Envelope, fields);
  Envelope envelope{};
  brindle_error error;
  ASSERT_EQ(brindle_parse_cstr(&map, &envelope, R"({"body":"0123456789"})", nullptr, &error),
            BRINDLE_OK)
      << error.message;
  EXPECT_EQ(dir.entries().size(), 1u);
  EXPECT_EQ(spooled_text(&envelope.body), "0123456789");
  brindle_cleanup(&map, &envelope);
  EXPECT_TRUE(dir.entries().empty());
}

// A document {"body":"<length bytes>"} generated on the fly.
struct SpoolDocument {
  size_t length;
  size_t produced = 0;
  int stage = 0;
  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    auto *self = static_cast<SpoolDocument *>(user);
    static const char kHead[] = "{\"body\":\"";
    brindle_read_result result{};
    if (self->stage == 0) {
      std::memcpy(buffer, kHead, sizeof(kHead) - 1);
      result.bytes = sizeof(kHead) - 1;
      self->stage = 1;
    } else if (self->stage == 1) {
      size_t n = self->length - self->produced;
      if (n > capacity) n = capacity;
      std::memset(buffer, 'b', n);
      self->produced += n;
      result.bytes = n;
      if (self->produced == self->length) self->stage = 2;
    } else if (self->stage == 2) {
      std::memcpy(buffer, "\"}", 2);
      result.bytes = 2;
      self->stage = 3;
    } else {
      result.eof = 1;
    }
    return result;
  }
};

TEST(ValueMembersParse, HundredMegabyteStringSpillsWithABoundedPrefix) {
  constexpr size_t kLength = 100u * 1024 * 1024;
  const brindle_spool_options options = {65536, 0, nullptr};
  const brindle_field fields[] = {
      BRINDLE_DECL_SPOOLED(Envelope, body, "body", BRINDLE_FIELD_SPOOLED_TEXT, 0, &options),
  };
  const brindle_map map = BRINDLE_MAP("spool_json", Envelope, fields);
  stavo_test::TestAllocator allocator;
  brindle_parse_options parse_options = brindle_default_parse_options();
  parse_options.allocator = allocator.get();
  SpoolDocument document{kLength};
  Envelope envelope{};
  brindle_error error;
  ASSERT_EQ(
      brindle_parse_reader(&map, &envelope, SpoolDocument::read, &document, &parse_options, &error),
      BRINDLE_OK)
      << error.message;
  EXPECT_EQ(brindle_spooled_size(&envelope.body), kLength);
  EXPECT_EQ(envelope.body.prefix_length, 65536u);
  EXPECT_LE(allocator.stats().peak_bytes, 65536u + 8192u);
  brindle_cleanup(&map, &envelope);
  EXPECT_EQ(allocator.stats().current_bytes, 0u);
}

TEST(ValueMembersParse, EveryAllocationFailureDuringCaptureLeavesNothingBehind) {
  const std::string json =
      R"({"id":3,"payload":{"list":[")" + std::string(2000, 'p') + R"("]},"body":"tiny"})";
  bool succeeded = false;
  for (uint64_t nth = 1; nth < 50 && !succeeded; ++nth) {
    stavo_test::TestAllocator allocator;
    Envelope envelope{};
    brindle_init(&kEnvelopeMap, &envelope);
    ASSERT_EQ(brindle_json_value_enable_parse_capture(&envelope.payload, nullptr), BRINDLE_OK);
    allocator.fail_once(nth);
    brindle_error error;
    const brindle_status status = parse(&envelope, json, &error, allocator.get());
    if (status == BRINDLE_OK) {
      succeeded = true;
      EXPECT_EQ(std::string(envelope.payload.buffer, envelope.payload.length),
                R"({"list":[")" + std::string(2000, 'p') + R"("]})");
    } else {
      EXPECT_EQ(status, BRINDLE_ALLOCATION_FAILED) << nth << " " << error.message;
    }
    brindle_cleanup(&kEnvelopeMap, &envelope);
    EXPECT_EQ(allocator.stats().current_bytes, 0u) << nth;
    EXPECT_EQ(allocator.live_blocks(), 0) << nth;
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
