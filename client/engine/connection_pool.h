// What a client opened with reuse_connections keeps between transfers: the libcurl share of
// connections, TLS sessions and DNS answers, the idle easy handles (each with its own multi
// handle, so a transfer costs no new handle, socket pair or signal setup), and the sockets of
// pooled HTTP/1.1 connections, so that one holding bytes nobody asked for is not reused.
#ifndef STAVOC_ENGINE_CONNECTION_POOL_H
#define STAVOC_ENGINE_CONNECTION_POOL_H

#include <curl/curl.h>

#include <mutex>
#include <string>
#include <vector>

#include "stavoc_engine.h"

// One easy handle with the multi handle that runs it; CURLOPT_PRIVATE points back here.
struct sv_engine_transfer_slot {
  CURL *curl = nullptr;
  CURLM *multi = nullptr;
  const sv_engine_client *client = nullptr;
  bool pooled = false;            // goes back to the client's pool when released
  bool stale_connection = false;  // the check before sending found unread bytes
  // The transfer's own header callback, behind the loop's, which notes when the final
  // answer's header block has ended.
  curl_write_callback header_fn = nullptr;
  void *header_data = nullptr;
  bool headers_done = false;
};

// A pooled connection's socket as the transfer that last used it saw it.
struct sv_engine_pooled_socket {
  curl_socket_t fd = CURL_SOCKET_BAD;
  std::string local_ip;
  long local_port = 0;
  std::string primary_ip;
  long primary_port = 0;
  bool multiplexed = false;  // HTTP/2: frames may arrive at any time and are framed anyway
};

struct sv_engine_connection_share {
  CURLSH *share = nullptr;
  // One lock per kind of shared data; libcurl never holds two at once.
  std::mutex locks[CURL_LOCK_DATA_LAST];
  std::mutex handles_lock;
  std::vector<sv_engine_transfer_slot *> idle_handles;
  std::mutex sockets_lock;
  std::vector<sv_engine_pooled_socket> sockets;
};

// The slot's easy and multi handles are freed with it.
void sv_engine_transfer_slot_free(sv_engine_transfer_slot *slot) noexcept;

// Sets the callbacks that keep the socket list of pool (on a handle of a pooled client).
void sv_engine_pooled_socket_watch(CURL *curl, sv_engine_transfer_slot *slot) noexcept;
// After a transfer that kept its connection: remembers its socket and addresses.
void sv_engine_pooled_socket_remember(sv_engine_connection_share *pool, CURL *curl) noexcept;

#endif
