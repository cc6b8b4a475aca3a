// A TCP socket listening on a free loopback port that no one accepts from by itself: the kernel
// completes the handshake of connections to it and nothing is read or written unless the test
// accepts them (fd()). The tests' silent servers and scripted peers start from it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace stavo::test {

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~LoopbackListener() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackListener(const LoopbackListener &) = delete;
  LoopbackListener &operator=(const LoopbackListener &) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }  // 0 when the socket could not listen
  std::string url(const char *scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace stavo::test
