// Every exported function that works through a client, lease or message handle refuses a NULL
// handle with SV_ERR_INVALID and "<operation> requires <handle>" ("acquire requires client",
// "lease keepalive requires lease"), also without an error record.
// Every result record has a zeroing _init. Both tables are generated from the public headers, so
// a new function or record is covered by itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "api_test_support.h"
#include "stavoc.h"

namespace {

// NULL of whatever pointer type a parameter has (data or function pointer).
struct Null {
  template <typename T>
  operator T *() const {
    return nullptr;
  }
};
constexpr Null kNull{};

struct HandleCall {
  std::string message;
  std::function<int(sv_error *)> call;
};

const std::vector<HandleCall> &handle_calls() {
  static const std::vector<HandleCall> calls = {
#include "null_handle_calls.inc"
  };
  return calls;
}

TEST(NullHandles, EveryHandleFunctionRefusesANullHandleByName) {
  ASSERT_GE(handle_calls().size(), 60u) << "the table was generated from the headers";
  for (const HandleCall &entry : handle_calls()) {
    api_test::Error error;
    EXPECT_EQ(entry.call(error.get()), SV_ERR_INVALID) << entry.message;
    // Some name more than the handle ("message write_payload requires message and dst").
    EXPECT_EQ(error.message().rfind(entry.message, 0), 0u) << error.message();
    EXPECT_EQ(entry.call(nullptr), SV_ERR_INVALID) << entry.message << " without an error record";
  }
}

// An empty record of whatever type a parameter points to: each conversion hands out the next
// zeroed block of a pool (so no two arguments share one); NULL for function pointers.
struct Empty {
  static constexpr size_t kBlocks = 8;
  static constexpr size_t kBlockSize = 4096;
  alignas(64) static inline unsigned char pool[kBlocks][kBlockSize];
  static inline size_t next = 0;
  static void reset() {
    std::memset(pool, 0, sizeof pool);
    next = 0;
  }
  template <typename T>
  operator T *() const {
    if constexpr (std::is_function_v<T>) {
      return nullptr;
    } else {
      return reinterpret_cast<T *>(pool[next++ % kBlocks]);
    }
  }
};
constexpr Empty kEmpty{};

struct EmptyRecordCall {
  std::string operation;
  std::function<int(sv_client *, sv_error *)> call;
};

const std::vector<EmptyRecordCall> &empty_record_calls() {
  static const std::vector<EmptyRecordCall> calls = {
#include "empty_record_calls.inc"
  };
  return calls;
}

// The client talks to a port where nobody listens: a call that does not refuse its records
// tries to send them and fails with a transport error, so no answer fills a result.
TEST(EmptyRecords, EveryClientFunctionRefusesThemByNameOrSendsThem) {
  ASSERT_GE(empty_record_calls().size(), 45u) << "the table was generated from the headers";
  const char *endpoints[] = {"http://127.0.0.1:1"};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  sv_client *client = nullptr;
  ASSERT_EQ(sv_client_open(&config, &client, nullptr), SV_OK);
  size_t refused = 0;
  for (const EmptyRecordCall &entry : empty_record_calls()) {
    Empty::reset();
    api_test::Error error;
    const int status = entry.call(client, error.get());
    if (status == SV_ERR_INVALID) {
      ++refused;
      const std::string message = error.message();
      // A with-state form shares the messages of its plain form.
      std::string operation = entry.operation;
      if (const size_t at = operation.find("_with_state"); at != std::string::npos) {
        operation.erase(at);
      }
      const bool named = message.rfind(operation + " requires ", 0) == 0 ||
                         message.rfind(operation + ": ", 0) == 0;
      EXPECT_TRUE(named) << entry.operation << ": " << message;
    } else {
      EXPECT_EQ(status, SV_ERR_TRANSPORT) << entry.operation << ": " << error.message();
    }
  }
  // Most requests have a required member (a key, a queue, a selector, an id).
  EXPECT_GE(refused, 30u);
  sv_client_close(client);
}

struct ResultInit {
  std::string type;
  size_t size;
  std::function<void(void *)> init;
  std::function<void()> init_null;
};

const std::vector<ResultInit> &result_inits() {
  static const std::vector<ResultInit> inits = {
#include "result_inits.inc"
  };
  return inits;
}

// Every result record has an _init that zeroes all of it (and ignores NULL).
TEST(ResultRecords, EveryResultRecordHasAnInitThatZeroesIt) {
  ASSERT_GE(result_inits().size(), 29u) << "the table was generated from the headers";
  for (const ResultInit &entry : result_inits()) {
    std::vector<unsigned char> bytes(entry.size, 0xa5);
    entry.init(bytes.data());
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), static_cast<long>(entry.size))
        << entry.type;
    entry.init_null();
  }
}

}  // namespace
