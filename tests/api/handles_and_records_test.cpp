// Every exported function that works through a client, lease or message handle refuses a NULL
// handle with SV_ERR_INVALID and "<operation> requires <handle>" ("acquire requires client",
// "lease keepalive requires lease"), also without an error record.
// Every result record has a zeroing _init. Both tables are generated from the public headers, so
// a new function or record is covered by itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
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
