// The queues: per (namespace, queue) the messages in enqueue order, their delivery leases and the
// dead letters. The queue state shares the key store's lock, because a delivery "with state" also
// leases a key ("q/<queue>/state/<message_id>") and ack/nack settle both at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "endpoints.h"
#include "util.h"

namespace stavo::devserver {

constexpr int64_t kDefaultVisibilitySeconds = 30;
constexpr int64_t kDefaultMaxAttempts = 5;

// Message bytes: small payloads in memory, larger ones in a file under the data directory.
// Immutable once stored; streams keep a reference while they send it.
class QueuePayload {
 public:
  QueuePayload() = default;
  ~QueuePayload();
  QueuePayload(const QueuePayload &) = delete;
  QueuePayload &operator=(const QueuePayload &) = delete;

  uint64_t size() const { return size_; }
  bool read(uint64_t offset, char *out, size_t length) const;

  // Building: append pieces, spilling to `file` once `memory_limit` is passed.
  bool append(const char *data, size_t length, const std::string &spill_file, size_t memory_limit);
  bool finish();
  const std::string &memory() const { return bytes_; }
  bool in_file() const { return fd_ >= 0; }

 private:
  std::string bytes_;
  std::string file_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

struct QueueDelivery {
  std::string lease_id;
  std::string owner;
  std::string txn_id;
  int64_t fencing_token = 0;
  int64_t expires_ms = 0;
  uint64_t stream_id = 0;  // the stream that carried it (flow control)
  bool with_state = false;
  std::string state_key;
  std::string state_lease_id;
  std::string state_txn_id;
  int64_t state_fencing_token = 0;
  std::string state_etag;  // committed state ETag when delivered, empty without state
};

struct QueueMessage {
  uint64_t seq = 0;
  std::string id;
  std::shared_ptr<const QueuePayload> payload;
  std::string content_type;
  std::string correlation_id;  // of the enqueue request
  int64_t enqueued_ms = 0;
  int64_t not_visible_until_ms = 0;
  int64_t expires_ms = 0;  // 0: no ttl
  int64_t visibility_timeout_seconds = kDefaultVisibilitySeconds;
  int64_t ttl_seconds = 0;
  int64_t attempts = 0;
  int64_t max_attempts = kDefaultMaxAttempts;
  int64_t failure_attempts = 0;
  int64_t fencing_counter = 0;
  std::string meta_etag;
  std::optional<json> last_error;
  std::optional<QueueDelivery> delivery;
  std::deque<std::string> past_leases;  // delivery leases that ended, newest last
};

struct DeadLetter {
  QueueMessage message;
  int64_t dead_at_ms = 0;
  std::string reason;  // "max_attempts"
};

struct QueueRecord {
  std::map<uint64_t, QueueMessage> messages;  // by seq: enqueue order
  std::vector<DeadLetter> dead_letters;
  size_t consumers = 0;  // open dequeue/subscribe streams
  size_t waiting = 0;    // of those, waiting for a message
  size_t watchers = 0;   // open watch streams
};

// What the head of a queue looks like: the first visible message in enqueue order, else the
// undelivered message that becomes visible first.
struct QueueHead {
  bool exists = false;
  bool available = false;
  std::string message_id;
  int64_t enqueued_ms = 0;
  int64_t not_visible_until_ms = 0;
  size_t visible = 0;  // undelivered messages visible now
  bool operator==(const QueueHead &other) const {
    return exists == other.exists && available == other.available && message_id == other.message_id;
  }
};

class QueueService {
 public:
  QueueService(Store &store, const ServerOptions &options);
  ~QueueService();

  using Lock = Store::Lock;
  Lock lock() { return store_.lock(); }

  QueueRecord &queue(Lock &lock, const std::string &ns, const std::string &name);
  QueueRecord *find(Lock &lock, const std::string &ns, const std::string &name);
  // Applies what is due on the virtual clock: ttl expiry, delivery leases running out.
  void refresh(Lock &lock, const std::string &ns, const std::string &name, QueueRecord &queue);

  uint64_t next_seq(Lock &) { return ++seq_; }
  uint64_t next_stream_id(Lock &) { return ++stream_ids_; }
  static std::string message_id_for(uint64_t seq);
  // The enqueue sequence inside a message id, for cursors; nullopt for a foreign text.
  static std::optional<uint64_t> seq_of(const std::string &message_id);

  QueueHead head(Lock &lock, QueueRecord &queue) const;
  // The earliest virtual time at which something in the queue changes by itself (0: never).
  int64_t next_change_ms(const QueueRecord &queue) const;

  // Leases `message` to a stream; with `with_state` also the state key (false when that key is
  // leased by someone else, and nothing changes).
  bool deliver(Lock &lock, const std::string &ns, const std::string &name, QueueMessage &message,
               const std::string &owner, int64_t visibility_seconds, uint64_t stream_id,
               bool with_state);
  // Ends a delivery: the state lease commits or rolls back, the lease id is remembered.
  void end_delivery(Lock &lock, const std::string &ns, QueueMessage &message, bool commit);
  // Moves a message to the dead letters (its delivery rolled back).
  void bury(Lock &lock, const std::string &ns, QueueRecord &queue, uint64_t seq,
            const std::string &reason);

  // Blocks until virtual time `wake_ms` (0: no deadline), a change, or a short real-time poll
  // interval; false once the server stops.
  bool wait(Lock &lock, int64_t wake_ms);
  void notify(Lock &) { changed_.notify_all(); }
  void stop();
  bool stopping(Lock &) const { return stopping_; }

  Store &store() { return store_; }
  VirtualClock &clock() { return store_.clock(); }
  const ServerOptions &options() const { return options_; }
  std::string new_payload_file();

  // For /_dev/queue: every queue by (namespace, name).
  const std::map<std::pair<std::string, std::string>, QueueRecord> &all(Lock &) const {
    return queues_;
  }

 private:
  Store &store_;
  const ServerOptions &options_;
  std::condition_variable changed_;
  bool stopping_ = false;
  uint64_t seq_ = 0;
  uint64_t stream_ids_ = 0;
  std::map<std::pair<std::string, std::string>, QueueRecord> queues_;
};

// Saturating virtual-time arithmetic: milliseconds plus seconds.
int64_t add_seconds(int64_t ms, int64_t seconds);

// The state key leased with a delivery "with state".
std::string state_key_for(const std::string &queue, const std::string &message_id);

// Every /v1/queue/ route (the groups below).
void add_queue_endpoints(Routes &routes, QueueService &queues);
void add_queue_enqueue_endpoint(Routes &routes, QueueService &queues);  // enqueue
void add_queue_settle_endpoints(Routes &routes, QueueService &queues);  // ack, nack, extend
void add_queue_stream_endpoints(Routes &routes, QueueService &queues);  // dequeue, subscribe
void add_queue_watch_endpoint(Routes &routes, QueueService &queues);    // watch
void add_queue_dev_endpoints(Routes &routes, QueueService &queues);     // /_dev/queue

}  // namespace stavo::devserver
