// Internals shared by the engine's source files: libcurl-typed entry points of the TLS
// callbacks and small helpers that are not part of the engine's interface.
#ifndef STAVOC_ENGINE_ENGINE_INTERNAL_H
#define STAVOC_ENGINE_ENGINE_INTERNAL_H

#include <curl/curl.h>

#include "stavoc_engine.h"

// The TLS-context callbacks with libcurl's exact CURLOPT_SSL_CTX_FUNCTION type, so no function
// is ever called through a pointer of another type.
CURLcode sv_engine_curl_ssl_ctx_json(CURL *curl, void *ssl_ctx, void *client) noexcept;
CURLcode sv_engine_curl_ssl_ctx_stream(CURL *curl, void *ssl_ctx, void *client) noexcept;
using sv_engine_ssl_ctx_fn = CURLcode (*)(CURL *curl, void *ssl_ctx, void *client) noexcept;

// Sets what every transfer shares: no signals, the connect timeout, TCP keepalive, the Unix
// socket, the HTTP version, server verification and the TLS
// identity (install_identity is the transfer's TLS-context callback).
void sv_engine_set_connection_options(CURL *curl, const sv_engine_client *client,
                                      sv_engine_ssl_ctx_fn install_identity) noexcept;
// connect_timeout_ms, 10000 when below 1, never above the whole-request timeout.
int64_t sv_engine_connect_timeout_ms(const sv_engine_client *client) noexcept;

// Frees the strings of a public error record and zeroes it (the engine reads sources, which
// report through the public record).
void sv_engine_public_error_clear(sv_error *error) noexcept;

// Stores a copy of text in *slot, replacing (and freeing) what was there; text may be NULL.
// Returns false when the copy fails (the slot is then NULL).
bool sv_engine_replace_string(char **slot, const char *text) noexcept;

// Copies the error body members into the result's server error members.
int sv_engine_copy_error_body(sv_engine_http_result *result,
                              const sv_engine_http_error_body *body) noexcept;

// The map of the server's JSON error body.
extern const brindle_map sv_engine_http_error_map;

// The connection pool of reuse_connections: open creates it on the client (SV_ERR_NOMEM when
// it cannot), close releases it (no transfer may still be running); both leave clients without
// the flag alone. Every transfer of the engine takes its easy handle from
// sv_engine_transfer_handle (transfer_core.h), which takes it from the pool when there is one.
int sv_engine_connection_share_open(sv_engine_client *client, sv_engine_error *error) noexcept;
void sv_engine_connection_share_close(sv_engine_client *client) noexcept;

// The shared trust store of a verifying mutual-TLS client (engine_tls.cpp's callbacks install
// it): open creates its holder (SV_ERR_NOMEM when it cannot), close frees it; prepare tells a
// new easy handle to load no CA file of its own; install gives the context the store, building
// it on first use (CURLE_OUT_OF_MEMORY when that fails). Clients without it are left alone.
struct ssl_ctx_st;
int sv_engine_trust_store_open(sv_engine_client *client, sv_engine_error *error) noexcept;
void sv_engine_trust_store_close(sv_engine_client *client) noexcept;
void sv_engine_trust_store_prepare(CURL *curl, const sv_engine_client *client) noexcept;
CURLcode sv_engine_trust_store_install(ssl_ctx_st *context,
                                       const sv_engine_client *client) noexcept;

// The excerpt of an error body: append keeps the first bytes; to_detail stores the text, marked
// when cut, as result->detail unless the parsed error body gave one. SV_ERR_NOMEM when the copy
// fails.
void sv_engine_error_excerpt_append(sv_engine_error_excerpt *excerpt, const char *bytes,
                                    size_t length) noexcept;
int sv_engine_error_excerpt_to_detail(const sv_engine_error_excerpt *excerpt,
                                      sv_engine_http_result *result) noexcept;

// Keeps the bytes of an error answer in body, which holds at most SV_ENGINE_ERROR_BODY_LIMIT
// bytes with its terminator. kCapped: the body went past that, so the answer is the server error
// of status and correlation_id with the first bytes as its detail (set in error) and the
// transfer should stop reading; kNoMemory: the copy failed (nothing set).
enum class ErrorBodyAppend { kKept, kCapped, kNoMemory };
ErrorBodyAppend sv_engine_error_body_append(sv_engine_buffer *body, const char *bytes,
                                            size_t length, long status, const char *correlation_id,
                                            sv_engine_error *error) noexcept;

// A server error from an answer whose body is not the server's JSON error: answer's status and
// correlation id, the body's first bytes as the detail (marked when truncated).
int sv_engine_set_server_error_from_text(sv_engine_error *error,
                                         const sv_engine_http_result *answer, const char *body,
                                         size_t length, bool truncated) noexcept;

// Default limits of typed responses.
constexpr uint64_t SV_ENGINE_DEFAULT_RESPONSE_LIMIT = 1048576;
constexpr uint64_t SV_ENGINE_ERROR_BODY_LIMIT = 8192;
constexpr int64_t SV_ENGINE_DEFAULT_TIMEOUT_MS = 30000;

#endif
