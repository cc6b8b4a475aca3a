#include "devserver/clock.h"

namespace stavo::devserver {

namespace {
int64_t real_unix_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
}  // namespace

VirtualClock::VirtualClock(int64_t start_unix_ms, bool running)
    : base_ms_(start_unix_ms != 0 ? start_unix_ms : real_unix_ms()),
      anchor_(std::chrono::steady_clock::now()),
      running_(running) {}

int64_t VirtualClock::now_ms() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return base_ms_;
  auto elapsed = std::chrono::steady_clock::now() - anchor_;
  return base_ms_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

int64_t VirtualClock::now_unix() const {
  int64_t ms = now_ms();
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

bool VirtualClock::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void VirtualClock::advance(std::chrono::milliseconds amount) {
  if (amount.count() <= 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    base_ms_ += amount.count();
  }
  notify();
}

void VirtualClock::set_running(bool running) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ == running) return;
    auto now = std::chrono::steady_clock::now();
    if (running_) {
      base_ms_ += std::chrono::duration_cast<std::chrono::milliseconds>(now - anchor_).count();
    }
    anchor_ = now;
    running_ = running;
  }
  notify();
}

void VirtualClock::on_change(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.push_back(std::move(listener));
}

std::chrono::steady_clock::time_point VirtualClock::real_deadline(int64_t deadline_ms) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return std::chrono::steady_clock::time_point::max();
  return anchor_ + std::chrono::milliseconds(deadline_ms - base_ms_);
}

void VirtualClock::notify() {
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners = listeners_;
  }
  for (auto &listener : listeners)
    listener();
}

}  // namespace stavo::devserver
