// The public error record, the mapping of engine errors and brindle statuses, and the
// allocation helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "api_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;

TEST(ErrorRecord, InitAndCleanupAcceptNullAndZeroTheRecord) {
  EXPECT_EQ(sv_error_init(nullptr), nullptr);
  sv_error_cleanup(nullptr);
  sv_error record;
  std::memset(&record, 0x7f, sizeof(record));
  EXPECT_EQ(sv_error_init(&record), &record);
  EXPECT_EQ(record.code, 0);
  EXPECT_EQ(record.http_status, 0);
  EXPECT_EQ(record.message, nullptr);
  EXPECT_EQ(record.correlation_id, nullptr);
  sv_error_set(&record, SV_ERR_SERVER, 409, "conflict", "detail", "version_conflict", "cid");
  sv_error_cleanup(&record);
  EXPECT_EQ(record.code, 0);
  EXPECT_EQ(record.message, nullptr);
  EXPECT_EQ(record.detail, nullptr);
}

TEST(ErrorRecord, SetReplacesEverythingAlsoFromItsOwnStrings) {
  Error error;
  EXPECT_EQ(sv_error_set(error.get(), SV_ERR_SERVER, 409, "first", "d1", "code1", "cid1"),
            SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 409);
  EXPECT_STREQ(error.record.server_error_code, "code1");
  // Arguments that point into the record being replaced.
  sv_error *e = error.get();
  EXPECT_EQ(sv_error_set(e, SV_ERR_TRANSPORT, 0, e->detail, e->message, nullptr, e->correlation_id),
            SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "d1");
  EXPECT_EQ(error.detail(), "first");
  EXPECT_EQ(error.record.server_error_code, nullptr);
  EXPECT_STREQ(error.record.correlation_id, "cid1");
  EXPECT_EQ(error.record.http_status, 0);
  EXPECT_EQ(sv_error_set(nullptr, SV_ERR_NOMEM, 0, "x", nullptr, nullptr, nullptr), SV_ERR_NOMEM);
}

TEST(ErrorRecord, FromEngineCopiesTheMembersAndClampsTheCode) {
  sv_engine_error engine;
  sv_engine_error_init(&engine);
  sv_engine_set_transport_error(&engine, "connect failed");
  engine.http_status = 503;
  engine.detail = sv_engine_strdup_local("node is passive");
  engine.server_error_code = sv_engine_strdup_local("node_passive");
  engine.correlation_id = sv_engine_strdup_local("cid-7");
  engine.leader_endpoint = sv_engine_strdup_local("https://leader");
  Error error;
  EXPECT_EQ(sv_error_from_engine(error.get(), &engine), SV_ERR_TRANSPORT);
  EXPECT_EQ(error.message(), "connect failed");
  EXPECT_EQ(error.detail(), "node is passive");
  EXPECT_STREQ(error.record.server_error_code, "node_passive");
  EXPECT_STREQ(error.record.correlation_id, "cid-7");
  EXPECT_EQ(error.record.http_status, 503);
  for (int code : {0, 1, 2, 3, 4}) {
    engine.code = code;
    EXPECT_EQ(sv_error_from_engine(error.get(), &engine), code);
  }
  for (int code : {5, 6, 99, -1, INT32_MIN}) {
    engine.code = code;
    EXPECT_EQ(sv_error_from_engine(error.get(), &engine), SV_ERR_SERVER) << code;
    EXPECT_EQ(error.code(), SV_ERR_SERVER);
  }
  EXPECT_EQ(sv_error_from_engine(error.get(), nullptr), SV_ERR_INVALID);
  sv_engine_error_cleanup(&engine);
}

TEST(ErrorRecord, BrindleStatusesMapToPublicCodes) {
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  std::strcpy(parse_error.message, "missing required field 'key'");
  Error error;
  EXPECT_EQ(sv_brindle_error_from_status(error.get(), BRINDLE_OK, &parse_error, "m"), SV_OK);
  EXPECT_EQ(error.code(), 0);
  EXPECT_EQ(error.record.message, nullptr);
  const std::pair<int, int> table[] = {{BRINDLE_INVALID_ARGUMENT, SV_ERR_INVALID},
                                       {BRINDLE_INVALID_JSON, SV_ERR_PROTOCOL},
                                       {BRINDLE_TYPE_MISMATCH, SV_ERR_PROTOCOL},
                                       {BRINDLE_MISSING_REQUIRED_FIELD, SV_ERR_PROTOCOL},
                                       {BRINDLE_OVERFLOW, SV_ERR_PROTOCOL},
                                       {BRINDLE_TRUNCATED, SV_ERR_PROTOCOL},
                                       {BRINDLE_ALLOCATION_FAILED, SV_ERR_NOMEM},
                                       {BRINDLE_CALLBACK_FAILED, SV_ERR_TRANSPORT},
                                       {BRINDLE_IO_ERROR, SV_ERR_TRANSPORT},
                                       {BRINDLE_INTERNAL_ERROR, SV_ERR_TRANSPORT},
                                       {42, SV_ERR_PROTOCOL}};
  for (const auto &[status, code] : table) {
    EXPECT_EQ(sv_brindle_error_from_status(error.get(), status, &parse_error, "mapping failed"),
              code)
        << status;
    EXPECT_EQ(error.message(), "mapping failed");
    EXPECT_EQ(error.detail(), "missing required field 'key'");
  }
  brindle_error_init(&parse_error);
  sv_brindle_error_from_status(error.get(), BRINDLE_INVALID_JSON, &parse_error, "bad");
  EXPECT_EQ(error.record.detail, nullptr);
  EXPECT_EQ(sv_brindle_error_from_status(error.get(), BRINDLE_IO_ERROR, nullptr, "io"),
            SV_ERR_TRANSPORT);
}

TEST(Allocation, HelpersUseTheAllocatorAndTheSystemOneWhenUnset) {
  CountingAllocator counting;
  const sv_allocator *a = &counting.allocator;
  void *one = sv_calloc_with_allocator(a, 0, 8);
  EXPECT_NE(one, nullptr);
  EXPECT_EQ(counting.live, 1u);
  sv_free_with_allocator(a, one);
  EXPECT_EQ(sv_calloc_with_allocator(a, uint64_t{1} << 63, 4), nullptr);
  EXPECT_EQ(counting.allocations, 1u);  // the overflow never reached the allocator

  auto *zeroed = static_cast<unsigned char *>(sv_calloc_with_allocator(a, 3, 5));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 15; ++i)
    EXPECT_EQ(zeroed[i], 0);
  auto *grown = static_cast<unsigned char *>(sv_realloc_with_allocator(a, zeroed, 64));
  ASSERT_NE(grown, nullptr);
  sv_free_with_allocator(a, grown);
  sv_free_with_allocator(a, nullptr);

  char *copy = sv_dup_bytes_with_allocator(a, "ab\0cd", 5);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, "ab\0cd\0", 6), 0);
  sv_free_with_allocator(a, copy);
  EXPECT_EQ(sv_strdup_with_allocator(a, nullptr), nullptr);
  EXPECT_EQ(sv_dup_bytes_with_allocator(a, nullptr, 3), nullptr);
  char *text = sv_strdup_with_allocator(a, "text");
  EXPECT_STREQ(text, "text");
  sv_free_with_allocator(a, text);
  EXPECT_EQ(counting.live, 0u);

  counting.fail_at = counting.allocations + 1;
  EXPECT_EQ(sv_strdup_with_allocator(a, "fails"), nullptr);

  // A partial allocator: only free_fn set, malloc falls back to the system one.
  sv_allocator partial;
  sv_allocator_init(&partial);
  EXPECT_EQ(partial.malloc_fn, nullptr);
  void *system = sv_alloc_with_allocator(&partial, 16);
  ASSERT_NE(system, nullptr);
  sv_free_with_allocator(&partial, system);
  sv_allocator_init(nullptr);

  char *local = sv_strdup_local("local");
  EXPECT_STREQ(local, "local");
  std::free(local);
  char *as_text = sv_dup_bytes_as_text("xyz", 2);
  EXPECT_STREQ(as_text, "xy");
  std::free(as_text);
  void *any = sv_client_alloc(nullptr, 8);
  any = sv_client_realloc(nullptr, any, 32);
  ASSERT_NE(any, nullptr);
  sv_client_free(nullptr, any);
  char *dup = sv_client_strdup(nullptr, "c");
  EXPECT_STREQ(dup, "c");
  sv_client_free(nullptr, dup);
  void *zero = sv_client_calloc(nullptr, 2, 2);
  EXPECT_NE(zero, nullptr);
  sv_client_free(nullptr, zero);
}

}  // namespace
