#include "store.h"

#include <unistd.h>

#include <algorithm>

#include "util.h"

namespace stavo::devserver {

Document make_document(std::string bytes, std::string content_type) {
  Document doc;
  doc.etag = sha256_hex(bytes);
  doc.bytes = std::move(bytes);
  doc.content_type = std::move(content_type);
  return doc;
}

const std::optional<Document> &KeyRecord::view_state() const {
  if (lease && lease->staged.state_changed) return lease->staged.state;
  return state;
}

int64_t KeyRecord::view_version() const {
  return lease && lease->staged.version != 0 ? lease->staged.version : version;
}

int64_t KeyRecord::stage_write() {
  last_version = std::max(last_version, version) + 1;
  lease->staged.version = last_version;
  return last_version;
}

bool KeyRecord::view_query_hidden() const {
  if (lease && lease->staged.meta_changed) return lease->staged.query_hidden;
  return query_hidden;
}

Store::Store(VirtualClock &clock, std::string data_dir)
    : clock_(clock), data_dir_(std::move(data_dir)) {
  // Long polls wait on virtual time: every advance has to wake them. Taking the mutex before
  // notifying closes the gap between a waiter reading the time and starting to wait.
  clock_.on_change([this] {
    std::lock_guard<std::mutex> guard(mutex_);
    changed_.notify_all();
  });
}

Store::~Store() {
  for (auto &[name, record] : keys_) {
    for (auto &[attachment_name, attachment] : record.attachments)
      remove_file(attachment.file);
  }
}

void Store::expire_due(KeyRecord &record) {
  if (!record.lease || clock_.now_ms() < record.lease->expires_ms) return;
  record.expired_leases.push_back(record.lease->id);
  while (record.expired_leases.size() > 16)
    record.expired_leases.pop_front();
  record.lease.reset();  // staged writes are discarded with it
  changed_.notify_all();
}

KeyRecord *Store::find(Lock &, const std::string &ns, const std::string &key) {
  auto it = keys_.find({ns, key});
  if (it == keys_.end()) return nullptr;
  expire_due(it->second);
  return &it->second;
}

KeyRecord &Store::get_or_create(Lock &, const std::string &ns, const std::string &key) {
  KeyRecord &record = keys_[{ns, key}];
  expire_due(record);
  return record;
}

void Store::end_lease(Lock &, KeyRecord &record, bool commit) {
  if (!record.lease) return;
  Staged &staged = record.lease->staged;
  if (commit && staged.any()) {
    if (staged.state_changed) record.state = std::move(staged.state);
    if (staged.meta_changed) record.query_hidden = staged.query_hidden;
    record.version = staged.version;  // every staged write took a version
    ++record.commits;
    record.updated_ms = clock_.now_ms();
  }
  record.lease.reset();
  changed_.notify_all();
}

bool Store::wait(Lock &lock, int64_t wake_ms) {
  if (stopping_) return false;
  {
    std::lock_guard<std::mutex> guard(waiting_mutex_);
    ++waiting_;
    waiting_changed_.notify_all();
  }
  auto deadline = clock_.real_deadline(wake_ms);
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    changed_.wait(lock);
  } else {
    changed_.wait_until(lock, deadline);
  }
  {
    std::lock_guard<std::mutex> guard(waiting_mutex_);
    --waiting_;
    waiting_changed_.notify_all();
  }
  return !stopping_;
}

void Store::notify_all() {
  std::lock_guard<std::mutex> guard(mutex_);
  changed_.notify_all();
}

void Store::stop() {
  std::lock_guard<std::mutex> guard(mutex_);
  stopping_ = true;
  changed_.notify_all();
}

size_t Store::waiting() const {
  std::lock_guard<std::mutex> guard(waiting_mutex_);
  return waiting_;
}

bool Store::wait_for_waiting(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(waiting_mutex_);
  return waiting_changed_.wait_for(guard, timeout, [&] { return waiting_ >= count; });
}

KeyState Store::inspect(const std::string &ns, const std::string &key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  KeyState out;
  auto it = keys_.find({ns, key});
  if (it == keys_.end()) return out;
  const KeyRecord &record = it->second;
  out.exists = true;
  if (record.state) {
    out.has_state = true;
    out.state = record.state->bytes;
    out.content_type = record.state->content_type;
    out.state_etag = record.state->etag;
  }
  out.version = record.version;
  out.query_hidden = record.query_hidden;
  out.updated_at_unix = record.updated_ms / 1000;
  out.fencing_counter = record.fencing_counter;
  // A lease that ran out is reported as gone even before the next request notices it.
  if (record.lease && clock_.now_ms() < record.lease->expires_ms) {
    const Lease &lease = *record.lease;
    LeaseState state;
    state.lease_id = lease.id;
    state.owner = lease.owner;
    state.txn_id = lease.txn_id;
    state.fencing_token = lease.fencing_token;
    state.expires_at_ms = lease.expires_ms;
    state.has_staged_changes = lease.staged.any();
    const auto &view = record.view_state();
    state.staged_has_state = view.has_value();
    if (view) state.staged_state = view->bytes;
    state.staged_query_hidden = record.view_query_hidden();
    out.lease = state;
  }
  for (const auto &[name, attachment] : record.attachments) {
    out.attachments.push_back(attachment.info);
  }
  return out;
}

void Store::seed(const std::string &ns, const std::string &key, const std::string &bytes,
                 const std::string &content_type) {
  std::lock_guard<std::mutex> guard(mutex_);
  KeyRecord &record = keys_[{ns, key}];
  record.state = make_document(bytes, content_type);
  record.last_version = std::max(record.last_version, record.version) + 1;
  record.version = record.last_version;
  ++record.commits;
  record.updated_ms = clock_.now_ms();
}

std::string Store::new_attachment_file() {
  return data_dir_ + "/attachment-" + random_hex(12);
}

void Store::remove_file(const std::string &path) {
  if (!path.empty()) ::unlink(path.c_str());
}

void Store::for_each_key(
    Lock &, const std::string &ns, const std::string &after,
    const std::function<bool(const std::string &key, const KeyRecord &record)> &visit) const {
  for (auto it = keys_.upper_bound({ns, after}); it != keys_.end() && it->first.first == ns; ++it) {
    if (!visit(it->first.second, it->second)) return;
  }
}

std::vector<KeyRecord *> Store::leased_in_txn(Lock &, const std::string &txn_id) {
  std::vector<KeyRecord *> out;
  for (auto &[name, record] : keys_) {
    expire_due(record);
    if (record.lease && record.lease->txn_id == txn_id) out.push_back(&record);
  }
  return out;
}

}  // namespace stavo::devserver
