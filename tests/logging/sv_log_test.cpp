// The logging helpers: null safety, null fields, the shared no-op logger and child ownership.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/engine/sv_log.h"

namespace {

struct Capture {
  std::vector<nlohmann::json> records;
  static void write(void *user, const char *record, size_t length) {
    static_cast<Capture *>(user)->records.push_back(
        nlohmann::json::parse(std::string(record, length)));
  }
};

ember_logger *capture_logger(Capture &capture) {
  ember_config config;
  ember_default_config(&config);
  config.min_level = EMBER_LEVEL_TRACE;
  config.write = &Capture::write;
  config.write_user = &capture;
  return ember_new(&config);
}

struct FakeError {
  int32_t code;
  int64_t http_status;
  char *message;
  char *server_error_code;
};

}  // namespace

TEST(LogHelpers, NullLoggerOrMessageIsANoOp) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  const ember_field field = sv_log_str_field("k", "v");
  sv_log_trace(nullptr, "m", &field, 1);
  sv_log_debug(nullptr, "m", &field, 1);
  sv_log_info(nullptr, "m", &field, 1);
  sv_log_warn(nullptr, "m", &field, 1);
  sv_log_error(nullptr, "m", &field, 1);
  sv_log_info(logger, nullptr, &field, 1);
  EXPECT_TRUE(capture.records.empty());
  sv_log_trace(logger, "t", &field, 1);
  sv_log_error(logger, "e", nullptr, 0);
  ASSERT_EQ(capture.records.size(), 2u);
  EXPECT_EQ(capture.records[0]["level"], "trace");
  EXPECT_EQ(capture.records[0]["k"], "v");
  EXPECT_EQ(capture.records[1]["level"], "error");
  ember_destroy(logger);
}

TEST(LogHelpers, NullStringsAndErrorsBecomeNullFields) {
  Capture capture;
  ember_logger *logger = capture_logger(capture);
  char message[] = "connection refused";
  FakeError error{3, 503, message, nullptr};
  FakeError no_message{5, 409, nullptr, nullptr};
  const ember_field fields[] = {sv_log_str_field("s", nullptr),
                                sv_log_error_field("error", &error),
                                sv_log_error_field("none", nullptr),
                                sv_log_error_field("empty", &no_message),
                                sv_log_http_status_field(&error),
                                sv_log_code_field(&error),
                                sv_log_bool_field("flag", 5),
                                sv_log_u64_field("u", 18446744073709551615ULL),
                                sv_log_i64_field("i", -1)};
  sv_log_info(logger, "fields", fields, sizeof(fields) / sizeof(fields[0]));
  ASSERT_EQ(capture.records.size(), 1u);
  const nlohmann::json &record = capture.records[0];
  EXPECT_TRUE(record["s"].is_null());
  EXPECT_EQ(record["error"], "connection refused");
  EXPECT_TRUE(record["none"].is_null());
  EXPECT_TRUE(record["empty"].is_null());
  EXPECT_EQ(record["http_status"], 503);
  EXPECT_EQ(record["code"], 3);
  EXPECT_EQ(record["flag"], true);
  EXPECT_EQ(record["u"].get<uint64_t>(), 18446744073709551615ULL);
  EXPECT_EQ(record["i"], -1);

  const ember_field null_record[] = {sv_log_http_status_field(nullptr), sv_log_code_field(nullptr)};
  EXPECT_EQ(null_record[0].type, EMBER_FIELD_NULL);
  EXPECT_STREQ(null_record[0].key, "http_status");
  EXPECT_EQ(null_record[1].type, EMBER_FIELD_NULL);
  EXPECT_STREQ(null_record[1].key, "code");
  ember_destroy(logger);
}

TEST(LogHelpers, CodeFieldWidensWithSign) {
  FakeError error{-7, 0, nullptr, nullptr};
  const ember_field field = sv_log_code_field(&error);
  EXPECT_EQ(field.type, EMBER_FIELD_I64);
  EXPECT_EQ(field.value.i64, -7);
}

TEST(NoopLogger, CreatedOnceAcrossThreadsAndSilent) {
  std::vector<ember_logger *> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = sv_log_noop_logger(); });
  }
  for (auto &thread : threads)
    thread.join();
  const std::set<ember_logger *> distinct(seen.begin(), seen.end());
  ASSERT_EQ(distinct.size(), 1u);
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(ember_min_level(seen[0]), 127);
  // Logging through it is safe and does nothing observable.
  sv_log_error(seen[0], "dropped", nullptr, 0);
}

TEST(ClientLogger, NoBaseMeansTheNoopLoggerWhichIsNeverOwned) {
  ember_logger *logger = sv_log_client_logger(nullptr, 0);
  EXPECT_EQ(logger, sv_log_noop_logger());
  EXPECT_FALSE(sv_log_logger_is_owned(logger, nullptr));
  EXPECT_EQ(sv_log_client_logger(nullptr, 1), sv_log_noop_logger());
}

TEST(ClientLogger, KeepAsIsReturnsTheBaseItself) {
  Capture capture;
  ember_logger *base = capture_logger(capture);
  ember_logger *logger = sv_log_client_logger(base, 1);
  EXPECT_EQ(logger, base);
  EXPECT_FALSE(sv_log_logger_is_owned(logger, base));
  sv_log_info(logger, "plain", nullptr, 0);
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_FALSE(capture.records[0].contains("sys"));
  ember_destroy(base);
}

TEST(ClientLogger, ChildAddsSysAndIsOwnedByItsCreator) {
  Capture capture;
  ember_logger *base = capture_logger(capture);
  ember_logger *child = sv_log_client_logger(base, 0);
  ASSERT_NE(child, nullptr);
  ASSERT_NE(child, base);
  EXPECT_TRUE(sv_log_logger_is_owned(child, base));
  sv_log_info(child, "client.init", nullptr, 0);
  child->destroy(child);  // the owner destroys its child once; the base lives on
  sv_log_info(base, "base still works", nullptr, 0);
  ASSERT_EQ(capture.records.size(), 2u);
  EXPECT_EQ(capture.records[0]["sys"], "client.stavo");
  EXPECT_FALSE(capture.records[1].contains("sys"));
  ember_destroy(base);
}
