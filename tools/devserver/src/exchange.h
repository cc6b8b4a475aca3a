// What an endpoint sees of a request and what it hands back. Endpoint code works only with these
// types, so the HTTP library stays inside http_server.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "devserver/request_log.h"

namespace stavo::devserver {

using json = nlohmann::ordered_json;

// Receives body bytes as they arrive; returns false to stop reading.
using BodySink = std::function<bool(const char *data, size_t size)>;

struct Call {
  std::string method;
  std::string path;                                         // decoded path without query
  std::string target;                                       // raw path and query
  std::vector<std::pair<std::string, std::string>> params;  // decoded query parameters, in order
  HeaderList headers;
  // Pulls the whole body through `sink` (once); false when the connection failed or the sink
  // stopped. Bodies are read lazily so that uploads can stream.
  std::function<bool(const BodySink &sink)> read_body;
  bool body_read = false;

  std::optional<std::string> param(std::string_view name) const;
  bool flag(std::string_view name) const;  // "1" or "true"
  std::optional<std::string> header(std::string_view name) const;
};

// A body produced on demand (attachment downloads). read() fills `out` from `offset`.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  virtual uint64_t size() const = 0;
  virtual bool read(uint64_t offset, char *out, size_t length) = 0;
};

class StreamWriter;  // stream_writer.h

struct Reply {
  int status = 200;
  HeaderList headers;
  std::string body;
  std::shared_ptr<BodyStream> stream;  // used instead of body when set
  // A long-lived answer of unknown length (queue streams, event streams), sent chunked: runs on
  // the connection's thread after the headers went out; false ends the connection abruptly.
  std::function<bool(StreamWriter &)> produce;

  void set_header(std::string name, std::string value);
  std::optional<std::string> header(std::string_view name) const;
};

// {"error": code, "detail": detail, ...extra}
Reply error_reply(int status, std::string_view code, std::string_view detail,
                  const json &extra = json::object());
Reply json_reply(const json &body, int status = 200);

// Reads the whole body into `out` (at most `limit` bytes). On failure returns the answer to give.
std::optional<Reply> read_body_limited(Call &call, size_t limit, std::string &out,
                                       std::string_view too_large_code = "body_too_large");
// Reads and parses a JSON object body.
std::optional<Reply> read_json_object(Call &call, size_t limit, json &out);

// Member accessors for request bodies; each returns an error answer when the member has the wrong
// type (or, for required ones, is missing).
std::optional<Reply> member_string(const json &body, const char *name, bool required,
                                   std::string &out);
std::optional<Reply> member_int(const json &body, const char *name, bool required, int64_t &out);
std::optional<Reply> member_bool(const json &body, const char *name, bool &out);

using Handler = std::function<Reply(Call &)>;

}  // namespace stavo::devserver
