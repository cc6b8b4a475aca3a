// Namespace configuration and index flushes through the public API against the dev server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;

class AdminNamespace : public ::testing::Test {
 protected:
  void SetUp() override { open_client(nullptr); }
  void open_client(const char *default_namespace) {
    ClientConfig config(server_, false);
    config.config.default_namespace = default_namespace;
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  DevServer server_;
  ClientPtr client_;
};

TEST_F(AdminNamespace, ConfigurationChangesAreReadBackPerNamespace) {
  Error error;
  sv_namespace_config_req req;
  sv_namespace_config_req_init(&req);
  req.namespace_name = "tenant-a";
  req.preferred_engine = "scan";
  sv_namespace_config_res set{};
  ASSERT_EQ(sv_update_namespace_config(client_.get(), &req, &set, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(text_or_empty(set.namespace_name), "tenant-a");
  EXPECT_EQ(text_or_empty(set.preferred_engine), "scan");
  EXPECT_FALSE(text_or_empty(set.correlation_id).empty());
  auto put = server_.requests_to("PUT", "/v1/namespace");
  ASSERT_EQ(put.size(), 1u);
  EXPECT_EQ(
      nlohmann::json::parse(put[0].body),
      nlohmann::json::parse(R"({"namespace":"tenant-a","query":{"preferred_engine":"scan"}})"));

  // A change of the fallback alone keeps the preferred engine.
  sv_namespace_config_req_init(&req);
  req.namespace_name = "tenant-a";
  req.fallback_engine = "index";
  sv_namespace_config_res changed{};
  ASSERT_EQ(sv_update_namespace_config(client_.get(), &req, &changed, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(changed.preferred_engine), "scan");
  EXPECT_EQ(text_or_empty(changed.fallback_engine), "index");

  sv_namespace_config_res read{};
  ASSERT_EQ(sv_get_namespace_config(client_.get(), &req, &read, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(read.preferred_engine), "scan");
  EXPECT_EQ(server_.requests_to("GET", "/v1/namespace").back().target,
            "/v1/namespace?namespace=tenant-a");

  // Another namespace is untouched.
  req.namespace_name = "tenant-b";
  sv_namespace_config_res other{};
  ASSERT_EQ(sv_get_namespace_config(client_.get(), &req, &other, error.get()), SV_OK);
  EXPECT_EQ(text_or_empty(other.namespace_name), "tenant-b");
  EXPECT_NE(text_or_empty(other.preferred_engine), "scan");
  for (auto *res : {&set, &changed, &read, &other}) {
    sv_namespace_config_res_cleanup(res);
    EXPECT_EQ(res->namespace_name, nullptr);
  }
}

TEST_F(AdminNamespace, AnUpdateWithoutEnginesOnlyReads) {
  Error error;
  sv_namespace_config_req req;
  sv_namespace_config_req_init(&req);
  req.namespace_name = "tenant-c";
  sv_namespace_config_res res{};
  ASSERT_EQ(sv_update_namespace_config(client_.get(), &req, &res, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(text_or_empty(res.namespace_name), "tenant-c");
  EXPECT_TRUE(server_.requests_to("PUT", "/v1/namespace").empty());
  EXPECT_EQ(server_.requests_to("GET", "/v1/namespace").size(), 1u);
  sv_namespace_config_res_cleanup(&res);
}

TEST_F(AdminNamespace, AnUnknownEngineIsRefusedByTheServer) {
  Error error;
  sv_namespace_config_req req;
  sv_namespace_config_req_init(&req);
  req.preferred_engine = "warp";
  sv_namespace_config_res res{};
  EXPECT_EQ(sv_update_namespace_config(client_.get(), &req, &res, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 400);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "invalid_engine");
  EXPECT_NE(error.detail().find("warp"), std::string::npos) << error.detail();
  EXPECT_EQ(res.namespace_name, nullptr);
  EXPECT_EQ(sv_update_namespace_config(client_.get(), nullptr, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "update_namespace_config requires self, req, and out");
  EXPECT_EQ(sv_get_namespace_config(client_.get(), &req, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get_namespace_config requires self, req, and out");
}

TEST_F(AdminNamespace, FlushesReportTheIndexOfTheClientsDefaultNamespace) {
  open_client("tenant-d");
  server_.seed_state("k", R"({"a":1})", "application/json", "tenant-d");
  Error error;
  sv_index_flush_req req;
  sv_index_flush_req_init(&req);
  sv_index_flush_res sync{};
  ASSERT_EQ(sv_flush_index(client_.get(), &req, &sync, error.get()), SV_OK) << error.message();
  EXPECT_EQ(text_or_empty(sync.namespace_name), "tenant-d");
  EXPECT_EQ(text_or_empty(sync.mode), "sync");
  EXPECT_FALSE(text_or_empty(sync.flush_id).empty());
  EXPECT_EQ(sync.accepted, 1);
  EXPECT_EQ(sync.flushed, 1);
  EXPECT_EQ(sync.pending, 0);
  EXPECT_GT(sync.index_seq, 0);

  req.mode = "async";  // answered 202, which is a success too
  sv_index_flush_res async{};
  ASSERT_EQ(sv_flush_index(client_.get(), &req, &async, error.get()), SV_OK) << error.message();
  EXPECT_EQ(async.accepted, 1);
  EXPECT_EQ(async.flushed, 0);
  EXPECT_EQ(async.index_seq, sync.index_seq);
  EXPECT_NE(text_or_empty(async.flush_id), text_or_empty(sync.flush_id));

  req.mode = "later";
  sv_index_flush_res refused{};
  EXPECT_EQ(sv_flush_index(client_.get(), &req, &refused, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "invalid_mode");
  EXPECT_EQ(refused.flush_id, nullptr);
  EXPECT_EQ(sv_flush_index(client_.get(), nullptr, &refused, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "flush_index requires self, req, and out");
  sv_index_flush_res_cleanup(&sync);
  sv_index_flush_res_cleanup(&async);
  EXPECT_EQ(sync.flush_id, nullptr);
  EXPECT_EQ(async.index_seq, 0);
}

}  // namespace
