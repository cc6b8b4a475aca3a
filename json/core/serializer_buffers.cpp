// The growing output buffer behind the owned and allocating serializers, and the record loop
// that every output form shares.
#include "serializer_buffers.h"

brindle_status brindle__growing_output::grow_and_put(const char *bytes, size_t n) {
  size_t needed = 0;
  if (__builtin_add_overflow(length, n, &needed) || needed == SIZE_MAX) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "output buffer too large");
  }
  if (needed > limit) {
    return brindle__fail(error, BRINDLE_OVERFLOW,
                         "serializer-owned output exceeds max_output_bytes");
  }
  if (needed >= capacity) {
    size_t grown = capacity != 0 ? capacity : 2048;
    while (grown <= needed) {
      if (grown > SIZE_MAX / 2) {
        grown = needed + 1;
        break;
      }
      grown *= 2;
    }
    if (limit < SIZE_MAX && grown > limit + 1) grown = limit + 1;
    void *bigger = system_malloc ? std::realloc(data, grown)
                                 : brindle__raw_realloc(&allocator, data, capacity, grown);
    if (bigger == nullptr) {
      return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to grow output buffer");
    }
    data = static_cast<char *>(bigger);
    capacity = grown;
  }
  if (n > 0) std::memcpy(data + length, bytes, n);
  length = needed;
  return BRINDLE_OK;
}

brindle_status brindle__growing_output::ensure_buffer() {
  if (data != nullptr) return BRINDLE_OK;
  return grow_and_put("", 0);
}

void brindle__growing_output::release() {
  if (data == nullptr) return;
  if (system_malloc) {
    std::free(data);
  } else {
    brindle__raw_free(&allocator, data, capacity);
  }
  data = nullptr;
  length = 0;
  capacity = 0;
}

namespace {

template <class Out, bool Pretty>
brindle_status write_form(Out &out, const brindle__record_run &run, brindle_error *error) {
  brindle__emitter<Out, Pretty> emitter(out, error);
  for (size_t i = 0; i < run.count; ++i) {
    BRINDLE_TRY(emitter.record(run.map, run.items + i * run.stride));
    if (run.lines) BRINDLE_TRY(out.put("\n", 1));
  }
  return BRINDLE_OK;
}

}  // namespace

template <class Out>
brindle_status brindle__write_records(Out &out, const brindle__record_run &run,
                                      brindle_error *error) noexcept {
  return run.pretty ? write_form<Out, true>(out, run, error)
                    : write_form<Out, false>(out, run, error);
}

template brindle_status brindle__write_records(brindle__sink_output &, const brindle__record_run &,
                                               brindle_error *) noexcept;
template brindle_status brindle__write_records(brindle__fixed_output &, const brindle__record_run &,
                                               brindle_error *) noexcept;
template brindle_status brindle__write_records(brindle__growing_output &,
                                               const brindle__record_run &,
                                               brindle_error *) noexcept;
template brindle_status brindle__write_records(brindle__counting_output &,
                                               const brindle__record_run &,
                                               brindle_error *) noexcept;
