// Helpers of the streamed transfer tests: readers and writers with scripted failures, a lease
// taken through the exchange, and a dev server fixture with a plain HTTP client.
#ifndef STAVO_TESTS_ENGINE_STREAM_FIXTURE_H
#define STAVO_TESTS_ENGINE_STREAM_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "exchange_fixture.h"

namespace engine_test {

// A reader over a string, handing out at most chunk bytes per call. It can fail once it has
// delivered fail_after bytes: by returning 0 with an error set (the engine contract) or, with
// abort_value, by returning libcurl's abort value. reset() rewinds it and counts.
struct StringReader {
  std::string data;
  size_t position = 0;
  size_t chunk = 0;  // 0: as much as asked
  size_t fail_after = SIZE_MAX;
  bool fail_with_abort = false;
  int resets = 0;
  size_t largest_request = 0;
  explicit StringReader(std::string text, size_t chunk_size = 0)
      : data(std::move(text)), chunk(chunk_size) {}
  static size_t read(void *context, char *buffer, size_t capacity, sv_engine_error *error);
  static int reset(void *context, sv_engine_error *error);
};

// A writer that keeps what it gets; it can refuse the call after `fail_at_call` calls, with or
// without recording an error.
struct StringWriter {
  std::string data;
  int calls = 0;
  int fail_at_call = -1;  // 0-based call that fails; -1: never
  bool fail_with_error = false;
  size_t largest_chunk = 0;
  static int write(void *context, const char *bytes, size_t length, sv_engine_error *error);
};

// A long byte pattern that repeats every 251 bytes (a prime, so no power-of-two chunk lines up
// with it: lost, doubled or reordered pieces show up). pattern_at(position) points at the
// pattern from that position on, valid for kPatternSpan bytes; a large body needs no memory.
constexpr size_t kPatternSpan = 1 << 20;
const char *pattern_at(uint64_t position);

// The lease of a key, taken through the JSON exchange.
struct Lease {
  std::string lease_id;
  std::string txn_id;
  int64_t fencing_token = 0;
};
Lease acquire_lease(const sv_engine_client *client, const std::string &key);

// Header names of a logged request that the client chose (transport headers left out), in
// wire order.
std::vector<std::string> client_header_names(const stavo::test::LoggedRequest &request);

std::string text(const char *value);

// One error record for a test, reset at the end.
struct Error {
  sv_engine_error record{};
  Error() { sv_engine_error_init(&record); }
  ~Error() { sv_engine_error_reset(&record); }
  Error(const Error &) = delete;
  Error &operator=(const Error &) = delete;
  sv_engine_error *operator&() { return &record; }
  std::string message() const { return text(record.message); }
};

// A plain HTTP dev server shared by a test suite and an engine client per test.
class StreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new stavo::test::DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    client_.config.disable_mtls = 1;
  }
  // Opens the client on the server (count times the same endpoint).
  void open(size_t endpoint_count = 1) {
    open_on(std::vector<std::string>(endpoint_count, server_->http_url()));
  }
  void open_on(const std::vector<std::string> &endpoints) {
    ASSERT_EQ(client_.open(endpoints), SV_OK) << client_.open_message;
  }

  static stavo::test::DevServer *server_;
  Client client_;
};

}  // namespace engine_test

#endif
