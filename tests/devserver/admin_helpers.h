// Helpers of the query, transaction and coordinator tests: JSON calls and query answers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "helpers.h"

namespace stavo::test {

inline HttpResponse post_json(const DevServer &dev, const std::string &path, const json &body) {
  return http_post(dev.http_url() + path, body.dump());
}

inline json must_post(const DevServer &dev, const std::string &path, const json &body,
                      long status = 200) {
  HttpResponse response = post_json(dev, path, body);
  EXPECT_EQ(response.status, status) << path << " " << response.body;
  return body_of(response);
}

inline json must_get(const DevServer &dev, const std::string &path) {
  HttpResponse response = http_get(dev.http_url() + path);
  EXPECT_EQ(response.status, 200) << path << " " << response.body;
  return body_of(response);
}

// POST /v1/query with a selector and further body members.
inline HttpResponse query(const DevServer &dev, const json &selector, json extra = json::object(),
                          const std::string &query_string = "") {
  json body = {{"namespace", "default"}, {"selector", selector}};
  for (const auto &[name, value] : extra.items())
    body[name] = value;
  return http_post(dev.http_url() + "/v1/query" + query_string, body.dump());
}

// The keys of a "keys" answer.
inline std::vector<std::string> query_keys(const DevServer &dev, const json &selector,
                                           json extra = json::object()) {
  extra["return"] = "keys";
  HttpResponse response = query(dev, selector, extra);
  EXPECT_EQ(response.status, 200) << selector.dump() << " " << response.body;
  json body = body_of(response);
  std::vector<std::string> keys;
  if (body.is_object() && body.contains("keys"))
    for (const auto &key : body["keys"])
      keys.push_back(key.get<std::string>());
  return keys;
}

// The lines of a newline-delimited JSON answer, parsed.
inline std::vector<json> ndjson_lines(const std::string &body) {
  std::vector<json> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "the last line lacks its newline";
    if (end == std::string::npos) end = body.size();
    lines.push_back(json::parse(body.substr(start, end - start), nullptr, false));
    EXPECT_FALSE(lines.back().is_discarded()) << body.substr(start, end - start);
    start = end + 1;
  }
  return lines;
}

// Acquires `key`, writes `state` (or sets query_hidden) and releases, committing.
inline void commit_state(const DevServer &dev, const std::string &key, const std::string &state,
                         std::optional<bool> query_hidden = std::nullopt) {
  TestLease lease = must_acquire(dev, key);
  if (!state.empty()) {
    EXPECT_EQ(update(dev, key, lease, state).status, 200);
  }
  if (query_hidden) {
    HeaderList headers = {{"Content-Type", "application/json"}};
    for (auto &header : lease.headers())
      headers.push_back(header);
    HttpResponse hidden =
        http_post(dev.http_url() + "/v1/metadata?key=" + key + "&namespace=default",
                  json{{"query_hidden", *query_hidden}}.dump(), headers);
    EXPECT_EQ(hidden.status, 200) << hidden.body;
  }
  EXPECT_EQ(release(dev, key, lease).status, 200);
}

}  // namespace stavo::test
