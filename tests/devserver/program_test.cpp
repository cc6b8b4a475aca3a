// stavo-devserver driven as a person would: start it, read the endpoints it prints, use the curl
// command-line tool with the generated client bundle, stop it with a signal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>

#include "helpers.h"

extern char **environ;

namespace stavo::test {
namespace {

struct Program {
  pid_t pid = -1;
  int out = -1;  // the program's stdout and stderr
  std::string output;

  explicit Program(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {devserver_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw;
    for (auto &arg : argv)
      raw.push_back(arg.data());
    raw.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    EXPECT_EQ(posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out = fds[0];
  }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    close(out);
  }

  // Reads output until `marker` shows up (or the program ends or 30 s pass).
  bool read_until(const std::string &marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (output.find(marker) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd{out, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) return false;
      output.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // Sends the signal, collects the rest of the output and the exit status.
  int stop(int signal) {
    if (signal != 0) kill(pid, signal);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out, buffer, sizeof buffer)) > 0)
      output.append(buffer, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// Runs the curl tool; its stdout (with -i: status line and headers first).
std::string curl_tool(const std::vector<std::string> &args, int *exit_code = nullptr) {
  std::string command = "curl -s";
  for (const auto &arg : args)
    command += " '" + arg + "'";
  FILE *pipe = popen(command.c_str(), "r");
  std::string output;
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    output.append(buffer.data(), n);
  int status = pclose(pipe);
  if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

std::string body_after_headers(const std::string &response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

TEST(DevServerProgram, HelpDescribesTheOptions) {
  Program program({"--help"});
  program.read_until("this text");
  EXPECT_EQ(program.stop(0), 0);
  for (const char *option :
       {"--listen", "--tls DIR", "--unix-socket", "--passive", "--dev-controls", "SIGTERM"}) {
    EXPECT_NE(program.output.find(option), std::string::npos) << option;
  }
  Program wrong({"--no-such-option"});
  wrong.read_until("see --help");
  EXPECT_EQ(wrong.stop(0), 2);
}

TEST(DevServerProgram, ServesMutualTlsToCurlAndStopsOnSigterm) {
  std::string dir =
      (std::filesystem::temp_directory_path() / ("stavo-program-test-" + std::to_string(getpid())))
          .string();
  std::filesystem::remove_all(dir);
  std::string certs = dir + "/certs";
  std::string socket = dir + "/devserver.sock";
  std::filesystem::create_directories(dir);
  Program program({"--listen", "127.0.0.1:0", "--tls", certs, "--tls-listen", "127.0.0.1:0",
                   "--unix-socket", socket});
  ASSERT_TRUE(program.read_until("stop with Ctrl-C")) << program.output;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(program.output, match, std::regex("https://localhost:(\\d+)")))
      << program.output;
  std::string https = match[0];
  // Where a refused handshake can be read about.
  ASSERT_TRUE(std::regex_search(program.output, match, std::regex("nghttpx log (\\S+)")))
      << program.output;
  EXPECT_TRUE(std::filesystem::exists(match[1].str())) << match[1];
  ASSERT_TRUE(std::filesystem::exists(certs + "/client-bundle.pem"));
  std::vector<std::string> tls = {
      "--cert", certs + "/client-bundle.pem", "--cacert", certs + "/ca.pem", "--http2", "-i"};
  auto with_tls = [&](std::vector<std::string> args) {
    args.insert(args.begin(), tls.begin(), tls.end());
    return curl_tool(args);
  };

  std::string acquired =
      with_tls({"-H", "Content-Type: application/json", "--data",
                R"({"key":"demo","owner":"person","ttl_seconds":60})", https + "/v1/acquire"});
  ASSERT_EQ(acquired.rfind("HTTP/2 200", 0), 0u) << acquired;
  json lease = json::parse(body_after_headers(acquired));
  std::string lease_id = lease["lease_id"], txn_id = lease["txn_id"];
  std::string token = std::to_string(lease["fencing_token"].get<int64_t>());
  std::vector<std::string> guard = {"-H", "X-Lease-ID: " + lease_id,  "-H", "X-Txn-ID: " + txn_id,
                                    "-H", "X-Fencing-Token: " + token};

  std::vector<std::string> update_args = {"-H", "Content-Type: application/json", "--data",
                                          R"({"hello":"world"})"};
  update_args.insert(update_args.end(), guard.begin(), guard.end());
  update_args.push_back(https + "/v1/update?key=demo");
  std::string updated = with_tls(update_args);
  EXPECT_EQ(updated.rfind("HTTP/2 200", 0), 0u) << updated;

  std::vector<std::string> get_args = guard;
  get_args.push_back(https + "/v1/get?key=demo");
  std::string got = with_tls(get_args);
  EXPECT_EQ(body_after_headers(got), R"({"hello":"world"})") << got;

  std::string released =
      with_tls({"-H", "Content-Type: application/json", "-H", "X-Fencing-Token: " + token, "--data",
                R"({"key":"demo","lease_id":")" + lease_id + R"("})", https + "/v1/release"});
  EXPECT_EQ(json::parse(body_after_headers(released))["released"], true) << released;
  std::string public_get =
      curl_tool({"--unix-socket", socket, "http://localhost/v1/get?key=demo&public=1"});
  EXPECT_EQ(public_get, R"({"hello":"world"})");

  int refused = 0;
  curl_tool({"--cacert", certs + "/ca.pem", https + "/v1/describe?key=demo"}, &refused);
  EXPECT_NE(refused, 0);  // no client certificate

  EXPECT_EQ(program.stop(SIGTERM), 0);
  EXPECT_TRUE(std::regex_search(program.output, std::regex(R"(POST /v1/acquire 200 \d+\.\d+ms)")))
      << program.output;
  int after = 0;
  curl_tool({"--cert", certs + "/client-bundle.pem", "--cacert", certs + "/ca.pem",
             https + "/v1/describe?key=demo"},
            &after);
  EXPECT_EQ(after, 7);  // nothing listens any more: nghttpx went down with the program
  EXPECT_FALSE(std::filesystem::exists(socket));
  std::filesystem::remove_all(dir);
}

TEST(DevServerProgram, RefusesToReplaceAFileWithItsSocket) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("stavo-program-file-" + std::to_string(getpid())))
          .string();
  { std::ofstream(path) << "keep"; }
  Program program({"--listen", "127.0.0.1:0", "--unix-socket", path});
  program.read_until("not a socket");
  EXPECT_EQ(program.stop(0), 2);
  EXPECT_NE(program.output.find("not a socket"), std::string::npos) << program.output;
  std::string content;
  std::getline(std::ifstream(path), content);
  EXPECT_EQ(content, "keep");  // still there after the program ended
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace stavo::test
