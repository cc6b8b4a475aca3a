// Zeroing a plain record: what every _init function of a request or result record does.
#ifndef STAVOC_API_RECORD_ZERO_H
#define STAVOC_API_RECORD_ZERO_H

#include <cstring>

namespace sv_records {

// Every member zero (NULL pointers, 0 numbers); NULL is ignored.
template <typename Record>
void zero(Record *record) noexcept {
  if (record != nullptr) std::memset(static_cast<void *>(record), 0, sizeof(*record));
}

}  // namespace sv_records

#endif
