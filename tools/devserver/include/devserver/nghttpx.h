// nghttpx in front of the dev server: a TLS frontend on loopback that requires a client
// certificate signed by the dev CA and offers h2 and http/1.1 by ALPN, and optionally a
// plaintext frontend on a Unix domain socket. Its access log records the negotiated protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stavo::devserver {

struct NghttpxOptions {
  std::string binary;  // empty: the system's nghttpx
  int backend_port = 0;
  bool tls = true;
  std::string tls_host = "127.0.0.1";
  int tls_port = 0;           // 0 picks a free port
  bool verify_client = true;  // false: server-only TLS, clients need no certificate
  std::string cert_dir;       // ca.pem, server.pem, server-key.pem (see dev_certs.h)
  // Empty: no Unix socket frontend. A stale socket at the path is replaced; any other file there
  // (or a socket a server still answers on) makes start() fail.
  std::string unix_socket;
  std::string work_dir;  // access and error logs; empty: a private temporary directory
  std::chrono::milliseconds start_timeout{15000};
};

struct AccessLogEntry {
  std::string alpn;              // "h2" or "http/1.1"
  std::string protocol_version;  // "HTTP/2", "HTTP/1.1"
  std::string method;
  std::string path;  // with query
  int status = 0;
  std::string client_subject;       // subject of the client certificate, "-" without TLS
  int remote_port = 0;              // the client's port: equal ports, one client connection
  bool tls_session_reused = false;  // the TLS handshake resumed an earlier session
};

class Nghttpx {
 public:
  explicit Nghttpx(NghttpxOptions options);
  ~Nghttpx();  // stops
  Nghttpx(const Nghttpx &) = delete;
  Nghttpx &operator=(const Nghttpx &) = delete;

  // Starts nghttpx and waits until every frontend accepts connections; throws
  // std::runtime_error (with nghttpx's error log) when it does not come up.
  void start();
  // SIGTERM, then SIGKILL when it does not exit in time; waits for it. Idempotent.
  void stop();
  bool running();

  int tls_port() const { return tls_port_; }
  const std::string &unix_socket() const { return options_.unix_socket; }
  std::string access_log_path() const { return work_dir_ + "/access.log"; }
  std::string error_log_path() const { return work_dir_ + "/error.log"; }
  pid_t pid() const { return pid_; }

  std::vector<AccessLogEntry> access_log() const;
  // nghttpx writes a line when a request finishes; this waits (polling) for `count` lines.
  bool wait_for_access_log(size_t count, std::chrono::milliseconds timeout) const;

 private:
  bool try_start(std::string &failure);
  void remember_socket();
  void remove_own_socket();

  NghttpxOptions options_;
  std::string work_dir_;
  bool own_work_dir_ = false;
  int tls_port_ = 0;
  pid_t pid_ = -1;
  std::optional<std::pair<dev_t, ino_t>> socket_identity_;  // the socket nghttpx made
};

}  // namespace stavo::devserver
