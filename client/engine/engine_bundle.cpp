// The PEM client bundle: client certificate, its private key, CA certificates and further chain
// certificates, read from a file or from a source through a custom OpenSSL BIO.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "engine_internal.h"

namespace {

constexpr const char *kSourceOrigin = "client_bundle_source";

// Adds "<origin>: <reason>" as the error's detail, keeping its message: the message says what
// failed, the detail which file and why.
int with_detail(sv_engine_error *error, int status, const char *origin, const char *reason) {
  if (error == nullptr || origin == nullptr) return status;
  try {
    std::free(error->detail);
    error->detail = sv_engine_strdup_local((std::string(origin) + ": " + reason).c_str());
  } catch (...) {
    error->detail = nullptr;
  }
  return status;
}

// Opens a file for the PEM reader; on failure errno says why.
BIO *open_pem_file(const char *path) {
  std::FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return nullptr;
  BIO *bio = BIO_new_fp(file, BIO_CLOSE);
  if (bio == nullptr) {
    std::fclose(file);
    errno = ENOMEM;
  }
  return bio;
}

// What the source BIO needs to read: the source and where it reports a failure.
struct SourceReadContext {
  sv_source *source;
  sv_error error;
  int read_failed;
};

int source_bio_create(BIO *bio) {
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 1);
  return 1;
}

int source_bio_destroy(BIO *bio) {
  if (bio == nullptr) return 0;
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 0);
  return 1;
}

int source_bio_read(BIO *bio, char *buffer, int length) {
  if (bio == nullptr || buffer == nullptr || length < 1) return 0;
  auto *context = static_cast<SourceReadContext *>(BIO_get_data(bio));
  if (context == nullptr || context->source == nullptr || context->source->read == nullptr) {
    return 0;
  }
  BIO_clear_retry_flags(bio);
  // A source that failed once is not asked again.
  if (context->read_failed != 0) return -1;
  const size_t count =
      context->source->read(context->source, buffer, static_cast<size_t>(length), &context->error);
  if (count > 0) return count > static_cast<size_t>(length) ? length : static_cast<int>(count);
  if (context->error.code != 0) {
    context->read_failed = 1;
    return -1;
  }
  return 0;
}

// The buffering BIO in front forwards controls such as flush; a source has nothing to flush.
long source_bio_ctrl(BIO *, int command, long, void *) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

bool append_cert(X509 ***items, size_t *count, X509 *cert) {
  auto *grown = static_cast<X509 **>(std::realloc(*items, (*count + 1) * sizeof(X509 *)));
  if (grown == nullptr) return false;
  *items = grown;
  X509_up_ref(cert);
  grown[(*count)++] = cert;
  return true;
}

// Sorts the certificates of the parsed entries into the bundle; false when an array cannot grow.
bool collect_certificates(STACK_OF(X509_INFO) * infos, sv_engine_bundle *bundle) {
  const int entries = sk_X509_INFO_num(infos);
  for (int i = 0; i < entries; ++i) {
    X509 *cert = sk_X509_INFO_value(infos, i)->x509;
    if (cert == nullptr) continue;
    if (X509_check_ca(cert) != 0) {
      if (!append_cert(&bundle->ca_certs, &bundle->ca_count, cert)) return false;
    } else if (bundle->certificate == nullptr) {
      X509_up_ref(cert);
      bundle->certificate = cert;
    } else if (!append_cert(&bundle->chain_certs, &bundle->chain_count, cert)) {
      return false;
    }
  }
  return true;
}

// The first key of the file that belongs to the certificate; keys of other pairs are ignored.
EVP_PKEY *find_matching_key(STACK_OF(X509_INFO) * infos, X509 *certificate) {
  EVP_PKEY *public_key = X509_get_pubkey(certificate);
  if (public_key == nullptr) return nullptr;
  EVP_PKEY *match = nullptr;
  const int entries = sk_X509_INFO_num(infos);
  for (int i = 0; i < entries && match == nullptr; ++i) {
    X509_PKEY *key = sk_X509_INFO_value(infos, i)->x_pkey;
    if (key == nullptr || key->dec_pkey == nullptr) continue;
    if (EVP_PKEY_eq(key->dec_pkey, public_key) == 1) {
      EVP_PKEY_up_ref(key->dec_pkey);
      match = key->dec_pkey;
    }
  }
  EVP_PKEY_free(public_key);
  return match;
}

int parse_bundle(BIO *bio, sv_engine_bundle *bundle, sv_engine_error *error, const char *origin) {
  STACK_OF(X509_INFO) *infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
  if (infos == nullptr) {
    ERR_clear_error();
    return with_detail(error,
                       sv_engine_set_protocol_error(error, "failed to parse client bundle PEM"),
                       origin, "a PEM block is damaged");
  }
  const bool empty = sk_X509_INFO_num(infos) == 0;
  const bool retained = collect_certificates(infos, bundle);
  if (retained && bundle->certificate != nullptr) {
    bundle->private_key = find_matching_key(infos, bundle->certificate);
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  ERR_clear_error();
  const char *problem = nullptr;
  const char *reason = nullptr;
  if (!retained) {
    sv_engine_free_bundle(bundle);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to retain parsed client bundle");
  }
  if (bundle->certificate == nullptr) {
    problem = "client bundle does not contain a client certificate";
    reason = empty ? "not PEM: no certificate or key in it"
                   : "no client certificate (only CA certificates or keys)";
  } else if (bundle->private_key == nullptr) {
    problem = "client bundle does not contain a matching private key";
    reason = "no private key matching the client certificate";
  } else if (bundle->ca_count == 0) {
    problem = "client bundle does not contain a CA certificate";
    reason = "no CA certificate to verify the server with";
  }
  if (problem != nullptr) {
    sv_engine_free_bundle(bundle);
    return with_detail(error, sv_engine_set_protocol_error(error, problem), origin, reason);
  }
  return SV_OK;
}

// Replaces the client's bundle by a freshly parsed one only when the parse succeeded.
int parse_into_client(sv_engine_client *client, BIO *bio, sv_engine_error *error,
                      const char *origin) {
  sv_engine_bundle parsed{};
  const int status = parse_bundle(bio, &parsed, error, origin);
  if (status != SV_OK) return status;
  sv_engine_free_bundle(&client->bundle);
  client->bundle = parsed;
  return SV_OK;
}

int load_from_source(sv_engine_client *client, sv_source *source, sv_engine_error *error) {
  BIO_METHOD *method = BIO_meth_new(BIO_TYPE_SOURCE_SINK, "libstavoc source");
  if (method == nullptr || BIO_meth_set_create(method, source_bio_create) != 1 ||
      BIO_meth_set_destroy(method, source_bio_destroy) != 1 ||
      BIO_meth_set_read(method, source_bio_read) != 1 ||
      BIO_meth_set_ctrl(method, source_bio_ctrl) != 1) {
    BIO_meth_free(method);
    return sv_engine_set_transport_error(error,
                                         "failed to allocate client bundle source BIO method");
  }
  BIO *source_bio = BIO_new(method);
  if (source_bio == nullptr) {
    BIO_meth_free(method);
    return sv_engine_set_transport_error(error, "failed to allocate client bundle BIO");
  }
  SourceReadContext context{source, sv_error{}, 0};
  BIO_set_data(source_bio, &context);
  BIO *buffered = BIO_new(BIO_f_buffer());
  if (buffered == nullptr) {
    BIO_free(source_bio);
    BIO_meth_free(method);
    return sv_engine_set_transport_error(error, "failed to allocate buffered client bundle BIO");
  }
  BIO *chain = BIO_push(buffered, source_bio);
  sv_engine_bundle parsed{};
  int status = parse_bundle(chain, &parsed, error, kSourceOrigin);
  BIO_free_all(chain);
  BIO_meth_free(method);
  if (context.read_failed != 0) {
    // A failed read explains whatever the parser made of the partial input.
    sv_engine_free_bundle(&parsed);
    const char *message = context.error.message != nullptr && context.error.message[0] != '\0'
                              ? context.error.message
                              : "failed to read client bundle source";
    status = sv_engine_set_transport_error(error, message);
  } else if (status == SV_OK) {
    sv_engine_free_bundle(&client->bundle);
    client->bundle = parsed;
  }
  sv_engine_public_error_clear(&context.error);
  return status;
}

// Every PEM entry of a file, or NULL with the error set (message and "<path>: <reason>").
STACK_OF(X509_INFO) * read_pem_entries(const char *path, const char *what, sv_engine_error *error) {
  BIO *file = open_pem_file(path);
  if (file == nullptr) {
    const int cause = errno;
    ERR_clear_error();
    with_detail(
        error,
        sv_engine_set_transport_error(error, (std::string("failed to open ") + what).c_str()), path,
        std::strerror(cause));
    return nullptr;
  }
  STACK_OF(X509_INFO) *infos = PEM_X509_INFO_read_bio(file, nullptr, nullptr, nullptr);
  BIO_free(file);
  ERR_clear_error();
  if (infos == nullptr) {
    with_detail(
        error,
        sv_engine_set_protocol_error(error, (std::string("failed to parse ") + what).c_str()), path,
        "a PEM block is damaged");
  }
  return infos;
}

int protocol_problem(sv_engine_error *error, const char *message, const char *path,
                     const char *reason) {
  return with_detail(error, sv_engine_set_protocol_error(error, message), path, reason);
}

void free_certs(X509 **items, size_t count) {
  for (size_t i = 0; i < count; ++i)
    X509_free(items[i]);
  std::free(items);
}

}  // namespace

void sv_engine_public_error_clear(sv_error *error) noexcept {
  if (error == nullptr) return;
  std::free(error->message);
  std::free(error->detail);
  std::free(error->server_error_code);
  std::free(error->correlation_id);
  *error = sv_error{};
}

extern "C" {

SV_API int sv_engine_load_bundle(sv_engine_client *client, sv_source *source, const char *path,
                                 sv_engine_error *error) noexcept {
  if (client == nullptr || (source == nullptr && path == nullptr)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client and bundle source or path are required");
  }
  if (source != nullptr) return load_from_source(client, source, error);
  BIO *file = open_pem_file(path);
  if (file == nullptr) {
    const int cause = errno;
    ERR_clear_error();
    return with_detail(error, sv_engine_set_transport_error(error, "failed to open client bundle"),
                       path, std::strerror(cause));
  }
  const int status = parse_into_client(client, file, error, path);
  BIO_free(file);
  return status;
}

SV_API int sv_engine_load_identity_files(sv_engine_client *client, const char *cert_path,
                                         const char *key_path, sv_engine_error *error) noexcept {
  if (client == nullptr || cert_path == nullptr || key_path == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client, certificate path and key path are required");
  }
  sv_engine_bundle parsed{};
  STACK_OF(X509_INFO) *certs = read_pem_entries(cert_path, "client certificate", error);
  if (certs == nullptr) return error != nullptr ? error->code : SV_ERR_TRANSPORT;
  const bool empty = sk_X509_INFO_num(certs) == 0;
  bool retained = collect_certificates(certs, &parsed);
  sk_X509_INFO_pop_free(certs, X509_INFO_free);
  if (!retained) {
    sv_engine_free_bundle(&parsed);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to retain client certificate");
  }
  if (parsed.certificate == nullptr) {
    sv_engine_free_bundle(&parsed);
    return protocol_problem(error, "client certificate file does not contain a client certificate",
                            cert_path,
                            empty ? "not PEM: no certificate in it"
                                  : "no client certificate (only CA certificates or keys)");
  }
  STACK_OF(X509_INFO) *keys = read_pem_entries(key_path, "client key", error);
  if (keys == nullptr) {
    sv_engine_free_bundle(&parsed);
    return error != nullptr ? error->code : SV_ERR_TRANSPORT;
  }
  parsed.private_key = find_matching_key(keys, parsed.certificate);
  const bool no_keys = sk_X509_INFO_num(keys) == 0;
  sk_X509_INFO_pop_free(keys, X509_INFO_free);
  ERR_clear_error();
  if (parsed.private_key == nullptr) {
    sv_engine_free_bundle(&parsed);
    return protocol_problem(error, "client key file does not contain a matching private key",
                            key_path,
                            no_keys ? "not PEM: no private key in it"
                                    : "no private key matching the client certificate");
  }
  sv_engine_free_bundle(&client->bundle);
  client->bundle = parsed;
  return SV_OK;
}

SV_API int sv_engine_load_ca_file(sv_engine_client *client, const char *path,
                                  sv_engine_error *error) noexcept {
  if (client == nullptr || path == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "client and CA path are required");
  }
  STACK_OF(X509_INFO) *infos = read_pem_entries(path, "CA file", error);
  if (infos == nullptr) return error != nullptr ? error->code : SV_ERR_TRANSPORT;
  size_t added = 0;
  bool retained = true;
  const int entries = sk_X509_INFO_num(infos);
  for (int i = 0; i < entries && retained; ++i) {
    X509 *cert = sk_X509_INFO_value(infos, i)->x509;
    if (cert == nullptr) continue;
    // Every certificate of a CA file is an anchor, a self-signed server certificate included.
    retained = append_cert(&client->bundle.ca_certs, &client->bundle.ca_count, cert);
    if (retained) ++added;
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  ERR_clear_error();
  if (!retained) return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to retain CA file");
  if (added == 0) {
    return protocol_problem(error, "CA file does not contain a certificate", path,
                            "not PEM: no certificate in it");
  }
  return SV_OK;
}

SV_API int sv_engine_load_bundle_from_bio(sv_engine_client *client, void *bio,
                                          sv_engine_error *error) noexcept {
  if (client == nullptr || bio == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client and bundle source or path are required");
  }
  return parse_into_client(client, static_cast<BIO *>(bio), error, nullptr);
}

SV_API void sv_engine_free_bundle(sv_engine_bundle *bundle) noexcept {
  if (bundle == nullptr) return;
  X509_free(bundle->certificate);
  EVP_PKEY_free(bundle->private_key);
  free_certs(bundle->ca_certs, bundle->ca_count);
  free_certs(bundle->chain_certs, bundle->chain_count);
  *bundle = sv_engine_bundle{};
}

}  // extern "C"
