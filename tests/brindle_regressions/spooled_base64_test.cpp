// Inputs found by the fuzz targets: base64 text of a spooled member that fails part way.
#include <gtest/gtest.h>

#include <string>

#include "brindle.h"

namespace {

struct Blob {
  int64_t i;
  brindle_spooled data;
};
const brindle_field kBlobFields[] = {
    BRINDLE_DECL_I64(Blob, i, "i", 0),
    BRINDLE_DECL_SPOOLED(Blob, data, "sb", BRINDLE_FIELD_SPOOLED_BYTES, 0, nullptr),
};
const brindle_map kBlobMap = BRINDLE_MAP("blob", Blob, kBlobFields);

struct OneByte {
  std::string text;
  size_t pos = 0;
  static brindle_read_result read(void *user, char *buffer, size_t) {
    auto *self = static_cast<OneByte *>(user);
    brindle_read_result result = brindle_default_read_result();
    if (self->pos < self->text.size()) buffer[result.bytes++] = self->text[self->pos++];
    result.eof = self->pos == self->text.size() ? 1 : 0;
    return result;
  }
};

std::string content(brindle_spooled *spooled) {
  std::string out;
  brindle_spooled_write_to_sink(
      spooled,
      [](void *user, const char *bytes, size_t length, brindle_error *) {
        static_cast<std::string *>(user)->append(bytes, length);
        return BRINDLE_OK;
      },
      &out, nullptr);
  return out;
}

struct Parsed {
  brindle_status status;
  brindle_error error;
  std::string data;
};

Parsed parse(const std::string &text, bool one_byte) {
  Blob blob{};
  brindle_init(&kBlobMap, &blob);
  Parsed out{};
  brindle_error_init(&out.error);
  if (one_byte) {
    OneByte reader{text};
    out.status =
        brindle_parse_reader(&kBlobMap, &blob, OneByte::read, &reader, nullptr, &out.error);
  } else {
    out.status =
        brindle_parse_buffer(&kBlobMap, &blob, text.data(), text.size(), nullptr, &out.error);
  }
  out.data = content(&blob.data);
  brindle_cleanup(&kBlobMap, &blob);
  return out;
}

// The quartets decoded before a bad base64 byte used to be dropped when the string arrived in
// one piece but kept when it arrived byte by byte.
TEST(SpooledBase64, QuartetsBeforeABadByteAreKeptInEveryChunking) {
  const std::string cases[] = {
      std::string("{\"i\":1,\"sb\":\"aGVs:bG8=\"}"),  // bad character
      std::string("{\"sb\":\"aGVsbG8=x\"}"),          // data after padding
      std::string("{\"sb\":\"aGVs=Gx=\"}"),           // padding in the first half
      std::string("{\"sb\":\"aGVsbG8\\u0001\"}"),     // an escape that decodes to a bad byte
  };
  const char *expected[] = {"hel", "hello", "hel", "hel"};
  for (size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(cases[k]);
    const Parsed whole = parse(cases[k], false);
    const Parsed sliced = parse(cases[k], true);
    EXPECT_EQ(whole.status, BRINDLE_INVALID_JSON);
    EXPECT_EQ(sliced.status, whole.status);
    EXPECT_STREQ(sliced.error.message, whole.error.message);
    EXPECT_EQ(sliced.error.offset, whole.error.offset);
    EXPECT_EQ(whole.data, expected[k]);
    EXPECT_EQ(sliced.data, expected[k]);
  }
}

// The same failure inside the fuzz input that found it (record of every kind, cut short).
TEST(SpooledBase64, FailureAfterCompleteQuartetsKeepsThem) {
  const Parsed whole = parse("{\"sb\":\"aGVsbG8\xff\",\"i\":2}", false);
  EXPECT_EQ(whole.status, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(whole.error.message, "invalid base64 character in streamed field");
  EXPECT_EQ(whole.error.offset, 15u);
  EXPECT_EQ(whole.data, "hel");
}

}  // namespace
