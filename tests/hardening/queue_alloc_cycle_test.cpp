// Allocation failure through the queue's public calls: an enqueue/dequeue/ack cycle, and a
// consumer service that is started, handles one message, is stopped and closed. Every N fails
// in turn: the cycle ends with SV_ERR_NOMEM (directly, or through the service's error callback)
// or passes without having reached its failing allocation, and no block is left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "alloc_cycle.h"
#include "stavoc.h"

namespace {

using alloc_cycle::Allocators;
using api_test::Error;
using namespace std::chrono_literals;

constexpr const char *kPayload = "one queued payload";

// Enqueues with a client of its own that does not count, so that a cycle starts with a message.
int enqueue_plain(const stavo::test::DevServer &server, const std::string &queue) {
  lease_test::ClientConfig config(server, false);
  sv_client *client = nullptr;
  int status = sv_client_open(&config.config, &client, nullptr);
  if (status != SV_OK) return status;
  sv_enqueue_req req;
  sv_enqueue_req_init(&req);
  req.queue = queue.c_str();
  auto payload = lease_test::memory_source(kPayload);
  sv_enqueue_res res{};
  status = sv_enqueue(client, &req, payload.get(), &res, nullptr);
  sv_enqueue_res_cleanup(&res);
  sv_client_close(client);
  return status;
}

sv_dequeue_req dequeue_request(const std::string &queue, int32_t page_size) {
  sv_dequeue_req req;
  sv_dequeue_req_init(&req);
  req.queue = queue.c_str();
  req.owner = "alloc-cycle";
  req.page_size = page_size;
  return req;
}

// Reads the payload and acks the message; the handle is gone afterwards whatever happened.
int read_and_ack(sv_message *message, Error &error) {
  auto sink = lease_test::memory_sink();
  int status = sv_message_write_payload(message, sink.get(), nullptr, error.get());
  if (status == SV_OK && lease_test::sink_text(sink.get()) != kPayload) {
    ADD_FAILURE() << "the payload arrived changed";
  }
  if (status == SV_OK) status = sv_message_ack(message, error.get());
  if (status != SV_OK) sv_message_close(message);  // a failed ack leaves the handle open
  return status;
}

int queue_calls(sv_client *client, const std::string &queue, Error &error) {
  sv_enqueue_req enqueue;
  sv_enqueue_req_init(&enqueue);
  enqueue.queue = queue.c_str();
  for (int i = 0; i < 2; ++i) {
    auto payload = lease_test::memory_source(kPayload);
    sv_enqueue_res res{};
    const int status = sv_enqueue(client, &enqueue, payload.get(), &res, error.get());
    sv_enqueue_res_cleanup(&res);
    if (status != SV_OK) return status;
  }
  const sv_dequeue_req one = dequeue_request(queue, 1);
  sv_message *message = nullptr;
  int status = sv_dequeue(client, &one, &message, error.get());
  if (status != SV_OK) return status;
  if (message == nullptr) {
    ADD_FAILURE() << "the first message was not delivered";
    return SV_ERR_PROTOCOL;
  }
  status = read_and_ack(message, error);
  if (status != SV_OK) return status;
  const sv_dequeue_req batch_req = dequeue_request(queue, 4);
  sv_dequeue_batch_res batch{};
  status = sv_dequeue_batch(client, &batch_req, &batch, error.get());
  if (status == SV_OK && batch.count != 1) {
    ADD_FAILURE() << "the batch held " << batch.count << " messages instead of 1";
    status = SV_ERR_PROTOCOL;
  }
  for (size_t i = 0; status == SV_OK && i < batch.count; ++i) {
    status = read_and_ack(batch.items[i], error);
    batch.items[i] = nullptr;
  }
  sv_dequeue_batch_cleanup(&batch);
  return status;
}

TEST(QueueAllocationCycle, EnqueueDequeueAndAckFailCleanlyAtEveryAllocation) {
  stavo::test::DevServer server;
  const size_t runs = alloc_cycle::run_every_failure(
      server, [](sv_client_config &config, Allocators &, const std::string &tag, Error &error) {
        sv_client *client = nullptr;
        int status = sv_client_open(&config, &client, error.get());
        if (status != SV_OK) return status;
        status = queue_calls(client, "queue-" + tag, error);
        sv_client_close(client);
        return status;
      });
  EXPECT_GT(runs, 10u);
}

// What the consumer service reported back while a cycle ran.
struct ServiceWatch {
  std::mutex mutex;
  std::condition_variable changed;
  bool handled = false;
  bool ended = false;  // the service's wait returned
  int ack_status = SV_OK;
  int reported = SV_OK;  // the first failure the error callback saw

  static int handle(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
    auto *self = static_cast<ServiceWatch *>(context);
    auto sink = lease_test::memory_sink();
    int status = sv_message_write_payload(delivery->message, sink.get(), nullptr, error);
    // The handler settles the message itself, so that the ack's outcome is known here.
    if (status == SV_OK) status = sv_message_ack(delivery->message, error);
    const std::lock_guard<std::mutex> lock(self->mutex);
    self->handled = true;
    self->ack_status = status;
    self->changed.notify_all();
    return status;
  }

  static int on_error(void *context, const sv_consumer_error_event *event, sv_error *) {
    auto *self = static_cast<ServiceWatch *>(context);
    const std::lock_guard<std::mutex> lock(self->mutex);
    if (self->reported == SV_OK) {
      self->reported = event->error != nullptr && event->error->code != SV_OK
                           ? event->error->code
                           : SV_ERR_PROTOCOL;  // a failure without its code is wrong as well
    }
    self->changed.notify_all();
    return 1;  // stop: one failure is all a run is about
  }
};

// Start, one handled message, stop, wait and close; the first failure wins.
int consumer_cycle(sv_client *client, const std::string &queue, Error &error) {
  ServiceWatch watch;
  sv_consumer_config consumer;
  sv_consumer_config_init(&consumer);
  consumer.request.queue = queue.c_str();
  consumer.handle = ServiceWatch::handle;
  consumer.on_error = ServiceWatch::on_error;
  consumer.context = &watch;
  sv_consumer_service_config config;
  sv_consumer_service_config_init(&config);
  config.consumers = &consumer;
  config.consumer_count = 1;
  sv_consumer_service *service = nullptr;
  int status = sv_client_new_consumer_service(client, &config, &service, error.get());
  if (status != SV_OK) return status;
  status = sv_consumer_service_start(service, error.get());
  Error waited;
  int wait_status = SV_OK;
  if (status == SV_OK) {
    // A worker that cannot start ends the service with the failure that wait returns.
    std::thread waiter([&] {
      const int result = sv_consumer_service_wait(service, waited.get());
      const std::lock_guard<std::mutex> lock(watch.mutex);
      wait_status = result;
      watch.ended = true;
      watch.changed.notify_all();
    });
    {
      std::unique_lock<std::mutex> lock(watch.mutex);
      const bool settled = watch.changed.wait_for(
          lock, 30s, [&] { return watch.handled || watch.reported != SV_OK || watch.ended; });
      if (!settled) ADD_FAILURE() << "the service neither handled the message nor failed";
    }
    sv_consumer_service_stop(service);
    waiter.join();
  }
  sv_consumer_service_close(service);
  if (status != SV_OK) return status;
  const std::lock_guard<std::mutex> lock(watch.mutex);
  if (watch.reported != SV_OK) return watch.reported;
  if (watch.ack_status != SV_OK) return watch.ack_status;
  if (wait_status != SV_OK) {
    sv_error_set(error.get(), wait_status, 0, waited.message().c_str(), nullptr, nullptr, nullptr);
    return wait_status;
  }
  return watch.handled ? SV_OK : SV_ERR_PROTOCOL;
}

TEST(QueueAllocationCycle, ConsumerServiceStartHandleStopFailCleanlyAtEveryAllocation) {
  stavo::test::DevServer server;
  const size_t runs = alloc_cycle::run_every_failure(
      server,
      [&server](sv_client_config &config, Allocators &, const std::string &tag, Error &error) {
        const std::string queue = "consumer-" + tag;
        EXPECT_EQ(enqueue_plain(server, queue), SV_OK);
        sv_client *client = nullptr;
        int status = sv_client_open(&config, &client, error.get());
        if (status != SV_OK) return status;
        status = consumer_cycle(client, queue, error);
        sv_client_close(client);
        return status;
      });
  EXPECT_GT(runs, 10u);
}

}  // namespace
