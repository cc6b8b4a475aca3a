// The bytes of each hostile answer, written straight to the client's socket. Large and endless
// answers are generated piece by piece as they go out, never held whole.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "devserver/hostile.h"

namespace stavo::devserver {

namespace {

constexpr uint64_t kHugeBody = uint64_t{1} << 30;
constexpr size_t kPiece = 16384;
const char kBoundary[] = "stavo-hostile";

class Connection {
 public:
  Connection(int fd, bool (*keep_going)(void *), void *context)
      : fd_(fd), keep_going_(keep_going), context_(context) {}

  uint64_t sent() const { return sent_; }

  // Sends all of bytes; false once the client is gone or the server stops.
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (!alive()) return false;
      pollfd ready{fd_, POLLOUT, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return gone();
      bytes.remove_prefix(static_cast<size_t>(n));
      sent_ += static_cast<uint64_t>(n);
    }
    return true;
  }

  // Waits about duration, ending early (false) when the client leaves or the server stops.
  bool wait(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
      if (!alive()) return false;
      pollfd ready{fd_, POLLIN | POLLRDHUP, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      if ((ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return gone();
      char sink[4096];  // the rest of a request body: read and dropped
      const ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0) return gone();
    }
    return true;
  }

  // Repeats filler until total bytes went out (0: without end).
  bool repeat(char filler, uint64_t total) {
    const std::string piece(kPiece, filler);
    for (uint64_t left = total; total == 0 || left > 0;) {
      const size_t n = total == 0 || left > kPiece ? kPiece : static_cast<size_t>(left);
      if (!send(std::string_view(piece).substr(0, n))) return false;
      left -= total == 0 ? 0 : n;
    }
    return true;
  }

 private:
  bool alive() {
    if (dead_) return false;
    if (keep_going_ != nullptr && !keep_going_(context_)) dead_ = true;
    return !dead_;
  }
  bool gone() {
    dead_ = true;
    return false;
  }

  int fd_;
  bool (*keep_going_)(void *);
  void *context_;
  uint64_t sent_ = 0;
  bool dead_ = false;
};

std::string meta_part() {
  const std::string meta =
      R"({"message":{"namespace":"default","queue":"hostile","message_id":"m-1","attempts":1,)"
      R"("payload_content_type":"text/plain","payload_bytes":10,"lease_id":"l-1",)"
      R"("fencing_token":1},"next_cursor":"m-1"})";
  return std::string("--") + kBoundary +
         "\r\nContent-Type: application/json\r\nContent-Disposition: form-data; "
         "name=\"meta\"\r\nContent-Length: " +
         std::to_string(meta.size()) + "\r\n\r\n" + meta + "\r\n";
}

std::string payload_head(size_t announced) {
  return std::string("--") + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: "
         "text/plain\r\nContent-Length: " +
         std::to_string(announced) + "\r\n\r\n";
}

const char kMultipartHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/related; boundary=stavo-hostile\r\n"
    "X-Correlation-Id: hostile\r\nConnection: close\r\n\r\n";

void endless_headers(Connection &out) {
  if (!out.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n")) return;
  const std::string value(1000, 'h');
  for (uint64_t n = 0;; ++n) {
    if (!out.send("X-Hostile-" + std::to_string(n) + ": " + value + "\r\n")) return;
  }
}

void huge_error_body(Connection &out) {
  const std::string open = R"({"error":"internal","detail":")";
  const std::string close = R"("})";
  if (!out.send("HTTP/1.1 500 Internal Server Error\r\nContent-Type: application/json\r\n"
                "Content-Length: " +
                std::to_string(kHugeBody) + "\r\nConnection: close\r\n\r\n" + open)) {
    return;
  }
  if (out.repeat('x', kHugeBody - open.size() - close.size())) out.send(close);
}

void payload_with_wrong_length(Connection &out, bool too_short) {
  const std::string payload = "0123456789";
  const size_t announced = too_short ? 4 : 4096;
  out.send(std::string(kMultipartHead) + meta_part() + payload_head(announced) + payload +
           "\r\n--" + kBoundary + "--\r\n");
}

void trickle(Connection &out) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 64\r\n"
      "Connection: close\r\n\r\n" +
      std::string(R"({"lease_id":"slow","key":"k","owner":"o","fencing_token":1,"x":0})")
          .substr(0, 64);
  for (char byte : answer) {
    if (!out.send(std::string_view(&byte, 1)) || !out.wait(std::chrono::seconds(1))) return;
  }
}

}  // namespace

uint64_t send_hostile_answer(int fd, HostileMode mode, bool (*keep_going)(void *), void *context) {
  Connection out(fd, keep_going, context);
  switch (mode) {
    case HostileMode::endless_headers:
      endless_headers(out);
      break;
    case HostileMode::huge_error_body:
      huge_error_body(out);
      break;
    case HostileMode::endless_meta_part:
      if (out.send(std::string(kMultipartHead) + "--" + kBoundary +
                   "\r\nContent-Type: application/json\r\nContent-Disposition: form-data; "
                   "name=\"meta\"\r\n\r\n{\"message\":{\"message_id\":\"")) {
        out.repeat('m', 0);
      }
      break;
    case HostileMode::endless_sse_line:
      if (out.send("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n"
                   "data: {\"queue\":\"")) {
        out.repeat('e', 0);
      }
      break;
    case HostileMode::payload_too_short:
      payload_with_wrong_length(out, true);
      break;
    case HostileMode::payload_too_long:
      payload_with_wrong_length(out, false);
      break;
    case HostileMode::trickle:
      trickle(out);
      break;
    case HostileMode::redirect:
      out.send(
          "HTTP/1.1 301 Moved Permanently\r\nLocation: http://stavo.invalid/elsewhere\r\n"
          "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n");
      break;
    case HostileMode::cut_mid_body:
      if (out.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 4096\r\n"
                   "X-Correlation-Id: hostile\r\n\r\n{\"lease_id\":\"")) {
        out.repeat('c', 2000);
      }
      break;
  }
  return out.sent();
}

}  // namespace stavo::devserver
