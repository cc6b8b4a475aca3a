// Local mutation at scale: generates a state document (1 GiB by default) in a temporary
// directory, applies three mutations with sv_mutation_plan_apply, checks every output byte
// against the expected document, and reports peak RSS and throughput; then runs jq on the same
// edit (on a smaller document by default, since jq holds the whole document in memory).
//   stavoc_mutate_bench [--mb=1024] [--jq-mb=256] [--dir=/tmp]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stavoc.h"

namespace {

const char *const kMutations[] = {"/meta/count++", "/tail/flag=true", "rm:/meta/owner"};
const char kJqFilter[] = ".meta.count += 1 | .tail.flag = true | del(.meta.owner)";

// The document: a small head, an array of generated items, a small tail. mutated selects the
// expected result of the three mutations instead of the input.
class Document {
 public:
  Document(uint64_t target_bytes, bool mutated) : target_(target_bytes), mutated_(mutated) {}

  // Next piece of the document; empty at the end.
  const std::string &next() {
    piece_.clear();
    if (state_ == 0) {
      piece_ = mutated_ ? R"({"meta":{"count":1},"items":[)"
                        : R"({"meta":{"count":0,"owner":"bench"},"items":[)";
      state_ = 1;
    } else if (state_ == 1) {
      while (piece_.size() < 65536 && produced_ < target_) {
        char item[160];
        const int length = std::snprintf(
            item, sizeof item,
            R"(%s{"id":%llu,"name":"item-%llu","tags":["a","b\n"],"score":%llu,"ok":%s})",
            index_ == 0 ? "" : ",", static_cast<unsigned long long>(index_),
            static_cast<unsigned long long>(index_ * 7919 % 100003),
            static_cast<unsigned long long>(index_ % 1000), index_ % 3 == 0 ? "true" : "null");
        piece_.append(item, static_cast<size_t>(length));
        produced_ += static_cast<uint64_t>(length);
        ++index_;
      }
      if (produced_ >= target_) state_ = 2;
    } else if (state_ == 2) {
      piece_ = mutated_ ? R"(],"tail":{"n":1,"flag":true}})" : R"(],"tail":{"n":1}})";
      state_ = 3;
    }
    return piece_;
  }

 private:
  uint64_t target_;
  bool mutated_;
  int state_ = 0;
  uint64_t produced_ = 0;
  uint64_t index_ = 0;
  std::string piece_;
};

uint64_t write_document(const std::string &path, uint64_t bytes) {
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(2);
  }
  Document document(bytes, false);
  uint64_t total = 0;
  for (const std::string *piece = &document.next(); !piece->empty(); piece = &document.next()) {
    if (std::fwrite(piece->data(), 1, piece->size(), file) != piece->size()) {
      std::perror("write document");
      std::exit(2);
    }
    total += piece->size();
  }
  std::fclose(file);
  return total;
}

// Compares the stream with the expected mutated document, byte for byte (a trailing line feed,
// as jq writes, is accepted).
bool matches_expected(FILE *file, uint64_t bytes) {
  Document expected(bytes, true);
  std::string buffer;
  for (const std::string *piece = &expected.next(); !piece->empty(); piece = &expected.next()) {
    buffer.resize(piece->size());
    if (std::fread(buffer.data(), 1, buffer.size(), file) != buffer.size() || buffer != *piece) {
      return false;
    }
  }
  const int extra = std::fgetc(file);
  return extra == EOF || (extra == '\n' && std::fgetc(file) == EOF);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Run {
  bool ok = false;
  double seconds = 0;      // wall clock
  double cpu_seconds = 0;  // user + system: steadier than the wall clock on a busy machine
  long peak_rss_kib = 0;
};

double cpu_seconds(const struct rusage &usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Applies the three mutations in this process; the peak RSS is the process's own.
Run run_stavoc(const std::string &path, uint64_t bytes) {
  Run run;
  sv_error error;
  sv_error_init(&error);
  sv_mutation_plan *plan = nullptr;
  if (sv_mutation_plan_build(kMutations, 3, nullptr, &plan, &error) != SV_OK) {
    std::fprintf(stderr, "plan: %s\n", error.message);
    std::exit(2);
  }
  FILE *input = std::fopen(path.c_str(), "rb");
  FILE *result = nullptr;
  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  const int status = sv_mutation_plan_apply(plan, input, &result, &error);
  run.seconds = seconds_since(start);
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  run.cpu_seconds = cpu_seconds(after) - cpu_seconds(before);
  if (status != SV_OK) {
    std::fprintf(stderr, "apply: %s\n", error.message);
  } else {
    run.ok = matches_expected(result, bytes);
    std::fclose(result);
  }
  std::fclose(input);
  sv_mutation_plan_close(plan);
  sv_error_cleanup(&error);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  run.peak_rss_kib = usage.ru_maxrss;
  return run;
}

// Runs jq in a child process; its peak RSS comes from wait4.
Run run_jq(const std::string &input, const std::string &output, uint64_t bytes) {
  Run run;
  std::fflush(stdout);  // the child must not repeat what is buffered
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (std::freopen(output.c_str(), "wb", stdout) == nullptr) _exit(127);
    execlp("jq", "jq", "-c", kJqFilter, input.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || wait4(child, &status, 0, &usage) < 0) return run;
  run.seconds = seconds_since(start);
  run.cpu_seconds = cpu_seconds(usage);
  run.peak_rss_kib = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  FILE *file = std::fopen(output.c_str(), "rb");
  if (file != nullptr) {
    run.ok = matches_expected(file, bytes);
    std::fclose(file);
  }
  return run;
}

void report(const char *who, uint64_t bytes, const Run &run) {
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf(
      "%-7s %7.1f MiB  wall %7.2f s (%6.1f MiB/s)  cpu %7.2f s (%6.1f MiB/s)  peak RSS %7.1f MiB"
      "  output %s\n",
      who, mib, run.seconds, mib / run.seconds, run.cpu_seconds, mib / run.cpu_seconds,
      static_cast<double>(run.peak_rss_kib) / 1024.0, run.ok ? "checked" : "WRONG");
}

uint64_t option(int argc, char **argv, const char *name, uint64_t fallback) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0)
      return std::strtoull(argv[i] + length, nullptr, 10);
  }
  return fallback;
}

}  // namespace

int main(int argc, char **argv) {
  const uint64_t mib = 1024 * 1024;
  const uint64_t size = option(argc, argv, "--mb=", 1024) * mib;
  const uint64_t jq_size = option(argc, argv, "--jq-mb=", 256) * mib;
  std::string base = "/tmp";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--dir=", 6) == 0) base = argv[i] + 6;
  }
  std::string dir = base + "/stavoc-mutate-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string big = dir + "/state.json";
  const std::string small = dir + "/state-jq.json";
  const std::string jq_out = dir + "/jq-out.json";
  std::printf("local mutate benchmark: %s (3 mutations: %s, %s, %s)\n", dir.c_str(), kMutations[0],
              kMutations[1], kMutations[2]);
  bool ok = true;
  const uint64_t big_bytes = write_document(big, size);
  const Run stavoc_big = run_stavoc(big, size);
  report("stavoc", big_bytes, stavoc_big);
  ok = ok && stavoc_big.ok;
  std::remove(big.c_str());
  if (stavoc_big.peak_rss_kib > 32 * 1024) {
    std::printf("peak RSS above the 32 MiB goal\n");
    ok = false;
  }
  if (jq_size > 0) {
    const uint64_t small_bytes = write_document(small, jq_size);
    const Run same = run_stavoc(small, jq_size);  // the same bytes jq gets
    report("stavoc", small_bytes, same);
    ok = ok && same.ok;
    const Run jq = run_jq(small, jq_out, jq_size);
    if (jq.seconds == 0 && !jq.ok) {
      std::printf("jq       not run (is jq installed? scripts/bootstrap installs it)\n");
    } else {
      report("jq", small_bytes, jq);
    }
    std::remove(jq_out.c_str());
    std::remove(small.c_str());
  }
  rmdir(dir.c_str());
  return ok ? 0 : 1;
}
