// The programs in examples/, each run as its own process against an in-process dev server over
// mutual TLS with HTTP/2 (nghttpx in front), on the server's running clock as a real server
// would be. Each case checks the program's exit status and transcript and then what it left on
// the server: committed state, settled messages, connections.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/dev_server.h"

namespace {

using stavo::test::DevServer;
using stavo::test::Fault;

struct ProgramRun {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};

std::string shell_quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ProgramRun run_program(const std::string &name, const std::vector<std::string> &args) {
  std::string command = shell_quote(std::string(STAVO_EXAMPLES_DIR) + "/" + name);
  for (const auto &arg : args)
    command += " " + shell_quote(arg);
  command += " 2>&1";
  ProgramRun run;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    run.output.append(buffer, count);
  const int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class ExamplesTest : public ::testing::Test {
 protected:
  DevServer dev{{.tls = true, .clock_running = true}};

  ProgramRun run(const std::string &name, std::vector<std::string> args) {
    std::vector<std::string> all = {"--endpoint", dev.https_url(), "--bundle",
                                    dev.client_bundle_path()};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(name, all);
  }

  // Acks the server accepted.
  size_t successful_acks() const {
    size_t acks = 0;
    for (const auto &request : dev.requests_to("POST", "/v1/queue/ack"))
      acks += request.status == 200;
    return acks;
  }

  // The committed state of a key as JSON; null when it has none.
  nlohmann::json committed(const std::string &key, const std::string &ns = "default") {
    const auto state = dev.state(key, ns);
    EXPECT_FALSE(state.lease.has_value()) << key << " is still leased";
    return state.has_state ? nlohmann::json::parse(state.state) : nlohmann::json();
  }
};

// The README's quick start takes the endpoint and the bundle as its two arguments.
TEST_F(ExamplesTest, QuickstartCommitsItsStateOnRelease) {
  const ProgramRun result =
      run_program("quickstart", {dev.https_url(), dev.client_bundle_path(), "t/quickstart"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "acquired t/quickstart: lease ")) << result.output;
  EXPECT_TRUE(contains(result.output, "released: the state is committed")) << result.output;
  const auto state = committed("t/quickstart");
  EXPECT_EQ(state["greeting"], "hello from the quick start");
  EXPECT_EQ(state["count"], 1);
  EXPECT_EQ(dev.state("t/quickstart").version, 1);
}

TEST_F(ExamplesTest, QuickstartReportsTheServersErrorAndWritesNothing) {
  dev.add_fault(
      Fault::error("POST", "/v1/acquire", 409, "lease_held", "held by another owner").repeat(1));
  const ProgramRun result =
      run_program("quickstart", {dev.https_url(), dev.client_bundle_path(), "t/quickstart"});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_TRUE(contains(result.output, "quickstart: acquire failed")) << result.output;
  EXPECT_TRUE(contains(result.output, "[lease_held, HTTP 409]")) << result.output;
  EXPECT_FALSE(dev.state("t/quickstart").has_state);

  const ProgramRun usage = run_program("quickstart", {dev.https_url()});
  EXPECT_EQ(usage.exit_code, 2) << usage.output;
  EXPECT_TRUE(contains(usage.output, "usage: ")) << usage.output;
}

TEST_F(ExamplesTest, LeaseStateCommitsTheWriteOnRelease) {
  const ProgramRun result = run("lease_state", {"--key", "t/lease"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "keepalive: lease now ends at")) << result.output;
  EXPECT_TRUE(contains(result.output, "public read: version 1")) << result.output;
  const auto state = committed("t/lease");
  EXPECT_EQ(state["status"], "packing");
  EXPECT_EQ(state["items"], 3);
}

TEST_F(ExamplesTest, MappedRecordsRoundTripThroughTheServer) {
  const ProgramRun result = run("mapped_records", {"--key", "t/order"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "loaded order 1001 for Ackermann Hardware: 2 lines"))
      << result.output;
  const auto state = committed("t/order");
  EXPECT_EQ(state["paid"], true);
  EXPECT_EQ(state["total_cents"], 2200);
  ASSERT_EQ(state["lines"].size(), 2u);
  EXPECT_EQ(state["lines"][0]["quantity"], 50);
  EXPECT_FALSE(state.contains("tags")) << "an empty array is left out";
  // Two saves under one lease: the key's version moved twice and one release committed both.
  EXPECT_EQ(dev.state("t/order").version, 2);
}

TEST_F(ExamplesTest, QueueServiceHandlesEveryJobOnce) {
  const ProgramRun result =
      run("queue_service", {"--queue", "t-jobs", "--jobs", "12", "--reuse-connections"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "handled 12 of 12 jobs, 0 duplicate deliveries"))
      << result.output;
  EXPECT_EQ(successful_acks(), 12u);
}

TEST_F(ExamplesTest, CppConsumerLambdasCommitEveryResultUnderItsOwnLease) {
  const ProgramRun result = run("consumer_lambdas", {});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "6 jobs handled, 0 twice, every result committed"))
      << result.output;
  for (int i = 1; i <= 6; ++i) {
    const auto state = committed("cpp-results/job-" + std::to_string(i));
    EXPECT_EQ(state["status"], "done") << i;
  }
  EXPECT_EQ(successful_acks(), 6u);
}

TEST_F(ExamplesTest, CppLongWorkOutlivesItsLeaseTtlWithTheKeeper) {
  const ProgramRun result = run("long_work_lease", {});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "3s of work on a 1s lease, renewed ")) << result.output;
  EXPECT_FALSE(contains(result.output, "lost the lease")) << result.output;
  EXPECT_EQ(committed("cpp-reports/nightly")["status"], "complete");
  EXPECT_GE(dev.requests_to("POST", "/v1/keepalive").size(), 3u);
}

TEST_F(ExamplesTest, MutateLocalAppliesPlansOfflineAndUnderALease) {
  const ProgramRun result = run("mutate_local", {"--key", "t/shipment"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(
      result.output,
      R"(offline after:  {"sku":"BOLT-M8","stock":100,"reserved":8,"location":{"aisle":4,"shelf":"B"}})"))
      << result.output;
  const auto state = committed("t/shipment");
  EXPECT_EQ(state["count"], 2);
  EXPECT_EQ(state["status"], "shipped");
  EXPECT_FALSE(state.contains("draft"));
  EXPECT_EQ(state["shipped_at"], "2026-12-09T09:30:00Z");
  EXPECT_EQ(state["notes"], "fragile: keep upright");
  EXPECT_EQ(state["label"], "iVBORwD/");  // 89 'P' 'N' 'G' 00 ff, not UTF-8, so base64
}

TEST_F(ExamplesTest, QueryPagingVisitsEveryMatchOnce) {
  const ProgramRun result = run("query_paging", {"--parts", "23", "--reuse-connections"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  // 23 parts, 7 of them in bin 2: 16 matches, in pages of 5.
  EXPECT_TRUE(contains(result.output, "documents: 16 rows in 4 pages; keys: 16; expected 16"))
      << result.output;
  EXPECT_EQ(dev.requests_to("POST", "/v1/query").size(), 5u);
}

TEST_F(ExamplesTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  for (const auto &[program, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"stavo_demo", {"--orders", "0"}},
           {"stavo_demo", {"--workers", "1"}},
           {"stavo_demo", {"--log-level", "loud"}},
           {"queue_service", {"--jobs", "12x"}},
           {"lease_state", {"--key"}}}) {
    const ProgramRun result = run(program, args);
    EXPECT_EQ(result.exit_code, 2) << program << " " << args[0] << ": " << result.output;
    EXPECT_TRUE(contains(result.output, "usage: ")) << result.output;
  }
  EXPECT_TRUE(dev.requests().empty());
}

// The demo's pipeline on a small order count: every order counted once in the inventory keys,
// through pooled connections (the consumer service's workers included).
TEST_F(ExamplesTest, DemoPipelineCountsEveryOrderOnce) {
  const ProgramRun result =
      run("stavo_demo", {"--orders", "40", "--namespace", "t-demo", "--flaky-every", "3",
                         "--reuse-connections", "--visibility", "2", "--deadline", "120"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "demo ok: 40 orders, 40 messages acked")) << result.output;
  EXPECT_TRUE(contains(result.output, "rolled back; the service nacks it")) << result.output;
  EXPECT_TRUE(contains(result.output, "delivered again")) << result.output;
  EXPECT_FALSE(contains(result.output, " 0 watch events")) << result.output;

  static const char *const skus[] = {"BOLT-M8",   "NUT-M8",   "WASHER-8", "HINGE-40",
                                     "BRACKET-L", "SCREW-4X", "RIVET-5",  "CLAMP-25"};
  int64_t orders = 0, units = 0;
  for (const char *sku : skus) {
    const auto state = committed(std::string("inventory/") + sku, "t-demo");
    ASSERT_TRUE(state.is_object()) << sku;
    EXPECT_EQ(state["orders"].get<int64_t>(), static_cast<int64_t>(state["applied"].size()));
    EXPECT_EQ(state["stock"].get<int64_t>() + state["units_shipped"].get<int64_t>(), 100000);
    orders += state["orders"].get<int64_t>();
    units += state["units_shipped"].get<int64_t>();
  }
  EXPECT_EQ(orders, 40);
  EXPECT_TRUE(contains(result.output, std::to_string(units) + " units counted")) << result.output;

  // Every worker keeps a pool like the client it came from: far fewer connections than requests.
  // (nghttpx logs a request when its stream ends, so the watch streams cut by the client's
  // timeout may be missing; the ratio does not need them.)
  ASSERT_TRUE(dev.wait_for_access_log(dev.requests().size() / 2));
  const auto entries = dev.access_log();
  std::set<int> ports;
  for (const auto &entry : entries)
    ports.insert(entry.remote_port);
  EXPECT_LT(ports.size() * 4, entries.size())
      << ports.size() << " connections for " << entries.size() << " requests";
}

// An ack that fails after the order was committed: the message comes back, and the order is
// acknowledged without being counted a second time.
TEST_F(ExamplesTest, DemoSkipsAnOrderCommittedBeforeItsAckFailed) {
  dev.add_fault(Fault::error("POST", "/v1/queue/ack", 503, "unavailable", "ack lost").repeat(1));
  const ProgramRun result =
      run("stavo_demo", {"--orders", "10", "--namespace", "t-demo-dup", "--flaky-every", "1000",
                         "--reuse-connections", "--visibility", "2", "--deadline", "120"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "packed but not acknowledged")) << result.output;
  // One ack fails for certain; on a slow machine a delivery may also outlive its visibility
  // timeout and come back. Every such order is skipped, never counted twice.
  std::smatch summary;
  ASSERT_TRUE(std::regex_search(result.output, summary,
                                std::regex("demo ok: 10 orders, 10 messages acked, ([0-9]+) "
                                           "redeliveries, ([0-9]+) failed deliveries, ([0-9]+) "
                                           "duplicates skipped")))
      << result.output;
  EXPECT_GE(std::stoi(summary[1]), 1);
  EXPECT_GE(std::stoi(summary[2]), 1);
  EXPECT_GE(std::stoi(summary[3]), 1);
  int64_t orders = 0;
  for (const char *sku : {"BOLT-M8", "NUT-M8", "WASHER-8", "HINGE-40", "BRACKET-L", "SCREW-4X",
                          "RIVET-5", "CLAMP-25"}) {
    orders += committed(std::string("inventory/") + sku, "t-demo-dup")["orders"].get<int64_t>();
  }
  EXPECT_EQ(orders, 10);
}

// A query answer that disagrees with what was enqueued makes the demo fail.
TEST_F(ExamplesTest, DemoFailsWhenTheInventoryDisagrees) {
  dev.add_fault(Fault::respond(
      "POST", "/v1/query", 200,
      R"({"key":"inventory/BOLT-M8","version":3,"document":{"kind":"inventory","sku":"BOLT-M8",)"
      R"("stock":99999,"units_shipped":1,"orders":1,"applied":{"order-99999":true}}})"
      "\n",
      {{"Content-Type", "application/x-ndjson"}}));
  const ProgramRun result = run("stavo_demo", {"--orders", "10", "--namespace", "t-demo-bad",
                                               "--reuse-connections", "--deadline", "120"});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_TRUE(contains(result.output, "MISMATCH")) << result.output;
  EXPECT_TRUE(contains(result.output, "inventory totals disagree with the orders"))
      << result.output;
  EXPECT_TRUE(contains(result.output, "demo FAILED: 10 orders, 10 messages acked"))
      << result.output;
}

}  // namespace
