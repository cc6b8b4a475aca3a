// Inputs found by the fuzz targets: where an object stream goes on after a failed object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brindle.h"

namespace {

struct Item {
  int64_t i;
  brindle_spooled data;
};
const brindle_field kItemFields[] = {
    BRINDLE_DECL_I64(Item, i, "i", 0),
    BRINDLE_DECL_SPOOLED(Item, data, "sb", BRINDLE_FIELD_SPOOLED_BYTES, 0, nullptr),
};
const brindle_map kItemMap = BRINDLE_MAP("item", Item, kItemFields);

struct Input {
  std::string text;
  size_t slice;  // 0: all at once
  size_t pos = 0;
  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    auto *self = static_cast<Input *>(user);
    brindle_read_result result = brindle_default_read_result();
    size_t n = self->text.size() - self->pos;
    if (self->slice != 0 && n > self->slice) n = self->slice;
    if (n > capacity) n = capacity;
    self->text.copy(buffer, n, self->pos);
    self->pos += n;
    result.bytes = n;
    result.eof = self->pos == self->text.size() ? 1 : 0;
    return result;
  }
};

// Every result until the end, with the message and the value of i for objects.
std::vector<std::string> results(const std::string &text, size_t slice) {
  Input input{text, slice};
  brindle_stream *stream =
      brindle_stream_open_reader(&kItemMap, Input::read, &input, nullptr, nullptr);
  std::vector<std::string> out;
  Item item{};
  brindle_init(&kItemMap, &item);
  for (int guard = 0; guard < 32; ++guard) {
    brindle_error error;
    const int result = brindle_stream_next(stream, &item, &error);
    if (result == BRINDLE_STREAM_EOF) break;
    out.push_back(result == BRINDLE_STREAM_OBJECT ? "i=" + std::to_string(item.i)
                                                  : std::string(error.message));
  }
  brindle_cleanup(&kItemMap, &item);
  brindle_stream_close(stream);
  return out;
}

// A failure inside a streamed string used to skip the rest of the string's bytes in the buffer
// (and whole objects after it) when they had arrived together; byte by byte they were read.
TEST(ObjectStreamResume, NextCallStartsRightAfterTheFailingByte) {
  const std::string text = "{\"sb\":\":x}{\"i\":1}";
  const std::vector<std::string> expected = {"invalid base64 character in streamed field",
                                             "expected top-level object",
                                             "expected top-level object", "i=1"};
  EXPECT_EQ(results(text, 0), expected);
  EXPECT_EQ(results(text, 1), expected);
  EXPECT_EQ(results(text, 3), expected);
}

// The minimised fuzz input: the trailing byte is one more failure, then the end.
TEST(ObjectStreamResume, TrailingByteAfterAFailureIsReported) {
  const std::vector<std::string> expected = {"invalid base64 character in streamed field",
                                             "expected top-level object"};
  EXPECT_EQ(results("{\"sb\":\":x", 0), expected);
  EXPECT_EQ(results("{\"sb\":\":x", 1), expected);
}

}  // namespace
