// Creating, starting, stopping and closing a consumer service; argument checks and the settings
// that the workers take over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "consumer_fixture.h"

namespace {

using consumer_test::Error;
using consumer_test::Rig;

int never_called(void *, const sv_consumer_delivery *, sv_error *) {
  ADD_FAILURE() << "no message was enqueued";
  return 1;
}

TEST(ConsumerLifecycle, CreationChecksItsArguments) {
  Rig rig;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", never_called, nullptr);
  sv_consumer_service_config config;
  sv_consumer_service_config_init(&config);
  sv_consumer_service *service = nullptr;
  Error error;

  EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, &service, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "new_consumer_service requires at least one consumer (consumers and consumer_count)");
  config.consumers = &consumer;
  config.consumer_count = 1;
  EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, nullptr, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "new_consumer_service requires client, config, and out");

  consumer.handle = nullptr;
  EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, &service, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer config requires handle");

  consumer.handle = never_called;
  for (const char *queue : {static_cast<const char *>(nullptr), ""}) {
    consumer.request.queue = queue;
    EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, &service, error.get()),
              SV_ERR_INVALID);
    EXPECT_EQ(error.message(), "consumer config requires request.queue");
  }
  // A queue name that is not UTF-8 cannot be sent; refused when the service is made.
  consumer.request.queue = "jobs\xff";
  EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, &service, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer config: request.queue is not valid UTF-8");
  EXPECT_EQ(error.detail(), "invalid byte at offset 4");
  consumer.request.queue = "jobs";
  EXPECT_EQ(service, nullptr) << "nothing is handed out after a failure";

  // The second consumer's fault undoes the first one's workers too (ASan checks the frees).
  sv_consumer_config two[2] = {consumer_test::consumer_for("a", never_called, nullptr),
                               consumer_test::consumer_for("b", nullptr, nullptr)};
  two[0].workers = 3;
  config.consumers = two;
  config.consumer_count = 2;
  EXPECT_EQ(sv_client_new_consumer_service(rig.client(), &config, &service, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(service, nullptr);
}

TEST(ConsumerLifecycle, CallOrderIsEnforced) {
  Rig rig;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", never_called, nullptr)});
  Error error;
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer service has not been started");
  EXPECT_EQ(sv_consumer_service_wait(nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer service wait requires service");
  EXPECT_EQ(sv_consumer_service_start(nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer service start requires service");
  EXPECT_EQ(sv_consumer_service_stop(nullptr), 1);
  sv_consumer_service_close(nullptr);

  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  EXPECT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "consumer service can only be started once");
  ASSERT_TRUE(rig.server().wait_for_requests(1));
  EXPECT_EQ(sv_consumer_service_stop(service.get()), 0);
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK);
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << "wait joins once";
}

TEST(ConsumerLifecycle, CloseStopsAndJoinsARunningService) {
  Rig rig;
  std::atomic<int> stops{0};
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", never_called, &stops);
  consumer.workers = 2;
  consumer.on_stop = [](void *context, const sv_consumer_event *event) {
    EXPECT_EQ(event->error, nullptr);
    ++*static_cast<std::atomic<int> *>(context);
  };
  auto service = consumer_test::make_service(rig.client(), {consumer});
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(rig.server().wait_for_requests(2));
  service.reset();  // close without stop or wait
  EXPECT_EQ(stops.load(), 2) << "both workers ended their streams";
}

TEST(ConsumerLifecycle, WorkersGetTheirOwnOwnersAndTheRequestSettings) {
  Rig rig;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs.eu", never_called, nullptr);
  consumer.name = "";  // the queue names the consumer
  consumer.workers = 2;
  consumer.request.visibility_timeout_seconds = 45;
  consumer.request.page_size = 0;
  sv_consumer_config named = consumer_test::consumer_for("other", never_called, nullptr);
  named.name = "billing";
  named.request.owner = "fixed-owner";
  auto service = consumer_test::make_service(rig.client(), {consumer, named});
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(rig.server().wait_for_requests(3));
  sv_consumer_service_stop(service.get());
  ASSERT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();

  std::set<std::string> generated;
  bool saw_named = false;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  char host_token[256];
  if (sv_consumer_sanitize_token(host, host_token, sizeof host_token) == 0) {
    std::strcpy(host_token, "unknown-host");
  }
  for (const auto &text : rig.bodies("/v1/queue/subscribe")) {
    const auto body = nlohmann::json::parse(text);
    if (body["queue"] == "other") {
      saw_named = true;
      EXPECT_EQ(body["owner"], "fixed-owner");
      continue;
    }
    EXPECT_EQ(body["queue"], "jobs.eu");
    EXPECT_EQ(body["visibility_timeout_seconds"], 45);
    EXPECT_EQ(body["page_size"], 1);
    const std::string owner = body["owner"];
    EXPECT_TRUE(std::regex_match(
        owner, std::regex("consumer-jobs\\.eu-" +
                          std::regex_replace(std::string(host_token), std::regex("\\."), "\\.") +
                          "-" + std::to_string(getpid()) + "-[0-9]+")))
        << owner;
    generated.insert(owner);
  }
  EXPECT_TRUE(saw_named);
  EXPECT_EQ(generated.size(), 2u) << "workers of one consumer never share an owner";
}

}  // namespace

namespace {

using namespace std::chrono_literals;

struct Acks {
  std::atomic<int> handled{0};
  consumer_test::Latch all;
  int expected = 3;
};

int count_and_ack(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *acks = static_cast<Acks *>(context);
  consumer_test::read_payload(delivery->message);
  if (++acks->handled == acks->expected) acks->all.open();
  return 0;  // the service acks
}

// The workers' clients take the parent's connection reuse: with it one worker's acks travel on
// one connection, without it each ack opens its own.
TEST(ConsumerLifecycle, WorkersReuseConnectionsWhenTheParentDoes) {
  for (const bool reuse : {true, false}) {
    consumer_test::RigOptions options;
    options.tls = false;  // the server then sees the client's own connections
    options.reuse_connections = reuse;
    Rig rig(options);
    Acks acks;
    for (int i = 0; i < acks.expected; ++i)
      rig.enqueue("jobs", "payload " + std::to_string(i));
    auto service = consumer_test::make_service(
        rig.client(), {consumer_test::consumer_for("jobs", count_and_ack, &acks)});
    Error error;
    ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
    ASSERT_TRUE(acks.all.wait());
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (rig.server().requests_to("POST", "/v1/queue/ack").size() < 3u &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(5ms);
    sv_consumer_service_stop(service.get());
    ASSERT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
    std::set<uint64_t> connections;
    const auto acked = rig.server().requests_to("POST", "/v1/queue/ack");
    ASSERT_EQ(acked.size(), 3u);
    for (const auto &request : acked) {
      EXPECT_NE(request.connection, 0u);
      connections.insert(request.connection);
    }
    EXPECT_EQ(connections.size(), reuse ? 1u : 3u) << (reuse ? "with reuse" : "without reuse");
  }
}

}  // namespace
