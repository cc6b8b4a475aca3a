#include "devserver/server.h"

#include "server_impl.h"

namespace stavo::devserver {

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() {
  stop();
}

void Server::start() {
  impl_->start();
}
void Server::stop() {
  impl_->stop();
}
int Server::port() const {
  return impl_->front.port();
}
const std::string &Server::host() const {
  return impl_->options.host;
}
std::string Server::base_url() const {
  return "http://" + impl_->options.host + ":" + std::to_string(port());
}
VirtualClock &Server::clock() {
  return impl_->clock;
}
RequestLog &Server::requests() {
  return impl_->log;
}
FaultTable &Server::faults() {
  return impl_->faults;
}
HostileTable &Server::hostile() {
  return impl_->hostile;
}
void Server::set_passive(bool passive) {
  impl_->passive = passive;
}
bool Server::passive() const {
  return impl_->passive;
}

KeyState Server::inspect(const std::string &ns, const std::string &key) const {
  return impl_->store ? impl_->store->inspect(ns, key) : KeyState{};
}

void Server::seed_state(const std::string &ns, const std::string &key, const std::string &bytes,
                        const std::string &content_type) {
  if (impl_->store) impl_->store->seed(ns, key, bytes, content_type);
}

size_t Server::waiting_requests() const {
  return impl_->store ? impl_->store->waiting() : 0;
}

bool Server::wait_for_waiting(size_t count, std::chrono::milliseconds timeout) const {
  return impl_->store && impl_->store->wait_for_waiting(count, timeout);
}

}  // namespace stavo::devserver
