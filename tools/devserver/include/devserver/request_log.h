// The request log: every request the server received, as it arrived on the wire.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stavo::devserver {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Case-insensitive ASCII comparison of header names.
bool header_name_equals(std::string_view a, std::string_view b);

struct LoggedRequest {
  uint64_t seq = 0;              // 1 for the first request the server saw
  std::string method;            // "POST"
  std::string target;            // path with query string, exactly as sent ("/v1/get?key=a%20b")
  std::string path;              // target up to '?'
  std::string query;             // text after '?', still percent-encoded
  std::string version;           // "HTTP/1.1"
  HeaderList headers;            // names and values in the order they were sent
  bool headers_in_order = true;  // false when the raw head was not available (names then sorted)
  std::string body;        // decoded body bytes (chunked uploads de-chunked), up to the log limit
  uint64_t body_size = 0;  // all body bytes received
  bool body_truncated = false;
  bool complete = false;       // the answer has been produced
  int status = 0;              // status of the answer, 0 until complete
  std::string correlation_id;  // the X-Correlation-Id the answer carried
  bool faulted = false;        // a scripted fault applied to this request
  // Number of the client connection that carried the request (1 for the first the server
  // accepted; behind nghttpx, the proxy's connection); 0 when unknown. Equal numbers: one
  // connection carried several requests.
  uint64_t connection = 0;

  // First header with this name (any letter case).
  std::optional<std::string> header(std::string_view name) const;
  // Names of all headers, in order (handy for order assertions).
  std::vector<std::string> header_names() const;
};

class RequestLog {
 public:
  explicit RequestLog(size_t capacity = 10000, size_t body_limit = 1 << 20);

  uint64_t begin(LoggedRequest entry);  // assigns seq; returns it
  void append_body(uint64_t seq, const char *data, size_t size);
  void finish(uint64_t seq, int status, const std::string &correlation_id, bool faulted);

  std::vector<LoggedRequest> snapshot() const;
  std::optional<LoggedRequest> find(uint64_t seq) const;
  size_t size() const;
  void clear();

  // Waits until `predicate` holds for the log (checked after every change) or the timeout passes.
  bool wait_until(const std::function<bool(const std::vector<LoggedRequest> &)> &predicate,
                  std::chrono::milliseconds timeout) const;
  // Waits until at least `count` requests are complete.
  bool wait_for_complete(size_t count, std::chrono::milliseconds timeout) const;

 private:
  LoggedRequest *locate(uint64_t seq);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<LoggedRequest> entries_;
  uint64_t next_seq_ = 1;
  size_t capacity_;
  size_t body_limit_;
};

}  // namespace stavo::devserver
