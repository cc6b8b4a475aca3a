// Helpers of the lease and state operation tests: a lease taken through the engine, owned
// response records that free themselves, and the request headers the client chose to send.
#ifndef STAVO_TESTS_ENGINE_STATE_TEST_SUPPORT_H
#define STAVO_TESTS_ENGINE_STATE_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "stavoc_engine.h"

namespace engine_test {

// A response record and its error record, both cleaned when the owner goes away.
template <typename Response, void (*Cleanup)(Response *)>
struct Owned {
  Response response{};
  sv_engine_error error{};
  Owned() { sv_engine_error_init(&error); }
  ~Owned() {
    Cleanup(&response);
    sv_engine_error_reset(&error);
  }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  std::string message() const { return error.message != nullptr ? error.message : "<null>"; }
};

using AcquireResult = Owned<sv_engine_acquire_response, sv_engine_acquire_response_cleanup>;
using KeepaliveResult = Owned<sv_engine_keepalive_response, sv_engine_keepalive_response_cleanup>;
using ReleaseResult = Owned<sv_engine_release_response, sv_engine_release_response_cleanup>;
using UpdateResult = Owned<sv_engine_update_response, sv_engine_update_response_cleanup>;
using MetadataResult = Owned<sv_engine_metadata_response, sv_engine_metadata_response_cleanup>;
using RemoveResult = Owned<sv_engine_remove_response, sv_engine_remove_response_cleanup>;
using DescribeResult = Owned<sv_engine_describe_response, sv_engine_describe_response_cleanup>;

// What a granted lease hands back, as plain strings.
struct GrantedLease {
  std::string key;
  std::string namespace_name;
  std::string lease_id;
  std::string txn_id;
  int64_t fencing_token = 0;
  int64_t version = 0;
};

// Acquires key (ttl 30 s) through sv_engine_client_acquire; fails the test when it cannot.
GrantedLease take_lease(const sv_engine_client *client, const std::string &key,
                        const std::string &namespace_name = "");

// The write credentials of a lease filled into any request record with these members.
template <typename Request>
void fill_credentials(Request &request, const GrantedLease &lease) {
  request.key = lease.key.c_str();
  request.lease_id = lease.lease_id.c_str();
  request.txn_id = lease.txn_id.c_str();
  request.fencing_token = lease.fencing_token;
}

// The request header names that the client chose (Content-Type and X-*; libcurl adds its own
// Accept), in wire order.
std::vector<std::string> chosen_headers(const stavo::test::LoggedRequest &request);

// "<null>" for NULL (defined with the stream fixture).
std::string text(const char *value);

}  // namespace engine_test

#endif
