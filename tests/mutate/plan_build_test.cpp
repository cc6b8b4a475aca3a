// Parsing mutation expressions into plans: literal classification and the increment rule,
// prefixes, brace expansion, JSON pointer paths, time literals and the refusals with their
// messages and details.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "mutate_test_support.h"

namespace {

using mutate_test::build;
using mutate_test::only;
using mutate_test::Outcome;
using mutate_test::PlanPtr;
using mutate_test::segments;
using Strings = std::vector<std::string>;

// Builds one expression and expects a failure with message (and detail, when given).
void expect_refused(const std::string &expression, int status, const std::string &message,
                    const char *detail = nullptr,
                    const sv_mutation_parse_options *options = nullptr) {
  Outcome outcome;
  PlanPtr plan = build({expression}, &outcome, options);
  EXPECT_EQ(outcome.status, status) << expression;
  EXPECT_EQ(outcome.message, message) << expression;
  if (detail != nullptr) {
    EXPECT_EQ(outcome.detail, detail) << expression;
  }
}

TEST(PlanLiterals, ValuesAreClassifiedAfterTrimmingAndUnquoting) {
  struct Case {
    const char *expression;
    uint32_t value_kind;
  };
  const Case cases[] = {
      {"/a/b=hello", SV_MUTATION_VALUE_STRING},  {"/a/b='5'", SV_MUTATION_VALUE_INT},
      {"/a/b= 5", SV_MUTATION_VALUE_INT},        {"/a/b=5 ", SV_MUTATION_VALUE_INT},
      {"/a/b=\"true\"", SV_MUTATION_VALUE_BOOL}, {"/a/b=FaLsE", SV_MUTATION_VALUE_BOOL},
      {"/a/b=NULL", SV_MUTATION_VALUE_NULL},     {"/a/b=' 2.5'", SV_MUTATION_VALUE_DOUBLE},
      {"/a/b=1e999", SV_MUTATION_VALUE_STRING},  {"/a/b=' inf'", SV_MUTATION_VALUE_STRING},
      {"/a/b=", SV_MUTATION_VALUE_STRING},       {"/a/b=\"x'", SV_MUTATION_VALUE_STRING},
  };
  for (const Case &c : cases) {
    Outcome outcome;
    PlanPtr plan = build({c.expression}, &outcome);
    ASSERT_EQ(outcome.status, SV_OK) << c.expression << ": " << outcome.message;
    const sv_mutation *m = only(plan);
    EXPECT_EQ(m->kind, static_cast<uint32_t>(SV_MUTATION_SET)) << c.expression;
    EXPECT_EQ(m->value_kind, c.value_kind) << c.expression;
  }
  Outcome outcome;
  PlanPtr plan =
      build({"/a/b='5'", "/a/b=\"  padded \"", "/a/b=1e999", "/a/b=\"x'", "/f=FaLsE"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 0)->int_value, 5);
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 1)->string_value, "  padded ");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 2)->string_value, "1e999");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 3)->string_value, "\"x'");
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 4)->bool_value, 0);
}

TEST(PlanIncrements, BareNumbersAndSuffixesAdd) {
  Outcome outcome;
  PlanPtr plan = build({"/a/b=5", "/n++", "/n--", "/x=-2.5", "time:/t++", "file:/f--"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  const double deltas[] = {5, 1, -1, -2.5, 1, -1};
  for (size_t i = 0; i < 6; ++i) {
    const sv_mutation *m = sv_mutation_plan_at(plan.get(), i);
    EXPECT_EQ(m->kind, static_cast<uint32_t>(SV_MUTATION_INCREMENT)) << i;
    EXPECT_EQ(m->delta, deltas[i]) << i;
  }
  EXPECT_EQ(segments(sv_mutation_plan_at(plan.get(), 1)), Strings({"n"}));
  // Integer deltas are also kept exactly; a fraction, an exponent or more than 64 bits is not.
  PlanPtr exact = build({"/a=9007199254740993", "/a=-9223372036854775808", "/a=+3", "/a=2.0",
                         "/a=1e3", "/a=9223372036854775808", "/a=0x10"},
                        &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  const struct {
    int32_t has;
    int64_t value;
  } integral[] = {{1, 9007199254740993}, {1, INT64_MIN}, {1, 3}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
  for (size_t i = 0; i < 7; ++i) {
    const sv_mutation *m = sv_mutation_plan_at(exact.get(), i);
    EXPECT_EQ(m->has_int_delta, integral[i].has) << i;
    if (integral[i].has != 0) {
      EXPECT_EQ(m->int_delta, integral[i].value) << i;
    }
  }
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 1)->int_delta, 1);
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 2)->int_delta, -1);
  expect_refused("/a/b=0", SV_ERR_INVALID, "increment mutation requires non-zero delta", "/a/b");
  expect_refused("/a/b=-0.0", SV_ERR_INVALID, "increment mutation requires non-zero delta");
  // A word that strtod reads as infinity or NaN is no usable delta.
  expect_refused("/name=Nan", SV_ERR_INVALID, "increment mutation requires a finite delta",
                 "/name");
}

TEST(PlanPrefixes, RemoveAndTimeCombine) {
  for (const char *prefix : {"rm:", "remove:", "delete:", "del:"}) {
    Outcome outcome;
    PlanPtr plan = build({std::string(prefix) + "/a"}, &outcome);
    ASSERT_EQ(outcome.status, SV_OK) << prefix;
    EXPECT_EQ(only(plan)->kind, static_cast<uint32_t>(SV_MUTATION_REMOVE)) << prefix;
    EXPECT_EQ(segments(only(plan)), Strings({"a"}));
  }
  expect_refused("time:rm:/a", SV_ERR_INVALID, "invalid mutation expression", "time:rm:/a");
  expect_refused("rm:time:/a", SV_ERR_INVALID,
                 "time-prefixed mutation cannot be combined with remove", "rm:time:/a");
  expect_refused("file:time:/a=x", SV_ERR_INVALID,
                 "file-backed mutation cannot be combined with time:", "file:time:/a=x");
  expect_refused("/a", SV_ERR_INVALID, "invalid mutation expression", "/a");
  // A file prefix before a remove is ignored.
  Outcome outcome;
  PlanPtr plan = build({"file:rm:/gone"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(only(plan)->kind, static_cast<uint32_t>(SV_MUTATION_REMOVE));
}

TEST(PlanBraces, ItemsExpandIntoWholeExpressions) {
  Outcome outcome;
  PlanPtr plan = build({"/x/{a=1,b=two}"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  ASSERT_EQ(sv_mutation_plan_count(plan.get()), 2u);
  const sv_mutation *a = sv_mutation_plan_at(plan.get(), 0);
  const sv_mutation *b = sv_mutation_plan_at(plan.get(), 1);
  EXPECT_EQ(a->kind, static_cast<uint32_t>(SV_MUTATION_INCREMENT));
  EXPECT_EQ(a->delta, 1);
  EXPECT_EQ(segments(a), Strings({"x", "a"}));
  EXPECT_EQ(b->value_kind, static_cast<uint32_t>(SV_MUTATION_VALUE_STRING));
  EXPECT_STREQ(b->string_value, "two");

  plan = build({"/x/{'a,b'=c}"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(segments(only(plan)), Strings({"x", "'a,b'"}));

  // Nested forms, line feeds, escapes, empty items and a quoted brace inside an item.
  plan = build({"/p/{ q/{r='1',s++}\n\n t=\"{,}\" , u=a\\,b ,}"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  ASSERT_EQ(sv_mutation_plan_count(plan.get()), 4u);
  EXPECT_EQ(segments(sv_mutation_plan_at(plan.get(), 0)), Strings({"p", "q", "r"}));
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 0)->int_value, 1);
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 1)->kind, static_cast<uint32_t>(SV_MUTATION_INCREMENT));
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 2)->string_value, "{,}");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 3)->string_value, "a\\,b");

  // Outer prefixes do not carry over into items; an empty body adds nothing.
  plan = build({"rm:/keep", "/x/{}"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(sv_mutation_plan_count(plan.get()), 1u);
  plan = build({"time:/x/{a=1}"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(only(plan)->kind, static_cast<uint32_t>(SV_MUTATION_INCREMENT));

  // The first failing item ends the build.
  expect_refused("/x/{a=1,b,c=2}", SV_ERR_INVALID, "invalid mutation expression", "/x/b");
  std::string deep = "/a";
  for (int i = 0; i < 40; ++i)
    deep += "{/b";
  deep += "=1";
  deep += std::string(40, '}');
  expect_refused(deep, SV_ERR_INVALID, "brace mutation nests too deeply");
}

TEST(PlanPaths, PointersDecodeAndRefuseWhatCannotBeAddressed) {
  Outcome outcome;
  PlanPtr plan = build({"/a~1b=x", "/~0~01~2=y"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_EQ(segments(sv_mutation_plan_at(plan.get(), 0)), Strings({"a/b"}));
  EXPECT_EQ(segments(sv_mutation_plan_at(plan.get(), 1)), Strings({"~~1~2"}));
  const char *wildcard =
      "local mutate does not support wildcard SVQL paths; use direct JSON pointer paths";
  expect_refused("/a/*=1", SV_ERR_INVALID, wildcard, "*");
  expect_refused("/a/[]=1", SV_ERR_INVALID, wildcard, "[]");
  expect_refused("rm:/**", SV_ERR_INVALID, wildcard, "**");
  expect_refused("/.../b++", SV_ERR_INVALID, wildcard, "...");
  expect_refused("/=1", SV_ERR_INVALID, "mutation path refers to document root", "/");
  expect_refused("/a/=1", SV_ERR_INVALID, "mutation path refers to document root");
  expect_refused("/a//b=1", SV_ERR_INVALID, "mutation path refers to document root");
  expect_refused("a=1", SV_ERR_INVALID, "mutation path must start with '/'", "a");
  expect_refused("rm:", SV_ERR_INVALID, "mutation path must start with '/'");

  // Segments are limited to 1024 decoded bytes; escapes count once decoded.
  const std::string fits(1024, 'k');
  plan = build({"/" + fits + "=v"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(std::string(sv_mutation_plan_at(plan.get(), 0)->path[0]), fits);
  std::string escaped;
  for (int i = 0; i < 1024; ++i)
    escaped += "~1";
  plan = build({"/a/" + escaped + "=v"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  EXPECT_EQ(std::string(sv_mutation_plan_at(plan.get(), 0)->path[1]), std::string(1024, '/'));
  expect_refused("/a/" + fits + "k=v", SV_ERR_INVALID, "mutation path segment exceeds 1024 bytes");
  expect_refused("/a/" + escaped + "~1=v", SV_ERR_INVALID,
                 "mutation path segment exceeds 1024 bytes");
}

TEST(PlanTimes, LiteralsAreValidatedAndNormalised) {
  struct Case {
    const char *literal;
    const char *stored;
  };
  const Case accepted[] = {
      {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
      {"2024-01-01T00:00:00.5Z", "2024-01-01T00:00:00.5Z"},
      {"2024-01-02T03:04:05.120+01:00", "2024-01-02T02:04:05.12Z"},
      {"2000-02-29t23:30:00-01:30", "2000-03-01T01:00:00Z"},
      {"1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
      {"2024-06-30T12:00:00.000000001z", "2024-06-30T12:00:00.000000001Z"},
      {" '2024-06-30T12:00:00.000Z' ", "2024-06-30T12:00:00Z"},
  };
  for (const Case &c : accepted) {
    Outcome outcome;
    PlanPtr plan = build({std::string("time:/t=") + c.literal}, &outcome);
    ASSERT_EQ(outcome.status, SV_OK) << c.literal << ": " << outcome.message;
    EXPECT_EQ(only(plan)->value_kind, static_cast<uint32_t>(SV_MUTATION_VALUE_STRING));
    EXPECT_STREQ(only(plan)->string_value, c.stored) << c.literal;
  }
  const char *rfc = "invalid RFC3339 time literal";
  for (const char *literal :
       {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2024-01-01T00:00:60Z",
        "2024-13-01T00:00:00Z", "2024-04-31T00:00:00Z", "2024-01-01T24:00:00Z",
        "2024-01-01 00:00:00Z", "2024-01-01T00:00:00", "2024-01-01T00:00:00+24:00",
        "2024-01-01T00:00:00+01:60", "2024-01-01T00:00:00+0100", "2024-01-01T00:00:00Zx",
        "yesterday"}) {
    expect_refused(std::string("time:/t=") + literal, SV_ERR_INVALID, rfc, literal);
  }
  for (const char *literal :
       {"2024-01-01T00:00:00.1234567891Z", "2024-01-01T00:00:00.Z", "2024-01-01T00:00:00."}) {
    expect_refused(std::string("time:/t=") + literal, SV_ERR_INVALID,
                   "invalid RFC3339Nano time literal", literal);
  }
}

TEST(PlanTimes, NowComesFromTheOptionsOrTheClock) {
  sv_mutation_parse_options options{};
  options.now.tv_sec = 1704164645;  // 2024-01-02T03:04:05Z
  options.now.tv_nsec = 250000000;
  options.has_now = 1;
  Outcome outcome;
  PlanPtr plan = build({"time:/a=now", "time:/b=NOW"}, &outcome, &options);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 0)->string_value, "2024-01-02T03:04:05.25Z");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 1)->string_value, "2024-01-02T03:04:05.25Z");
  options.now.tv_nsec = 1000000000;
  expect_refused("time:/a=now", SV_ERR_INVALID, "invalid timestamp value", nullptr, &options);
  // Only "now" and "NOW" name the clock: other spellings are date-times and fail as such.
  expect_refused("time:/c=Now", SV_ERR_INVALID, "invalid RFC3339 time literal");

  const time_t before = std::time(nullptr);
  plan = build({"time:/a=now"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  const std::string stamp = only(plan)->string_value;
  ASSERT_GE(stamp.size(), 20u);
  struct tm parts {};
  ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &parts), nullptr) << stamp;
  const time_t parsed = timegm(&parts);
  EXPECT_GE(parsed, before);
  EXPECT_LE(parsed, std::time(nullptr));
  EXPECT_EQ(stamp.back(), 'Z');
}

TEST(PlanFiles, PathsResolveAgainstBaseDirAndHome) {
  expect_refused("file:/a=data.bin", SV_ERR_INVALID, "file-backed mutations are disabled");
  sv_mutation_parse_options options{};
  options.file_value_base_dir = "/srv";
  Outcome outcome;
  PlanPtr plan = build({"file:/a=data.bin", "textfile:/b='/etc/x y'", "base64file:/c=\"rel\""},
                       &outcome, &options);
  ASSERT_EQ(outcome.status, SV_OK) << outcome.message;
  const sv_mutation *a = sv_mutation_plan_at(plan.get(), 0);
  EXPECT_EQ(a->value_kind, static_cast<uint32_t>(SV_MUTATION_VALUE_FILE));
  EXPECT_EQ(a->file_kind, static_cast<uint32_t>(SV_MUTATION_FILE_AUTO));
  EXPECT_STREQ(a->file_path, "/srv/data.bin");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 1)->file_path, "/etc/x y");
  EXPECT_EQ(sv_mutation_plan_at(plan.get(), 1)->file_kind,
            static_cast<uint32_t>(SV_MUTATION_FILE_TEXT));
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 2)->file_path, "/srv/rel");
  // A file value that looks like a number is still a path.
  plan = build({"file:/n=5"}, &outcome, &options);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_STREQ(only(plan)->file_path, "/srv/5");

  const char *old_home = std::getenv("HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  setenv("HOME", "/home/tester", 1);
  plan = build({"file:/a=~/x", "file:/b=~", "file:/c=~other"}, &outcome, &options);
  ASSERT_EQ(outcome.status, SV_OK);
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 0)->file_path, "/home/tester/x");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 1)->file_path, "/home/tester");
  EXPECT_STREQ(sv_mutation_plan_at(plan.get(), 2)->file_path, "/srv/~other");
  if (old_home != nullptr) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }

  expect_refused("file:/a=''", SV_ERR_INVALID, "file-backed mutation missing file path", nullptr,
                 &options);
  sv_mutation_parse_options no_base{};
  expect_refused("file:/a=data.bin", SV_ERR_INVALID,
                 "relative file-backed mutation path requires file value base dir", nullptr,
                 &no_base);
}

TEST(PlanBuild, ArgumentsAndEmptyLists) {
  sv_mutation_plan *plan = nullptr;
  sv_error error;
  sv_error_init(&error);
  const char *one[] = {"/a=1"};
  EXPECT_EQ(sv_mutation_plan_build(nullptr, 1, nullptr, &plan, &error), SV_ERR_INVALID);
  EXPECT_STREQ(error.message, "local mutate requires mutation expressions");
  EXPECT_EQ(sv_mutation_plan_build(one, 0, nullptr, &plan, &error), SV_ERR_INVALID);
  EXPECT_EQ(sv_mutation_plan_build(one, 1, nullptr, nullptr, &error), SV_ERR_INVALID);
  const char *blanks[] = {"", nullptr, ""};
  EXPECT_EQ(sv_mutation_plan_build(blanks, 3, nullptr, &plan, &error), SV_ERR_INVALID);
  EXPECT_STREQ(error.message, "local mutate requires at least one mutation");
  EXPECT_EQ(plan, nullptr);
  const char *mixed[] = {"", "/a=1", nullptr, "rm:/b"};
  ASSERT_EQ(sv_mutation_plan_build(mixed, 4, nullptr, &plan, &error), SV_OK);
  EXPECT_EQ(sv_mutation_plan_count(plan), 2u);
  EXPECT_EQ(sv_mutation_plan_at(plan, 2), nullptr);
  sv_mutation_plan_close(plan);
  sv_mutation_plan_close(nullptr);
  EXPECT_EQ(sv_mutation_plan_count(nullptr), 0u);
  // A failure after good expressions frees the partial plan (the leak check sees it).
  const char *late[] = {"/a=1", "/b=2", "/*=3"};
  plan = nullptr;
  EXPECT_EQ(sv_mutation_plan_build(late, 3, nullptr, &plan, &error), SV_ERR_INVALID);
  EXPECT_EQ(plan, nullptr);
  sv_error_cleanup(&error);
}

}  // namespace
