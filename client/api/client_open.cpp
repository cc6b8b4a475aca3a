// Opening and closing a client: the configuration defaults, the capture of a client bundle
// source (its bytes are kept so that later clients can be opened with the same settings), the
// private copies of the configuration and the engine client underneath.
#include <cstdlib>
#include <cstring>

#include "client_internal.h"

namespace {

constexpr size_t kBundleCaptureStart = 8192;

// Wraps the caller's bundle source while the engine reads it, keeping every byte read. The
// source record comes first so the engine sees an ordinary source.
struct BundleCapture {
  sv_source base;
  sv_source *inner;
  const sv_allocator *allocator;
  char *bytes;
  size_t length;
  size_t capacity;
  int failure;  // the SV_* code of a failed capture, reported over the engine's own mapping
};

int capture_fail(BundleCapture *capture, sv_error *error, const char *message) noexcept {
  capture->failure = SV_ERR_NOMEM;
  return sv_error_set(error, SV_ERR_NOMEM, 0, message, nullptr, nullptr, nullptr);
}

bool capture_reserve(BundleCapture *capture, size_t needed, sv_error *error) noexcept {
  if (needed <= capture->capacity) return true;
  size_t capacity = capture->capacity == 0 ? kBundleCaptureStart : capture->capacity;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) {
      capacity = needed;
      break;
    }
    capacity *= 2;
  }
  void *grown = capture->bytes == nullptr
                    ? sv_alloc_with_allocator(capture->allocator, capacity)
                    : sv_realloc_with_allocator(capture->allocator, capture->bytes, capacity);
  if (grown == nullptr) {
    capture_fail(capture, error, "failed to retain client bundle source");
    return false;
  }
  capture->bytes = static_cast<char *>(grown);
  capture->capacity = capacity;
  return true;
}

size_t capture_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  auto *capture = reinterpret_cast<BundleCapture *>(source);
  if (capture->failure != 0) return 0;
  const size_t count = capture->inner->read(capture->inner, buffer, capacity, error);
  if (count == 0) return 0;
  size_t needed = 0;
  if (__builtin_add_overflow(capture->length, count, &needed)) {
    capture_fail(capture, error, "client bundle source is too large");
    return 0;
  }
  if (!capture_reserve(capture, needed, error)) return 0;
  std::memcpy(capture->bytes + capture->length, buffer, count);
  capture->length = needed;
  return count;
}

int capture_reset(sv_source *, sv_error *error) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, "source is not resettable", nullptr, nullptr,
                      nullptr);
}

// The caller's source stays open: it remains the caller's to close.
void capture_close(sv_source *) noexcept {}

sv_engine_client_config engine_config_of(const sv_client_config *config,
                                         BundleCapture *capture) noexcept {
  sv_engine_client_config engine{};
  engine.endpoints = config->endpoints;
  engine.endpoint_count = config->endpoint_count;
  engine.unix_socket_path = config->unix_socket_path;
  if (config->disable_mtls == 0 && config->client_bundle_source != nullptr) {
    engine.client_bundle_source = &capture->base;
    engine.client_bundle_path = nullptr;
  } else {
    engine.client_bundle_source = nullptr;
    engine.client_bundle_path = config->client_bundle_path;
  }
  engine.default_namespace = config->default_namespace;
  engine.timeout_ms = config->timeout_ms;
  engine.disable_mtls = config->disable_mtls;
  engine.insecure_skip_verify = config->insecure_skip_verify;
  engine.prefer_http_2 = config->prefer_http_2;
  engine.response_limit_bytes = config->response_limit_bytes;
  engine.logger = config->logger;
  engine.disable_logger_sys_field = config->disable_logger_sys_field;
  engine.reuse_connections = config->reuse_connections;
  engine.connect_timeout_ms = config->connect_timeout_ms;
  engine.stream_idle_timeout_ms = config->stream_idle_timeout_ms;
  engine.client_cert_path = config->client_cert_path;
  engine.client_key_path = config->client_key_path;
  engine.ca_path = config->ca_path;
  engine.trust_bundle_ca_only = config->trust_bundle_ca_only;
  engine.allocator.malloc_fn = config->allocator.malloc_fn;
  engine.allocator.realloc_fn = config->allocator.realloc_fn;
  engine.allocator.free_fn = config->allocator.free_fn;
  engine.allocator.context = config->allocator.context;
  return engine;
}

int fail_half_built(sv_client_impl *impl, sv_error *error, const char *message) noexcept {
  sv_client_close_method(&impl->handle);
  return sv_error_set(error, SV_ERR_NOMEM, 0, message, nullptr, nullptr, nullptr);
}

// Copies text into *slot with the client's allocator; a NULL text stays NULL.
bool copy_setting(sv_client_impl *impl, char **slot, const char *text) noexcept {
  if (text == nullptr) return true;
  *slot = sv_strdup_with_allocator(&impl->allocator, text);
  return *slot != nullptr;
}

int copy_configuration(sv_client_impl *impl, const sv_client_config *config,
                       sv_error *error) noexcept {
  size_t array_bytes = 0;
  if (__builtin_mul_overflow(config->endpoint_count, sizeof(char *), &array_bytes)) {
    return fail_half_built(impl, error, "failed to allocate client endpoint copy");
  }
  impl->endpoints = static_cast<char **>(sv_alloc_with_allocator(&impl->allocator, array_bytes));
  if (impl->endpoints == nullptr) {
    return fail_half_built(impl, error, "failed to allocate client endpoint copy");
  }
  std::memset(impl->endpoints, 0, array_bytes);
  impl->endpoint_count = config->endpoint_count;
  for (size_t i = 0; i < config->endpoint_count; ++i) {
    if (!copy_setting(impl, &impl->endpoints[i], config->endpoints[i])) {
      return fail_half_built(impl, error, "failed to copy client endpoint");
    }
  }
  if (!copy_setting(impl, &impl->unix_socket_path, config->unix_socket_path)) {
    return fail_half_built(impl, error, "failed to copy unix_socket_path");
  }
  if (!copy_setting(impl, &impl->client_bundle_path, config->client_bundle_path)) {
    return fail_half_built(impl, error, "failed to copy client bundle path");
  }
  if (!copy_setting(impl, &impl->default_namespace, config->default_namespace)) {
    return fail_half_built(impl, error, "failed to copy default namespace");
  }
  if (!copy_setting(impl, &impl->client_cert_path, config->client_cert_path) ||
      !copy_setting(impl, &impl->client_key_path, config->client_key_path) ||
      !copy_setting(impl, &impl->ca_path, config->ca_path)) {
    return fail_half_built(impl, error, "failed to copy the TLS file paths");
  }
  return SV_OK;
}

}  // namespace

void sv_client_close_method(sv_client *client) noexcept {
  if (client == nullptr) return;
  sv_client_impl *impl = sv_client_impl_of(client);
  const sv_allocator allocator = impl->allocator;
  sv_engine_client_close(impl->engine);
  if (impl->endpoints != nullptr) {
    for (size_t i = 0; i < impl->endpoint_count; ++i)
      sv_free_with_allocator(&allocator, impl->endpoints[i]);
    sv_free_with_allocator(&allocator, impl->endpoints);
  }
  sv_free_with_allocator(&allocator, impl->unix_socket_path);
  sv_free_with_allocator(&allocator, impl->bundle_bytes);
  sv_free_with_allocator(&allocator, impl->client_bundle_path);
  sv_free_with_allocator(&allocator, impl->default_namespace);
  sv_free_with_allocator(&allocator, impl->client_cert_path);
  sv_free_with_allocator(&allocator, impl->client_key_path);
  sv_free_with_allocator(&allocator, impl->ca_path);
  sv_free_with_allocator(&allocator, impl);
}

extern "C" {

SV_API sv_client_config *sv_client_config_init(sv_client_config *config) noexcept {
  if (config == nullptr) return nullptr;
  *config = sv_client_config{};
  config->timeout_ms = 30000;
  config->prefer_http_2 = 1;
  return config;
}

SV_API int sv_client_open(const sv_client_config *config, sv_client **out_client,
                          sv_error *error) noexcept {
  if (config == nullptr || out_client == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "sv_client_open requires config and out", nullptr,
                        nullptr, nullptr);
  }
  if (const int checked =
          sv_check_client_endpoints(config->endpoints, config->endpoint_count, error);
      checked != SV_OK) {
    return checked;
  }
  const sv_allocator *allocator = &config->allocator;
  BundleCapture capture{};
  capture.base.read = capture_read;
  capture.base.reset = capture_reset;
  capture.base.close = capture_close;
  capture.inner = config->client_bundle_source;
  capture.allocator = allocator;
  const sv_engine_client_config engine_config = engine_config_of(config, &capture);

  auto *impl =
      static_cast<sv_client_impl *>(sv_alloc_with_allocator(allocator, sizeof(sv_client_impl)));
  if (impl == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate client", nullptr, nullptr,
                        nullptr);
  }
  std::memset(static_cast<void *>(impl), 0, sizeof(*impl));
  impl->allocator = *allocator;

  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  const int status = sv_engine_client_open(&engine_config, &impl->engine, &engine_error);
  if (status != SV_OK) {
    // A capture that could not keep the bundle explains the engine's read failure better.
    int code = sv_error_from_engine(error, &engine_error);
    if (capture.failure != 0) {
      code =
          sv_error_set(error, capture.failure, 0, engine_error.message, nullptr, nullptr, nullptr);
    } else if (code == SV_OK) {
      code =
          sv_error_set(error, status, 0, "failed to open engine client", nullptr, nullptr, nullptr);
    }
    sv_engine_error_cleanup(&engine_error);
    sv_free_with_allocator(allocator, capture.bytes);
    sv_free_with_allocator(allocator, impl);
    return code;
  }
  sv_engine_error_cleanup(&engine_error);
  impl->bundle_bytes = capture.bytes;
  impl->bundle_length = capture.length;

  const int copied = copy_configuration(impl, config, error);
  if (copied != SV_OK) return copied;
  impl->timeout_ms = config->timeout_ms;
  impl->disable_mtls = config->disable_mtls;
  impl->insecure_skip_verify = config->insecure_skip_verify;
  impl->prefer_http_2 = config->prefer_http_2;
  impl->response_limit_bytes = config->response_limit_bytes;
  impl->disable_logger_sys_field = config->disable_logger_sys_field;
  impl->connect_timeout_ms = config->connect_timeout_ms;
  impl->stream_idle_timeout_ms = config->stream_idle_timeout_ms;
  impl->trust_bundle_ca_only = config->trust_bundle_ca_only;
  impl->base_logger = impl->engine->base_logger;
  impl->logger = sv_engine_client_logger(impl->engine);

  sv_client_fill_methods(&impl->handle);
  impl->handle.default_namespace = impl->default_namespace;
  impl->handle.reserved = nullptr;
  *out_client = &impl->handle;
  return SV_OK;
}

}  // extern "C"
