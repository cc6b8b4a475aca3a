// The peer: the same HTTP requests sent with bare libcurl, either on a fresh easy handle per call
// or on one handle kept for every call (libcurl then keeps its connection open).
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace stavoc_bench {

// One request exactly as it goes out: header lines "Name: value" in order.
struct PeerRequest {
  std::string method;
  std::string target;  // path and query
  std::vector<std::string> headers;
  std::string body;
};

struct PeerAnswer {
  long status = 0;
  std::string body;
};

struct PeerTls {
  std::string cert_pem;
  std::string key_pem;
  std::string ca_pem;
};

class Peer {
 public:
  // tls NULL: plain HTTP. The TLS texts must outlive the peer.
  Peer(std::string base_url, const PeerTls *tls, bool reuse);
  ~Peer();
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  // Sends the request; false on a transport failure (the answer's body then holds why).
  bool perform(const PeerRequest &request, PeerAnswer &answer);

 private:
  std::string base_url_;
  const PeerTls *tls_;
  bool reuse_;
  CURL *kept_ = nullptr;
};

// The request with every `from` replaced by `to` in target, header lines and body.
PeerRequest substitute(const PeerRequest &request,
                       const std::vector<std::pair<std::string, std::string>> &replacements);

// The text of a JSON string member ("lease_id":"...") or number member, found by search; empty
// when absent. Enough for the dev server's flat answers.
std::string json_member(const std::string &json, const std::string &name);

}  // namespace stavoc_bench
