// Opening a multipart parser: boundary extraction from Content-Type values, options, allocators.
#include <gtest/gtest.h>

#include <string>

#include "multipart_recorder.h"
#include "test_allocator.h"

namespace {

using mp_test::parse;
using mp_test::whole;

// The boundary a parser opened with content_type recognises, shown by parsing a one-part body.
std::string part_data_with(const std::string &content_type, const std::string &boundary) {
  const std::string body = "--" + boundary + "\r\n\r\nabc\r\n--" + boundary + "--\r\n";
  mp_test::Outcome outcome = parse(content_type, body, whole());
  if (outcome.status != BRINDLE_OK || outcome.recorder.parts.size() != 1) {
    return "failed: " + outcome.message;
  }
  return outcome.recorder.parts[0].data;
}

struct OpenResult {
  bool opened;
  int code;
  std::string message;
};

OpenResult try_open(const char *content_type, const brindle_multipart_options *options = nullptr) {
  brindle_error error;
  error.code = 99;
  brindle_multipart *parser = brindle_multipart_open(content_type, options, &error);
  OpenResult result{parser != nullptr, error.code, error.message};
  brindle_multipart_close(parser);
  return result;
}

TEST(MultipartBoundary, QuotedValueKeepsSpacesAndSemicolons) {
  EXPECT_EQ(part_data_with("multipart/related; boundary=\"a b\"", "a b"), "abc");
  EXPECT_EQ(part_data_with("multipart/related; boundary=\"x;y=z\"; type=t", "x;y=z"), "abc");
}

TEST(MultipartBoundary, KeyIsCaseFoldedAndMayBeSurroundedByBlanks) {
  EXPECT_EQ(part_data_with("multipart/related; BOUNDARY=Xy", "Xy"), "abc");
  EXPECT_EQ(part_data_with("multipart/related;\tBoundary \t=  Xy ; charset=utf-8", "Xy"), "abc");
  // Boundary texts themselves are case sensitive.
  EXPECT_NE(part_data_with("multipart/related; boundary=Xy", "xy"), "abc");
}

TEST(MultipartBoundary, UnquotedValueEndsAtBlankOrSemicolon) {
  EXPECT_EQ(part_data_with("multipart/related; boundary=abc def", "abc"), "abc");
  EXPECT_EQ(part_data_with("multipart/related; boundary=abc;type=x", "abc"), "abc");
}

TEST(MultipartBoundary, OtherParametersAreSkippedAndTheFirstBoundaryWins) {
  EXPECT_EQ(part_data_with("multipart/related; type=\"boundary=fake;\"; boundary=real", "real"),
            "abc");
  EXPECT_EQ(part_data_with("multipart/mixed; flag; boundary=one; boundary=two", "one"), "abc");
  // The media type is not checked.
  EXPECT_EQ(part_data_with("text/plain;boundary=q", "q"), "abc");
  // A key that only ends with "boundary" is another parameter.
  EXPECT_EQ(part_data_with("multipart/x; xboundary=no; boundary=yes", "yes"), "abc");
}

TEST(MultipartBoundary, RejectsMissingEmptyAndUnterminatedBoundaries) {
  OpenResult r = try_open(nullptr);
  EXPECT_FALSE(r.opened);
  EXPECT_EQ(r.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "multipart Content-Type is required");

  for (const char *missing : {"", "multipart/related", "multipart/related; type=a; charset",
                              "multipart/related; boundaryx=1", " ; ;"}) {
    r = try_open(missing);
    EXPECT_FALSE(r.opened) << missing;
    EXPECT_EQ(r.code, BRINDLE_INVALID_ARGUMENT) << missing;
    EXPECT_EQ(r.message, "multipart Content-Type missing boundary") << missing;
  }
  for (const char *empty : {"multipart/related; boundary=", "multipart/related; boundary=\"\"",
                            "multipart/related; boundary= ;x=1"}) {
    r = try_open(empty);
    EXPECT_FALSE(r.opened) << empty;
    EXPECT_EQ(r.code, BRINDLE_INVALID_ARGUMENT) << empty;
    EXPECT_EQ(r.message, "multipart boundary is invalid") << empty;
  }
  for (const char *open_quote :
       {"multipart/related; boundary=\"abc", "multipart/related; type=\"x; boundary=abc"}) {
    r = try_open(open_quote);
    EXPECT_FALSE(r.opened) << open_quote;
    EXPECT_EQ(r.code, BRINDLE_INVALID_ARGUMENT) << open_quote;
    EXPECT_EQ(r.message, "multipart boundary quote is unterminated") << open_quote;
  }
}

TEST(MultipartBoundary, LengthLimitIsInclusive) {
  const std::string at_limit(200, 'b');
  EXPECT_EQ(part_data_with("multipart/related; boundary=" + at_limit, at_limit), "abc");
  const std::string over = "multipart/related; boundary=" + std::string(201, 'b');
  OpenResult r = try_open(over.c_str());
  EXPECT_FALSE(r.opened);
  EXPECT_EQ(r.code, BRINDLE_OVERFLOW);
  EXPECT_EQ(r.message, "multipart boundary length limit exceeded");

  brindle_multipart_options options = brindle_default_multipart_options();
  options.max_boundary_bytes = 4;
  EXPECT_TRUE(try_open("multipart/related; boundary=abcd", &options).opened);
  r = try_open("multipart/related; boundary=abcde", &options);
  EXPECT_EQ(r.code, BRINDLE_OVERFLOW);
}

TEST(MultipartOptions, DefaultsAndZeroFields) {
  const brindle_multipart_options defaults = brindle_default_multipart_options();
  EXPECT_EQ(defaults.max_boundary_bytes, 200u);
  EXPECT_EQ(defaults.max_line_bytes, 65536u);
  EXPECT_EQ(defaults.max_headers, 64u);
  EXPECT_EQ(defaults.max_buffered_bytes, 1048576u);
  EXPECT_EQ(defaults.allocator, nullptr);

  // Zero fields take their defaults one by one: here only the header limit is set.
  brindle_multipart_options options{};
  options.max_headers = 1;
  std::string body = "--b\r\nA: 1\r\n\r\nx\r\n--b--\r\n";
  EXPECT_EQ(parse("multipart/related; boundary=b", body, whole(), &options).status, BRINDLE_OK);
  body = "--b\r\nA: 1\r\nB: 2\r\n\r\nx\r\n--b--\r\n";
  mp_test::Outcome outcome = parse("multipart/related; boundary=b", body, whole(), &options);
  EXPECT_EQ(outcome.status, BRINDLE_OVERFLOW);
  EXPECT_EQ(outcome.message, "multipart header count limit exceeded");
  // A 200-byte boundary (the default limit) is still accepted.
  const std::string long_boundary(200, 'q');
  EXPECT_TRUE(try_open(("multipart/related; boundary=" + long_boundary).c_str(), &options).opened);
}

TEST(MultipartOptions, OpenClearsTheErrorRecordAndCloseAcceptsNull) {
  brindle_error error;
  error.code = BRINDLE_IO_ERROR;
  snprintf(error.message, sizeof(error.message), "stale");
  brindle_multipart *parser =
      brindle_multipart_open("multipart/related; boundary=b", nullptr, &error);
  ASSERT_NE(parser, nullptr);
  EXPECT_EQ(error.code, BRINDLE_OK);
  EXPECT_STREQ(error.message, "");
  brindle_multipart_close(parser);
  brindle_multipart_close(nullptr);
  // A null error record is allowed everywhere.
  EXPECT_EQ(brindle_multipart_open(nullptr, nullptr, nullptr), nullptr);
}

TEST(MultipartAllocator, PartialAllocatorIsRejected) {
  stavo_test::TestAllocator test_allocator;
  brindle_allocator partial = *test_allocator.get();
  partial.realloc = nullptr;
  brindle_multipart_options options = brindle_default_multipart_options();
  options.allocator = &partial;
  OpenResult r = try_open("multipart/related; boundary=b", &options);
  EXPECT_FALSE(r.opened);
  EXPECT_EQ(r.code, BRINDLE_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "allocator must provide either all callbacks or none");
  EXPECT_EQ(test_allocator.calls(), 0u);
}

TEST(MultipartAllocator, StatisticsOnlyRecordUsesTheSystemAllocator) {
  brindle_alloc_stats stats{};
  brindle_allocator counting{};
  counting.stats = &stats;
  brindle_multipart_options options = brindle_default_multipart_options();
  options.allocator = &counting;
  mp_test::Outcome outcome = parse("multipart/related; boundary=b",
                                   "--b\r\nName: v\r\n\r\nxyz\r\n--b--\r\n", whole(), &options);
  EXPECT_EQ(outcome.status, BRINDLE_OK);
  EXPECT_GT(stats.allocations, 0u);
  EXPECT_EQ(stats.allocations, stats.frees);
  EXPECT_EQ(stats.current_bytes, 0u);
}

TEST(MultipartAllocator, EveryAllocationFailureIsReportedAndLeaksNothing) {
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"meta\"\r\nContent-Type: a/b\r\n"
      "X: 1\r\nX: 2\r\nX: 3\r\nX: 4\r\nX: 5\r\nX: 6\r\nX: 7\r\nX: 8\r\nX: 9\r\n\r\n"
      "first\r\n--b\r\nContent-Length: 2\r\n\r\nzz\r\n--b\r\n\r\n" +
      std::string(300, 'p') + "\r\n--b--\r\n";
  bool succeeded = false;
  for (uint64_t nth = 1; nth < 200 && !succeeded; ++nth) {
    stavo_test::TestAllocator test_allocator;
    brindle_multipart_options options = brindle_default_multipart_options();
    options.allocator = test_allocator.get();
    test_allocator.fail_from(nth);
    mp_test::Outcome outcome =
        parse("multipart/related; boundary=b", body, mp_test::bytewise(), &options);
    if (outcome.status == BRINDLE_OK) {
      succeeded = true;
      ASSERT_EQ(outcome.recorder.parts.size(), 3u);
      EXPECT_EQ(outcome.recorder.parts[2].data, std::string(300, 'p'));
    } else {
      EXPECT_EQ(outcome.status, BRINDLE_ALLOCATION_FAILED) << nth << " " << outcome.message;
      EXPECT_TRUE(outcome.message == "failed to allocate multipart parser" ||
                  outcome.message == "failed to allocate framing buffer" ||
                  outcome.message == "failed to allocate headers" ||
                  outcome.message == "failed to allocate string")
          << outcome.message;
    }
    EXPECT_EQ(test_allocator.live_blocks(), 0) << nth;
    EXPECT_EQ(test_allocator.stats().current_bytes, 0u) << nth;
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
