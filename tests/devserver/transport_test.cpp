// The fixture's nghttpx front: mutual TLS with h2 and http/1.1 by ALPN, and a Unix socket.
#include <curl/curl.h>

#include "helpers.h"

namespace stavo::test {
namespace {

HttpRequest https_request(const DevServer &dev, const std::string &path, bool http2) {
  HttpRequest request;
  request.url = dev.https_url() + path;
  request.client_bundle = dev.client_bundle_path();
  request.ca = dev.ca_path();
  request.http2 = http2;
  return request;
}

TEST(DevServerTransport, HttpsOffersH2AndHttp11WithClientCertificates) {
  DevServer dev(DevServerOptions{.tls = true});
  dev.seed_state("k", R"({"over":"tls"})");
  HttpResponse h2 = http_request(https_request(dev, "/v1/get?key=k&public=1", true));
  ASSERT_EQ(h2.curl_code, 0) << h2.curl_error;
  EXPECT_EQ(h2.status, 200);
  EXPECT_EQ(h2.http_version, CURL_HTTP_VERSION_2_0);
  EXPECT_EQ(h2.body, R"({"over":"tls"})");
  EXPECT_TRUE(h2.header("x-correlation-id").has_value());

  HttpResponse h1 = http_request(https_request(dev, "/v1/get?key=k&public=1", false));
  ASSERT_EQ(h1.curl_code, 0) << h1.curl_error;
  EXPECT_EQ(h1.http_version, CURL_HTTP_VERSION_1_1);

  ASSERT_TRUE(dev.wait_for_access_log(2));
  auto log = dev.access_log();
  EXPECT_EQ(log[0].alpn, "h2");
  EXPECT_EQ(log[0].protocol_version, "HTTP/2");
  EXPECT_EQ(log[0].path, "/v1/get?key=k&public=1");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_NE(log[0].client_subject.find("stavo-dev-client"), std::string::npos);
  EXPECT_EQ(log[1].alpn, "http/1.1");
  // The server saw both, forwarded by nghttpx.
  EXPECT_EQ(dev.requests_to("GET", "/v1/get").size(), 2u);
}

TEST(DevServerTransport, HttpsRefusesClientsWithoutACertificate) {
  DevServer dev(DevServerOptions{.tls = true});
  HttpRequest request = https_request(dev, "/v1/describe?key=k", true);
  request.client_bundle.clear();
  HttpResponse response = http_request(request);
  EXPECT_NE(response.curl_code, 0);
  EXPECT_EQ(response.status, 0);
  EXPECT_TRUE(dev.requests().empty());
}

TEST(DevServerTransport, FaultsApplyBehindTheProxy) {
  DevServer dev(DevServerOptions{.tls = true});
  dev.add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive"));
  HttpRequest request = https_request(dev, "/v1/acquire", true);
  request.method = "POST";
  request.body = R"({"key":"k","ttl_seconds":5,"owner":"o"})";
  request.headers = {{"Content-Type", "application/json"}};
  HttpResponse refused = http_request(request);
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(error_code(refused), "node_passive");
  EXPECT_EQ(http_request(request).status, 200);
}

TEST(DevServerTransport, UnixSocketServesPlainHttp) {
  DevServer dev(DevServerOptions{.unix_socket = true});
  ASSERT_FALSE(dev.unix_socket_path().empty());
  HttpRequest request;
  request.method = "POST";
  request.url = dev.unix_url() + "/v1/acquire";
  request.unix_socket = dev.unix_socket_path();
  request.body = R"({"key":"k","ttl_seconds":5,"owner":"o"})";
  request.headers = {{"Content-Type", "application/json"}};
  HttpResponse response = http_request(request);
  ASSERT_EQ(response.curl_code, 0) << response.curl_error;
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(dev.state("k").lease.has_value());
  ASSERT_TRUE(dev.wait_for_access_log(1));
  EXPECT_EQ(dev.access_log()[0].alpn, "http/1.1");
}

// A long-running client with one reused connection: the front must never hand one of its
// requests to a backend connection the server has closed (it once closed each after 1,000).
TEST(DevServerTransport, OneReusedConnectionCarriesThousandsOfRequestsThroughTheFront) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kRequests = 1500;
#else
  constexpr int kRequests = 5000;
#endif
  DevServer dev(DevServerOptions{.tls = true});
  dev.seed_state("k", R"({"n":1})");
  const std::string url = dev.https_url() + "/v1/get?key=k&public=1";
  const std::string bundle = dev.client_bundle_path();
  const std::string ca = dev.ca_path();
  CURL *curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 15000L);
  curl_easy_setopt(curl, CURLOPT_SSLCERT, bundle.c_str());
  curl_easy_setopt(curl, CURLOPT_SSLKEY, bundle.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char *data, size_t size, size_t count, void *out) {
        static_cast<std::string *>(out)->append(data, size * count);
        return size * count;
      });
  long connects = 0;
  int failures = 0;
  std::string first_failure;
  for (int i = 0; i < kRequests; ++i) {
    body.clear();
    const CURLcode code = curl_easy_perform(curl);
    long status = 0, opened = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connects += opened;
    if (code != CURLE_OK || status != 200 || body != R"({"n":1})") {
      if (failures++ == 0) {
        first_failure = "request " + std::to_string(i) + ": " + curl_easy_strerror(code) +
                        ", status " + std::to_string(status);
      }
    }
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(failures, 0) << first_failure;
  EXPECT_EQ(connects, 1) << "every request went over the first connection";
}

}  // namespace
}  // namespace stavo::test
