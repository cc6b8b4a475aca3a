// stavoctl on keys: leases, state writes that acquire and release around themselves (and roll
// back when they fail), writes under a held lease, and attachments.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "stavoctl_runner.h"

namespace {

using stavoctl_test::describe;
using stavoctl_test::Outcome;
using stavoctl_test::run_stavoctl;
using stavoctl_test::StavoctlTest;

class StavoctlKeys : public StavoctlTest {};

TEST_F(StavoctlKeys, LeaseLifecycleWithWritesStagedUnderIt) {
  Outcome acquired = ctl({"lease", "acquire", "orders/1", "--owner", "alice", "--ttl", "60"});
  ASSERT_EQ(acquired.exit_code, 0) << describe(acquired);
  auto lease = acquired.json();
  const std::string lease_id = lease["lease_id"];
  const std::string token = std::to_string(lease["fencing_token"].get<int64_t>());
  EXPECT_EQ(lease["owner"], "alice");
  EXPECT_EQ(lease["key"], "orders/1");
  ASSERT_TRUE(dev_.state("orders/1").lease.has_value());  // still held after the program ended
  const std::vector<std::string> held = {"--lease-id", lease_id, "--fencing-token", token};
  auto with_lease = [&](std::vector<std::string> args) {
    args.insert(args.end(), held.begin(), held.end());
    return ctl(args);
  };

  Outcome staged = with_lease({"state", "put", "orders/1", R"({"status":"open"})"});
  ASSERT_EQ(staged.exit_code, 0) << describe(staged);
  EXPECT_EQ(staged.json()["committed"], false);
  EXPECT_FALSE(dev_.state("orders/1").has_state);  // staged until the release
  Outcome read_staged = with_lease({"state", "get", "orders/1"});
  EXPECT_EQ(read_staged.exit_code, 0) << describe(read_staged);
  EXPECT_EQ(read_staged.out, R"({"status":"open"})");
  Outcome read_public = ctl({"state", "get", "orders/1"});
  EXPECT_EQ(read_public.exit_code, 2) << describe(read_public);

  Outcome kept = with_lease({"lease", "keepalive", "orders/1", "--ttl", "2m"});
  ASSERT_EQ(kept.exit_code, 0) << describe(kept);
  EXPECT_EQ(kept.json()["expires_at_unix"], dev_.now_unix() + 120);
  Outcome described = ctl({"lease", "describe", "orders/1"});
  ASSERT_EQ(described.exit_code, 0) << describe(described);
  EXPECT_EQ(described.json()["owner"], "alice");
  EXPECT_EQ(described.json()["lease_id"], lease_id);

  Outcome released = with_lease({"lease", "release", "orders/1"});
  ASSERT_EQ(released.exit_code, 0) << describe(released);
  EXPECT_EQ(released.json()["released"], true);
  EXPECT_EQ(dev_.state("orders/1").state, R"({"status":"open"})");
  EXPECT_FALSE(dev_.state("orders/1").lease.has_value());
  Outcome stale = with_lease({"lease", "keepalive", "orders/1"});
  EXPECT_EQ(stale.exit_code, 3) << describe(stale);

  // A rolled-back release discards what was staged.
  Outcome again = ctl({"lease", "acquire", "orders/1"});
  ASSERT_EQ(again.exit_code, 0);
  std::vector<std::string> second = {"--lease-id", again.json()["lease_id"], "--fencing-token",
                                     std::to_string(again.json()["fencing_token"].get<int64_t>())};
  std::vector<std::string> put = {"state", "put", "orders/1", R"({"status":"gone"})"};
  put.insert(put.end(), second.begin(), second.end());
  ASSERT_EQ(ctl(put).exit_code, 0);
  std::vector<std::string> rollback = {"lease", "release", "orders/1", "--rollback"};
  rollback.insert(rollback.end(), second.begin(), second.end());
  Outcome rolled = ctl(rollback);
  ASSERT_EQ(rolled.exit_code, 0) << describe(rolled);
  EXPECT_EQ(dev_.state("orders/1").state, R"({"status":"open"})");
}

TEST_F(StavoctlKeys, StateWritesAcquireWriteAndReleaseInOneCommand) {
  Outcome put = ctl({"state", "put", "cfg", R"({"replicas":2})"});
  ASSERT_EQ(put.exit_code, 0) << describe(put);
  EXPECT_EQ(put.json()["version"], dev_.state("cfg").version);
  EXPECT_EQ(put.json()["state_etag"], dev_.state("cfg").state_etag);
  EXPECT_FALSE(dev_.state("cfg").lease.has_value());
  Outcome got = ctl({"state", "get", "cfg"});
  EXPECT_EQ(got.out, R"({"replicas":2})");  // raw, exactly as stored

  // From a file and from stdin.
  write_file("cfg.json", R"({"replicas":3,"zone":"b"})");
  ASSERT_EQ(ctl({"state", "put", "cfg", "--file", path("cfg.json")}).exit_code, 0);
  EXPECT_EQ(dev_.state("cfg").state, R"({"replicas":3,"zone":"b"})");
  std::string big = "{\"blob\":\"" + std::string(200000, 'x') + "\"}";
  Outcome piped = ctl({"state", "put", "cfg", "-"}, big);
  ASSERT_EQ(piped.exit_code, 0) << describe(piped);
  EXPECT_EQ(dev_.state("cfg").state, big);
  ASSERT_EQ(ctl({"state", "get", "cfg", "--output", path("out.json")}).exit_code, 0);
  EXPECT_EQ(read_file("out.json"), big);

  // A failed precondition: nothing changes and the lease acquired for the write is given back.
  const int64_t version = dev_.state("cfg").version;
  Outcome refused = ctl({"state", "put", "cfg", "{}", "--if-version", "999"});
  EXPECT_EQ(refused.exit_code, 3) << describe(refused);
  EXPECT_EQ(dev_.state("cfg").state, big);
  EXPECT_EQ(dev_.state("cfg").version, version);
  EXPECT_FALSE(dev_.state("cfg").lease.has_value());

  // Server-side and local mutation.
  ASSERT_EQ(ctl({"state", "put", "cfg", R"({"replicas":3})"}).exit_code, 0);
  Outcome mutated = ctl({"state", "mutate", "cfg", "/replicas++", "/zone=c"});
  ASSERT_EQ(mutated.exit_code, 0) << describe(mutated);
  EXPECT_EQ(nlohmann::json::parse(dev_.state("cfg").state),
            nlohmann::json::parse(R"({"replicas":4,"zone":"c"})"));
  write_file("note.txt", "hello");
  Outcome local =
      ctl({"state", "mutate-local", "cfg", "rm:/zone", "file:/note=note.txt", "--base-dir", dir_});
  ASSERT_EQ(local.exit_code, 0) << describe(local);
  EXPECT_EQ(nlohmann::json::parse(dev_.state("cfg").state),
            nlohmann::json::parse(R"({"replicas":4,"note":"hello"})"));
  EXPECT_FALSE(dev_.state("cfg").lease.has_value());
  Outcome bad_expression = ctl({"state", "mutate-local", "cfg", "/a/*/b=1"});
  EXPECT_EQ(bad_expression.exit_code, 1) << describe(bad_expression);
  EXPECT_FALSE(dev_.state("cfg").lease.has_value());

  Outcome removed = ctl({"state", "remove", "cfg"});
  ASSERT_EQ(removed.exit_code, 0) << describe(removed);
  EXPECT_EQ(removed.json()["removed"], true);
  Outcome gone = ctl({"state", "get", "cfg"});
  EXPECT_EQ(gone.exit_code, 2);
  EXPECT_NE(gone.err.find("has no state"), std::string::npos);
}

// Runs stavoctl with stdout on a new pseudo-terminal and returns what the terminal received.
std::string run_on_terminal(const std::vector<std::string> &args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "<no pty>";
  const std::string slave_path = ptsname(master);
  // The parent holds the slave open too, so the output stays readable after the child exits.
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> all = {STAVOCTL_PROGRAM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &arg : all)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, STAVOCTL_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  std::string out;
  if (spawned == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    pollfd ready{master, POLLIN, 0};
    char buffer[4096];
    while (poll(&ready, 1, 200) > 0) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
  }
  close(slave);
  close(master);
  return out;
}

TEST_F(StavoctlKeys, RawStateEndsWithANewlineOnATerminalOnly) {
  ASSERT_EQ(ctl({"state", "put", "k", R"({"a":1})"}).exit_code, 0);
  Outcome piped = ctl({"state", "get", "k"});
  ASSERT_EQ(piped.exit_code, 0) << describe(piped);
  EXPECT_EQ(piped.out, R"({"a":1})") << "piped bytes stay exactly as stored";
  std::vector<std::string> args = connection();
  args.insert(args.end(), {"state", "get", "k"});
  EXPECT_EQ(run_on_terminal(args), "{\"a\":1}\r\n") << "the terminal's prompt starts on a new line";
}

TEST_F(StavoctlKeys, SeparateCertificateFilesAndTrustingOnlyTheGivenCa) {
  const auto &certs = dev_.certs();
  Outcome put = run_stavoctl({"--endpoint", dev_.https_url(), "--cert", certs.client_cert(),
                              "--key", certs.client_key(), "--ca", dev_.ca_path(), "--ca-only",
                              "state", "put", "files", R"({"n":1})"});
  ASSERT_EQ(put.exit_code, 0) << describe(put);
  EXPECT_EQ(dev_.state("files").state, R"({"n":1})");
  // --insecure keeps a given identity and skips verifying the server: a CA that signed nothing
  // of the server's is then no obstacle.
  Outcome unverified = run_stavoctl({"--endpoint", dev_.https_url(), "--cert", certs.client_cert(),
                                     "--key", certs.client_key(), "--ca", certs.client_cert(),
                                     "--ca-only", "--insecure", "state", "get", "files"});
  EXPECT_EQ(unverified.exit_code, 0) << describe(unverified);
  EXPECT_EQ(unverified.out, R"({"n":1})");
  Outcome verified = run_stavoctl({"--endpoint", dev_.https_url(), "--cert", certs.client_cert(),
                                   "--key", certs.client_key(), "--ca", certs.client_cert(),
                                   "--ca-only", "state", "get", "files"});
  EXPECT_EQ(verified.exit_code, 4) << describe(verified);
}

TEST_F(StavoctlKeys, KeepaliveEveryRenewsUntilSignalled) {
  Outcome acquired = ctl({"lease", "acquire", "kept", "--ttl", "10"});
  ASSERT_EQ(acquired.exit_code, 0) << describe(acquired);
  const std::string lease_id = acquired.json()["lease_id"];
  const std::string token = std::to_string(acquired.json()["fencing_token"].get<int64_t>());
  std::vector<std::string> args = connection();
  args.insert(args.end(), {"lease", "keepalive", "kept", "--lease-id", lease_id, "--fencing-token",
                           token, "--ttl", "60", "--every", "1s"});
  stavoctl_test::Process kept(args);
  size_t renewals = 0;
  for (int tries = 0; tries < 300 && renewals < 2; ++tries) {
    renewals = dev_.requests_to("POST", "/v1/keepalive").size();
    if (renewals < 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(renewals, 2u) << "renewed again after the pause";
  kept.send_signal(SIGTERM);
  Outcome stopped = kept.finish({}, std::chrono::seconds(30));
  EXPECT_EQ(stopped.exit_code, 0) << describe(stopped);
  std::istringstream lines(stopped.out);
  size_t printed = 0;
  for (std::string line; std::getline(lines, line); ++printed) {
    EXPECT_EQ(nlohmann::json::parse(line)["lease_id"], lease_id);
  }
  EXPECT_GE(printed, 2u);
  ASSERT_TRUE(dev_.state("kept").lease.has_value());
  EXPECT_EQ(dev_.state("kept").lease->expires_at_ms, (dev_.now_unix() + 60) * 1000);

  Outcome zero = ctl({"lease", "keepalive", "kept", "--lease-id", lease_id, "--every", "0"});
  EXPECT_EQ(zero.exit_code, 1) << describe(zero);
  EXPECT_NE(zero.err.find("--every must be at least 1s"), std::string::npos);
}

TEST_F(StavoctlKeys, AttachmentsPutListGetDelete) {
  ASSERT_EQ(ctl({"attach", "put", "doc", "readme.txt", "hello"}).exit_code, 0);
  std::string binary("\x00\x01\xfe\xff\r\n", 6);
  Outcome stored =
      ctl({"attach", "put", "doc", "blob.bin", "-", "--content-type", "image/x-test"}, binary);
  ASSERT_EQ(stored.exit_code, 0) << describe(stored);
  EXPECT_EQ(stored.json()["size"], 6);
  EXPECT_EQ(stored.json()["content_type"], "image/x-test");
  EXPECT_FALSE(dev_.state("doc").lease.has_value());

  Outcome listed = ctl({"attach", "list", "doc"});
  ASSERT_EQ(listed.exit_code, 0) << describe(listed);
  const nlohmann::json list = listed.json();
  std::set<std::string> names;
  for (const auto &item : list["attachments"])
    names.insert(item["name"].get<std::string>());
  EXPECT_EQ(names, (std::set<std::string>{"readme.txt", "blob.bin"}));

  Outcome fetched = ctl({"attach", "get", "doc", "blob.bin"});
  ASSERT_EQ(fetched.exit_code, 0) << describe(fetched);
  EXPECT_EQ(fetched.out, binary);
  const std::string id = stored.json()["id"];
  ASSERT_EQ(ctl({"attach", "get", "doc", "--id", id, "--output", path("b.bin")}).exit_code, 0);
  EXPECT_EQ(read_file("b.bin"), binary);
  Outcome missing = ctl({"attach", "get", "doc", "nope.txt"});
  EXPECT_EQ(missing.exit_code, 2) << describe(missing);
  EXPECT_NE(missing.err.find("server_error=attachment_not_found"), std::string::npos);

  Outcome overwrite = ctl({"attach", "put", "doc", "readme.txt", "changed", "--no-overwrite"});
  EXPECT_EQ(overwrite.exit_code, 3) << describe(overwrite);
  Outcome deleted = ctl({"attach", "delete", "doc", "readme.txt"});
  ASSERT_EQ(deleted.exit_code, 0) << describe(deleted);
  EXPECT_EQ(deleted.json()["deleted"], true);
  EXPECT_EQ(ctl({"attach", "delete", "doc", "readme.txt"}).json()["deleted"], false);
  Outcome all = ctl({"attach", "delete", "doc", "--all"});
  ASSERT_EQ(all.exit_code, 0) << describe(all);
  EXPECT_EQ(all.json()["deleted_count"], 1);
  EXPECT_TRUE(ctl({"attach", "list", "doc"}).json()["attachments"].empty());
}

}  // namespace
