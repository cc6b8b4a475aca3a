// The write callback of the JSON exchange driven directly: parser choice by status, the two
// byte budgets, parse failures, and the error body map.
#include <gtest/gtest.h>

#include <string>

#include "brindle_io.h"
#include "stavoc_engine.h"

namespace {

struct Reply {
  char *name;
  int64_t count;
};

const brindle_field reply_fields[] = {
    BRINDLE_DECL_STRING(Reply, name, "name", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_I64(Reply, count, "count", 0),
};
const brindle_map reply_map = BRINDLE_MAP("reply_json", Reply, reply_fields);

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

class WriteCallback : public ::testing::Test {
 protected:
  void SetUp() override {
    sv_engine_http_result_init(&result_);
    sv_engine_error_init(&error_);
    brindle_init(&reply_map, &reply_);
  }
  void TearDown() override {
    sv_engine_json_exchange_state_cleanup(&state_);
    brindle_cleanup(&reply_map, &reply_);
    sv_engine_http_result_cleanup(&result_);
    sv_engine_error_reset(&error_);
  }
  void start(int64_t status, uint64_t limit = 0, bool with_map = true) {
    client_.response_limit_bytes = limit;
    sv_engine_json_exchange_state_init(&state_, &client_, &result_, &error_,
                                       with_map ? &reply_map : nullptr,
                                       with_map ? &reply_ : nullptr);
    result_.status = status;
    state_.error_mode = (status < 200 || status >= 300) ? 1 : 0;
  }
  size_t feed(std::string chunk) {
    return sv_engine_json_http_write_callback(chunk.data(), 1, chunk.size(), &state_);
  }
  sv_engine_client client_{};
  sv_engine_http_result result_{};
  sv_engine_error error_{};
  sv_engine_json_exchange_state state_{};
  Reply reply_{};
};

TEST_F(WriteCallback, LimitsDefault) {
  sv_engine_json_exchange_state_init(&state_, nullptr, &result_, &error_, nullptr, nullptr);
  EXPECT_EQ(state_.success_limit, 1048576u);
  EXPECT_EQ(state_.error_limit, 8192u);
  start(200, 33);
  EXPECT_EQ(state_.success_limit, 33u);
}

TEST_F(WriteCallback, SuccessBodyIsParsedAcrossChunks) {
  start(200);
  EXPECT_EQ(feed("{\"na"), 4u);
  EXPECT_EQ(feed("me\":\"x\",\"cou"), 12u);
  EXPECT_EQ(feed("nt\":7}"), 6u);
  EXPECT_EQ(state_.parser_started, 1);
  EXPECT_EQ(state_.bytes_received, 22u);
  ASSERT_EQ(brindle_curl_parse_finish(&state_.parse), BRINDLE_OK);
  EXPECT_EQ(text(reply_.name), "x");
  EXPECT_EQ(reply_.count, 7);
  EXPECT_EQ(error_.code, 0);
}

TEST_F(WriteCallback, SuccessBudgetAllowsExactlyTheLimit) {
  const std::string body = "{\"name\":\"abcdef\"}";  // 17 bytes
  start(201, body.size());
  EXPECT_EQ(feed(body.substr(0, 10)), 10u);
  EXPECT_EQ(feed(body.substr(10)), 7u);
  EXPECT_EQ(state_.aborted, 0);

  sv_engine_json_exchange_state_cleanup(&state_);
  brindle_cleanup(&reply_map, &reply_);
  start(200, body.size() - 1);
  EXPECT_EQ(feed(body.substr(0, 10)), 10u);
  EXPECT_EQ(feed(body.substr(10)), 0u);
  EXPECT_EQ(state_.aborted, 1);
  EXPECT_EQ(error_.code, SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error_.message), "typed JSON response exceeds configured byte limit");
}

TEST_F(WriteCallback, ErrorBodyHasItsOwnBudgetAndMap) {
  start(409, 10);  // the success limit does not apply to error bodies
  const std::string body =
      "{\"error\":\"lease_held\",\"detail\":\"d\",\"leader_endpoint\":\"https://l\","
      "\"current_etag\":\"e\",\"current_version\":3,\"retry_after_seconds\":2,\"other\":1}";
  EXPECT_EQ(feed(body), body.size());
  ASSERT_EQ(brindle_curl_parse_finish(&state_.parse), BRINDLE_OK);
  EXPECT_EQ(text(state_.error_body.error), "lease_held");
  EXPECT_EQ(text(state_.error_body.detail), "d");
  EXPECT_EQ(text(state_.error_body.leader_endpoint), "https://l");
  EXPECT_EQ(text(state_.error_body.current_etag), "e");
  EXPECT_EQ(state_.error_body.current_version, 3);
  EXPECT_EQ(state_.error_body.retry_after_seconds, 2);
  EXPECT_EQ(reply_.name, nullptr);  // the caller's record is untouched

  sv_engine_json_exchange_state_cleanup(&state_);
  start(500);
  // Unknown members are skipped, so the size of the body is what counts here.
  const std::string big = "{\"detail\":\"d\",\"pad\":\"" + std::string(8192 - 23, 'x') + "\"}";
  ASSERT_EQ(big.size(), 8192u);
  EXPECT_EQ(feed(big), big.size());
  // One byte more stops the transfer, but as an answer: no error is stored, the excerpt is kept.
  EXPECT_EQ(feed(" "), 0u);
  EXPECT_EQ(error_.code, 0);
  EXPECT_EQ(state_.error_unreadable, 1);
  EXPECT_EQ(state_.error_excerpt.truncated, 1);
  EXPECT_EQ(std::string(state_.error_excerpt.text).rfind("{\"detail\":\"d\",\"pad\":\"xxx", 0), 0u);
}

TEST_F(WriteCallback, StatusesWithoutAParser) {
  start(302);
  EXPECT_EQ(feed("<html>moved</html>"), 0u);
  EXPECT_EQ(state_.aborted, 1);
  EXPECT_EQ(error_.code, SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error_.message), "typed JSON response has no parser");
  sv_engine_json_exchange_state_cleanup(&state_);
  sv_engine_error_reset(&error_);
  start(100);
  EXPECT_EQ(feed("x"), 0u);
  EXPECT_EQ(text(error_.message), "typed JSON response has no parser");
}

TEST_F(WriteCallback, BodiesNobodyParsesAreDropped) {
  for (int64_t status : {204, 205}) {
    start(status);
    EXPECT_EQ(feed("not json at all"), 15u);
    EXPECT_EQ(state_.discard_body, 1);
    EXPECT_EQ(reply_.name, nullptr);
    sv_engine_json_exchange_state_cleanup(&state_);
  }
  // A 2xx without a response map: read within the budget and dropped.
  start(200, 20, false);
  EXPECT_EQ(feed("{\"anything\":true}"), 17u);
  EXPECT_EQ(feed("1234"), 0u);
  EXPECT_EQ(text(error_.message), "typed JSON response exceeds configured byte limit");
  EXPECT_EQ(error_.code, SV_ERR_PROTOCOL);
}

TEST_F(WriteCallback, AnErrorBodyThatIsNotTheServersJsonIsReadOnAsAnExcerpt) {
  start(502);
  const std::string page = "<html><body>bad gateway</body></html>";
  EXPECT_EQ(feed(page), page.size());
  EXPECT_EQ(feed(std::string(600, 'x')), 600u);  // read on to the end, within the limit
  EXPECT_EQ(error_.code, 0);
  EXPECT_EQ(state_.error_unreadable, 1);
  EXPECT_EQ(std::string(state_.error_excerpt.text).rfind(page, 0), 0u);
  EXPECT_EQ(state_.error_excerpt.length, sizeof state_.error_excerpt.text - 1);
  EXPECT_EQ(state_.error_excerpt.truncated, 1);
}

TEST_F(WriteCallback, ALongDetailIsBoundOnlyByTheErrorBudget) {
  // Longer than the parser's 4 KiB workspace, within the 8 KiB error budget: stored whole.
  start(500);
  const std::string detail(8000, 'x');
  const std::string body = "{\"detail\":\"" + detail + "\"}";
  EXPECT_EQ(feed(body.substr(0, 3000)), 3000u);
  EXPECT_EQ(feed(body.substr(3000)), body.size() - 3000);
  ASSERT_EQ(brindle_curl_parse_finish(&state_.parse), BRINDLE_OK);
  EXPECT_EQ(text(state_.error_body.detail), detail);
  EXPECT_EQ(error_.code, 0);
  // Past the budget the body is read no further, as an answer: no failure is stored (least of
  // all a failed allocation), and the excerpt keeps its first bytes.
  sv_engine_json_exchange_state_cleanup(&state_);
  start(500);
  EXPECT_EQ(feed("{\"detail\":\"" + std::string(65536, 'x') + "\"}"), 0u);
  EXPECT_EQ(error_.code, 0);
  EXPECT_EQ(state_.error_unreadable, 1);
  EXPECT_EQ(state_.error_excerpt.truncated, 1);
}

TEST_F(WriteCallback, ParseFailuresAreMapped) {
  start(200);
  EXPECT_EQ(feed("{\"name\":"), 8u);
  EXPECT_EQ(feed("nope}"), 0u);
  EXPECT_EQ(state_.aborted, 1);
  EXPECT_EQ(error_.code, SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error_.message), "failed to parse typed JSON response");
  EXPECT_NE(state_.parse.error.code, 0);

  sv_engine_json_exchange_state_cleanup(&state_);
  brindle_cleanup(&reply_map, &reply_);
  sv_engine_error_reset(&error_);
  start(200);
  EXPECT_EQ(feed("{\"name\":12}"), 0u);  // type mismatch
  EXPECT_EQ(text(error_.message), "failed to parse typed JSON response");
}

TEST_F(WriteCallback, EmptyChunksAndMissingStateAreAccepted) {
  char byte = 'x';
  EXPECT_EQ(sv_engine_json_http_write_callback(&byte, 1, 1, nullptr), 1u);
  EXPECT_EQ(sv_engine_json_http_write_callback(&byte, 1, 0, &state_), 0u);
  sv_engine_json_exchange_state empty{};
  EXPECT_EQ(sv_engine_json_http_write_callback(&byte, 1, 1, &empty), 1u);
  sv_engine_json_exchange_state_cleanup(nullptr);
}

TEST(EngineServerErrorJson, ErrorBodyMapReadsEveryMember) {
  const brindle_map *map = sv_engine_http_error_body_map();
  ASSERT_NE(map, nullptr);
  EXPECT_STREQ(map->name, "sv_engine_http_error_json");
  EXPECT_EQ(map->field_count, 6u);
  sv_engine_http_error_body body{};
  ASSERT_EQ(brindle_parse_cstr(map, &body,
                               "{\"retry_after_seconds\":5,\"error\":\"e\",\"unknown\":{\"a\":[]}}",
                               nullptr, nullptr),
            BRINDLE_OK);
  EXPECT_EQ(text(body.error), "e");
  EXPECT_EQ(body.retry_after_seconds, 5);
  EXPECT_EQ(body.detail, nullptr);
  brindle_cleanup(map, &body);
}

TEST(EngineServerErrorJson, BufferedBodiesBecomeServerErrors) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  EXPECT_EQ(sv_engine_set_server_error_from_json(
                &error, 409, "cid-9",
                "{\"error\":\"version_conflict\",\"detail\":\"stale\",\"current_version\":12}"),
            SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 409);
  EXPECT_EQ(text(error.message), "stavo returned a non-success status");
  EXPECT_EQ(text(error.correlation_id), "cid-9");
  EXPECT_EQ(text(error.server_error_code), "version_conflict");
  EXPECT_EQ(text(error.detail), "stale");
  EXPECT_EQ(error.current_version, 12);

  EXPECT_EQ(sv_engine_set_server_error_from_json(&error, 500, nullptr, ""), SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 500);
  EXPECT_EQ(error.server_error_code, nullptr);
  EXPECT_EQ(error.correlation_id, nullptr);
  EXPECT_EQ(sv_engine_set_server_error_from_json(&error, 502, "c", nullptr), SV_ERR_SERVER);
  EXPECT_EQ(text(error.correlation_id), "c");

  // A body that is not the server's JSON error keeps the status; the text is the detail.
  EXPECT_EQ(sv_engine_set_server_error_from_json(&error, 502, "c", "<html>bad gateway</html>"),
            SV_ERR_SERVER);
  EXPECT_EQ(error.http_status, 502);
  EXPECT_EQ(text(error.detail), "<html>bad gateway</html>");
  EXPECT_EQ(text(error.correlation_id), "c");
  EXPECT_EQ(sv_engine_set_server_error_from_json(&error, 500, "c", "{\"error\":5}"), SV_ERR_SERVER);
  EXPECT_EQ(error.server_error_code, nullptr);
  EXPECT_EQ(text(error.detail), "{\"error\":5}");
  sv_engine_error_reset(&error);
}

}  // namespace
