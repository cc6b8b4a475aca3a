// Opening and closing engine clients: validation, normalised copies, the client logger and
// its ownership.
#include <gtest/gtest.h>

#include <string>

#include "client/engine/sv_log.h"
#include "engine_test_support.h"
#include "stavoc_engine.h"

namespace {

using engine_test::LogCapture;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

struct OpenResult {
  int status;
  sv_engine_client *client;
  std::string message;
};

OpenResult open_with(const sv_engine_client_config &config) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_client *client = nullptr;
  const int status = sv_engine_client_open(&config, &client, &error);
  OpenResult result{status, client, text(error.message)};
  EXPECT_EQ(error.code, status);
  sv_engine_error_reset(&error);
  return result;
}

TEST(EngineClientOpen, ConfigDefaults) {
  sv_engine_client_config config;
  config.timeout_ms = 5;
  sv_engine_client_config_init(&config);
  EXPECT_EQ(config.timeout_ms, 30000);
  EXPECT_EQ(config.prefer_http_2, 1);
  EXPECT_EQ(config.endpoints, nullptr);
  EXPECT_EQ(config.endpoint_count, 0u);
  EXPECT_EQ(config.disable_mtls, 0);
  EXPECT_EQ(config.response_limit_bytes, 0u);
  EXPECT_EQ(config.logger, nullptr);
  sv_engine_client_config_init(nullptr);
}

TEST(EngineClientOpen, RejectsMissingArgumentsEndpointsAndBundle) {
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_client *client = reinterpret_cast<sv_engine_client *>(0x1);
  EXPECT_EQ(sv_engine_client_open(nullptr, &client, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "config and out_client are required");
  EXPECT_EQ(sv_engine_client_open(&config, nullptr, &error), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "at least one endpoint is required");
  const char *endpoints[] = {"https://a"};
  config.endpoints = endpoints;
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "at least one endpoint is required");
  config.endpoint_count = 1;
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error), SV_ERR_INVALID);
  EXPECT_EQ(
      text(error.message),
      "client_bundle_source or client_bundle_path is required unless disable_mtls is enabled");
  config.client_bundle_path = "";
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error), SV_ERR_INVALID);
  EXPECT_EQ(
      text(error.message),
      "client_bundle_source or client_bundle_path is required unless disable_mtls is enabled");
  EXPECT_EQ(client, reinterpret_cast<sv_engine_client *>(0x1));  // untouched on failure
  // Without an error record the code is still returned.
  EXPECT_EQ(sv_engine_client_open(&config, &client, nullptr), SV_ERR_INVALID);
  sv_engine_error_reset(&error);
}

TEST(EngineClientOpen, NullEndpointEntryFailsTheCopy) {
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  const char *endpoints[] = {"http://a", nullptr};
  config.endpoints = endpoints;
  config.endpoint_count = 2;
  config.disable_mtls = 1;
  const OpenResult result = open_with(config);
  EXPECT_EQ(result.status, SV_ERR_NOMEM);
  EXPECT_EQ(result.message, "failed to copy endpoint");
  EXPECT_EQ(result.client, nullptr);
}

TEST(EngineClientOpen, CopiesAndNormalisesTheConfiguration) {
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  std::string first = "https://one.example:8443///";
  std::string second = "two:80";
  std::string third = "////";
  const char *endpoints[] = {first.c_str(), second.c_str(), third.c_str()};
  config.endpoints = endpoints;
  config.endpoint_count = 3;
  config.disable_mtls = 7;
  config.insecure_skip_verify = -1;
  config.prefer_http_2 = 0;
  config.disable_logger_sys_field = 3;
  config.timeout_ms = 0;
  std::string socket_path = "/tmp/sock";
  config.unix_socket_path = socket_path.c_str();
  OpenResult result = open_with(config);
  ASSERT_EQ(result.status, SV_OK) << result.message;
  sv_engine_client *client = result.client;
  first = "changed";
  socket_path = "changed";
  ASSERT_EQ(client->endpoint_count, 3u);
  EXPECT_STREQ(client->endpoints[0], "https://one.example:8443");
  EXPECT_STREQ(client->endpoints[1], "two:80");
  EXPECT_STREQ(client->endpoints[2], "");
  EXPECT_STREQ(client->unix_socket_path, "/tmp/sock");
  EXPECT_STREQ(client->default_namespace, "default");
  EXPECT_EQ(client->timeout_ms, 30000);
  EXPECT_EQ(client->disable_mtls, 1);
  EXPECT_EQ(client->insecure_skip_verify, 1);
  EXPECT_EQ(client->prefer_http_2, 0);
  EXPECT_EQ(client->disable_logger_sys_field, 1);
  EXPECT_EQ(client->response_limit_bytes, 1048576u);
  EXPECT_EQ(client->bundle.certificate, nullptr);
  EXPECT_EQ(client->allocator.malloc_fn, nullptr);
  EXPECT_EQ(client->cancel_check, nullptr);
  sv_engine_client_close(client);

  config.timeout_ms = -20;
  config.response_limit_bytes = 77;
  config.default_namespace = "tenant";
  config.unix_socket_path = nullptr;
  result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  EXPECT_EQ(result.client->timeout_ms, 30000);
  EXPECT_EQ(result.client->response_limit_bytes, 77u);
  EXPECT_STREQ(result.client->default_namespace, "tenant");
  EXPECT_EQ(result.client->unix_socket_path, nullptr);
  EXPECT_STREQ(sv_engine_effective_namespace(result.client, nullptr), "tenant");
  sv_engine_client_close(result.client);

  config.timeout_ms = 1;
  result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  EXPECT_EQ(result.client->timeout_ms, 1);
  sv_engine_client_close(result.client);
  sv_engine_client_close(nullptr);
}

int cancel_now(void *context) {
  return *static_cast<int *>(context);
}

TEST(EngineClientOpen, CancelCheckIsStored) {
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  const char *endpoints[] = {"http://a"};
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  OpenResult result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  int flag = 1;
  sv_engine_client_set_cancel_check(result.client, cancel_now, &flag);
  ASSERT_EQ(result.client->cancel_check, &cancel_now);
  EXPECT_EQ(result.client->cancel_check(result.client->cancel_context), 1);
  sv_engine_client_set_cancel_check(nullptr, cancel_now, &flag);
  sv_engine_client_close(result.client);
}

TEST(EngineClientLogger, ChildLoggerCarriesSysFieldAndIsDestroyedOnClose) {
  LogCapture capture;
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  const char *endpoints[] = {"http://a", "http://b"};
  config.endpoints = endpoints;
  config.endpoint_count = 2;
  config.disable_mtls = 1;
  config.default_namespace = "ns1";
  config.logger = capture.logger;
  OpenResult result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  sv_engine_client *client = result.client;
  EXPECT_EQ(client->base_logger, capture.logger);
  EXPECT_NE(client->logger, capture.logger);
  EXPECT_EQ(client->owns_logger, 1);
  EXPECT_EQ(sv_engine_client_logger(client), client->logger);
  const auto init = capture.with_message("client.init");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0]["level"], "info");
  EXPECT_EQ(init[0]["sys"], "client.stavo");
  EXPECT_EQ(init[0]["endpoint_count"], 2);
  EXPECT_EQ(init[0]["default_namespace"], "ns1");
  sv_engine_client_close(client);
  // The caller's logger outlives the client (ASan would report a double destroy).
  ember_info(capture.logger, "after.close", nullptr, 0);
  EXPECT_EQ(capture.with_message("after.close").size(), 1u);
}

TEST(EngineClientLogger, CallerLoggerAsGivenAndNoOpLoggerAreNotOwned) {
  LogCapture capture;
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  const char *endpoints[] = {"http://a"};
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  config.logger = capture.logger;
  config.disable_logger_sys_field = 1;
  OpenResult result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  EXPECT_EQ(result.client->logger, capture.logger);
  EXPECT_EQ(result.client->owns_logger, 0);
  const auto init = capture.with_message("client.init");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_FALSE(init[0].contains("sys"));
  sv_engine_client_close(result.client);

  config.logger = nullptr;
  result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  EXPECT_EQ(result.client->logger, sv_log_noop_logger());
  EXPECT_EQ(result.client->base_logger, sv_log_noop_logger());
  EXPECT_EQ(result.client->owns_logger, 0);
  sv_engine_client_close(result.client);

  // Without a logger but with the sys field, the child of the no-op logger is owned.
  config.disable_logger_sys_field = 0;
  result = open_with(config);
  ASSERT_EQ(result.status, SV_OK);
  EXPECT_EQ(result.client->base_logger, sv_log_noop_logger());
  EXPECT_NE(result.client->logger, sv_log_noop_logger());
  EXPECT_EQ(result.client->owns_logger, 1);
  sv_engine_client_close(result.client);

  EXPECT_EQ(sv_engine_client_logger(nullptr), sv_log_noop_logger());
  sv_engine_client empty{};
  EXPECT_EQ(sv_engine_client_logger(&empty), sv_log_noop_logger());
}

}  // namespace
