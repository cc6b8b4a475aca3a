// The dev server's clock. Every time the server uses (lease expiry, update times, time literals of
// mutations) comes from here, so tests can move time forward instead of sleeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace stavo::devserver {

class VirtualClock {
 public:
  // start_unix_ms 0 means the real time at construction. A running clock moves with real time
  // (plus every advance); a frozen one moves only when advanced.
  explicit VirtualClock(int64_t start_unix_ms = 0, bool running = true);

  int64_t now_ms() const;
  int64_t now_unix() const;
  bool running() const;

  // Moves time forward and wakes everything waiting on the clock. Negative amounts are ignored.
  void advance(std::chrono::milliseconds amount);
  void set_running(bool running);

  // Called (without the clock's lock held) after every advance or change of mode.
  void on_change(std::function<void()> listener);

  // For a waiter that has to wake at virtual time `deadline_ms`: the real time at which that
  // happens if nobody advances the clock, or nullopt-like max() when the clock is frozen.
  std::chrono::steady_clock::time_point real_deadline(int64_t deadline_ms) const;

 private:
  void notify();

  mutable std::mutex mutex_;
  int64_t base_ms_;                               // virtual time at anchor_
  std::chrono::steady_clock::time_point anchor_;  // real time of base_ms_
  bool running_;
  std::vector<std::function<void()>> listeners_;
};

}  // namespace stavo::devserver
