#include "queue_multipart.h"

#include <algorithm>
#include <cctype>

namespace stavo::devserver {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// The value of parameter `key` in "type; a=b; key="value"" (case-insensitive key).
std::optional<std::string> parameter(std::string_view header, std::string_view key) {
  size_t pos = header.find(';');
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;
    size_t equals = header.find('=', pos);
    size_t next = header.find(';', pos);
    if (equals == std::string_view::npos || (next != std::string_view::npos && next < equals)) {
      pos = next;
      continue;
    }
    std::string name = lower(trim(header.substr(pos, equals - pos)));
    size_t start = equals + 1;
    while (start < header.size() && (header[start] == ' ' || header[start] == '\t'))
      ++start;
    std::string value;
    size_t end = start;
    if (start < header.size() && header[start] == '"') {
      end = start + 1;
      while (end < header.size() && header[end] != '"') {
        if (header[end] == '\\' && end + 1 < header.size()) ++end;
        value.push_back(header[end]);
        ++end;
      }
      if (end >= header.size()) return std::nullopt;  // unterminated quote
      ++end;
    } else {
      while (end < header.size() && header[end] != ';' && header[end] != ' ' && header[end] != '\t')
        ++end;
      value = std::string(header.substr(start, end - start));
    }
    if (name == key) return value;
    pos = header.find(';', end);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> multipart_related_boundary(std::string_view content_type) {
  std::string type = lower(trim(content_type.substr(0, content_type.find(';'))));
  if (type != "multipart/related") return std::nullopt;
  auto boundary = parameter(content_type, "boundary");
  if (!boundary || boundary->empty() || boundary->size() > 200) return std::nullopt;
  return boundary;
}

MultipartReader::MultipartReader(std::string boundary, Callbacks callbacks, size_t max_header_bytes)
    : delimiter_("\r\n--" + boundary),
      callbacks_(std::move(callbacks)),
      max_header_bytes_(max_header_bytes) {}

bool MultipartReader::set_failed(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  state_ = State::failed;
  return false;
}

bool MultipartReader::process_line(std::string_view line) {
  std::string_view dash_boundary = std::string_view(delimiter_).substr(2);
  switch (state_) {
    case State::preamble: {
      std::string_view text = trim(line);
      if (text.empty()) return true;
      if (text == dash_boundary) {
        state_ = State::headers;
        return true;
      }
      if (text.size() == dash_boundary.size() + 2 &&
          text.substr(0, dash_boundary.size()) == dash_boundary &&
          text.substr(dash_boundary.size()) == "--") {
        state_ = State::done;
        return true;
      }
      return set_failed("the body must begin with the boundary delimiter line");
    }
    case State::after_delimiter: {
      if (line.substr(0, 2) == "--") {
        state_ = State::done;
        return true;
      }
      if (!trim(line).empty()) return set_failed("unexpected text after a boundary delimiter");
      state_ = State::headers;
      return true;
    }
    case State::headers: {
      if (line.empty()) {
        header_bytes_ = 0;
        if (callbacks_.begin && !callbacks_.begin(part_)) return set_failed("part refused");
        state_ = State::body;
        // A CRLF in front of the body lets an empty body end at the delimiter right away; it is
        // never delivered.
        pending_ = "\r\n";
        synthetic_left_ = 2;
        return true;
      }
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) {
        return set_failed("invalid part header line");
      }
      if (part_.headers.size() >= 64) return set_failed("too many part headers");
      std::string name(line.substr(0, colon));
      std::string value(trim(line.substr(colon + 1)));
      std::string key = lower(name);
      if (key == "content-disposition") {
        part_.name = parameter(value, "name").value_or("");
      } else if (key == "content-type") {
        part_.content_type = value;
      }
      part_.headers.emplace_back(std::move(name), std::move(value));
      return true;
    }
    default:
      return true;
  }
}

bool MultipartReader::flush_body(bool all) {
  size_t keep = all ? 0 : std::min(pending_.size(), delimiter_.size() - 1);
  size_t give = pending_.size() - keep;
  if (give > 0) {
    size_t skip = std::min(synthetic_left_, give);
    synthetic_left_ -= skip;
    if (give > skip && callbacks_.data && !callbacks_.data(pending_.data() + skip, give - skip)) {
      return set_failed("part data refused");
    }
    pending_.erase(0, give);
  }
  return true;
}

bool MultipartReader::push(const char *data, size_t size) {
  size_t i = 0;
  while (i < size) {
    if (state_ == State::failed) return false;
    if (state_ == State::done) return true;  // epilogue is ignored
    if (state_ == State::body) {
      size_t old = pending_.size();
      pending_.append(data + i, size - i);
      i = size;
      size_t search_from = old >= delimiter_.size() ? old - delimiter_.size() + 1 : 0;
      size_t at = pending_.find(delimiter_, search_from);
      if (at == std::string::npos) {
        if (!flush_body(false)) return false;
        continue;
      }
      std::string rest = pending_.substr(at + delimiter_.size());
      pending_.resize(at);
      if (!flush_body(true)) return false;
      if (callbacks_.end && !callbacks_.end()) return set_failed("part end refused");
      part_ = Part{};
      synthetic_left_ = 0;
      pending_.clear();
      state_ = State::after_delimiter;
      line_.clear();
      if (!rest.empty() && !push(rest.data(), rest.size())) return false;
      continue;
    }
    char c = data[i++];
    if (c == '\n') {
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      std::string line = std::move(line_);
      line_.clear();
      if (!process_line(line)) return false;
      continue;
    }
    line_.push_back(c);
    header_bytes_ += 1;
    if (line_.size() > max_header_bytes_ || header_bytes_ > max_header_bytes_ * 4) {
      return set_failed("part header section is too long");
    }
  }
  return state_ != State::failed;
}

bool MultipartReader::finish() {
  if (state_ == State::failed) return false;
  // The line break after the closing delimiter is optional.
  if (state_ == State::after_delimiter && line_.substr(0, 2) == "--") state_ = State::done;
  if (state_ != State::done) return set_failed("the body ended before the closing boundary");
  return true;
}

std::string part_head(const std::string &boundary, const HeaderList &headers) {
  std::string out = "--" + boundary + "\r\n";
  for (const auto &[name, value] : headers)
    out += name + ": " + value + "\r\n";
  out += "\r\n";
  return out;
}

std::string closing_delimiter(const std::string &boundary) {
  return "--" + boundary + "--\r\n";
}

}  // namespace stavo::devserver
