// The engine client: configuration defaults, open (validation, copies, logger, client bundle)
// and close.
#include <cstdlib>
#include <cstring>

#include <openssl/ssl.h>

#include "engine_internal.h"
#include "sv_log.h"

namespace {

int fail_open(sv_engine_client *client, sv_engine_error *error, int code,
              const char *message) noexcept {
  sv_engine_client_close(client);
  return sv_engine_set_client_error(error, code, message);
}

int normalise_flag(int32_t value) noexcept {
  return value != 0 ? 1 : 0;
}

}  // namespace

extern "C" {

SV_API void sv_engine_client_config_init(sv_engine_client_config *config) noexcept {
  if (config == nullptr) return;
  *config = sv_engine_client_config{};
  config->timeout_ms = SV_ENGINE_DEFAULT_TIMEOUT_MS;
  config->prefer_http_2 = 1;
}

SV_API int sv_engine_client_open(const sv_engine_client_config *config, sv_engine_client **out,
                                 sv_engine_error *error) noexcept {
  if (config == nullptr || out == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "config and out_client are required");
  }
  if (config->endpoints == nullptr || config->endpoint_count == 0) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "at least one endpoint is required");
  }
  const bool has_bundle =
      config->client_bundle_source != nullptr ||
      (config->client_bundle_path != nullptr && config->client_bundle_path[0] != '\0');
  const bool has_cert = config->client_cert_path != nullptr && config->client_cert_path[0] != '\0';
  const bool has_key = config->client_key_path != nullptr && config->client_key_path[0] != '\0';
  if (config->disable_mtls == 0 && !has_bundle && has_cert != has_key) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client_cert_path and client_key_path are required together");
  }
  if (config->disable_mtls == 0 && !has_bundle && !has_cert) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "client_bundle_source or client_bundle_path is required unless disable_mtls is enabled");
  }
  curl_global_init(CURL_GLOBAL_ALL);
  OPENSSL_init_ssl(0, nullptr);

  auto *client = static_cast<sv_engine_client *>(std::calloc(1, sizeof(sv_engine_client)));
  if (client == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate client");
  }
  client->endpoints = static_cast<char **>(std::calloc(config->endpoint_count, sizeof(char *)));
  if (client->endpoints == nullptr) {
    return fail_open(client, error, SV_ERR_NOMEM, "failed to allocate endpoint array");
  }
  client->endpoint_count = config->endpoint_count;
  for (size_t i = 0; i < config->endpoint_count; ++i) {
    client->endpoints[i] = sv_engine_strdup_local(config->endpoints[i]);
    if (client->endpoints[i] == nullptr) {
      return fail_open(client, error, SV_ERR_NOMEM, "failed to copy endpoint");
    }
    sv_engine_trim_trailing_slash(client->endpoints[i]);
  }
  client->default_namespace = sv_engine_strdup_local(
      config->default_namespace != nullptr ? config->default_namespace : "default");
  if (client->default_namespace == nullptr) {
    return fail_open(client, error, SV_ERR_NOMEM, "failed to copy default namespace");
  }
  if (config->unix_socket_path != nullptr) {
    client->unix_socket_path = sv_engine_strdup_local(config->unix_socket_path);
    if (client->unix_socket_path == nullptr) {
      return fail_open(client, error, SV_ERR_NOMEM, "failed to copy unix_socket_path");
    }
  }
  client->timeout_ms = config->timeout_ms < 1 ? SV_ENGINE_DEFAULT_TIMEOUT_MS : config->timeout_ms;
  client->prefer_http_2 = normalise_flag(config->prefer_http_2);
  client->disable_mtls = normalise_flag(config->disable_mtls);
  client->insecure_skip_verify = normalise_flag(config->insecure_skip_verify);
  client->response_limit_bytes = config->response_limit_bytes == 0
                                     ? SV_ENGINE_DEFAULT_RESPONSE_LIMIT
                                     : config->response_limit_bytes;
  client->disable_logger_sys_field = normalise_flag(config->disable_logger_sys_field);
  client->connect_timeout_ms = config->connect_timeout_ms;
  client->stream_idle_timeout_ms = config->stream_idle_timeout_ms;
  client->trust_bundle_ca_only = normalise_flag(config->trust_bundle_ca_only);
  if (config->ca_path != nullptr && config->ca_path[0] != '\0') {
    client->ca_file = sv_engine_strdup_local(config->ca_path);
    if (client->ca_file == nullptr) {
      return fail_open(client, error, SV_ERR_NOMEM, "failed to copy ca_path");
    }
  }

  client->base_logger = config->logger != nullptr ? config->logger : sv_log_noop_logger();
  client->logger = sv_log_client_logger(client->base_logger, client->disable_logger_sys_field);
  if (client->logger == nullptr) {
    return fail_open(client, error, SV_ERR_NOMEM, "failed to initialize client logger");
  }
  client->owns_logger = sv_log_logger_is_owned(client->logger, client->base_logger) ? 1 : 0;

  if (client->disable_mtls == 0) {
    int status = has_bundle ? sv_engine_load_bundle(client, config->client_bundle_source,
                                                    config->client_bundle_path, error)
                            : sv_engine_load_identity_files(client, config->client_cert_path,
                                                            config->client_key_path, error);
    if (status == SV_OK && client->ca_file != nullptr) {
      status = sv_engine_load_ca_file(client, client->ca_file, error);
    }
    if (status != SV_OK) {
      sv_engine_client_close(client);
      return error != nullptr ? status : SV_ERR_PROTOCOL;
    }
  } else if (client->ca_file != nullptr) {
    // Checked now, so that a missing or empty CA file is not first met by a handshake; libcurl
    // reads it itself for each connection.
    const int status = sv_engine_load_ca_file(client, client->ca_file, error);
    sv_engine_free_bundle(&client->bundle);
    if (status != SV_OK) {
      sv_engine_client_close(client);
      return status;
    }
  }

  if (client->disable_mtls == 0) {
    const int status = sv_engine_trust_store_open(client, error);
    if (status != SV_OK) {
      sv_engine_client_close(client);
      return status;
    }
  }

  if (config->reuse_connections != 0) {
    const int status = sv_engine_connection_share_open(client, error);
    if (status != SV_OK) {
      sv_engine_client_close(client);
      return status;
    }
  }

  *out = client;
  const ember_field fields[] = {
      sv_log_u64_field("endpoint_count", client->endpoint_count),
      sv_log_str_field("default_namespace", client->default_namespace),
  };
  sv_log_info(client->logger, "client.init", fields, sizeof(fields) / sizeof(fields[0]));
  return SV_OK;
}

SV_API void sv_engine_client_close(sv_engine_client *client) noexcept {
  if (client == nullptr) return;
  sv_engine_connection_share_close(client);
  sv_engine_trust_store_close(client);
  sv_engine_free_bundle(&client->bundle);
  if (client->endpoints != nullptr) {
    for (size_t i = 0; i < client->endpoint_count; ++i)
      std::free(client->endpoints[i]);
    std::free(client->endpoints);
  }
  std::free(client->unix_socket_path);
  std::free(client->default_namespace);
  std::free(client->ca_file);
  if (client->owns_logger != 0 && client->logger != nullptr &&
      client->logger != sv_log_noop_logger()) {
    client->logger->destroy(client->logger);
  }
  std::free(client);
}

SV_API ember_logger *sv_engine_client_logger(const sv_engine_client *client) noexcept {
  if (client == nullptr || client->logger == nullptr) return sv_log_noop_logger();
  return client->logger;
}

SV_API void sv_engine_client_set_cancel_check(sv_engine_client *client, int (*check)(void *context),
                                              void *context) noexcept {
  if (client == nullptr) return;
  client->cancel_check = check;
  client->cancel_context = context;
}

}  // extern "C"
