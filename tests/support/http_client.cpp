#include "http_client.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace stavo::test {

namespace {

struct Upload {
  const std::string *body;
  size_t offset = 0;
};

size_t write_body(char *data, size_t size, size_t count, void *context) {
  static_cast<std::string *>(context)->append(data, size * count);
  return size * count;
}

size_t read_body(char *buffer, size_t size, size_t count, void *context) {
  auto *upload = static_cast<Upload *>(context);
  // Small bodies go in pieces of 7 bytes, so that chunked uploads really arrive as many chunks.
  size_t piece = upload->body->size() < 4096 ? 7 : 65536;
  size_t length = std::min({size * count, upload->body->size() - upload->offset, piece});
  std::memcpy(buffer, upload->body->data() + upload->offset, length);
  upload->offset += length;
  return length;
}

size_t write_header(char *data, size_t size, size_t count, void *context) {
  auto *headers = static_cast<devserver::HeaderList *>(context);
  std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    headers->clear();  // interim answers (100 Continue) are dropped
    return size * count;
  }
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
      value.pop_back();
    headers->emplace_back(line.substr(0, colon), value);
  }
  return size * count;
}

}  // namespace

std::optional<std::string> HttpResponse::header(const std::string &name) const {
  for (const auto &[key, value] : headers) {
    if (devserver::header_name_equals(key, name)) return value;
  }
  return std::nullopt;
}

HttpResponse http_request(const HttpRequest &request) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpResponse response;
  CURL *curl = curl_easy_init();
  char error[CURL_ERROR_SIZE] = {0};
  curl_slist *headers = nullptr;
  for (const auto &[name, value] : request.headers) {
    std::string line = value.empty() ? name + ":" : name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  Upload upload{request.body ? &*request.body : nullptr};
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                   request.http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
  if (request.body && request.chunked) {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body->size()));
    if (request.method != "POST") {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  } else if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (!request.unix_socket.empty()) {
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, request.unix_socket.c_str());
  }
  if (!request.client_bundle.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSLCERT, request.client_bundle.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, request.client_bundle.c_str());
  }
  if (!request.ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca.c_str());
  CURLcode code = curl_easy_perform(curl);
  response.curl_code = static_cast<int>(code);
  response.curl_error = error[0] != '\0' ? error : curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &response.http_version);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return response;
}

HttpResponse http_get(const std::string &url, devserver::HeaderList headers) {
  HttpRequest request;
  request.url = url;
  request.headers = std::move(headers);
  return http_request(request);
}

HttpResponse http_post(const std::string &url, const std::string &body,
                       devserver::HeaderList headers) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.body = body;
  request.headers = std::move(headers);
  return http_request(request);
}

HttpResponse http_delete(const std::string &url, devserver::HeaderList headers) {
  HttpRequest request;
  request.method = "DELETE";
  request.url = url;
  request.headers = std::move(headers);
  return http_request(request);
}

}  // namespace stavo::test
