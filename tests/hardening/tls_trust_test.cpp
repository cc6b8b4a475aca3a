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

}  // namespace
