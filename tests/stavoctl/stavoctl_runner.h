// Runs the stavoctl program of this build as a subprocess (stdin, stdout and stderr on pipes)
// against an in-process dev server, the way a user or a script runs it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "support/dev_server.h"

extern char **environ;

namespace stavoctl_test {

struct Outcome {
  int exit_code = -1;  // 128 + signal number when killed
  std::string out;
  std::string err;
  nlohmann::json json() const { return nlohmann::json::parse(out); }
};

// One running stavoctl process.
class Process {
 public:
  explicit Process(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv_storage = {STAVOCTL_PROGRAM};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argv_storage)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The given variables replace inherited ones of the same name; the caller's STAVO_* settings
    // and config directory never reach the program unless a test gives them.
    std::vector<std::string> env_storage = env;
    auto given = [&env](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('='));
      if (name.starts_with("STAVO_") || name == "XDG_CONFIG_HOME" || name == "HOME") return true;
      for (const std::string &mine : env) {
        if (std::string_view(mine).substr(0, mine.find('=')) == name) return true;
      }
      return false;
    };
    for (char **entry = environ; *entry != nullptr; ++entry) {
      if (!given(*entry)) env_storage.emplace_back(*entry);
    }
    if (std::none_of(env.begin(), env.end(), [](const std::string &e) {
          return e.starts_with("HOME=") || e.starts_with("XDG_CONFIG_HOME=");
        })) {
      env_storage.emplace_back("HOME=/nonexistent-stavoctl-home");
    }
    std::vector<char *> envp;
    for (std::string &entry : env_storage)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    int spawned = posix_spawn(&pid_, STAVOCTL_PROGRAM, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (spawned != 0) throw std::runtime_error("cannot start " STAVOCTL_PROGRAM);
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
      if (fd >= 0) close(fd);
    }
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  void send_signal(int signal_number) { kill(pid_, signal_number); }

  // Writes input to stdin, closes it, collects both outputs and waits for the exit. A process
  // that outlives the deadline is killed (and reported as killed).
  Outcome finish(const std::string &input = {},
                 std::chrono::seconds deadline = std::chrono::seconds(60)) {
    Outcome run;
    size_t written = 0;
    if (input.empty()) close_fd(stdin_);
    auto until = std::chrono::steady_clock::now() + deadline;
    while (stdout_ >= 0 || stderr_ >= 0) {
      std::vector<pollfd> fds;
      if (stdin_ >= 0) fds.push_back({stdin_, POLLOUT, 0});
      if (stdout_ >= 0) fds.push_back({stdout_, POLLIN, 0});
      if (stderr_ >= 0) fds.push_back({stderr_, POLLIN, 0});
      int ready = poll(fds.data(), fds.size(), 200);
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "stavoctl did not finish in time; killed";
        kill(pid_, SIGKILL);
        break;
      }
      if (ready <= 0) continue;
      for (const pollfd &fd : fds) {
        if (fd.revents == 0) continue;
        if (fd.fd == stdin_) {
          ssize_t n = write(stdin_, input.data() + written, input.size() - written);
          if (n > 0) written += static_cast<size_t>(n);
          if (n <= 0 || written == input.size()) close_fd(stdin_);
          continue;
        }
        char buffer[65536];
        ssize_t n = read(fd.fd, buffer, sizeof buffer);
        std::string &target = fd.fd == stdout_ ? run.out : run.err;
        if (n > 0) {
          target.append(buffer, static_cast<size_t>(n));
        } else {
          close_fd(fd.fd == stdout_ ? stdout_ : stderr_);
        }
      }
    }
    close_fd(stdin_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
  }

 private:
  static void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
};

inline Outcome run_stavoctl(const std::vector<std::string> &args, const std::string &input = {},
                            const std::vector<std::string> &env = {}) {
  Process process(args, env);
  return process.finish(input);
}

// A test with a TLS dev server (HTTP/2 over mutual TLS through nghttpx) and a scratch directory.
class StavoctlTest : public ::testing::Test {
 protected:
  StavoctlTest() {
    char pattern[] = "/tmp/stavoctl-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
  }
  ~StavoctlTest() override { std::filesystem::remove_all(dir_); }

  std::vector<std::string> connection() const {
    return {"--endpoint", dev_.https_url(), "--bundle", dev_.client_bundle_path()};
  }
  // stavoctl with the connection options first, then args.
  Outcome ctl(std::vector<std::string> args, const std::string &input = {},
              const std::vector<std::string> &env = {}) {
    std::vector<std::string> all = connection();
    all.insert(all.end(), args.begin(), args.end());
    return run_stavoctl(all, input, env);
  }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  void write_file(const std::string &name, const std::string &bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read_file(const std::string &name) const {
    std::string bytes;
    if (FILE *file = std::fopen(path(name).c_str(), "rb")) {
      char buffer[65536];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.append(buffer, n);
      std::fclose(file);
    }
    return bytes;
  }

  stavo::test::DevServer dev_{{.tls = true}};
  std::string dir_;
};

// Describes a run for assertion messages.
inline std::string describe(const Outcome &run) {
  return "exit " + std::to_string(run.exit_code) + "\nstdout: " + run.out + "\nstderr: " + run.err;
}

}  // namespace stavoctl_test
