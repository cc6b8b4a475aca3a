#include "query_selector.h"

namespace stavo::devserver {

// The condition operators; outside the anonymous namespace because Selector::Node holds one.
enum class SelectorOp { eq, ne, gt, gte, lt, lte, in, exists, prefix };

namespace {

// Bounds on nesting, so that compiling and matching never recurse without limit.
constexpr int kMaxSelectorDepth = 32;
constexpr int kMaxLiteralDepth = 64;

struct OpName {
  const char *name;
  SelectorOp op;
};
constexpr OpName kOps[] = {
    {"$eq", SelectorOp::eq},   {"$ne", SelectorOp::ne},         {"$gt", SelectorOp::gt},
    {"$gte", SelectorOp::gte}, {"$lt", SelectorOp::lt},         {"$lte", SelectorOp::lte},
    {"$in", SelectorOp::in},   {"$exists", SelectorOp::exists}, {"$prefix", SelectorOp::prefix}};

bool within_depth(const SelectorJson &value, int remaining) {
  if (!value.is_structured()) return true;
  if (remaining == 0) return false;
  for (const auto &item : value)
    if (!within_depth(item, remaining - 1)) return false;
  return true;
}

// Array index token: "0" or digits without a leading zero, within the array.
std::optional<size_t> array_index(const std::string &token, size_t size) {
  if (token.empty() || token.size() > 18 || (token.size() > 1 && token[0] == '0')) {
    return std::nullopt;
  }
  size_t index = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<size_t>(c - '0');
  }
  if (index >= size) return std::nullopt;
  return index;
}

int compare_ordered(const SelectorJson &value, const SelectorJson &operand, bool &comparable) {
  comparable = true;
  if (value.is_number() && operand.is_number()) {
    return value < operand ? -1 : (operand < value ? 1 : 0);
  }
  if (value.is_string() && operand.is_string()) {
    int c = value.get_ref<const std::string &>().compare(operand.get_ref<const std::string &>());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  comparable = false;
  return 0;
}

}  // namespace

struct Selector::Node {
  enum class Kind { all, any, condition };
  Kind kind = Kind::all;
  std::vector<Node> children;  // all, any
  Pointer pointer;             // condition
  SelectorOp op = SelectorOp::eq;
  SelectorJson operand;
};

std::optional<Pointer> parse_pointer(std::string_view text, std::string &error) {
  Pointer out;
  if (text.empty()) return out;
  if (text[0] != '/') {
    error = "'" + std::string(text) + "' is not a JSON pointer (it must start with '/')";
    return std::nullopt;
  }
  std::string token;
  for (size_t i = 1; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '/') {
      out.push_back(std::move(token));
      token.clear();
    } else if (text[i] == '~') {
      char next = i + 1 < text.size() ? text[i + 1] : '\0';
      if (next != '0' && next != '1') {
        error = "'" + std::string(text) + "' has a '~' not followed by '0' or '1'";
        return std::nullopt;
      }
      token.push_back(next == '0' ? '~' : '/');
      ++i;
    } else {
      token.push_back(text[i]);
    }
  }
  return out;
}

const SelectorJson *resolve_pointer(const SelectorJson &document, const Pointer &pointer) {
  const SelectorJson *at = &document;
  for (const auto &token : pointer) {
    if (at->is_object()) {
      auto it = at->find(token);
      if (it == at->end()) return nullptr;
      at = &*it;
    } else if (at->is_array()) {
      auto index = array_index(token, at->size());
      if (!index) return nullptr;
      at = &(*at)[*index];
    } else {
      return nullptr;
    }
  }
  return at;
}

bool json_equal(const SelectorJson &a, const SelectorJson &b) {
  if (a.is_object() && b.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !json_equal(it.value(), *other)) return false;
    }
    return true;
  }
  if (a.is_array() && b.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!json_equal(a[i], b[i])) return false;
    return true;
  }
  if (a.is_structured() || b.is_structured()) return false;
  return a == b;  // numbers compare by value across integer and floating forms
}

namespace {

bool compile_node(const SelectorJson &selector, int depth, Selector::Node &out, std::string &error);

bool compile_list(const std::string &name, const SelectorJson &list, int depth, Selector::Node &out,
                  std::string &error) {
  if (!list.is_array() || list.empty()) {
    error = "'" + name + "' takes a non-empty array of selectors";
    return false;
  }
  out.kind = name == "$and" ? Selector::Node::Kind::all : Selector::Node::Kind::any;
  for (const auto &item : list) {
    Selector::Node child;
    if (!compile_node(item, depth + 1, child, error)) return false;
    out.children.push_back(std::move(child));
  }
  return true;
}

bool compile_operator(const std::string &member, const SelectorJson &clause, Selector::Node &out,
                      std::string &error) {
  if (clause.size() != 1) {
    error = "the operator object of '" + member + "' must hold exactly one operator";
    return false;
  }
  const std::string &name = clause.begin().key();
  const SelectorJson &operand = clause.begin().value();
  const OpName *found = nullptr;
  for (const auto &candidate : kOps)
    if (name == candidate.name) found = &candidate;
  if (found == nullptr) {
    error = "unknown operator '" + name + "' for '" + member + "'";
    return false;
  }
  out.op = found->op;
  bool valid = true;
  const char *expected = "";
  switch (out.op) {
    case SelectorOp::eq:
    case SelectorOp::ne:
      break;
    case SelectorOp::gt:
    case SelectorOp::gte:
    case SelectorOp::lt:
    case SelectorOp::lte:
      valid = operand.is_number() || operand.is_string();
      expected = "a number or a string";
      break;
    case SelectorOp::in:
      valid = operand.is_array();
      expected = "an array";
      break;
    case SelectorOp::exists:
      valid = operand.is_boolean();
      expected = "a boolean";
      break;
    case SelectorOp::prefix:
      valid = operand.is_string();
      expected = "a string";
      break;
  }
  if (!valid) {
    error = "'" + name + "' of '" + member + "' takes " + expected;
    return false;
  }
  if (!within_depth(operand, kMaxLiteralDepth)) {
    error = "the operand of '" + member + "' is nested too deeply";
    return false;
  }
  out.operand = operand;
  return true;
}

bool compile_node(const SelectorJson &selector, int depth, Selector::Node &out,
                  std::string &error) {
  if (!selector.is_object()) {
    error = "a selector must be a JSON object";
    return false;
  }
  if (depth > kMaxSelectorDepth) {
    error = "the selector nests '$and'/'$or' more than " + std::to_string(kMaxSelectorDepth) +
            " levels deep";
    return false;
  }
  out.kind = Selector::Node::Kind::all;
  for (auto it = selector.begin(); it != selector.end(); ++it) {
    const std::string &member = it.key();
    const SelectorJson &value = it.value();
    Selector::Node child;
    if (member == "$and" || member == "$or") {
      if (!compile_list(member, value, depth, child, error)) return false;
      out.children.push_back(std::move(child));
      continue;
    }
    if (!member.empty() && member[0] == '$') {
      error = "unknown selector member '" + member + "' (only '$and' and '$or' combine selectors)";
      return false;
    }
    auto pointer = parse_pointer(member, error);
    if (!pointer) return false;
    child.kind = Selector::Node::Kind::condition;
    child.pointer = std::move(*pointer);
    bool is_operator = false;
    if (value.is_object()) {
      for (auto inner = value.begin(); inner != value.end(); ++inner)
        if (!inner.key().empty() && inner.key()[0] == '$') is_operator = true;
    }
    if (is_operator) {
      if (!compile_operator(member, value, child, error)) return false;
    } else {
      if (!within_depth(value, kMaxLiteralDepth)) {
        error = "the literal of '" + member + "' is nested too deeply";
        return false;
      }
      child.op = SelectorOp::eq;
      child.operand = value;
    }
    out.children.push_back(std::move(child));
  }
  return true;
}

bool match_condition(const Selector::Node &node, const SelectorJson &document) {
  const SelectorJson *value = resolve_pointer(document, node.pointer);
  bool comparable = false;
  switch (node.op) {
    case SelectorOp::eq:
      return value != nullptr && json_equal(*value, node.operand);
    case SelectorOp::ne:
      return value == nullptr || !json_equal(*value, node.operand);
    case SelectorOp::gt:
      return value != nullptr && compare_ordered(*value, node.operand, comparable) > 0 &&
             comparable;
    case SelectorOp::gte:
      return value != nullptr && compare_ordered(*value, node.operand, comparable) >= 0 &&
             comparable;
    case SelectorOp::lt:
      return value != nullptr && compare_ordered(*value, node.operand, comparable) < 0 &&
             comparable;
    case SelectorOp::lte:
      return value != nullptr && compare_ordered(*value, node.operand, comparable) <= 0 &&
             comparable;
    case SelectorOp::in:
      if (value == nullptr) return false;
      for (const auto &candidate : node.operand)
        if (json_equal(*value, candidate)) return true;
      return false;
    case SelectorOp::exists:
      return (value != nullptr) == node.operand.get<bool>();
    case SelectorOp::prefix:
      return value != nullptr && value->is_string() &&
             value->get_ref<const std::string &>().starts_with(
                 node.operand.get_ref<const std::string &>());
  }
  return false;
}

bool match_node(const Selector::Node &node, const SelectorJson &document) {
  switch (node.kind) {
    case Selector::Node::Kind::condition:
      return match_condition(node, document);
    case Selector::Node::Kind::all:
      for (const auto &child : node.children)
        if (!match_node(child, document)) return false;
      return true;
    case Selector::Node::Kind::any:
      for (const auto &child : node.children)
        if (match_node(child, document)) return true;
      return false;
  }
  return false;
}

}  // namespace

std::optional<Selector> Selector::compile(const SelectorJson &selector, std::string &error) {
  auto root = std::make_shared<Node>();
  if (!compile_node(selector, 0, *root, error)) return std::nullopt;
  Selector out;
  out.root_ = std::move(root);
  return out;
}

bool Selector::matches(const SelectorJson &document) const {
  return root_ && match_node(*root_, document);
}

SelectorJson project(const SelectorJson &document, const std::vector<Pointer> &fields) {
  SelectorJson out;
  for (const auto &field : fields) {
    const SelectorJson *value = resolve_pointer(document, field);
    if (value == nullptr) continue;
    if (field.empty()) return document;
    // Walk source and copy side by side, creating containers of the source's kind.
    const SelectorJson *source = &document;
    SelectorJson *target = &out;
    for (size_t i = 0; i < field.size(); ++i) {
      const std::string &token = field[i];
      bool last = i + 1 == field.size();
      if (source->is_object()) {
        if (!target->is_object()) *target = SelectorJson::object();
        source = &source->find(token).value();
        target = &(*target)[token];
      } else {
        size_t index = *array_index(token, source->size());
        if (!target->is_array()) *target = SelectorJson::array();
        while (target->size() <= index)
          target->push_back(nullptr);
        source = &(*source)[index];
        target = &(*target)[index];
      }
      if (last) *target = *value;
    }
  }
  return out.is_null() ? SelectorJson::object() : out;
}

}  // namespace stavo::devserver
