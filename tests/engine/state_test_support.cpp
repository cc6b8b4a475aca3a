#include "state_test_support.h"

namespace engine_test {

GrantedLease take_lease(const sv_engine_client *client, const std::string &key,
                        const std::string &namespace_name) {
  sv_engine_acquire_request request{};
  request.namespace_name = namespace_name.c_str();
  request.key = key.c_str();
  request.owner = "tester";
  request.ttl_seconds = 30;
  AcquireResult acquired;
  const int status =
      sv_engine_client_acquire(client, &request, &acquired.response, &acquired.error);
  EXPECT_EQ(status, SV_OK) << acquired.message();
  GrantedLease lease;
  lease.key = key;
  lease.namespace_name = text(acquired.response.namespace_name);
  lease.lease_id = text(acquired.response.lease_id);
  lease.txn_id = text(acquired.response.txn_id);
  lease.fencing_token = acquired.response.fencing_token;
  lease.version = acquired.response.version;
  return lease;
}

std::vector<std::string> chosen_headers(const stavo::test::LoggedRequest &request) {
  EXPECT_TRUE(request.headers_in_order);
  std::vector<std::string> names;
  for (const std::string &name : request.header_names()) {
    if (name == "Content-Type" || name.rfind("X-", 0) == 0) {
      names.push_back(name);
    }
  }
  return names;
}

}  // namespace engine_test
