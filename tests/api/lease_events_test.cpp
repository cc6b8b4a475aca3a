// The log events of lease operations: names, levels and identifying fields, for successes and
// for a failed precondition.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using stavo::test::DevServer;

struct Capture {
  std::vector<nlohmann::json> records;
  static void write(void *user, const char *record, size_t length) {
    static_cast<Capture *>(user)->records.push_back(
        nlohmann::json::parse(std::string(record, length)));
  }
  const nlohmann::json *find(const std::string &message) const {
    for (const auto &record : records) {
      if (record.value("message", "") == message) return &record;
    }
    return nullptr;
  }
};

TEST(LeaseEvents, OperationsLogTheirStartOutcomeAndIdentity) {
  DevServer server;
  Capture capture;
  ember_config logger_config;
  ember_default_config(&logger_config);
  logger_config.min_level = EMBER_LEVEL_TRACE;
  logger_config.write = &Capture::write;
  logger_config.write_user = &capture;
  ember_logger *logger = ember_new(&logger_config);
  ASSERT_NE(logger, nullptr);
  {
    ClientConfig config(server, false);
    config.config.logger = logger;
    sv_client *client = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &client, nullptr), SV_OK);
    Error error;
    sv_acquire_req req = lease_test::acquire_request("events/1", "logger");
    sv_lease *lease = nullptr;
    ASSERT_EQ(sv_acquire(client, &req, &lease, error.get()), SV_OK);
    lease_test::Order order{1, nullptr, 1};
    ASSERT_EQ(sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get()), SV_OK);
    sv_mutate_req mutate;
    sv_mutate_req_init(&mutate);
    const char *expressions[] = {"/quantity++"};
    mutate.mutations = expressions;
    mutate.mutation_count = 1;
    mutate.if_version = 999;
    mutate.has_if_version = 1;
    EXPECT_EQ(sv_lease_mutate(lease, &mutate, error.get()), SV_ERR_SERVER);
    ASSERT_EQ(sv_lease_release(lease, nullptr, error.get()), SV_OK);
    sv_client_close(client);
  }

  const auto *start = capture.find("client.acquire.start");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ((*start)["level"], "trace");
  EXPECT_EQ((*start)["owner"], "logger");
  EXPECT_EQ((*start)["ttl_seconds"], 30);
  const auto *acquired = capture.find("client.acquire.success");
  ASSERT_NE(acquired, nullptr);
  EXPECT_EQ((*acquired)["level"], "info");
  EXPECT_FALSE((*acquired)["lease_id"].get<std::string>().empty());
  EXPECT_EQ((*acquired)["sys"], "client.stavo");

  const auto *saved = capture.find("client.update.success");
  ASSERT_NE(saved, nullptr);
  EXPECT_EQ((*saved)["key"], "events/1");
  EXPECT_EQ((*saved)["content_type"], "application/json");
  EXPECT_GT((*saved)["version"].get<int64_t>(), 0);

  const auto *failed = capture.find("client.mutate.error");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ((*failed)["level"], "warn");
  EXPECT_EQ((*failed)["code"], SV_ERR_SERVER);
  EXPECT_EQ((*failed)["http_status"], 409);
  EXPECT_TRUE(failed->contains("txn_id"));
  EXPECT_TRUE(failed->contains("error"));
  EXPECT_NE(capture.find("client.mutate.start"), nullptr);
  EXPECT_EQ(capture.find("client.mutate.success"), nullptr);

  const auto *released = capture.find("client.release.success");
  ASSERT_NE(released, nullptr);
  EXPECT_EQ((*released)["released"], true);
  ember_destroy(logger);
}

}  // namespace
