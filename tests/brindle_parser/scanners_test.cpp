// The feeder's bulk scanners against a byte-by-byte reference: every run length, every position
// of the stopping byte in and across 16-byte blocks, and runs cut by the end of the chunk.
#include <gtest/gtest.h>

#include <string>

#include "json/core/parser_scan.h"

namespace {

const unsigned char *bytes_of(const std::string &text) {
  return reinterpret_cast<const unsigned char *>(text.data());
}

TEST(Scanners, DigitRunsOfEveryLengthStopAtTheFirstOtherByte) {
  for (size_t run = 0; run <= 40; ++run) {
    for (const char stop : {'.', 'e', ',', ']', '/', ':', '\0'}) {
      std::string text(run, '0');
      for (size_t i = 0; i < run; ++i)
        text[i] = static_cast<char>('0' + (i * 7) % 10);
      text += stop;
      text += "123456789012345678901234567890";
      const unsigned char *begin = bytes_of(text);
      const unsigned char *end = begin + text.size();
      EXPECT_EQ(brindle__skip_digits(begin, end) - begin, static_cast<ptrdiff_t>(run))
          << run << " digits then '" << stop << "'";
      // The chunk ends inside the run or right after it: the scan stops at the end.
      for (size_t cut = 0; cut <= run; ++cut) {
        EXPECT_EQ(brindle__skip_digits(begin, begin + cut), begin + cut) << run << " cut " << cut;
      }
    }
  }
}

TEST(Scanners, PlainRunsStopAtQuoteBackslashAndControlBytesAtEveryPosition) {
  for (const unsigned char special : {'"', '\\', '\0', '\n', '\x1f'}) {
    for (size_t position = 0; position < 40; ++position) {
      std::string text(48, 'a');
      for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(i % 2 == 0 ? 'a' : 0xC3);  // bytes of 0x80 and above pass
      text[position] = static_cast<char>(special);
      const unsigned char *begin = bytes_of(text);
      EXPECT_EQ(brindle__find_escape(begin, begin + text.size()) - begin,
                static_cast<ptrdiff_t>(position))
          << "byte " << int{special} << " at " << position;
      EXPECT_EQ(brindle__find_escape(begin, begin + position), begin + position);
    }
  }
  const std::string plain(37, ' ');
  EXPECT_EQ(brindle__find_escape(bytes_of(plain), bytes_of(plain) + plain.size()),
            bytes_of(plain) + plain.size());
}

TEST(Scanners, NumberTokensEndAndStateMatchTheGrammar) {
  struct Case {
    const char *text;  // the token, then a delimiter
    size_t length;
    bool accepted;
  };
  const Case cases[] = {
      {"0,", 1, true},
      {"-0]", 2, true},
      {"7 ", 1, true},
      {"123456789012345678901234567890,", 30, true},
      {"-65.613616999999977,", 19, true},
      {"1.5e+300}", 8, true},
      {"2E-7,", 4, true},
      {"01,", 2, false},
      {"1.,", 2, false},
      {"-,", 1, false},
      {"1e,", 2, false},
      {"1-2,", 3, false},
      {"1.2.3,", 5, false},
      {"--1,", 3, false},
  };
  for (const Case &c : cases) {
    const std::string text = c.text;
    const unsigned char *begin = bytes_of(text);
    uint8_t state = brindle__number_next[BRINDLE__NUM_START][brindle__number_class[begin[0]]];
    const unsigned char *q = brindle__scan_number(begin + 1, begin + text.size(), &state);
    EXPECT_EQ(q - begin, static_cast<ptrdiff_t>(c.length)) << text;
    EXPECT_EQ(brindle__number_accepting(state), c.accepted) << text;
  }
}

}  // namespace
