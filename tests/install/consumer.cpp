// The same check from C++: the installed headers compile as C++20 with every warning, and the
// program links libstavoc alone.
#include <stavoc.h>

#include <cstdio>
#include <string>
#include <vector>

int main() {
  if (std::string(sv_version_string()) != "0.7.0") return 1;
  std::vector<const char *> endpoints = {"http://127.0.0.1:1"};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints.data();
  config.endpoint_count = endpoints.size();
  config.disable_mtls = 1;
  sv_error error;
  sv_error_init(&error);
  sv_client *client = nullptr;
  if (sv_client_open(&config, &client, &error) != SV_OK) return 2;
  sv_client_close(client);
  // A refused endpoint is reported with the library's own words.
  endpoints[0] = "htps://127.0.0.1:1";
  const int refused = sv_client_open(&config, &client, &error);
  const std::string message = error.message != nullptr ? error.message : "";
  sv_error_cleanup(&error);
  if (refused != SV_ERR_INVALID || message.find("unknown scheme") == std::string::npos) return 3;
  std::printf("C++ consumer ok: libstavoc %s\n", sv_version_string());
  return 0;
}
