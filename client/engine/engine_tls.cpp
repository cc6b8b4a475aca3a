// TLS-context callbacks: install the client bundle into each SSL_CTX that libcurl creates, with
// the client's shared trust store when it has one.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "engine_internal.h"

namespace {

// JSON exchanges: every failure to install the client's identity fails the handshake setup.
CURLcode install_for_exchange(SSL_CTX *context, const sv_engine_client *client) {
  if (client == nullptr || client->disable_mtls != 0) return CURLE_OK;
  const sv_engine_bundle &bundle = client->bundle;
  if (context == nullptr || bundle.certificate == nullptr || bundle.private_key == nullptr ||
      SSL_CTX_use_certificate(context, bundle.certificate) != 1 ||
      SSL_CTX_use_PrivateKey(context, bundle.private_key) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    return CURLE_SSL_CERTPROBLEM;
  }
  for (size_t i = 0; i < bundle.chain_count; ++i) {
    X509 *copy = X509_dup(bundle.chain_certs[i]);
    if (copy == nullptr) return CURLE_OUT_OF_MEMORY;
    // On success the context owns the copy.
    if (SSL_CTX_add_extra_chain_cert(context, copy) != 1) {
      X509_free(copy);
      ERR_clear_error();
      return CURLE_SSL_CERTPROBLEM;
    }
  }
  if (client->trust_store != nullptr) return sv_engine_trust_store_install(context, client);
  X509_STORE *store = SSL_CTX_get_cert_store(context);
  for (size_t i = 0; i < bundle.ca_count; ++i) {
    // A CA that the store already holds is not an error.
    if (store == nullptr || X509_STORE_add_cert(store, bundle.ca_certs[i]) != 1) ERR_clear_error();
  }
  return CURLE_OK;
}

// Streamed transfers: the certificate and key when present, the CAs and the chain.
CURLcode install_for_stream(SSL_CTX *context, const sv_engine_client *client) {
  if (context == nullptr || client == nullptr) return CURLE_SSL_CERTPROBLEM;
  const sv_engine_bundle &bundle = client->bundle;
  if (bundle.certificate != nullptr && SSL_CTX_use_certificate(context, bundle.certificate) != 1) {
    ERR_clear_error();
    return CURLE_SSL_CERTPROBLEM;
  }
  if (bundle.private_key != nullptr && SSL_CTX_use_PrivateKey(context, bundle.private_key) != 1) {
    ERR_clear_error();
    return CURLE_SSL_CERTPROBLEM;
  }
  X509_STORE *store = SSL_CTX_get_cert_store(context);
  if (store == nullptr) return CURLE_SSL_CERTPROBLEM;
  if (client->trust_store != nullptr) {
    const CURLcode installed = sv_engine_trust_store_install(context, client);
    if (installed != CURLE_OK) return installed;
  } else {
    for (size_t i = 0; i < bundle.ca_count; ++i) {
      if (bundle.ca_certs[i] != nullptr) X509_STORE_add_cert(store, bundle.ca_certs[i]);
    }
  }
  for (size_t i = 0; i < bundle.chain_count; ++i) {
    X509 *cert = bundle.chain_certs[i];
    if (cert == nullptr) continue;
    X509_up_ref(cert);
    // The context takes over the reference only when it accepts the certificate.
    if (SSL_CTX_add_extra_chain_cert(context, cert) != 1) X509_free(cert);
  }
  ERR_clear_error();
  return CURLE_OK;
}

}  // namespace

CURLcode sv_engine_curl_ssl_ctx_json(CURL *, void *ssl_ctx, void *client) noexcept {
  return install_for_exchange(static_cast<SSL_CTX *>(ssl_ctx),
                              static_cast<const sv_engine_client *>(client));
}

CURLcode sv_engine_curl_ssl_ctx_stream(CURL *, void *ssl_ctx, void *client) noexcept {
  return install_for_stream(static_cast<SSL_CTX *>(ssl_ctx),
                            static_cast<const sv_engine_client *>(client));
}

extern "C" {

SV_API int sv_engine_ssl_ctx_callback(void *curl, void *ssl_ctx, void *client) noexcept {
  return static_cast<int>(sv_engine_curl_ssl_ctx_json(curl, ssl_ctx, client));
}

SV_API int sv_engine_stream_ssl_ctx(void *curl, void *ssl_ctx, void *client) noexcept {
  return static_cast<int>(sv_engine_curl_ssl_ctx_stream(curl, ssl_ctx, client));
}

SV_API int sv_engine_attachment_ssl_ctx(void *curl, void *ssl_ctx, void *client) noexcept {
  return sv_engine_stream_ssl_ctx(curl, ssl_ctx, client);
}

SV_API int sv_engine_queue_stream_ssl_ctx(void *curl, void *ssl_ctx, void *client) noexcept {
  return sv_engine_stream_ssl_ctx(curl, ssl_ctx, client);
}

}  // extern "C"
