// Multipart bodies: parts, headers, counted and delimited bodies, finishing and failures.
#include <gtest/gtest.h>

#include <string>

#include "multipart_recorder.h"

namespace {

using mp_test::Outcome;
using mp_test::parse;
using mp_test::whole;

const char *const kType = "multipart/related; boundary=b";

Outcome parse_b(const std::string &body, const brindle_multipart_options *options = nullptr) {
  return parse(kType, body, whole(), options);
}

TEST(MultipartBodies, CountedAndDelimitedPartsDeliverTheSameBytes) {
  Outcome counted = parse_b("--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--\r\n");
  ASSERT_EQ(counted.status, BRINDLE_OK) << counted.message;
  ASSERT_EQ(counted.recorder.parts.size(), 1u);
  EXPECT_EQ(counted.recorder.parts[0].data, "abc");
  EXPECT_EQ(counted.recorder.parts[0].content_length, 3);
  EXPECT_TRUE(counted.recorder.parts[0].ended);

  Outcome delimited = parse_b("--b\r\n\r\nabc\r\n--b--\r\n");
  ASSERT_EQ(delimited.status, BRINDLE_OK) << delimited.message;
  ASSERT_EQ(delimited.recorder.parts.size(), 1u);
  EXPECT_EQ(delimited.recorder.parts[0].data, "abc");
  EXPECT_EQ(delimited.recorder.parts[0].content_length, -1);
  EXPECT_EQ(delimited.recorder.events, "BDE");
}

TEST(MultipartBodies, CountedBodyMayHoldDelimiterLookalikes) {
  const std::string payload = "\r\n--b\r\n--b--\r\n";
  Outcome outcome = parse_b("--b\r\nContent-Length: " + std::to_string(payload.size()) +
                            "\r\n\r\n" + payload + "\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.parts[0].data, payload);
  // After the counted bytes the next line must be empty or a delimiter.
  outcome = parse_b("--b\r\nContent-Length: 2\r\n\r\nabc\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(outcome.message, "unexpected multipart boundary line");
  // The delimiter may follow the counted bytes directly.
  outcome = parse_b("--b\r\nContent-Length: 2\r\n\r\nab--b\r\n\r\ncd\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  ASSERT_EQ(outcome.recorder.parts.size(), 2u);
  EXPECT_EQ(outcome.recorder.parts[0].data, "ab");
  EXPECT_EQ(outcome.recorder.parts[1].data, "cd");
}

TEST(MultipartBodies, ZeroContentLengthEndsThePartAtOnce) {
  Outcome outcome = parse_b("--b\r\nContent-Length: 0\r\n\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.events, "BE");
  EXPECT_EQ(outcome.recorder.parts[0].content_length, 0);
  EXPECT_EQ(outcome.recorder.parts[0].data_calls, 0u);
}

TEST(MultipartBodies, EmptyDelimitedPartsDeliverNothing) {
  // The delimiter right after the headers, and a line break right before it.
  Outcome outcome = parse_b("--b\r\n\r\n--b\r\n\r\n\r\n--b\n\n\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  ASSERT_EQ(outcome.recorder.parts.size(), 3u);
  EXPECT_EQ(outcome.recorder.events, "BEBEBE");
  // Only the last line break before the delimiter is framing.
  outcome = parse_b("--b\r\n\r\n\r\n\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(outcome.recorder.parts[0].data, "\r\n");
}

TEST(MultipartBodies, LineFeedOnlyBodiesAndMixedLineBreaks) {
  Outcome outcome = parse_b("--b\nName: x\n\nline one\nline two\n--b\nName: y\n\nz\r\n--b--\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  ASSERT_EQ(outcome.recorder.parts.size(), 2u);
  EXPECT_EQ(outcome.recorder.parts[0].data, "line one\nline two");
  EXPECT_EQ(outcome.recorder.parts[1].data, "z");
  // Lone CRs end header lines too, and a lone CR in a body is data.
  outcome = parse_b("--b\rName: x\r\rab\rcd\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  ASSERT_EQ(outcome.recorder.parts.size(), 1u);
  EXPECT_EQ(outcome.recorder.parts[0].headers.size(), 1u);
  EXPECT_EQ(outcome.recorder.parts[0].data, "ab\rcd");
}

TEST(MultipartBodies, DelimiterLookalikesInsideDelimitedBodiesAreData) {
  const char *const bodies[] = {
      "x\r\n--bb\r\ny",    // longer boundary
      "x\r\n--b \r\ny",    // trailing blank
      "x\r\n--b-\r\ny",    // one dash
      "x\r\n--b---\r\ny",  // three dashes
      "x\r\n-b\r\ny",      // one leading dash
      "x\r\n--\r\ny",      // dashes only
      "x\r--b\r\ny",       // lone CR is not a line break
      "see --b\r\nmore",   // not at the start of a line
      "x--b--\r\ny",       // closing text not at the start of a line
      "--bx\r\ny",         // at the start of the body, but longer
      "\r\n--",            // a prefix at the end of the body
      "-",                 // a one-byte prefix
  };
  for (const char *data : bodies) {
    Outcome outcome = parse_b(std::string("--b\r\n\r\n") + data + "\r\n--b--\r\n");
    ASSERT_EQ(outcome.status, BRINDLE_OK) << data << ": " << outcome.message;
    ASSERT_EQ(outcome.recorder.parts.size(), 1u) << data;
    EXPECT_EQ(outcome.recorder.parts[0].data, data);
  }
}

TEST(MultipartBodies, CarriageReturnsBeforeAFailedCandidateAreKept) {
  // The CR LF before "--" is held back as a possible delimiter and must come back as data.
  Outcome outcome = parse(kType, "--b\r\n\r\nx\r\n--y\r\n--b--\r\n", mp_test::bytewise());
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.parts[0].data, "x\r\n--y");
  outcome = parse(kType, "--b\r\n\r\n\r\r\n--b--\r\n", mp_test::bytewise());
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(outcome.recorder.parts[0].data, "\r");
}

TEST(MultipartBodies, MultiplePartsWithHeaders) {
  Outcome outcome =
      parse_b(std::string("\r\n\r\n--b\r\nContent-Disposition: form-data; name=\"meta\"\r\n"
                          "Content-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}\r\n"
                          "--b\r\nContent-Disposition: attachment; name=payload\r\n"
                          "Content-Type: application/octet-stream\r\n\r\n") +
              std::string("\x00\x01\xff", 3) + "\r\n--b--\r\nepilogue\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  ASSERT_EQ(outcome.recorder.parts.size(), 2u);
  const mp_test::RecordedPart &meta = outcome.recorder.parts[0];
  EXPECT_EQ(meta.name, "meta");
  EXPECT_EQ(meta.content_type, "application/json");
  EXPECT_EQ(meta.content_length, 7);
  EXPECT_EQ(meta.data, "{\"a\":1}");
  ASSERT_EQ(meta.headers.size(), 3u);
  EXPECT_EQ(meta.headers[0].first, "Content-Disposition");
  EXPECT_EQ(meta.headers[0].second, "form-data; name=\"meta\"");
  const mp_test::RecordedPart &payload = outcome.recorder.parts[1];
  EXPECT_EQ(payload.name, "payload");
  EXPECT_EQ(payload.content_length, -1);
  EXPECT_EQ(payload.data, std::string("\x00\x01\xff", 3));
  EXPECT_EQ(outcome.recorder.events, "BDEBDE");
}

TEST(MultipartHeaders, NamesAreKeptAsReceivedAndValuesTrimmed) {
  Outcome outcome = parse_b(
      "--b\r\nX-Thing:  \t spaced value\t \r\ncontent-TYPE:a/b\r\nEmpty:\r\n"
      ":no name\r\nSpace Before : v\r\nA: b: c\r\n\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  const auto &headers = outcome.recorder.parts[0].headers;
  ASSERT_EQ(headers.size(), 6u);
  EXPECT_EQ(headers[0], std::make_pair(std::string("X-Thing"), std::string("spaced value")));
  EXPECT_EQ(headers[1], std::make_pair(std::string("content-TYPE"), std::string("a/b")));
  EXPECT_EQ(headers[2], std::make_pair(std::string("Empty"), std::string("")));
  EXPECT_EQ(headers[3], std::make_pair(std::string(""), std::string("no name")));
  EXPECT_EQ(headers[4], std::make_pair(std::string("Space Before "), std::string("v")));
  EXPECT_EQ(headers[5], std::make_pair(std::string("A"), std::string("b: c")));
  // Header names are matched case-insensitively, but only with their exact length.
  EXPECT_EQ(outcome.recorder.parts[0].content_type, "a/b");
}

TEST(MultipartHeaders, LaterContentTypeReplacesEarlier) {
  Outcome outcome = parse_b("--b\r\nContent-Type: a\r\nContent-Type: b\r\n\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(outcome.recorder.parts[0].content_type, "b");
}

TEST(MultipartHeaders, LineWithoutColonFails) {
  Outcome outcome = parse_b("--b\r\nno colon here\r\n\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(outcome.message, "invalid multipart header line");
  EXPECT_TRUE(outcome.recorder.parts.empty());
}

TEST(MultipartHeaders, HeaderCountLimit) {
  auto body_with = [](int headers) {
    std::string body = "--b\r\n";
    for (int i = 0; i < headers; ++i)
      body += "H" + std::to_string(i) + ": v\r\n";
    return body + "\r\nx\r\n--b--\r\n";
  };
  Outcome outcome = parse_b(body_with(64));
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.parts[0].headers.size(), 64u);
  EXPECT_EQ(outcome.recorder.parts[0].headers[63].first, "H63");
  outcome = parse_b(body_with(65));
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "multipart header count limit exceeded");
  // The count is per part.
  const std::string two =
      body_with(64).substr(0, body_with(64).size() - 7) + "--b\r\n" + body_with(64).substr(5);
  outcome = parse_b(two);
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.parts.size(), 2u);
}

TEST(MultipartHeaders, LineLimitIsInclusive) {
  brindle_multipart_options options = brindle_default_multipart_options();
  options.max_line_bytes = 16;
  Outcome outcome = parse_b("--b\r\nAbcdefgh: 123456\r\n\r\n--b--\r\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  outcome = parse_b("--b\r\nAbcdefgh: 1234567\r\n\r\n--b--\r\n", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "framing buffer limit exceeded");
}

struct DispositionCase {
  const char *value;
  const char *name;
};

TEST(MultipartDisposition, NameParameter) {
  const DispositionCase cases[] = {
      {"form-data; name=\"meta\"", "meta"},
      {"form-data; name=meta", "meta"},
      {"form-data;name=meta;filename=x", "meta"},
      {"form-data; NAME = \"Meta\" ", "Meta"},
      {"form-data; name=\"a\\\"b\"", "a\"b"},
      {"form-data; name=\"back\\\\slash\"", "back\\slash"},
      {"form-data; name=\"semi;colon\"", "semi;colon"},
      {"form-data; name=\"first\"; name=\"second\"", "first"},
      {"form-data; filename=\"name=x; y\"; name=real", "real"},
      {"form-data; flag; name=after-flag", "after-flag"},
      {"form-data; name=", ""},
      {"form-data; name=a b", "a"},
      {"form-data; xname=no; namex=no", "<null>"},
      {"name=no-semicolon-first", "<null>"},
      {"form-data", "<null>"},
  };
  for (const DispositionCase &c : cases) {
    Outcome outcome =
        parse_b(std::string("--b\r\nContent-Disposition: ") + c.value + "\r\n\r\n--b--\r\n");
    ASSERT_EQ(outcome.status, BRINDLE_OK) << c.value << ": " << outcome.message;
    EXPECT_EQ(outcome.recorder.parts[0].name, c.name) << c.value;
  }
  // A later Content-Disposition header replaces the name.
  Outcome outcome = parse_b(
      "--b\r\ncontent-disposition: a; name=one\r\nContent-Disposition: a; "
      "name=two\r\n\r\n--b--\r\n");
  EXPECT_EQ(outcome.recorder.parts[0].name, "two");
}

TEST(MultipartDisposition, UnterminatedQuoteFailsWhateverTheKey) {
  for (const char *value : {"form-data; name=\"meta", "form-data; filename=\"x; name=meta",
                            "form-data; name=\"ends with backslash\\"}) {
    Outcome outcome =
        parse_b(std::string("--b\r\nContent-Disposition: ") + value + "\r\n\r\n--b--\r\n");
    EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << value;
    EXPECT_EQ(outcome.message, "multipart Content-Disposition name invalid") << value;
  }
  // The first name wins before a broken later parameter is reached.
  Outcome outcome =
      parse_b("--b\r\nContent-Disposition: form-data; name=ok; filename=\"open\r\n\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_EQ(outcome.recorder.parts[0].name, "ok");
}

TEST(MultipartContentLength, Validation) {
  for (const char *value : {"3x", "-3", "+3", "", "3 3", "0x10", "1.0"}) {
    Outcome outcome =
        parse_b(std::string("--b\r\nContent-Length: ") + value + "\r\n\r\nabc\r\n--b--\r\n");
    EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << value;
    EXPECT_EQ(outcome.message, "multipart Content-Length is invalid") << value;
  }
  Outcome outcome = parse_b("--b\r\nContent-Length: 9223372036854775808\r\n\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "multipart Content-Length exceeds supported range");
  outcome = parse_b("--b\r\nContent-Length: 99999999999999999999999\r\n\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);

  outcome = parse_b("--b\r\nContent-Length: 9223372036854775807\r\n\r\nabc");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);  // ends inside the body
  EXPECT_EQ(outcome.message, "multipart stream ended before closing boundary");
  ASSERT_EQ(outcome.recorder.parts.size(), 1u);
  EXPECT_EQ(outcome.recorder.parts[0].content_length, INT64_MAX);
  EXPECT_EQ(outcome.recorder.parts[0].data, "abc");
  // Blanks around the value are trimmed like every header value; leading zeros are digits.
  outcome = parse_b("--b\r\ncontent-length:\t 003 \r\n\r\nabc\r\n--b--\r\n");
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  EXPECT_EQ(outcome.recorder.parts[0].content_length, 3);
}

TEST(MultipartFraming, PreambleIsRejected) {
  Outcome outcome = parse_b("This is a preamble.\r\n--b\r\n\r\nx\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);
  EXPECT_EQ(outcome.message, "unexpected multipart boundary line");
  outcome = parse_b("--b \r\n\r\nx\r\n--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON);
}

TEST(MultipartFraming, FinishNeedsTheClosingDelimiter) {
  for (const char *body :
       {"", "\r\n", "--b\r\n", "--b\r\n\r\nabc", "--b\r\n\r\nabc\r\n--b", "--b\r\n\r\nabc\r\n--b-",
        "--b\r\n\r\nabc\r\n--b\r\n", "--b\r\nContent-Length: 1\r\n\r\na\r\n--b-", "--b--x"}) {
    Outcome outcome = parse_b(body);
    EXPECT_EQ(outcome.status, BRINDLE_INVALID_JSON) << body;
    EXPECT_EQ(outcome.message, "multipart stream ended before closing boundary") << body;
    EXPECT_FALSE(outcome.failed_in_push) << body;
  }
  // The closing delimiter alone is an empty multipart body.
  Outcome outcome = parse_b("--b--\r\n");
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_TRUE(outcome.recorder.parts.empty());
}

TEST(MultipartFraming, FinishAndPushAfterTheClosingDelimiter) {
  brindle_error error;
  brindle_multipart *parser = brindle_multipart_open(kType, nullptr, &error);
  ASSERT_NE(parser, nullptr);
  const std::string body = "--b\r\n\r\nx\r\n--b--\r\nepilogue line\r\nand another";
  EXPECT_EQ(brindle_multipart_push(parser, body.data(), body.size(), nullptr, nullptr, &error),
            BRINDLE_OK);
  // A later push after the closing delimiter is epilogue too.
  EXPECT_EQ(brindle_multipart_push(parser, "more\r\n--b\r\n", 11, nullptr, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_multipart_finish(parser, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_multipart_finish(parser, &error), BRINDLE_OK);
  EXPECT_EQ(brindle_multipart_finish(parser, nullptr), BRINDLE_OK);
  // Once the caller has declared the end, more bytes are a calling error.
  EXPECT_EQ(brindle_multipart_push(parser, "more", 4, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "multipart parser is already finished");
  brindle_multipart_close(parser);
}

TEST(MultipartFraming, ClosingDelimiterWithoutLineBreakEndsTheBody) {
  // Counted and delimited last parts, with and without a lone CR after the closing delimiter.
  for (const char *body : {"--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--",
                           "--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--\r",
                           "--b\r\n\r\nabc\r\n--b--", "--b\r\n\r\nabc\n--b--\r", "--b--"}) {
    Outcome outcome = parse_b(body);
    EXPECT_EQ(outcome.status, BRINDLE_OK) << body << outcome.message;
    if (std::string(body) == "--b--") continue;
    ASSERT_EQ(outcome.recorder.parts.size(), 1u) << body;
    EXPECT_EQ(outcome.recorder.parts[0].data, "abc") << body;
    EXPECT_TRUE(outcome.recorder.parts[0].ended) << body;
    EXPECT_EQ(outcome.recorder.events, "BDE") << body;
  }
  // A failing end_part at finish is reported like a push's.
  mp_test::Recorder failing;
  failing.fail_kind = 'E';
  failing.fail_at = 1;
  Outcome outcome = parse(kType, "--b\r\n\r\nabc\r\n--b--", mp_test::whole(), nullptr, failing);
  EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(outcome.message, "multipart end_part callback failed");
}

TEST(MultipartFraming, EpilogueLinesAreStillLimited) {
  brindle_multipart_options options = brindle_default_multipart_options();
  options.max_line_bytes = 8;
  Outcome outcome = parse_b("--b--\r\n12345678\r\n12345678", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  outcome = parse_b("--b--\r\n123456789", &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "framing buffer limit exceeded");
}

TEST(MultipartFraming, StalledDelimiterIsHeldUntilTheBufferLimit) {
  brindle_multipart_options options = brindle_default_multipart_options();
  options.max_buffered_bytes = 64;
  // "--b" CR and then not LF: never decided, so nothing after it is delivered.
  const std::string head = "--b\r\n\r\ndata\r\n--b\rX";
  Outcome outcome = parse_b(head + std::string(64 - 7, 'y'), &options);
  EXPECT_FALSE(outcome.failed_in_push);  // exactly 64 bytes held: still waiting
  EXPECT_EQ(outcome.recorder.parts[0].data, "data");
  outcome = parse_b(head + std::string(64 - 6, 'y'), &options);
  EXPECT_TRUE(outcome.failed_in_push);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "framing buffer limit exceeded");
  EXPECT_EQ(outcome.recorder.parts[0].data, "data");
  EXPECT_FALSE(outcome.recorder.parts[0].ended);
  // Also with the closing delimiter, and at the very start of a body.
  outcome = parse_b("--b\r\n\r\n--b--\rx" + std::string(100, '\n'), &options);
  EXPECT_EQ(outcome.message, "framing buffer limit exceeded");
}

TEST(MultipartFraming, NullCallbacksStillCheckTheBody) {
  brindle_error error;
  brindle_multipart *parser = brindle_multipart_open(kType, nullptr, &error);
  ASSERT_NE(parser, nullptr);
  const std::string good = "--b\r\nContent-Length: 1\r\n\r\nx\r\n--b\r\n\r\nyy\r\n--b--\r\n";
  EXPECT_EQ(brindle_multipart_push(parser, good.data(), good.size(), nullptr, nullptr, &error),
            BRINDLE_OK);
  EXPECT_EQ(brindle_multipart_finish(parser, &error), BRINDLE_OK);
  brindle_multipart_close(parser);

  parser = brindle_multipart_open(kType, nullptr, &error);
  const brindle_multipart_callbacks empty{};
  const std::string bad = "--b\r\nContent-Length: x\r\n\r\n";
  EXPECT_EQ(brindle_multipart_push(parser, bad.data(), bad.size(), &empty, nullptr, &error),
            BRINDLE_INVALID_JSON);
  brindle_multipart_close(parser);
}

TEST(MultipartFraming, ArgumentChecks) {
  brindle_error error;
  EXPECT_EQ(brindle_multipart_push(nullptr, "x", 1, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "multipart parser and bytes are required");
  brindle_multipart *parser = brindle_multipart_open(kType, nullptr, &error);
  EXPECT_EQ(brindle_multipart_push(parser, nullptr, 1, nullptr, nullptr, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "multipart parser and bytes are required");
  error.code = 5;
  EXPECT_EQ(brindle_multipart_push(parser, nullptr, 0, nullptr, nullptr, &error), BRINDLE_OK);
  EXPECT_EQ(error.code, BRINDLE_OK);  // cleared
  EXPECT_EQ(brindle_multipart_finish(nullptr, &error), BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "multipart parser is required");
  EXPECT_EQ(brindle_multipart_push(nullptr, "x", 1, nullptr, nullptr, nullptr),
            BRINDLE_INVALID_ARGUMENT);
  brindle_multipart_close(parser);
}

struct CallbackFailure {
  char kind;
  const char *message;
};

TEST(MultipartCallbacks, FailuresUseTheCallbacksCodeOrTheirOwnMessage) {
  const CallbackFailure failures[] = {{'B', "multipart begin_part callback failed"},
                                      {'D', "multipart part_data callback failed"},
                                      {'E', "multipart end_part callback failed"}};
  const std::string bodies[] = {"--b\r\n\r\nabc\r\n--b--\r\n",
                                "--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--\r\n"};
  for (const std::string &body : bodies) {
    for (const CallbackFailure &failure : failures) {
      mp_test::Recorder recorder;
      recorder.fail_kind = failure.kind;
      recorder.fail_at = 1;
      Outcome outcome = parse(kType, body, whole(), nullptr, recorder);
      EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED) << failure.kind;
      EXPECT_EQ(outcome.message, failure.message);
      EXPECT_TRUE(outcome.failed_in_push);

      recorder.fail_code = BRINDLE_TYPE_MISMATCH;
      outcome = parse(kType, body, whole(), nullptr, recorder);
      EXPECT_EQ(outcome.status, BRINDLE_TYPE_MISMATCH) << failure.kind;
      EXPECT_EQ(outcome.message, "recorder failure");
    }
  }
  // Zero Content-Length: end_part's failure is the push's result.
  mp_test::Recorder recorder;
  recorder.fail_kind = 'E';
  recorder.fail_at = 1;
  Outcome outcome =
      parse(kType, "--b\r\nContent-Length: 0\r\n\r\n--b--\r\n", whole(), nullptr, recorder);
  EXPECT_EQ(outcome.status, BRINDLE_CALLBACK_FAILED);
  EXPECT_EQ(outcome.message, "multipart end_part callback failed");
}

int fail_always(void *, const char *, size_t, brindle_error *) {
  return 1;
}

TEST(MultipartCallbacks, NullErrorRecordStillReportsCallbackFailure) {
  brindle_multipart *parser = brindle_multipart_open(kType, nullptr, nullptr);
  ASSERT_NE(parser, nullptr);
  const brindle_multipart_callbacks callbacks{nullptr, &fail_always, nullptr};
  const std::string body = "--b\r\n\r\nabc";
  EXPECT_EQ(brindle_multipart_push(parser, body.data(), body.size(), &callbacks, nullptr, nullptr),
            BRINDLE_CALLBACK_FAILED);
  brindle_multipart_close(parser);
}

TEST(MultipartCallbacks, PartLeftOpenAtCloseGetsNoEnd) {
  mp_test::Recorder recorder;
  brindle_multipart *parser = brindle_multipart_open(kType, nullptr, nullptr);
  const brindle_multipart_callbacks callbacks = recorder.callbacks();
  const std::string body = "--b\r\nName: v\r\n\r\nabc";
  EXPECT_EQ(
      brindle_multipart_push(parser, body.data(), body.size(), &callbacks, &recorder, nullptr),
      BRINDLE_OK);
  brindle_multipart_close(parser);
  EXPECT_EQ(recorder.events, "BD");
}

}  // namespace
