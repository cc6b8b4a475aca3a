// libember: record format, escaping, levels, child loggers, outputs and thread safety.
#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ember.h"

namespace {

struct Capture {
  std::mutex mutex;
  std::vector<std::string> records;
  static void write(void *user, const char *record, size_t length) {
    auto *self = static_cast<Capture *>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->records.emplace_back(record, length);
  }
  nlohmann::json parsed(size_t i) {
    std::string text = records.at(i);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "each record ends its line";
    return nlohmann::json::parse(text);
  }
};

ember_logger *capture_logger(Capture &capture, int min_level = EMBER_LEVEL_TRACE) {
  ember_config config;
  ember_default_config(&config);
  config.min_level = min_level;
  config.write = &Capture::write;
  config.write_user = &capture;
  return ember_new(&config);
}

std::vector<std::string> keys_in_order(const std::string &record) {
  std::vector<std::string> keys;
  nlohmann::json::parser_callback_t collect = [&](int depth, nlohmann::json::parse_event_t event,
                                                  nlohmann::json &value) {
    if (event == nlohmann::json::parse_event_t::key && depth == 1) {
      keys.push_back(value.get<std::string>());
    }
    return true;
  };
  nlohmann::json parsed = nlohmann::json::parse(record, collect);
  EXPECT_TRUE(parsed.is_object());
  return keys;
}

}  // namespace

TEST(EmberRecord, MembersInOrderWithTypedValues) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  ASSERT_NE(logger, nullptr);
  const ember_field fields[] = {
      ember_str("s", "text"), ember_i64("i", INT64_MIN), ember_u64("u", UINT64_MAX),
      ember_bool("b", 7),     ember_null("n"),           ember_str("nulled", nullptr)};
  ember_info(logger, "hello", fields, 6);
  ASSERT_EQ(capture.records.size(), 1u);
  nlohmann::json record = capture.parsed(0);
  EXPECT_EQ(record["level"], "info");
  EXPECT_EQ(record["message"], "hello");
  EXPECT_EQ(record["s"], "text");
  EXPECT_EQ(record["i"].get<int64_t>(), INT64_MIN);
  EXPECT_EQ(record["u"].get<uint64_t>(), UINT64_MAX);
  EXPECT_EQ(record["b"], true);
  EXPECT_TRUE(record["n"].is_null());
  EXPECT_TRUE(record["nulled"].is_null());
  const std::string time = record["time"];
  EXPECT_EQ(time.size(), 24u) << time;  // 2026-12-08T14:13:01.123Z
  EXPECT_EQ(time.back(), 'Z');
  EXPECT_EQ(
      keys_in_order(capture.records[0]),
      (std::vector<std::string>{"time", "level", "message", "s", "i", "u", "b", "n", "nulled"}));
  ember_destroy(logger);
}

TEST(EmberRecord, AnyBytesGiveValidJson) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  std::string nasty = "quote\" back\\slash \b\f\n\r\t";
  for (int c = 1; c < 0x20; ++c)
    nasty.push_back(static_cast<char>(c));
  nasty += "\x7f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 /slash";
  const ember_field fields[] = {ember_str(nasty.c_str(), nasty.c_str())};
  ember_warn(logger, nasty.c_str(), fields, 1);
  nlohmann::json record = capture.parsed(0);
  EXPECT_EQ(record["message"], nasty);
  EXPECT_EQ(record[nasty], nasty);
  // Control bytes never appear raw inside the record line.
  const std::string &line = capture.records[0];
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    EXPECT_GE(static_cast<unsigned char>(line[i]), 0x20u) << "at " << i;
  }
  ember_destroy(logger);
}

TEST(EmberRecord, LargeRecordsAreWrittenWhole) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  std::string big(100000, 'x');
  big[5000] = '"';
  const ember_field fields[] = {ember_str("big", big.c_str())};
  ember_error(logger, "big", fields, 1);
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_EQ(capture.parsed(0)["big"], big);
  ember_destroy(logger);
}

TEST(EmberLevels, MinimumLevelFiltersAnd127SuppressesAll) {
  Capture capture;
  ember_logger *logger = capture_logger(capture, EMBER_LEVEL_WARN);
  ember_trace(logger, "t", nullptr, 0);
  ember_debug(logger, "d", nullptr, 0);
  ember_info(logger, "i", nullptr, 0);
  ember_warn(logger, "w", nullptr, 0);
  ember_error(logger, "e", nullptr, 0);
  ASSERT_EQ(capture.records.size(), 2u);
  EXPECT_EQ(capture.parsed(0)["level"], "warn");
  EXPECT_EQ(capture.parsed(1)["level"], "error");
  ember_destroy(logger);

  Capture silent;
  ember_logger *off = capture_logger(silent, EMBER_LEVEL_OFF);
  ember_error(off, "e", nullptr, 0);
  EXPECT_TRUE(silent.records.empty());
  EXPECT_EQ(ember_min_level(off), 127);
  ember_destroy(off);
}

TEST(EmberLevels, NullLoggerOrMessageWritesNothing) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  ember_info(nullptr, "x", nullptr, 0);
  ember_info(logger, nullptr, nullptr, 0);
  EXPECT_TRUE(capture.records.empty());
  EXPECT_EQ(ember_with(nullptr, nullptr, 0), nullptr);
  ember_destroy(nullptr);
  ember_destroy(logger);
}

TEST(EmberChild, FieldsAppearOnChildRecordsOnlyAndSurviveEitherDestroyOrder) {
  Capture capture;
  ember_logger *root = capture_logger(capture);
  std::string transient = "client.stavo";
  const ember_field sys[] = {ember_str("sys", transient.c_str())};
  ember_logger *child = ember_with(root, sys, 1);
  ASSERT_NE(child, nullptr);
  transient.assign("overwritten");  // the child copied what it needs
  const ember_field more[] = {ember_i64("worker", 3)};
  ember_logger *grandchild = ember_with(child, more, 1);
  ASSERT_NE(grandchild, nullptr);

  const ember_field call[] = {ember_str("k", "v")};
  ember_info(root, "root", call, 1);
  ember_info(child, "child", call, 1);
  ember_info(grandchild, "grandchild", call, 1);
  ASSERT_EQ(capture.records.size(), 3u);
  EXPECT_FALSE(capture.parsed(0).contains("sys"));
  EXPECT_EQ(capture.parsed(1)["sys"], "client.stavo");
  EXPECT_EQ(keys_in_order(capture.records[2]),
            (std::vector<std::string>{"time", "level", "message", "sys", "worker", "k"}));

  ember_destroy(child);  // the parent and the grandchild stay usable
  ember_info(root, "after child", nullptr, 0);
  ember_destroy(root);  // the grandchild keeps the shared output alive
  ember_info(grandchild, "after root", nullptr, 0);
  ASSERT_EQ(capture.records.size(), 5u);
  EXPECT_EQ(capture.parsed(4)["worker"], 3);
  grandchild->destroy(grandchild);  // the handle's own destroy operation
}

TEST(EmberOutput, FileStreamAndTimeCanBeOmitted) {
  FILE *file = tmpfile();
  ASSERT_NE(file, nullptr);
  ember_config config;
  ember_default_config(&config);
  config.file = file;
  config.include_time = 0;
  ember_logger *logger = ember_new(&config);
  ember_info(logger, "one", nullptr, 0);
  ember_info(logger, "two", nullptr, 0);
  ember_destroy(logger);
  rewind(file);
  char line[256];
  ASSERT_NE(fgets(line, sizeof(line), file), nullptr);
  EXPECT_STREQ(line, "{\"level\":\"info\",\"message\":\"one\"}\n");
  ASSERT_NE(fgets(line, sizeof(line), file), nullptr);
  EXPECT_STREQ(line, "{\"level\":\"info\",\"message\":\"two\"}\n");
  fclose(file);
}

TEST(EmberOutput, DefaultGoesToStderrWholeLines) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int saved = dup(STDERR_FILENO);
  ASSERT_GE(dup2(pipe_fds[1], STDERR_FILENO), 0);
  ember_logger *logger = ember_new(nullptr);
  const ember_field fields[] = {ember_u64("n", 42)};
  ember_info(logger, "to stderr", fields, 1);
  ember_debug(logger, "below default level", nullptr, 0);
  ember_destroy(logger);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(pipe_fds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0)
    out.append(buffer, n);
  close(pipe_fds[0]);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "exactly one record: " << out;
  nlohmann::json record = nlohmann::json::parse(out);
  EXPECT_EQ(record["message"], "to stderr");
  EXPECT_EQ(record["n"], 42);
}

TEST(EmberThreads, RecordsFromManyThreadsNeverInterleave) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  FILE *writer = fdopen(pipe_fds[1], "w");
  ASSERT_NE(writer, nullptr);
  setvbuf(writer, nullptr, _IOFBF, 64);  // tiny buffer: a record spans many stdio flushes
  ember_config config;
  ember_default_config(&config);
  config.file = writer;
  ember_logger *root = ember_new(&config);

  std::string collected;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0)
      collected.append(buffer, n);
  });
  constexpr int kThreads = 8;
  constexpr int kRecords = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([root, t] {
      const ember_field tag[] = {ember_i64("thread", t)};
      ember_logger *mine = ember_with(root, tag, 1);
      std::string payload(200 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kRecords; ++i) {
        const ember_field fields[] = {ember_i64("i", i), ember_str("payload", payload.c_str())};
        ember_info(mine, "tick", fields, 2);
      }
      ember_destroy(mine);
    });
  }
  for (auto &thread : threads)
    thread.join();
  ember_destroy(root);
  fclose(writer);
  reader.join();
  close(pipe_fds[0]);

  size_t lines = 0;
  std::vector<int> next(kThreads, 0);
  size_t start = 0;
  while (start < collected.size()) {
    size_t end = collected.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    nlohmann::json record = nlohmann::json::parse(collected.substr(start, end - start));
    const int t = record["thread"];
    EXPECT_EQ(record["i"], next[t]++) << "records of one thread keep their order";
    EXPECT_EQ(record["payload"].get<std::string>().size(), 200u + t * 37u);
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kRecords));
}

TEST(EmberFields, ConstructorsKeepKeyAndType) {
  const char *value = "v";
  ember_field s = ember_str("k", value);
  EXPECT_EQ(s.type, EMBER_FIELD_STR);
  EXPECT_EQ(s.value.str, value) << "no copy is made";
  EXPECT_EQ(ember_str("k", nullptr).type, EMBER_FIELD_NULL);
  EXPECT_EQ(ember_trusted_str("k", value).trusted, 1);
  EXPECT_EQ(ember_bool("k", 2).value.boolean, 1);
  EXPECT_STREQ(ember_level_name(EMBER_LEVEL_DEBUG), "debug");
  EXPECT_STREQ(ember_level_name(99), "unknown");
}
