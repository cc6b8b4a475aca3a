// File-backed values: text checked as UTF-8 while it streams, base64 for bytes, the file: form
// that picks one of the two, the caller's opener, and the failures of each.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mutate_test_support.h"

namespace {

using mutate_test::apply;
using mutate_test::Outcome;

class FileValues : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/stavo-mutate-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    options_.file_value_base_dir = dir_.c_str();
  }
  void TearDown() override {
    for (const auto &name : files_)
      std::remove((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  void write_file(const std::string &name, const std::string &bytes) {
    FILE *file = std::fopen((dir_ + "/" + name).c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    files_.push_back(name);
  }
  Outcome run(const std::string &expression, const std::string &document = "{}") {
    return apply(document, {expression}, &options_);
  }
  std::string dir_;
  std::vector<std::string> files_;
  sv_mutation_parse_options options_{};
};

TEST_F(FileValues, TextAndBase64Forms) {
  write_file("text.txt", "line \"one\"\n\ttab\\ \xc3\xa9\xf0\x9f\x98\x80");
  write_file("nul.bin", std::string("a\0b", 3));
  write_file("empty.txt", "");
  const std::string text = "\"line \\\"one\\\"\\n\\ttab\\\\ \xc3\xa9\xf0\x9f\x98\x80\"";
  Outcome outcome = run("textfile:/t=text.txt", R"({"t":[1,2],"u":0})");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message << " " << outcome.detail;
  EXPECT_EQ(outcome.output, "{\"t\":" + text + ",\"u\":0}");
  outcome = run("file:/t=text.txt");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, "{\"t\":" + text + "}");
  // "a\0b" is no text: file: falls back to base64, textfile: refuses it.
  outcome = run("file:/t=nul.bin");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, R"({"t":"YQBi"})");
  outcome = run("textfile:/t=nul.bin");
  EXPECT_EQ(outcome.status, SV_ERR_INVALID);
  EXPECT_EQ(outcome.message, "invalid UTF-8 in textfile mutation");
  outcome = run("base64file:/t/u='text.txt'");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, R"({"t":{"u":"bGluZSAib25lIgoJdGFiXCDDqfCfmIA="}})");
  outcome = run("file:/e=" + dir_ + "/empty.txt");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, R"({"e":""})");
}

TEST_F(FileValues, InvalidUtf8IsRecognised) {
  struct Case {
    const char *name;
    std::string bytes;
  };
  const Case invalid[] = {
      {"lone-continuation", "a\x80"},  {"bad-lead", "\xff"},
      {"c0-overlong", "\xc0\xaf"},     {"e0-overlong", "\xe0\x80\xaf"},
      {"surrogate", "\xed\xa0\x80"},   {"above-max", "\xf4\x90\x80\x80"},
      {"cut-at-end", "ok\xe2\x82"},    {"bad-continuation", "\xe2\x28\xa1"},
      {"f5-lead", "\xf5\x80\x80\x80"},
  };
  for (const Case &c : invalid) {
    write_file(c.name, c.bytes);
    Outcome outcome = run(std::string("textfile:/t=") + c.name);
    EXPECT_EQ(outcome.status, SV_ERR_INVALID) << c.name;
    EXPECT_EQ(outcome.message, "invalid UTF-8 in textfile mutation") << c.name;
    outcome = run(std::string("file:/t=") + c.name);
    ASSERT_EQ(outcome.status, SV_OK) << c.name << ": " << outcome.message;
    EXPECT_EQ(outcome.output.substr(0, 6), "{\"t\":\"") << c.name;
    EXPECT_EQ(outcome.output.find('\\'), std::string::npos) << c.name;  // base64, not text
  }
  // The largest code point and a sequence split across the 64 KiB read boundary are text.
  std::string large(65535, 'x');
  large += "\xe2\x82\xac\xf4\x8f\xbf\xbf";
  write_file("large.txt", large);
  const Outcome outcome = run("textfile:/t=large.txt");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, "{\"t\":\"" + large + "\"}");
}

struct OpenerLog {
  std::vector<std::string> paths;
  std::string content;
  bool fail = false;
};

int memory_opener(void *context, const char *path, sv_source **out, sv_error *error) {
  auto *log = static_cast<OpenerLog *>(context);
  log->paths.emplace_back(path);
  if (log->fail) {
    return sv_error_set(error, SV_ERR_TRANSPORT, 0, "opener refused", path, nullptr, nullptr);
  }
  return sv_source_from_memory(log->content.data(), log->content.size(), out, error);
}

TEST_F(FileValues, OpenerSuppliesTheBytes) {
  OpenerLog log;
  log.content = std::string("\x01\x02\xfe", 3);
  const sv_mutation_file_opener opener{memory_opener, &log};
  options_.file_opener = &opener;
  // No file exists: every byte comes through the opener, base64file: included.
  Outcome outcome = run("base64file:/b=virtual");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, R"({"b":"AQL+"})");
  log.content = "plain";
  outcome = run("file:/b=~/virtual");
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(outcome.output, R"({"b":"plain"})");
  ASSERT_EQ(log.paths.size(), 2u);
  EXPECT_EQ(log.paths[0], dir_ + "/virtual");
  log.fail = true;
  outcome = run("textfile:/b=x");
  EXPECT_EQ(outcome.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(outcome.message, "opener refused");
}

TEST_F(FileValues, MissingFilesFailWithoutOutput) {
  Outcome outcome = run("textfile:/t=absent.txt", R"({"keep":1})");
  EXPECT_EQ(outcome.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(outcome.message, "failed to open file source");
  outcome = run("base64file:/t=absent.bin");
  EXPECT_EQ(outcome.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(outcome.output, "");
  // A file value at a missing member is streamed into the synthesised chain as well.
  write_file("v.txt", "v");
  outcome = run("file:/a/b/c=v.txt", R"({"a":{"x":1}})");
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(outcome.output, R"({"a":{"x":1,"b":{"c":"v"}}})");
}

}  // namespace
