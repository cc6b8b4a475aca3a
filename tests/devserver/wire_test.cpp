// The request log at the byte level: raw sockets, kept-alive connections, chunked bodies with
// chunk extensions, and large uploads whose logged body stays bounded. (Chunked trailers are
// refused by the HTTP library with 400; no client of ours sends them.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "helpers.h"

namespace stavo::test {
namespace {

// Number of complete answers (each with a Content-Length) at the start of `text`.
size_t complete_answers(const std::string &text) {
  size_t count = 0, pos = 0;
  while (true) {
    size_t end = text.find("\r\n\r\n", pos);
    if (end == std::string::npos) return count;
    size_t length_at = text.find("Content-Length: ", pos);
    if (length_at == std::string::npos || length_at > end) return count;
    size_t length = std::stoul(text.substr(length_at + 16));
    if (text.size() < end + 4 + length) return count;
    ++count;
    pos = end + 4 + length;
  }
}

class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawConnection() { close(fd_); }

  // Sends `bytes` in one write and reads until one more complete answer has arrived.
  std::string exchange(const std::string &bytes) {
    EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    char buffer[4096];
    ssize_t n = 0;
    size_t wanted = complete_answers(received_) + 1;
    while (complete_answers(received_) < wanted && (n = recv(fd_, buffer, sizeof buffer, 0)) > 0) {
      received_.append(buffer, static_cast<size_t>(n));
    }
    return received_;
  }

 private:
  int fd_;
  std::string received_;
};

TEST(DevServerWire, RequestsAfterAChunkedBodyOnOneConnectionAreLoggedOneByOne) {
  DevServer dev;
  std::string first =
      "POST /v1/acquire HTTP/1.1\r\nHost: test\r\nTransfer-Encoding: chunked\r\n"
      "X-Order: 1\r\n\r\n"
      "a;ext=1\r\n{\"key\":\"k\"\r\n"
      "1b\r\n,\"ttl_seconds\":5,\"owner\":\"o\r\n"
      "2\r\n\"}\r\n"
      "0\r\n\r\n";
  std::string second =
      "GET /v1/describe?key=k HTTP/1.1\r\nHost: test\r\nX-Order: 2\r\n"
      "Connection: close\r\n\r\n";
  // One request after the other on a kept-alive connection (the HTTP library does not serve
  // pipelined requests; libcurl and nghttpx do not send them).
  RawConnection connection(dev.http_port());
  std::string answer = connection.exchange(first);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  answer = connection.exchange(second);
  EXPECT_NE(answer.find("HTTP/1.1 200", 1), std::string::npos) << answer;

  ASSERT_TRUE(dev.wait_for_requests(2));
  auto log = dev.requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].header("X-Order"), "1");
  EXPECT_EQ(log[0].body, R"({"key":"k","ttl_seconds":5,"owner":"o"})");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[1].target, "/v1/describe?key=k");
  EXPECT_EQ(log[1].header("X-Order"), "2");
  EXPECT_EQ(log[1].header_names(), (std::vector<std::string>{"Host", "X-Order", "Connection"}));
  EXPECT_TRUE(dev.state("k").lease.has_value());
}

TEST(DevServerWire, GarbageGetsAnErrorAndLeavesTheServerUsable) {
  DevServer dev;
  std::string answer = RawConnection(dev.http_port()).exchange("THIS IS NOT HTTP\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"error\""), std::string::npos);
  EXPECT_EQ(http_get(dev.http_url() + "/v1/describe?key=k").status, 404);
}

TEST(DevServerWire, LargeUploadsKeepOnlyAPrefixInTheLog) {
  DevServer dev(DevServerOptions{.log_body_limit = 1024});
  TestLease lease = must_acquire(dev, "k");
  HttpRequest request;
  request.method = "POST";
  request.url = dev.http_url() + "/v1/attachments?key=k&name=big";
  request.body = std::string(3 << 20, 'z');
  request.chunked = true;
  request.headers = lease.headers();
  HttpResponse response = http_request(request);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(body_of(response)["attachment"]["size"], 3 << 20);
  auto logged = dev.requests_to("POST", "/v1/attachments").back();
  EXPECT_EQ(logged.body_size, 3u << 20);
  EXPECT_EQ(logged.body.size(), 1024u);
  EXPECT_TRUE(logged.body_truncated);
}

TEST(DevServerWire, PostWithoutALengthHasAnEmptyBodyAndIsAnsweredAtOnce) {
  DevServer dev;
  RawConnection connection(dev.http_port());
  // Neither Content-Length nor Transfer-Encoding: the body is empty. Waiting for one would outlast
  // the connection's 10 s receive timeout and leave no answer here.
  std::string first = connection.exchange("POST /v1/acquire HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(complete_answers(first), 1u) << first;
  EXPECT_EQ(first.rfind("HTTP/1.1 400", 0), 0u) << first;
  EXPECT_NE(first.find("invalid_json"), std::string::npos) << first;
  // The connection stays usable, and a bodiless write is refused for its lease, not its body.
  std::string second = connection.exchange(
      "POST /v1/remove?key=k HTTP/1.1\r\nHost: x\r\nX-Fencing-Token: 1\r\n\r\n");
  ASSERT_EQ(complete_answers(second), 2u) << second;
  EXPECT_NE(second.find("lease_required"), std::string::npos) << second;
}

}  // namespace
}  // namespace stavo::test
