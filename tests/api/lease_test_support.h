// Helpers of the lease tests: a client opened on the dev server (plain HTTP or HTTP/2 over
// mutual TLS), a mapped order record, memory sources and sinks that clean up with their scope.
#ifndef STAVO_TESTS_API_LEASE_TEST_SUPPORT_H
#define STAVO_TESTS_API_LEASE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api_test_support.h"
#include "stavoc.h"
#include "support/dev_server.h"

namespace lease_test {

struct Order {
  int64_t id;
  char *item;
  int64_t quantity;
};

inline const brindle_field order_fields[] = {
    BRINDLE_DECL_I64(Order, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Order, item, "item", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_I64(Order, quantity, "quantity", 0),
};
inline const brindle_map order_map = BRINDLE_MAP("order_json", Order, order_fields);

// An order record that is cleaned up with its scope.
struct OrderRecord {
  Order record{};
  OrderRecord() { brindle_init(&order_map, &record); }
  ~OrderRecord() { brindle_cleanup(&order_map, &record); }
  OrderRecord(const OrderRecord &) = delete;
  OrderRecord &operator=(const OrderRecord &) = delete;
};

struct ClientConfig {
  sv_client_config config{};
  std::vector<std::string> endpoint_text;
  std::vector<const char *> endpoints;
  std::string bundle;
  ClientConfig(const stavo::test::DevServer &server, bool tls,
               std::vector<std::string> extra = {}) {
    sv_client_config_init(&config);
    endpoint_text.push_back(tls ? server.https_url() : server.http_url());
    for (auto &text : extra)
      endpoint_text.push_back(std::move(text));
    for (const auto &text : endpoint_text)
      endpoints.push_back(text.c_str());
    config.endpoints = endpoints.data();
    config.endpoint_count = endpoints.size();
    if (tls) {
      bundle = server.client_bundle_path();
      config.client_bundle_path = bundle.c_str();
      config.prefer_http_2 = 1;
    } else {
      config.disable_mtls = 1;
    }
  }
};

struct ClientCloser {
  void operator()(sv_client *client) const { sv_client_close(client); }
};
using ClientPtr = std::unique_ptr<sv_client, ClientCloser>;

struct LeaseCloser {
  void operator()(sv_lease *lease) const { sv_lease_close(lease); }
};

struct SourceCloser {
  void operator()(sv_source *source) const { sv_source_close(source); }
};
using SourcePtr = std::unique_ptr<sv_source, SourceCloser>;

struct SinkCloser {
  void operator()(sv_sink *sink) const { sv_sink_close(sink); }
};
using SinkPtr = std::unique_ptr<sv_sink, SinkCloser>;

inline SourcePtr memory_source(const std::string &text) {
  sv_source *source = nullptr;
  EXPECT_EQ(sv_source_from_memory(text.data(), text.size(), &source, nullptr), SV_OK);
  return SourcePtr(source);
}

inline SinkPtr memory_sink() {
  sv_sink *sink = nullptr;
  EXPECT_EQ(sv_sink_to_memory(&sink, nullptr), SV_OK);
  return SinkPtr(sink);
}

inline std::string sink_text(sv_sink *sink) {
  const char *bytes = nullptr;
  size_t length = 0;
  if (sv_sink_memory_bytes(sink, &bytes, &length) != 0 || bytes == nullptr) return {};
  return std::string(bytes, length);
}

inline sv_acquire_req acquire_request(const char *key, const char *owner = "lease-test") {
  sv_acquire_req req;
  sv_acquire_req_init(&req);
  req.key = key;
  req.owner = owner;
  req.ttl_seconds = 30;
  return req;
}

inline std::string text_or_empty(const char *text) {
  return text != nullptr ? text : "";
}

}  // namespace lease_test

#endif
