// Engine error record, brindle status mapping, server errors, allocator hooks, the growable
// buffer, the memory reader and the string helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "stavoc_engine.h"

namespace {

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

TEST(EngineError, SettersStoreCodeAndOwnedCopyAndResetFreesEverything) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.message, nullptr);

  char message[] = "boom";
  EXPECT_EQ(sv_engine_set_transport_error(&error, message), SV_ERR_TRANSPORT);
  message[0] = 'X';  // the record holds its own copy
  EXPECT_EQ(error.code, SV_ERR_TRANSPORT);
  EXPECT_EQ(text(error.message), "boom");

  EXPECT_EQ(sv_engine_set_protocol_error(&error, "bad body"), SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error.message), "bad body");
  EXPECT_EQ(sv_engine_set_client_error(&error, SV_ERR_INVALID, "need x"), SV_ERR_INVALID);
  EXPECT_EQ(error.code, SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "need x");

  // The message may come from the record itself.
  EXPECT_EQ(sv_engine_set_transport_error(&error, error.message), SV_ERR_TRANSPORT);
  EXPECT_EQ(text(error.message), "need x");

  error.server_error_code = strdup("x");
  error.correlation_id = strdup("y");
  error.http_status = 503;
  sv_engine_error_reset(&error);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.http_status, 0);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_EQ(error.server_error_code, nullptr);
  EXPECT_EQ(error.correlation_id, nullptr);
  sv_engine_error_cleanup(&error);
  sv_engine_error_reset(nullptr);
  EXPECT_EQ(sv_engine_error_init(nullptr), nullptr);
}

TEST(EngineError, NullRecordOnlyReturnsTheCode) {
  EXPECT_EQ(sv_engine_set_client_error(nullptr, 7, "x"), 7);
  EXPECT_EQ(sv_engine_set_transport_error(nullptr, "x"), SV_ERR_TRANSPORT);
  EXPECT_EQ(sv_engine_set_protocol_error(nullptr, "x"), SV_ERR_PROTOCOL);
  EXPECT_EQ(sv_engine_brindle_error_from_status(nullptr, BRINDLE_IO_ERROR, nullptr, nullptr),
            SV_ERR_TRANSPORT);
  EXPECT_EQ(sv_engine_set_server_error_from_result(nullptr, nullptr), SV_ERR_SERVER);
}

TEST(EngineError, BrindleStatusMapping) {
  struct Case {
    int status;
    int code;
    const char *fallback;
  };
  const Case cases[] = {
      {BRINDLE_INVALID_ARGUMENT, SV_ERR_INVALID, "invalid brindle argument"},
      {BRINDLE_INVALID_JSON, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_TYPE_MISMATCH, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_MISSING_REQUIRED_FIELD, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_DUPLICATE_FIELD, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_OVERFLOW, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_TRUNCATED, SV_ERR_PROTOCOL, "failed to parse JSON"},
      {BRINDLE_ALLOCATION_FAILED, SV_ERR_NOMEM, "brindle allocation failed"},
      {BRINDLE_CALLBACK_FAILED, SV_ERR_TRANSPORT, "local JSON mapping failed"},
      {BRINDLE_IO_ERROR, SV_ERR_TRANSPORT, "local JSON mapping failed"},
      {BRINDLE_INTERNAL_ERROR, SV_ERR_TRANSPORT, "local JSON mapping failed"},
      {99, SV_ERR_PROTOCOL, "failed to parse JSON"},
  };
  sv_engine_error error;
  sv_engine_error_init(&error);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(sv_engine_brindle_error_from_status(&error, c.status, nullptr, nullptr), c.code);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(text(error.message), c.fallback);
  }
  // Precedence: the caller's message, then a non-empty brindle message, then the default.
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  std::strcpy(parse_error.message, "missing required field 'x'");
  sv_engine_brindle_error_from_status(&error, BRINDLE_MISSING_REQUIRED_FIELD, &parse_error,
                                      "failed to parse typed JSON response");
  EXPECT_EQ(text(error.message), "failed to parse typed JSON response");
  sv_engine_brindle_error_from_status(&error, BRINDLE_MISSING_REQUIRED_FIELD, &parse_error,
                                      nullptr);
  EXPECT_EQ(text(error.message), "missing required field 'x'");
  parse_error.message[0] = '\0';
  sv_engine_brindle_error_from_status(&error, BRINDLE_OVERFLOW, &parse_error, nullptr);
  EXPECT_EQ(text(error.message), "failed to parse JSON");

  // Success stores nothing.
  EXPECT_EQ(sv_engine_brindle_error_from_status(&error, BRINDLE_OK, nullptr, "x"), SV_OK);
  EXPECT_EQ(error.code, SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error.message), "failed to parse JSON");
  sv_engine_error_reset(&error);
}

TEST(EngineError, ServerErrorFromResultCopiesWhatTheAnswerSaid) {
  sv_engine_http_result result;
  sv_engine_http_result_init(&result);
  result.status = 409;
  result.correlation_id = strdup("cid-1");
  result.detail = strdup("held by someone");
  result.current_version = 4;

  sv_engine_error error;
  sv_engine_error_init(&error);
  error.leader_endpoint = strdup("stale");
  EXPECT_EQ(sv_engine_set_server_error_from_result(&error, &result), SV_ERR_SERVER);
  EXPECT_EQ(error.code, SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 409);
  EXPECT_EQ(text(error.message), "stavo returned a non-success status");
  EXPECT_EQ(text(error.correlation_id), "cid-1");
  // Without an error code the members are kept all the same (a proxy's page as the detail).
  EXPECT_EQ(error.server_error_code, nullptr);
  EXPECT_EQ(text(error.detail), "held by someone");
  EXPECT_EQ(error.leader_endpoint, nullptr);  // the stale member is gone
  EXPECT_EQ(error.current_version, 4);

  result.server_error_code = strdup("lease_held");
  result.leader_endpoint = strdup("https://b");
  result.current_etag = strdup("abc");
  result.retry_after_seconds = 3;
  EXPECT_EQ(sv_engine_set_server_error_from_result(&error, &result), SV_ERR_SERVER);
  EXPECT_EQ(text(error.server_error_code), "lease_held");
  EXPECT_EQ(text(error.detail), "held by someone");
  EXPECT_EQ(text(error.leader_endpoint), "https://b");
  EXPECT_EQ(text(error.current_etag), "abc");
  EXPECT_EQ(error.current_version, 4);
  EXPECT_EQ(error.retry_after_seconds, 3);
  sv_engine_error_reset(&error);
  sv_engine_http_result_cleanup(&result);
  EXPECT_EQ(result.correlation_id, nullptr);
  EXPECT_EQ(result.status, 0);
}

struct CountingHooks {
  int mallocs = 0;
  int frees = 0;
  static void *do_malloc(void *context, size_t size) {
    ++static_cast<CountingHooks *>(context)->mallocs;
    return std::malloc(size);
  }
  static void do_free(void *context, void *pointer) {
    ++static_cast<CountingHooks *>(context)->frees;
    std::free(pointer);
  }
};

TEST(EngineAllocator, HooksAreCheckedStoredAndUsedByTheClientAllocFamily) {
  sv_engine_client client{};
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_allocator hooks;
  sv_engine_allocator_init(&hooks);
  EXPECT_EQ(hooks.malloc_fn, nullptr);

  EXPECT_EQ(sv_engine_client_set_allocator(&client, &hooks, nullptr), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_client_set_allocator(nullptr, &hooks, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "set_allocator requires client, allocator, and error");
  EXPECT_EQ(sv_engine_client_set_allocator(&client, &hooks, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "allocator requires malloc_fn and free_fn");
  sv_engine_allocator got;
  EXPECT_EQ(sv_engine_client_get_allocator(&client, nullptr, &error), SV_ERR_INVALID);
  EXPECT_EQ(text(error.message), "get_allocator requires client, allocator, and error");

  // Unset hooks read back as the system functions.
  ASSERT_EQ(sv_engine_client_get_allocator(&client, &got, &error), SV_OK);
  EXPECT_EQ(got.malloc_fn, &sv_engine_default_malloc);
  EXPECT_EQ(got.realloc_fn, &sv_engine_default_realloc);
  EXPECT_EQ(got.free_fn, &sv_engine_default_free);
  EXPECT_EQ(got.context, nullptr);

  CountingHooks counts;
  hooks.malloc_fn = CountingHooks::do_malloc;
  hooks.free_fn = CountingHooks::do_free;
  hooks.context = &counts;
  ASSERT_EQ(sv_engine_client_set_allocator(&client, &hooks, &error), SV_OK);
  ASSERT_EQ(sv_engine_client_get_allocator(&client, &got, &error), SV_OK);
  EXPECT_EQ(got.realloc_fn, &sv_engine_default_realloc);  // defaulted
  EXPECT_EQ(got.context, &counts);

  char *copy = sv_engine_client_strdup(&client, "hello");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "hello");
  const char range[] = "abcdef";
  char *part = sv_engine_client_strdup_range(&client, range + 1, range + 4);
  EXPECT_STREQ(part, "bcd");
  void *block = sv_engine_client_alloc(&client, 10);
  EXPECT_EQ(counts.mallocs, 3);
  sv_engine_client_free_alloc(&client, copy);
  sv_engine_client_free_alloc(&client, part);
  sv_engine_client_free_alloc(&client, block);
  sv_engine_client_free_alloc(&client, nullptr);
  EXPECT_EQ(counts.frees, 3);

  EXPECT_EQ(sv_engine_client_strdup(&client, nullptr), nullptr);
  EXPECT_EQ(sv_engine_client_strdup_range(&client, range + 4, range + 1), nullptr);
  EXPECT_EQ(sv_engine_client_strdup_range(&client, nullptr, range), nullptr);
  EXPECT_EQ(counts.mallocs, 3);
  sv_engine_error_reset(&error);

  // Without a client the system allocator is used.
  void *plain = sv_engine_client_alloc(nullptr, 4);
  ASSERT_NE(plain, nullptr);
  sv_engine_client_free_alloc(nullptr, plain);
}

TEST(EngineBuffer, GrowsFrom256ByDoublingAndStaysTerminated) {
  sv_engine_buffer buffer;
  sv_engine_buffer_init(&buffer);
  EXPECT_EQ(buffer.data, nullptr);
  ASSERT_EQ(sv_engine_buffer_append(&buffer, "a", 1), SV_OK);
  EXPECT_EQ(buffer.capacity, 256u);
  EXPECT_STREQ(buffer.data, "a");
  const std::string chunk(300, 'x');
  ASSERT_EQ(sv_engine_buffer_append(&buffer, chunk.data(), chunk.size()), SV_OK);
  EXPECT_EQ(buffer.capacity, 512u);
  EXPECT_EQ(buffer.length, 301u);
  EXPECT_EQ(buffer.data[301], '\0');
  // Exactly filling the capacity leaves room for the terminator by growing.
  const std::string fill(511 - 301, 'y');
  ASSERT_EQ(sv_engine_buffer_append(&buffer, fill.data(), fill.size()), SV_OK);
  EXPECT_EQ(buffer.capacity, 512u);
  ASSERT_EQ(sv_engine_buffer_append_cstr(&buffer, "z"), SV_OK);
  EXPECT_EQ(buffer.capacity, 1024u);
  EXPECT_EQ(std::strlen(buffer.data), 512u);
  sv_engine_buffer_cleanup(&buffer);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(buffer.capacity, 0u);

  ASSERT_EQ(sv_engine_buffer_append(&buffer, "", 0), SV_OK);
  ASSERT_NE(buffer.data, nullptr);
  EXPECT_STREQ(buffer.data, "");
  sv_engine_buffer_cleanup(&buffer);
  sv_engine_buffer_cleanup(nullptr);
}

TEST(EngineBuffer, ArgumentChecksAndLimitsCountTheTerminator) {
  sv_engine_buffer buffer;
  sv_engine_buffer_init(&buffer);
  EXPECT_EQ(sv_engine_buffer_append(nullptr, "a", 1), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_buffer_append(&buffer, nullptr, 1), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_buffer_append_cstr(nullptr, "a"), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_buffer_append_cstr(&buffer, nullptr), SV_OK);
  EXPECT_EQ(buffer.length, 0u);

  EXPECT_EQ(sv_engine_buffer_append_limited(&buffer, "0123456789", 10, 10), SV_ERR_NOMEM);
  EXPECT_EQ(buffer.length, 0u);
  EXPECT_EQ(sv_engine_buffer_append_limited(&buffer, "012345678", 9, 10), SV_OK);
  EXPECT_EQ(sv_engine_buffer_append_cstr_limited(&buffer, "9", 10), SV_ERR_NOMEM);
  EXPECT_STREQ(buffer.data, "012345678");
  EXPECT_EQ(sv_engine_buffer_append_cstr_limited(&buffer, "9", 0), SV_OK);  // 0: no limit
  EXPECT_EQ(sv_engine_buffer_append_cstr_limited(nullptr, "9", 10), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_buffer_append_cstr_limited(&buffer, nullptr, 1), SV_OK);
  EXPECT_EQ(sv_engine_buffer_append_limited(&buffer, "x", SIZE_MAX, 100), SV_ERR_NOMEM);
  EXPECT_STREQ(buffer.data, "0123456789");
  sv_engine_buffer_cleanup(&buffer);
}

TEST(EngineBuffer, MemoryReaderDeliversChunksAndEofWithTheLastByte) {
  const char body[] = "{\"a\":1}";
  sv_engine_json_memory_cursor cursor{body, 7};
  char out[4];
  brindle_read_result first = sv_engine_json_memory_reader(&cursor, out, sizeof(out));
  EXPECT_EQ(first.bytes, 4u);
  EXPECT_EQ(first.eof, 0);
  EXPECT_EQ(std::string(out, 4), "{\"a\"");
  brindle_read_result second = sv_engine_json_memory_reader(&cursor, out, sizeof(out));
  EXPECT_EQ(second.bytes, 3u);
  EXPECT_EQ(second.eof, 1);
  EXPECT_EQ(std::string(out, 3), ":1}");
  brindle_read_result third = sv_engine_json_memory_reader(&cursor, out, sizeof(out));
  EXPECT_EQ(third.bytes, 0u);
  EXPECT_EQ(third.eof, 1);
  EXPECT_EQ(sv_engine_json_memory_reader(nullptr, out, 4).eof, 1);
  sv_engine_json_memory_cursor fresh{body, 7};
  EXPECT_EQ(sv_engine_json_memory_reader(&fresh, nullptr, 4).eof, 1);
  EXPECT_EQ(fresh.remaining, 7u);
  sv_engine_json_memory_cursor exact{body, 4};
  brindle_read_result whole = sv_engine_json_memory_reader(&exact, out, 4);
  EXPECT_EQ(whole.bytes, 4u);
  EXPECT_EQ(whole.eof, 1);
}

TEST(EngineStrings, TrimCopyFreeAndVersion) {
  char endpoint[] = "https://a:1///";
  EXPECT_EQ(sv_engine_trim_trailing_slash(endpoint), 11u);
  EXPECT_STREQ(endpoint, "https://a:1");
  char slashes[] = "///";
  EXPECT_EQ(sv_engine_trim_trailing_slash(slashes), 0u);
  EXPECT_STREQ(slashes, "");
  EXPECT_EQ(sv_engine_trim_trailing_slash(nullptr), 0u);

  char *copy = sv_engine_strdup_local("abc");
  EXPECT_STREQ(copy, "abc");
  sv_engine_free_string(&copy);
  EXPECT_EQ(copy, nullptr);
  sv_engine_free_string(&copy);
  sv_engine_free_string(nullptr);
  EXPECT_EQ(sv_engine_strdup_local(nullptr), nullptr);
  const char range[] = "hello";
  char *empty = sv_engine_strdup_range(range, range);
  EXPECT_STREQ(empty, "");
  std::free(empty);
  EXPECT_EQ(sv_engine_strdup_range(range + 2, range), nullptr);
  EXPECT_STREQ(sv_engine_version_string(), "0.7.0");
}

TEST(EngineStrings, EffectiveNamespace) {
  sv_engine_client client{};
  char configured[] = "orders";
  char empty[] = "";
  EXPECT_STREQ(sv_engine_effective_namespace(nullptr, nullptr), "default");
  EXPECT_STREQ(sv_engine_effective_namespace(&client, ""), "default");
  client.default_namespace = empty;
  EXPECT_STREQ(sv_engine_effective_namespace(&client, ""), "default");
  client.default_namespace = configured;
  EXPECT_STREQ(sv_engine_effective_namespace(&client, nullptr), "orders");
  const char *own = "mine";
  EXPECT_EQ(sv_engine_effective_namespace(&client, own), own);  // never copied
}

TEST(EngineStrings, UrlEncodeUsesPercentEncoding) {
  char *encoded = sv_engine_url_encode("a b/c?d&e=f+g%h~i_j.k-l\xc3\xa9");
  ASSERT_NE(encoded, nullptr);
  EXPECT_STREQ(encoded, "a%20b%2Fc%3Fd%26e%3Df%2Bg%25h~i_j.k-l%C3%A9");
  std::free(encoded);
  char *empty = sv_engine_url_encode(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);
  char *plain = sv_engine_url_encode("");
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(plain, "");
  std::free(plain);
}

}  // namespace
