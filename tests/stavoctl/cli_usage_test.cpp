// stavoctl's command line: usage errors and help, the config file and its precedence, and how
// failures of the connection and the server map to messages and exit statuses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>

#include <brindle_core.h>
#include <stavoc.h>

#include "stavoctl_runner.h"
#include "support/scratch.h"

namespace {

using stavo::test::DevServer;
using stavo::test::Fault;
using stavoctl_test::describe;
using stavoctl_test::Outcome;
using stavoctl_test::run_stavoctl;
using stavoctl_test::StavoctlTest;

class StavoctlUsage : public StavoctlTest {};

TEST_F(StavoctlUsage, BadArgumentsExitOneWithAMessageAndSendNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"lease", "frob", "k"}, "unknown subcommand 'frob' of 'lease'"},
      {{"lease"}, "'lease' needs a subcommand"},
      {{"lease", "acquire"}, "usage: stavoctl lease acquire KEY"},
      {{"lease", "acquire", "a", "b"}, "usage: stavoctl lease acquire KEY"},
      {{"lease", "acquire", "k", "--bogus"}, "unknown option '--bogus'"},
      {{"lease", "acquire", "k", "--ttl"}, "--ttl needs a value"},
      {{"lease", "acquire", "k", "--ttl", "soon"}, "--ttl expects a duration"},
      {{"lease", "acquire", "k", "--if-not-exists=yes"}, "--if-not-exists takes no value"},
      {{"lease", "keepalive", "k"}, "--lease-id is required"},
      {{"state", "put", "k"}, "missing value"},
      {{"state", "put", "k", "{}", "--file", "x.json"}, "either as an argument or with --file"},
      {{"state", "put", "k", "{}", "--fencing-token", "3"}, "--fencing-token needs --lease-id"},
      {{"attach", "get", "k"}, "name the attachment"},
      {{"attach", "delete", "k", "a", "--all"}, "--all deletes every attachment"},
      {{"queue", "enqueue", "q", "x", "--max-attempts", "4294967296"}, "32-bit integer"},
      {{"queue", "nack", "q", "--message-id", "m", "--lease-id", "l", "--meta-etag", "e",
        "--intent", "maybe"},
       "--intent expects failure or defer"},
      {{"queue", "nack", "q", "--message-id", "m", "--lease-id", "l", "--meta-etag", "e",
        "--last-error", "{oops"},
       "--last-error is not valid JSON"},
      {{"query", "{\"/a\":"}, "the selector is not valid JSON"},
      {{"ns", "set"}, "needs --preferred and/or --fallback"},
      {{"queue", "subscribe", "q", "--max", "-1"}, "--max must not be negative"},
      {{"--cert", "client.pem", "lease", "describe", "k"}, "--cert and --key go together"},
  };
  for (const Case &c : cases) {
    Outcome run = ctl(c.args);
    EXPECT_EQ(run.exit_code, 1) << describe(run);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << describe(run);
    EXPECT_EQ(run.out, "") << describe(run);
  }
  // Connection settings are checked before anything is sent.
  Outcome no_endpoint = run_stavoctl({"lease", "describe", "k"});
  EXPECT_EQ(no_endpoint.exit_code, 1);
  EXPECT_NE(no_endpoint.err.find("no endpoint"), std::string::npos) << describe(no_endpoint);
  Outcome no_bundle = run_stavoctl({"--endpoint", dev_.https_url(), "lease", "describe", "k"});
  EXPECT_EQ(no_bundle.exit_code, 1);
  EXPECT_NE(no_bundle.err.find("--bundle"), std::string::npos) << describe(no_bundle);
  Outcome plain = run_stavoctl({"--endpoint", dev_.http_url(), "--bundle",
                                dev_.client_bundle_path(), "lease", "describe", "k"});
  EXPECT_EQ(plain.exit_code, 1);
  EXPECT_NE(plain.err.find("needs --insecure"), std::string::npos) << describe(plain);
  Outcome level = ctl({"--log-level", "loud", "lease", "describe", "k"});
  EXPECT_EQ(level.exit_code, 1);
  EXPECT_TRUE(dev_.requests().empty());
}

TEST(StavoctlHelp, WorksOnEveryLevelAndForEveryCommand) {
  Outcome none = run_stavoctl({});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("usage: stavoctl"), std::string::npos);

  Outcome top = run_stavoctl({"--help"});
  ASSERT_EQ(top.exit_code, 0) << describe(top);
  EXPECT_NE(top.out.find("--endpoint URL"), std::string::npos);
  EXPECT_NE(top.out.find("6 local I/O"), std::string::npos);

  // Every "family sub|sub|..." line of the overview has working help for each subcommand.
  std::regex line(R"(^  (\w+) +([a-z-]+(\|[a-z-]+)+)$)");
  size_t commands = 0;
  std::istringstream lines(top.out);
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    if (!std::regex_match(text, match, line)) continue;
    std::string family = match[1];
    Outcome family_help = run_stavoctl({family, "--help"});
    EXPECT_EQ(family_help.exit_code, 0) << family;
    std::istringstream subs(match[2].str());
    for (std::string sub; std::getline(subs, sub, '|');) {
      Outcome help = run_stavoctl({family, sub, "--help"});
      EXPECT_EQ(help.exit_code, 0) << family << " " << sub << describe(help);
      EXPECT_NE(help.out.find("usage: stavoctl " + family + " " + sub), std::string::npos)
          << describe(help);
      EXPECT_NE(family_help.out.find("  " + sub + " "), std::string::npos) << family << sub;
      ++commands;
    }
  }
  EXPECT_GE(commands, 30u);  // lease 4, state 5, attach 4, queue 8, ns 2, index 1, txn 4, tc 10
  Outcome subscribe = run_stavoctl({"queue", "subscribe", "-h"});
  EXPECT_NE(subscribe.out.find("STAVO_MESSAGE_ID"), std::string::npos);
  EXPECT_NE(subscribe.out.find("--exec CMD"), std::string::npos);
}

TEST_F(StavoctlUsage, ConfigFileSuppliesOptionsAndTheCommandLineOverridesThem) {
  write_file("stavoctl.conf", "# connection\nendpoint = " + dev_.https_url() + "\nbundle = \"" +
                                  dev_.client_bundle_path() +
                                  "\"\n\nnamespace = from-config\ntimeout = 20s\n");
  Outcome from_config =
      run_stavoctl({"--config", path("stavoctl.conf"), "state", "put", "k", R"({"n":1})"});
  ASSERT_EQ(from_config.exit_code, 0) << describe(from_config);
  EXPECT_TRUE(dev_.state("k", "from-config").has_state);
  EXPECT_FALSE(dev_.state("k", "default").has_state);

  Outcome overridden = run_stavoctl({"--config", path("stavoctl.conf"), "state", "put", "k",
                                     R"({"n":2})", "--namespace", "from-cli"});
  ASSERT_EQ(overridden.exit_code, 0) << describe(overridden);
  EXPECT_EQ(dev_.state("k", "from-cli").state, R"({"n":2})");
  EXPECT_EQ(dev_.state("k", "from-config").state, R"({"n":1})");

  // Endpoints given on the command line replace the file's: the file's unreachable one is not
  // tried, so its failure cannot show.
  write_file("dead.conf",
             "endpoint = https://127.0.0.1:1\nbundle = " + dev_.client_bundle_path() + "\n");
  Outcome replaced = run_stavoctl({"--config", path("dead.conf"), "--endpoint", dev_.https_url(),
                                   "--log-level", "trace", "lease", "describe", "k"});
  EXPECT_EQ(replaced.exit_code, 2) << describe(replaced);  // "k" is unknown in "default"
  EXPECT_NE(replaced.err.find(dev_.https_url()), std::string::npos) << describe(replaced);
  EXPECT_EQ(replaced.err.find("127.0.0.1:1"), std::string::npos) << describe(replaced);

  write_file("bad.conf", "endpoint = " + dev_.https_url() + "\ncolour = blue\n");
  Outcome bad = run_stavoctl({"--config", path("bad.conf"), "lease", "describe", "k"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("bad.conf:2: unknown setting 'colour'"), std::string::npos)
      << describe(bad);
  Outcome missing = run_stavoctl({"--config", path("none.conf"), "lease", "describe", "k"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("cannot read config file"), std::string::npos);
}

TEST_F(StavoctlUsage, TheEnvironmentComesBetweenTheConfigFilesAndTheCommandLine) {
  // The default file: $XDG_CONFIG_HOME/stavo/stavoctl.conf, else ~/.config/stavo/stavoctl.conf.
  std::filesystem::create_directories(path("home/.config/stavo"));
  write_file("home/.config/stavo/stavoctl.conf",
             "endpoint = https://127.0.0.1:1\nbundle = " + dev_.client_bundle_path() +
                 "\nnamespace = from-default-file\n");
  const std::string home = "HOME=" + path("home");
  Outcome unreachable = run_stavoctl({"lease", "describe", "k"}, "", {home});
  EXPECT_EQ(unreachable.exit_code, 4) << describe(unreachable);  // the file's endpoint was used

  // STAVO_ENDPOINT (a failover list) and STAVO_NAMESPACE replace the file's settings.
  const std::string endpoints = "STAVO_ENDPOINT=https://127.0.0.1:1, " + dev_.https_url();
  Outcome from_env = run_stavoctl({"state", "put", "k", R"({"n":1})"}, "",
                                  {home, endpoints, "STAVO_NAMESPACE=from-env"});
  ASSERT_EQ(from_env.exit_code, 0) << describe(from_env);
  EXPECT_TRUE(dev_.state("k", "from-env").has_state);
  EXPECT_FALSE(dev_.state("k", "from-default-file").has_state);

  // The command line replaces the environment, and STAVO_BUNDLE names the bundle.
  Outcome from_cli =
      run_stavoctl({"state", "put", "k", R"({"n":2})", "--namespace", "from-cli"}, "",
                   {"HOME=" + path("nowhere"), "STAVO_ENDPOINT=" + dev_.https_url(),
                    "STAVO_BUNDLE=" + dev_.client_bundle_path(), "STAVO_NAMESPACE=from-env"});
  ASSERT_EQ(from_cli.exit_code, 0) << describe(from_cli);
  EXPECT_EQ(dev_.state("k", "from-cli").state, R"({"n":2})");
  EXPECT_EQ(dev_.state("k", "from-env").state, R"({"n":1})");

  // XDG_CONFIG_HOME wins over HOME, and a file given with --config replaces the default one.
  std::filesystem::create_directories(path("xdg/stavo"));
  write_file("xdg/stavo/stavoctl.conf", "colour = blue\n");
  Outcome xdg =
      run_stavoctl({"lease", "describe", "k"}, "", {home, "XDG_CONFIG_HOME=" + path("xdg")});
  EXPECT_EQ(xdg.exit_code, 1) << describe(xdg);
  EXPECT_NE(xdg.err.find("stavoctl.conf:1: unknown setting 'colour'"), std::string::npos)
      << describe(xdg);
  write_file("given.conf",
             "endpoint = " + dev_.https_url() + "\nbundle = " + dev_.client_bundle_path() + "\n");
  Outcome given = run_stavoctl({"--config", path("given.conf"), "state", "get", "k"}, "",
                               {"XDG_CONFIG_HOME=" + path("xdg")});
  EXPECT_EQ(given.exit_code, 2) << describe(given);  // no "k" in "default": the file was skipped
}

// The completion script, sourced into bash, offers commands, subcommands and options by
// position and leaves option values to file-name completion.
TEST(StavoctlCompletion, BashOffersCommandsSubcommandsAndOptions) {
  Outcome generated = run_stavoctl({"completion", "bash"});
  ASSERT_EQ(generated.exit_code, 0) << describe(generated);
  const std::string script = stavo::test::scratch_path("stavoctl.bash");
  std::ofstream(script) << generated.out;
  struct Case {
    std::string words;  // the command line, the word being completed last
    std::string offered;
  };
  const std::vector<Case> cases = {
      {"stavoctl qu", "queue query"},
      {"stavoctl --endpoint https://h queue ''",
       "enqueue dequeue ack nack extend stats watch subscribe"},
      {"stavoctl queue ack --rec", "--receipt"},
      {"stavoctl query '{}' --li", "--limit"},
      {"stavoctl lease keepalive k --ev", "--every"},
      {"stavoctl state put k --ca-o", "--ca-only"},
      {"stavoctl --bundle ''", ""},
  };
  for (const Case &c : cases) {
    const std::string program = stavo::test::scratch_path("complete.sh");
    std::ofstream(program) << "source " << script << "\nCOMP_WORDS=(" << c.words
                           << ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_stavoctl\n"
                           << "echo \"${COMPREPLY[*]}\"\n";
    FILE *shell = popen(("bash " + program).c_str(), "r");
    ASSERT_NE(shell, nullptr);
    std::string out;
    char buffer[4096];
    while (size_t got = std::fread(buffer, 1, sizeof buffer, shell))
      out.append(buffer, got);
    EXPECT_EQ(pclose(shell), 0) << c.words;
    EXPECT_EQ(out, c.offered + "\n") << c.words;
  }
}

TEST(StavoctlVersion, PrintsTheToolAndLibraryVersions) {
  Outcome run = run_stavoctl({"--version"});
  EXPECT_EQ(run.exit_code, 0) << describe(run);
  EXPECT_EQ(run.out, std::string("stavoctl ") + SV_VERSION_STRING + " (libstavoc " +
                         sv_version_string() + ", libbrindle " + BRINDLE_VERSION_STRING + ")\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(StavoctlUsage, ServerErrorsShowTheirDetailsAndExitByClass) {
  // A held lease: the conflict class, with everything needed to follow the request up.
  ASSERT_EQ(ctl({"lease", "acquire", "k", "--owner", "alice"}).exit_code, 0);
  Outcome held = ctl({"lease", "acquire", "k", "--owner", "bob"});
  EXPECT_EQ(held.exit_code, 3) << describe(held);
  EXPECT_NE(held.err.find("stavoctl: lease acquire: "), std::string::npos) << describe(held);
  EXPECT_NE(held.err.find("code=SV_ERR_SERVER http_status=409 server_error=lease_held"),
            std::string::npos)
      << describe(held);
  std::smatch cid;
  ASSERT_TRUE(std::regex_search(held.err, cid, std::regex("correlation_id=(\\S+)")));
  EXPECT_NE(held.err.find("detail: the key is leased by 'alice'"), std::string::npos);
  auto acquires = dev_.requests_to("POST", "/v1/acquire");
  ASSERT_EQ(acquires.size(), 2u);

  // Unknown keys are "not found".
  Outcome unknown = ctl({"lease", "describe", "never-seen"});
  EXPECT_EQ(unknown.exit_code, 2) << describe(unknown);
  EXPECT_NE(unknown.err.find("http_status=404"), std::string::npos);

  // Text from the server that is not UTF-8 cannot break the JSON output.
  dev_.add_fault(Fault::respond("GET", "/v1/describe", 200,
                                "{\"namespace\":\"default\",\"key\":\"k\",\"owner\":\"a\xff\\n\"}",
                                {{"Content-Type", "application/json"}})
                     .repeat(1));
  Outcome odd = ctl({"lease", "describe", "k"});
  ASSERT_EQ(odd.exit_code, 0) << describe(odd);
  EXPECT_EQ(odd.json()["owner"], "a\xef\xbf\xbd\n");  // U+FFFD, then the escaped newline

  // A passive node (after the only endpoint) is "unavailable"; an internal error is "server".
  dev_.add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive").repeat(1));
  Outcome passive = ctl({"lease", "acquire", "k2"});
  EXPECT_EQ(passive.exit_code, 4) << describe(passive);
  dev_.add_fault(Fault::error("POST", "/v1/acquire", 500, "internal_error", "boom").repeat(1));
  Outcome internal = ctl({"lease", "acquire", "k2"});
  EXPECT_EQ(internal.exit_code, 5) << describe(internal);
  EXPECT_NE(internal.err.find("server_error=internal_error"), std::string::npos);
  EXPECT_NE(internal.err.find("detail: boom"), std::string::npos);
  // An undecodable answer is a protocol error.
  dev_.add_fault(Fault::respond("POST", "/v1/acquire", 200, "{\"lease_id\": [").repeat(1));
  Outcome garbled = ctl({"lease", "acquire", "k3"});
  EXPECT_EQ(garbled.exit_code, 5) << describe(garbled);
  EXPECT_NE(garbled.err.find("code=SV_ERR_PROTOCOL"), std::string::npos) << describe(garbled);
}

TEST_F(StavoctlUsage, TransportFailuresFailoverAndLocalFiles) {
  // A port nobody listens on.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length), 0);
  std::string dead = "https://localhost:" + std::to_string(ntohs(address.sin_port));
  close(probe);

  Outcome unreachable = run_stavoctl({"--endpoint", dead, "--bundle", dev_.client_bundle_path(),
                                      "--timeout", "5s", "lease", "describe", "k"});
  EXPECT_EQ(unreachable.exit_code, 4) << describe(unreachable);
  EXPECT_NE(unreachable.err.find("code=SV_ERR_TRANSPORT"), std::string::npos);

  Outcome failover = run_stavoctl({"--endpoint", dead, "--endpoint", dev_.https_url(), "--bundle",
                                   dev_.client_bundle_path(), "lease", "acquire", "k"});
  EXPECT_EQ(failover.exit_code, 0) << describe(failover);
  EXPECT_TRUE(dev_.state("k").lease.has_value());

  Outcome no_bundle_file = run_stavoctl(
      {"--endpoint", dev_.https_url(), "--bundle", path("missing.pem"), "lease", "describe", "k"});
  EXPECT_EQ(no_bundle_file.exit_code, 6) << describe(no_bundle_file);
  write_file("junk.pem", "not a certificate\n");
  Outcome junk_bundle = run_stavoctl(
      {"--endpoint", dev_.https_url(), "--bundle", path("junk.pem"), "lease", "describe", "k"});
  EXPECT_EQ(junk_bundle.exit_code, 5) << describe(junk_bundle);

  Outcome no_file = ctl({"state", "put", "k", "--file", path("absent.json")});
  EXPECT_EQ(no_file.exit_code, 6) << describe(no_file);
  EXPECT_NE(no_file.err.find("absent.json"), std::string::npos);
  Outcome unwritable = ctl({"state", "get", "k", "--output", path("no/such/dir/out.json")});
  EXPECT_EQ(unwritable.exit_code, 6) << describe(unwritable);
}

TEST(StavoctlUnixSocket, PlainHttpOverAUnixSocketWithInsecure) {
  DevServer dev({.unix_socket = true});
  Outcome put = run_stavoctl({"--insecure", "--unix-socket", dev.unix_socket_path(), "--endpoint",
                              dev.unix_url(), "state", "put", "k", R"({"via":"socket"})"});
  ASSERT_EQ(put.exit_code, 0) << describe(put);
  EXPECT_EQ(dev.state("k").state, R"({"via":"socket"})");
}

}  // namespace
