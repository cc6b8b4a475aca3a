// The memory rows: a 256 MiB state written with update_from and read with get_into, and a
// 256 MiB message payload through the subscribe stream; each reports the process's peak
// resident memory above its baseline while the transfer ran.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server_process.h"

namespace stavoc_bench {

struct MemoryRow {
  std::string name;
  uint64_t bytes = 0;           // bytes moved (checked against the pattern)
  int64_t peak_above_kib = -1;  // -1: not measured
  std::string failure;          // empty when the transfer and its check succeeded
};

std::vector<MemoryRow> run_memory_rows(const ServerProcess &server);

}  // namespace stavoc_bench
