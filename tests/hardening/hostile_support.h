// Helpers of the hostile-server tests: peak memory of this process, and the operations that read
// each kind of answer (public lease calls, engine queue, watch and query calls), each run against
// a dev server whose next /v1/ request gets a hostile answer.
#ifndef STAVO_TESTS_HARDENING_HOSTILE_SUPPORT_H
#define STAVO_TESTS_HARDENING_HOSTILE_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "api/lease_test_support.h"
#include "devserver/hostile.h"
#include "stavoc.h"
#include "stavoc_engine.h"

namespace hostile_test {

using stavo::devserver::HostileMode;

constexpr int64_t kTimeoutMs = 1500;
// How much the process may grow while one call meets a hostile answer.
constexpr long kPeakBudgetKib = 8 * 1024;

// A line "Name:   1234 kB" of /proc/self/status, in KiB (-1 when absent).
inline long status_kib(const char *name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

// Resets the peak (VmHWM) to the current RSS; false where the kernel does not allow it.
inline bool reset_peak_rss() {
  std::FILE *file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

// A sink that drops every byte (the caller's sink is not the library's memory).
inline lease_test::SinkPtr null_sink() {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  sv_sink *sink = nullptr;
  EXPECT_EQ(sv_sink_to_fd(fd, &sink, nullptr), SV_OK);
  return lease_test::SinkPtr(sink);
}

// What an operation reports: its status and the message of its error record.
struct Outcome {
  int status = SV_OK;
  std::string message;
};

struct Env {
  stavo::test::DevServer &server;
  sv_client *client;
  sv_engine_client *engine;
};

struct Operation {
  const char *name;
  bool needs_lease;  // runs on a lease acquired before the hostile answer is armed
  std::function<Outcome(Env &, sv_lease *)> run;
  // Modes whose answer is a sound one for this operation (raw bytes are whatever the state
  // holds): the call may succeed, it only has to end within bounds.
  std::vector<HostileMode> may_succeed;
};

inline Outcome from(int status, api_test::Error &error) {
  return {status, error.message()};
}

inline Outcome from_engine(int status, sv_engine_error &error) {
  Outcome outcome{status, error.message != nullptr ? error.message : "<null>"};
  sv_engine_error_reset(&error);
  return outcome;
}

int drop_payload(void *, const char *, size_t, sv_engine_error *);
int drop_event(void *, const sv_engine_queue_watch_event *, sv_engine_error *);
int drop_key(void *, const char *, size_t, sv_engine_error *);

std::vector<Operation> operations();

}  // namespace hostile_test

#endif
