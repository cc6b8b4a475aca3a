// The lease keeper: a thread that renews each kept lease through the lease's own client at a
// fraction of its TTL, with jitter, and marks a lease lost when the server refuses a renewal
// (or when renewals have failed for a whole TTL). The handles are never touched from the
// thread: renewals go out with the identity copied at add time, and the caller's next call
// picks up the result (lease_keeper_slots.cpp).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lease_internal.h"
#include "lease_keeper_internal.h"
#include "record_zero.h"

namespace {

using std::chrono::milliseconds;

double renew_fraction(const sv_lease_keeper_config &config) noexcept {
  const double fraction = config.renew_fraction;
  return fraction > 0.0 && fraction < 1.0 ? fraction : 1.0 / 3.0;
}

// The next renewal of kept, counted from now: the interval with a random spread.
sv_keeper_clock::time_point next_due(sv_lease_keeper *keeper, const sv_kept_lease *kept) {
  const auto interval = static_cast<int64_t>(static_cast<double>(kept->ttl_seconds) * 1000.0 *
                                             renew_fraction(keeper->config));
  int64_t jitter = keeper->config.jitter_ms;
  if (jitter == 0) jitter = interval / 10;
  int64_t spread = 0;
  // rand(), as the consumer's backoff: the application owns the seed.
  if (jitter > 0) spread = static_cast<int64_t>(std::rand()) % (2 * jitter + 1) - jitter;  // NOLINT
  return sv_keeper_clock::now() + milliseconds(std::max<int64_t>(interval + spread, 1));
}

int64_t retry_ms(const sv_lease_keeper_config &config) noexcept {
  return config.retry_ms >= 1 ? config.retry_ms : 1000;
}

// A refusal is a failure the server answered with a 4xx status: the lease is gone, or was
// never this client's; anything else may pass.
bool is_refusal(const sv_error &error) noexcept {
  return error.code == SV_ERR_SERVER && error.http_status >= 400 && error.http_status < 500;
}

void mark_lost(sv_kept_lease *kept, const sv_error &failure, bool *report) noexcept {
  std::lock_guard<std::mutex> lock(kept->state_mutex);
  *report = !kept->leaving && !kept->lost;
  if (!*report) return;
  kept->lost = true;
  sv_keeper_copy_error(&kept->lost_error, &failure, "lease lost: ");
}

// One renewal, outside the keeper's mutex; kept->renewing keeps it alive meanwhile.
void renew(sv_lease_keeper *keeper, sv_kept_lease *kept) noexcept {
  sv_keepalive_op op;
  sv_keepalive_op_init(&op);
  op.namespace_name = kept->namespace_name.empty() ? nullptr : kept->namespace_name.c_str();
  op.key = kept->key.c_str();
  op.lease_id = kept->lease_id.c_str();
  op.txn_id = kept->txn_id.empty() ? nullptr : kept->txn_id.c_str();
  op.fencing_token = kept->fencing_token;
  op.ttl_seconds = kept->ttl_seconds;
  sv_keepalive_res res;
  sv_keepalive_res_init(&res);
  sv_error failure;
  sv_error_init(&failure);
  const int code = sv_keepalive(kept->client, &op, &res, &failure);
  const auto now = sv_keeper_clock::now();
  bool report = false;
  if (code == SV_OK) {
    std::lock_guard<std::mutex> lock(kept->state_mutex);
    kept->pending_expiry = res.expires_at_unix;
  } else if (is_refusal(failure) ||
             now - kept->last_renewed >= std::chrono::seconds(kept->ttl_seconds)) {
    mark_lost(kept, failure, &report);
  }
  if (report && keeper->config.on_lost != nullptr) {
    sv_lease_lost_event event{kept->lease, op.namespace_name, op.key, op.lease_id,
                              &kept->lost_error};
    keeper->config.on_lost(keeper->config.context, &event);
  }
  sv_keepalive_res_cleanup(&res);
  sv_error_cleanup(&failure);

  std::lock_guard<std::mutex> lock(keeper->mutex);
  if (code == SV_OK) {
    kept->last_renewed = now;
    ++kept->renewals;
    kept->due = next_due(keeper, kept);
  } else {
    kept->due = now + milliseconds(retry_ms(keeper->config));
  }
  kept->renewing = false;
  keeper->settled.notify_all();
}

bool is_live(sv_kept_lease *kept) noexcept {
  std::lock_guard<std::mutex> lock(kept->state_mutex);
  return !kept->lost && !kept->leaving;
}

void run(sv_lease_keeper *keeper) noexcept {
  std::unique_lock<std::mutex> lock(keeper->mutex);
  while (!keeper->stopping) {
    sv_kept_lease *next = nullptr;
    for (sv_kept_lease *kept : keeper->leases) {
      if (kept->renewing || !is_live(kept)) continue;
      if (next == nullptr || kept->due < next->due) next = kept;
    }
    if (next == nullptr) {
      keeper->wake.wait(lock);
      continue;
    }
    // A copy: the lease may leave the keeper (and be freed) while the thread waits.
    const sv_keeper_clock::time_point due = next->due;
    if (sv_keeper_clock::now() < due) {
      keeper->wake.wait_until(lock, due);
      continue;  // look again: the set of leases or the time may have changed
    }
    next->renewing = true;
    lock.unlock();
    renew(keeper, next);
    lock.lock();
  }
}

sv_kept_lease *find_kept(sv_lease_keeper *keeper, sv_lease *lease) noexcept {
  sv_kept_lease *kept = sv_keeper_registry_find(lease);
  return kept != nullptr && kept->keeper == keeper ? kept : nullptr;
}

}  // namespace

void sv_keeper_copy_error(sv_error *dst, const sv_error *src, const char *prefix) noexcept {
  if (dst == nullptr || src == nullptr) return;
  std::string message;
  try {
    message = std::string(prefix != nullptr ? prefix : "") +
              (src->message != nullptr ? src->message : "");
  } catch (...) {
  }
  char *etag = sv_strdup_local(src->current_etag);
  char *leader = sv_strdup_local(src->leader_endpoint);
  sv_error_set(dst, src->code, src->http_status, message.empty() ? nullptr : message.c_str(),
               src->detail, src->server_error_code, src->correlation_id);
  std::free(dst->current_etag);
  std::free(dst->leader_endpoint);
  dst->current_etag = etag;
  dst->leader_endpoint = leader;
  dst->retry_after_seconds = src->retry_after_seconds;
  dst->current_version = src->current_version;
  dst->transport_cause = src->transport_cause;
}

void sv_keeper_forget(sv_kept_lease *kept) noexcept {
  sv_lease_keeper *keeper = kept->keeper;
  {
    std::unique_lock<std::mutex> lock(keeper->mutex);
    keeper->settled.wait(lock, [&] { return !kept->renewing; });
    keeper->leases.remove(kept);
  }
  sv_error_cleanup(&kept->lost_error);
  delete kept;
}

extern "C" {

sv_lease_keeper_config *sv_lease_keeper_config_init(sv_lease_keeper_config *config) noexcept {
  sv_records::zero(config);
  return config;
}

int sv_lease_keeper_open(const sv_lease_keeper_config *config, sv_lease_keeper **out,
                         sv_error *error) noexcept {
  if (out == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease keeper open requires out", nullptr,
                        nullptr, nullptr);
  }
  auto *keeper = new (std::nothrow) sv_lease_keeper();
  if (keeper == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate lease keeper", nullptr, nullptr,
                        nullptr);
  }
  if (config != nullptr) keeper->config = *config;
  try {
    keeper->thread = std::thread([keeper] { run(keeper); });
  } catch (...) {
    delete keeper;
    return sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to start lease keeper thread", nullptr,
                        nullptr, nullptr);
  }
  *out = keeper;
  return SV_OK;
}

int sv_lease_keeper_add(sv_lease_keeper *keeper, sv_lease *lease, int64_t ttl_seconds,
                        sv_error *error) noexcept {
  if (keeper == nullptr || lease == nullptr || ttl_seconds < 1) {
    return sv_error_set(error, SV_ERR_INVALID, 0,
                        "lease keeper add requires keeper, lease, and ttl_seconds", nullptr,
                        nullptr, nullptr);
  }
  if (sv_keeper_registry_find(lease) != nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease is already kept", nullptr, nullptr,
                        nullptr);
  }
  sv_kept_lease *kept = nullptr;
  try {
    kept = new sv_kept_lease();
    sv_lease_impl *impl = sv_lease_impl_of(lease);
    kept->keeper = keeper;
    kept->lease = lease;
    kept->client = impl->client;
    kept->namespace_name = impl->namespace_name != nullptr ? impl->namespace_name : "";
    kept->key = impl->key != nullptr ? impl->key : "";
    kept->lease_id = impl->lease_id != nullptr ? impl->lease_id : "";
    kept->txn_id = impl->txn_id != nullptr ? impl->txn_id : "";
    kept->fencing_token = impl->fencing_token;
    kept->ttl_seconds = ttl_seconds;
    sv_error_init(&kept->lost_error);
    std::lock_guard<std::mutex> lock(keeper->mutex);
    keeper->leases.push_back(kept);
    kept->last_renewed = sv_keeper_clock::now();
    kept->due = next_due(keeper, kept);
  } catch (...) {
    delete kept;
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate kept lease", nullptr, nullptr,
                        nullptr);
  }
  if (!sv_keeper_registry_put(lease, kept)) {
    sv_keeper_forget(kept);
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate kept lease", nullptr, nullptr,
                        nullptr);
  }
  sv_keeper_install_slots(kept);
  keeper->wake.notify_all();
  return SV_OK;
}

int sv_lease_keeper_remove(sv_lease_keeper *keeper, sv_lease *lease) noexcept {
  sv_kept_lease *kept = keeper != nullptr && lease != nullptr ? find_kept(keeper, lease) : nullptr;
  if (kept == nullptr) return SV_ERR_INVALID;
  sv_keeper_restore_slots(kept);
  sv_keeper_registry_erase(lease);
  sv_keeper_forget(kept);
  return SV_OK;
}

int sv_lease_keeper_check(sv_lease_keeper *keeper, sv_lease *lease, sv_error *error) noexcept {
  sv_kept_lease *kept = keeper != nullptr && lease != nullptr ? find_kept(keeper, lease) : nullptr;
  if (kept == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease is not kept", nullptr, nullptr, nullptr);
  }
  std::lock_guard<std::mutex> lock(kept->state_mutex);
  if (!kept->lost) return SV_OK;
  sv_keeper_copy_error(error, &kept->lost_error, nullptr);
  return kept->lost_error.code;
}

int64_t sv_lease_keeper_renewals(sv_lease_keeper *keeper, sv_lease *lease) noexcept {
  sv_kept_lease *kept = keeper != nullptr && lease != nullptr ? find_kept(keeper, lease) : nullptr;
  if (kept == nullptr) return 0;
  std::lock_guard<std::mutex> lock(keeper->mutex);
  return kept->renewals;
}

void sv_lease_keeper_close(sv_lease_keeper *keeper) noexcept {
  if (keeper == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(keeper->mutex);
    keeper->stopping = true;
  }
  keeper->wake.notify_all();
  keeper->thread.join();
  while (!keeper->leases.empty()) {
    sv_kept_lease *kept = keeper->leases.front();
    sv_keeper_restore_slots(kept);
    sv_keeper_registry_erase(kept->lease);
    sv_keeper_forget(kept);
  }
  delete keeper;
}

}  // extern "C"
