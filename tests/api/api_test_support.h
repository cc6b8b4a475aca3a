// Helpers of the public API tests: an allocator that counts and can be told to fail, an error
// record that cleans itself up, and reading a whole source.
#ifndef STAVO_TESTS_API_API_TEST_SUPPORT_H
#define STAVO_TESTS_API_API_TEST_SUPPORT_H

#include <atomic>
#include <cstdlib>
#include <string>

#include "stavoc.h"

namespace api_test {

// Counts allocations and frees; fail_at = N makes the Nth allocation (malloc or realloc, counted
// from 1) fail, and every later one succeed.
struct CountingAllocator {
  // Atomic: the two sides of a stream pipe may free on different threads.
  std::atomic<size_t> allocations{0};  // attempts, failed ones included
  std::atomic<size_t> live{0};         // blocks handed out and not yet freed
  size_t fail_at = 0;                  // 0: never fail
  sv_allocator allocator{};

  CountingAllocator() {
    allocator.malloc_fn = [](void *context, size_t size) -> void * {
      auto *self = static_cast<CountingAllocator *>(context);
      if (self->should_fail()) return nullptr;
      void *memory = std::malloc(size);
      if (memory != nullptr) ++self->live;
      return memory;
    };
    allocator.realloc_fn = [](void *context, void *pointer, size_t size) -> void * {
      auto *self = static_cast<CountingAllocator *>(context);
      if (self->should_fail()) return nullptr;
      void *memory = std::realloc(pointer, size);
      if (memory != nullptr && pointer == nullptr) ++self->live;
      return memory;
    };
    allocator.free_fn = [](void *context, void *pointer) {
      auto *self = static_cast<CountingAllocator *>(context);
      if (pointer != nullptr) --self->live;
      std::free(pointer);
    };
    allocator.context = this;
  }
  CountingAllocator(const CountingAllocator &) = delete;
  CountingAllocator &operator=(const CountingAllocator &) = delete;

  bool should_fail() { return ++allocations == fail_at; }
};

// An sv_error that is initialised and cleaned up with its scope.
struct Error {
  sv_error record{};
  Error() { sv_error_init(&record); }
  ~Error() { sv_error_cleanup(&record); }
  Error(const Error &) = delete;
  Error &operator=(const Error &) = delete;
  sv_error *get() { return &record; }
  int code() const { return record.code; }
  std::string message() const { return record.message != nullptr ? record.message : "<null>"; }
  std::string detail() const { return record.detail != nullptr ? record.detail : "<null>"; }
  void clear() { sv_error_cleanup(&record); }
};

// Reads a source to its end in reads of at most chunk bytes; *status receives the code of a
// failing read (0 when it ended normally).
inline std::string read_all(sv_source *source, size_t chunk = 4096, int *status = nullptr,
                            sv_error *error = nullptr) {
  std::string data;
  std::string buffer(chunk, '\0');
  sv_error local{};
  sv_error *target = error != nullptr ? error : &local;
  for (;;) {
    const size_t count = source->read(source, buffer.data(), buffer.size(), target);
    if (count == 0) break;
    data.append(buffer.data(), count);
  }
  if (status != nullptr) *status = target->code;
  sv_error_cleanup(&local);
  return data;
}

}  // namespace api_test

#endif
