// stavoctl on queues (enqueue, dequeue, settling by reference, stats, watch, subscribe with and
// without --exec, stopping on SIGTERM) and the administrative commands (query, ns, index, txn,
// tc).
#include <signal.h>

#include <thread>

#include "stavoctl_runner.h"

namespace {

using stavoctl_test::describe;
using stavoctl_test::Outcome;
using stavoctl_test::Process;
using stavoctl_test::StavoctlTest;

class StavoctlQueue : public StavoctlTest {};

TEST_F(StavoctlQueue, EnqueueDequeueAndSettleByReference) {
  Outcome enqueued = ctl({"queue", "enqueue", "jobs", "build #1", "--content-type", "text/plain"});
  ASSERT_EQ(enqueued.exit_code, 0) << describe(enqueued);
  const std::string id = enqueued.json()["message_id"];
  EXPECT_EQ(enqueued.json()["payload_bytes"], 8);
  Outcome stats = ctl({"queue", "stats", "jobs"});
  ASSERT_EQ(stats.exit_code, 0) << describe(stats);
  EXPECT_EQ(stats.json()["available"], true);
  EXPECT_EQ(stats.json()["head_message_id"], id);
  EXPECT_EQ(stats.json()["messages"], 1);
  EXPECT_EQ(stats.json()["in_flight"], 0);
  EXPECT_EQ(stats.json()["dead_letters"], 0);

  Outcome first = ctl({"queue", "dequeue", "jobs", "--owner", "w1"});
  ASSERT_EQ(first.exit_code, 0) << describe(first);
  nlohmann::json message = first.json();
  EXPECT_EQ(message["message_id"], id);
  EXPECT_EQ(message["payload"], "build #1");
  EXPECT_EQ(message["payload_content_type"], "text/plain");
  EXPECT_EQ(message["attempts"], 1);
  Outcome empty = ctl({"queue", "dequeue", "jobs"});  // the only message is leased
  EXPECT_EQ(empty.exit_code, 2) << describe(empty);
  EXPECT_NE(empty.err.find("no message"), std::string::npos);

  auto reference = [&](std::vector<std::string> args) {
    std::vector<std::string> more = {
        "--message-id",    message["message_id"],
        "--lease-id",      message["lease_id"],
        "--meta-etag",     message["meta_etag"],
        "--fencing-token", std::to_string(message["fencing_token"].get<int64_t>())};
    args.insert(args.end(), more.begin(), more.end());
    return ctl(args);
  };
  Outcome extended = reference({"queue", "extend", "jobs", "--by", "90"});
  ASSERT_EQ(extended.exit_code, 0) << describe(extended);
  EXPECT_EQ(extended.json()["lease_expires_at_unix"], dev_.now_unix() + 90);
  // The old meta ETag is stale now: a conflict, with the server's reason.
  Outcome stale = reference({"queue", "nack", "jobs"});
  EXPECT_EQ(stale.exit_code, 3) << describe(stale);
  EXPECT_NE(stale.err.find("server_error=meta_etag_mismatch"), std::string::npos);
  message["meta_etag"] = extended.json()["meta_etag"];
  Outcome deferred =
      reference({"queue", "nack", "jobs", "--intent", "defer", "--last-error", R"({"why":"x"})"});
  ASSERT_EQ(deferred.exit_code, 0) << describe(deferred);
  EXPECT_EQ(deferred.json()["requeued"], true);

  Outcome again = ctl({"queue", "dequeue", "jobs", "--ack"});
  ASSERT_EQ(again.exit_code, 0) << describe(again);
  EXPECT_EQ(again.json()["acked"], true);
  EXPECT_EQ(again.json()["failure_attempts"], 0);  // a deferral is not a failure
  EXPECT_EQ(ctl({"queue", "stats", "jobs"}).json()["available"], false);

  // Binary payloads come out as base64; --output writes them raw.
  std::string binary("\xff\x00\x80", 3);
  ASSERT_EQ(ctl({"queue", "enqueue", "bin", "-"}, binary).exit_code, 0);
  Outcome coded = ctl({"queue", "dequeue", "bin"});
  ASSERT_EQ(coded.exit_code, 0) << describe(coded);
  EXPECT_EQ(coded.json()["payload_base64"], "/wCA");
  EXPECT_FALSE(coded.json().contains("payload"));
  ASSERT_EQ(ctl({"queue", "enqueue", "bin", "--file", path("none")}).exit_code, 6);
  ASSERT_EQ(ctl({"queue", "enqueue", "bin", "-"}, binary).exit_code, 0);
  Outcome raw = ctl({"queue", "dequeue", "bin", "--output", "-", "--ack"});
  ASSERT_EQ(raw.exit_code, 0) << describe(raw);
  EXPECT_EQ(raw.out, binary);
  EXPECT_NE(raw.err.find("\"acked\":true"), std::string::npos);

  // With state: the delivery's lease on its state document is part of the output.
  ASSERT_EQ(ctl({"queue", "enqueue", "stateful", "s"}).exit_code, 0);
  Outcome with_state = ctl({"queue", "dequeue", "stateful", "--with-state", "--ack"});
  ASSERT_EQ(with_state.exit_code, 0) << describe(with_state);
  const nlohmann::json delivery = with_state.json();
  EXPECT_EQ(delivery["state"]["key"],
            "q/stateful/state/" + delivery["message_id"].get<std::string>());
  EXPECT_FALSE(delivery["state"]["lease_id"].get<std::string>().empty());

  Outcome watched = ctl({"queue", "watch", "jobs", "--max", "1"});
  ASSERT_EQ(watched.exit_code, 0) << describe(watched);
  EXPECT_EQ(watched.json()["queue"], "jobs");
  EXPECT_EQ(watched.json()["available"], false);
}

TEST_F(StavoctlQueue, SettleByTheReceiptOfDequeueOrExtend) {
  ASSERT_EQ(ctl({"queue", "enqueue", "receipts", "one"}).exit_code, 0);
  Outcome taken = ctl({"queue", "dequeue", "receipts"});
  ASSERT_EQ(taken.exit_code, 0) << describe(taken);
  const std::string receipt = taken.json()["receipt"];
  ASSERT_FALSE(receipt.empty());

  // Extend by the receipt; its answer carries the receipt with the new meta ETag.
  Outcome extended = ctl({"queue", "extend", "--receipt", receipt, "--by", "60"});
  ASSERT_EQ(extended.exit_code, 0) << describe(extended);
  EXPECT_EQ(extended.json()["lease_expires_at_unix"], dev_.now_unix() + 60);
  const std::string renewed = extended.json()["receipt"];
  EXPECT_NE(renewed, receipt);
  Outcome stale = ctl({"queue", "nack", "--receipt", receipt});
  EXPECT_EQ(stale.exit_code, 3) << describe(stale);

  // Refusals before anything is sent.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"queue", "ack", "--receipt", "sr1.garbage!"}, "not a receipt printed by stavoctl"},
      {{"queue", "ack", "other", "--receipt", renewed}, "the receipt is for queue 'receipts'"},
      {{"queue", "ack", "--receipt", renewed, "--lease-id", "l"}, "--lease-id comes from"},
      {{"queue", "ack"}, "name the queue, or give --receipt or --from"},
  };
  for (const auto &[args, message] : refused) {
    Outcome run = ctl(args);
    EXPECT_EQ(run.exit_code, 1) << describe(run);
    EXPECT_NE(run.err.find(message), std::string::npos) << describe(run);
  }

  // Ack straight from extend's JSON on stdin.
  Outcome acked = ctl({"queue", "ack", "--from", "-"}, extended.out);
  ASSERT_EQ(acked.exit_code, 0) << describe(acked);
  EXPECT_EQ(acked.json()["acked"], true);
  EXPECT_EQ(ctl({"queue", "stats", "receipts"}).json()["messages"], 0);
}

TEST_F(StavoctlQueue, SubscribeRunsTheCommandPerMessageAndSettlesByItsExitStatus) {
  for (const char *payload : {"ok-1", "fail", "ok-2"}) {
    ASSERT_EQ(ctl({"queue", "enqueue", "work", payload}).exit_code, 0);
  }
  // The command stores what it saw and fails on the payload "fail".
  const std::string script =
      "cat > \"$OUT/$STAVO_MESSAGE_ID.payload\"; "
      "echo \"$STAVO_QUEUE $STAVO_ATTEMPTS $STAVO_LEASE_ID\" > \"$OUT/$STAVO_MESSAGE_ID.env\"; "
      "test \"$(cat \"$OUT/$STAVO_MESSAGE_ID.payload\")\" != fail";
  Outcome run =
      ctl({"queue", "subscribe", "work", "--exec", script, "--max", "3", "--nack-delay", "60"}, {},
          {"OUT=" + dir_});
  ASSERT_EQ(run.exit_code, 0) << describe(run);
  EXPECT_NE(run.err.find("command exited with status 1, nacked"), std::string::npos)
      << describe(run);
  std::vector<std::string> payloads;
  for (const auto &entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().extension() != ".payload") continue;
    payloads.push_back(read_file(entry.path().filename()));
    std::string env = read_file(entry.path().stem().string() + ".env");
    EXPECT_EQ(env.rfind("work 1 ", 0), 0u) << env;
  }
  std::sort(payloads.begin(), payloads.end());
  EXPECT_EQ(payloads, (std::vector<std::string>{"fail", "ok-1", "ok-2"}));
  // The two good ones were acked; the failed one comes back after its nack delay.
  EXPECT_EQ(ctl({"queue", "dequeue", "work"}).exit_code, 2);
  dev_.advance_clock(std::chrono::seconds(61));
  Outcome retried = ctl({"queue", "dequeue", "work"});
  ASSERT_EQ(retried.exit_code, 0) << describe(retried);
  EXPECT_EQ(retried.json()["payload"], "fail");
  EXPECT_EQ(retried.json()["failure_attempts"], 1);

  // A command that does not read its stdin still settles; the large payload is drained.
  ASSERT_EQ(ctl({"queue", "enqueue", "big", "-"}, std::string(300000, 'p')).exit_code, 0);
  Outcome ignoring = ctl({"queue", "subscribe", "big", "--exec", "exit 0", "--max", "1"});
  ASSERT_EQ(ignoring.exit_code, 0) << describe(ignoring);
  EXPECT_EQ(ctl({"queue", "stats", "big"}).json()["available"], false);
}

TEST_F(StavoctlQueue, SubscribePrintsMessagesAndStopsCleanlyOnSigterm) {
  ASSERT_EQ(ctl({"queue", "enqueue", "feed", "one"}).exit_code, 0);
  ASSERT_EQ(ctl({"queue", "enqueue", "feed", "two"}).exit_code, 0);
  Outcome printed = ctl({"queue", "subscribe", "feed", "--max", "2"});
  ASSERT_EQ(printed.exit_code, 0) << describe(printed);
  std::istringstream lines(printed.out);
  std::vector<std::string> payloads;
  for (std::string line; std::getline(lines, line);) {
    payloads.push_back(nlohmann::json::parse(line)["payload"]);
  }
  EXPECT_EQ(payloads, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(ctl({"queue", "dequeue", "feed"}).exit_code, 2);  // both acked

  // Waiting on an empty queue, SIGTERM ends the program at once with status 0.
  std::vector<std::string> args = connection();
  for (const char *word : {"queue", "subscribe", "feed"})
    args.push_back(word);
  Process waiting(args);
  bool subscribed = false;
  for (int tries = 0; tries < 200 && !subscribed; ++tries) {
    subscribed = ctl({"queue", "stats", "feed"}).json()["waiting_consumers"] == 1;
    if (!subscribed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(subscribed);
  waiting.send_signal(SIGTERM);
  Outcome stopped = waiting.finish({}, std::chrono::seconds(30));
  EXPECT_EQ(stopped.exit_code, 0) << describe(stopped);
  EXPECT_EQ(stopped.out, "");

  // A signal while a message is handled lets that message finish and be acked, then stops.
  ASSERT_EQ(ctl({"queue", "enqueue", "feed", "first"}).exit_code, 0);
  ASSERT_EQ(ctl({"queue", "enqueue", "feed", "second"}).exit_code, 0);
  const std::string script =
      "cat > \"$OUT/$STAVO_MESSAGE_ID\"; touch \"$OUT/started\"; "
      "while [ ! -e \"$OUT/go\" ]; do sleep 0.05; done";
  args.insert(args.end(), {"--exec", script});
  Process busy(args, {"OUT=" + dir_});
  bool started = false;
  for (int tries = 0; tries < 400 && !started; ++tries) {
    started = std::filesystem::exists(path("started"));
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(started);
  busy.send_signal(SIGTERM);
  write_file("go", "");
  Outcome finished = busy.finish({}, std::chrono::seconds(30));
  EXPECT_EQ(finished.exit_code, 0) << describe(finished);
  size_t handled = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().filename().string().starts_with("m")) ++handled;
  }
  EXPECT_EQ(handled, 1u);
  // The first was acked; the second is still there (once any delivery of it has run out).
  dev_.advance_clock(std::chrono::seconds(31));
  Outcome left = ctl({"queue", "dequeue", "feed", "--ack"});
  ASSERT_EQ(left.exit_code, 0) << describe(left);
  EXPECT_EQ(left.json()["payload"], "second");
  EXPECT_EQ(ctl({"queue", "dequeue", "feed"}).exit_code, 2);
}

class StavoctlAdmin : public StavoctlTest {};

TEST_F(StavoctlAdmin, QueryNamespaceIndexTransactionsAndCoordinator) {
  dev_.seed_state("a", R"({"status":"open","n":1})");
  dev_.seed_state("b", R"({"status":"open","n":2})");
  dev_.seed_state("c", R"({"status":"closed"})");
  Outcome docs = ctl({"query", R"({"/status":"open"})"});
  ASSERT_EQ(docs.exit_code, 0) << describe(docs);
  std::istringstream lines(docs.out);
  std::vector<std::string> keys;
  for (std::string line; std::getline(lines, line);)
    keys.push_back(nlohmann::json::parse(line)["key"]);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
  Outcome page = ctl({"query", R"({"/status":"open"})", "--keys", "--limit", "1"});
  ASSERT_EQ(page.exit_code, 0) << describe(page);
  EXPECT_EQ(page.out, "a\n");
  EXPECT_NE(page.err.find("more results: --cursor "), std::string::npos);
  Outcome all = ctl({"query", R"({"/status":"open"})", "--keys", "--limit", "1", "--all"});
  EXPECT_EQ(all.out, "a\nb\n") << describe(all);

  Outcome ns = ctl({"ns", "set", "--preferred", "scan"});
  ASSERT_EQ(ns.exit_code, 0) << describe(ns);
  EXPECT_EQ(ns.json()["preferred_engine"], "scan");
  EXPECT_EQ(ctl({"ns", "get", "default"}).json()["preferred_engine"], "scan");
  Outcome flushed = ctl({"index", "flush", "--mode", "sync"});
  ASSERT_EQ(flushed.exit_code, 0) << describe(flushed);
  EXPECT_EQ(flushed.json()["accepted"], true);

  Outcome unknown = ctl({"txn", "replay", "t-1"});
  EXPECT_EQ(unknown.exit_code, 3) << describe(unknown);
  EXPECT_NE(unknown.err.find("server_error=txn_unknown"), std::string::npos);
  Outcome prepared = ctl({"txn", "prepare", "t-1", "--participant", "default/a"});
  ASSERT_EQ(prepared.exit_code, 0) << describe(prepared);
  EXPECT_EQ(prepared.json()["state"], "prepare");
  Outcome committed = ctl({"txn", "commit", "t-1", "--participant", "a"});
  ASSERT_EQ(committed.exit_code, 0) << describe(committed);
  EXPECT_EQ(committed.json()["keys"], 0);  // nothing was leased under t-1
  Outcome replayed = ctl({"txn", "replay", "t-1"});
  EXPECT_EQ(replayed.json()["state"], "commit");
  EXPECT_EQ(replayed.json()["participants"],
            nlohmann::json::parse(R"([{"namespace":"default","key":"a","backend_hash":null}])"));
  ASSERT_EQ(ctl({"txn", "prepare", "t-2", "--participant", "b@hash-1"}).exit_code, 0);
  Outcome rolled = ctl({"txn", "rollback", "t-2", "--participant", "b@hash-1"});
  ASSERT_EQ(rolled.exit_code, 0) << describe(rolled);
  EXPECT_EQ(rolled.json()["state"], "rollback");

  Outcome granted = ctl({"tc", "lease-acquire", "--candidate-id", "n1", "--candidate-endpoint",
                         "https://n1:9341", "--term", "1", "--ttl-ms", "5000"});
  ASSERT_EQ(granted.exit_code, 0) << describe(granted);
  EXPECT_EQ(granted.json()["granted"], true);
  EXPECT_EQ(ctl({"tc", "leader"}).json()["leader_id"], "n1");
  EXPECT_EQ(ctl({"tc", "lease-renew", "--leader-id", "n1", "--term", "1", "--ttl-ms", "5000"})
                .json()["granted"],
            true);
  Outcome released = ctl({"tc", "lease-release", "--leader-id", "n1", "--term", "1"});
  EXPECT_EQ(released.json()["released"], true);
  EXPECT_EQ(released.json()["term"], 1);
  EXPECT_EQ(ctl({"tc", "cluster-announce", "https://n1:9341"}).json()["endpoints"],
            nlohmann::json::array({"https://n1:9341"}));
  EXPECT_EQ(ctl({"tc", "cluster-list"}).json()["endpoints"].size(), 1u);
  Outcome not_member = ctl({"tc", "cluster-leave"});
  ASSERT_EQ(not_member.exit_code, 0) << describe(not_member);
  EXPECT_EQ(not_member.json()["left"], false);  // the dev server is not https://n1:9341
  Outcome left = ctl({"tc", "cluster-leave", "https://n1:9341"});
  ASSERT_EQ(left.exit_code, 0) << describe(left);
  EXPECT_EQ(left.json()["left"], true);
  EXPECT_TRUE(left.json()["endpoints"].empty());
  EXPECT_EQ(ctl({"tc", "rm-register", "h1", "https://rm1"}).json()["endpoints"],
            nlohmann::json::array({"https://rm1"}));
  Outcome backends = ctl({"tc", "rm-list"});
  ASSERT_EQ(backends.exit_code, 0) << describe(backends);
  EXPECT_EQ(backends.json()["backends"][0]["backend_hash"], "h1");
  EXPECT_TRUE(ctl({"tc", "rm-unregister", "h1", "https://rm1"}).json()["endpoints"].empty());
}

}  // namespace
