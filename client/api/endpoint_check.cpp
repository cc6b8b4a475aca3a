// The endpoints of a client configuration are checked when the client opens, so that an empty
// entry or a typo in a scheme is reported with the endpoint's own text instead of failing the
// first request with libcurl's words.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client_internal.h"

namespace {

int refuse(sv_error *error, const std::string &message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message.c_str(), nullptr, nullptr, nullptr);
}

bool has_control_or_space(const char *text) noexcept {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
    if (*p <= 0x20 || *p == 0x7f) return true;
  }
  return false;
}

// The endpoint as a URL: a bare host[:port] gets a scheme, as the engine gives it one.
std::string as_url(const char *endpoint) {
  return std::strstr(endpoint, "://") != nullptr ? std::string(endpoint)
                                                 : std::string("http://") + endpoint;
}

int check_one(const char *endpoint, size_t index, sv_error *error) {
  if (endpoint == nullptr || *endpoint == '\0') {
    // snprintf, not std::to_string: its digit table would be exported with the library.
    char message[64];
    std::snprintf(message, sizeof message, "invalid endpoint %zu: it is empty", index);
    return refuse(error, message);
  }
  const std::string quoted = "invalid endpoint \"" + std::string(endpoint) + "\": ";
  if (has_control_or_space(endpoint)) {
    return refuse(error, quoted + "it contains a space or a control byte");
  }
  if (const char *scheme_end = std::strstr(endpoint, "://"); scheme_end != nullptr) {
    const std::string scheme(endpoint, static_cast<size_t>(scheme_end - endpoint));
    if (scheme != "http" && scheme != "https") {
      return refuse(error, quoted + "unknown scheme \"" + scheme + "\" (use http:// or https://)");
    }
  }
  CURLU *url = curl_url();
  if (url == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate an endpoint check", nullptr,
                        nullptr, nullptr);
  }
  const std::string text = as_url(endpoint);
  CURLUcode parsed = curl_url_set(url, CURLUPART_URL, text.c_str(), 0);
  char *host = nullptr;
  if (parsed == CURLUE_OK) parsed = curl_url_get(url, CURLUPART_HOST, &host, 0);
  const bool hostless = parsed == CURLUE_NO_HOST || (parsed == CURLUE_OK && *host == '\0');
  curl_free(host);
  curl_url_cleanup(url);
  if (hostless) return refuse(error, quoted + "it names no host");
  if (parsed != CURLUE_OK) {
    return refuse(error, quoted + "not a URL (" + curl_url_strerror(parsed) + ")");
  }
  return SV_OK;
}

}  // namespace

int sv_check_client_endpoints(const char *const *endpoints, size_t count,
                              sv_error *error) noexcept {
  if (endpoints == nullptr) return SV_OK;  // the engine names what is missing
  try {
    for (size_t i = 0; i < count; ++i) {
      const int status = check_one(endpoints[i], i, error);
      if (status != SV_OK) return status;
    }
    return SV_OK;
  } catch (...) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to check the endpoints", nullptr, nullptr,
                        nullptr);
  }
}
