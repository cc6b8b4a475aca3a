// The connection settings every transfer shares: signals, the connect bound, TCP keepalive, the
// Unix socket, the HTTP version and TLS (server verification, the client identity and the trust
// anchors). The whole-request deadline and the silence bound belong to the transfer loop.
#include "engine_internal.h"

namespace {

constexpr int64_t kDefaultConnectTimeoutMs = 10000;
// A peer that vanished without a word is found within about a minute on a quiet connection.
constexpr long kKeepaliveIdleSeconds = 30;
constexpr long kKeepaliveIntervalSeconds = 10;

}  // namespace

int64_t sv_engine_connect_timeout_ms(const sv_engine_client *client) noexcept {
  const int64_t connect =
      client->connect_timeout_ms < 1 ? kDefaultConnectTimeoutMs : client->connect_timeout_ms;
  return client->timeout_ms > 0 && client->timeout_ms < connect ? client->timeout_ms : connect;
}

void sv_engine_set_connection_options(CURL *curl, const sv_engine_client *client,
                                      sv_engine_ssl_ctx_fn install_identity) noexcept {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // A connect that never completes must not hold a failover for the whole timeout.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(sv_engine_connect_timeout_ms(client)));
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, kKeepaliveIdleSeconds);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, kKeepaliveIntervalSeconds);
  if (client->unix_socket_path != nullptr && client->unix_socket_path[0] != '\0') {
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, client->unix_socket_path);
  }
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                   client->prefer_http_2 != 0 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                                              : static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Verification is its own choice: it applies to https:// endpoints with or without mTLS.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, client->insecure_skip_verify != 0 ? 0L : 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, client->insecure_skip_verify != 0 ? 0L : 2L);
  if (client->disable_mtls == 0) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, install_identity);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<sv_engine_client *>(client));
  } else if (client->ca_file != nullptr) {
    // Without a client identity the server is still verified against the CAs given.
    curl_easy_setopt(curl, CURLOPT_CAINFO, client->ca_file);
    if (client->trust_bundle_ca_only != 0) {
      curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    }
  }
}
