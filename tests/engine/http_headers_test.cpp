// URL building, the joined endpoint list and the response header callback, driven directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "stavoc_engine.h"

namespace {

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

TEST(EngineUrl, SchemeRuleFollowsTheMtlsSetting) {
  sv_engine_client client{};
  sv_engine_buffer url;
  sv_engine_buffer_init(&url);
  ASSERT_EQ(sv_engine_build_url(&client, "localhost:8443", "/v1/acquire", &url), SV_OK);
  EXPECT_STREQ(url.data, "https://localhost:8443/v1/acquire");
  client.disable_mtls = 1;
  ASSERT_EQ(sv_engine_build_url(&client, "localhost:8080", "/v1/get?key=a%20b", &url), SV_OK);
  EXPECT_STREQ(url.data, "http://localhost:8080/v1/get?key=a%20b");
  // An endpoint with a scheme is used verbatim whatever the setting.
  ASSERT_EQ(sv_engine_build_url(&client, "https://h:1", "/p", &url), SV_OK);
  EXPECT_STREQ(url.data, "https://h:1/p");
  client.disable_mtls = 0;
  ASSERT_EQ(sv_engine_build_url(&client, "http://h:2", "/p", &url), SV_OK);
  EXPECT_STREQ(url.data, "http://h:2/p");
  ASSERT_EQ(sv_engine_build_url(&client, "unix://x", "", &url), SV_OK);
  EXPECT_STREQ(url.data, "unix://x");
  EXPECT_EQ(sv_engine_build_url(nullptr, "h", "/p", &url), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_build_url(&client, nullptr, "/p", &url), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_build_url(&client, "h", nullptr, &url), SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_build_url(&client, "h", "/p", nullptr), SV_ERR_INVALID);
  sv_engine_buffer_cleanup(&url);
}

TEST(EngineUrl, JoinEndpointsWithCommas) {
  sv_engine_client client{};
  EXPECT_EQ(sv_engine_join_endpoints(&client), nullptr);
  EXPECT_EQ(sv_engine_join_endpoints(nullptr), nullptr);
  char a[] = "https://a:1", b[] = "b:2", empty[] = "";
  char *one[] = {a};
  client.endpoints = one;
  client.endpoint_count = 1;
  char *joined = sv_engine_join_endpoints(&client);
  EXPECT_STREQ(joined, "https://a:1");
  std::free(joined);
  char *three[] = {a, empty, b};
  client.endpoints = three;
  client.endpoint_count = 3;
  joined = sv_engine_join_endpoints(&client);
  EXPECT_STREQ(joined, "https://a:1,,b:2");
  std::free(joined);
}

class HeaderCallback : public ::testing::Test {
 protected:
  void SetUp() override {
    sv_engine_http_result_init(&result_);
    sv_engine_error_init(&error_);
    state_.result = &result_;
    state_.error = &error_;
  }
  void TearDown() override {
    sv_engine_http_result_cleanup(&result_);
    sv_engine_error_reset(&error_);
  }
  // Feeds one header line as libcurl does (size 1, count = length); returns what it returned.
  size_t feed(std::string line) {
    return sv_engine_json_http_header_callback(line.data(), 1, line.size(), &state_);
  }
  sv_engine_http_result result_{};
  sv_engine_error error_{};
  sv_engine_json_exchange_state state_{};
};

TEST_F(HeaderCallback, StatusLinesSetTheStatusAndTheErrorMode) {
  EXPECT_EQ(feed("HTTP/1.1 100 Continue\r\n"), 23u);
  EXPECT_EQ(result_.status, 100);
  EXPECT_EQ(state_.error_mode, 1);
  feed("HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(result_.status, 200);
  EXPECT_EQ(state_.error_mode, 0);
  feed("HTTP/2 503 \r\n");
  EXPECT_EQ(result_.status, 503);
  EXPECT_EQ(state_.error_mode, 1);
  feed("HTTP/2 204\r\n");
  EXPECT_EQ(state_.error_mode, 0);
  feed("HTTP/1.1 302 Found\r\n");
  EXPECT_EQ(state_.error_mode, 1);
  feed("HTTP/1.1 299 Odd\r\n");
  EXPECT_EQ(state_.error_mode, 0);
  // A status line without a number leaves the status as it was.
  feed("HTTP/1.1 abc\r\n");
  EXPECT_EQ(result_.status, 299);
  // Only the first 63 bytes are scanned.
  feed("HTTP/" + std::string(70, 'x') + " 404\r\n");
  EXPECT_EQ(result_.status, 299);
}

TEST_F(HeaderCallback, StringHeadersInAnyCaseReplaceEarlierValues) {
  feed("x-correlation-id: \t abc-1 \r\n");
  EXPECT_EQ(text(result_.correlation_id), "abc-1 ");  // trailing blanks are kept
  feed("X-CORRELATION-ID:second\r\n");
  EXPECT_EQ(text(result_.correlation_id), "second");
  feed("Content-Type: application/json; charset=utf-8\r\n");
  EXPECT_EQ(text(result_.content_type), "application/json; charset=utf-8");
  feed("content-type:\r\n");  // a line no longer than "content-type:" plus CRLF is taken
  EXPECT_EQ(text(result_.content_type), "");
  feed("Content-Type:");  // not longer than the name with its colon: ignored
  EXPECT_EQ(text(result_.content_type), "");
  feed("Content-Typo: x\r\n");
  feed("X-Correlation-Idx: nope\r\n");
  EXPECT_EQ(text(result_.correlation_id), "second");
  EXPECT_EQ(result_.header_invalid, 0);
}

TEST_F(HeaderCallback, EtagLosesSurroundingQuotesOnly) {
  feed("ETag: \"abc123\"\r\n");
  EXPECT_EQ(text(result_.etag), "abc123");
  feed("etag: plain\r\n");
  EXPECT_EQ(text(result_.etag), "plain");
  feed("ETag: \"leading-only\r\n");
  EXPECT_EQ(text(result_.etag), "\"leading-only");
  feed("ETag: W/\"weak\"\r\n");
  EXPECT_EQ(text(result_.etag), "W/\"weak\"");
  feed("ETag: \"\"\r\n");
  EXPECT_EQ(text(result_.etag), "");
  feed("ETag: \"\r\n");
  EXPECT_EQ(text(result_.etag), "\"");
}

TEST_F(HeaderCallback, NumericHeadersAreParsedStrictly) {
  EXPECT_GT(feed("X-Key-Version:  42 \t\r\n"), 0u);
  EXPECT_EQ(result_.key_version, 42);
  EXPECT_GT(feed("x-fencing-token: -9223372036854775808\r\n"), 0u);
  EXPECT_EQ(result_.fencing_token, INT64_MIN);
  EXPECT_EQ(result_.header_invalid, 0);

  EXPECT_EQ(feed("X-Fencing-Token: 12abc\r\n"), 0u);  // aborts the transfer
  EXPECT_EQ(result_.header_invalid, 1);
  EXPECT_EQ(text(result_.header_error), "response X-Fencing-Token header is invalid");
  EXPECT_EQ(result_.fencing_token, INT64_MIN);  // unchanged
  EXPECT_EQ(state_.aborted, 0);                 // not a body failure
  EXPECT_EQ(error_.code, 0);

  EXPECT_EQ(feed("X-Key-Version: 9223372036854775808\r\n"), 0u);
  EXPECT_EQ(text(result_.header_error), "response X-Key-Version header is invalid");
  EXPECT_EQ(feed("X-Key-Version: \r\n"), 0u);
  EXPECT_EQ(feed("X-Key-Version: 1 2\r\n"), 0u);
  EXPECT_EQ(feed("X-Key-Version: 0x10\r\n"), 0u);
  EXPECT_EQ(result_.key_version, 42);
}

TEST_F(HeaderCallback, ShortLinesAndMissingStateAreIgnored) {
  EXPECT_EQ(feed("\r\n"), 2u);
  EXPECT_EQ(feed("ETa:"), 4u);
  std::string line = "ETag: x\r\n";
  EXPECT_EQ(sv_engine_json_http_header_callback(line.data(), 1, line.size(), nullptr), line.size());
  sv_engine_json_exchange_state empty{};
  EXPECT_EQ(sv_engine_json_http_header_callback(line.data(), 1, line.size(), &empty), line.size());
  EXPECT_EQ(result_.etag, nullptr);
}

}  // namespace
