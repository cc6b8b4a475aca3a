// The write headers helper on its own: order, optional lines, room checks and the formatted
// numbers; and credentials that would smuggle header lines.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "state_test_support.h"

namespace {

std::vector<std::string> lines(const sv_engine_header *headers, size_t count) {
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) {
    out.push_back(std::string(headers[i].name) + ": " +
                  (headers[i].value != nullptr ? headers[i].value : ""));
  }
  return out;
}

TEST(StateMutationHeaders, OrderAndOptionalLines) {
  sv_engine_header headers[8];
  headers[0] = {"X-Before", "kept"};
  size_t count = 1;
  char token[SV_ENGINE_INT_TEXT_CAPACITY];
  ASSERT_EQ(sv_engine_apply_common_mutation_headers(headers, 8, &count, "text/plain", 42, token,
                                                    sizeof(token), "lease-1", "txn-1", "etag-1"),
            SV_OK);
  EXPECT_EQ(lines(headers, count),
            (std::vector<std::string>{"X-Before: kept", "Content-Type: text/plain",
                                      "X-Fencing-Token: 42", "X-Lease-ID: lease-1",
                                      "X-Txn-ID: txn-1", "X-If-State-ETag: etag-1"}));

  // Empty lease id and ETag are left out; the transaction line stays, without a value.
  count = 0;
  ASSERT_EQ(
      sv_engine_apply_common_mutation_headers(headers, 8, &count, "application/json", INT64_MIN,
                                              token, sizeof(token), "", nullptr, ""),
      SV_OK);
  EXPECT_EQ(lines(headers, count),
            (std::vector<std::string>{"Content-Type: application/json",
                                      "X-Fencing-Token: -9223372036854775808", "X-Txn-ID: "}));
  EXPECT_EQ(headers[2].value, nullptr);
}

TEST(StateMutationHeaders, RoomAndArgumentChecks) {
  sv_engine_header headers[8];
  char token[SV_ENGINE_INT_TEXT_CAPACITY];
  size_t count = 4;
  // Five free slots are needed whatever is optional; count is unchanged on failure.
  EXPECT_EQ(sv_engine_apply_common_mutation_headers(headers, 8, &count, "a", 1, token,
                                                    sizeof(token), nullptr, nullptr, nullptr),
            SV_ERR_NOMEM);
  EXPECT_EQ(count, 4u);
  count = 9;
  EXPECT_EQ(sv_engine_apply_common_mutation_headers(headers, 8, &count, "a", 1, token,
                                                    sizeof(token), nullptr, nullptr, nullptr),
            SV_ERR_INVALID);
  count = 0;
  EXPECT_EQ(sv_engine_apply_common_mutation_headers(nullptr, 8, &count, "a", 1, token,
                                                    sizeof(token), nullptr, nullptr, nullptr),
            SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_apply_common_mutation_headers(headers, 8, nullptr, "a", 1, token,
                                                    sizeof(token), nullptr, nullptr, nullptr),
            SV_ERR_INVALID);
  // A token buffer too small for the number.
  EXPECT_EQ(sv_engine_apply_common_mutation_headers(headers, 8, &count, "a", 123456, token, 4,
                                                    nullptr, nullptr, nullptr),
            SV_ERR_NOMEM);
  EXPECT_EQ(count, 0u);

  sv_engine_header one{};
  EXPECT_EQ(sv_engine_set_fencing_header(7, token, sizeof(token), &one), SV_OK);
  EXPECT_STREQ(one.name, "X-Fencing-Token");
  EXPECT_STREQ(one.value, "7");
  EXPECT_EQ(sv_engine_set_fencing_header(7, nullptr, 8, &one), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_set_fencing_header(7, token, sizeof(token), nullptr), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_set_fencing_header(INT64_MAX, token, 19, &one), SV_ERR_NOMEM);
  EXPECT_EQ(sv_engine_set_fencing_header(INT64_MAX, token, 20, &one), SV_OK);
  EXPECT_STREQ(one.value, "9223372036854775807");
}

TEST(StateMutationHeaders, LineBreaksInCredentialsNeverReachTheWire) {
  stavo::test::DevServer server;
  engine_test::Client client;
  client.config.disable_mtls = 1;
  ASSERT_EQ(client.open({server.http_url()}), SV_OK) << client.open_message;
  const engine_test::GrantedLease lease = engine_test::take_lease(client.client, "crlf");
  server.clear_requests();
  const std::string smuggled = lease.lease_id + "\r\nX-Injected: 1";
  sv_engine_update_request request{};
  engine_test::fill_credentials(request, lease);
  request.lease_id = smuggled.c_str();
  engine_test::UpdateResult refused;
  EXPECT_EQ(sv_engine_client_update(client.client, &request, &refused.response, &refused.error),
            SV_ERR_INVALID);
  EXPECT_EQ(refused.error.code, SV_ERR_INVALID);
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
