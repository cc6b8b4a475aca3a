// Bodies written out by hand byte for byte as an HTTP server streams a multipart/related
// response: a meta part (JSON) and a payload part (bytes) per message.
#include <gtest/gtest.h>

#include <string>

#include "multipart_recorder.h"

namespace {

const std::string kBoundary = "5e0c1b9d3f7a48e2a6c4b8d0f2e4a6c8b0d2f4e6a8c0b2d4f6e8a0c2b4d6";

// Binary payload bytes with line breaks, dashes, the boundary text, a NUL and a high byte.
std::string binary_payload() {
  std::string payload = "line 1\r\nline 2\n--not a delimiter\r\n--" + kBoundary + "x\r\n";
  payload += '\0';
  payload += '\xff';
  return payload;
}

// Every part starts with "--boundary" and its header lines, an empty line and the body; the
// line break before the next delimiter belongs to the framing; the stream ends with the
// closing delimiter and a line break.
std::string server_body(const std::string &eol) {
  const std::string d = "--" + kBoundary;
  std::string body;
  body += d + eol;
  body += "Content-Disposition: form-data; name=\"meta\"" + eol;
  body += "Content-Type: application/json" + eol;
  body += eol;
  body += "{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"m-1\",\"attempts\":1}";
  body += eol + d + eol;
  body += "Content-Disposition: form-data; name=\"payload\"" + eol;
  body += "Content-Length: 11" + eol;
  body += "Content-Type: text/plain" + eol;
  body += eol;
  body += "hello world";
  body += eol + d + eol;
  body += "Content-Disposition: form-data; name=\"meta\"" + eol;
  body += "Content-Type: application/json" + eol;
  body += eol;
  body += "{\"message_id\":\"m-2\"}";
  body += eol + d + eol;
  body += "Content-Disposition: form-data; name=\"payload\"" + eol;
  body += "Content-Type: application/octet-stream" + eol;
  body += eol;
  body += binary_payload();
  body += eol + d + "--" + eol;
  return body;
}

void expect_server_parts(const mp_test::Outcome &outcome) {
  ASSERT_EQ(outcome.status, BRINDLE_OK) << outcome.message;
  const auto &parts = outcome.recorder.parts;
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(outcome.recorder.events, "BDEBDEBDEBDE");
  EXPECT_EQ(parts[0].name, "meta");
  EXPECT_EQ(parts[0].content_type, "application/json");
  EXPECT_EQ(parts[0].data,
            "{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"m-1\",\"attempts\":1}");
  EXPECT_EQ(parts[1].name, "payload");
  EXPECT_EQ(parts[1].content_length, 11);
  EXPECT_EQ(parts[1].data, "hello world");
  ASSERT_EQ(parts[1].headers.size(), 3u);
  EXPECT_EQ(parts[1].headers[1].first, "Content-Length");
  EXPECT_EQ(parts[2].data, "{\"message_id\":\"m-2\"}");
  EXPECT_EQ(parts[3].content_type, "application/octet-stream");
  EXPECT_EQ(parts[3].content_length, -1);
  EXPECT_EQ(parts[3].data, binary_payload());
  EXPECT_EQ(parts[3].data.size(), 101u);
}

TEST(MultipartInterop, ServerStreamWithCrLfLineBreaks) {
  const std::string type =
      "multipart/related; boundary=" + kBoundary + "; type=\"application/json\"";
  const std::string body = server_body("\r\n");
  expect_server_parts(mp_test::parse(type, body, mp_test::whole()));
  expect_server_parts(mp_test::parse(type, body, mp_test::bytewise()));
  // Network-sized reads that cut anywhere.
  for (size_t size : {7u, 64u, 100u, 333u}) {
    mp_test::Slicer slicer = [size](size_t n) {
      std::vector<size_t> slices;
      for (; n > size; n -= size)
        slices.push_back(size);
      slices.push_back(n);
      return slices;
    };
    expect_server_parts(mp_test::parse(type, body, slicer));
  }
}

TEST(MultipartInterop, ServerStreamWithLfLineBreaks) {
  const std::string type = "Multipart/Related;boundary=\"" + kBoundary + "\"";
  const std::string body = server_body("\n");
  expect_server_parts(mp_test::parse(type, body, mp_test::whole()));
  expect_server_parts(mp_test::parse(type, body, mp_test::bytewise()));
}

}  // namespace
