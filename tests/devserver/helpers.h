// Shared helpers of the dev server tests: raw HTTP calls for the lease and state operations.
#pragma once

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/dev_server.h"
#include "support/http_client.h"

namespace stavo::test {

using json = nlohmann::ordered_json;

inline std::string sha256_hex(const std::string &data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 15]);
  }
  return out;
}

inline json body_of(const HttpResponse &response) {
  return json::parse(response.body, nullptr, false);
}

struct TestLease {
  std::string lease_id;
  std::string txn_id;
  int64_t fencing_token = 0;
  HeaderList headers() const {
    return {{"X-Lease-ID", lease_id},
            {"X-Txn-ID", txn_id},
            {"X-Fencing-Token", std::to_string(fencing_token)}};
  }
};

inline HttpResponse acquire(const DevServer &dev, const std::string &key, json extra = {}) {
  json body = {{"namespace", "default"}, {"key", key}, {"ttl_seconds", 30}, {"owner", "tester"}};
  for (const auto &[name, value] : extra.items())
    body[name] = value;
  return http_post(dev.http_url() + "/v1/acquire", body.dump());
}

inline TestLease must_acquire(const DevServer &dev, const std::string &key, json extra = {}) {
  HttpResponse response = acquire(dev, key, std::move(extra));
  EXPECT_EQ(response.status, 200) << response.body;
  json body = body_of(response);
  TestLease lease;
  if (body.is_object()) {
    lease.lease_id = body.value("lease_id", "");
    lease.txn_id = body.value("txn_id", "");
    lease.fencing_token = body.value("fencing_token", int64_t{0});
  }
  return lease;
}

inline HttpResponse release(const DevServer &dev, const std::string &key, const TestLease &lease,
                            bool rollback = false) {
  json body = {{"namespace", "default"}, {"key", key}, {"lease_id", lease.lease_id}};
  if (rollback) body["rollback"] = true;
  return http_post(dev.http_url() + "/v1/release", body.dump(),
                   {{"Content-Type", "application/json"},
                    {"X-Fencing-Token", std::to_string(lease.fencing_token)}});
}

inline HttpResponse update(const DevServer &dev, const std::string &key, const TestLease &lease,
                           const std::string &state, HeaderList extra = {}) {
  HeaderList headers = {{"Content-Type", "application/json"}};
  for (auto &header : lease.headers())
    headers.push_back(header);
  for (auto &header : extra)
    headers.push_back(header);
  return http_post(dev.http_url() + "/v1/update?key=" + key + "&namespace=default", state, headers);
}

inline HttpResponse get_state(const DevServer &dev, const std::string &key,
                              const TestLease *lease) {
  std::string url = dev.http_url() + "/v1/get?key=" + key + "&namespace=default";
  if (lease == nullptr) return http_get(url + "&public=1");
  return http_get(url, {{"X-Lease-ID", lease->lease_id},
                        {"X-Fencing-Token", std::to_string(lease->fencing_token)}});
}

inline HttpResponse mutate(const DevServer &dev, const std::string &key, const TestLease &lease,
                           const std::vector<std::string> &expressions) {
  HeaderList headers = {{"Content-Type", "application/json"}};
  for (auto &header : lease.headers())
    headers.push_back(header);
  json body = {{"namespace", "default"}, {"mutations", expressions}};
  return http_post(dev.http_url() + "/v1/mutate?key=" + key + "&namespace=default", body.dump(),
                   headers);
}

inline std::string error_code(const HttpResponse &response) {
  json body = body_of(response);
  return body.is_object() ? body.value("error", "") : "";
}

}  // namespace stavo::test
