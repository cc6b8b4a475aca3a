// The dev server: a local stavo stand-in that keeps state, enforces leases and can be told to
// misbehave. Plain HTTP/1.1 on a loopback TCP port; TLS, HTTP/2 and Unix sockets come from
// nghttpx in front of it (devserver/nghttpx.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devserver/clock.h"
#include "devserver/faults.h"
#include "devserver/hostile.h"
#include "devserver/key_state.h"
#include "devserver/request_log.h"

namespace stavo::devserver {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;                             // 0 picks a free port
  bool passive = false;                     // every /v1/ request answers 503 "node_passive"
  bool dev_controls = false;                // serve the /_dev/ control paths
  int64_t clock_start_unix_ms = 0;          // 0: real time
  bool clock_running = true;                // false: time moves only when advanced
  size_t threads = 64;                      // concurrent requests (long polls hold one each)
  size_t json_body_limit = 1 << 20;         // JSON request bodies
  size_t state_limit = 64u << 20;           // state documents
  uint64_t attachment_limit = 16ull << 30;  // one attachment
  size_t log_capacity = 10000;              // request log entries kept
  size_t log_body_limit = 1 << 20;          // body bytes kept per logged request
  std::string data_dir;  // where attachment bytes live; empty: a private temporary directory
  // One line per answered request ("POST /v1/acquire 409 lease_held 0.412ms": method, target,
  // status, the error code of an error answer, time taken), e.g. for the program's output.
  std::function<void(const std::string &)> access_logger;
};

class Server {
 public:
  explicit Server(ServerOptions options = {});
  ~Server();  // stops
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and starts serving; throws std::runtime_error when that is impossible.
  void start();
  // Ends long polls and held answers, closes connections and joins every thread. Idempotent.
  void stop();

  int port() const;
  const std::string &host() const;
  std::string base_url() const;  // "http://127.0.0.1:PORT"

  VirtualClock &clock();
  RequestLog &requests();
  FaultTable &faults();
  HostileTable &hostile();  // hostile answers (devserver/hostile.h)

  void set_passive(bool passive);
  bool passive() const;

  KeyState inspect(const std::string &ns, const std::string &key) const;
  // Puts committed state on a key as if a lease holder had written and released it.
  void seed_state(const std::string &ns, const std::string &key, const std::string &bytes,
                  const std::string &content_type = "application/json");

  // Requests currently blocked in a long poll (acquire with block_seconds).
  size_t waiting_requests() const;
  bool wait_for_waiting(size_t count, std::chrono::milliseconds timeout) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace stavo::devserver
