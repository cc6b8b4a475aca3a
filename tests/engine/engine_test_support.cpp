#include "engine_test_support.h"

#include "support/scratch.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace engine_test {

namespace {

std::string bio_text(BIO *bio) {
  char *data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(length));
  BIO_free(bio);
  return text;
}

void add_extension(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  ASSERT_NE(extension, nullptr);
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

size_t memory_source_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) {
  MemorySource *self = reinterpret_cast<SourceShim *>(source)->owner;
  ++self->reads;
  if (self->position >= self->fail_after) {
    error->code = SV_ERR_TRANSPORT;
    if (self->fail_message != nullptr) {
      std::free(error->message);
      error->message = strdup(self->fail_message);
    }
    return 0;
  }
  size_t count = self->data.size() - self->position;
  if (count > capacity) count = capacity;
  if (self->chunk != 0 && count > self->chunk) count = self->chunk;
  if (self->position + count > self->fail_after) count = self->fail_after - self->position;
  std::memcpy(buffer, self->data.data() + self->position, count);
  self->position += count;
  return count;
}

int memory_source_reset(sv_source *source, sv_error *) {
  reinterpret_cast<SourceShim *>(source)->owner->position = 0;
  return SV_OK;
}

void memory_source_close(sv_source *) {}

void capture_write(void *user, const char *record, size_t length) {
  auto *self = static_cast<LogCapture *>(user);
  std::lock_guard<std::mutex> lock(self->mutex);
  self->records.push_back(nlohmann::json::parse(std::string(record, length)));
}

}  // namespace

Identity::~Identity() {
  X509_free(cert);
  EVP_PKEY_free(key);
}

std::string Identity::cert_pem() const {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  return bio_text(bio);
}

std::string Identity::key_pem() const {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  return bio_text(bio);
}

std::string Identity::traditional_key_pem() const {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  return bio_text(bio);
}

void make_identity(Identity &out, const char *common_name, const Identity *issuer, bool is_ca,
                   const std::vector<std::string> &dns_names) {
  out.key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  ASSERT_NE(out.key, nullptr);
  out.cert = X509_new();
  X509_set_version(out.cert, 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof(serial));
  serial[0] &= 0x7f;
  BIGNUM *number = BN_bin2bn(serial, sizeof(serial), nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(out.cert));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(out.cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(out.cert), 7 * 24 * 3600);
  X509_NAME *name = X509_get_subject_name(out.cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0);
  X509 *issuer_cert = issuer != nullptr ? issuer->cert : out.cert;
  EVP_PKEY *issuer_key = issuer != nullptr ? issuer->key : out.key;
  X509_set_issuer_name(out.cert, X509_get_subject_name(issuer_cert));
  X509_set_pubkey(out.cert, out.key);
  add_extension(out.cert, issuer_cert, NID_basic_constraints,
                is_ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  add_extension(out.cert, issuer_cert, NID_key_usage,
                is_ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  if (!is_ca) add_extension(out.cert, issuer_cert, NID_ext_key_usage, "clientAuth,serverAuth");
  if (!dns_names.empty()) {
    std::string names;
    for (const std::string &dns : dns_names) {
      if (!names.empty()) names += ",";
      names += (dns.find_first_not_of("0123456789.") == std::string::npos ? "IP:" : "DNS:") + dns;
    }
    add_extension(out.cert, issuer_cert, NID_subject_alt_name, names.c_str());
  }
  ASSERT_GT(X509_sign(out.cert, issuer_key, EVP_sha256()), 0);
}

std::string write_temp_file(const std::string &name, const std::string &text) {
  static std::atomic<int> counter{0};
  const std::string path =
      stavo::test::scratch_path("engine-" + std::to_string(counter++) + "-" + name);
  std::ofstream file(path, std::ios::binary);
  file << text;
  return path;
}

MemorySource::MemorySource(std::string text, size_t chunk_size)
    : shim{{memory_source_read, memory_source_reset, memory_source_close}, this},
      data(std::move(text)),
      chunk(chunk_size) {}

LogCapture::LogCapture() {
  ember_config config;
  ember_default_config(&config);
  config.min_level = EMBER_LEVEL_TRACE;
  config.write = capture_write;
  config.write_user = this;
  config.write_newline = 0;
  logger = ember_new(&config);
}

LogCapture::~LogCapture() {
  ember_destroy(logger);
}

std::vector<nlohmann::json> LogCapture::with_message(const std::string &message) {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<nlohmann::json> found;
  for (const nlohmann::json &record : records) {
    if (record["message"] == message) found.push_back(record);
  }
  return found;
}

std::vector<std::string> LogCapture::messages() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> found;
  for (const nlohmann::json &record : records)
    found.push_back(record["message"]);
  return found;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex);
  records.clear();
}

}  // namespace engine_test
