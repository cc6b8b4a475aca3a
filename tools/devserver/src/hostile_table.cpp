#include <array>

#include "devserver/hostile.h"

namespace stavo::devserver {

namespace {

constexpr std::array<std::pair<HostileMode, std::string_view>, 9> kNames{{
    {HostileMode::endless_headers, "endless-headers"},
    {HostileMode::huge_error_body, "huge-error-body"},
    {HostileMode::endless_meta_part, "endless-meta-part"},
    {HostileMode::endless_sse_line, "endless-sse-line"},
    {HostileMode::payload_too_short, "payload-too-short"},
    {HostileMode::payload_too_long, "payload-too-long"},
    {HostileMode::trickle, "trickle"},
    {HostileMode::redirect, "redirect"},
    {HostileMode::cut_mid_body, "cut-mid-body"},
}};

}  // namespace

std::string_view hostile_mode_name(HostileMode mode) {
  for (const auto &[known, name] : kNames) {
    if (known == mode) return name;
  }
  return "unknown";
}

std::optional<HostileMode> parse_hostile_mode(std::string_view name) {
  for (const auto &[mode, known] : kNames) {
    if (known == name) return mode;
  }
  return std::nullopt;
}

std::vector<HostileMode> all_hostile_modes() {
  std::vector<HostileMode> modes;
  for (const auto &entry : kNames)
    modes.push_back(entry.first);
  return modes;
}

void HostileTable::add(HostileRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(std::move(rule));
}

void HostileTable::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
}

size_t HostileTable::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rules_.size();
}

std::optional<HostileMode> HostileTable::take(std::string_view method, std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!it->method.empty() && it->method != method) continue;
    if (it->path.empty() ? path.substr(0, 4) != "/v1/" : it->path != path) continue;
    const HostileMode mode = it->mode;
    // Rules with a count run out; the others (the command line's) stay.
    if (it->times > 0 && --it->times == 0) rules_.erase(it);
    return mode;
  }
  return std::nullopt;
}

}  // namespace stavo::devserver
