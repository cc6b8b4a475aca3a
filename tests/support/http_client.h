// A small libcurl client for tests that talk to the dev server directly (raw HTTP).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devserver/request_log.h"

namespace stavo::test {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  devserver::HeaderList headers;  // sent in this order; a value-less "Name:" removes curl's own
  std::optional<std::string> body;
  bool chunked = false;       // send the body with Transfer-Encoding: chunked
  std::string unix_socket;    // connect through this socket
  std::string client_bundle;  // client certificate and key (PEM); empty: none
  std::string ca;             // CA file for the server certificate
  bool http2 = false;         // offer h2 by ALPN (else HTTP/1.1 only)
  long timeout_ms = 15000;
};

struct HttpResponse {
  int curl_code = 0;  // 0 when the transfer completed
  std::string curl_error;
  long status = 0;
  long http_version = 0;  // CURL_HTTP_VERSION_* of the answer
  devserver::HeaderList headers;
  std::string body;

  std::optional<std::string> header(const std::string &name) const;
};

HttpResponse http_request(const HttpRequest &request);

// Shorthands for plain HTTP.
HttpResponse http_get(const std::string &url, devserver::HeaderList headers = {});
HttpResponse http_post(const std::string &url, const std::string &body,
                       devserver::HeaderList headers = {{"Content-Type", "application/json"}});
HttpResponse http_delete(const std::string &url, devserver::HeaderList headers = {});

}  // namespace stavo::test
