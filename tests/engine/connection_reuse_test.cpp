// Clients opened with reuse_connections over plain HTTP: requests share one connection, and
// failover still walks the endpoints when a pooled connection leads to a server that turned
// passive, was restarted, or dropped the connection.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "stream_fixture.h"

namespace {

using engine_test::Call;
using engine_test::Client;
using stavo::test::DevServer;
using stavo::test::Fault;
using stavo::test::LoggedRequest;

std::vector<uint64_t> connections_of(const std::vector<LoggedRequest> &requests) {
  std::vector<uint64_t> numbers;
  for (const auto &request : requests)
    numbers.push_back(request.connection);
  return numbers;
}

void acquire(Call &call, const Client &client, const std::string &key) {
  engine_test::post_json(call, client.client, "/v1/acquire", engine_test::acquire_json(key));
}

// Opens a plain-HTTP client on the endpoints, with or without reuse.
void open_plain(Client &client, const std::vector<std::string> &endpoints, bool reuse) {
  client.config.disable_mtls = 1;
  client.config.reuse_connections = reuse ? 1 : 0;
  client.config.timeout_ms = 10000;  // a hang fails the test instead of stalling it
  ASSERT_EQ(client.open(endpoints), SV_OK) << client.open_message;
}

TEST(ConnectionReuse, OneConnectionCarriesEveryRequestOnlyWhenAskedFor) {
  DevServer server;
  for (const bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "reuse" : "per call");
    server.clear_requests();
    Client client;
    open_plain(client, {server.http_url()}, reuse);
    ASSERT_EQ(client.client->reuse_connections, reuse ? 1 : 0);
    for (int i = 0; i < 4; ++i) {
      Call call;
      acquire(call, client, "reuse-" + std::to_string(reuse) + "-" + std::to_string(i));
      ASSERT_EQ(call.status, SV_OK) << call.message();
      EXPECT_EQ(call.result.status, 200);
    }
    ASSERT_TRUE(server.wait_for_requests(4));
    const auto numbers = connections_of(server.requests());
    ASSERT_EQ(numbers.size(), 4u);
    for (const uint64_t number : numbers)
      EXPECT_NE(number, 0u);
    const std::set<uint64_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), reuse ? 1u : 4u);
  }
}

TEST(ConnectionReuse, StreamedTransfersShareThePoolWithJsonExchanges) {
  DevServer server;
  Client client;
  open_plain(client, {server.http_url()}, true);
  const engine_test::Lease lease = engine_test::acquire_lease(client.client, "streamed");
  sv_engine_update_request update{};
  update.key = "streamed";
  update.lease_id = lease.lease_id.c_str();
  update.fencing_token = lease.fencing_token;
  engine_test::StringReader reader(R"({"n":1})");
  sv_engine_update_response updated{};
  engine_test::Error update_error;
  ASSERT_EQ(sv_engine_client_update_from(client.client, &update, engine_test::StringReader::read,
                                         &reader, &updated, &update_error),
            SV_OK)
      << update_error.message();
  sv_engine_update_response_cleanup(&updated);
  for (int i = 0; i < 2; ++i) {
    sv_engine_get_request get{};
    get.key = "streamed";
    get.lease_id = lease.lease_id.c_str();
    get.fencing_token = lease.fencing_token;
    engine_test::StringWriter writer;
    sv_engine_get_stream_response response{};
    engine_test::Error error;
    ASSERT_EQ(sv_engine_client_get_into(client.client, &get, engine_test::StringWriter::write,
                                        &writer, &response, &error),
              SV_OK)
        << error.message();
    EXPECT_EQ(writer.data, R"({"n":1})");
    sv_engine_get_stream_response_cleanup(&response);
  }
  ASSERT_TRUE(server.wait_for_requests(4));
  const auto numbers = connections_of(server.requests());
  ASSERT_EQ(numbers.size(), 4u);
  EXPECT_EQ(std::set<uint64_t>(numbers.begin(), numbers.end()).size(), 1u);
}

TEST(ConnectionReuse, AServerTurnedPassiveOnAPooledConnectionSendsTheCallOn) {
  DevServer first;
  DevServer second;
  Client client;
  open_plain(client, {first.http_url(), second.http_url()}, true);
  Call warm;
  acquire(warm, client, "passive-0");
  ASSERT_EQ(warm.status, SV_OK) << warm.message();

  first.set_passive(true);
  for (int i = 1; i <= 2; ++i) {
    Call call;
    acquire(call, client, "passive-" + std::to_string(i));
    ASSERT_EQ(call.status, SV_OK) << call.message();
    EXPECT_EQ(call.result.status, 200);
    EXPECT_EQ(std::string(call.reply.key), "passive-" + std::to_string(i));
  }
  // The first server answered every call, passive ones over the connection already open; the
  // second took the two calls it was handed, also over one connection.
  ASSERT_TRUE(first.wait_for_requests(3));
  const auto on_first = first.requests();
  ASSERT_EQ(on_first.size(), 3u);
  EXPECT_EQ(on_first[1].status, 503);
  EXPECT_EQ(on_first[2].status, 503);
  EXPECT_EQ(on_first[0].connection, on_first[2].connection);
  ASSERT_TRUE(second.wait_for_requests(2));
  const auto on_second = second.requests();
  ASSERT_EQ(on_second.size(), 2u);
  EXPECT_EQ(on_second[0].connection, on_second[1].connection);
  EXPECT_TRUE(second.state("passive-2").lease.has_value());
}

TEST(ConnectionReuse, ARestartedServerGetsAFreshConnectionAndAStoppedOneIsReported) {
  auto first = std::make_unique<stavo::devserver::Server>();
  first->start();
  const int port = first->port();
  const std::string url = first->base_url();
  Client client;
  open_plain(client, {url}, true);
  Call before;
  acquire(before, client, "restart-0");
  ASSERT_EQ(before.status, SV_OK) << before.message();

  // The pooled connection dies with the server; the call after a restart must not fail on it.
  first->stop();
  first.reset();
  stavo::devserver::ServerOptions options;
  options.port = port;
  auto second = std::make_unique<stavo::devserver::Server>(options);
  second->start();
  ASSERT_EQ(second->port(), port);
  Call after;
  acquire(after, client, "restart-1");
  ASSERT_EQ(after.status, SV_OK) << after.message();
  EXPECT_EQ(after.result.status, 200);
  ASSERT_TRUE(second->requests().wait_for_complete(1, std::chrono::seconds(5)));
  EXPECT_EQ(second->requests().snapshot().front().target, "/v1/acquire");

  // A server that is gone is a transport failure, not a hang on the pooled connection.
  second->stop();
  Call gone;
  acquire(gone, client, "restart-2");
  EXPECT_EQ(gone.status, SV_ERR_TRANSPORT) << gone.message();
}

TEST(ConnectionReuse, ADroppedPooledConnectionIsRetriedOnceThenReported) {
  DevServer server;
  Client client;
  open_plain(client, {server.http_url()}, true);
  Call warm;
  acquire(warm, client, "drop-0");
  ASSERT_EQ(warm.status, SV_OK) << warm.message();

  // The server closes the pooled connection without an answer (and without handling the
  // request): libcurl resends it once on a fresh connection, and the call succeeds.
  Fault dropped = Fault::respond("POST", "/v1/acquire", 500, "{}");
  dropped.drop_connection = true;
  server.add_fault(dropped);
  Call retried;
  acquire(retried, client, "drop-1");
  ASSERT_EQ(retried.status, SV_OK) << retried.message();
  EXPECT_EQ(retried.result.status, 200);
  EXPECT_EQ(std::string(retried.reply.key), "drop-1");
  ASSERT_TRUE(server.wait_for_requests(3));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].connection, requests[0].connection);
  EXPECT_NE(requests[2].connection, requests[1].connection);

  // When the fresh connection is dropped as well, the call reports it.
  server.clear_requests();
  server.add_fault(dropped.repeat(2));
  Call failed;
  acquire(failed, client, "drop-2");
  EXPECT_EQ(failed.status, SV_ERR_TRANSPORT) << failed.message();
  EXPECT_EQ(failed.result.status, 0);
  EXPECT_FALSE(server.state("drop-2").lease.has_value());
}

TEST(ConnectionReuse, ADroppedConnectionStillFailsOverToTheNextEndpoint) {
  DevServer first;
  DevServer second;
  Client client;
  open_plain(client, {first.http_url(), second.http_url()}, true);
  Fault dropped = Fault::dropped("POST", "/v1/acquire");
  first.add_fault(dropped.repeat(2));
  Call call;
  acquire(call, client, "drop-over");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_TRUE(second.state("drop-over").lease.has_value());
}

}  // namespace
