// Server-side mutate: the expression language on the lease holder's view of the state.
#include "helpers.h"

namespace stavo::test {
namespace {

class DevServerMutate : public ::testing::Test {
 protected:
  // Applies the expressions to `initial` (no state when empty) and returns the staged document.
  std::string apply(const std::string &initial, const std::vector<std::string> &expressions,
                    HttpResponse *response_out = nullptr) {
    std::string key = "k" + std::to_string(++counter_);
    if (!initial.empty()) dev_.seed_state(key, initial);
    TestLease lease = must_acquire(dev_, key);
    HttpResponse response = mutate(dev_, key, lease, expressions);
    if (response_out != nullptr) *response_out = response;
    if (response.status != 200) return "error " + error_code(response) + ": " + response.body;
    return dev_.state(key).lease->staged_state;
  }

  std::string refused(const std::vector<std::string> &expressions) {
    HttpResponse response;
    apply(R"({"a":{"b":1}})", expressions, &response);
    EXPECT_EQ(response.status, 400) << response.body;
    return error_code(response) + ": " + body_of(response).value("detail", "");
  }

  DevServer dev_;
  int counter_ = 0;
};

TEST_F(DevServerMutate, SetsLiteralsByKind) {
  EXPECT_EQ(apply(R"({"a":1})", {"/b=hello", "/c='5'", "/d= 5 ", "/e=true", "/f=NULL", "/g='x y'",
                                 "/h=1e999", "/i=' 2.5'"}),
            R"({"a":1,"b":"hello","c":5,"d":5,"e":true,"f":null,"g":"x y","h":"1e999","i":2.5})");
}

TEST_F(DevServerMutate, IncrementsAndNumericDeltas) {
  EXPECT_EQ(apply(R"({"n":1,"m":1.5})", {"/n++", "/n=5", "/m--", "/new=2"}),
            R"({"n":7,"m":0.5,"new":2})");
  EXPECT_EQ(apply(R"({"n":1})", {"/n=0.5"}), R"({"n":1.5})");
}

TEST_F(DevServerMutate, RemovesWithEveryPrefix) {
  EXPECT_EQ(apply(R"({"a":1,"b":2,"c":3,"d":4,"e":5})",
                  {"rm:/a", "remove:/b", "delete:/c", "del:/d", "rm:/missing"}),
            R"({"e":5})");
}

TEST_F(DevServerMutate, CreatesMissingObjectsAndAddressesArrays) {
  EXPECT_EQ(apply("", {"/x/y='1'"}), R"({"x":{"y":1}})");
  EXPECT_EQ(apply(R"({"list":[1,2]})", {"/list/0=x", "/list/5=y"}), R"({"list":["x",2]})");
  EXPECT_EQ(apply(R"({"a":"s"})", {"/a/b=1x"}), R"({"a":"s"})");  // runs through a string
  EXPECT_EQ(apply(R"({"a~b":{}})", {"/a~0b/c~1d=v"}), R"({"a~b":{"c/d":"v"}})");
}

TEST_F(DevServerMutate, ExpandsBraces) {
  EXPECT_EQ(apply("{}", {"/x/{a=1,b=two}"}), R"({"x":{"a":1,"b":"two"}})");
  EXPECT_EQ(apply("{}", {"/x/{'a,b'=c}"}), R"({"x":{"'a,b'":"c"}})");
}

TEST_F(DevServerMutate, SetsTimestampsFromTheVirtualClock) {
  // The fixture's clock starts at 2026-01-01T00:00:00Z.
  EXPECT_EQ(apply("{}", {"time:/t=now", "time:/u=2024-01-02T03:04:05.120+01:00"}),
            R"({"t":"2026-01-01T00:00:00Z","u":"2024-01-02T02:04:05.12Z"})");
  EXPECT_EQ(apply("{}", {"time:/t=2024-02-29T00:00:00Z"}), R"({"t":"2024-02-29T00:00:00Z"})");
}

TEST_F(DevServerMutate, RefusesWhatTheServerDoesNotSupport) {
  EXPECT_EQ(refused({"file:/a=data.bin"}).rfind("invalid_mutation: file-backed", 0), 0u);
  EXPECT_NE(refused({"/a/*=1"}).find("wildcard"), std::string::npos);
  EXPECT_NE(refused({"/a/[]=1"}).find("wildcard"), std::string::npos);
  EXPECT_NE(refused({"/=1"}).find("document root"), std::string::npos);
  EXPECT_NE(refused({"/a/=1"}).find("document root"), std::string::npos);
  EXPECT_NE(refused({"a=1"}).find("must start with '/'"), std::string::npos);
  EXPECT_NE(refused({"/a/b=0"}).find("non-zero delta"), std::string::npos);
  EXPECT_NE(refused({"/a"}).find("invalid mutation expression"), std::string::npos);
  EXPECT_NE(refused({"rm:time:/a"}).find("cannot be combined with remove"), std::string::npos);
  EXPECT_NE(refused({"time:/t=2023-02-29T00:00:00Z"}).find("RFC3339"), std::string::npos);
  EXPECT_NE(refused({"time:/t=2024-01-01T00:00:00.1234567890Z"}).find("RFC3339Nano"),
            std::string::npos);
  EXPECT_NE(refused({"/a/b=x", "/a/b++"}).find("not numeric"), std::string::npos);
  EXPECT_NE(refused({"/new/0/x='1'"}).find("missing array paths"), std::string::npos);
  EXPECT_NE(refused({""}).find("at least one mutation"), std::string::npos);
}

TEST_F(DevServerMutate, RequiresAnObjectDocumentAndALease) {
  HttpResponse response;
  apply("[1,2]", {"/a=1"}, &response);
  EXPECT_EQ(response.status, 400);
  EXPECT_NE(response.body.find("JSON object root"), std::string::npos);
  apply("{", {"/a=1"}, &response);
  EXPECT_EQ(error_code(response), "state_not_json");

  TestLease none;
  none.fencing_token = 1;
  EXPECT_EQ(error_code(mutate(dev_, "free", none, {"/a=1"})), "lease_required");
}

TEST_F(DevServerMutate, AnswersLikeUpdate) {
  HttpResponse response;
  std::string staged = apply(R"({"a":1})", {"/a++"}, &response);
  json body = body_of(response);
  EXPECT_EQ(body["new_version"], 2);
  EXPECT_EQ(body["bytes"], staged.size());
  EXPECT_EQ(body["new_state_etag"].get<std::string>().size(), 64u);
}

}  // namespace
}  // namespace stavo::test
