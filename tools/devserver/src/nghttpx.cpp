#include "devserver/nghttpx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "devserver/dev_certs.h"
#include "process.h"
#include "util.h"

namespace stavo::devserver {

namespace {

int free_port(const std::string &host) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  if (port == 0) throw std::runtime_error("no free port on " + host);
  return port;
}

bool accepts_tcp(const std::string &host, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

bool accepts_unix(const std::string &path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    ::close(fd);
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Makes way for the Unix socket: nothing there is fine, a socket nobody answers on is a leftover
// and goes; anything else (a live socket, a regular file, a directory) is refused untouched.
void clear_stale_socket(const std::string &path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return;
    throw std::runtime_error("cannot use " + path +
                             " for the Unix socket: " + std::strerror(errno));
  }
  if (!S_ISSOCK(info.st_mode)) {
    throw std::runtime_error("refusing to use " + path +
                             " for the Unix socket: it exists and is not a socket (remove it or "
                             "choose another path)");
  }
  if (accepts_unix(path)) {
    throw std::runtime_error("refusing to use " + path +
                             " for the Unix socket: a running server is listening on it");
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot remove the stale socket " + path + ": " +
                             std::strerror(errno));
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

Nghttpx::Nghttpx(NghttpxOptions options) : options_(std::move(options)) {
  if (options_.binary.empty()) options_.binary = DEVSERVER_DEFAULT_NGHTTPX;
}

Nghttpx::~Nghttpx() {
  stop();
  if (own_work_dir_) remove_tree(work_dir_);
}

void Nghttpx::start() {
  if (pid_ > 0) return;
  if (options_.unix_socket.size() >= sizeof(sockaddr_un{}.sun_path)) {
    throw std::runtime_error("Unix socket path is too long: " + options_.unix_socket);
  }
  if (options_.work_dir.empty()) {
    work_dir_ = make_temp_dir("stavo-nghttpx");
    own_work_dir_ = true;
  } else {
    work_dir_ = options_.work_dir;
  }
  if (!options_.unix_socket.empty()) clear_stale_socket(options_.unix_socket);
  // A free port can be taken by someone else before nghttpx binds it: then try another.
  std::string failure;
  int attempts = options_.tls && options_.tls_port == 0 ? 5 : 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    try {
      if (try_start(failure)) return;
    } catch (const std::runtime_error &e) {
      throw std::runtime_error(std::string("nghttpx did not start: ") + e.what());
    }
  }
  throw std::runtime_error("nghttpx did not start: " + failure);
}

bool Nghttpx::try_start(std::string &failure) {
  DevCerts certs{options_.cert_dir};
  tls_port_ = options_.tls
                  ? (options_.tls_port != 0 ? options_.tls_port : free_port(options_.tls_host))
                  : 0;
  std::vector<std::string> argv = {
      options_.binary,
      "--conf=/dev/null",  // the distribution's default configuration would interfere
      "--no-ocsp",
      "--single-process",
      "--workers=1",
      "--backend=127.0.0.1," + std::to_string(options_.backend_port),
      "--no-via",
      "--backend-read-timeout=1h",
      "--frontend-read-timeout=1h",
      "--stream-write-timeout=0",
      "--accesslog-file=" + access_log_path(),
      "--accesslog-format=$alpn\t$protocol_version\t$method\t$path\t$status\t"
      "$tls_client_subject_name\t$remote_port\t$tls_session_reused",
      "--errorlog-file=" + error_log_path(),
  };
  if (options_.tls) {
    argv.push_back("--frontend=" + options_.tls_host + "," + std::to_string(tls_port_));
    if (options_.verify_client) {
      argv.push_back("--verify-client");
      argv.push_back("--verify-client-cacert=" + certs.ca());
    }
  }
  if (!options_.unix_socket.empty()) {
    argv.push_back("--frontend=unix:" + options_.unix_socket + ";no-tls");
  }
  if (options_.tls) {
    argv.push_back(certs.server_key());
    argv.push_back(certs.server_cert());
  }
  pid_ = spawn_process(argv, work_dir_ + "/output.log");
  auto deadline = std::chrono::steady_clock::now() + options_.start_timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (process_exited(pid_, &status)) {
      pid_ = -1;
      failure = "nghttpx exited with status " + std::to_string(status) + ": " +
                read_file(error_log_path()) + read_file(work_dir_ + "/output.log");
      return false;
    }
    bool ready = (!options_.tls || accepts_tcp(options_.tls_host, tls_port_)) &&
                 (options_.unix_socket.empty() || accepts_unix(options_.unix_socket));
    if (ready) {
      remember_socket();
      return true;
    }
    // nghttpx offers no readiness signal: poll its sockets.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  failure = "no frontend accepted connections in time: " + read_file(error_log_path());
  stop();
  return false;
}

bool Nghttpx::running() {
  return pid_ > 0 && !process_exited(pid_, nullptr);
}

void Nghttpx::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!process_exited(pid_, nullptr)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      wait_process(pid_);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  remove_own_socket();
}

void Nghttpx::remember_socket() {
  struct stat info {};
  socket_identity_.reset();
  if (!options_.unix_socket.empty() && ::lstat(options_.unix_socket.c_str(), &info) == 0 &&
      S_ISSOCK(info.st_mode)) {
    socket_identity_ = std::make_pair(info.st_dev, info.st_ino);
  }
}

void Nghttpx::remove_own_socket() {
  // Only the socket this nghttpx made: whatever replaced it since then is someone else's.
  struct stat info {};
  if (socket_identity_ && ::lstat(options_.unix_socket.c_str(), &info) == 0 &&
      S_ISSOCK(info.st_mode) && std::make_pair(info.st_dev, info.st_ino) == *socket_identity_) {
    ::unlink(options_.unix_socket.c_str());
  }
  socket_identity_.reset();
}

std::vector<AccessLogEntry> Nghttpx::access_log() const {
  std::vector<AccessLogEntry> entries;
  std::ifstream in(access_log_path());
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t'))
      fields.push_back(field);
    if (fields.size() < 6) continue;
    AccessLogEntry entry;
    entry.alpn = fields[0];
    entry.protocol_version = fields[1];
    entry.method = fields[2];
    entry.path = fields[3];
    entry.status = std::atoi(fields[4].c_str());
    entry.client_subject = fields[5];
    if (fields.size() >= 8) {
      entry.remote_port = std::atoi(fields[6].c_str());
      entry.tls_session_reused = fields[7] == "r";
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool Nghttpx::wait_for_access_log(size_t count, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (access_log().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace stavo::devserver
