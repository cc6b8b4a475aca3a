// Collects the timed rows and prints the client table: the client beside the peer, the speed-up
// of connection reuse, and the memory rows.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "memory_rows.h"

namespace stavoc_bench {

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override;
  // Microseconds per call by row name ("get_1k/https/reuse/stavoc"); absent rows failed.
  std::map<std::string, double> micros;
  // CPU microseconds of the calling thread, per call or per item likewise: steadier than the
  // wall time on a loaded machine.
  std::map<std::string, double> cpu_micros;
};

// Prints the table; returns the number of goals missed (reported, not a failure).
int print_table(const Collector &collector, const std::vector<MemoryRow> &memory, FILE *out);

}  // namespace stavoc_bench
