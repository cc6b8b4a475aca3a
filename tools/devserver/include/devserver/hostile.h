// Hostile answers: for the next N requests that match a method and path, the server's front
// answers on the raw connection with bytes no sound server would send, then closes it. The
// request never reaches the handlers (no state changes, nothing in the request log).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stavo::devserver {

enum class HostileMode {
  endless_headers,    // 200, then header lines without end
  huge_error_body,    // 500 with a 1 GiB JSON error body (generated as it is sent)
  endless_meta_part,  // multipart/related whose first part, "meta", never ends
  endless_sse_line,   // text/event-stream whose first line never ends
  payload_too_short,  // meta, then a payload part that holds more bytes than its Content-Length
  payload_too_long,   // meta, then a payload part that ends before its Content-Length
  trickle,            // a whole JSON 200 answer, one byte per second
  redirect,           // 301 to another host
  cut_mid_body,       // 200 announcing a body, half of it, then the connection closes
};

// "endless-headers", "huge-error-body", ... (the enumerator with '-' for '_').
std::string_view hostile_mode_name(HostileMode mode);
std::optional<HostileMode> parse_hostile_mode(std::string_view name);
std::vector<HostileMode> all_hostile_modes();

struct HostileRule {
  HostileMode mode = HostileMode::endless_headers;
  std::string method;  // empty: any
  std::string path;    // empty: any /v1/ path; compared without the query string
  int times = 1;       // how many matching requests it applies to; 0 or less: every one
};

class HostileTable {
 public:
  void add(HostileRule rule);
  void clear();
  size_t pending() const;
  // The mode of the first rule matching the request, with one use consumed.
  std::optional<HostileMode> take(std::string_view method, std::string_view target);

 private:
  mutable std::mutex mutex_;
  std::deque<HostileRule> rules_;
};

// Writes the hostile answer of mode to the connected socket fd until it is complete, the client
// goes away or keep_going() turns false. Returns the bytes sent.
uint64_t send_hostile_answer(int fd, HostileMode mode, bool (*keep_going)(void *), void *context);

}  // namespace stavo::devserver
