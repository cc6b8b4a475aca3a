// The PEM client bundle: every arrangement of blocks, every failure and its message, sources
// through the BIO, and installation into TLS contexts.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "stavoc_engine.h"

namespace {

using engine_test::Identity;
using engine_test::MemorySource;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

class EngineBundle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new Identity();
    client_ = new Identity();
    other_ = new Identity();
    extra1_ = new Identity();
    extra2_ = new Identity();
    engine_test::make_identity(*ca_, "test ca", nullptr, true);
    engine_test::make_identity(*client_, "client", ca_, false);
    engine_test::make_identity(*other_, "other", ca_, false);
    engine_test::make_identity(*extra1_, "extra one", ca_, false);
    engine_test::make_identity(*extra2_, "extra two", ca_, false);
  }
  static void TearDownTestSuite() {
    delete ca_;
    delete client_;
    delete other_;
    delete extra1_;
    delete extra2_;
  }

  struct Loaded {
    int status;
    std::string message;
  };

  // Loads text through a file path into client_under_test_.
  Loaded load_path(const std::string &pem) {
    const std::string path = engine_test::write_temp_file("bundle.pem", pem);
    return finish(sv_engine_load_bundle(&target_, nullptr, path.c_str(), &error_));
  }
  Loaded load_source(sv_source *source, const char *path = nullptr) {
    return finish(sv_engine_load_bundle(&target_, source, path, &error_));
  }
  Loaded finish(int status) {
    Loaded loaded{status, text(error_.message)};
    if (status != SV_OK) {
      EXPECT_EQ(error_.code, status);
    }
    sv_engine_error_reset(&error_);
    return loaded;
  }
  void TearDown() override { sv_engine_free_bundle(&target_.bundle); }

  static bool same(const X509 *a, const X509 *b) { return X509_cmp(a, b) == 0; }

  void expect_client_loaded() {
    ASSERT_NE(target_.bundle.certificate, nullptr);
    EXPECT_TRUE(same(target_.bundle.certificate, client_->cert));
    ASSERT_NE(target_.bundle.private_key, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(target_.bundle.private_key, client_->key), 1);
    ASSERT_EQ(target_.bundle.ca_count, 1u);
    EXPECT_TRUE(same(target_.bundle.ca_certs[0], ca_->cert));
  }

  void expect_empty() {
    EXPECT_EQ(target_.bundle.certificate, nullptr);
    EXPECT_EQ(target_.bundle.private_key, nullptr);
    EXPECT_EQ(target_.bundle.ca_count, 0u);
    EXPECT_EQ(target_.bundle.ca_certs, nullptr);
    EXPECT_EQ(target_.bundle.chain_count, 0u);
  }

  static Identity *ca_, *client_, *other_, *extra1_, *extra2_;
  sv_engine_client target_{};
  sv_engine_error error_{};
};

Identity *EngineBundle::ca_ = nullptr;
Identity *EngineBundle::client_ = nullptr;
Identity *EngineBundle::other_ = nullptr;
Identity *EngineBundle::extra1_ = nullptr;
Identity *EngineBundle::extra2_ = nullptr;

TEST_F(EngineBundle, LoadsCertificateKeyAndCaInEveryOrder) {
  std::vector<std::string> blocks = {client_->cert_pem(), client_->key_pem(), ca_->cert_pem()};
  std::sort(blocks.begin(), blocks.end());
  int orders = 0;
  do {
    SCOPED_TRACE(orders);
    const Loaded loaded = load_path(blocks[0] + blocks[1] + blocks[2]);
    ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
    expect_client_loaded();
    EXPECT_EQ(target_.bundle.chain_count, 0u);
    sv_engine_free_bundle(&target_.bundle);
    ++orders;
  } while (std::next_permutation(blocks.begin(), blocks.end()));
  EXPECT_EQ(orders, 6);
}

TEST_F(EngineBundle, TraditionalKeyFormatLoads) {
  const Loaded loaded =
      load_path(client_->traditional_key_pem() + client_->cert_pem() + ca_->cert_pem());
  ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
  expect_client_loaded();
}

TEST_F(EngineBundle, KeysOfOtherPairsAreIgnoredWhereverTheyStand) {
  const Loaded loaded = load_path(other_->key_pem() + client_->cert_pem() + extra1_->key_pem() +
                                  client_->key_pem() + ca_->cert_pem() + other_->key_pem());
  ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
  expect_client_loaded();
}

TEST_F(EngineBundle, ExtraCertificatesBecomeTheChainInFileOrder) {
  const Loaded loaded = load_path(client_->cert_pem() + extra1_->cert_pem() + ca_->cert_pem() +
                                  client_->key_pem() + extra2_->cert_pem());
  ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
  expect_client_loaded();
  ASSERT_EQ(target_.bundle.chain_count, 2u);
  EXPECT_TRUE(same(target_.bundle.chain_certs[0], extra1_->cert));
  EXPECT_TRUE(same(target_.bundle.chain_certs[1], extra2_->cert));
}

TEST_F(EngineBundle, TwoCaCertificatesAreBothKept) {
  Identity second_ca;
  engine_test::make_identity(second_ca, "second ca", nullptr, true);
  const Loaded loaded =
      load_path(ca_->cert_pem() + client_->cert_pem() + client_->key_pem() + second_ca.cert_pem());
  ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
  ASSERT_EQ(target_.bundle.ca_count, 2u);
  EXPECT_TRUE(same(target_.bundle.ca_certs[1], second_ca.cert));
}

TEST_F(EngineBundle, ContentFailuresInTheirOrder) {
  struct Case {
    std::string pem;
    const char *message;
  };
  const Case cases[] = {
      {ca_->cert_pem(), "client bundle does not contain a client certificate"},
      {ca_->cert_pem() + client_->key_pem(), "client bundle does not contain a client certificate"},
      {client_->cert_pem() + other_->key_pem() + ca_->cert_pem(),
       "client bundle does not contain a matching private key"},
      {client_->cert_pem() + ca_->cert_pem(),
       "client bundle does not contain a matching private key"},
      {client_->cert_pem(), "client bundle does not contain a matching private key"},
      {client_->cert_pem() + client_->key_pem(), "client bundle does not contain a CA certificate"},
      {"", "client bundle does not contain a client certificate"},
      {"this is not a PEM file\n\x01\x02\xff",
       "client bundle does not contain a client certificate"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    const Loaded loaded = load_path(c.pem);
    EXPECT_EQ(loaded.status, SV_ERR_PROTOCOL);
    EXPECT_EQ(loaded.message, c.message);
    expect_empty();
  }
}

TEST_F(EngineBundle, CorruptPemBlockFailsToParse) {
  std::string broken = client_->cert_pem();
  broken.replace(broken.find('\n') + 5, 8, "!!!!@@@@");
  const Loaded loaded = load_path(broken + client_->key_pem() + ca_->cert_pem());
  EXPECT_EQ(loaded.status, SV_ERR_PROTOCOL);
  EXPECT_EQ(loaded.message, "failed to parse client bundle PEM");
  expect_empty();
  // The failure leaves no OpenSSL error behind for the next TLS operation of this thread.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(EngineBundle, MissingFileAndMissingArguments) {
  Loaded loaded =
      finish(sv_engine_load_bundle(&target_, nullptr, "/nonexistent/bundle.pem", &error_));
  EXPECT_EQ(loaded.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(loaded.message, "failed to open client bundle");
  loaded = finish(sv_engine_load_bundle(&target_, nullptr, nullptr, &error_));
  EXPECT_EQ(loaded.status, SV_ERR_INVALID);
  EXPECT_EQ(loaded.message, "client and bundle source or path are required");
  loaded = finish(sv_engine_load_bundle(nullptr, nullptr, "x", &error_));
  EXPECT_EQ(loaded.status, SV_ERR_INVALID);
  EXPECT_EQ(sv_engine_load_bundle(&target_, nullptr, "/nonexistent", nullptr), SV_ERR_TRANSPORT);
}

TEST_F(EngineBundle, SourceIsReadInSmallPiecesAndWinsOverThePath) {
  MemorySource source(ca_->cert_pem() + client_->key_pem() + client_->cert_pem(), 7);
  const Loaded loaded = load_source(source.source(), "/nonexistent/bundle.pem");
  ASSERT_EQ(loaded.status, SV_OK) << loaded.message;
  expect_client_loaded();
  EXPECT_GT(source.reads, 100);
}

TEST_F(EngineBundle, FailingSourceReportsItsOwnMessageOrADefault) {
  const std::string pem = client_->cert_pem() + client_->key_pem() + ca_->cert_pem();
  MemorySource with_message(pem);
  with_message.fail_after = pem.size() / 2;
  with_message.fail_message = "disk on fire";
  Loaded loaded = load_source(with_message.source());
  EXPECT_EQ(loaded.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(loaded.message, "disk on fire");
  expect_empty();
  EXPECT_EQ(with_message.reads, 2);  // one read with data, one failure, never asked again

  // A failure after all certificates were read still fails the load.
  MemorySource late(pem);
  late.fail_after = pem.size();
  loaded = load_source(late.source());
  EXPECT_EQ(loaded.status, SV_ERR_TRANSPORT);
  EXPECT_EQ(loaded.message, "failed to read client bundle source");
  expect_empty();
}

TEST_F(EngineBundle, FailedReloadKeepsThePreviousBundle) {
  ASSERT_EQ(load_path(client_->cert_pem() + client_->key_pem() + ca_->cert_pem()).status, SV_OK);
  EXPECT_EQ(load_path(ca_->cert_pem()).status, SV_ERR_PROTOCOL);
  expect_client_loaded();
  // A successful reload replaces it (ASan shows that the old references are dropped).
  ASSERT_EQ(load_path(other_->cert_pem() + other_->key_pem() + ca_->cert_pem()).status, SV_OK);
  EXPECT_TRUE(same(target_.bundle.certificate, other_->cert));
}

TEST_F(EngineBundle, FromBioAndFreeOnEmptyRecords) {
  const std::string pem = client_->cert_pem() + client_->key_pem() + ca_->cert_pem();
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EXPECT_EQ(sv_engine_load_bundle_from_bio(&target_, bio, &error_), SV_OK);
  BIO_free(bio);
  expect_client_loaded();
  EXPECT_EQ(sv_engine_load_bundle_from_bio(&target_, nullptr, nullptr), SV_ERR_INVALID);
  sv_engine_free_bundle(&target_.bundle);
  expect_empty();
  sv_engine_free_bundle(&target_.bundle);
  sv_engine_free_bundle(nullptr);
}

TEST_F(EngineBundle, OpenLoadsTheBundleAndFailsWithTheLoaderCode) {
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  const char *endpoints[] = {"localhost:1"};
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  const std::string good = engine_test::write_temp_file(
      "good.pem", client_->cert_pem() + client_->key_pem() + ca_->cert_pem());
  config.client_bundle_path = good.c_str();
  sv_engine_client *client = nullptr;
  ASSERT_EQ(sv_engine_client_open(&config, &client, &error_), SV_OK);
  EXPECT_NE(client->bundle.certificate, nullptr);
  sv_engine_client_close(client);

  const std::string bad = engine_test::write_temp_file("bad.pem", ca_->cert_pem());
  config.client_bundle_path = bad.c_str();
  client = nullptr;
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error_), SV_ERR_PROTOCOL);
  EXPECT_EQ(text(error_.message), "client bundle does not contain a client certificate");
  EXPECT_EQ(client, nullptr);

  MemorySource failing("-----BEGIN CERT");
  failing.fail_after = 4;
  failing.fail_message = "source broke";
  config.client_bundle_source = failing.source();
  EXPECT_EQ(sv_engine_client_open(&config, &client, &error_), SV_ERR_TRANSPORT);
  EXPECT_EQ(text(error_.message), "source broke");
  EXPECT_EQ(client, nullptr);

  // disable_mtls ignores both the source and the path.
  const int reads_before = failing.reads;
  config.disable_mtls = 1;
  ASSERT_EQ(sv_engine_client_open(&config, &client, &error_), SV_OK);
  EXPECT_EQ(client->bundle.certificate, nullptr);
  EXPECT_EQ(failing.reads, reads_before);
  sv_engine_client_close(client);
  sv_engine_error_reset(&error_);
}

// Installation into TLS contexts.
class EngineTlsContext : public EngineBundle {
 protected:
  void SetUp() override {
    context_ = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(context_, nullptr);
  }
  void TearDown() override {
    SSL_CTX_free(context_);
    EngineBundle::TearDown();
  }
  size_t store_size() {
    return static_cast<size_t>(
        sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(context_))));
  }
  long extra_chain_count() {
    STACK_OF(X509) *chain = nullptr;
    SSL_CTX_get_extra_chain_certs_only(context_, &chain);
    return chain == nullptr ? 0 : sk_X509_num(chain);
  }
  SSL_CTX *context_ = nullptr;
};

TEST_F(EngineTlsContext, ExchangeCallbackInstallsIdentityChainAndCas) {
  ASSERT_EQ(
      load_path(client_->cert_pem() + client_->key_pem() + ca_->cert_pem() + extra1_->cert_pem())
          .status,
      SV_OK);
  const size_t before = store_size();
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, &target_), 0);
  ASSERT_NE(SSL_CTX_get0_certificate(context_), nullptr);
  EXPECT_TRUE(same(SSL_CTX_get0_certificate(context_), client_->cert));
  EXPECT_EQ(EVP_PKEY_eq(SSL_CTX_get0_privatekey(context_), client_->key), 1);
  EXPECT_EQ(extra_chain_count(), 1);
  EXPECT_EQ(store_size(), before + 1);
  // Installing twice (a duplicate CA) is not an error.
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, &target_), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(EngineTlsContext, ExchangeCallbackWithoutIdentity) {
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, nullptr), 0);
  target_.disable_mtls = 1;
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, &target_), 0);
  EXPECT_EQ(SSL_CTX_get0_certificate(context_), nullptr);
  target_.disable_mtls = 0;
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, &target_), 58);  // SSL_CERTPROBLEM
}

TEST_F(EngineTlsContext, ExchangeCallbackRejectsAKeyThatDoesNotMatch) {
  ASSERT_EQ(load_path(client_->cert_pem() + client_->key_pem() + ca_->cert_pem()).status, SV_OK);
  EVP_PKEY *right = target_.bundle.private_key;
  EVP_PKEY_up_ref(other_->key);
  target_.bundle.private_key = other_->key;
  EXPECT_EQ(sv_engine_ssl_ctx_callback(nullptr, context_, &target_), 58);
  EVP_PKEY_free(target_.bundle.private_key);
  target_.bundle.private_key = right;
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(EngineTlsContext, StreamCallbacksInstallWhatIsPresent) {
  EXPECT_EQ(sv_engine_stream_ssl_ctx(nullptr, nullptr, &target_), 58);
  EXPECT_EQ(sv_engine_stream_ssl_ctx(nullptr, context_, nullptr), 58);
  // An empty bundle installs nothing and succeeds.
  EXPECT_EQ(sv_engine_stream_ssl_ctx(nullptr, context_, &target_), 0);
  EXPECT_EQ(SSL_CTX_get0_certificate(context_), nullptr);

  ASSERT_EQ(load_path(client_->cert_pem() + client_->key_pem() + ca_->cert_pem() +
                      extra1_->cert_pem() + extra2_->cert_pem())
                .status,
            SV_OK);
  const size_t before = store_size();
  EXPECT_EQ(sv_engine_attachment_ssl_ctx(nullptr, context_, &target_), 0);
  EXPECT_TRUE(same(SSL_CTX_get0_certificate(context_), client_->cert));
  EXPECT_EQ(extra_chain_count(), 2);
  EXPECT_EQ(store_size(), before + 1);
  SSL_CTX *other_context = SSL_CTX_new(TLS_client_method());
  EXPECT_EQ(sv_engine_queue_stream_ssl_ctx(nullptr, other_context, &target_), 0);
  SSL_CTX_free(other_context);
}

}  // namespace
