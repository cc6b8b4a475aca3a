// Allocation failure along a whole cycle of public calls: the cycle runs once for every N with
// the Nth allocation failing (counted from the client's open), and must end with SV_OK or
// SV_ERR_NOMEM and give back every block. A new cycle (queue, consumer) is one more function.
#ifndef STAVO_TESTS_HARDENING_ALLOC_CYCLE_H
#define STAVO_TESTS_HARDENING_ALLOC_CYCLE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "api/lease_test_support.h"

namespace alloc_cycle {

// The allocators of one run: the client's sv_allocator, and a brindle allocator for calls that
// take parse options, both drawing from one count so that a failure can land in either.
struct Allocators {
  api_test::CountingAllocator counting;
  brindle_allocator brindle{};

  Allocators() {
    brindle.malloc = [](void *context, size_t size) -> void * {
      auto *self = static_cast<Allocators *>(context);
      return self->counting.should_fail() ? nullptr : std::malloc(size);
    };
    brindle.realloc = [](void *context, void *pointer, size_t size) -> void * {
      auto *self = static_cast<Allocators *>(context);
      return self->counting.should_fail() ? nullptr : std::realloc(pointer, size);
    };
    brindle.free = [](void *, void *pointer) { std::free(pointer); };
    brindle.ctx = this;
  }
  Allocators(const Allocators &) = delete;
  Allocators &operator=(const Allocators &) = delete;
};

// One run of a cycle: opens its client with config (allocator set), runs its calls, closes the
// client. Returns the first status that is not SV_OK (SV_OK when every call passed); error
// receives the failing call's error.
using Cycle = std::function<int(sv_client_config &config, Allocators &allocators,
                                const std::string &tag, api_test::Error &error)>;

// Runs cycle with the 1st, 2nd, ... allocation failing until a run passes (at most limit runs).
// Every run must fail with SV_ERR_NOMEM or pass, and leave no block of the client's allocator
// behind. Returns the number of runs.
inline size_t run_every_failure(const stavo::test::DevServer &server, const Cycle &cycle,
                                size_t limit = 400) {
  for (size_t n = 1; n <= limit; ++n) {
    Allocators allocators;
    allocators.counting.fail_at = n;
    lease_test::ClientConfig config(server, false);
    config.config.allocator = allocators.counting.allocator;
    api_test::Error error;
    const int status = cycle(config.config, allocators, "cycle-" + std::to_string(n), error);
    EXPECT_EQ(allocators.counting.live.load(), 0u) << "n=" << n << " leaked";
    if (status == SV_OK) {
      // Only a run that never reached its failing allocation may pass: anything else swallowed
      // a failure and reported success.
      EXPECT_LT(allocators.counting.allocations.load(), n) << "n=" << n << " failed silently";
      return n;
    }
    EXPECT_EQ(status, SV_ERR_NOMEM) << "n=" << n << ": " << error.message();
    if (::testing::Test::HasFailure()) return n;  // one broken N tells enough
  }
  ADD_FAILURE() << "the cycle never ran through in " << limit << " runs";
  return limit;
}

}  // namespace alloc_cycle

#endif
