// The query selector dialect: a JSON object whose members are JSON pointers into a document,
// each mapped to a literal (equality) or to an object with one operator ($eq, $ne, $gt, $gte,
// $lt, $lte, $in, $exists, $prefix); "$and" and "$or" take arrays of selectors; {} matches all.
// Selectors are compiled once (every fault is found before any document is looked at) and then
// matched against parsed documents.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace stavo::devserver {

using SelectorJson = nlohmann::ordered_json;

// Decoded reference tokens of a JSON pointer ("" is the whole document).
using Pointer = std::vector<std::string>;

// Parses "/a/b~1c" into {"a", "b/c"}; nullopt (with the reason in `error`) when malformed.
std::optional<Pointer> parse_pointer(std::string_view text, std::string &error);
// The value at `pointer`, or null when the document has none there.
const SelectorJson *resolve_pointer(const SelectorJson &document, const Pointer &pointer);

// Equality of JSON values that ignores the order of object members.
bool json_equal(const SelectorJson &a, const SelectorJson &b);

class Selector {
 public:
  // A compiled selector, or nullopt with the reason in `error`.
  static std::optional<Selector> compile(const SelectorJson &selector, std::string &error);

  bool matches(const SelectorJson &document) const;

  struct Node;

 private:
  std::shared_ptr<const Node> root_;
};

// A projection of `document` to the values at `fields`, rebuilt at the same places; pointers
// that lead nowhere are left out.
SelectorJson project(const SelectorJson &document, const std::vector<Pointer> &fields);

}  // namespace stavo::devserver
