// Runs the benchmarks and prints the comparison table: one row per workload, brindle's MB/s,
// each peer's MB/s and the brindle/peer ratio (above 1: brindle is faster).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "rapid_peer.h"
#include "registry.h"
#include "store.h"
#include "target.h"

namespace bench {

void add_benchmark(const std::string &workload, const char *column,
                   std::function<void(benchmark::State &)> body) {
  benchmark::RegisterBenchmark((workload + "/" + column).c_str(), [body](benchmark::State &state) {
    body(state);
  })->Unit(benchmark::kMillisecond);
}

namespace {

struct Cell {
  double mb_per_s = 0;
  std::string error;
};

struct Row {
  std::string workload;
  std::map<std::string, Cell> cells;
};

// Collects every run while the console reporter prints as usual.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that a log or a pipe gets plain text.
  TableReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      // With repetitions, the mean stands for the workload.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
      const std::string name = run.run_name.function_name;
      const size_t slash = name.rfind('/');
      if (slash == std::string::npos) continue;
      Cell &cell = row(name.substr(0, slash)).cells[name.substr(slash + 1)];
      if (run.error_occurred) {
        cell.error = run.error_message;
        continue;
      }
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) cell.mb_per_s = rate->second.value / 1e6;
    }
  }

  void print_table() const {
    const char *peers[] = {kRapidColumn, kRapid42Column, kYajlColumn, kSimdDomColumn,
                           kSimdOdColumn};
    std::printf(
        "\nMB/s (10^6 bytes per CPU second); brindle/peer in parentheses, above 1: brindle is "
        "faster\n\n");
    std::printf("| %-29s | %11s |", "workload", kBrindleColumn);
    for (const char *peer : peers)
      std::printf(" %-18s |", peer);
    std::printf("\n|%s|%s|", std::string(31, '-').c_str(), std::string(13, '-').c_str());
    for (size_t i = 0; i < std::size(peers); ++i)
      std::printf("%s|", std::string(20, '-').c_str());
    std::printf("\n");
    std::vector<std::string> notes;
    for (const Row &r : rows_) {
      auto own = r.cells.find(kBrindleColumn);
      const double mine = own != r.cells.end() ? own->second.mb_per_s : 0;
      std::printf("| %-29s | %11s |", r.workload.c_str(),
                  format(r, kBrindleColumn, &notes).c_str());
      for (const char *peer : peers) {
        std::string text = format(r, peer, &notes);
        auto cell = r.cells.find(peer);
        if (cell != r.cells.end() && cell->second.error.empty() && cell->second.mb_per_s > 0 &&
            mine > 0) {
          char ratio[32];
          std::snprintf(ratio, sizeof ratio, " (%.2f)", mine / cell->second.mb_per_s);
          text += ratio;
        }
        std::printf(" %-18s |", text.c_str());
      }
      std::printf("\n");
    }
    for (size_t i = 0; i < notes.size(); ++i)
      std::printf("[%zu] %s\n", i + 1, notes[i].c_str());
  }

 private:
  Row &row(const std::string &workload) {
    for (Row &r : rows_)
      if (r.workload == workload) return r;
    rows_.push_back({workload, {}});
    return rows_.back();
  }

  static std::string format(const Row &r, const char *column, std::vector<std::string> *notes) {
    auto cell = r.cells.find(column);
    if (cell == r.cells.end()) return "-";
    if (!cell->second.error.empty()) {
      // One note per distinct reason: a missing corpus skips many cells the same way.
      const std::string &why = cell->second.error;
      size_t index = 0;
      while (index < notes->size() && (*notes)[index] != why)
        ++index;
      if (index == notes->size()) notes->push_back(why);
      return "skipped [" + std::to_string(index + 1) + "]";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", cell->second.mb_per_s);
    return text;
  }

  std::vector<Row> rows_;
};

}  // namespace

}  // namespace bench

int main(int argc, char **argv) {
  // --corpus=DIR is ours; everything else goes to Google Benchmark.
  const char *env = std::getenv("BRINDLE_CORPUS");
  std::string corpus = env != nullptr && *env != '\0' ? env : BRINDLE_BENCH_CORPUS_DIR;
  // Short runs keep the whole suite to about a minute; repeat to trust a number.
  static char default_min_time[] = "--benchmark_min_time=0.5";
  std::vector<char *> args;
  args.reserve(static_cast<size_t>(argc) + 1);
  args.push_back(argv[0]);
  args.push_back(default_min_time);  // a later --benchmark_min_time wins
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--corpus=", 9) == 0) {
      corpus = argv[i] + 9;
      continue;
    }
    args.push_back(argv[i]);
  }
  bench::set_corpus_dir(corpus);

  if (!bench::checksum_self_test()) {
    std::fprintf(stderr, "record checksum self-test failed\n");
    return 1;
  }
  bench::register_parse_benchmarks();
  bench::register_serialize_benchmarks();
  bench::register_stream_benchmarks();

  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  std::printf("corpus: %s\n", corpus.c_str());
  // simdjson picks its kernel for this CPU at run time; say which one the numbers are for.
  const simdjson::implementation *simd = simdjson::get_active_implementation();
  std::printf("simdjson: %s (%s), chosen at run time\n", simd->name().c_str(),
              simd->description().c_str());
  const char *why_not_sse42 = nullptr;
  std::printf("rapidjson: NDEBUG, RAPIDJSON_SSE2%s%s\n",
              bench::rapid_sse42(&why_not_sse42) != nullptr ? "; rapidjson_sse42: RAPIDJSON_SSE42"
                                                            : "; no SSE4.2 column: ",
              why_not_sse42 != nullptr ? why_not_sse42 : "");
  bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_table();
  benchmark::Shutdown();
  return 0;
}
