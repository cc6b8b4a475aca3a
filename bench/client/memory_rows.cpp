#include "memory_rows.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "stavoc_engine.h"

namespace stavoc_bench {

namespace {

constexpr uint64_t kSize = 256ull << 20;

// The byte at a position of the pattern: a 251-byte cycle, so lost or doubled pieces show.
char pattern_byte(uint64_t position) {
  return static_cast<char>('a' + position % 251 % 26);
}

struct PatternReader {
  uint64_t position = 0;
  static size_t read(void *context, char *buffer, size_t capacity, sv_engine_error *) {
    auto *self = static_cast<PatternReader *>(context);
    const uint64_t left = kSize - self->position;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(capacity, left));
    for (size_t i = 0; i < count; ++i)
      buffer[i] = pattern_byte(self->position + i);
    self->position += count;
    return count;
  }
  static int reset(void *context, sv_engine_error *) {
    static_cast<PatternReader *>(context)->position = 0;
    return 0;
  }
};

struct PatternChecker {
  uint64_t position = 0;
  bool matches = true;
  bool done = false;
  void take(const char *bytes, size_t length) {
    for (size_t i = 0; i < length && matches; ++i)
      matches = bytes[i] == pattern_byte(position + i);
    position += length;
  }
  static int write(void *context, const char *bytes, size_t length, sv_engine_error *) {
    static_cast<PatternChecker *>(context)->take(bytes, length);
    return 1;
  }
};

// The kernel's peak-RSS mark is reset, so the peak read afterwards belongs to the measured work.
bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

int64_t status_kib(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::atoll(line.c_str() + length + 1);
  }
  return -1;
}

template <typename Work>
MemoryRow measure(const std::string &name, Work work) {
  MemoryRow row;
  row.name = name;
  const bool resettable = reset_peak();
  const int64_t baseline = status_kib("VmRSS");
  row.failure = work(row.bytes);
  const int64_t peak = status_kib("VmHWM");
  if (resettable && baseline >= 0 && peak >= 0) row.peak_above_kib = peak - baseline;
  if (!resettable && row.failure.empty()) row.failure = "cannot reset the peak-RSS mark";
  return row;
}

std::string message_of(const sv_engine_error &error) {
  return error.message != nullptr ? error.message : "(no message)";
}

struct Engine {
  sv_engine_client *client = nullptr;
  std::string failure;
  explicit Engine(const ServerProcess &server) {
    const char *endpoints[] = {server.http_url.c_str()};
    sv_engine_client_config config;
    sv_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.timeout_ms = 600000;
    sv_engine_error error;
    sv_engine_error_init(&error);
    if (sv_engine_client_open(&config, &client, &error) != SV_OK) failure = message_of(error);
    sv_engine_error_reset(&error);
  }
  ~Engine() { sv_engine_client_close(client); }
};

std::string update_from(Engine &engine, uint64_t &bytes) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_acquire_request acquire{};
  acquire.key = "bench-big";
  acquire.owner = "bench";
  acquire.ttl_seconds = 600;
  sv_engine_acquire_response lease{};
  std::string failure;
  if (sv_engine_client_acquire(engine.client, &acquire, &lease, &error) != SV_OK) {
    failure = "acquire: " + message_of(error);
  } else {
    sv_engine_update_request update{};
    update.key = "bench-big";
    update.lease_id = lease.lease_id;
    update.txn_id = lease.txn_id;
    update.fencing_token = lease.fencing_token;
    update.content_type = "application/octet-stream";
    PatternReader reader;
    sv_engine_update_response updated{};
    if (sv_engine_client_update_from(engine.client, &update, PatternReader::read, &reader, &updated,
                                     &error) != SV_OK) {
      failure = "update_from: " + message_of(error);
    } else if (static_cast<uint64_t>(updated.bytes) != kSize) {
      failure = "the server stored " + std::to_string(updated.bytes) + " bytes";
    }
    bytes = reader.position;
    sv_engine_update_response_cleanup(&updated);
    sv_engine_release_request release{};
    release.key = "bench-big";
    release.lease_id = lease.lease_id;
    release.txn_id = lease.txn_id;
    release.fencing_token = lease.fencing_token;
    sv_engine_release_response released{};
    if (sv_engine_client_release(engine.client, &release, &released, &error) != SV_OK &&
        failure.empty()) {
      failure = "release: " + message_of(error);
    }
    sv_engine_release_response_cleanup(&released);
  }
  sv_engine_acquire_response_cleanup(&lease);
  sv_engine_error_reset(&error);
  return failure;
}

std::string get_into(Engine &engine, uint64_t &bytes) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_get_request get{};
  get.key = "bench-big";
  get.public_read = 1;
  PatternChecker checker;
  sv_engine_get_stream_response response{};
  std::string failure;
  if (sv_engine_client_get_into(engine.client, &get, PatternChecker::write, &checker, &response,
                                &error) != SV_OK) {
    failure = "get_into: " + message_of(error);
  } else if (checker.position != kSize || !checker.matches) {
    failure = "get_into read " + std::to_string(checker.position) + " bytes" +
              (checker.matches ? "" : " that differ from what was written");
  }
  bytes = checker.position;
  sv_engine_get_stream_response_cleanup(&response);
  sv_engine_error_reset(&error);
  return failure;
}

std::string enqueue(Engine &engine) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_enqueue_request request{};
  request.queue = "bench-big";
  PatternReader reader;
  sv_engine_enqueue_response response{};
  std::string failure;
  if (sv_engine_client_enqueue_from(engine.client, &request, PatternReader::read, &reader,
                                    &response, &error) != SV_OK) {
    failure = "enqueue: " + message_of(error);
  } else if (static_cast<uint64_t>(response.payload_bytes) != kSize) {
    failure = "the queue took " + std::to_string(response.payload_bytes) + " bytes";
  }
  sv_engine_enqueue_response_cleanup(&response);
  sv_engine_error_reset(&error);
  return failure;
}

int payload_chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
  static_cast<PatternChecker *>(context)->take(bytes, length);
  return 1;
}

int payload_end(void *context, const sv_engine_dequeue_response *, sv_engine_error *) {
  static_cast<PatternChecker *>(context)->done = true;
  return 1;
}

std::string subscribe(Engine &engine, uint64_t &bytes) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_dequeue_request request{};
  request.queue = "bench-big";
  request.owner = "bench";
  request.visibility_timeout_seconds = 600;
  request.wait_seconds = 5;
  request.page_size = 1;
  PatternChecker checker;
  const sv_engine_message_handler handler{nullptr, payload_chunk, payload_end};
  // The stream ends (cancelled, SV_OK) once the one message has been taken.
  sv_engine_client_set_cancel_check(
      engine.client,
      [](void *context) { return static_cast<PatternChecker *>(context)->done ? 1 : 0; }, &checker);
  std::string failure;
  if (sv_engine_client_subscribe(engine.client, &request, &handler, &checker, &error) != SV_OK) {
    failure = "subscribe: " + message_of(error);
  } else if (checker.position != kSize || !checker.matches || !checker.done) {
    failure = "subscribe delivered " + std::to_string(checker.position) + " bytes" +
              (checker.matches ? "" : " that differ from what was enqueued");
  }
  sv_engine_client_set_cancel_check(engine.client, nullptr, nullptr);
  bytes = checker.position;
  sv_engine_error_reset(&error);
  return failure;
}

// A control for the method: 32 MiB touched page by page must show as about 32 MiB, or the
// kernel does not keep the peak mark this measurement relies on (a 0.0 row would then mean
// nothing).
constexpr uint64_t kControlSize = 32ull << 20;

std::string touch_control(uint64_t &bytes) {
  std::unique_ptr<char[]> block(new char[kControlSize]);
  for (uint64_t i = 0; i < kControlSize; i += 4096)
    block[i] = static_cast<char>(1 + (i >> 12) % 200);
  bytes = kControlSize;
  // Read back so that the writes cannot be dropped.
  uint64_t sum = 0;
  for (uint64_t i = 0; i < kControlSize; i += 4096)
    sum += static_cast<unsigned char>(block[i]);
  return sum == 0 ? "control block lost its writes" : "";
}

}  // namespace

std::vector<MemoryRow> run_memory_rows(const ServerProcess &server) {
  std::vector<MemoryRow> rows;
  MemoryRow control = measure("control: 32 MiB touched", touch_control);
  if (control.failure.empty() &&
      control.peak_above_kib < static_cast<int64_t>(kControlSize / 1024 * 9 / 10)) {
    control.failure = "the peak-RSS mark did not see 32 MiB touched; the rows below mean nothing";
  }
  rows.push_back(control);
  Engine engine(server);
  if (engine.client == nullptr) {
    rows.push_back({"engine client", 0, -1, "open: " + engine.failure});
    return rows;
  }
  rows.push_back(
      measure("update_from 256 MiB", [&](uint64_t &b) { return update_from(engine, b); }));
  rows.push_back(measure("get_into 256 MiB", [&](uint64_t &b) { return get_into(engine, b); }));
  const std::string queued = enqueue(engine);
  if (!queued.empty()) {
    rows.push_back({"subscribe 256 MiB payload", 0, -1, queued});
  } else {
    rows.push_back(
        measure("subscribe 256 MiB payload", [&](uint64_t &b) { return subscribe(engine, b); }));
  }
  return rows;
}

}  // namespace stavoc_bench
