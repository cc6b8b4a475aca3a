// How query and query_keys fail: argument checks, refusals by the caller's key handler or sink,
// server errors, a malformed answer and an unreachable server, each with its code, message and
// log event, and a result record that a failure leaves as it was.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
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

// Records the events of a client as parsed JSON.
struct Capture {
  std::vector<nlohmann::json> records;
  ember_logger *logger = nullptr;
  Capture() {
    ember_config config;
    ember_default_config(&config);
    config.min_level = EMBER_LEVEL_TRACE;
    config.write = [](void *user, const char *record, size_t length) {
      static_cast<Capture *>(user)->records.push_back(
          nlohmann::json::parse(std::string(record, length)));
    };
    config.write_user = this;
    logger = ember_new(&config);
  }
  ~Capture() { ember_destroy(logger); }
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  const nlohmann::json *find(const std::string &message) const {
    for (const auto &record : records) {
      if (record.value("message", "") == message) return &record;
    }
    return nullptr;
  }
};

// A key handler whose begin, chunk or end refuses, with or without a message of its own.
struct Refusal {
  enum Where { kBegin, kChunk, kEnd } where;
  const char *message;  // NULL: refuse without filling the error
  static int refuse(void *context, Where here, sv_error *error) {
    const auto *self = static_cast<const Refusal *>(context);
    if (self->where != here) return 1;
    if (self->message != nullptr) {
      sv_error_set(error, SV_ERR_INVALID, 0, self->message, nullptr, nullptr, nullptr);
    }
    return 0;
  }
  static sv_query_key_handler handler() {
    sv_query_key_handler handler;
    sv_query_key_handler_init(&handler);
    handler.begin = [](void *context, sv_error *error) { return refuse(context, kBegin, error); };
    handler.chunk = [](void *context, const char *, size_t, sv_error *error) {
      return refuse(context, kChunk, error);
    };
    handler.end = [](void *context, sv_error *error) { return refuse(context, kEnd, error); };
    return handler;
  }
};

// A sink that refuses every write.
struct RefusingSink {
  sv_sink sink;
  RefusingSink() {
    sink.write = [](sv_sink *, const char *, size_t, sv_error *error) {
      sv_error_set(error, SV_ERR_TRANSPORT, 0, "disk full", nullptr, nullptr, nullptr);
      return 0;
    };
    sink.close = [](sv_sink *) {};
  }
};

class QueryFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.seed_state("a", R"({"n":1})");
    server_.seed_state("b", R"({"n":1})");
    ClientConfig config(server_, false);
    config.config.logger = capture_.logger;
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
    sv_query_req_init(&req_);
    req_.selector_json = R"({"/n":1})";
  }
  Capture capture_;
  DevServer server_;
  ClientPtr client_;
  sv_query_req req_{};
};

TEST_F(QueryFailures, ArgumentChecksNameWhatIsMissing) {
  Error error;
  auto sink = lease_test::memory_sink();
  sv_query_res res{};
  const sv_query_key_handler handler = Refusal::handler();
  EXPECT_EQ(sv_query(client_.get(), nullptr, sink.get(), &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "query requires self, req, dst, and out");
  EXPECT_EQ(sv_query(client_.get(), &req_, nullptr, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(sv_query_keys(client_.get(), &req_, nullptr, nullptr, &res, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "query_keys requires self, req, handler, and out");
  EXPECT_EQ(sv_query_keys(client_.get(), &req_, &handler, nullptr, nullptr, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(capture_.find("client.query.start"), nullptr);  // checked before anything is logged
  EXPECT_EQ(capture_.find("client.query_keys.start"), nullptr);
  // A missing selector is refused by the call's own name, before any request.
  for (const char *missing : {static_cast<const char *>(nullptr), ""}) {
    req_.selector_json = missing;
    EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_INVALID);
    EXPECT_EQ(error.message(), "query requires selector_json");
    EXPECT_EQ(sv_query_keys(client_.get(), &req_, &handler, nullptr, &res, error.get()),
              SV_ERR_INVALID);
    EXPECT_EQ(error.message(), "query_keys requires selector_json");
  }
  // A selector or field list that is not JSON is the caller's mistake, with the offset.
  req_.selector_json = R"({"eq": {"field": "/a", "value": })";
  EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "failed to configure query selector");
  EXPECT_EQ(error.detail().rfind("offset 32: expected JSON value", 0), 0u) << error.detail();
  EXPECT_EQ(sv_query_keys(client_.get(), &req_, &handler, nullptr, &res, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "failed to configure query selector");
  req_.selector_json = "{}";
  req_.fields_json = "[\"/a\",]";
  EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "failed to configure query fields");
  EXPECT_EQ(error.detail().rfind("offset ", 0), 0u) << error.detail();
  EXPECT_TRUE(server_.requests_to("POST", "/v1/query").empty());
}

TEST_F(QueryFailures, AKeyHandlerThatRefusesStopsTheQueryWithItsMessageOrADefault) {
  const struct {
    Refusal refusal;
    std::string expected;
  } cases[] = {
      {{Refusal::kBegin, "no room for more keys"}, "no room for more keys"},
      {{Refusal::kBegin, nullptr}, "query key begin callback failed"},
      {{Refusal::kChunk, nullptr}, "query key chunk callback failed"},
      {{Refusal::kEnd, nullptr}, "query key end callback failed"},
  };
  const sv_query_key_handler handler = Refusal::handler();
  for (const auto &c : cases) {
    Error error;
    sv_query_res res{};
    EXPECT_EQ(sv_query_keys(client_.get(), &req_, &handler, const_cast<Refusal *>(&c.refusal), &res,
                            error.get()),
              SV_ERR_TRANSPORT)
        << c.expected;
    EXPECT_EQ(error.message(), c.expected);
    EXPECT_EQ(res.correlation_id, nullptr);
  }
  const auto *event = capture_.find("client.query_keys.transport_error");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ((*event)["level"], "error");
  EXPECT_EQ((*event)["code"], SV_ERR_TRANSPORT);
}

TEST_F(QueryFailures, AHandlerWithoutFunctionsAcceptsEveryKey) {
  sv_query_key_handler handler;
  sv_query_key_handler_init(&handler);
  Error error;
  sv_query_res res{};
  ASSERT_EQ(sv_query_keys(client_.get(), &req_, &handler, nullptr, &res, error.get()), SV_OK)
      << error.message();
  auto metadata = nlohmann::json::parse(text_or_empty(res.metadata));
  EXPECT_EQ(metadata["returned"], 2);
  const auto *event = capture_.find("client.query_keys.success");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ((*event)["level"], "trace");
  EXPECT_EQ((*event)["cid"], text_or_empty(res.correlation_id));
  sv_query_res_cleanup(&res);
}

TEST_F(QueryFailures, ASinkThatRefusesEndsTheQueryAsATransportFailure) {
  RefusingSink sink;
  Error error;
  sv_query_res res{};
  EXPECT_EQ(sv_query(client_.get(), &req_, &sink.sink, &res, error.get()), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "disk full");
}

TEST_F(QueryFailures, ServerErrorsCarryTheServersMembersAndLeaveTheResultAlone) {
  // A previous page's result: a failure must neither free nor replace it.
  sv_query_res res{};
  res.cursor = sv_strdup_local("previous-cursor");
  char *const previous = res.cursor;
  auto sink = lease_test::memory_sink();
  Error error;
  req_.selector_json = R"({"/n":{"$bogus":1}})";
  EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 400);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "invalid_selector");
  EXPECT_FALSE(text_or_empty(error.record.correlation_id).empty());
  EXPECT_EQ(lease_test::sink_text(sink.get()), "");  // an error body never reaches the sink
  EXPECT_EQ(res.cursor, previous);
  const auto *event = capture_.find("client.query.error");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ((*event)["level"], "warn");
  EXPECT_EQ((*event)["http_status"], 400);

  req_.selector_json = R"({"/n":1})";
  req_.engine = "warp";
  EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "invalid_engine");
  EXPECT_EQ(server_.requests_to("POST", "/v1/query").back().target, "/v1/query?engine=warp");
  EXPECT_EQ(res.cursor, previous);
  sv_query_res_cleanup(&res);
}

TEST_F(QueryFailures, AMalformedIndexSequenceIsAProtocolError) {
  server_.add_fault(Fault::with_headers("POST", "/v1/query", {{"X-Stavo-Query-Index-Seq", "x1"}}));
  auto sink = lease_test::memory_sink();
  Error error;
  sv_query_res res{};
  EXPECT_EQ(sv_query(client_.get(), &req_, sink.get(), &res, error.get()), SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "failed to parse query index sequence");
  EXPECT_EQ(res.correlation_id, nullptr);
}

TEST(Unreachable, EveryOperationReportsATransportErrorUnderItsOwnEvent) {
  Capture capture;
  const char *endpoints[] = {"http://127.0.0.1:1"};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  config.logger = capture.logger;
  sv_client *raw = nullptr;
  ASSERT_EQ(sv_client_open(&config, &raw, nullptr), SV_OK);
  ClientPtr client(raw);
  sv_query_req req;
  sv_query_req_init(&req);
  req.selector_json = "{}";
  auto sink = lease_test::memory_sink();
  Error error;
  sv_query_res res{};
  EXPECT_EQ(sv_query(client.get(), &req, sink.get(), &res, error.get()), SV_ERR_TRANSPORT);
  sv_namespace_config_req ns;
  sv_namespace_config_req_init(&ns);
  ns.preferred_engine = "index";
  sv_namespace_config_res ns_res{};
  EXPECT_EQ(sv_update_namespace_config(client.get(), &ns, &ns_res, error.get()), SV_ERR_TRANSPORT);
  sv_txn_decision_req txn;
  sv_txn_decision_req_init(&txn);
  txn.txn_id = "t";
  txn.tc_term = 4;
  sv_txn_decision_res txn_res{};
  EXPECT_EQ(sv_txn_prepare(client.get(), &txn, &txn_res, error.get()), SV_ERR_TRANSPORT);
  sv_tc_rm_list_res rm{};
  EXPECT_EQ(sv_tc_rm_list(client.get(), &rm, error.get()), SV_ERR_TRANSPORT);

  for (const char *event :
       {"client.query.transport_error", "client.namespace.set.transport_error",
        "client.txn.prepare.transport_error", "client.rm.list.transport_error"}) {
    const auto *record = capture.find(event);
    ASSERT_NE(record, nullptr) << event;
    EXPECT_EQ((*record)["level"], "error") << event;
    EXPECT_EQ((*record)["code"], SV_ERR_TRANSPORT) << event;
  }
  const auto *prepare = capture.find("client.txn.prepare.start");
  ASSERT_NE(prepare, nullptr);
  EXPECT_EQ((*prepare)["txn_id"], "t");
  EXPECT_EQ((*prepare)["tc_term"], 4);
  EXPECT_EQ((*prepare)["participants"], 0);
  EXPECT_EQ(capture.find("client.query.error"), nullptr);
}

}  // namespace
