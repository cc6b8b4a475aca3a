// The exchange over mutual TLS through nghttpx (HTTP/2 and HTTP/1.1 by ALPN) and over a Unix
// domain socket; bundles that must fail the handshake.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "exchange_fixture.h"

namespace {

using engine_test::Call;
using engine_test::Client;
using engine_test::Identity;
using stavo::test::DevServer;

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class ExchangeTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new DevServer({.tls = true, .unix_socket = true});
    other_ca_ = new Identity();
    stranger_ = new Identity();
    engine_test::make_identity(*other_ca_, "another ca", nullptr, true);
    engine_test::make_identity(*stranger_, "stranger", other_ca_, false);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete other_ca_;
    delete stranger_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    bundle_path_ = server_->client_bundle_path();
    client_.config.client_bundle_path = bundle_path_.c_str();
  }
  void acquire(Call &call, const std::string &key) {
    engine_test::post_json(call, client_.client, "/v1/acquire", engine_test::acquire_json(key));
  }
  // The access log entry of the request just made.
  stavo::test::AccessLogEntry last_access(size_t before) {
    EXPECT_TRUE(server_->wait_for_access_log(before + 1));
    const auto log = server_->access_log();
    return log.empty() ? stavo::test::AccessLogEntry{} : log.back();
  }

  static DevServer *server_;
  static Identity *other_ca_;
  static Identity *stranger_;
  std::string bundle_path_;
  Client client_;
};

DevServer *ExchangeTls::server_ = nullptr;
Identity *ExchangeTls::other_ca_ = nullptr;
Identity *ExchangeTls::stranger_ = nullptr;

TEST_F(ExchangeTls, Http2IsNegotiatedOverMutualTls) {
  ASSERT_EQ(client_.open({server_->https_url()}), SV_OK) << client_.open_message;
  const size_t before = server_->access_log().size();
  Call call;
  acquire(call, "tls-h2");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(std::string(call.reply.key), "tls-h2");
  const auto entry = last_access(before);
  EXPECT_EQ(entry.alpn, "h2");
  EXPECT_EQ(entry.protocol_version, "HTTP/2");
  EXPECT_EQ(entry.path, "/v1/acquire");
  EXPECT_EQ(entry.status, 200);
  EXPECT_NE(entry.client_subject, "-");  // the client certificate was presented
}

TEST_F(ExchangeTls, Http11WhenHttp2IsNotPreferred) {
  client_.config.prefer_http_2 = 0;
  ASSERT_EQ(client_.open({server_->https_url()}), SV_OK) << client_.open_message;
  const size_t before = server_->access_log().size();
  Call call;
  acquire(call, "tls-h1");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  const auto entry = last_access(before);
  EXPECT_EQ(entry.alpn, "http/1.1");
  EXPECT_EQ(entry.protocol_version, "HTTP/1.1");
}

TEST_F(ExchangeTls, BundleFromASourceAndBareEndpointGetsHttps) {
  engine_test::MemorySource source(read_file(bundle_path_), 100);
  client_.config.client_bundle_source = source.source();
  client_.config.client_bundle_path = "/nonexistent";
  ASSERT_EQ(client_.open({"localhost:" + std::to_string(server_->https_port())}), SV_OK)
      << client_.open_message;
  Call call;
  acquire(call, "tls-source");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
}

TEST_F(ExchangeTls, ClientCertificateFromAnotherCaFailsTheHandshake) {
  // The server is trusted (dev CA in the bundle) but the client identity is not.
  const std::string bundle = engine_test::write_temp_file(
      "stranger.pem", stranger_->cert_pem() + stranger_->key_pem() + read_file(server_->ca_path()));
  client_.config.client_bundle_path = bundle.c_str();
  ASSERT_EQ(client_.open({server_->https_url()}), SV_OK) << client_.open_message;
  Call call;
  acquire(call, "tls-stranger");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT) << call.message();
  EXPECT_EQ(call.result.status, 0);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(ExchangeTls, MissingClientIdentityFails) {
  ASSERT_EQ(client_.open({server_->https_url()}), SV_OK) << client_.open_message;
  // Without a certificate the TLS context cannot be prepared at all.
  sv_engine_free_bundle(&client_.client->bundle);
  Call call;
  acquire(call, "tls-no-identity");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT) << call.message();

  // Without mTLS nothing of the bundle is installed: the dev CA is unknown and no client
  // certificate is sent.
  Client plain;
  plain.config.disable_mtls = 1;
  ASSERT_EQ(plain.open({server_->https_url()}), SV_OK);
  Call unverified;
  engine_test::post_json(unverified, plain.client, "/v1/acquire",
                         engine_test::acquire_json("tls-plain"));
  EXPECT_EQ(unverified.status, SV_ERR_TRANSPORT) << unverified.message();
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(ExchangeTls, ServerCertificateFromAnotherCaIsRejectedUnlessVerificationIsSkipped) {
  const std::string bundle = engine_test::write_temp_file(
      "other-ca.pem", read_file(server_->certs().client_cert()) +
                          read_file(server_->certs().client_key()) + other_ca_->cert_pem());
  client_.config.client_bundle_path = bundle.c_str();
  ASSERT_EQ(client_.open({server_->https_url()}), SV_OK) << client_.open_message;
  Call call;
  acquire(call, "tls-verify");
  EXPECT_EQ(call.status, SV_ERR_TRANSPORT);
  EXPECT_NE(call.message().find("certificate"), std::string::npos) << call.message();
  EXPECT_TRUE(server_->requests().empty());

  Client skipping;
  skipping.config.client_bundle_path = bundle.c_str();
  skipping.config.insecure_skip_verify = 1;
  ASSERT_EQ(skipping.open({server_->https_url()}), SV_OK) << skipping.open_message;
  Call unchecked;
  engine_test::post_json(unchecked, skipping.client, "/v1/acquire",
                         engine_test::acquire_json("tls-skip"));
  ASSERT_EQ(unchecked.status, SV_OK) << unchecked.message();
  EXPECT_EQ(unchecked.result.status, 200);
}

TEST_F(ExchangeTls, UnixDomainSocket) {
  const std::string socket_path = server_->unix_socket_path();
  ASSERT_FALSE(socket_path.empty());
  client_.config.disable_mtls = 1;
  client_.config.unix_socket_path = socket_path.c_str();
  ASSERT_EQ(client_.open({server_->unix_url()}), SV_OK) << client_.open_message;
  Call call;
  acquire(call, "unix-1");
  ASSERT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  EXPECT_EQ(std::string(call.reply.key), "unix-1");
  ASSERT_TRUE(server_->wait_for_requests(1));
  EXPECT_EQ(server_->requests().back().target, "/v1/acquire");
}

}  // namespace
