// consumer_lambdas: the C++ interface's consumer service. Jobs are enqueued, then a service with
// two workers runs a lambda for every delivery; the lambda records each job's result under a
// lease of its own (a stavo::Lease: released on success, rolled back and released by its
// destructor if anything throws) and stops the service after the last job.
//
//   consumer_lambdas [--endpoint URL] [--bundle PATH] [--namespace NS]
//
// Exits 0 when every job was handled once and every result is committed on the server.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "cpp_example.hpp"

namespace {

constexpr int kJobs = 6;

}  // namespace

int main(int argc, char **argv) {
  return run_example(argc, argv, "consumer_lambdas", [](stavo::Client &client) {
    for (int i = 1; i <= kJobs; ++i)
      client.enqueue("cpp-jobs", "job-" + std::to_string(i));

    std::mutex mutex;
    std::set<std::string> handled;
    int duplicates = 0;
    stavo::ConsumerService *running = nullptr;  // set before the workers start

    stavo::ConsumerOptions consumer;
    consumer.queue = "cpp-jobs";
    consumer.request.owner = "consumer-lambdas";
    consumer.workers = 2;
    consumer.handler = [&](stavo::Delivery &delivery) {
      const std::string job = delivery.message.payload();
      stavo::AcquireOptions acquire;
      acquire.owner = "consumer-lambdas";
      stavo::Lease result = client.acquire("cpp-results/" + job, acquire);
      result.update("{\"job\":\"" + job + "\",\"status\":\"done\"}");
      result.release();  // commits; had update thrown, the destructor would roll back
      std::lock_guard<std::mutex> lock(mutex);
      if (!handled.insert(job).second) ++duplicates;
      std::printf("handled %s\n", job.c_str());
      if (handled.size() == kJobs) running->stop();
      // Returning normally acks the message; a throw would nack it for another attempt.
    };
    consumer.on_error = [](const stavo::Error &error) {
      std::fprintf(stderr, "consumer: %s\n", error.what());
      return false;  // keep going
    };

    stavo::ConsumerService service = client.consumer_service({consumer});
    running = &service;
    service.run();  // until the handler stops it

    for (int i = 1; i <= kJobs; ++i) {
      const stavo::State state = client.get_public("cpp-results/job-" + std::to_string(i));
      if (!state.info.has_state) {
        std::fprintf(stderr, "the result of job-%d is not committed\n", i);
        return 1;
      }
    }
    std::printf("%zu jobs handled, %d twice, every result committed\n", handled.size(), duplicates);
    return handled.size() == kJobs && duplicates == 0 ? 0 : 1;
  });
}
