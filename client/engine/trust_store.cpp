// The trust store of a mutual-TLS client: libcurl's default CA certificates and the bundle's CA
// certificates in one X509_STORE, built once on the client's first TLS context and shared by
// every context after it. libcurl would otherwise read and decode its whole default CA file for
// every new connection, which costs several times the handshake itself. With
// trust_bundle_ca_only the defaults are left out: the bundle's CAs are the only anchors.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <mutex>
#include <new>

#include "engine_internal.h"

struct sv_engine_trust_store {
  std::mutex lock;
  X509_STORE *store = nullptr;  // built on first use; never replaced afterwards
};

namespace {

// libcurl's built-in CA file and directory, as it would load them for a new handle.
void load_curl_defaults(X509_STORE *store) noexcept {
  CURL *probe = curl_easy_init();
  if (probe == nullptr) return;
  char *file = nullptr;
  char *directory = nullptr;
  curl_easy_getinfo(probe, CURLINFO_CAINFO, &file);
  curl_easy_getinfo(probe, CURLINFO_CAPATH, &directory);
  // A missing default file or directory leaves the bundle's CAs as the only anchors.
  if (file != nullptr && file[0] != '\0') X509_STORE_load_file(store, file);
  if (directory != nullptr && directory[0] != '\0') X509_STORE_load_path(store, directory);
  curl_easy_cleanup(probe);
  ERR_clear_error();
}

X509_STORE *build_store(const sv_engine_bundle &bundle, bool bundle_only) noexcept {
  X509_STORE *store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  if (!bundle_only) load_curl_defaults(store);
  for (size_t i = 0; i < bundle.ca_count; ++i) {
    // A CA that the defaults already hold is not an error.
    if (bundle.ca_certs[i] != nullptr) X509_STORE_add_cert(store, bundle.ca_certs[i]);
  }
  // The verification flags libcurl sets on the stores it builds itself.
  X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
  ERR_clear_error();
  return store;
}

}  // namespace

int sv_engine_trust_store_open(sv_engine_client *client, sv_engine_error *error) noexcept {
  if (client->disable_mtls != 0 || client->insecure_skip_verify != 0) return SV_OK;
  client->trust_store = new (std::nothrow) sv_engine_trust_store();
  if (client->trust_store == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate trust store");
  }
  return SV_OK;
}

void sv_engine_trust_store_close(sv_engine_client *client) noexcept {
  if (client->trust_store == nullptr) return;
  X509_STORE_free(client->trust_store->store);
  delete client->trust_store;
  client->trust_store = nullptr;
}

void sv_engine_trust_store_prepare(CURL *curl, const sv_engine_client *client) noexcept {
  if (client->trust_store == nullptr) return;
  // Nothing for libcurl to load: the TLS-context callback installs the shared store.
  curl_easy_setopt(curl, CURLOPT_CAINFO, static_cast<const char *>(nullptr));
  curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
}

CURLcode sv_engine_trust_store_install(SSL_CTX *context, const sv_engine_client *client) noexcept {
  sv_engine_trust_store *trust = client->trust_store;
  if (trust == nullptr) return CURLE_OK;
  X509_STORE *store = nullptr;
  {
    const std::lock_guard<std::mutex> guard(trust->lock);
    if (trust->store == nullptr) {
      trust->store = build_store(client->bundle, client->trust_bundle_ca_only != 0);
    }
    store = trust->store;
  }
  if (store == nullptr) return CURLE_OUT_OF_MEMORY;
  // The context takes its own reference; the store is only read from here on.
  SSL_CTX_set1_cert_store(context, store);
  return CURLE_OK;
}
