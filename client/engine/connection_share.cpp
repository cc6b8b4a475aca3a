// The connection pool of a client opened with reuse_connections: one libcurl share object
// holding connections, TLS sessions and DNS answers, locked per kind of data so that threads
// using one client can share it, beside the idle easy handles transfers take from it.
#include <cstdlib>
#include <mutex>
#include <new>

#include "connection_pool.h"
#include "engine_internal.h"

namespace {

std::mutex *lock_of(void *user, curl_lock_data data) noexcept {
  auto *pool = static_cast<sv_engine_connection_share *>(user);
  const int index = static_cast<int>(data);
  if (pool == nullptr || index < 0 || index >= static_cast<int>(CURL_LOCK_DATA_LAST)) {
    return nullptr;
  }
  return &pool->locks[index];
}

void lock_data(CURL *, curl_lock_data data, curl_lock_access, void *user) noexcept {
  std::mutex *lock = lock_of(user, data);
  if (lock != nullptr) lock->lock();
}

void unlock_data(CURL *, curl_lock_data data, void *user) noexcept {
  std::mutex *lock = lock_of(user, data);
  if (lock != nullptr) lock->unlock();
}

}  // namespace

int sv_engine_connection_share_open(sv_engine_client *client, sv_engine_error *error) noexcept {
  auto *pool = new (std::nothrow) sv_engine_connection_share();
  if (pool == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate connection pool");
  }
  pool->share = curl_share_init();
  if (pool->share == nullptr) {
    delete pool;
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to create connection pool");
  }
  CURLSHcode code = curl_share_setopt(pool->share, CURLSHOPT_LOCKFUNC, lock_data);
  if (code == CURLSHE_OK) code = curl_share_setopt(pool->share, CURLSHOPT_UNLOCKFUNC, unlock_data);
  if (code == CURLSHE_OK) code = curl_share_setopt(pool->share, CURLSHOPT_USERDATA, pool);
  if (code == CURLSHE_OK)
    code = curl_share_setopt(pool->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  if (code == CURLSHE_OK) {
    code = curl_share_setopt(pool->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  if (code == CURLSHE_OK) {
    code = curl_share_setopt(pool->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  }
  if (code != CURLSHE_OK) {
    curl_share_cleanup(pool->share);
    delete pool;
    const int status = code == CURLSHE_NOMEM ? SV_ERR_NOMEM : SV_ERR_TRANSPORT;
    return sv_engine_set_client_error(error, status, curl_share_strerror(code));
  }
  client->connection_share = pool;
  client->reuse_connections = 1;
  return SV_OK;
}

void sv_engine_connection_share_close(sv_engine_client *client) noexcept {
  sv_engine_connection_share *pool = client->connection_share;
  if (pool == nullptr) return;
  // Handles still attached to the share would keep it in use.
  for (sv_engine_transfer_slot *slot : pool->idle_handles)
    sv_engine_transfer_slot_free(slot);
  pool->idle_handles.clear();
  // Closing the pooled connections may take the locks, so the share goes before the mutexes.
  curl_share_cleanup(pool->share);
  delete pool;
  client->connection_share = nullptr;
  client->reuse_connections = 0;
}
