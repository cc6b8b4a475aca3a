#include "recording_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace stavo::devserver {

namespace {

constexpr size_t kMaxHead = 64 * 1024;

bool write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string trim_ows(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

bool contains_chunked(std::string value) {
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return value.find("chunked") != std::string::npos;
}

// Follows HTTP/1.1 request framing on the client-to-server byte stream: request heads are
// parsed (and rewritten with the id header), bodies pass through untouched.
class RequestStream {
 public:
  using HeadSink = std::function<uint64_t(RawHead)>;
  explicit RequestStream(HeadSink sink) : sink_(std::move(sink)) {}

  void feed(const char *data, size_t size, std::string &out) {
    size_t pos = 0;
    while (pos < size) {
      switch (state_) {
        case State::passthrough:
          out.append(data + pos, size - pos);
          return;
        case State::head: {
          buffer_.push_back(data[pos++]);
          if (buffer_ == "\r\n" || buffer_ == "\n") {  // stray line ends between requests
            out += buffer_;
            buffer_.clear();
          } else if (buffer_.size() >= 4 &&
                     buffer_.compare(buffer_.size() - 4, 4, "\r\n\r\n") == 0) {
            finish_head(out);
          } else if (buffer_.size() > kMaxHead) {
            out += buffer_;
            buffer_.clear();
            state_ = State::passthrough;
          }
          break;
        }
        case State::body: {
          size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, size - pos));
          out.append(data + pos, take);
          pos += take;
          remaining_ -= take;
          if (remaining_ == 0) state_ = State::head;
          break;
        }
        case State::chunk_size:
        case State::chunk_data_end:
        case State::trailer: {
          char c = data[pos++];
          out.push_back(c);
          buffer_.push_back(c);
          if (c != '\n') {
            if (buffer_.size() > 4096) state_ = State::passthrough;
            break;
          }
          std::string line = trim_ows(buffer_.substr(0, buffer_.size() - 1));
          buffer_.clear();
          if (state_ == State::chunk_data_end) {
            state_ = State::chunk_size;
          } else if (state_ == State::trailer) {
            if (line.empty()) state_ = State::head;
          } else {
            std::string hex = line.substr(0, line.find(';'));
            char *end = nullptr;
            errno = 0;
            unsigned long long chunk = std::strtoull(hex.c_str(), &end, 16);
            if (hex.empty() || *end != '\0' || errno != 0) {
              state_ = State::passthrough;
            } else if (chunk == 0) {
              state_ = State::trailer;
            } else {
              remaining_ = chunk;
              state_ = State::chunk_data;
            }
          }
          break;
        }
        case State::chunk_data: {
          size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, size - pos));
          out.append(data + pos, take);
          pos += take;
          remaining_ -= take;
          if (remaining_ == 0) state_ = State::chunk_data_end;
          break;
        }
      }
    }
  }

 private:
  enum class State { head, body, chunk_size, chunk_data, chunk_data_end, trailer, passthrough };

  void finish_head(std::string &out) {
    std::string head;
    head.swap(buffer_);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < head.size()) {
      size_t end = head.find("\r\n", start);
      if (end == std::string::npos || end == start) break;
      lines.push_back(head.substr(start, end - start));
      start = end + 2;
    }
    RawHead raw;
    if (lines.empty()) {
      out += head;
      state_ = State::passthrough;
      return;
    }
    const std::string &request_line = lines[0];
    size_t sp1 = request_line.find(' ');
    size_t sp2 = request_line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) {
      out += head;
      state_ = State::passthrough;
      return;
    }
    raw.method = request_line.substr(0, sp1);
    raw.target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    raw.version = request_line.substr(sp2 + 1);
    std::string forwarded_headers;
    bool chunked = false;
    std::optional<uint64_t> length;
    for (size_t i = 1; i < lines.size(); ++i) {
      size_t colon = lines[i].find(':');
      if (colon == std::string::npos) continue;
      std::string name = lines[i].substr(0, colon);
      std::string value = trim_ows(lines[i].substr(colon + 1));
      if (header_name_equals(name, RecordingFront::kIdHeader)) continue;
      if (header_name_equals(name, "Transfer-Encoding") && contains_chunked(value)) chunked = true;
      if (header_name_equals(name, "Content-Length")) {
        char *end = nullptr;
        unsigned long long parsed = std::strtoull(value.c_str(), &end, 10);
        if (!value.empty() && *end == '\0') length = parsed;
      }
      forwarded_headers += lines[i] + "\r\n";
      raw.headers.emplace_back(std::move(name), std::move(value));
    }
    uint64_t id = sink_(std::move(raw));
    out += request_line + "\r\n" + RecordingFront::kIdHeader + ": " + std::to_string(id) + "\r\n" +
           forwarded_headers + "\r\n";
    if (chunked) {
      state_ = State::chunk_size;
    } else if (length && *length > 0) {
      remaining_ = *length;
      state_ = State::body;
    } else {
      state_ = State::head;
    }
  }

  HeadSink sink_;
  State state_ = State::head;
  std::string buffer_;
  uint64_t remaining_ = 0;
};

}  // namespace

struct RecordingFront::Connection {
  int client_fd = -1;
  int backend_fd = -1;
  uint64_t number = 0;  // 1 for the first connection accepted
  std::thread upstream;
  std::thread downstream;
  std::atomic<int> finished{0};
  std::atomic<bool> client_eof{false};

  void shut() {
    ::shutdown(client_fd, SHUT_RDWR);
    if (backend_fd >= 0) ::shutdown(backend_fd, SHUT_RDWR);
  }
  ~Connection() {
    if (upstream.joinable()) upstream.join();
    if (downstream.joinable()) downstream.join();
    ::close(client_fd);
    if (backend_fd >= 0) ::close(backend_fd);
  }
};

RecordingFront::~RecordingFront() {
  stop();
}

void RecordingFront::bind(const std::string &host, int port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &address.sin_addr) !=
      1) {
    throw std::runtime_error("listen address must be an IPv4 address: " + host);
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 128) != 0) {
    std::string reason = std::strerror(errno);
    ::close(listen_fd_);
    listen_fd_ = -1;
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                             reason);
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length);
  port_ = ntohs(address.sin_port);
}

void RecordingFront::start(int backend_port) {
  backend_port_ = backend_port;
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  acceptor_ = std::thread([this] { accept_loop(); });
}

void RecordingFront::stop() {
  if (stopping_.exchange(true)) return;
  if (wake_pipe_[1] >= 0) {
    char byte = 0;
    (void)!::write(wake_pipe_[1], &byte, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &connection : connections_)
      connection->shut();
  }
  reap(true);
  for (int &fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

uint64_t RecordingFront::store_head(RawHead head, const std::shared_ptr<Connection> &owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t id = next_id_++;
  head.connection = owner ? owner->number : 0;
  heads_[id] = std::move(head);
  owners_[id] = owner;
  // Heads that nobody took (requests the HTTP library refused) must not pile up.
  while (heads_.size() > 4096) {
    owners_.erase(heads_.begin()->first);
    heads_.erase(heads_.begin());
  }
  return id;
}

std::optional<RawHead> RecordingFront::take(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = heads_.find(id);
  if (it == heads_.end()) return std::nullopt;
  RawHead head = std::move(it->second);
  heads_.erase(it);
  return head;
}

void RecordingFront::drop_connection(uint64_t id) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = owners_.find(id);
    if (it != owners_.end()) connection = it->second.lock();
  }
  if (connection) ::shutdown(connection->client_fd, SHUT_RDWR);
}

bool RecordingFront::client_closed(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = owners_.find(id);
  if (it == owners_.end()) return true;
  auto connection = it->second.lock();
  return !connection || connection->client_eof.load();
}

void RecordingFront::reap(bool all) {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::partition(connections_.begin(), connections_.end(),
                             [all](const auto &c) { return !all && c->finished.load() < 2; });
    finished.assign(it, connections_.end());
    connections_.erase(it, connections_.end());
    for (auto owner = owners_.begin(); owner != owners_.end();) {
      owner = owner->second.expired() ? owners_.erase(owner) : std::next(owner);
    }
  }
  finished.clear();  // joins and closes outside the lock
}

void RecordingFront::accept_loop() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, 1000);
    reap(false);
    if (ready <= 0 || (fds[1].revents & POLLIN)) continue;
    int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto connection = std::make_shared<Connection>();
    connection->client_fd = client;
    connection->backend_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in backend{};
    backend.sin_family = AF_INET;
    backend.sin_port = htons(static_cast<uint16_t>(backend_port_));
    backend.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection->backend_fd < 0 ||
        ::connect(connection->backend_fd, reinterpret_cast<sockaddr *>(&backend), sizeof backend) !=
            0) {
      continue;  // the connection object closes the client
    }
    ::setsockopt(connection->backend_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::weak_ptr<Connection> weak = connection;
    Connection *raw = connection.get();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->number = next_connection_++;
      connections_.push_back(connection);
    }
    raw->upstream = std::thread([this, raw, weak] {
      Answer answer;  // set when the owner claims a request: it never reaches the backend
      RequestStream stream([this, weak, &answer](RawHead head) {
        if (interceptor_ && !answer) answer = interceptor_(head);
        return store_head(std::move(head), weak.lock());
      });
      char buffer[65536];
      std::string out;
      while (true) {
        ssize_t n = ::recv(raw->client_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.clear();
        stream.feed(buffer, static_cast<size_t>(n), out);
        if (answer) {
          answer(
              raw->client_fd,
              [](void *self) { return !static_cast<RecordingFront *>(self)->stopping_; }, this);
          ::shutdown(raw->client_fd, SHUT_RDWR);
          break;
        }
        if (!write_all(raw->backend_fd, out.data(), out.size())) break;
      }
      raw->client_eof = true;
      ::shutdown(raw->backend_fd, SHUT_WR);
      raw->finished.fetch_add(1);
    });
    raw->downstream = std::thread([raw] {
      char buffer[65536];
      while (true) {
        ssize_t n = ::recv(raw->backend_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!write_all(raw->client_fd, buffer, static_cast<size_t>(n))) break;
      }
      // The server closed (or cut) its side: the client connection ends with it.
      ::shutdown(raw->client_fd, SHUT_RDWR);
      ::shutdown(raw->backend_fd, SHUT_RDWR);
      raw->finished.fetch_add(1);
    });
  }
}

}  // namespace stavo::devserver
