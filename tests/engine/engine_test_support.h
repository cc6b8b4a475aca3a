// Shared helpers of the engine tests: certificates and PEM bundles made with the OpenSSL API,
// byte sources over memory, and a logger that captures records as JSON.
#ifndef STAVO_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H
#define STAVO_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "stavoc_engine.h"

namespace engine_test {

// A key pair with its certificate; the certificate is signed by the issuer (or self-signed).
struct Identity {
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  Identity() = default;
  Identity(const Identity &) = delete;
  Identity &operator=(const Identity &) = delete;
  ~Identity();
  std::string cert_pem() const;
  std::string key_pem() const;              // PKCS#8 "PRIVATE KEY"
  std::string traditional_key_pem() const;  // "EC PRIVATE KEY"
};

// A CA, when issuer is null; otherwise a leaf (CA:FALSE) for common_name signed by issuer.
void make_identity(Identity &out, const char *common_name, const Identity *issuer, bool is_ca,
                   const std::vector<std::string> &dns_names = {});

// Writes text to a fresh file under the test's temporary directory and returns its path.
std::string write_temp_file(const std::string &name, const std::string &text);

// An sv_source over a string, handing out at most chunk bytes per read; it can be told to fail
// after a number of bytes (with or without a message).
struct MemorySource;
struct SourceShim {
  sv_source base;
  MemorySource *owner;
};
struct MemorySource {
  SourceShim shim;
  std::string data;
  size_t position = 0;
  size_t chunk = 0;  // 0: whatever the caller asks
  size_t fail_after = SIZE_MAX;
  const char *fail_message = nullptr;
  int reads = 0;
  explicit MemorySource(std::string text, size_t chunk_size = 0);
  MemorySource(const MemorySource &) = delete;
  MemorySource &operator=(const MemorySource &) = delete;
  sv_source *source() { return &shim.base; }
};

// Captures every record of an ember logger (minimum level trace) as parsed JSON.
struct LogCapture {
  std::mutex mutex;
  std::vector<nlohmann::json> records;
  ember_logger *logger = nullptr;
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  std::vector<nlohmann::json> with_message(const std::string &message);
  std::vector<std::string> messages();
  void clear();
};

}  // namespace engine_test

#endif
