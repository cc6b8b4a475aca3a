// Mutation expressions for the server's mutate operation: set, increment and remove on direct
// JSON-pointer paths with literal values ("/a/b=x", "/n++", "rm:/a", "/x/{a=1,b=two}",
// "time:/t=now"). File-backed values and wildcard paths are refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace stavo::devserver {

struct Mutation {
  enum class Kind { set, increment, remove };
  Kind kind = Kind::set;
  std::vector<std::string> path;  // decoded segments, at least one
  nlohmann::ordered_json value;   // for set
  double delta = 0;               // for increment
};

// Parses every expression (empty ones are skipped). Returns the error message of the first
// invalid expression, or nullopt. `now_ms` feeds "time:...=now".
std::optional<std::string> parse_mutations(const std::vector<std::string> &expressions,
                                           int64_t now_ms, std::vector<Mutation> &out);

// Applies the mutations in order to an object document. Returns an error message on failure
// (the document may then be partly changed; callers work on a copy).
std::optional<std::string> apply_mutations(nlohmann::ordered_json &document,
                                           const std::vector<Mutation> &mutations);

// An RFC 3339 date-time rewritten in UTC ("2024-01-02T02:04:05.12Z"); nullopt (with the reason in
// `error`) when the text is not one.
std::optional<std::string> normalize_rfc3339(const std::string &text, std::string &error);
std::string format_timestamp(int64_t seconds, int64_t nanos);

}  // namespace stavo::devserver
