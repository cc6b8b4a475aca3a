#include "devserver/faults.h"

#include <nlohmann/json.hpp>

namespace stavo::devserver {

Fault Fault::respond(std::string method, std::string path, int status, std::string body,
                     HeaderList headers) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.status = status;
  fault.body = std::move(body);
  fault.headers = std::move(headers);
  return fault;
}

Fault Fault::error(std::string method, std::string path, int status, std::string_view code,
                   std::string_view detail) {
  nlohmann::ordered_json body = {{"error", code}, {"detail", detail}};
  return respond(std::move(method), std::move(path), status, body.dump(),
                 {{"Content-Type", "application/json"}});
}

Fault Fault::with_headers(std::string method, std::string path, HeaderList headers) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.headers = std::move(headers);
  return fault;
}

Fault Fault::delayed(std::string method, std::string path, std::chrono::milliseconds delay) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.delay = delay;
  return fault;
}

Fault Fault::held(std::string method, std::string path) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.hold = true;
  return fault;
}

Fault Fault::in_pieces(std::string method, std::string path, std::vector<size_t> sizes,
                       std::chrono::milliseconds pause, bool chunked_encoding) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.chunk_sizes = std::move(sizes);
  fault.chunk_pause = pause;
  fault.chunked_encoding = chunked_encoding;
  return fault;
}

Fault Fault::cut_after(std::string method, std::string path, size_t bytes) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.close_after_bytes = bytes;
  return fault;
}

Fault Fault::dropped(std::string method, std::string path) {
  Fault fault;
  fault.method = std::move(method);
  fault.path = std::move(path);
  fault.drop_connection = true;
  return fault;
}

Fault Fault::stream_refusal(std::string path, std::string_view code, int64_t retry_after_seconds) {
  nlohmann::ordered_json body = {{"error", code}, {"detail", "scripted queue stream refusal"}};
  if (retry_after_seconds >= 0) body["retry_after_seconds"] = retry_after_seconds;
  int status = code == "node_passive" ? 503 : 409;
  return respond("POST", std::move(path), status, body.dump(),
                 {{"Content-Type", "application/json"}});
}

Fault Fault::stream_cut_after_parts(std::string path, size_t parts) {
  Fault fault;
  fault.method = "POST";
  fault.path = std::move(path);
  fault.cut_after_parts = parts;
  return fault;
}

Fault Fault::stream_stall_after_parts(std::string path, size_t parts) {
  Fault fault;
  fault.method = "POST";
  fault.path = std::move(path);
  fault.stall_after_parts = parts;
  return fault;
}

uint64_t FaultTable::add(Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fault.times < 1) fault.times = 1;
  uint64_t id = next_id_++;
  entries_.push_back({id, std::move(fault)});
  return id;
}

void FaultTable::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

size_t FaultTable::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::optional<Fault> FaultTable::take(std::string_view method, std::string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const Fault &fault = it->fault;
    if (!fault.method.empty() && fault.method != method) continue;
    if (!fault.path.empty() && fault.path != path) continue;
    Fault copy = fault;
    if (--it->fault.times <= 0) entries_.erase(it);
    return copy;
  }
  return std::nullopt;
}

uint64_t FaultTable::hold_generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hold_generation_;
}

bool FaultTable::wait_released(uint64_t generation) const {
  std::unique_lock<std::mutex> lock(mutex_);
  ++held_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return stopped_ || hold_generation_ != generation; });
  --held_;
  changed_.notify_all();
  return !stopped_;
}

void FaultTable::release_holds() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++hold_generation_;
  changed_.notify_all();
}

size_t FaultTable::held_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

bool FaultTable::wait_for_held(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return held_ >= count; });
}

void FaultTable::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

}  // namespace stavo::devserver
