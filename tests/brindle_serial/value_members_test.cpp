// Spooled, source and raw JSON value members on output: streamed as escaped text or base64,
// re-emitted JSON, their failures, and the same bytes from every form and the generator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "serial_support.h"

namespace {

using namespace serial_test;

struct Members {
  brindle_spooled text_spool;
  brindle_spooled bytes_spool;
  brindle_source text_source;
  brindle_source bytes_source;
  brindle_json_value json;
};

const brindle_spool_options kTinySpool = {4, 0, nullptr};

const brindle_field kMemberFields[] = {
    BRINDLE_DECL_SPOOLED(Members, text_spool, "ts", BRINDLE_FIELD_SPOOLED_TEXT, 0, &kTinySpool),
    BRINDLE_DECL_SPOOLED(Members, bytes_spool, "bs", BRINDLE_FIELD_SPOOLED_BYTES, 0, &kTinySpool),
    BRINDLE_DECL_SOURCE(Members, text_source, "tx", BRINDLE_FIELD_SOURCE_TEXT, 0),
    BRINDLE_DECL_SOURCE(Members, bytes_source, "bx", BRINDLE_FIELD_SOURCE_BYTES, 0),
    BRINDLE_DECL_JSON_VALUE(Members, json, "j", 0),
};
const brindle_map kMembersMap = BRINDLE_MAP("members", Members, kMemberFields);

// Members set up by their own functions (the record functions are not needed for this).
struct MembersRecord {
  Members m;
  MembersRecord() {
    brindle_spooled_init(&m.text_spool, &kTinySpool);
    brindle_spooled_init(&m.bytes_spool, &kTinySpool);
    brindle_source_init(&m.text_source);
    brindle_source_init(&m.bytes_source);
    brindle_json_value_init(&m.json);
  }
  ~MembersRecord() {
    brindle_spooled_cleanup(&m.text_spool);
    brindle_spooled_cleanup(&m.bytes_spool);
    brindle_source_cleanup(&m.text_source);
    brindle_source_cleanup(&m.bytes_source);
    brindle_json_value_cleanup(&m.json);
  }
  MembersRecord(const MembersRecord &) = delete;
  MembersRecord &operator=(const MembersRecord &) = delete;
};

std::string base64(const std::string &bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t g = (uint32_t(uint8_t(bytes[i])) << 16) |
                       (uint32_t(uint8_t(bytes[i + 1])) << 8) | uint8_t(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6)
      out += alphabet[(g >> s) & 63];
  }
  if (bytes.size() - i == 1) {
    const uint32_t g = uint32_t(uint8_t(bytes[i])) << 16;
    out += alphabet[(g >> 18) & 63];
    out += alphabet[(g >> 12) & 63];
    out += "==";
  } else if (bytes.size() - i == 2) {
    const uint32_t g = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
    out += alphabet[(g >> 18) & 63];
    out += alphabet[(g >> 12) & 63];
    out += alphabet[(g >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string escaped(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    char sequence[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\b') {
      out += "\\b";
    } else if (c == '\f') {
      out += "\\f";
    } else if (c < 0x20) {
      std::snprintf(sequence, sizeof(sequence), "\\u%04x", c);
      out += sequence;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string temp_path(const std::string &name) {
  return std::string(::testing::TempDir()) + "brindle-members-" + std::to_string(getpid()) + "-" +
         name;
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char &c : bytes)
    c = static_cast<char>(random());
  return bytes;
}

TEST(ValueMembers, KindNoneWritesNullAndEmptySpoolsEmptyStrings) {
  MembersRecord record;
  EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false),
            "{\"ts\":\"\",\"bs\":\"\",\"tx\":null,\"bx\":null,\"j\":null}");
  expect_all_forms_agree(&kMembersMap, &record.m, true);
}

TEST(ValueMembers, SpooledTextAndBytesAcrossTheSpillBoundary) {
  for (size_t n = 0; n <= 11; ++n) {
    MembersRecord record;
    const std::string text = std::string("a\"\\\n\x01\x7f\xc3\xa9zyxwv").substr(0, n);
    const std::string bytes = random_bytes(n, static_cast<unsigned>(n));
    ASSERT_EQ(brindle_spooled_append(&record.m.text_spool, text.data(), text.size(), nullptr),
              BRINDLE_OK);
    ASSERT_EQ(brindle_spooled_append(&record.m.bytes_spool, bytes.data(), bytes.size(), nullptr),
              BRINDLE_OK);
    EXPECT_EQ(brindle_spooled_spilled(&record.m.text_spool), n > 4 ? 1 : 0);
    const std::string expected = "{\"ts\":\"" + escaped(text) + "\",\"bs\":\"" + base64(bytes) +
                                 "\",\"tx\":null,\"bx\":null,\"j\":null}";
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected) << n;
    expect_all_forms_agree(&kMembersMap, &record.m, true);
    // Serializing again reads the spool from its start again.
    EXPECT_EQ(via_sink(&kMembersMap, &record.m, false), expected);
  }
}

TEST(ValueMembers, SourcesFromPathFileAndDescriptorAcrossBlocks) {
  // 10001 bytes: several 4096-byte blocks, a base64 group split between blocks, escapes.
  std::string text = random_bytes(10001, 7);
  const std::string path = temp_path("source.bin");
  write_file(path, text);
  const std::string expected_prefix = "{\"ts\":\"\",\"bs\":\"\",\"tx\":\"" + escaped(text) +
                                      "\",\"bx\":\"" + base64(text) + "\",\"j\":null}";
  {
    MembersRecord record;
    ASSERT_EQ(brindle_source_set_path(&record.m.text_source, path.c_str(), nullptr), BRINDLE_OK);
    ASSERT_EQ(brindle_source_set_path(&record.m.bytes_source, path.c_str(), nullptr), BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected_prefix);
    expect_all_forms_agree(&kMembersMap, &record.m, true);
  }
  {
    MembersRecord record;
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 100, SEEK_SET);  // rewound before every use
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(brindle_source_set_file(&record.m.text_source, file, nullptr), BRINDLE_OK);
    ASSERT_EQ(brindle_source_set_fd(&record.m.bytes_source, fd, nullptr), BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected_prefix);
    std::fclose(file);
    close(fd);
  }
  std::remove(path.c_str());
}

TEST(ValueMembers, NonSeekableSourcesFailToSerializeButGenerateOnce) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  ASSERT_EQ(write(pipe_fds[1], "abc", 3), 3);
  close(pipe_fds[1]);
  MembersRecord record;
  ASSERT_EQ(brindle_source_set_fd(&record.m.text_source, pipe_fds[0], nullptr), BRINDLE_OK);
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  via_sink(&kMembersMap, &record.m, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_IO_ERROR);
  EXPECT_STREQ(error.message, "failed to rewind source fd; non-seekable sources are unsupported");
  EXPECT_EQ(error.system_errno, ESPIPE);
  // The generator is a one-pass reader: it streams the pipe as it stands, once (this is what a
  // chunked upload of a body that cannot be measured relies on).
  const std::string generated = via_generator(&kMembersMap, &record.m, false, 5, &status, &error);
  EXPECT_EQ(status, BRINDLE_OK) << error.message;
  EXPECT_NE(generated.find("\"abc\""), std::string::npos) << generated;
  EXPECT_EQ(via_generator(&kMembersMap, &record.m, false, 5, &status, &error).find("abc"),
            std::string::npos)
      << "a pipe can be generated once";
  size_t length = 0;
  EXPECT_EQ(brindle_generator_measure(&kMembersMap, &record.m, nullptr, &length, &error),
            BRINDLE_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "cannot measure non-rewindable JSON document");
  close(pipe_fds[0]);

  const std::string missing = temp_path("missing.bin");
  ASSERT_EQ(brindle_source_set_path(&record.m.text_source, missing.c_str(), nullptr), BRINDLE_OK);
  via_sink(&kMembersMap, &record.m, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_IO_ERROR);
  EXPECT_EQ(std::string(error.message), "failed to open source path '" + missing + "'");
  EXPECT_EQ(error.system_errno, ENOENT);
}

struct PieceReader {
  std::string text;
  size_t position = 0;
  size_t piece = 1;
};

brindle_read_result read_pieces(void *user, char *buffer, size_t capacity) {
  auto *reader = static_cast<PieceReader *>(user);
  brindle_read_result result{};
  size_t n = std::min({capacity, reader->piece, reader->text.size() - reader->position});
  std::memcpy(buffer, reader->text.data() + reader->position, n);
  reader->position += n;
  result.bytes = n;
  result.eof = reader->position == reader->text.size() ? 1 : 0;
  return result;
}

const char kMessyJson[] =
    " {\"a\" : [1, -2.5e+3, true, false, null, {}, []],\n\t\"s\\u00e9\" : \"x\\/y\\u0001\\ud83d"
    "\\ude00\\\"\\\\\\n\", \"o\": {\"deep\": [[{\"k\": 0}]]}, \"e\": \"\"} \n";
const char kMessyCompact[] =
    "{\"a\":[1,-2.5e+3,true,false,null,{},[]],\"s\xc3\xa9\":\"x/y\\u0001\xf0\x9f\x98\x80\\\"\\\\"
    "\\n\",\"o\":{\"deep\":[[{\"k\":0}]]},\"e\":\"\"}";

TEST(ValueMembers, JsonValuesFromEveryKindOfContentAgree) {
  const std::string path = temp_path("value.json");
  write_file(path, kMessyJson);
  const std::string expected =
      std::string("{\"ts\":\"\",\"bs\":\"\",\"tx\":null,\"bx\":null,\"j\":") + kMessyCompact + "}";
  std::string pretty_text;
  {
    MembersRecord record;
    ASSERT_EQ(
        brindle_json_value_set_buffer(&record.m.json, kMessyJson, sizeof(kMessyJson) - 1, nullptr),
        BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected);
    pretty_text = expect_all_forms_agree(&kMembersMap, &record.m, true);
  }
  // The pretty value continues the record's indentation.
  EXPECT_NE(pretty_text.find("\n  \"j\": {\n    \"a\": [\n      1,\n"), std::string::npos);
  EXPECT_NE(pretty_text.find("\n      {},\n      []\n    ],\n"), std::string::npos);
  EXPECT_NE(pretty_text.find("\n        [\n          {\n            \"k\": 0\n"),
            std::string::npos);
  {
    MembersRecord record;
    ASSERT_EQ(brindle_json_value_set_path(&record.m.json, path.c_str(), nullptr), BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, true), pretty_text);
  }
  {
    MembersRecord record;
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(brindle_json_value_set_file(&record.m.json, file, nullptr), BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, true), pretty_text);
    std::fclose(file);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(brindle_json_value_set_fd(&record.m.json, fd, nullptr), BRINDLE_OK);
    EXPECT_EQ(expect_all_forms_agree(&kMembersMap, &record.m, false), expected);
    close(fd);
  }
  // A reader can be read once: by the serializer, or by the generator, in tiny pieces.
  for (bool pretty : {false, true}) {
    for (size_t size : kReadSizes) {
      MembersRecord record;
      PieceReader reader{kMessyJson, 0, 3};
      ASSERT_EQ(brindle_json_value_set_reader(&record.m.json, read_pieces, &reader, nullptr),
                BRINDLE_OK);
      brindle_status status = BRINDLE_OK;
      brindle_error error;
      EXPECT_EQ(via_generator(&kMembersMap, &record.m, pretty, size, &status, &error),
                pretty ? pretty_text : expected)
          << error.message;
      size_t length = 0;
      EXPECT_EQ(brindle_generator_measure(&kMembersMap, &record.m, nullptr, &length, &error),
                BRINDLE_INVALID_ARGUMENT);
    }
  }
  std::remove(path.c_str());
}

TEST(ValueMembers, JsonValueWithTwoValuesFailsInBothWriters) {
  const std::string path = temp_path("two.json");
  write_file(path, "1 2");
  MembersRecord record;
  ASSERT_EQ(brindle_json_value_set_path(&record.m.json, path.c_str(), nullptr), BRINDLE_OK);
  brindle_status status = BRINDLE_OK;
  brindle_error error;
  via_sink(&kMembersMap, &record.m, false, &status, &error);
  EXPECT_EQ(status, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(error.message, "embedded JSON must contain exactly one value");
  for (size_t size : kReadSizes) {
    via_generator(&kMembersMap, &record.m, false, size, &status, &error);
    EXPECT_EQ(status, BRINDLE_INVALID_JSON);
    EXPECT_STREQ(error.message, "JSON value must contain exactly one value");
  }
  std::remove(path.c_str());
}

// JSON values inside object array elements are indented at the element's depth.
struct Holder {
  brindle_json_value value;
};
struct Outer {
  brindle_object_array list;
};

TEST(ValueMembers, JsonValuesInsideObjectArrays) {
  static const brindle_field holder_fields[] = {BRINDLE_DECL_JSON_VALUE(Holder, value, "v", 0)};
  static const brindle_map holder_map = BRINDLE_MAP("holder", Holder, holder_fields);
  static const brindle_field outer_fields[] = {
      BRINDLE_DECL_OBJECT_ARRAY(Outer, list, "list", 0, &holder_map, Holder)};
  static const brindle_map outer_map = BRINDLE_MAP("outer", Outer, outer_fields);
  Holder holders[2];
  for (Holder &holder : holders)
    brindle_json_value_init(&holder.value);
  ASSERT_EQ(brindle_json_value_set_buffer(&holders[0].value, "{\"a\":[1]}", 9, nullptr),
            BRINDLE_OK);
  ASSERT_EQ(brindle_json_value_set_buffer(&holders[1].value, "\"x\"", 3, nullptr), BRINDLE_OK);
  Outer outer{};
  outer.list.items = holders;
  outer.list.count = 2;
  outer.list.element_size = sizeof(Holder);
  EXPECT_EQ(expect_all_forms_agree(&outer_map, &outer, true),
            "{\n  \"list\": [\n    {\n      \"v\": {\n        \"a\": [\n          1\n        ]\n"
            "      }\n    },\n    {\n      \"v\": \"x\"\n    }\n  ]\n}");
  for (Holder &holder : holders)
    brindle_json_value_cleanup(&holder.value);
}

}  // namespace
