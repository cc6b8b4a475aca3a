#include "server_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <sstream>
#include <vector>

#include "support/dev_server.h"

namespace stavoc_bench {

namespace {

bool write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The child: serves until the parent's end of the pipe closes, then stops the server and nghttpx.
[[noreturn]] void serve(int report_fd, int keep_alive_fd) {
  int code = 0;
  try {
    stavo::test::DevServerOptions options;
    options.tls = true;
    options.clock_running = true;
    options.threads = 32;
    options.state_limit = 320u << 20;  // room for the 256 MiB state
    options.log_body_limit = 4096;     // the request log keeps little of large bodies
    stavo::test::DevServer server(options);
    const auto &certs = server.certs();
    std::ostringstream lines;
    lines << "ok\n"
          << server.http_url() << "\n"
          << server.https_url() << "\n"
          << certs.client_bundle() << "\n"
          << certs.client_cert() << "\n"
          << certs.client_key() << "\n"
          << certs.ca() << "\n";
    write_all(report_fd, lines.str());
    ::close(report_fd);
    char byte = 0;
    while (::read(keep_alive_fd, &byte, 1) > 0) {
    }
  } catch (const std::exception &e) {
    write_all(report_fd, std::string("failed\n") + e.what() + "\n");
    code = 1;
  }
  std::_Exit(code);
}

}  // namespace

bool start_server(ServerProcess &server, std::string &why) {
  int report[2];
  int keep[2];
  if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(keep, O_CLOEXEC) != 0) {
    why = "pipe failed";
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = "fork failed";
    return false;
  }
  if (pid == 0) {
    ::close(report[0]);
    ::close(keep[1]);
    serve(report[1], keep[0]);
  }
  ::close(report[1]);
  ::close(keep[0]);
  server.pid = pid;
  server.keep_alive_fd = keep[1];
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(report[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  ::close(report[0]);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  if (lines.size() < 7 || lines[0] != "ok") {
    why = lines.size() >= 2 ? lines[1] : "the dev server did not start";
    stop_server(server);
    return false;
  }
  server.http_url = lines[1];
  server.https_url = lines[2];
  server.bundle_path = lines[3];
  server.cert_path = lines[4];
  server.key_path = lines[5];
  server.ca_path = lines[6];
  return true;
}

void stop_server(ServerProcess &server) {
  if (server.keep_alive_fd >= 0) ::close(server.keep_alive_fd);
  server.keep_alive_fd = -1;
  if (server.pid > 0) {
    int status = 0;
    ::waitpid(server.pid, &status, 0);
  }
  server.pid = -1;
}

}  // namespace stavoc_bench
