// multipart/related on the queue paths: reading an enqueue upload as it arrives, and framing the
// parts of dequeue/subscribe answers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devserver/request_log.h"

namespace stavo::devserver {

// The boundary parameter of a multipart Content-Type (quoted or not); nullopt when the media type
// is not multipart/related or has no usable boundary.
std::optional<std::string> multipart_related_boundary(std::string_view content_type);

// An incremental multipart reader: parts are delimited by CRLF "--boundary"; the body of each
// part goes to the callbacks as it arrives, holding back only what could begin a delimiter.
class MultipartReader {
 public:
  struct Part {
    std::string name;  // Content-Disposition name parameter
    std::string content_type;
    HeaderList headers;
  };
  struct Callbacks {
    std::function<bool(const Part &)> begin;  // false: stop (error set by the callback)
    std::function<bool(const char *, size_t)> data;
    std::function<bool()> end;
  };

  MultipartReader(std::string boundary, Callbacks callbacks, size_t max_header_bytes = 16384);

  // False on malformed input or a callback that refused; error() says why.
  bool push(const char *data, size_t size);
  // True when the closing delimiter was seen.
  bool finish();
  const std::string &error() const { return error_; }
  void fail(std::string message) { error_ = std::move(message); }

 private:
  enum class State { preamble, headers, body, after_delimiter, done, failed };
  bool process_line(std::string_view line);
  bool flush_body(bool all);
  bool set_failed(std::string message);

  std::string delimiter_;  // "\r\n--" + boundary
  Callbacks callbacks_;
  size_t max_header_bytes_;
  State state_ = State::preamble;
  std::string line_;
  std::string pending_;  // body bytes that may begin a delimiter
  size_t synthetic_left_ = 0;
  size_t header_bytes_ = 0;
  Part part_;
  std::string error_;
};

// The text of one part as sent in a stream: delimiter line, headers, blank line (the body and its
// trailing CRLF follow separately).
std::string part_head(const std::string &boundary, const HeaderList &headers);
std::string closing_delimiter(const std::string &boundary);

}  // namespace stavo::devserver
