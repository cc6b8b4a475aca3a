// Allocators for tests: one that counts through brindle_alloc_stats and can be told to fail the
// Nth allocation (or reallocation) from now on, so every allocation failure path can be reached.
#ifndef STAVO_TESTS_COMMON_TEST_ALLOCATOR_H
#define STAVO_TESTS_COMMON_TEST_ALLOCATOR_H

#include <cstdint>
#include <cstdlib>

#include "brindle_core.h"

namespace stavo_test {

class TestAllocator {
 public:
  TestAllocator() {
    allocator_.malloc = &TestAllocator::do_malloc;
    allocator_.realloc = &TestAllocator::do_realloc;
    allocator_.free = &TestAllocator::do_free;
    allocator_.ctx = this;
    allocator_.stats = &stats_;
  }
  TestAllocator(const TestAllocator &) = delete;
  TestAllocator &operator=(const TestAllocator &) = delete;

  const brindle_allocator *get() const { return &allocator_; }
  const brindle_alloc_stats &stats() const { return stats_; }
  // Calls of malloc/realloc made so far (successful or not).
  uint64_t calls() const { return calls_; }
  // The nth call from now (1-based) and every later one fail; 0 disables failing.
  void fail_from(uint64_t nth) { fail_at_ = nth == 0 ? 0 : calls_ + nth; }
  // Only the nth call from now fails.
  void fail_once(uint64_t nth) {
    fail_from(nth);
    fail_once_ = true;
  }
  // Live blocks: allocations + reallocations-that-allocated minus frees, by the system's view.
  int64_t live_blocks() const { return live_; }

 private:
  bool should_fail() {
    ++calls_;
    if (fail_at_ == 0 || calls_ < fail_at_) return false;
    if (fail_once_ && calls_ > fail_at_) return false;
    return true;
  }
  static void *do_malloc(void *ctx, size_t size) {
    auto *self = static_cast<TestAllocator *>(ctx);
    if (self->should_fail()) return nullptr;
    void *p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr) ++self->live_;
    return p;
  }
  static void *do_realloc(void *ctx, void *pointer, size_t size) {
    auto *self = static_cast<TestAllocator *>(ctx);
    if (self->should_fail()) return nullptr;
    void *p = std::realloc(pointer, size == 0 ? 1 : size);
    if (p != nullptr && pointer == nullptr) ++self->live_;
    return p;
  }
  static void do_free(void *ctx, void *pointer) {
    auto *self = static_cast<TestAllocator *>(ctx);
    if (pointer != nullptr) --self->live_;
    std::free(pointer);
  }

  brindle_allocator allocator_{};
  brindle_alloc_stats stats_{};
  uint64_t calls_ = 0;
  uint64_t fail_at_ = 0;
  bool fail_once_ = false;
  int64_t live_ = 0;
};

}  // namespace stavo_test

#endif
