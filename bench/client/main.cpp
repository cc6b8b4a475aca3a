// stavoc_bench: the client's calls beside a bare-libcurl peer doing the same HTTP work, the
// speed-up of connection reuse, and the memory of 256 MiB transfers. Everything is checked for
// correctness before it is timed; a wrong answer fails the run instead of giving a number.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client_rows.h"
#include "memory_rows.h"
#include "queue_rows.h"
#include "report.h"
#include "server_process.h"

int main(int argc, char **argv) {
  // The server is forked before this process starts any thread.
  stavoc_bench::ServerProcess server;
  std::string why;
  if (!stavoc_bench::start_server(server, why)) {
    std::fprintf(stderr, "stavoc_bench: the dev server did not start: %s\n", why.c_str());
    return 1;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  benchmark::Initialize(&argc, argv);
  // --skip_memory leaves out the 256 MiB rows (for profiling the timed rows alone).
  bool memory_rows = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--skip_memory") == 0) memory_rows = false;
  }
  int code = 0;
  if (!stavoc_bench::prepare_client_rows(server, why) ||
      !stavoc_bench::prepare_queue_rows(server, why)) {
    std::fprintf(stderr, "stavoc_bench: check before timing failed: %s\n", why.c_str());
    code = 1;
  } else {
    stavoc_bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    const auto memory = memory_rows ? stavoc_bench::run_memory_rows(server)
                                    : std::vector<stavoc_bench::MemoryRow>{};
    const int missed = stavoc_bench::print_table(collector, memory, stdout);
    std::printf("goals missed: %d\n", missed);
    for (const auto &row : memory) {
      if (!row.failure.empty()) code = 1;
    }
    if (stavoc_bench::client_row_failures() + stavoc_bench::queue_row_failures() > 0) code = 1;
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  stavoc_bench::stop_server(server);
  return code;
}
