#include "devserver/request_log.h"

#include <algorithm>
#include <cctype>

namespace stavo::devserver {

bool header_name_equals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> LoggedRequest::header(std::string_view name) const {
  for (const auto &[key, value] : headers) {
    if (header_name_equals(key, name)) return value;
  }
  return std::nullopt;
}

std::vector<std::string> LoggedRequest::header_names() const {
  std::vector<std::string> names;
  names.reserve(headers.size());
  for (const auto &entry : headers)
    names.push_back(entry.first);
  return names;
}

RequestLog::RequestLog(size_t capacity, size_t body_limit)
    : capacity_(std::max<size_t>(capacity, 1)), body_limit_(body_limit) {}

uint64_t RequestLog::begin(LoggedRequest entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry.seq = next_seq_++;
  entries_.push_back(std::move(entry));
  while (entries_.size() > capacity_)
    entries_.pop_front();
  changed_.notify_all();
  return entries_.back().seq;
}

LoggedRequest *RequestLog::locate(uint64_t seq) {
  // Sequence numbers grow along the deque, so a binary search finds the entry.
  auto it = std::lower_bound(entries_.begin(), entries_.end(), seq,
                             [](const LoggedRequest &e, uint64_t s) { return e.seq < s; });
  return it != entries_.end() && it->seq == seq ? &*it : nullptr;
}

void RequestLog::append_body(uint64_t seq, const char *data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  LoggedRequest *entry = locate(seq);
  if (entry == nullptr) return;
  entry->body_size += size;
  size_t room = entry->body.size() < body_limit_ ? body_limit_ - entry->body.size() : 0;
  if (size > room) entry->body_truncated = true;
  entry->body.append(data, std::min(size, room));
}

void RequestLog::finish(uint64_t seq, int status, const std::string &correlation_id, bool faulted) {
  std::lock_guard<std::mutex> lock(mutex_);
  LoggedRequest *entry = locate(seq);
  if (entry != nullptr) {
    entry->complete = true;
    entry->status = status;
    entry->correlation_id = correlation_id;
    entry->faulted = faulted;
  }
  changed_.notify_all();
}

std::vector<LoggedRequest> RequestLog::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

std::optional<LoggedRequest> RequestLog::find(uint64_t seq) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &entry : entries_) {
    if (entry.seq == seq) return entry;
  }
  return std::nullopt;
}

size_t RequestLog::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void RequestLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  changed_.notify_all();
}

bool RequestLog::wait_until(
    const std::function<bool(const std::vector<LoggedRequest> &)> &predicate,
    std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    std::vector<LoggedRequest> copy(entries_.begin(), entries_.end());
    if (predicate(copy)) return true;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      std::vector<LoggedRequest> last(entries_.begin(), entries_.end());
      return predicate(last);
    }
  }
}

bool RequestLog::wait_for_complete(size_t count, std::chrono::milliseconds timeout) const {
  return wait_until(
      [count](const std::vector<LoggedRequest> &entries) {
        return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), [](const auto &e) {
                 return e.complete;
               })) >= count;
      },
      timeout);
}

}  // namespace stavo::devserver
