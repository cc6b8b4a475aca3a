// Opening and closing a client: argument checks, the engine's own refusals, the private copies
// of the configuration, the capture of a bundle source, allocation failure at every step, and
// connections through the opened client to the dev server over mutual TLS (HTTP/2 through
// nghttpx) and plain HTTP.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "api_test_support.h"
#include "client/api/client_internal.h"
#include "support/dev_server.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;
using stavo::test::DevServer;

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A source over a string that counts its reads and can fail once it has handed out fail_after
// bytes.
struct CountingSource {
  sv_source base{};
  std::string data;
  size_t position = 0;
  size_t reads = 0;
  size_t chunk = 1000;
  size_t fail_after = SIZE_MAX;
  explicit CountingSource(std::string text) : data(std::move(text)) {
    base.read = [](sv_source *source, char *buffer, size_t capacity, sv_error *error) -> size_t {
      auto *self = reinterpret_cast<CountingSource *>(source);
      ++self->reads;
      if (self->position >= self->fail_after) {
        sv_error_set(error, SV_ERR_TRANSPORT, 0, "bundle disk went away", nullptr, nullptr,
                     nullptr);
        return 0;
      }
      size_t count = std::min({capacity, self->chunk, self->data.size() - self->position});
      std::memcpy(buffer, self->data.data() + self->position, count);
      self->position += count;
      return count;
    };
    base.reset = nullptr;
    base.close = [](sv_source *) {};
  }
};

// A client configuration with storage for its strings.
struct Config {
  sv_client_config config{};
  std::vector<std::string> endpoint_text;
  std::vector<const char *> endpoints;
  Config() { sv_client_config_init(&config); }
  void set_endpoints(std::vector<std::string> list) {
    endpoint_text = std::move(list);
    endpoints.clear();
    for (const auto &text : endpoint_text)
      endpoints.push_back(text.c_str());
    config.endpoints = endpoints.data();
    config.endpoint_count = endpoints.size();
  }
};

struct ClientCloser {
  void operator()(sv_client *client) const { sv_client_close(client); }
};
using ClientPtr = std::unique_ptr<sv_client, ClientCloser>;

// One POST /v1/acquire through the client's engine; returns the HTTP status (0 on failure).
int64_t acquire_through(sv_client *client, const std::string &key, std::string *failure) {
  const std::string body = "{\"key\":\"" + key + "\",\"ttl_seconds\":30,\"owner\":\"api-test\"}";
  sv_engine_http_result result;
  sv_engine_http_result_init(&result);
  sv_engine_error error;
  sv_engine_error_init(&error);
  const int status = sv_engine_http_json_request(sv_client_impl_of(client)->engine, "POST",
                                                 "/v1/acquire", body.data(), body.size(), nullptr,
                                                 0, nullptr, nullptr, &result, &error);
  const int64_t http_status = status == SV_OK ? result.status : 0;
  if (failure != nullptr && error.message != nullptr) *failure = error.message;
  sv_engine_http_result_cleanup(&result);
  sv_engine_error_cleanup(&error);
  return http_status;
}

TEST(ClientConfig, InitSetsTheDefaults) {
  sv_client_config config;
  std::memset(&config, 0x5a, sizeof(config));
  EXPECT_EQ(sv_client_config_init(&config), &config);
  EXPECT_EQ(config.timeout_ms, 30000);
  EXPECT_EQ(config.prefer_http_2, 1);
  EXPECT_EQ(config.endpoints, nullptr);
  EXPECT_EQ(config.endpoint_count, 0u);
  EXPECT_EQ(config.disable_mtls, 0);
  EXPECT_EQ(config.response_limit_bytes, 0u);
  EXPECT_EQ(config.allocator.malloc_fn, nullptr);
  EXPECT_EQ(sv_client_config_init(nullptr), nullptr);
  EXPECT_STREQ(sv_version_string(), "0.7.0");
}

TEST(ClientOpen, RequiresConfigAndOut) {
  Config config;
  sv_client *client = nullptr;
  Error error;
  EXPECT_EQ(sv_client_open(nullptr, &client, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "sv_client_open requires config and out");
  EXPECT_EQ(sv_client_open(&config.config, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(sv_client_open(&config.config, nullptr, nullptr), SV_ERR_INVALID);
  sv_client_close(nullptr);
}

TEST(ClientOpen, EngineRefusalsPassThroughAndLeaveNothingBehind) {
  CountingAllocator counting;
  Config config;
  config.config.allocator = counting.allocator;
  auto *sentinel = reinterpret_cast<sv_client *>(0x1);
  sv_client *client = sentinel;
  Error error;

  EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "at least one endpoint is required");

  config.set_endpoints({"https://localhost:1"});
  EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_INVALID);
  EXPECT_NE(error.message().find("client_bundle_source or client_bundle_path"), std::string::npos);

  const char *with_null[] = {"http://localhost:1", nullptr};
  config.config.endpoints = with_null;
  config.config.endpoint_count = 2;
  config.config.disable_mtls = 1;
  EXPECT_NE(sv_client_open(&config.config, &client, error.get()), SV_OK);

  config.set_endpoints({"https://localhost:1"});
  config.config.disable_mtls = 0;
  CountingSource garbage("this is not PEM at all\n");
  config.config.client_bundle_source = &garbage.base;
  EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_PROTOCOL);

  config.config.client_bundle_source = nullptr;
  config.config.client_bundle_path = "/nonexistent/bundle.pem";
  EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_TRANSPORT);

  EXPECT_EQ(client, sentinel);
  EXPECT_EQ(counting.live, 0u);
}

TEST(ClientOpen, RefusesEndpointsThatCannotWorkAndQuotesThem) {
  struct Case {
    std::vector<std::string> endpoints;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"http://localhost:1", ""}, "invalid endpoint 1: it is empty"},
      {{"htps://stavo.example:9341"},
       "invalid endpoint \"htps://stavo.example:9341\": unknown scheme \"htps\" (use http:// or "
       "https://)"},
      {{"ftp://stavo.example"}, "invalid endpoint \"ftp://stavo.example\": unknown scheme \"ftp\""},
      {{"https://stavo example"},
       "invalid endpoint \"https://stavo example\": it contains a space or a control byte"},
      {{"https://stavo.example\n"}, "it contains a space or a control byte"},
      {{"https://"}, "invalid endpoint \"https://\": it names no host"},
      {{"https://stavo.example:port"},
       "invalid endpoint \"https://stavo.example:port\": not a URL"},
  };
  for (const Case &c : cases) {
    Config config;
    config.set_endpoints(c.endpoints);
    config.config.disable_mtls = 1;
    sv_client *client = nullptr;
    Error error;
    EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_INVALID)
        << c.endpoints.back();
    EXPECT_NE(error.message().find(c.message), std::string::npos) << error.message();
    EXPECT_EQ(client, nullptr);
  }
  // A bare host[:port] and ordinary URLs with paths or IPv6 hosts open.
  Config config;
  config.set_endpoints({"localhost:7443", "https://[::1]:7443", "http://stavo.example/base"});
  config.config.disable_mtls = 1;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  sv_client_close(raw);
}

TEST(ClientOpen, WithoutMtlsNeedsNoBundleAndIgnoresASource) {
  CountingSource never("unused");
  Config config;
  config.set_endpoints({"http://localhost:1"});
  config.config.disable_mtls = 1;
  config.config.client_bundle_source = &never.base;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  EXPECT_EQ(never.reads, 0u);
  EXPECT_EQ(sv_client_impl_of(raw)->bundle_bytes, nullptr);
  EXPECT_EQ(raw->default_namespace, nullptr);
  EXPECT_EQ(raw->reserved, nullptr);
}

TEST(ClientOpen, KeepsItsOwnCopiesOfTheConfiguration) {
  Config config;
  std::string ns = "orders";
  std::string socket = "/tmp/stavo.sock";
  std::string path = "/etc/stavo/client.pem";
  config.set_endpoints({"http://one.example/", "http://two.example"});
  config.config.disable_mtls = 1;
  config.config.default_namespace = ns.c_str();
  config.config.unix_socket_path = socket.c_str();
  config.config.client_bundle_path = path.c_str();
  config.config.timeout_ms = 1234;
  config.config.response_limit_bytes = 77;
  config.config.prefer_http_2 = 0;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  // The caller's storage may go away after open.
  ns.assign("xxxxxx");
  socket.assign("yyyyyyyyyyyyyyy");
  config.endpoint_text.assign(2, "zzzzzzzzzzzzzzzzzzz");
  const sv_client_impl *impl = sv_client_impl_of(raw);
  EXPECT_STREQ(raw->default_namespace, "orders");
  EXPECT_EQ(raw->default_namespace, impl->default_namespace);
  ASSERT_EQ(impl->endpoint_count, 2u);
  EXPECT_STREQ(impl->endpoints[0], "http://one.example/");
  EXPECT_STREQ(impl->endpoints[1], "http://two.example");
  EXPECT_STREQ(impl->unix_socket_path, "/tmp/stavo.sock");
  EXPECT_STREQ(impl->client_bundle_path, "/etc/stavo/client.pem");
  EXPECT_EQ(impl->timeout_ms, 1234);
  EXPECT_EQ(impl->response_limit_bytes, 77u);
  EXPECT_EQ(impl->prefer_http_2, 0);
  EXPECT_EQ(impl->disable_mtls, 1);
  EXPECT_NE(impl->base_logger, nullptr);
  EXPECT_EQ(impl->logger, sv_engine_client_logger(impl->engine));
}

TEST(ClientMethods, OperationsOfLaterWorkFailCleanlyAndNameThemselves) {
  Config config;
  config.set_endpoints({"http://localhost:1"});
  config.config.disable_mtls = 1;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK);
  ClientPtr client(raw);
  sv_client *c = raw;
  sv_error *e = error.get();
  int32_t flag = 0;
  const std::vector<std::pair<std::string, std::function<int()>>> calls = {
      {"acquire", [&] { return sv_acquire(c, nullptr, nullptr, e); }},
      {"acquire_for_update",
       [&] { return sv_acquire_for_update(c, nullptr, nullptr, nullptr, e); }},
      {"describe", [&] { return sv_describe(c, nullptr, nullptr, e); }},
      {"get", [&] { return sv_get(c, "k", nullptr, nullptr, nullptr, e); }},
      {"load", [&] { return sv_load(c, "k", nullptr, nullptr, nullptr, nullptr, nullptr, e); }},
      {"update", [&] { return sv_update(c, nullptr, nullptr, nullptr, e); }},
      {"mutate", [&] { return sv_mutate(c, nullptr, nullptr, e); }},
      {"metadata", [&] { return sv_metadata(c, nullptr, nullptr, e); }},
      {"remove", [&] { return sv_remove(c, nullptr, nullptr, e); }},
      {"keepalive", [&] { return sv_keepalive(c, nullptr, nullptr, e); }},
      {"release", [&] { return sv_release(c, nullptr, nullptr, e); }},
      {"attach", [&] { return sv_attach(c, nullptr, nullptr, nullptr, e); }},
      {"list_attachments", [&] { return sv_list_attachments(c, nullptr, nullptr, e); }},
      {"get_attachment", [&] { return sv_get_attachment(c, nullptr, nullptr, nullptr, e); }},
      {"delete_attachment", [&] { return sv_delete_attachment(c, nullptr, &flag, e); }},
      {"delete_all_attachments", [&] { return sv_delete_all_attachments(c, nullptr, &flag, e); }},
      {"queue_stats", [&] { return sv_queue_stats(c, nullptr, nullptr, e); }},
      {"queue_ack", [&] { return sv_queue_ack(c, nullptr, nullptr, e); }},
      {"queue_nack", [&] { return sv_queue_nack(c, nullptr, nullptr, e); }},
      {"queue_extend", [&] { return sv_queue_extend(c, nullptr, nullptr, e); }},
      {"query", [&] { return sv_query(c, nullptr, nullptr, nullptr, e); }},
      {"query_keys", [&] { return sv_query_keys(c, nullptr, nullptr, nullptr, nullptr, e); }},
      {"get_namespace_config", [&] { return sv_get_namespace_config(c, nullptr, nullptr, e); }},
      {"update_namespace_config",
       [&] { return sv_update_namespace_config(c, nullptr, nullptr, e); }},
      {"flush_index", [&] { return sv_flush_index(c, nullptr, nullptr, e); }},
      {"txn_replay", [&] { return sv_txn_replay(c, nullptr, nullptr, e); }},
      {"txn_prepare", [&] { return sv_txn_prepare(c, nullptr, nullptr, e); }},
      {"txn_commit", [&] { return sv_txn_commit(c, nullptr, nullptr, e); }},
      {"txn_rollback", [&] { return sv_txn_rollback(c, nullptr, nullptr, e); }},
      {"tc_lease_acquire", [&] { return sv_tc_lease_acquire(c, nullptr, nullptr, e); }},
      {"tc_lease_renew", [&] { return sv_tc_lease_renew(c, nullptr, nullptr, e); }},
      {"tc_lease_release", [&] { return sv_tc_lease_release(c, nullptr, nullptr, e); }},
      {"tc_leader", [&] { return sv_tc_leader(c, nullptr, e); }},
      {"tc_cluster_announce", [&] { return sv_tc_cluster_announce(c, nullptr, nullptr, e); }},
      {"tc_cluster_leave", [&] { return sv_tc_cluster_leave(c, nullptr, e); }},
      {"tc_cluster_list", [&] { return sv_tc_cluster_list(c, nullptr, e); }},
      {"tc_rm_register", [&] { return sv_tc_rm_register(c, nullptr, nullptr, e); }},
      {"tc_rm_unregister", [&] { return sv_tc_rm_unregister(c, nullptr, nullptr, e); }},
      {"tc_rm_list", [&] { return sv_tc_rm_list(c, nullptr, e); }},
      {"enqueue", [&] { return sv_enqueue(c, nullptr, nullptr, nullptr, e); }},
      {"dequeue", [&] { return sv_dequeue(c, nullptr, nullptr, e); }},
      {"dequeue_batch", [&] { return sv_dequeue_batch(c, nullptr, nullptr, e); }},
      {"dequeue_with_state", [&] { return sv_dequeue_with_state(c, nullptr, nullptr, e); }},
      {"subscribe", [&] { return sv_subscribe(c, nullptr, nullptr, e); }},
      {"subscribe_with_state", [&] { return sv_subscribe_with_state(c, nullptr, nullptr, e); }},
      {"new_consumer_service",
       [&] { return sv_client_new_consumer_service(c, nullptr, nullptr, e); }},
      {"watch_queue", [&] { return sv_watch_queue(c, nullptr, nullptr, e); }},
  };
  EXPECT_EQ(calls.size(), 47u);  // every slot but close
  for (const auto &[operation, call] : calls) {
    error.clear();
    EXPECT_EQ(call(), SV_ERR_INVALID) << operation;
    EXPECT_EQ(error.code(), SV_ERR_INVALID) << operation;
    // Every operation refuses the missing arguments in its own name (the with-state forms of
    // dequeue and subscribe under the plain operation's name, the consumer service's
    // constructor under its own).
    const std::string message = error.message();
    const std::string base = operation.substr(0, operation.find("_with_state"));
    EXPECT_FALSE(message.empty()) << operation;
    EXPECT_EQ(message.find("not available"), std::string::npos) << operation << ": " << message;
  }
  // Without an error record the method still fails.
  EXPECT_EQ(sv_queue_stats(c, nullptr, nullptr, nullptr), SV_ERR_INVALID);
}

// ---- bundles and allocation failure ----

class ClientBundle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  std::string bundle() const { return read_file(server_->client_bundle_path()); }
  // The bundle behind more than 20000 bytes of text outside any PEM block.
  std::string padded_bundle() const {
    std::string text;
    while (text.size() < 20000)
      text += "# padding line outside of any PEM block, ignored by the reader\n";
    return text + bundle();
  }
  static DevServer *server_;
};
DevServer *ClientBundle::server_ = nullptr;

TEST_F(ClientBundle, ASourceWinsOverAPathAndIsCapturedWhole) {
  const std::string text = padded_bundle();
  CountingSource source(text);
  Config config;
  config.set_endpoints({server_->https_url()});
  config.config.client_bundle_source = &source.base;
  config.config.client_bundle_path = "/nonexistent/not-read.pem";
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  const sv_client_impl *impl = sv_client_impl_of(raw);
  ASSERT_EQ(impl->bundle_length, text.size());
  EXPECT_EQ(std::string(impl->bundle_bytes, impl->bundle_length), text);
  EXPECT_STREQ(impl->client_bundle_path, "/nonexistent/not-read.pem");
}

TEST_F(ClientBundle, AFailingBundleSourceFailsTheOpen) {
  CountingSource source(bundle());
  source.fail_after = 500;
  CountingAllocator counting;
  Config config;
  config.set_endpoints({server_->https_url()});
  config.config.client_bundle_source = &source.base;
  config.config.allocator = counting.allocator;
  sv_client *client = nullptr;
  Error error;
  EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "bundle disk went away");
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(counting.live, 0u);
}

TEST_F(ClientBundle, EveryFailedAllocationOfOpenIsReportedAndLeavesNothing) {
  const std::string text = padded_bundle();
  const std::set<std::string> messages = {"failed to allocate client",
                                          "failed to retain client bundle source",
                                          "failed to allocate client endpoint copy",
                                          "failed to copy client endpoint",
                                          "failed to copy unix_socket_path",
                                          "failed to copy client bundle path",
                                          "failed to copy default namespace"};
  std::set<std::string> seen;
  bool opened = false;
  for (size_t fail_at = 1; fail_at < 100 && !opened; ++fail_at) {
    CountingSource source(text);
    CountingAllocator counting;
    counting.fail_at = fail_at;
    Config config;
    config.set_endpoints({server_->https_url(), server_->https_url() + "/second"});
    config.config.client_bundle_source = &source.base;
    config.config.client_bundle_path = "/nonexistent/not-read.pem";
    config.config.unix_socket_path = "/tmp/not-used.sock";
    config.config.default_namespace = "orders";
    config.config.allocator = counting.allocator;
    sv_client *client = nullptr;
    Error error;
    const int status = sv_client_open(&config.config, &client, error.get());
    if (status == SV_OK) {
      opened = true;
      EXPECT_LT(counting.allocations, fail_at) << "the open succeeded despite a failure";
      sv_client_close(client);
    } else {
      EXPECT_EQ(status, SV_ERR_NOMEM) << "allocation " << fail_at << ": " << error.message();
      EXPECT_EQ(client, nullptr);
      EXPECT_TRUE(messages.count(error.message()) == 1) << error.message();
      seen.insert(error.message());
    }
    EXPECT_EQ(counting.live, 0u) << "allocation " << fail_at;
  }
  EXPECT_TRUE(opened);
  EXPECT_EQ(seen, messages);
}

// ---- connections through the opened client ----

class ClientConnect : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer({.tls = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static DevServer *server_;
};
DevServer *ClientConnect::server_ = nullptr;

TEST_F(ClientConnect, OverMutualTlsWithABundlePath) {
  Config config;
  config.set_endpoints({server_->https_url()});
  const std::string path = server_->client_bundle_path();
  config.config.client_bundle_path = path.c_str();
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  EXPECT_EQ(sv_client_impl_of(raw)->bundle_bytes, nullptr);
  const size_t before = server_->access_log().size();
  std::string failure;
  EXPECT_EQ(acquire_through(raw, "tls-path", &failure), 200) << failure;
  ASSERT_TRUE(server_->wait_for_access_log(before + 1));
  EXPECT_EQ(server_->access_log().back().alpn, "h2");
}

TEST_F(ClientConnect, OverMutualTlsWithABundleSourceTheCallerClosesAfterOpen) {
  sv_source *source = nullptr;
  Error error;
  ASSERT_EQ(sv_source_from_file(server_->client_bundle_path().c_str(), &source, error.get()),
            SV_OK);
  Config config;
  config.set_endpoints({server_->https_url()});
  config.config.client_bundle_source = source;
  config.config.prefer_http_2 = 0;
  sv_client *raw = nullptr;
  const int status = sv_client_open(&config.config, &raw, error.get());
  sv_source_close(source);
  ASSERT_EQ(status, SV_OK) << error.message();
  ClientPtr client(raw);
  const size_t before = server_->access_log().size();
  std::string failure;
  EXPECT_EQ(acquire_through(raw, "tls-source", &failure), 200) << failure;
  ASSERT_TRUE(server_->wait_for_access_log(before + 1));
  EXPECT_EQ(server_->access_log().back().alpn, "http/1.1");
}

TEST_F(ClientConnect, OverPlainHttpWithoutABundle) {
  Config config;
  config.set_endpoints({server_->http_url()});
  config.config.disable_mtls = 1;
  sv_client *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &raw, error.get()), SV_OK) << error.message();
  ClientPtr client(raw);
  std::string failure;
  EXPECT_EQ(acquire_through(raw, "plain", &failure), 200) << failure;
  EXPECT_TRUE(server_->state("plain").lease.has_value());
}

}  // namespace
