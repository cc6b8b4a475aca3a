// Shared pieces of the engine's fuzz targets: a client that is never connected (it only supplies
// byte limits), an answer split into header lines and a body as libcurl would hand them over, and
// text descriptions of outcomes for comparing a whole run with a sliced one.
#ifndef STAVO_FUZZ_ENGINE_FUZZ_SUPPORT_H
#define STAVO_FUZZ_ENGINE_FUZZ_SUPPORT_H

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "stavoc_engine.h"

namespace fuzz {

// A client with the given typed response limit (0: the default); opened once per limit.
inline const sv_engine_client *engine_client(uint64_t response_limit) {
  static sv_engine_client *clients[2] = {nullptr, nullptr};
  sv_engine_client *&slot = clients[response_limit == 0 ? 0 : 1];
  if (slot == nullptr) {
    static const char *const endpoints[] = {"http://127.0.0.1:9"};
    sv_engine_client_config config;
    sv_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.response_limit_bytes = response_limit;
    sv_engine_error error;
    sv_engine_error_init(&error);
    expect(sv_engine_client_open(&config, &slot, &error) == SV_OK, "open the engine client");
  }
  return slot;
}

// An answer as the transfer sees it: header lines (each with its line end, the blank line
// included) and then the body.
struct Answer {
  std::vector<std::string> header_lines;
  std::string body;
};

// Splits bytes at the first empty line; every line up to it is one header line. Without an empty
// line everything is headers and the body is empty.
inline Answer split_answer(const char *bytes, size_t size) {
  Answer answer;
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && bytes[end] != '\n')
      ++end;
    if (end < size) ++end;  // the line keeps its '\n'
    std::string line(bytes + pos, end - pos);
    answer.header_lines.push_back(line);
    pos = end;
    if (line == "\r\n" || line == "\n") break;
  }
  answer.body.assign(bytes + pos, size - pos);
  return answer;
}

inline std::string text_or_null(const char *text) {
  return text != nullptr ? "'" + std::string(text) + "'" : "<null>";
}

inline std::string describe(const sv_engine_error &error) {
  return "code=" + std::to_string(error.code) + " message=" + text_or_null(error.message) +
         " server=" + text_or_null(error.server_error_code) +
         " http=" + std::to_string(error.http_status);
}

// Feeds body in the slices a slicer picks (all at once without one) until a callback refuses.
template <typename Feed>
bool feed_body(const std::string &body, Slicer *slicer, Feed feed) {
  size_t pos = 0;
  while (pos < body.size()) {
    const size_t n = slicer != nullptr ? slicer->next(body.size() - pos) : body.size() - pos;
    std::string chunk = body.substr(pos, n);  // a writable copy, as libcurl's buffer is
    if (feed(chunk.data(), n) != n) return false;
    pos += n;
  }
  return true;
}

// Feeds an answer as libcurl would: every header line, then the body in slices, until a callback
// refuses. header(line, length) and body(bytes, length) return the count they took.
template <typename Header, typename Body>
bool feed_answer(const Answer &answer, Slicer *slicer, Header header, Body body) {
  for (std::string line : answer.header_lines) {
    if (header(line.data(), line.size()) != line.size()) return false;
  }
  return feed_body(answer.body, slicer, body);
}

}  // namespace fuzz

#endif  // STAVO_FUZZ_ENGINE_FUZZ_SUPPORT_H
