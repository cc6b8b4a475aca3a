// Applying plans to documents: exact output bytes for sets, removals, increments, synthesised
// members, paths through arrays and scalars, escaping and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "mutate_test_support.h"

namespace {

using mutate_test::apply;
using mutate_test::apply_plan;
using mutate_test::build;
using mutate_test::Outcome;
using mutate_test::PlanPtr;

std::string applied(const std::string &document, const std::vector<std::string> &expressions) {
  const Outcome outcome = apply(document, expressions);
  EXPECT_EQ(outcome.status, SV_OK) << outcome.message << " (" << outcome.detail << ")";
  return outcome.output;
}

void expect_failure(const std::string &document, const std::vector<std::string> &expressions,
                    int status, const std::string &message) {
  const Outcome outcome = apply(document, expressions);
  EXPECT_EQ(outcome.status, status) << document;
  EXPECT_EQ(outcome.message, message) << document;
}

const char *kDoc = R"({"a":1,"b":{"c":2}})";

TEST(ApplySet, ReplacesAndCreatesMembers) {
  EXPECT_EQ(applied(kDoc, {"/b/c=x"}), R"({"a":1,"b":{"c":"x"}})");
  EXPECT_EQ(applied(R"({"a":1})", {"/x/y='1'"}), R"({"a":1,"x":{"y":1}})");
  EXPECT_EQ(applied("{}", {"/x/y='1'"}), R"({"x":{"y":1}})");
  // Containers are replaced whole; literals of every kind are written as such.
  EXPECT_EQ(applied(R"({"b":{"c":[1,{"d":2}]},"e":0})", {"/b=null"}), R"({"b":null,"e":0})");
  EXPECT_EQ(applied(R"({"t":"x"})", {"/t=TRUE", "/u=false", "/v= 2.5", "/w=' -7'"}),
            R"({"t":true,"u":false,"v":2.5,"w":-7})");
  // Two sets of one path: the last one wins; a set then an increment adds to the set value.
  EXPECT_EQ(applied(R"({"n":1})", {"/n=first", "/n=second"}), R"({"n":"second"})");
  EXPECT_EQ(applied(R"({"n":"s"})", {"/n=' 10'", "/n=5"}), R"({"n":15})");
  // The new member goes last in the deepest existing object, after a separator.
  EXPECT_EQ(applied(R"({"a":{"b":{}}, "z":1})", {"/a/b/c/d=v"}),
            R"({"a":{"b":{"c":{"d":"v"}}},"z":1})");
}

TEST(ApplySet, PathsThroughArraysAndScalars) {
  const char *doc = R"({"list":[{"id":1},{"id":2}],"s":"str"})";
  EXPECT_EQ(applied(doc, {"/list/1/id=' 9'"}), R"({"list":[{"id":1},{"id":9}],"s":"str"})");
  EXPECT_EQ(applied(doc, {"/list/0/new=x"}), R"({"list":[{"id":1,"new":"x"},{"id":2}],"s":"str"})");
  // A set or increment whose path runs through a scalar, a non-index into an array or an index
  // past its end cannot be applied: refused with the path and the value in the way.
  const struct {
    const char *document;
    const char *expression;
    const char *detail;
  } unreachable[] = {
      {doc, "/s/b=x", "/s/b: /s is a string, not an object"},
      {doc, "/list/5/id=x", "/list/5/id: index 5 is past the end of the array at /list"},
      {doc, "/list/2=x", "/list/2: index 2 is past the end of the array at /list"},
      {doc, "/list/id=x", "/list/id: /list is an array, not an object"},
      {doc, "/list/01/id=x", "/list/01/id: /list is an array, not an object"},
      {doc, "/list/1/id/x++", "/list/1/id/x: /list/1/id is a number, not an object"},
      {R"({"a":{"b~/":null}})", "/a/b~0~1/c=1",
       "/a/b~0~1/c: /a/b~0~1 is a literal (boolean or "
       "null), not an object"},
      {R"({"a":[[true]]})", "/a/0/0/x=1",
       "/a/0/0/x: /a/0/0 is a literal (boolean or null), not "
       "an object"},
      {R"({"e":[]})", "/e/0++", "/e/0: index 0 is past the end of the array at /e"},
  };
  for (const auto &c : unreachable) {
    const Outcome outcome = apply(c.document, {c.expression});
    EXPECT_EQ(outcome.status, SV_ERR_INVALID) << c.expression;
    EXPECT_EQ(outcome.message, "mutation path cannot be applied") << c.expression;
    EXPECT_EQ(outcome.detail, c.detail);
    EXPECT_EQ(outcome.output, "") << c.expression;
  }
  // A later pass that cannot be applied fails the whole plan.
  expect_failure(doc, {"/ok=1", "/s/b=x"}, SV_ERR_INVALID, "mutation path cannot be applied");
  // A removal through a scalar or past the end changes nothing and is no error.
  EXPECT_EQ(applied(doc, {"rm:/s/b", "rm:/list/9"}), doc);
  expect_failure(R"({"a":1})", {"/list/0=x"}, SV_ERR_INVALID,
                 "local mutate cannot create missing array paths");
  expect_failure(R"({"a":1})", {"/x/7y/z=x"}, SV_ERR_INVALID,
                 "local mutate cannot create missing array paths");
  // A long missing chain is written without recursion, every level closed.
  std::string path;
  std::string expected = R"({"a":1,)";
  for (int i = 0; i < 20000; ++i) {
    path += "/k";
    expected += i == 0 ? R"("k":)" : R"({"k":)";
  }
  expected += "true" + std::string(20000, '}');
  EXPECT_EQ(applied(R"({"a":1})", {path + "=true"}), expected);
  // A digit as the new member's own name is an ordinary key.
  EXPECT_EQ(applied(R"({"a":{}})", {"/a/0=x"}), R"({"a":{"0":"x"}})");
}

TEST(ApplyRemove, LeavesNoStraySeparators) {
  EXPECT_EQ(applied(kDoc, {"rm:/a"}), R"({"b":{"c":2}})");
  EXPECT_EQ(applied(kDoc, {"rm:/b/c"}), R"({"a":1,"b":{}})");
  EXPECT_EQ(applied(kDoc, {"rm:/b"}), R"({"a":1})");
  EXPECT_EQ(applied(R"({"a":1,"b":2,"c":3})", {"rm:/b"}), R"({"a":1,"c":3})");
  // Each pass sees the previous one's result: the second removal counts in the shorter list.
  EXPECT_EQ(applied(R"({"l":[1,[2,3],{"x":4},5]})", {"rm:/l/0", "rm:/l/2"}),
            R"({"l":[[2,3],{"x":4}]})");
  // A missing member is no error and nothing is synthesised for it.
  EXPECT_EQ(applied(kDoc, {"rm:/q/r"}), kDoc);
  EXPECT_EQ(applied(R"({"only":true})", {"rm:/only"}), "{}");
}

TEST(ApplyIncrement, IntegersAddExactlyIn64Bits) {
  // 2^53 + 1 is not a double; integer arithmetic keeps every digit.
  EXPECT_EQ(applied(R"({"n":9007199254740993})", {"/n++"}), R"({"n":9007199254740994})");
  EXPECT_EQ(applied(R"({"n":9007199254740993})", {"/n=9007199254740993"}),
            R"({"n":18014398509481986})");
  EXPECT_EQ(applied(R"({"n":-9223372036854775807})", {"/n--"}), R"({"n":-9223372036854775808})");
  EXPECT_EQ(applied("{}", {"/n=9007199254740993"}), R"({"n":9007199254740993})");
  EXPECT_EQ(applied(R"({"n":5})", {"/n=-7"}), R"({"n":-2})");
  expect_failure(R"({"n":9223372036854775807})", {"/n++"}, SV_ERR_INVALID,
                 "increment result overflows a 64-bit integer");
  expect_failure(R"({"n":-9223372036854775808})", {"/n=-1"}, SV_ERR_INVALID,
                 "increment result overflows a 64-bit integer");
  // A fraction or exponent on either side, or an integer beyond 64 bits, adds as doubles.
  EXPECT_EQ(applied(R"({"n":2.5})", {"/n=2"}), R"({"n":4.5})");
  EXPECT_EQ(applied(R"({"n":2})", {"/n=0.5"}), R"({"n":2.5})");
  EXPECT_EQ(applied(R"({"n":1e2})", {"/n++"}), R"({"n":101})");
  EXPECT_EQ(applied(R"({"n":18446744073709551616})", {"/n++"}), R"({"n":1.8446744073709552e+19})");
}

TEST(ApplyIncrement, AddsAsDoubles) {
  EXPECT_EQ(applied(R"({"n":1})", {"/n=2"}), R"({"n":3})");
  EXPECT_EQ(applied("{}", {"/n=2"}), R"({"n":2})");
  EXPECT_EQ(applied(R"({"n":1.25,"m":-3e2})", {"/n++", "/m--", "/n=0.5"}),
            R"({"n":2.75,"m":-301})");
  EXPECT_EQ(applied(R"({"n":0.1})", {"/n=0.2"}), R"({"n":0.30000000000000004})");
  EXPECT_EQ(applied(R"({"a":{}})", {"/a/b/c++"}), R"({"a":{"b":{"c":1}}})");
  expect_failure(R"({"n":"1"})", {"/n=2"}, SV_ERR_INVALID, "increment target is not numeric");
  expect_failure(R"({"n":{}})", {"/n++"}, SV_ERR_INVALID, "increment target is not numeric");
  expect_failure(R"({"n":null})", {"/n++"}, SV_ERR_INVALID, "increment target is not numeric");
  expect_failure(R"({"n":1e999})", {"/n++"}, SV_ERR_INVALID, "increment target is not numeric");
  expect_failure(R"({"n":1e308})", {"/n=1e308"}, SV_ERR_INVALID,
                 "mutation produced non-finite number");
}

TEST(ApplyOutput, CopiesCompactlyWithTheOutputEscaping) {
  const std::string doc =
      "{ \"k\\u0001\\\"\" : [ \"tab\\there\\n\\u00e9\\ud83d\\ude00\\/\\b\\f\\r\" , -0.50e+1 ,"
      " true , false , null , { } , [ ] ] }";
  EXPECT_EQ(applied(doc, {"/zz=1 "}),
            "{\"k\\u0001\\\"\":[\"tab\\there\\n\xc3\xa9\xf0\x9f\x98\x80/\\b\\f\\r\",-0.50e+1,"
            "true,false,null,{},[]],\"zz\":1}");
  // Keys and values of the mutation are escaped the same way.
  EXPECT_EQ(applied("{}", {"/we\"ird\\key\x01=a\"b\\c"}),
            "{\"we\\\"ird\\\\key\\u0001\":\"a\\\"b\\\\c\"}");
  // Keys that hold a slash or tilde are matched decoded.
  EXPECT_EQ(applied(R"({"a/b":1,"~":2})", {"/a~1b=x", "/~0=y"}), R"({"a/b":"x","~":"y"})");
}

TEST(ApplyRefusals, RootsDocumentsAndArguments) {
  for (const char *doc : {"[1,2]", "\"s\"", "1", "null"}) {
    expect_failure(doc, {"/a=x"}, SV_ERR_INVALID,
                   "local mutate currently requires a JSON object root");
  }
  expect_failure(R"({"a":1)", {"/a=x"}, SV_ERR_INVALID, "unterminated JSON object");
  expect_failure(R"({"a":1} {})", {"/a=x"}, SV_ERR_INVALID,
                 "visited JSON must contain exactly one value");
  expect_failure("", {"/a=x"}, SV_ERR_INVALID, "expected JSON value");
  std::string deep = "{\"a\":";
  for (int i = 0; i < 70; ++i)
    deep += "[";
  for (int i = 0; i < 70; ++i)
    deep += "]";
  deep += "}";
  expect_failure(deep, {"/a=x"}, SV_ERR_INVALID, "JSON value nesting exceeds maximum depth");
  const Outcome nul = apply("{\"a\\u0000b\":1}", {"/c=x"});
  EXPECT_EQ(nul.status, SV_ERR_INVALID);
  EXPECT_EQ(nul.message, "local mutate object keys cannot contain NUL");

  Outcome outcome;
  PlanPtr plan = build({"/a=x"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  FILE *result = nullptr;
  sv_error error;
  sv_error_init(&error);
  EXPECT_EQ(sv_mutation_plan_apply(plan.get(), nullptr, &result, &error), SV_ERR_INVALID);
  EXPECT_STREQ(error.message, "mutation plan apply requires plan, input, and out_final");
  EXPECT_EQ(sv_mutation_plan_apply(nullptr, stdin, &result, &error), SV_ERR_INVALID);
  EXPECT_EQ(sv_mutation_plan_apply(plan.get(), stdin, nullptr, &error), SV_ERR_INVALID);
  sv_error_cleanup(&error);
}

TEST(ApplyPasses, InputIsRewoundAndKeptOpenAndPlansAreReusable) {
  Outcome outcome;
  PlanPtr plan = build({"/n++", "/n++", "rm:/gone"}, &outcome);
  ASSERT_EQ(outcome.status, SV_OK);
  FILE *input = std::tmpfile();
  ASSERT_NE(input, nullptr);
  std::fputs(R"({"gone":[1],"n":1})", input);
  // Left at its end: apply rewinds it.
  for (int round = 0; round < 2; ++round) {
    FILE *result = nullptr;
    sv_error error;
    sv_error_init(&error);
    ASSERT_EQ(sv_mutation_plan_apply(plan.get(), input, &result, &error), SV_OK);
    EXPECT_EQ(mutate_test::read_all(result), R"({"n":3})");
    std::fclose(result);
    sv_error_cleanup(&error);
  }
  std::fclose(input);
  EXPECT_EQ(apply_plan(plan.get(), R"({"n":-1})").output, R"({"n":1})");
}

}  // namespace
