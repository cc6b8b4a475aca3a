// query and query_keys through the public API against the dev server: documents into a sink and
// keys into a handler, page by page with cursors, and the paging data of each answer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;
using stavo::test::Fault;

// Collects the keys of query_keys: one string per begin/end pair, and how often chunk ran.
struct KeyCollector {
  std::vector<std::string> keys;
  size_t begins = 0;
  size_t chunks = 0;
  bool open = false;
  bool nested = false;  // a begin inside a key, or an end or chunk outside one

  static sv_query_key_handler handler() {
    sv_query_key_handler handler;
    sv_query_key_handler_init(&handler);
    handler.begin = [](void *context, sv_error *) {
      auto *self = static_cast<KeyCollector *>(context);
      self->nested |= self->open;
      self->open = true;
      ++self->begins;
      self->keys.emplace_back();
      return 1;
    };
    handler.chunk = [](void *context, const char *bytes, size_t length, sv_error *) {
      auto *self = static_cast<KeyCollector *>(context);
      self->nested |= !self->open;
      ++self->chunks;
      self->keys.back().append(bytes, length);
      return 1;
    };
    handler.end = [](void *context, sv_error *) {
      auto *self = static_cast<KeyCollector *>(context);
      self->nested |= !self->open;
      self->open = false;
      return 1;
    };
    return handler;
  }
};

// The rows of a documents answer: (key, document) per line.
std::vector<std::pair<std::string, nlohmann::json>> rows_of(const std::string &body) {
  std::vector<std::pair<std::string, nlohmann::json>> rows;
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    auto row = nlohmann::json::parse(line);
    rows.emplace_back(row.at("key").get<std::string>(), row.at("document"));
  }
  return rows;
}

class QueryPaging : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<DevServer>(stavo::test::DevServerOptions{.tls = GetParam()});
    server_->seed_state("order/1", R"({"status":"open","total":10})");
    server_->seed_state("order/2", R"({"status":"closed","total":20})");
    server_->seed_state("order/3", R"({"status":"open","total":30})");
    server_->seed_state("order/4", R"({"status":"open","total":40})");
    server_->seed_state("order/5", R"({"status":"closed","total":50})");
    ClientConfig config(*server_, GetParam());
    sv_client *raw = nullptr;
    Error error;
    ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
    client_.reset(raw);
  }
  void TearDown() override {
    client_.reset();
    server_.reset();
  }
  static sv_query_req open_orders(int64_t limit) {
    sv_query_req req;
    sv_query_req_init(&req);
    req.selector_json = R"({"/status":"open"})";
    req.limit = limit;
    return req;
  }
  std::unique_ptr<DevServer> server_;
  ClientPtr client_;
};

TEST_P(QueryPaging, DocumentsArriveInTheSinkPageByPage) {
  Error error;
  sv_query_req req = open_orders(2);
  req.fields_json = R"(["/total"])";

  auto first_sink = lease_test::memory_sink();
  sv_query_res first{};
  ASSERT_EQ(sv_query(client_.get(), &req, first_sink.get(), &first, error.get()), SV_OK)
      << error.message();
  auto rows = rows_of(lease_test::sink_text(first_sink.get()));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].first, "order/1");
  EXPECT_EQ(rows[1].first, "order/3");
  EXPECT_EQ(rows[0].second, nlohmann::json::parse(R"({"total":10})"));  // projected
  EXPECT_FALSE(text_or_empty(first.cursor).empty());
  EXPECT_EQ(text_or_empty(first.return_mode), "documents");
  EXPECT_EQ(first.has_index_seq, 1);
  EXPECT_GT(first.index_seq, 0u);
  EXPECT_FALSE(text_or_empty(first.correlation_id).empty());
  auto metadata = nlohmann::json::parse(text_or_empty(first.metadata));
  EXPECT_EQ(metadata["returned"], 2);
  EXPECT_EQ(metadata["has_more"], true);

  req.cursor = first.cursor;
  auto second_sink = lease_test::memory_sink();
  sv_query_res second{};
  ASSERT_EQ(sv_query(client_.get(), &req, second_sink.get(), &second, error.get()), SV_OK)
      << error.message();
  rows = rows_of(lease_test::sink_text(second_sink.get()));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].first, "order/4");
  EXPECT_TRUE(text_or_empty(second.cursor).empty());  // the last page
  EXPECT_EQ(second.index_seq, first.index_seq);
  sv_query_res_cleanup(&first);
  sv_query_res_cleanup(&second);
  EXPECT_EQ(first.cursor, nullptr);
  EXPECT_EQ(second.correlation_id, nullptr);
}

TEST_P(QueryPaging, KeysReachTheHandlerPageByPage) {
  Error error;
  sv_query_req req = open_orders(2);
  req.return_mode = "documents";  // query_keys asks for keys whatever the request says
  KeyCollector collector;
  const sv_query_key_handler handler = KeyCollector::handler();
  std::vector<std::string> pages;
  for (int page = 0; page < 5; ++page) {
    sv_query_res res{};
    ASSERT_EQ(sv_query_keys(client_.get(), &req, &handler, &collector, &res, error.get()), SV_OK)
        << error.message();
    EXPECT_EQ(text_or_empty(res.return_mode), "keys");
    EXPECT_EQ(res.has_index_seq, 1);
    pages.push_back(text_or_empty(res.cursor));
    sv_query_res_cleanup(&res);
    if (pages.back().empty()) break;
    req.cursor = pages.back().c_str();
  }
  EXPECT_EQ(pages.size(), 2u);
  EXPECT_EQ(collector.keys, (std::vector<std::string>{"order/1", "order/3", "order/4"}));
  EXPECT_EQ(collector.begins, 3u);
  EXPECT_FALSE(collector.nested);
  auto sent = server_->requests_to("POST", "/v1/query");
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(nlohmann::json::parse(sent.back().body)["return"], "keys");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, QueryPaging, ::testing::Values(false, true),
                         [](const auto &param_info) { return param_info.param ? "Tls" : "Plain"; });

TEST(QueryKeyPieces, AKeySplitAcrossNetworkChunksArrivesBetweenOneBeginAndEnd) {
  DevServer server;
  const std::string long_key = "k/" + std::string(300, 'x');
  server.seed_state(long_key, R"({"a":1})");
  server.seed_state("k/short", R"({"a":1})");
  ClientConfig config(server, false);
  sv_client *raw = nullptr;
  ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
  ClientPtr client(raw);
  // Small pieces with pauses: the key text spans many network reads.
  server.add_fault(Fault::in_pieces("POST", "/v1/query", std::vector<size_t>(40, 16),
                                    std::chrono::milliseconds(1)));
  sv_query_req req;
  sv_query_req_init(&req);
  req.selector_json = R"({"/a":1})";
  KeyCollector collector;
  const sv_query_key_handler handler = KeyCollector::handler();
  sv_query_res res{};
  Error error;
  ASSERT_EQ(sv_query_keys(client.get(), &req, &handler, &collector, &res, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(collector.keys, (std::vector<std::string>{"k/short", long_key}));
  EXPECT_GT(collector.chunks, collector.keys.size());
  EXPECT_FALSE(collector.nested);
  sv_query_res_cleanup(&res);
}

}  // namespace
