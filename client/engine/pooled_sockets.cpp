// Bytes waiting on an idle pooled HTTP/1.1 connection are no answer to the next request: a
// server (or anything in between) that writes them would otherwise have them read as that
// request's answer. libcurl reuses such a connection, so the pool keeps the sockets of its
// connections (remembered after each transfer, forgotten when libcurl closes them) and, just
// before a request goes out on a reused connection, looks for unread bytes; when there are, the
// transfer stops there and the loop sends the request again on a fresh connection.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "connection_pool.h"

namespace {

bool same_text(const std::string &kept, const char *given) {
  return given != nullptr ? kept == given : kept.empty();
}

bool readable(curl_socket_t fd) {
  pollfd probe{fd, POLLIN, 0};
  return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

// Called once the connection is chosen, before the request is sent.
int check_before_request(void *data, char *primary_ip, char *local_ip, int primary_port,
                         int local_port) {
  auto *slot = static_cast<sv_engine_transfer_slot *>(data);
  long opened = 0;
  curl_easy_getinfo(slot->curl, CURLINFO_NUM_CONNECTS, &opened);
  if (opened != 0) return CURL_PREREQFUNC_OK;  // a fresh connection
  sv_engine_connection_share *pool = slot->client->connection_share;
  if (pool == nullptr) return CURL_PREREQFUNC_OK;
  const std::lock_guard<std::mutex> guard(pool->sockets_lock);
  // The addresses tell TCP connections apart; Unix-socket connections all look alike, so any
  // of them holding bytes counts (at worst a fresh connection too many).
  for (const sv_engine_pooled_socket &kept : pool->sockets) {
    if (kept.multiplexed || kept.local_port != local_port || kept.primary_port != primary_port ||
        !same_text(kept.local_ip, local_ip) || !same_text(kept.primary_ip, primary_ip)) {
      continue;
    }
    if (readable(kept.fd)) {
      slot->stale_connection = true;
      return CURL_PREREQFUNC_ABORT;
    }
  }
  return CURL_PREREQFUNC_OK;
}

int forget_socket(void *data, curl_socket_t fd) {
  auto *pool = static_cast<sv_engine_connection_share *>(data);
  {
    const std::lock_guard<std::mutex> guard(pool->sockets_lock);
    auto &sockets = pool->sockets;
    sockets.erase(std::remove_if(sockets.begin(), sockets.end(),
                                 [fd](const sv_engine_pooled_socket &s) { return s.fd == fd; }),
                  sockets.end());
  }
  return close(fd);
}

const char *info_text(CURL *curl, CURLINFO what) {
  char *text = nullptr;
  curl_easy_getinfo(curl, what, &text);
  return text;
}

}  // namespace

void sv_engine_pooled_socket_watch(CURL *curl, sv_engine_transfer_slot *slot) noexcept {
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, forget_socket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, slot->client->connection_share);
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, check_before_request);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, slot);
}

void sv_engine_pooled_socket_remember(sv_engine_connection_share *pool, CURL *curl) noexcept {
  curl_socket_t fd = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK || fd == CURL_SOCKET_BAD) {
    return;  // the connection was closed
  }
  sv_engine_pooled_socket entry;
  long version = 0;
  try {
    entry.fd = fd;
    entry.local_ip =
        info_text(curl, CURLINFO_LOCAL_IP) != nullptr ? info_text(curl, CURLINFO_LOCAL_IP) : "";
    entry.primary_ip =
        info_text(curl, CURLINFO_PRIMARY_IP) != nullptr ? info_text(curl, CURLINFO_PRIMARY_IP) : "";
    curl_easy_getinfo(curl, CURLINFO_LOCAL_PORT, &entry.local_port);
    curl_easy_getinfo(curl, CURLINFO_PRIMARY_PORT, &entry.primary_port);
    curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &version);
    entry.multiplexed = version >= CURL_HTTP_VERSION_2_0;
    const std::lock_guard<std::mutex> guard(pool->sockets_lock);
    for (sv_engine_pooled_socket &kept : pool->sockets) {
      if (kept.fd == fd) {
        kept = std::move(entry);
        return;
      }
    }
    pool->sockets.push_back(std::move(entry));
  } catch (...) {
    // Without room to remember it, the socket is not checked; the transfer itself is fine.
  }
}
