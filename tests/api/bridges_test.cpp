// The bridges between public sources and sinks and the engine's reader, writer and reset
// callbacks.
#include <gtest/gtest.h>

#include <string>

#include "api_test_support.h"

namespace {

using api_test::Error;

// The bridges' context: a record whose first member is the source or sink.
struct SourceContext {
  sv_source *source;
  int other_state;
};
struct SinkContext {
  sv_sink *sink;
};

struct EngineError {
  sv_engine_error record{};
  EngineError() { sv_engine_error_init(&record); }
  ~EngineError() { sv_engine_error_cleanup(&record); }
  std::string message() const { return record.message != nullptr ? record.message : "<null>"; }
};

size_t failing_read(void *, char *, size_t, sv_error *error) {
  sv_error_set(error, SV_ERR_NOMEM, 0, "cannot read payload", "disk detail", nullptr, nullptr);
  return 0;
}

TEST(ReadBridge, ReadsTheSourceAndTurnsFailuresIntoTransportErrors) {
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_memory("payload", 7, &source, error.get()), SV_OK);
  SourceContext context{source, 0};
  char buffer[16];
  EngineError engine;
  EXPECT_EQ(sv_engine_read_bridge(&context, buffer, 4, &engine.record), 4u);
  EXPECT_EQ(sv_engine_read_bridge(&context, buffer + 4, 12, &engine.record), 3u);
  EXPECT_EQ(sv_engine_read_bridge(&context, buffer, 12, &engine.record), 0u);
  EXPECT_EQ(engine.record.code, SV_OK);
  EXPECT_EQ(std::string(buffer, 4), "payl");
  sv_source_close(source);

  ASSERT_EQ(sv_source_from_callbacks(failing_read, nullptr, nullptr, nullptr, &source, error.get()),
            SV_OK);
  context.source = source;
  EXPECT_EQ(sv_engine_read_bridge(&context, buffer, 12, &engine.record), 0u);
  EXPECT_EQ(engine.record.code, SV_ERR_TRANSPORT);
  EXPECT_EQ(engine.message(), "cannot read payload");
  EXPECT_STREQ(engine.record.detail, "disk detail");
  sv_source_close(source);
}

struct RefusingSink {
  sv_sink base{};
  bool with_message = true;
  RefusingSink() {
    base.write = [](sv_sink *sink, const char *, size_t, sv_error *error) -> int {
      if (reinterpret_cast<RefusingSink *>(sink)->with_message) {
        sv_error_set(error, SV_ERR_INVALID, 0, "sink is closed", nullptr, nullptr, nullptr);
      }
      return 0;
    };
    base.close = [](sv_sink *) {};
  }
};

TEST(WriteBridge, WritesToTheSinkAndReportsItsFailure) {
  sv_sink *sink = nullptr;
  Error error;
  ASSERT_EQ(sv_sink_to_memory(&sink, error.get()), SV_OK);
  SinkContext context{sink};
  EngineError engine;
  EXPECT_NE(sv_engine_write_bridge(&context, "abc", 3, &engine.record), 0);
  EXPECT_NE(sv_engine_write_bridge(&context, "de", 2, &engine.record), 0);
  const char *bytes = nullptr;
  size_t length = 0;
  ASSERT_EQ(sv_sink_memory_bytes(sink, &bytes, &length), 0);
  EXPECT_EQ(std::string(bytes, length), "abcde");
  sv_sink_close(sink);

  RefusingSink refusing;
  context.sink = &refusing.base;
  EXPECT_EQ(sv_engine_write_bridge(&context, "x", 1, &engine.record), 0);
  EXPECT_EQ(engine.record.code, SV_ERR_TRANSPORT);
  EXPECT_EQ(engine.message(), "sink is closed");

  SinkContext empty{nullptr};
  EXPECT_EQ(sv_engine_write_bridge(&empty, "x", 1, &engine.record), 0);
  EXPECT_EQ(engine.record.code, SV_ERR_INVALID);
}

TEST(ResetBridge, RewindsOrExplainsWhyItCannot) {
  EngineError engine;
  EXPECT_EQ(sv_engine_reset_bridge(nullptr, &engine.record), SV_ERR_INVALID);
  EXPECT_EQ(engine.message(), "payload reset requires source");
  SourceContext empty{nullptr, 0};
  EXPECT_EQ(sv_engine_reset_bridge(&empty, &engine.record), SV_ERR_INVALID);
  EXPECT_EQ(engine.message(), "payload reset requires source");

  sv_source bare{};
  bare.read = [](sv_source *, char *, size_t, sv_error *) -> size_t { return 0; };
  SourceContext without_reset{&bare, 0};
  EXPECT_EQ(sv_engine_reset_bridge(&without_reset, &engine.record), SV_ERR_INVALID);
  EXPECT_EQ(engine.message(), "payload source is not rewindable");

  Error error;
  sv_source *fd_source = nullptr;
  ASSERT_EQ(sv_source_from_fd(0, &fd_source, error.get()), SV_OK);
  SourceContext fd_context{fd_source, 0};
  EXPECT_EQ(sv_engine_reset_bridge(&fd_context, &engine.record), SV_ERR_INVALID);
  EXPECT_EQ(engine.record.code, SV_ERR_TRANSPORT);
  EXPECT_EQ(engine.message(), "source is not resettable");
  sv_source_close(fd_source);

  sv_source *memory = nullptr;
  ASSERT_EQ(sv_source_from_memory("again", 5, &memory, error.get()), SV_OK);
  SourceContext memory_context{memory, 0};
  char buffer[8];
  EXPECT_EQ(sv_engine_read_bridge(&memory_context, buffer, sizeof(buffer), &engine.record), 5u);
  sv_engine_error_reset(&engine.record);
  EXPECT_EQ(sv_engine_reset_bridge(&memory_context, &engine.record), SV_OK);
  EXPECT_EQ(engine.record.code, SV_OK);
  EXPECT_EQ(sv_engine_read_bridge(&memory_context, buffer, sizeof(buffer), &engine.record), 5u);
  sv_source_close(memory);
}

}  // namespace
