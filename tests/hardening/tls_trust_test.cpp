// Server verification of mutual-TLS clients, whose CA certificates are loaded once per client and
// shared by every connection: each new connection is still verified against that client's own
// CAs, streamed transfers included, and threads opening connections at once all get them.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "api/lease_test_support.h"
#include "support/scratch.h"

namespace {

using api_test::Error;

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A self-signed CA that signed nothing the dev server holds.
std::string foreign_ca_pem() {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *cert = X509_new();
  std::string pem;
  if (key != nullptr && cert != nullptr) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 4242);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("foreign ca"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *basic =
        X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "critical,CA:TRUE");
    if (basic != nullptr) X509_add_ext(cert, basic, -1);
    X509_EXTENSION_free(basic);
    if (X509_sign(cert, key, EVP_sha256()) > 0) {
      BIO *out = BIO_new(BIO_s_mem());
      PEM_write_bio_X509(out, cert);
      char *data = nullptr;
      const long length = BIO_get_mem_data(out, &data);
      pem.assign(data, static_cast<size_t>(length));
      BIO_free(out);
    }
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

int acquire_release(sv_client *client, const std::string &key, Error &error) {
  sv_acquire_req req = lease_test::acquire_request(key.c_str());
  sv_lease *lease = nullptr;
  int status = sv_acquire(client, &req, &lease, error.get());
  if (status != SV_OK) return status;
  status = sv_lease_release(lease, nullptr, error.get());
  if (status != SV_OK) sv_lease_close(lease);
  return status;
}

class TlsTrust : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new stavo::test::DevServer({.tls = true}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static stavo::test::DevServer *server_;
};

stavo::test::DevServer *TlsTrust::server_ = nullptr;

TEST_F(TlsTrust, EveryConnectionIsVerifiedAgainstItsOwnClientsCas) {
  const std::string ca = foreign_ca_pem();
  ASSERT_FALSE(ca.empty());
  const std::string bundle = stavo::test::scratch_path("tls-trust-foreign.pem");
  {
    std::ofstream out(bundle, std::ios::binary);
    out << read_file(server_->certs().client_cert()) << read_file(server_->certs().client_key())
        << ca;
  }
  lease_test::ClientConfig trusted_config(*server_, true);
  lease_test::ClientConfig foreign_config(*server_, true);
  foreign_config.config.client_bundle_path = bundle.c_str();
  sv_client *trusted = nullptr;
  sv_client *foreign = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&trusted_config.config, &trusted, error.get()), SV_OK)
      << error.message();
  ASSERT_EQ(sv_client_open(&foreign_config.config, &foreign, error.get()), SV_OK)
      << error.message();
  // Interleaved, each on new connections: neither client's CAs leak into the other's.
  for (int round = 0; round < 3; ++round) {
    Error ok;
    EXPECT_EQ(acquire_release(trusted, "trust-" + std::to_string(round), ok), SV_OK)
        << ok.message();
    Error refused;
    EXPECT_EQ(acquire_release(foreign, "foreign-" + std::to_string(round), refused),
              SV_ERR_TRANSPORT);
    EXPECT_NE(refused.message().find("certificate"), std::string::npos) << refused.message();
  }
  // A streamed transfer installs the CAs through its own callback.
  auto sink = lease_test::memory_sink();
  sv_get_opts opts;
  sv_get_opts_init(&opts);
  opts.public_read = 1;
  sv_get_res got{};
  Error refused_get;
  EXPECT_EQ(sv_get(foreign, "trust-0", &opts, sink.get(), &got, refused_get.get()),
            SV_ERR_TRANSPORT);
  sv_get_res_cleanup(&got);
  sv_client_close(foreign);
  sv_client_close(trusted);
  for (const auto &request : server_->requests())
    EXPECT_EQ(request.path.find("foreign-"), std::string::npos) << "a refused call reached it";
}

TEST_F(TlsTrust, ThreadsOpeningConnectionsAtOnceAllVerifyTheServer) {
  lease_test::ClientConfig config(*server_, true);
  sv_client *client = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config.config, &client, error.get()), SV_OK) << error.message();
  constexpr int kThreads = 4;
  constexpr int kCalls = 3;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        Error call;
        if (acquire_release(client, "threads-" + std::to_string(t) + "-" + std::to_string(i),
                            call) != SV_OK) {
          ++failures[static_cast<size_t>(t)];
        }
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  sv_client_close(client);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << "thread " << t;
}

// The usual separate files (certificate, key, CA) instead of one bundle, and trusting only the
// CAs given.
TEST_F(TlsTrust, SeparateCertificateKeyAndCaFilesWorkLikeABundle) {
  const stavo::devserver::DevCerts &certs = server_->certs();
  const std::string cert = certs.client_cert(), key = certs.client_key(), ca = server_->ca_path();
  for (const int32_t only : {0, 1}) {
    lease_test::ClientConfig files(*server_, true);
    files.config.client_bundle_path = nullptr;
    files.config.client_cert_path = cert.c_str();
    files.config.client_key_path = key.c_str();
    files.config.ca_path = ca.c_str();
    files.config.trust_bundle_ca_only = only;
    sv_client *client = nullptr;
    Error error;
    ASSERT_EQ(sv_client_open(&files.config, &client, error.get()), SV_OK) << error.message();
    EXPECT_EQ(acquire_release(client, "files-" + std::to_string(only), error), SV_OK)
        << error.message();
    sv_client_close(client);
  }
  // The bundle's CAs alone: a bundle trusting a foreign CA only is refused, also with the flag.
  const std::string foreign = stavo::test::scratch_path("tls-options-foreign-ca.pem");
  std::ofstream(foreign, std::ios::binary) << foreign_ca_pem();
  lease_test::ClientConfig wrong_ca(*server_, true);
  wrong_ca.config.client_bundle_path = nullptr;
  wrong_ca.config.client_cert_path = cert.c_str();
  wrong_ca.config.client_key_path = key.c_str();
  wrong_ca.config.ca_path = foreign.c_str();
  wrong_ca.config.trust_bundle_ca_only = 1;
  sv_client *client = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&wrong_ca.config, &client, error.get()), SV_OK) << error.message();
  EXPECT_EQ(acquire_release(client, "files-foreign", error), SV_ERR_TRANSPORT);
  sv_client_close(client);
}

TEST_F(TlsTrust, BundleAndFileErrorsNameTheFileAndTheReason) {
  const stavo::devserver::DevCerts &certs = server_->certs();
  const std::string cert = certs.client_cert(), key = certs.client_key();
  const std::string missing = stavo::test::scratch_path("no-such-bundle.pem");
  const std::string junk = stavo::test::scratch_path("junk.pem");
  std::ofstream(junk, std::ios::binary) << "this is not PEM\n";
  struct Case {
    const char *bundle, *cert, *key, *ca;
    int code;
    std::string message, detail;
  };
  const std::vector<Case> cases = {
      {missing.c_str(), nullptr, nullptr, nullptr, SV_ERR_TRANSPORT, "failed to open client bundle",
       missing + ": No such file or directory"},
      {junk.c_str(), nullptr, nullptr, nullptr, SV_ERR_PROTOCOL,
       "client bundle does not contain a client certificate",
       junk + ": not PEM: no certificate or key in it"},
      {cert.c_str(), nullptr, nullptr, nullptr, SV_ERR_PROTOCOL,
       "client bundle does not contain a matching private key",
       cert + ": no private key matching the client certificate"},
      {nullptr, cert.c_str(), nullptr, nullptr, SV_ERR_INVALID,
       "client_cert_path and client_key_path are required together", "<null>"},
      {nullptr, cert.c_str(), junk.c_str(), nullptr, SV_ERR_PROTOCOL,
       "client key file does not contain a matching private key",
       junk + ": not PEM: no private key in it"},
      {nullptr, key.c_str(), key.c_str(), nullptr, SV_ERR_PROTOCOL,
       "client certificate file does not contain a client certificate",
       key + ": no client certificate (only CA certificates or keys)"},
      {nullptr, cert.c_str(), key.c_str(), missing.c_str(), SV_ERR_TRANSPORT,
       "failed to open CA file", missing + ": No such file or directory"},
      {nullptr, cert.c_str(), key.c_str(), junk.c_str(), SV_ERR_PROTOCOL,
       "CA file does not contain a certificate", junk + ": not PEM: no certificate in it"},
  };
  for (const Case &c : cases) {
    lease_test::ClientConfig config(*server_, true);
    config.config.client_bundle_path = c.bundle;
    config.config.client_cert_path = c.cert;
    config.config.client_key_path = c.key;
    config.config.ca_path = c.ca;
    sv_client *client = nullptr;
    Error error;
    EXPECT_EQ(sv_client_open(&config.config, &client, error.get()), c.code) << c.message;
    EXPECT_EQ(error.message(), c.message);
    EXPECT_EQ(error.detail(), c.detail) << c.message;
    EXPECT_EQ(client, nullptr);
  }
}

// A server that asks for no client certificate: without mTLS the server is still verified,
// against ca_path when given, and insecure_skip_verify turns that off.
TEST(TlsWithoutClientCertificates, TheServerIsVerifiedUnlessSkipIsAsked) {
  stavo::test::DevServer server({.tls = true, .tls_client_certs = false});
  const std::string ca = server.ca_path();
  const std::string endpoint = server.https_url();
  const char *endpoints[] = {endpoint.c_str()};
  struct Case {
    const char *ca_path;
    int32_t skip, only;
    int expected;
  };
  const Case cases[] = {
      {ca.c_str(), 0, 0, SV_OK},
      {ca.c_str(), 0, 1, SV_OK},
      {nullptr, 0, 0, SV_ERR_TRANSPORT},  // the dev CA is in no system store
      {nullptr, 1, 0, SV_OK},
  };
  int index = 0;
  for (const Case &c : cases) {
    sv_client_config config;
    sv_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.ca_path = c.ca_path;
    config.insecure_skip_verify = c.skip;
    config.trust_bundle_ca_only = c.only;
    sv_client *client = nullptr;
    Error error;
    ASSERT_EQ(sv_client_open(&config, &client, error.get()), SV_OK) << error.message();
    EXPECT_EQ(acquire_release(client, "plain-" + std::to_string(index++), error), c.expected)
        << error.message();
    sv_client_close(client);
  }
  EXPECT_EQ(server.requests_to("POST", "/v1/acquire").size(), 3u) << "the refused call was sent";
}

}  // namespace
