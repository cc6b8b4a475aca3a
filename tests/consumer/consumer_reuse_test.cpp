// The consumer service's worker clients take reuse_connections from the client that created the
// service: with it, the acks of one worker travel over a connection they share; without it,
// every ack opens a connection of its own.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "consumer_fixture.h"

namespace {

using consumer_test::Error;
using consumer_test::Rig;
using consumer_test::RigOptions;

struct Counter {
  std::mutex mutex;
  std::condition_variable changed;
  int handled = 0;
};

int count_and_ack(void *context, const sv_consumer_delivery *, sv_error *) {
  auto *counter = static_cast<Counter *>(context);
  const std::lock_guard<std::mutex> lock(counter->mutex);
  ++counter->handled;
  counter->changed.notify_all();
  return SV_OK;  // the service acks
}

// The connections that carried the acks of `messages` messages handled by one worker of a
// service created from a plain-HTTP client with or without reuse.
std::vector<uint64_t> ack_connections(bool reuse, int messages) {
  Rig rig(RigOptions{.tls = false});
  const std::string queue = reuse ? "reuse-on" : "reuse-off";
  for (int i = 0; i < messages; ++i)
    rig.enqueue(queue, "payload " + std::to_string(i));
  const std::string endpoint = rig.server().http_url();
  const char *endpoints[] = {endpoint.c_str()};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  config.reuse_connections = reuse ? 1 : 0;
  sv_client *client = nullptr;
  Error error;
  if (sv_client_open(&config, &client, error.get()) != SV_OK) {
    ADD_FAILURE() << error.message();
    return {};
  }
  Counter counter;
  {
    auto service = consumer_test::make_service(
        client, {consumer_test::consumer_for(queue.c_str(), count_and_ack, &counter)});
    if (service != nullptr && sv_consumer_service_start(service.get(), error.get()) == SV_OK) {
      std::unique_lock<std::mutex> lock(counter.mutex);
      EXPECT_TRUE(counter.changed.wait_for(lock, std::chrono::seconds(30),
                                           [&] { return counter.handled >= messages; }));
      lock.unlock();
      // The service acks after the handler returned: the queue empties with the last ack.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (rig.queue(queue).messages > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
      ADD_FAILURE() << "the service did not start: " << error.message();
    }
  }
  sv_client_close(client);
  std::vector<uint64_t> numbers;
  for (const auto &request : rig.server().requests_to("POST", "/v1/queue/ack"))
    numbers.push_back(request.connection);
  return numbers;
}

TEST(ConsumerReuse, WorkerClientsShareConnectionsOnlyWhenTheParentDoes) {
  constexpr int kMessages = 4;
  const auto reused = ack_connections(true, kMessages);
  ASSERT_EQ(reused.size(), static_cast<size_t>(kMessages));
  // Handlers run one after another on one worker, so each ack finds the previous one's
  // connection in the pool.
  EXPECT_EQ(std::set<uint64_t>(reused.begin(), reused.end()).size(), 1u);

  const auto separate = ack_connections(false, kMessages);
  ASSERT_EQ(separate.size(), static_cast<size_t>(kMessages));
  EXPECT_EQ(std::set<uint64_t>(separate.begin(), separate.end()).size(),
            static_cast<size_t>(kMessages));
  for (const uint64_t number : separate)
    EXPECT_NE(number, 0u);
}

}  // namespace
