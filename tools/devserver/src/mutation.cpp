#include "mutation.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace stavo::devserver {

namespace {

using json = nlohmann::ordered_json;

bool starts_with(const std::string &text, const char *prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool ends_with(const std::string &text, const char *suffix) {
  std::string s(suffix);
  return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

std::string trim(const std::string &text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
    --end;
  return text.substr(begin, end - begin);
}

std::string strip_literal_quotes(const std::string &text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool iequals(const std::string &a, const char *b) {
  std::string s(b);
  if (a.size() != s.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != s[i]) return false;
  }
  return true;
}

// The whole text is one double without range error (strtod semantics). A numeric delta has no
// white space before or after it: padding is how a number is stored instead of added.
std::optional<double> full_double(const std::string &text, bool allow_leading_space = false) {
  if (text.empty()) return std::nullopt;
  if (!allow_leading_space && (std::isspace(static_cast<unsigned char>(text.front())) ||
                               std::isspace(static_cast<unsigned char>(text.back())))) {
    return std::nullopt;
  }
  errno = 0;
  char *end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  return value;
}

std::optional<int64_t> full_i64(const std::string &text) {
  const char *begin = text.data();
  const char *end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  if (begin == end) return std::nullopt;
  int64_t value = 0;
  auto [stop, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<std::string> split_path(const std::string &path, std::vector<std::string> &out) {
  if (path.empty() || path[0] != '/') return "mutation path must start with '/': " + path;
  out.clear();
  size_t start = 1;
  while (true) {
    size_t slash = path.find('/', start);
    std::string raw = path.substr(start, slash == std::string::npos ? slash : slash - start);
    if (raw.empty()) return "mutation path refers to document root: " + path;
    std::string segment;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '~' && i + 1 < raw.size() && (raw[i + 1] == '0' || raw[i + 1] == '1')) {
        segment.push_back(raw[i + 1] == '0' ? '~' : '/');
        ++i;
      } else {
        segment.push_back(raw[i]);
      }
    }
    if (segment.size() > 1024) return "mutation path segment is too long";
    if (segment == "*" || segment == "**" || segment == "[]" || segment == "...") {
      return "wildcard paths are not supported; use direct JSON pointer paths: " + segment;
    }
    out.push_back(std::move(segment));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return std::nullopt;
}

// Splits a brace body at top-level ',' or line feed, outside quotes; backslash protects a byte.
std::vector<std::string> brace_items(const std::string &body) {
  std::vector<std::string> items;
  std::string current;
  int depth = 0;
  bool single = false, dbl = false;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\\' && i + 1 < body.size()) {
      current.push_back(c);
      current.push_back(body[++i]);
      continue;
    }
    if (c == '\'' && !dbl) single = !single;
    if (c == '"' && !single) dbl = !dbl;
    if (!single && !dbl) {
      if (c == '{') ++depth;
      if (c == '}') --depth;
      if ((c == ',' || c == '\n') && depth == 0) {
        items.push_back(trim(current));
        current.clear();
        continue;
      }
    }
    current.push_back(c);
  }
  items.push_back(trim(current));
  std::vector<std::string> kept;
  for (auto &item : items) {
    if (!item.empty()) kept.push_back(std::move(item));
  }
  return kept;
}

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t &y, int64_t &m, int64_t &d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = yoe + era * 400 + (m <= 2);
}

std::optional<std::string> parse_one(const std::string &expression, int64_t now_ms,
                                     std::vector<Mutation> &out, int depth);

std::optional<std::string> parse_one(const std::string &expression, int64_t now_ms,
                                     std::vector<Mutation> &out, int depth) {
  if (depth > 16) return "mutation braces are nested too deeply: " + expression;
  std::string rest = expression;
  for (const char *prefix : {"file:", "textfile:", "base64file:"}) {
    if (starts_with(rest, prefix)) {
      return "file-backed mutations are not supported by the server: " + expression;
    }
  }
  bool remove = false;
  for (const char *prefix : {"rm:", "remove:", "delete:", "del:"}) {
    if (starts_with(rest, prefix)) {
      rest = rest.substr(std::string(prefix).size());
      remove = true;
      break;
    }
  }
  bool time = false;
  if (starts_with(rest, "time:")) {
    if (remove) return "time-prefixed mutation cannot be combined with remove: " + expression;
    rest = rest.substr(5);
    time = true;
  }
  Mutation mutation;
  if (remove) {
    mutation.kind = Mutation::Kind::remove;
    if (auto f = split_path(rest, mutation.path)) return f;
    out.push_back(std::move(mutation));
    return std::nullopt;
  }
  if (rest.size() >= 2 && (ends_with(rest, "++") || ends_with(rest, "--"))) {
    mutation.kind = Mutation::Kind::increment;
    mutation.delta = ends_with(rest, "++") ? 1 : -1;
    if (auto f = split_path(rest.substr(0, rest.size() - 2), mutation.path)) return f;
    out.push_back(std::move(mutation));
    return std::nullopt;
  }
  size_t brace = rest.find('{');
  if (!rest.empty() && rest.back() == '}' && brace != std::string::npos && brace != 0) {
    std::string prefix = rest.substr(0, brace);
    std::string body = rest.substr(brace + 1, rest.size() - brace - 2);
    for (const auto &item : brace_items(body)) {
      if (auto f = parse_one(prefix + item, now_ms, out, depth + 1)) return f;
    }
    return std::nullopt;
  }
  size_t equals = rest.find('=');
  if (equals == std::string::npos) return "invalid mutation expression: " + expression;
  std::string path = rest.substr(0, equals);
  std::string value = rest.substr(equals + 1);
  if (auto f = split_path(path, mutation.path)) return f;
  if (!time) {
    if (auto delta = full_double(value)) {
      if (*delta == 0) return "increment mutation requires non-zero delta: " + path;
      if (!std::isfinite(*delta)) return "increment mutation requires a finite delta: " + path;
      mutation.kind = Mutation::Kind::increment;
      mutation.delta = *delta;
      out.push_back(std::move(mutation));
      return std::nullopt;
    }
  }
  std::string literal = strip_literal_quotes(trim(value));
  mutation.kind = Mutation::Kind::set;
  if (time) {
    if (literal == "now" || literal == "NOW") {
      int64_t seconds = now_ms >= 0 ? now_ms / 1000 : -((-now_ms + 999) / 1000);
      mutation.value = format_timestamp(seconds, (now_ms - seconds * 1000) * 1000000);
    } else {
      std::string error;
      auto normalized = normalize_rfc3339(literal, error);
      if (!normalized) return error + ": " + literal;
      mutation.value = *normalized;
    }
  } else if (iequals(literal, "true") || iequals(literal, "false")) {
    mutation.value = iequals(literal, "true");
  } else if (iequals(literal, "null")) {
    mutation.value = nullptr;
  } else if (auto integer = full_i64(literal)) {
    mutation.value = *integer;
  } else if (auto number = full_double(literal, true); number && std::isfinite(*number)) {
    mutation.value = *number;
  } else {
    mutation.value = literal;
  }
  out.push_back(std::move(mutation));
  return std::nullopt;
}

bool is_index(const std::string &segment, size_t &index) {
  if (segment.empty() || segment.size() > 18) return false;
  for (char c : segment) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  index = static_cast<size_t>(std::stoull(segment));
  return true;
}

// The value an increment leaves behind: integers stay integers while the delta is integral.
json add_number(const json &old, double delta) {
  double integral = 0;
  if (old.is_number_integer() && std::modf(delta, &integral) == 0.0 && std::fabs(delta) < 9e15) {
    int64_t base = old.get<int64_t>();
    int64_t step = static_cast<int64_t>(delta);
    int64_t sum = 0;
    if (!__builtin_add_overflow(base, step, &sum)) return sum;
  }
  return old.get<double>() + delta;
}

json new_value(const Mutation &mutation) {
  if (mutation.kind == Mutation::Kind::increment) {
    double integral = 0;
    if (std::modf(mutation.delta, &integral) == 0.0 && std::fabs(mutation.delta) < 9e15) {
      return static_cast<int64_t>(mutation.delta);
    }
    return mutation.delta;
  }
  return mutation.value;
}

std::optional<std::string> apply_one(json &document, const Mutation &mutation) {
  json *node = &document;
  const auto &path = mutation.path;
  for (size_t i = 0; i < path.size(); ++i) {
    bool last = i + 1 == path.size();
    const std::string &segment = path[i];
    if (node->is_object()) {
      auto it = node->find(segment);
      if (it == node->end()) {
        if (mutation.kind == Mutation::Kind::remove) return std::nullopt;
        // Create the missing chain of objects below the deepest existing one.
        for (size_t k = i + 1; k < path.size(); ++k) {
          if (!path[k].empty() && std::isdigit(static_cast<unsigned char>(path[k][0]))) {
            return "cannot create missing array paths: " + path[k];
          }
        }
        json *target = &(*node)[segment];
        for (size_t k = i + 1; k < path.size(); ++k)
          target = &(*target)[path[k]];
        *target = new_value(mutation);
        return std::nullopt;
      }
      if (!last) {
        node = &*it;
        continue;
      }
      if (mutation.kind == Mutation::Kind::remove) {
        node->erase(it);
      } else if (mutation.kind == Mutation::Kind::set) {
        *it = mutation.value;
      } else {
        if (!it->is_number()) return "increment target is not numeric: /" + segment;
        *it = add_number(*it, mutation.delta);
      }
      return std::nullopt;
    }
    if (node->is_array()) {
      size_t index = 0;
      if (!is_index(segment, index) || index >= node->size()) return std::nullopt;
      json &element = (*node)[index];
      if (!last) {
        node = &element;
        continue;
      }
      if (mutation.kind == Mutation::Kind::remove) {
        node->erase(index);
      } else if (mutation.kind == Mutation::Kind::set) {
        element = mutation.value;
      } else {
        if (!element.is_number()) return "increment target is not numeric: /" + segment;
        element = add_number(element, mutation.delta);
      }
      return std::nullopt;
    }
    // The path runs through a scalar: nothing to change.
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::string format_timestamp(int64_t seconds, int64_t nanos) {
  int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  int64_t rest = seconds - days * 86400;
  int64_t y = 0, m = 0, d = 0;
  civil_from_days(days, y, m, d);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", static_cast<int>(y),
                static_cast<int>(m), static_cast<int>(d), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  std::string out = buffer;
  if (nanos > 0) {
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, ".%09ld", static_cast<long>(nanos));
    std::string f = fraction;
    while (f.back() == '0')
      f.pop_back();
    out += f;
  }
  return out + "Z";
}

std::optional<std::string> normalize_rfc3339(const std::string &text, std::string &error) {
  error = "invalid RFC3339 time literal";
  auto digits = [&](size_t at, size_t count, int &out) {
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  int year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) ||
      text[7] != '-' || !digits(8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
      !digits(11, 2, hour) || text[13] != ':' || !digits(14, 2, minute) || text[16] != ':' ||
      !digits(17, 2, second)) {
    return std::nullopt;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return std::nullopt;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int month_days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > month_days || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  size_t pos = 19;
  int64_t nanos = 0;
  if (text[pos] == '.') {
    size_t start = ++pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])))
      ++pos;
    size_t count = pos - start;
    if (count == 0 || count > 9) {
      error = "invalid RFC3339Nano time literal";
      return std::nullopt;
    }
    for (size_t i = start; i < pos; ++i)
      nanos = nanos * 10 + (text[i] - '0');
    for (size_t i = count; i < 9; ++i)
      nanos *= 10;
  }
  int64_t offset = 0;
  std::string zone = text.substr(pos);
  if (zone == "Z" || zone == "z") {
    offset = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int zh = 0, zm = 0;
    if (!digits(pos + 1, 2, zh) || !digits(pos + 4, 2, zm) || zh > 23 || zm > 59) {
      return std::nullopt;
    }
    offset = (zh * 60 + zm) * 60 * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  int64_t seconds =
      days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  return format_timestamp(seconds, nanos);
}

std::optional<std::string> parse_mutations(const std::vector<std::string> &expressions,
                                           int64_t now_ms, std::vector<Mutation> &out) {
  out.clear();
  for (const auto &expression : expressions) {
    if (expression.empty()) continue;
    if (auto f = parse_one(expression, now_ms, out, 0)) return f;
  }
  if (out.empty()) return std::string("mutate requires at least one mutation");
  return std::nullopt;
}

std::optional<std::string> apply_mutations(json &document, const std::vector<Mutation> &mutations) {
  if (!document.is_object()) return std::string("mutate requires a JSON object root");
  for (const auto &mutation : mutations) {
    if (auto f = apply_one(document, mutation)) return f;
  }
  return std::nullopt;
}

}  // namespace stavo::devserver
