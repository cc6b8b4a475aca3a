#include "report.h"

#include "queue_rows.h"

namespace stavoc_bench {

namespace {

constexpr double kRatioGoal = 1.10;
constexpr int64_t kMemoryGoalKib = 16 * 1024;

const char *const kOperations[] = {"acquire_release", "get_1k", "update_1k"};
const char *const kTransports[] = {"http", "https"};
const char *const kModes[] = {"per_call", "reuse"};

const char *operation_text(const std::string &operation) {
  if (operation == "acquire_release") return "acquire + release";
  if (operation == "get_1k") return "get 1 KiB state";
  return "update 1 KiB state";
}

const char *transport_text(const std::string &transport) {
  return transport == "http" ? "HTTP/1.1" : "mTLS HTTP/2";
}

// Messages per second of the queue rows beside the peer's (HTTP/1.1); the consumer service has
// no peer. Returns the goals missed.
template <typename Find, typename CpuRatio>
int print_queue_table(const Find &find, const CpuRatio &cpu_ratio, FILE *out) {
  int missed = 0;
  std::fprintf(out,
               "\nqueue: messages per second (1 KiB payloads; HTTP/1.1; dequeue_batch takes %d "
               "messages a call; ratio = time per message of stavoc / of curl)\n",
               kBatchSize);
  std::fprintf(out, "| %-27s | %-11s | %12s | %12s | %6s | %9s |\n", "operation", "connections",
               "stavoc msg/s", "curl msg/s", "ratio", "CPU ratio");
  std::fprintf(out, "|%s|%s|%s|%s|%s|%s|\n", std::string(29, '-').c_str(),
               std::string(13, '-').c_str(), std::string(14, '-').c_str(),
               std::string(14, '-').c_str(), std::string(8, '-').c_str(),
               std::string(11, '-').c_str());
  for (const char *operation : {"enqueue_1k", "dequeue_batch"}) {
    for (const char *mode : kModes) {
      const std::string base = std::string(operation) + "/http/" + mode;
      const double ours = find(base + "/stavoc");
      const double peer = find(base + "/curl");
      const char *connections = std::string(mode) == "reuse" ? "reused" : "per call";
      const char *text = std::string(operation) == "enqueue_1k" ? "enqueue 1 KiB" : "dequeue_batch";
      if (ours <= 0 || peer <= 0) {
        std::fprintf(out, "| %-27s | %-11s | %12s | %12s | %6s | %9s |\n", text, connections,
                     "failed", "failed", "-", "-");
        ++missed;
        continue;
      }
      const double ratio = ours / peer;
      if (ratio > kRatioGoal) ++missed;
      std::fprintf(out, "| %-27s | %-11s | %12.0f | %12.0f | %5.2f%s | %9.2f |\n", text,
                   connections, 1e6 / ours, 1e6 / peer, ratio, ratio > kRatioGoal ? "!" : " ",
                   cpu_ratio(base));
    }
  }
  for (const char *workers : {"1", "4"}) {
    const double ours = find(std::string("consumer/http/reuse/w") + workers);
    const std::string text = std::string("consumer service, ") + workers +
                             (std::string(workers) == "1" ? " worker" : " workers");
    if (ours <= 0) {
      std::fprintf(out, "| %-27s | %-11s | %12s | %12s | %6s | %9s |\n", text.c_str(), "reused",
                   "failed", "-", "-", "-");
      ++missed;
      continue;
    }
    std::fprintf(out, "| %-27s | %-11s | %12.0f | %12s | %6s | %9s |\n", text.c_str(), "reused",
                 1e6 / ours, "-", "-", "-");
  }
  return missed;
}

}  // namespace

void Collector::ReportRuns(const std::vector<Run> &runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run &run : runs) {
    if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
    // The row's name without what Google Benchmark appends ("/iterations:60", "/real_time",
    // "/manual_time").
    std::string name;
    const std::string full = run.benchmark_name();
    for (size_t start = 0; start <= full.size();) {
      size_t end = full.find('/', start);
      if (end == std::string::npos) end = full.size();
      const std::string part = full.substr(start, end - start);
      if (part.rfind("iterations:", 0) != 0 && part != "real_time" && part != "manual_time") {
        name += (name.empty() ? "" : "/") + part;
      }
      start = end + 1;
    }
    // Rows that count items (messages) are kept per item.
    const auto items = run.counters.find("items_per_second");
    micros[name] = items != run.counters.end() && items->second.value > 0
                       ? 1e6 / items->second.value
                       : run.GetAdjustedRealTime();
    const double real = run.GetAdjustedRealTime();
    cpu_micros[name] = real > 0 ? run.GetAdjustedCPUTime() * micros[name] / real : 0;
  }
}

int print_table(const Collector &collector, const std::vector<MemoryRow> &memory, FILE *out) {
  int missed = 0;
  auto find = [&](const std::string &name) {
    auto it = collector.micros.find(name);
    return it == collector.micros.end() ? -1.0 : it->second;
  };
  // The client's CPU time per call (or message) over the peer's; 0 when either is missing.
  auto cpu_ratio = [&](const std::string &base) {
    auto ours = collector.cpu_micros.find(base + "/stavoc");
    auto peer = collector.cpu_micros.find(base + "/curl");
    if (ours == collector.cpu_micros.end() || peer == collector.cpu_micros.end() ||
        peer->second <= 0) {
      return 0.0;
    }
    return ours->second / peer->second;
  };
  std::fprintf(out,
               "\nstavoc client against bare libcurl (same requests; ratio = time per call "
               "of stavoc / of curl, goal <= %.2f)\n",
               kRatioGoal);
  std::fprintf(out, "| %-18s | %-11s | %-11s | %12s | %12s | %6s | %9s |\n", "operation",
               "transport", "connections", "stavoc /s", "curl /s", "ratio", "CPU ratio");
  std::fprintf(out, "|%s|%s|%s|%s|%s|%s|%s|\n", std::string(20, '-').c_str(),
               std::string(13, '-').c_str(), std::string(13, '-').c_str(),
               std::string(14, '-').c_str(), std::string(14, '-').c_str(),
               std::string(8, '-').c_str(), std::string(11, '-').c_str());
  for (const char *operation : kOperations) {
    for (const char *transport : kTransports) {
      for (const char *mode : kModes) {
        const std::string base = std::string(operation) + "/" + transport + "/" + mode;
        const double ours = find(base + "/stavoc");
        const double peer = find(base + "/curl");
        if (ours <= 0 || peer <= 0) {
          std::fprintf(out, "| %-18s | %-11s | %-11s | %12s | %12s | %6s | %9s |\n",
                       operation_text(operation), transport_text(transport),
                       std::string(mode) == "reuse" ? "reused" : "per call", "failed", "failed",
                       "-", "-");
          ++missed;
          continue;
        }
        const double ratio = ours / peer;
        if (ratio > kRatioGoal) ++missed;
        std::fprintf(out, "| %-18s | %-11s | %-11s | %12.0f | %12.0f | %5.2f%s | %9.2f |\n",
                     operation_text(operation), transport_text(transport),
                     std::string(mode) == "reuse" ? "reused" : "per call", 1e6 / ours, 1e6 / peer,
                     ratio, ratio > kRatioGoal ? "!" : " ", cpu_ratio(base));
      }
    }
  }

  std::fprintf(out,
               "\nconnection reuse speed-up of stavoc (time per call with a connection per "
               "call / with reuse)\n");
  std::fprintf(out, "| %-18s | %-11s | %-11s |\n", "operation", "HTTP/1.1", "mTLS HTTP/2");
  std::fprintf(out, "|%s|%s|%s|\n", std::string(20, '-').c_str(), std::string(13, '-').c_str(),
               std::string(13, '-').c_str());
  for (const char *operation : kOperations) {
    std::fprintf(out, "| %-18s |", operation_text(operation));
    for (const char *transport : kTransports) {
      const std::string base = std::string(operation) + "/" + transport;
      const double per_call = find(base + "/per_call/stavoc");
      const double reused = find(base + "/reuse/stavoc");
      if (per_call > 0 && reused > 0) {
        std::fprintf(out, " %10.2fx |", per_call / reused);
      } else {
        std::fprintf(out, " %11s |", "failed");
      }
    }
    std::fprintf(out, "\n");
  }

  std::fprintf(out,
               "\nmemory: peak resident memory above the baseline while the transfer ran "
               "(goal <= 16 MiB)\n");
  std::fprintf(out, "| %-26s | %10s | %12s |\n", "transfer", "bytes", "peak above");
  std::fprintf(out, "|%s|%s|%s|\n", std::string(28, '-').c_str(), std::string(12, '-').c_str(),
               std::string(14, '-').c_str());
  for (const MemoryRow &row : memory) {
    if (!row.failure.empty()) {
      std::fprintf(out, "| %-26s | %10llu | %12s | FAILED: %s\n", row.name.c_str(),
                   static_cast<unsigned long long>(row.bytes), "-", row.failure.c_str());
      ++missed;
      continue;
    }
    // The control row checks the method and has no goal.
    const bool control = row.name.rfind("control", 0) == 0;
    const bool met = control || (row.peak_above_kib >= 0 && row.peak_above_kib <= kMemoryGoalKib);
    if (!met) ++missed;
    std::fprintf(out, "| %-26s | %10llu | %8.1f MiB%s |\n", row.name.c_str(),
                 static_cast<unsigned long long>(row.bytes),
                 static_cast<double>(row.peak_above_kib) / 1024.0, met ? " " : "!");
  }
  missed += print_queue_table(find, cpu_ratio, out);
  return missed;
}

}  // namespace stavoc_bench
