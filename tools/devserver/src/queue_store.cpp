#include "queue_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "util.h"

namespace stavo::devserver {

namespace {
// Real-time bound on a wait, so streams notice a departed client or a stopping server promptly.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr size_t kPastLeasesKept = 16;
}  // namespace

int64_t add_seconds(int64_t ms, int64_t seconds) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (seconds > kMax / 1000) return kMax;
  if (seconds < kMin / 1000) return kMin;
  int64_t delta = seconds * 1000;
  if (delta > 0 && ms > kMax - delta) return kMax;
  if (delta < 0 && ms < kMin - delta) return kMin;
  return ms + delta;
}

std::string state_key_for(const std::string &queue, const std::string &message_id) {
  return "q/" + queue + "/state/" + message_id;
}

// ---- payload ----

QueuePayload::~QueuePayload() {
  if (fd_ >= 0) ::close(fd_);
  if (!file_.empty()) ::unlink(file_.c_str());
}

bool QueuePayload::append(const char *data, size_t length, const std::string &spill_file,
                          size_t memory_limit) {
  if (fd_ < 0 && bytes_.size() + length > memory_limit) {
    fd_ = ::open(spill_file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    file_ = spill_file;
    std::string held = std::move(bytes_);
    bytes_.clear();
    size_ = 0;
    if (!append(held.data(), held.size(), spill_file, memory_limit)) return false;
  }
  if (fd_ < 0) {
    bytes_.append(data, length);
  } else {
    size_t done = 0;
    while (done < length) {
      ssize_t n = ::pwrite(fd_, data + done, length - done, static_cast<off_t>(size_ + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
  }
  size_ += length;
  return true;
}

bool QueuePayload::finish() {
  if (fd_ < 0) size_ = bytes_.size();
  return true;
}

bool QueuePayload::read(uint64_t offset, char *out, size_t length) const {
  if (offset > size_ || length > size_ - offset) return false;
  if (fd_ < 0) {
    std::copy_n(bytes_.data() + offset, length, out);
    return true;
  }
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---- service ----

QueueService::QueueService(Store &store, const ServerOptions &options)
    : store_(store), options_(options) {
  store_.clock().on_change([this] {
    auto guard = store_.lock();
    changed_.notify_all();
  });
}

QueueService::~QueueService() = default;

std::string QueueService::message_id_for(uint64_t seq) {
  char text[24];
  std::snprintf(text, sizeof text, "m%016" PRIx64, seq);
  return std::string(text) + "-" + random_hex(6);
}

std::optional<uint64_t> QueueService::seq_of(const std::string &message_id) {
  if (message_id.size() < 17 || message_id[0] != 'm') return std::nullopt;
  uint64_t seq = 0;
  for (size_t i = 1; i < 17; ++i) {
    char c = message_id[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return std::nullopt;
    seq = seq * 16 + static_cast<uint64_t>(digit);
  }
  return seq;
}

QueueRecord &QueueService::queue(Lock &lock, const std::string &ns, const std::string &name) {
  QueueRecord &record = queues_[{ns, name}];
  refresh(lock, ns, name, record);
  return record;
}

QueueRecord *QueueService::find(Lock &lock, const std::string &ns, const std::string &name) {
  auto it = queues_.find({ns, name});
  if (it == queues_.end()) return nullptr;
  refresh(lock, ns, name, it->second);
  return &it->second;
}

void QueueService::refresh(Lock &lock, const std::string &ns, const std::string &,
                           QueueRecord &queue) {
  int64_t now = clock().now_ms();
  bool changed = false;
  for (auto it = queue.messages.begin(); it != queue.messages.end();) {
    QueueMessage &message = it->second;
    if (message.expires_ms != 0 && now >= message.expires_ms) {
      if (message.delivery) end_delivery(lock, ns, message, false);
      it = queue.messages.erase(it);
      changed = true;
      continue;
    }
    if (message.delivery && now >= message.delivery->expires_ms) {
      // The consumer neither settled nor extended in time: a failed attempt.
      int64_t expired_at = message.delivery->expires_ms;
      end_delivery(lock, ns, message, false);
      ++message.failure_attempts;
      message.not_visible_until_ms = expired_at;
      message.meta_etag = random_hex(16);
      changed = true;
      if (message.failure_attempts >= message.max_attempts) {
        uint64_t seq = it->first;
        ++it;
        bury(lock, ns, queue, seq, "max_attempts");
        continue;
      }
    }
    ++it;
  }
  if (changed) changed_.notify_all();
}

QueueHead QueueService::head(Lock &, QueueRecord &queue) const {
  QueueHead head;
  int64_t now = store_.clock().now_ms();
  const QueueMessage *first_visible = nullptr;
  const QueueMessage *soonest = nullptr;
  for (const auto &[seq, message] : queue.messages) {
    if (message.delivery) continue;
    if (message.not_visible_until_ms <= now) {
      ++head.visible;
      if (first_visible == nullptr) first_visible = &message;
    } else if (soonest == nullptr || message.not_visible_until_ms < soonest->not_visible_until_ms) {
      soonest = &message;
    }
  }
  const QueueMessage *chosen = first_visible != nullptr ? first_visible : soonest;
  if (chosen != nullptr) {
    head.exists = true;
    head.available = chosen == first_visible;
    head.message_id = chosen->id;
    head.enqueued_ms = chosen->enqueued_ms;
    head.not_visible_until_ms = chosen->not_visible_until_ms;
  }
  return head;
}

int64_t QueueService::next_change_ms(const QueueRecord &queue) const {
  int64_t now = store_.clock().now_ms();
  int64_t next = 0;
  auto consider = [&](int64_t at) {
    if (at > now && (next == 0 || at < next)) next = at;
  };
  for (const auto &[seq, message] : queue.messages) {
    if (message.expires_ms != 0) consider(message.expires_ms);
    if (message.delivery) {
      consider(message.delivery->expires_ms);
    } else {
      consider(message.not_visible_until_ms);
    }
  }
  return next;
}

bool QueueService::deliver(Lock &lock, const std::string &ns, const std::string &name,
                           QueueMessage &message, const std::string &owner,
                           int64_t visibility_seconds, uint64_t stream_id, bool with_state) {
  int64_t now = clock().now_ms();
  int64_t seconds =
      visibility_seconds > 0 ? visibility_seconds : message.visibility_timeout_seconds;
  QueueDelivery delivery;
  delivery.expires_ms = add_seconds(now, seconds);
  if (with_state) {
    delivery.state_key = state_key_for(name, message.id);
    KeyRecord &record = store_.get_or_create(lock, ns, delivery.state_key);
    if (record.lease) return false;  // someone else holds the message's state
    Lease lease;
    lease.id = random_hex(16);
    lease.owner = owner;
    lease.txn_id = "txn-" + random_hex(12);
    lease.fencing_token = ++record.fencing_counter;
    lease.expires_ms = delivery.expires_ms;
    record.lease = lease;
    delivery.with_state = true;
    delivery.state_lease_id = lease.id;
    delivery.state_txn_id = lease.txn_id;
    delivery.state_fencing_token = lease.fencing_token;
    if (record.state) delivery.state_etag = record.state->etag;
  }
  delivery.lease_id = random_hex(16);
  delivery.owner = owner;
  delivery.txn_id = "txn-" + random_hex(12);
  delivery.fencing_token = ++message.fencing_counter;
  delivery.stream_id = stream_id;
  ++message.attempts;
  message.not_visible_until_ms = delivery.expires_ms;
  message.meta_etag = random_hex(16);
  message.delivery = std::move(delivery);
  changed_.notify_all();
  return true;
}

void QueueService::end_delivery(Lock &lock, const std::string &ns, QueueMessage &message,
                                bool commit) {
  if (!message.delivery) return;
  const QueueDelivery &delivery = *message.delivery;
  if (delivery.with_state) {
    KeyRecord *record = store_.find(lock, ns, delivery.state_key);
    if (record != nullptr && record->lease && record->lease->id == delivery.state_lease_id) {
      store_.end_lease(lock, *record, commit);
    }
  }
  message.past_leases.push_back(delivery.lease_id);
  while (message.past_leases.size() > kPastLeasesKept)
    message.past_leases.pop_front();
  message.delivery.reset();
  changed_.notify_all();
}

void QueueService::bury(Lock &lock, const std::string &ns, QueueRecord &queue, uint64_t seq,
                        const std::string &reason) {
  auto it = queue.messages.find(seq);
  if (it == queue.messages.end()) return;
  end_delivery(lock, ns, it->second, false);
  DeadLetter dead;
  dead.message = std::move(it->second);
  dead.message.meta_etag = random_hex(16);
  dead.dead_at_ms = clock().now_ms();
  dead.reason = reason;
  queue.dead_letters.push_back(std::move(dead));
  queue.messages.erase(it);
  changed_.notify_all();
}

bool QueueService::wait(Lock &lock, int64_t wake_ms) {
  if (stopping_ || store_.stopping(lock)) return false;
  auto deadline = std::chrono::steady_clock::now() + kPollInterval;
  if (wake_ms != 0) {
    int64_t now = clock().now_ms();
    if (wake_ms <= now) return true;
    // Only deadlines inside the poll interval matter; far ones would overflow the conversion.
    int64_t gap = 0;
    if (!__builtin_sub_overflow(wake_ms, now, &gap) && gap < kPollInterval.count()) {
      deadline = std::min(deadline, clock().real_deadline(wake_ms));
    }
  }
  changed_.wait_until(lock, deadline);
  return !stopping_ && !store_.stopping(lock);
}

void QueueService::stop() {
  auto guard = store_.lock();
  stopping_ = true;
  changed_.notify_all();
}

std::string QueueService::new_payload_file() {
  return store_.data_dir() + "/payload-" + random_hex(12);
}

}  // namespace stavo::devserver
