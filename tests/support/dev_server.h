// stavo::test::DevServer: the dev server inside a test process, on an ephemeral port, with
// nghttpx in front when a test asks for TLS (h2 and http/1.1 by ALPN, client certificate
// required) or a Unix socket, plus the controls tests need:
//
//   request log    requests(), last_request(), wait_for_requests(n): method, raw target
//                  (path and query as sent), headers in wire order, body bytes (de-chunked)
//   faults         add_fault(Fault::...): for the next N requests matching method and path,
//                  a canned status/headers/body, extra or malformed headers on the real answer,
//                  a delay or hold, the body in pieces with pauses, a cut-off body, no answer
//   virtual clock  frozen by default; advance_clock() moves it and wakes long polls
//   state          state(key) returns committed state, version, ETag, lease, staged writes
//
// Example:
//
//   stavo::test::DevServer dev({.tls = true});
//   // point the client at dev.https_url() with dev.client_bundle_path() ...
//   dev.add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive").repeat(1));
//   ... run the call ...
//   ASSERT_TRUE(dev.wait_for_requests(2));
//   auto acquire = dev.requests_to("POST", "/v1/acquire").back();
//   EXPECT_EQ(acquire.header_names()[0], "Host");
//   dev.advance_clock(std::chrono::seconds(31));       // the lease has now expired
//   EXPECT_FALSE(dev.state("k").lease.has_value());
//   EXPECT_TRUE(dev.wait_for_access_log(2));
//   EXPECT_EQ(dev.access_log().back().alpn, "h2");
//
// Construct and destroy it on the test's own thread: nghttpx is told to exit when the thread
// that started it ends. Construction throws std::runtime_error when something cannot start.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devserver/dev_certs.h"
#include "devserver/faults.h"
#include "devserver/key_state.h"
#include "devserver/nghttpx.h"
#include "devserver/request_log.h"
#include "devserver/server.h"

namespace stavo::test {

using devserver::AccessLogEntry;
using devserver::Fault;
using devserver::HeaderList;
using devserver::KeyState;
using devserver::LoggedRequest;

struct DevServerOptions {
  bool tls = false;              // HTTPS frontend through nghttpx
  bool tls_client_certs = true;  // with tls: the front requires a client certificate
  bool unix_socket = false;      // plaintext frontend on a Unix socket through nghttpx
  bool passive = false;          // every /v1/ request answers 503 "node_passive"
  bool clock_running = false;    // false: time moves only through advance_clock()
  // Virtual start time (2026-01-01T00:00:00Z unless changed), so expiry times are predictable.
  int64_t clock_start_unix_ms = 1767225600000;
  size_t threads = 32;
  size_t json_body_limit = 1 << 20;
  size_t state_limit = 64u << 20;
  uint64_t attachment_limit = 16ull << 30;
  size_t log_body_limit = 1 << 20;
};

class DevServer {
 public:
  explicit DevServer(DevServerOptions options = {});
  ~DevServer();
  DevServer(const DevServer &) = delete;
  DevServer &operator=(const DevServer &) = delete;

  // Endpoints.
  std::string http_url() const;  // "http://127.0.0.1:PORT" (plain, straight to the server)
  int http_port() const;
  std::string https_url() const;  // "https://localhost:PORT" (empty without tls)
  int https_port() const;
  std::string unix_socket_path() const;                        // empty without unix_socket
  std::string unix_url() const { return "http://localhost"; }  // pair with the socket path

  // Certificates (with tls): the bundle is client certificate, key and CA in one PEM file.
  const devserver::DevCerts &certs() const { return certs_; }
  std::string client_bundle_path() const { return certs_.client_bundle(); }
  std::string ca_path() const { return certs_.ca(); }

  // Request log.
  std::vector<LoggedRequest> requests() const;
  std::vector<LoggedRequest> requests_to(const std::string &method, const std::string &path) const;
  std::optional<LoggedRequest> last_request() const;
  // Waits until at least `count` requests have been answered.
  bool wait_for_requests(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  void clear_requests();

  // Faults.
  uint64_t add_fault(Fault fault);
  void clear_faults();
  size_t pending_faults() const;
  void release_held();  // lets every held answer go out
  bool wait_for_held(size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Virtual clock.
  void advance_clock(std::chrono::milliseconds amount);
  int64_t now_unix() const;
  int64_t now_ms() const;

  // State.
  KeyState state(const std::string &key, const std::string &ns = "default") const;
  void seed_state(const std::string &key, const std::string &bytes,
                  const std::string &content_type = "application/json",
                  const std::string &ns = "default");
  void set_passive(bool passive);

  // Long polls (acquire with block_seconds) currently waiting in the server.
  bool wait_for_waiting(size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // nghttpx access log (with tls or unix_socket): negotiated ALPN per request.
  std::vector<AccessLogEntry> access_log() const;
  bool wait_for_access_log(size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  devserver::Server &server() { return *server_; }

 private:
  std::string work_dir_;
  devserver::DevCerts certs_;
  std::unique_ptr<devserver::Server> server_;
  std::unique_ptr<devserver::Nghttpx> proxy_;
  bool tls_ = false;
};

// The stavo-devserver program of this build.
std::string devserver_program();

}  // namespace stavo::test
