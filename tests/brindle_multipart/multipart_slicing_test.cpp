// Slicing invariance: a body pushed in any slices delivers the same parts, bytes and results as
// the same body pushed whole. Delimited bodies are also checked against a byte-at-a-time model
// of the delimiter rules, including the buffer limit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "multipart_recorder.h"

namespace {

using mp_test::Outcome;
using mp_test::parse;
using mp_test::summary;

const char *const kType = "multipart/related; boundary=b";

const std::vector<std::string> &small_bodies() {
  static const std::vector<std::string> bodies = {
      "--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--\r\n",
      "--b\r\n\r\nabc\r\n--b--\r\n",
      "\r\n--b\r\nContent-Disposition: form-data; name=\"m\\\"x\"\r\nContent-Type: a/b\r\n\r\n"
      "x\r\n--bb\r\n-\r\n--b-\r\n\r\n\r\n--b\nA: lf\n\nline\r\n--b\r\nContent-Length: 0\r\n\r\n"
      "\r\n--b\r\n\r\n--b--\r\n",
      "--b\n\nlf only\n--b\n\n\n--b--\n",
      "--b\rA: 1\r\rcr\rbody\r\n--b--\r\n",
      "--b\r\n\r\n--b--\rX never decided",
      "--b\r\nContent-Length: 3\r\n\r\nabc\r\n--b--",
      "--b\r\n\r\nabc\r\n--b--",
      "--b\r\n\r\nabc\r\n--b--\r",
      "--b\r\n\r\n--b--",
      "--b\r\n\r\nabc\r\n--b--\r\nepilogue\r\n--b\r\nnot a part\r\n",
      "--b\r\nContent-Length: 1\r\n\r\na\r\n--b--\r\n--b\r\n\r\nx\r\n--b--\r\n",
      "--b\r\nContent-Length: 2x\r\n\r\n",
      "preamble\r\n--b\r\n",
      "--b\r\n\r\nsee --b\r\n mid-line\r\n\r\n--b--\r\n",
  };
  return bodies;
}

TEST(MultipartSlicing, EverySplitPointAndByteAtATime) {
  for (const std::string &body : small_bodies()) {
    const std::string expected = summary(parse(kType, body, mp_test::whole()));
    EXPECT_EQ(summary(parse(kType, body, mp_test::bytewise())), expected) << body;
    for (size_t point = 1; point < body.size(); ++point) {
      ASSERT_EQ(summary(parse(kType, body, mp_test::split_at(point))), expected)
          << body << " split at " << point;
    }
  }
}

TEST(MultipartSlicing, EveryPairOfSplitPoints) {
  // The many-part body, an epilogue that looks like parts, and a closing delimiter without a
  // line break after a part without Content-Length.
  for (const size_t which : {size_t{2}, size_t{7}, size_t{8}, size_t{10}, size_t{11}}) {
    const std::string &body = small_bodies()[which];
    const Outcome whole = parse(kType, body, mp_test::whole());
    if (which != 2) {
      ASSERT_EQ(whole.status, BRINDLE_OK) << body << whole.message;
    }
    const std::string expected = summary(whole);
    for (size_t first = 1; first < body.size(); ++first) {
      for (size_t second = first + 1; second < body.size(); ++second) {
        mp_test::Slicer slicer = [first, second](size_t n) {
          return std::vector<size_t>{first, second - first, n - second};
        };
        ASSERT_EQ(summary(parse(kType, body, slicer)), expected) << first << " " << second;
      }
    }
  }
}

mp_test::Slicer random_slices(uint32_t seed, size_t largest) {
  return [seed, largest](size_t n) {
    std::mt19937 random(seed);
    std::vector<size_t> slices;
    while (n > 0) {
      size_t take = std::uniform_int_distribution<size_t>(0, largest)(random);
      if (take > n) take = n;
      slices.push_back(take);  // zero-length pushes included
      n -= take;
    }
    return slices;
  };
}

TEST(MultipartSlicing, LargeBodyInRandomSlices) {
  // Parts whose content is full of near-delimiters for a boundary that never occurs in them.
  const std::string boundary = "Zq8x7-boundary-31";
  const std::string fragments[] = {"\r\n",
                                   "\n",
                                   "\r",
                                   "-",
                                   "--",
                                   "\r\n--Zq8x7-bound",
                                   "\n--Zq8x7-boundary-31x",
                                   "--Zq8x7-boundary-31--x",
                                   "\r\n--Zq8x7-boundary-31\rX",
                                   "plain text ",
                                   "\r\n--"};
  std::mt19937 random(7);
  std::string body;
  std::vector<std::string> contents;
  for (int part = 0; part < 40; ++part) {
    std::string content;
    const size_t size = std::uniform_int_distribution<size_t>(0, 12000)(random);
    while (content.size() < size) {
      content += fragments[std::uniform_int_distribution<size_t>(0, 10)(random)];
    }
    // A delimited part's content must not end in a line break that would be taken as framing.
    const bool counted = part % 3 == 0;
    if (!counted) {
      while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
      }
      if (content.size() >= 1 && content.back() == '\n') content.pop_back();
    }
    // Nor may a stalled delimiter appear in it.
    for (size_t at; (at = content.find("\n--" + boundary + "\r")) != std::string::npos;) {
      content.erase(at, 1);
    }
    contents.push_back(content);
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"p" +
            std::to_string(part) + "\"\r\n";
    if (counted) body += "Content-Length: " + std::to_string(content.size()) + "\r\n";
    body += "\r\n" + content + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  const std::string type = "multipart/related; boundary=\"" + boundary + "\"";

  const Outcome reference = parse(type, body, mp_test::whole());
  ASSERT_EQ(reference.status, BRINDLE_OK) << reference.message;
  ASSERT_EQ(reference.recorder.parts.size(), contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    ASSERT_EQ(reference.recorder.parts[i].data, contents[i]) << "part " << i;
    EXPECT_EQ(reference.recorder.parts[i].name, "p" + std::to_string(i));
  }
  const std::string expected = summary(reference);
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    EXPECT_EQ(summary(parse(type, body, random_slices(seed, seed * 37))), expected) << seed;
  }
  EXPECT_EQ(summary(parse(type, body, random_slices(99, 4096))), expected);
}

// The delimiter rules one byte at a time over a pending buffer P: what a delimited body
// delivers before its delimiter, and how it ends.
struct Reference {
  std::string data;
  enum End { kOpen, kDelimiter, kClosing, kLimit } end = kOpen;
};

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool complete(const std::string &r, const std::string &x) {
  return starts_with(r, x + "\n") || starts_with(r, x + "\r\n");
}

bool partial(const std::string &r, const std::string &x) {
  if (r.size() <= x.size()) return starts_with(x, r);
  return starts_with(r, x) && (r[x.size()] == '\r' || r[x.size()] == '\n');
}

Reference reference_body(const std::string &body, const std::string &d, size_t limit) {
  const std::string f = d + "--";
  Reference result;
  std::string p;
  bool at_body_start = true;  // nothing delivered or dropped yet
  for (char c : body) {
    if (p.size() + 1 > limit) {
      result.end = Reference::kLimit;
      return result;
    }
    p += c;
    if (at_body_start) {
      if (complete(p, f)) return result.end = Reference::kClosing, result;
      if (complete(p, d)) return result.end = Reference::kDelimiter, result;
      if (partial(p, f) || partial(p, d)) continue;
    }
    bool waiting = false;
    for (size_t k = 0; k + 2 <= p.size(); ++k) {
      if (p[k] != '\n') continue;
      const std::string r = p.substr(k + 1);
      const size_t cut = k > 0 && p[k - 1] == '\r' ? k - 1 : k;
      if (complete(r, f) || complete(r, d)) {
        result.data += p.substr(0, cut);
        result.end = complete(r, f) ? Reference::kClosing : Reference::kDelimiter;
        return result;
      }
      if (partial(r, f) || partial(r, d)) {
        result.data += p.substr(0, cut);
        p.erase(0, cut);
        waiting = true;
        break;
      }
    }
    at_body_start = false;
    if (waiting) continue;
    size_t keep = 0;
    if (p.size() >= 2 && p.compare(p.size() - 2, 2, "\r\n") == 0) {
      keep = 2;
    } else if (p.back() == '\n' || p.back() == '\r') {
      keep = 1;
    }
    result.data += p.substr(0, p.size() - keep);
    p.erase(0, p.size() - keep);
  }
  // The line break after the closing delimiter is optional at the end of the body.
  for (const std::string &lead : {std::string(), std::string("\n"), std::string("\r\n")}) {
    if (lead.empty() != at_body_start) continue;
    if (p == lead + f || p == lead + f + "\r") result.end = Reference::kClosing;
  }
  return result;
}

TEST(MultipartSlicing, DelimitedBodiesMatchTheByteAtATimeRules) {
  const std::string tokens[] = {"x", "b", "-", "--", "--b", "--b--", "\r", "\n", "\r\n", "-\r"};
  std::mt19937 random(2024);
  const size_t limits[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1048576};
  size_t compared = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string body;
    const int count = std::uniform_int_distribution<int>(0, 12)(random);
    for (int i = 0; i < count; ++i) {
      body += tokens[std::uniform_int_distribution<size_t>(0, 9)(random)];
    }
    const size_t limit = limits[static_cast<size_t>(round) % 13];
    const Reference expected = reference_body(body, "--b", limit);
    brindle_multipart_options options = brindle_default_multipart_options();
    options.max_buffered_bytes = limit;
    const std::string stream = "--b\r\n\r\n" + body;
    for (const mp_test::Slicer &slicer :
         {mp_test::whole(), mp_test::bytewise(), random_slices(static_cast<uint32_t>(round), 5)}) {
      const Outcome outcome = parse(kType, stream, slicer, &options);
      const std::string context = "body '" + body + "' limit " + std::to_string(limit);
      ASSERT_FALSE(outcome.recorder.parts.empty()) << context;
      const mp_test::RecordedPart &part = outcome.recorder.parts[0];
      ASSERT_EQ(part.data, expected.data) << context;
      ASSERT_EQ(outcome.recorder.events.find('0'), std::string::npos) << context;
      switch (expected.end) {
        case Reference::kOpen:
          ASSERT_FALSE(part.ended) << context;
          ASSERT_FALSE(outcome.failed_in_push) << context << outcome.message;
          ASSERT_EQ(outcome.message, "multipart stream ended before closing boundary");
          break;
        case Reference::kLimit:
          ASSERT_FALSE(part.ended) << context;
          ASSERT_TRUE(outcome.failed_in_push) << context;
          ASSERT_EQ(outcome.message, "framing buffer limit exceeded") << context;
          break;
        case Reference::kClosing:
          ASSERT_TRUE(part.ended) << context;
          // Whatever follows the closing delimiter, in any slice, is epilogue.
          ASSERT_EQ(outcome.status, BRINDLE_OK) << context << outcome.message;
          ASSERT_EQ(outcome.recorder.parts.size(), 1u);
          break;
        case Reference::kDelimiter:
          ASSERT_TRUE(part.ended) << context;
          break;
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 18000u);
}

}  // namespace
