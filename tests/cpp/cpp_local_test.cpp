// Mutation plans, local mutation under a lease and file sources and sinks through the C++
// interface: plans apply to a JSON file and report the C library's failures, and files carry a
// state both ways.
#include <cstdio>
#include <fstream>

#include "cpp_fixture.h"
#include "support/scratch.h"

namespace {

using cpp_test::CppFixture;
using cpp_test::owner;

// An anonymous temporary file holding text, rewound (gone when closed).
std::FILE *file_with(const std::string &text) {
  std::FILE *file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

TEST(CppMutationPlan, AppliesToAJsonFileAndReportsBadExpressions) {
  stavo::MutationPlan plan = stavo::MutationPlan::build({"/count++", "/status=shipped"});
  EXPECT_EQ(plan.size(), 2u);
  std::FILE *input = file_with(R"({"count":1,"status":"open"})");
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(plan.apply(input), R"({"count":2,"status":"shipped"})");
  std::fclose(input);

  std::FILE *array = file_with("[1,2]");
  ASSERT_NE(array, nullptr);
  stavo::Status status;
  EXPECT_EQ(plan.apply(array, status), "");
  EXPECT_EQ(status.code(), SV_ERR_INVALID);
  EXPECT_EQ(status.message(), "local mutate currently requires a JSON object root");
  std::fclose(array);

  stavo::MutationPlan moved = std::move(plan);
  EXPECT_EQ(plan.handle(), nullptr);
  EXPECT_EQ(moved.size(), 2u);

  try {
    stavo::MutationPlan::build({});
    FAIL() << "an empty plan was built";
  } catch (const stavo::Error &error) {
    EXPECT_EQ(error.code(), SV_ERR_INVALID);
  }
}

class CppLocal : public CppFixture {};

TEST_F(CppLocal, MutateLocalRewritesTheStateUnderTheLease) {
  server_->seed_state("cpp/local", R"({"n":1,"tag":"a"})");
  stavo::Lease lease = client_.acquire("cpp/local", owner("cpp"));
  lease.describe();
  lease.mutate_local({"/n=5", "rm:/tag"});
  lease.release();
  EXPECT_EQ(server_->state("cpp/local").state, R"({"n":6})");
}

TEST_F(CppLocal, FilesCarryAStateBothWays) {
  const std::string in = stavo::test::scratch_path("cpp-state-in.json");
  const std::string out = stavo::test::scratch_path("cpp-state-out.json");
  std::ofstream(in) << R"({"from":"file"})";
  stavo::Lease lease = client_.acquire("cpp/files", owner("cpp"));
  stavo::Source source = stavo::Source::from_file(in);
  lease.update(source);
  {
    stavo::Sink sink = stavo::Sink::to_file(out);
    EXPECT_TRUE(lease.get(sink).has_state);
  }
  std::ifstream written(out);
  const std::string text((std::istreambuf_iterator<char>(written)), {});
  EXPECT_EQ(text, R"({"from":"file"})");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

}  // namespace
