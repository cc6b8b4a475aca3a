#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace stavo::devserver {

pid_t spawn_process(const std::vector<std::string> &argv, const std::string &output_path) {
  std::vector<char *> args;
  for (const auto &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  const char *out = output_path.empty() ? "/dev/null" : output_path.c_str();
  int out_fd = ::open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out_fd < 0) throw std::runtime_error("cannot open " + std::string(out));
  // A failed exec reports its errno through this pipe; a successful one closes it (CLOEXEC).
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ::close(out_fd);
    throw std::runtime_error("pipe failed: " + std::string(std::strerror(errno)));
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    int saved = errno;
    ::close(out_fd);
    ::close(report[0]);
    ::close(report[1]);
    throw std::runtime_error("fork failed: " + std::string(std::strerror(saved)));
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(out_fd, 2);
    ::execv(args[0], args.data());
    int failure = errno;
    ssize_t ignored = ::write(report[1], &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }
  ::close(out_fd);
  ::close(report[1]);
  int failure = 0;
  ssize_t n = 0;
  do {
    n = ::read(report[0], &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    wait_process(pid);
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(failure));
  }
  return pid;
}

int wait_process(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool process_exited(pid_t pid, int *status) {
  int raw = 0;
  pid_t r = ::waitpid(pid, &raw, WNOHANG);
  if (r != pid) return false;
  if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

}  // namespace stavo::devserver
