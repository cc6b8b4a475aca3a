// long_work_lease: a lease kept alive during work that takes longer than its TTL. The lease is
// taken with a TTL of one second; a stavo::LeaseKeeper renews it in the background at about a
// third of that while the work writes its progress under the lease for three seconds, and the
// final release commits the result.
//
//   long_work_lease [--endpoint URL] [--bundle PATH] [--namespace NS]
//
// Exits 0 when the lease survived the work and the result is committed.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cpp_example.hpp"

int main(int argc, char **argv) {
  return run_example(argc, argv, "long_work_lease", [](stavo::Client &client) {
    stavo::KeeperOptions keeper_options;
    keeper_options.on_lost = [](const stavo::LostLease &lost) {
      std::fprintf(stderr, "lost the lease on %s: %s\n", lost.key.c_str(), lost.error.what());
    };
    stavo::LeaseKeeper keeper(keeper_options);

    stavo::AcquireOptions acquire;
    acquire.owner = "long-work";
    acquire.ttl_seconds = 1;
    stavo::Lease lease = client.acquire("cpp-reports/nightly", acquire);
    keeper.keep(lease, acquire.ttl_seconds);
    std::printf("acquired %s with a ttl of 1s\n", lease.key().c_str());

    for (int step = 1; step <= 6; ++step) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the long work
      // Throws the keeper's "lease lost: ..." failure if the server dropped the lease.
      lease.update("{\"step\":" + std::to_string(step) + "}");
    }
    const int64_t renewals = keeper.renewals(lease);
    lease.update(R"({"step":6,"status":"complete"})");
    lease.release();
    std::printf("3s of work on a 1s lease, renewed %lld times, result committed\n",
                static_cast<long long>(renewals));
    return renewals >= 3 ? 0 : 1;
  });
}
