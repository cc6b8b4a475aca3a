#include "dev_server.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace stavo::test {

namespace {
std::string temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/stavo-fixture-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return buffer.data();
}
}  // namespace

std::string devserver_program() {
  return STAVO_DEVSERVER_BINARY;
}

DevServer::DevServer(DevServerOptions options) : tls_(options.tls) {
  work_dir_ = temp_dir();
  devserver::ServerOptions server_options;
  server_options.passive = options.passive;
  server_options.clock_running = options.clock_running;
  server_options.clock_start_unix_ms = options.clock_start_unix_ms;
  server_options.threads = options.threads;
  server_options.json_body_limit = options.json_body_limit;
  server_options.state_limit = options.state_limit;
  server_options.attachment_limit = options.attachment_limit;
  server_options.log_body_limit = options.log_body_limit;
  server_options.dev_controls = true;
  server_options.data_dir = work_dir_ + "/data";
  std::filesystem::create_directory(server_options.data_dir);
  try {
    server_ = std::make_unique<devserver::Server>(server_options);
    server_->start();
    if (options.tls || options.unix_socket) {
      devserver::NghttpxOptions proxy_options;
      proxy_options.backend_port = server_->port();
      proxy_options.tls = options.tls;
      proxy_options.verify_client = options.tls_client_certs;
      if (options.tls) certs_ = devserver::ensure_dev_certs(work_dir_ + "/certs");
      proxy_options.cert_dir = certs_.dir;
      if (options.unix_socket) proxy_options.unix_socket = work_dir_ + "/devserver.sock";
      proxy_options.work_dir = work_dir_;
      proxy_ = std::make_unique<devserver::Nghttpx>(proxy_options);
      proxy_->start();
    }
  } catch (...) {
    proxy_.reset();
    server_.reset();
    std::filesystem::remove_all(work_dir_);
    throw;
  }
}

DevServer::~DevServer() {
  proxy_.reset();
  server_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(work_dir_, ignored);
}

std::string DevServer::http_url() const {
  return server_->base_url();
}
int DevServer::http_port() const {
  return server_->port();
}
std::string DevServer::https_url() const {
  return tls_ ? "https://localhost:" + std::to_string(proxy_->tls_port()) : std::string();
}
int DevServer::https_port() const {
  return tls_ ? proxy_->tls_port() : 0;
}
std::string DevServer::unix_socket_path() const {
  return proxy_ ? proxy_->unix_socket() : std::string();
}

std::vector<LoggedRequest> DevServer::requests() const {
  return server_->requests().snapshot();
}

std::vector<LoggedRequest> DevServer::requests_to(const std::string &method,
                                                  const std::string &path) const {
  std::vector<LoggedRequest> out;
  for (auto &entry : requests()) {
    if (entry.method == method && entry.path == path) out.push_back(std::move(entry));
  }
  return out;
}

std::optional<LoggedRequest> DevServer::last_request() const {
  auto all = requests();
  if (all.empty()) return std::nullopt;
  return all.back();
}

bool DevServer::wait_for_requests(size_t count, std::chrono::milliseconds timeout) const {
  return server_->requests().wait_for_complete(count, timeout);
}

void DevServer::clear_requests() {
  server_->requests().clear();
}
uint64_t DevServer::add_fault(Fault fault) {
  return server_->faults().add(std::move(fault));
}
void DevServer::clear_faults() {
  server_->faults().clear();
}
size_t DevServer::pending_faults() const {
  return server_->faults().pending();
}
void DevServer::release_held() {
  server_->faults().release_holds();
}
bool DevServer::wait_for_held(size_t count, std::chrono::milliseconds timeout) const {
  return server_->faults().wait_for_held(count, timeout);
}
void DevServer::advance_clock(std::chrono::milliseconds amount) {
  server_->clock().advance(amount);
}
int64_t DevServer::now_unix() const {
  return server_->clock().now_unix();
}
int64_t DevServer::now_ms() const {
  return server_->clock().now_ms();
}

KeyState DevServer::state(const std::string &key, const std::string &ns) const {
  return server_->inspect(ns, key);
}

void DevServer::seed_state(const std::string &key, const std::string &bytes,
                           const std::string &content_type, const std::string &ns) {
  server_->seed_state(ns, key, bytes, content_type);
}

void DevServer::set_passive(bool passive) {
  server_->set_passive(passive);
}

bool DevServer::wait_for_waiting(size_t count, std::chrono::milliseconds timeout) const {
  return server_->wait_for_waiting(count, timeout);
}

std::vector<AccessLogEntry> DevServer::access_log() const {
  return proxy_ ? proxy_->access_log() : std::vector<AccessLogEntry>{};
}

bool DevServer::wait_for_access_log(size_t count, std::chrono::milliseconds timeout) const {
  return proxy_ && proxy_->wait_for_access_log(count, timeout);
}

}  // namespace stavo::test
