// The server's state: per namespace and key the committed state, version, metadata, attachments
// and at most one lease with its staged (uncommitted) writes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devserver/clock.h"
#include "devserver/key_state.h"

namespace stavo::devserver {

struct Document {
  std::string bytes;
  std::string content_type;
  std::string etag;  // hex SHA-256 of bytes
};

Document make_document(std::string bytes, std::string content_type);

struct StoredAttachment {
  AttachmentState info;
  std::string file;  // where the bytes are
};

// Writes made under a lease; they become visible to others only when the lease is released.
struct Staged {
  int64_t version = 0;  // the version the latest staged write was given; 0 before any
  bool state_changed = false;
  std::optional<Document> state;  // nullopt after a remove
  bool meta_changed = false;
  bool query_hidden = false;
  bool any() const { return state_changed || meta_changed; }
};

struct Lease {
  std::string id;
  std::string owner;
  std::string txn_id;
  int64_t fencing_token = 0;
  int64_t expires_ms = 0;
  Staged staged;
};

// Versions: every write, staged or seeded, takes the next number of the key's counter, so a
// version names exactly one state, even after a rollback or an expiry discarded staged writes.
// Answers to the lease holder (and describe) report the latest staged version; a release commits
// it as is; only public reads see the committed version.
struct KeyRecord {
  std::optional<Document> state;
  int64_t version = 0;       // committed
  int64_t last_version = 0;  // the highest version ever given out on this key
  int64_t commits = 0;       // committed changes (a version can be skipped, a commit cannot)
  bool query_hidden = false;
  int64_t updated_ms = 0;
  int64_t fencing_counter = 0;
  std::optional<Lease> lease;
  std::deque<std::string> expired_leases;               // recent leases that ran out, newest last
  std::map<std::string, StoredAttachment> attachments;  // by name

  // What the lease holder sees: the committed values with the staged writes applied.
  const std::optional<Document> &view_state() const;
  int64_t view_version() const;  // the latest staged write's version, else the committed one
  bool view_query_hidden() const;
  // Records one staged write of the current lease: it gets the next version.
  int64_t stage_write();
};

class Store {
 public:
  Store(VirtualClock &clock, std::string data_dir);
  ~Store();

  using Lock = std::unique_lock<std::mutex>;
  Lock lock() const { return Lock(mutex_); }

  // Both apply lease expiry that is due before returning the record.
  KeyRecord *find(Lock &lock, const std::string &ns, const std::string &key);
  KeyRecord &get_or_create(Lock &lock, const std::string &ns, const std::string &key);

  // Ends the lease: with commit the staged writes become the committed state.
  void end_lease(Lock &lock, KeyRecord &record, bool commit);

  // Blocks a long poll until virtual time `wake_ms`, a notify, or stop. False once stopping.
  bool wait(Lock &lock, int64_t wake_ms);
  void notify_all();
  void stop();
  bool stopping(Lock &) const { return stopping_; }

  size_t waiting() const;
  bool wait_for_waiting(size_t count, std::chrono::milliseconds timeout) const;

  KeyState inspect(const std::string &ns, const std::string &key) const;
  void seed(const std::string &ns, const std::string &key, const std::string &bytes,
            const std::string &content_type);

  VirtualClock &clock() { return clock_; }
  const std::string &data_dir() const { return data_dir_; }
  std::string new_attachment_file();
  void remove_file(const std::string &path);

  // Query and transactions. for_each_key visits the keys of `ns` after `after` in key order until
  // `visit` returns false (committed values; no expiry is applied). leased_in_txn ends the leases
  // that ran out, then returns the records whose lease belongs to `txn_id`, in key order.
  void for_each_key(
      Lock &lock, const std::string &ns, const std::string &after,
      const std::function<bool(const std::string &key, const KeyRecord &record)> &visit) const;
  std::vector<KeyRecord *> leased_in_txn(Lock &lock, const std::string &txn_id);

 private:
  void expire_due(KeyRecord &record);

  VirtualClock &clock_;
  std::string data_dir_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  mutable std::mutex waiting_mutex_;
  mutable std::condition_variable waiting_changed_;
  size_t waiting_ = 0;
  bool stopping_ = false;
  std::map<std::pair<std::string, std::string>, KeyRecord> keys_;
};

}  // namespace stavo::devserver
