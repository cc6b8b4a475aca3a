// The server's public socket. It relays every connection to the HTTP library's internal socket
// and, on the way, records each request head exactly as sent (header order and letter case,
// raw target), which the HTTP library does not keep. Each forwarded head gets one extra header
// carrying the id under which its raw form can be taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devserver/request_log.h"

namespace stavo::devserver {

struct RawHead {
  std::string method;
  std::string target;
  std::string version;
  HeaderList headers;
  uint64_t connection = 0;  // number of the client connection that carried it
};

class RecordingFront {
 public:
  static constexpr const char *kIdHeader = "X-Devserver-Request-Id";

  RecordingFront() = default;
  ~RecordingFront();
  RecordingFront(const RecordingFront &) = delete;
  RecordingFront &operator=(const RecordingFront &) = delete;

  // Binds host:port (0 = any free port); throws std::runtime_error on failure.
  void bind(const std::string &host, int port);
  void start(int backend_port);
  void stop();
  int port() const { return port_; }

  // Lets the owner answer a request itself instead of relaying it: for a head it claims, the
  // returned function gets the client socket and a "keep going" check, and the connection closes
  // after it. Set before start().
  using Answer = std::function<void(int client_fd, bool (*keep_going)(void *), void *context)>;
  void set_interceptor(std::function<Answer(const RawHead &)> interceptor) {
    interceptor_ = std::move(interceptor);
  }

  std::optional<RawHead> take(uint64_t id);
  // Closes the client connection that carried request `id` (nothing more reaches the client).
  void drop_connection(uint64_t id);
  // True once the client of request `id` has closed its side (or the connection is gone).
  bool client_closed(uint64_t id);

  struct Connection;

 private:
  void accept_loop();
  void reap(bool all);

  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  int port_ = 0;
  int backend_port_ = 0;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::function<Answer(const RawHead &)> interceptor_;

  std::mutex mutex_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::map<uint64_t, RawHead> heads_;
  std::map<uint64_t, std::weak_ptr<Connection>> owners_;
  uint64_t next_id_ = 1;
  uint64_t next_connection_ = 1;

  friend struct Connection;
  uint64_t store_head(RawHead head, const std::shared_ptr<Connection> &owner);
};

}  // namespace stavo::devserver
