#include "peer.h"

#include <algorithm>
#include <cstring>

namespace stavoc_bench {

namespace {

size_t append_body(char *data, size_t size, size_t count, void *context) {
  static_cast<std::string *>(context)->append(data, size * count);
  return size * count;
}

struct BodyReader {
  const std::string *body;
  size_t position;
};

size_t read_body(char *buffer, size_t size, size_t count, void *context) {
  auto *reader = static_cast<BodyReader *>(context);
  const size_t take = std::min(size * count, reader->body->size() - reader->position);
  std::memcpy(buffer, reader->body->data() + reader->position, take);
  reader->position += take;
  return take;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

curl_blob blob_of(const std::string &text) {
  return curl_blob{const_cast<char *>(text.data()), text.size(), CURL_BLOB_NOCOPY};
}

}  // namespace

Peer::Peer(std::string base_url, const PeerTls *tls, bool reuse)
    : base_url_(std::move(base_url)), tls_(tls), reuse_(reuse) {
  if (reuse_) kept_ = curl_easy_init();
}

Peer::~Peer() {
  if (kept_ != nullptr) curl_easy_cleanup(kept_);
}

bool Peer::perform(const PeerRequest &request, PeerAnswer &answer) {
  answer = PeerAnswer{};
  CURL *curl = reuse_ ? kept_ : curl_easy_init();
  if (curl == nullptr) {
    answer.body = "curl_easy_init failed";
    return false;
  }
  if (reuse_) curl_easy_reset(curl);  // keeps the open connection
  const std::string url = base_url_ + request.target;
  // A chunked body is produced by a read callback of unknown length, as the client's streamed
  // bodies are; libcurl then chooses chunking and Expect itself (neither exists in HTTP/2).
  bool streamed = false;
  curl_slist *headers = nullptr;
  for (const auto &line : request.headers) {
    if (line == "Transfer-Encoding: chunked") streamed = true;
    if (line.rfind("Transfer-Encoding:", 0) == 0 || line.rfind("Expect:", 0) == 0) continue;
    headers = curl_slist_append(headers, line.c_str());
  }
  BodyReader reader{&request.body, 0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (request.method == "POST" && streamed) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
    curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
  } else if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
  if (tls_ != nullptr) {
    curl_blob cert = blob_of(tls_->cert_pem);
    curl_blob key = blob_of(tls_->key_pem);
    curl_blob ca = blob_of(tls_->ca_pem);
    curl_easy_setopt(curl, CURLOPT_SSLCERT_BLOB, &cert);
    curl_easy_setopt(curl, CURLOPT_SSLKEY_BLOB, &key);
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &ca);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  }
  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_slist_free_all(headers);
  if (!reuse_) curl_easy_cleanup(curl);
  if (code != CURLE_OK) {
    answer.body = curl_easy_strerror(code);
    return false;
  }
  return true;
}

PeerRequest substitute(const PeerRequest &request,
                       const std::vector<std::pair<std::string, std::string>> &replacements) {
  PeerRequest out = request;
  for (const auto &[from, to] : replacements) {
    replace_all(out.target, from, to);
    for (auto &line : out.headers)
      replace_all(line, from, to);
    replace_all(out.body, from, to);
  }
  return out;
}

std::string json_member(const std::string &json, const std::string &name) {
  const std::string marker = "\"" + name + "\":";
  size_t at = json.find(marker);
  if (at == std::string::npos) return {};
  at += marker.size();
  while (at < json.size() && json[at] == ' ')
    ++at;
  if (at < json.size() && json[at] == '"') {
    const size_t end = json.find('"', at + 1);
    return end == std::string::npos ? std::string() : json.substr(at + 1, end - at - 1);
  }
  size_t end = at;
  while (end < json.size() && (json[end] == '-' || (json[end] >= '0' && json[end] <= '9')))
    ++end;
  return json.substr(at, end - at);
}

}  // namespace stavoc_bench
