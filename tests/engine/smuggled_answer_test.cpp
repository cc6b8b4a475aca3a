// A pooled HTTP/1.1 connection on which the server wrote bytes after its answer: those bytes
// are no answer to the next request. A scripted server answers each connection's first request,
// then writes a second, unasked-for answer on the idle connection; the next call must be
// answered on a fresh connection, never with the smuggled bytes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exchange_fixture.h"
#include "stream_fixture.h"
#include "support/loopback_listener.h"

namespace {

using engine_test::Call;
using engine_test::Client;

class SmugglingServer {
 public:
  SmugglingServer() {
    if (listener_.port() == 0) ADD_FAILURE() << "cannot listen";
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~SmugglingServer() {
    stop_ = true;
    acceptor_.join();
    for (auto &thread : connections_)
      thread.join();
  }
  std::string url() const { return listener_.url(); }
  int connections() const { return accepted_; }

 private:
  static std::string answer(const std::string &lease_id) {
    const std::string body = R"({"key":"k","lease_id":")" + lease_id +
                             R"(","txn_id":"t","fencing_token":1,"version":1})";
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  bool wait_readable(int fd) {
    while (!stop_) {
      pollfd probe{fd, POLLIN, 0};
      if (poll(&probe, 1, 50) > 0) return true;
    }
    return false;
  }
  // Reads one request (headers, then a Content-Length body); false when the client left.
  bool read_request(int fd) {
    std::string data;
    char buffer[4096];
    size_t need = std::string::npos;
    while (need == std::string::npos || data.size() < need) {
      if (!wait_readable(fd)) return false;
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      data.append(buffer, static_cast<size_t>(got));
      const size_t end = data.find("\r\n\r\n");
      if (need == std::string::npos && end != std::string::npos) {
        size_t body = 0;
        const size_t at = data.find("Content-Length: ");
        if (at != std::string::npos && at < end) body = std::stoul(data.substr(at + 16));
        need = end + 4 + body;
      }
    }
    return true;
  }
  void serve(int fd, int number) {
    if (read_request(fd)) {
      const std::string real = answer("conn-" + std::to_string(number));
      send(fd, real.data(), real.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::string smuggled = answer("smuggled");
      send(fd, smuggled.data(), smuggled.size(), MSG_NOSIGNAL);
      // Stays open and answers nothing more, as a connection worth reusing would.
      while (read_request(fd)) {
      }
    }
    close(fd);
  }
  void accept_loop() {
    while (wait_readable(listener_.fd())) {
      const int fd = accept(listener_.fd(), nullptr, nullptr);
      if (fd < 0) continue;
      const int number = ++accepted_;
      connections_.emplace_back([this, fd, number] { serve(fd, number); });
    }
  }

  stavo::test::LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

TEST(SmuggledAnswer, UnaskedBytesOnAPooledConnectionAreNeverTheNextAnswer) {
  SmugglingServer server;
  Client client;
  client.config.disable_mtls = 1;
  client.config.reuse_connections = 1;
  client.config.prefer_http_2 = 0;
  client.config.timeout_ms = 5000;
  ASSERT_EQ(client.open({server.url()}), SV_OK) << client.open_message;
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Call call;
    engine_test::post_json(call, client.client, "/v1/acquire", engine_test::acquire_json("k"));
    ASSERT_EQ(call.status, SV_OK) << call.message();
    EXPECT_EQ(engine_test::text(call.reply.lease_id), "conn-" + std::to_string(round));
    // The smuggled answer lands on the idle pooled connection meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_EQ(server.connections(), 3);
}

}  // namespace
