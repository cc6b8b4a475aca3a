// Where transfers get their easy handles. A client that reuses connections keeps idle handles,
// each with the multi handle that runs it, and resets one for the next transfer instead of
// building a new pair (libcurl's per-handle setup costs a socket pair, fcntl and sigaction
// calls); a client that does not builds a pair per transfer, as every transfer opens its own
// connection anyway.
#include <new>

#include "connection_pool.h"
#include "transfer_core.h"

namespace {

// Idle handles a client keeps at most (one per thread that calls at once, roughly).
constexpr size_t kIdleHandles = 16;
// Idle connections a client keeps at most (several threads, several endpoints).
constexpr long kPooledConnections = 64;

sv_engine_transfer_slot *new_slot() {
  auto *slot = new (std::nothrow) sv_engine_transfer_slot();
  if (slot == nullptr) return nullptr;
  slot->curl = curl_easy_init();
  slot->multi = slot->curl != nullptr ? curl_multi_init() : nullptr;
  if (slot->multi == nullptr) {
    sv_engine_transfer_slot_free(slot);
    return nullptr;
  }
  return slot;
}

sv_engine_transfer_slot *take_idle(sv_engine_connection_share *pool) {
  const std::lock_guard<std::mutex> guard(pool->handles_lock);
  if (pool->idle_handles.empty()) return nullptr;
  sv_engine_transfer_slot *slot = pool->idle_handles.back();
  pool->idle_handles.pop_back();
  return slot;
}

}  // namespace

void sv_engine_transfer_slot_free(sv_engine_transfer_slot *slot) noexcept {
  if (slot == nullptr) return;
  if (slot->curl != nullptr) curl_easy_cleanup(slot->curl);
  if (slot->multi != nullptr) curl_multi_cleanup(slot->multi);
  delete slot;
}

CURL *sv_engine_transfer_handle(const sv_engine_client *client,
                                sv_engine_ssl_ctx_fn install_identity) noexcept {
  sv_engine_connection_share *pool = client->connection_share;
  sv_engine_transfer_slot *slot = pool != nullptr ? take_idle(pool) : nullptr;
  if (slot != nullptr) {
    // Options go back to their defaults; the share and the handle's caches stay.
    curl_easy_reset(slot->curl);
  } else {
    slot = new_slot();
    if (slot == nullptr) return nullptr;
  }
  slot->client = client;
  slot->pooled = pool != nullptr;
  slot->stale_connection = false;
  slot->header_fn = nullptr;
  slot->header_data = nullptr;
  slot->headers_done = false;
  CURL *curl = slot->curl;
  curl_easy_setopt(curl, CURLOPT_PRIVATE, slot);
  sv_engine_trust_store_prepare(curl, client);
  if (pool != nullptr) {
    curl_easy_setopt(curl, CURLOPT_SHARE, pool->share);
    // The pool trims itself to the limit of the transfer returning a connection; libcurl's
    // default of 5 would close connections that other threads are about to reuse.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, kPooledConnections);
    // The limit that counts is the multi handle's (4 per handle by default, which would close
    // the pooled connections of the other threads).
    curl_multi_setopt(slot->multi, CURLMOPT_MAXCONNECTS, kPooledConnections);
    sv_engine_pooled_socket_watch(curl, slot);
  }
  sv_engine_set_connection_options(curl, client, install_identity);
  return curl;
}

void sv_engine_transfer_release(const sv_engine_client *client, CURL *curl) noexcept {
  if (curl == nullptr) return;
  sv_engine_transfer_slot *slot = nullptr;
  curl_easy_getinfo(curl, CURLINFO_PRIVATE, reinterpret_cast<char **>(&slot));
  if (slot == nullptr) {
    curl_easy_cleanup(curl);
    return;
  }
  sv_engine_connection_share *pool = client != nullptr ? client->connection_share : nullptr;
  if (slot->pooled && pool != nullptr) {
    const std::lock_guard<std::mutex> guard(pool->handles_lock);
    if (pool->idle_handles.size() < kIdleHandles) {
      // A handle that cannot be kept (no room for the pointer) is simply freed below.
      try {
        pool->idle_handles.push_back(slot);
        return;
      } catch (...) {
      }
    }
  }
  sv_engine_transfer_slot_free(slot);
}
