// Scripted faults: for the next N requests that match a method and path, the server answers
// differently (a canned answer, a late answer, a body in pieces, a connection cut short).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devserver/request_log.h"

namespace stavo::devserver {

struct Fault {
  // Matching: empty method or path matches any; path is compared without the query string.
  std::string method;
  std::string path;
  int times = 1;  // how many matching requests it applies to

  // Canned answer: with status != 0 the request is not handled at all (no state changes); the
  // answer is exactly `status`, `headers` and `body` (plus X-Correlation-Id unless given).
  // With status 0 the real handler answers and the options below change how that answer goes out;
  // `headers` then replace (or add to) the real answer's headers, e.g. a malformed X-Fencing-Token.
  int status = 0;
  HeaderList headers;
  std::string body;

  std::chrono::milliseconds delay{0};  // real time to wait before answering
  bool hold = false;  // wait until release_holds() (or server stop) before answering

  // Send the body in pieces of these sizes (the rest, if any, as one last piece), pausing between
  // them. With chunked_encoding the answer uses Transfer-Encoding: chunked, else Content-Length.
  std::vector<size_t> chunk_sizes;
  std::chrono::milliseconds chunk_pause{0};
  bool chunked_encoding = true;

  // Announce the whole body, send only this many bytes of it, then close the connection.
  std::optional<size_t> close_after_bytes;
  // Close the connection without answering at all.
  bool drop_connection = false;

  // Streamed answers (queue dequeue/subscribe streams, queue watch): `close_after_bytes` cuts them
  // too; these count parts (a multipart part, or an event) instead. A cut closes the connection
  // without ending the stream properly; a stall stops sending but keeps the connection open until
  // the client goes away or the server stops.
  std::optional<size_t> cut_after_parts;
  std::optional<size_t> stall_after_parts;
  std::optional<size_t> stall_after_bytes;
  // A refusal of a queue stream request: "waiting" and "cas_mismatch" answer 409, "node_passive"
  // 503, anything else 409; with retry_after_seconds >= 0 the body carries that member.
  static Fault stream_refusal(std::string path, std::string_view code,
                              int64_t retry_after_seconds = -1);
  static Fault stream_cut_after_parts(std::string path, size_t parts);
  static Fault stream_stall_after_parts(std::string path, size_t parts);

  // Builders for the common cases.
  static Fault respond(std::string method, std::string path, int status, std::string body = {},
                       HeaderList headers = {});
  static Fault error(std::string method, std::string path, int status, std::string_view code,
                     std::string_view detail = {});
  static Fault with_headers(std::string method, std::string path, HeaderList headers);
  static Fault delayed(std::string method, std::string path, std::chrono::milliseconds delay);
  static Fault held(std::string method, std::string path);
  static Fault in_pieces(std::string method, std::string path, std::vector<size_t> sizes,
                         std::chrono::milliseconds pause, bool chunked_encoding = true);
  static Fault cut_after(std::string method, std::string path, size_t bytes);
  static Fault dropped(std::string method, std::string path);

  Fault &repeat(int count) {
    times = count;
    return *this;
  }
};

class FaultTable {
 public:
  uint64_t add(Fault fault);
  void clear();
  size_t pending() const;  // faults with uses left

  // The first fault matching the request, with one use consumed.
  std::optional<Fault> take(std::string_view method, std::string_view path);

  // Held answers: wait until released or stopped (true when released).
  bool wait_released(uint64_t generation) const;
  uint64_t hold_generation() const;
  void release_holds();
  size_t held_count() const;
  bool wait_for_held(size_t count, std::chrono::milliseconds timeout) const;
  void stop();

 private:
  struct Entry {
    uint64_t id;
    Fault fault;
  };
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Entry> entries_;
  uint64_t next_id_ = 1;
  uint64_t hold_generation_ = 0;
  mutable size_t held_ = 0;
  bool stopped_ = false;
};

}  // namespace stavo::devserver
