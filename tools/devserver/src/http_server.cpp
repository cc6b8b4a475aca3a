// The one file that speaks the HTTP library: it turns each request into a Call, routes it,
// applies scripted faults and writes the Reply back, streaming where needed.
#include <httplib.h>

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "queue_store.h"
#include "server_impl.h"
#include "stream_writer.h"
#include "util.h"

namespace stavo::devserver {

struct HttpBinding {
  httplib::Server server;
  std::thread thread;
};

namespace {

constexpr size_t kPieceBuffer = 64 * 1024;

// Reads the body bytes of a reply from its string or its stream.
struct ReplyBytes {
  std::string body;
  std::shared_ptr<BodyStream> stream;
  uint64_t size() const { return stream ? stream->size() : body.size(); }
  bool read(uint64_t offset, char *out, size_t length) const {
    if (stream) return stream->read(offset, out, length);
    std::memcpy(out, body.data() + offset, length);
    return true;
  }
};

// Writes bytes [from, to) to the sink in pieces of at most kPieceBuffer.
bool send_range(const ReplyBytes &bytes, uint64_t from, uint64_t to, httplib::DataSink &sink) {
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kPieceBuffer, to - from + 1)));
  while (from < to) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), to - from));
    if (!bytes.read(from, buffer.data(), length) || !sink.write(buffer.data(), length))
      return false;
    from += length;
  }
  return true;
}

std::string take_content_type(HeaderList &headers, bool &present) {
  present = false;
  std::string value;
  for (auto it = headers.begin(); it != headers.end();) {
    if (header_name_equals(it->first, "Content-Type")) {
      present = true;
      value = it->second;
      it = headers.erase(it);
    } else {
      ++it;
    }
  }
  return value;
}

json default_error(int status) {
  switch (status) {
    case 400:
      return {{"error", "bad_request"}, {"detail", "the request could not be parsed"}};
    case 404:
      return {{"error", "not_found"}, {"detail", "no such endpoint"}};
    case 413:
      return {{"error", "body_too_large"}, {"detail", "the request body is too large"}};
    case 414:
      return {{"error", "uri_too_long"}, {"detail", "the request target is too long"}};
    default:
      return {{"error", "http_error"}, {"detail", "HTTP status " + std::to_string(status)}};
  }
}

}  // namespace

Server::Impl::Impl(ServerOptions opts)
    : options(std::move(opts)),
      clock(options.clock_start_unix_ms, options.clock_running),
      log(options.log_capacity, options.log_body_limit),
      http(std::make_unique<HttpBinding>()) {
  passive = options.passive;
}

Server::Impl::~Impl() {
  stop();
}

bool Server::Impl::pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(pause_mutex);
  return !pause_changed.wait_for(lock, duration, [this] { return stopped.load(); });
}

namespace {

// "METHOD target status [error code] 1.234ms": one line per answered request.
std::string access_line(const Call &call, const Reply &reply, std::chrono::nanoseconds taken) {
  std::string line = call.method + " " + call.target + " " + std::to_string(reply.status);
  if (reply.status >= 400 && !reply.stream) {
    json body = json::parse(reply.body, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_string()) {
      line += " " + body["error"].get<std::string>();
    }
  }
  char time[32];
  std::snprintf(time, sizeof time, " %.3fms",
                std::chrono::duration<double, std::milli>(taken).count());
  return line + time;
}

struct RequestHandler {
  Server::Impl &impl;

  const Route *route(const Routes &routes, const std::string &method, const std::string &path,
                     bool &path_known) const {
    path_known = false;
    for (const auto &candidate : routes) {
      if (candidate.path != path) continue;
      path_known = true;
      if (candidate.method == method) return &candidate;
    }
    return nullptr;
  }

  Reply dispatch(const Routes &routes, Call &call) const {
    bool path_known = false;
    const Route *found = route(routes, call.method, call.path, path_known);
    if (found == nullptr) {
      if (path_known) {
        return error_reply(405, "method_not_allowed",
                           call.method + " is not allowed on " + call.path);
      }
      return error_reply(404, "not_found", "no endpoint " + call.method + " " + call.path);
    }
    try {
      return found->handler(call);
    } catch (const std::exception &e) {
      return error_reply(500, "internal_error", e.what());
    }
  }

  void operator()(const httplib::Request &req, httplib::Response &res,
                  const httplib::ContentReader *reader) const {
    auto started = std::chrono::steady_clock::now();
    std::optional<RawHead> raw;
    uint64_t front_id = 0;
    if (auto id = parse_i64(req.get_header_value(RecordingFront::kIdHeader)); id && *id > 0) {
      front_id = static_cast<uint64_t>(*id);
      raw = impl.front.take(front_id);
    }
    Call call;
    call.method = req.method;
    call.path = req.path;
    call.target = raw ? raw->target : req.target;
    for (const auto &[key, value] : req.params)
      call.params.emplace_back(key, value);
    if (raw) {
      call.headers = raw->headers;
    } else {
      for (const auto &[key, value] : req.headers) {
        if (!header_name_equals(key, RecordingFront::kIdHeader))
          call.headers.emplace_back(key, value);
      }
    }
    std::string correlation_id = call.header("X-Correlation-Id").value_or("");
    if (correlation_id.empty()) correlation_id = "cid-" + random_hex(12);

    bool dev = call.path.rfind("/_dev/", 0) == 0;
    uint64_t seq = 0;
    if (!dev) {
      LoggedRequest entry;
      entry.method = call.method;
      entry.target = call.target;
      size_t question = call.target.find('?');
      entry.path = call.target.substr(0, question);
      if (question != std::string::npos) entry.query = call.target.substr(question + 1);
      entry.version = raw ? raw->version : req.version;
      entry.headers = call.headers;
      entry.headers_in_order = raw.has_value();
      entry.connection = raw ? raw->connection : 0;
      seq = impl.log.begin(std::move(entry));
    }
    RequestLog &log = impl.log;
    // HTTP/1.1: a request with neither Content-Length nor Transfer-Encoding has no body; waiting
    // for one would only end in the read timeout.
    bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
    call.read_body = [&call, &req, reader, seq, dev, has_body, &log](const BodySink &sink) {
      if (call.body_read) return true;
      call.body_read = true;
      if (!has_body) return true;
      auto forward = [&](const char *data, size_t size) {
        if (!dev) log.append_body(seq, data, size);
        return sink(data, size);
      };
      if (reader != nullptr) return (*reader)(forward);
      return req.body.empty() || forward(req.body.data(), req.body.size());
    };

    std::optional<Fault> fault;
    if (!dev) fault = impl.faults.take(call.method, call.path);

    Reply reply;
    if (dev) {
      reply = impl.options.dev_controls
                  ? dispatch(impl.dev_routes, call)
                  : error_reply(404, "not_found", "dev controls are off (--dev-controls)");
    } else if (fault && fault->status != 0) {
      reply.status = fault->status;
      reply.headers = fault->headers;
      reply.body = fault->body;
    } else if (impl.passive && call.path.rfind("/v1/", 0) == 0) {
      reply = error_reply(503, "node_passive", "this node is passive");
    } else {
      reply = dispatch(impl.routes, call);
      if (fault && !fault->headers.empty()) {
        // The fault's headers replace the real ones of the same name, spelling included.
        HeaderList &headers = reply.headers;
        for (const auto &given : fault->headers) {
          std::erase_if(headers, [&](const auto &header) {
            return header_name_equals(header.first, given.first);
          });
        }
        headers.insert(headers.end(), fault->headers.begin(), fault->headers.end());
      }
    }
    // Whatever the endpoint left unread is drained, so the connection stays usable.
    call.read_body([](const char *, size_t) { return true; });
    if (!reply.header("X-Correlation-Id")) reply.set_header("X-Correlation-Id", correlation_id);

    if (fault) {
      if (fault->hold) impl.faults.wait_released(impl.faults.hold_generation());
      if (fault->delay.count() > 0) impl.pause(fault->delay);
      if (fault->drop_connection && front_id != 0) impl.front.drop_connection(front_id);
    }
    if (!dev) {
      impl.log.finish(seq, reply.status, *reply.header("X-Correlation-Id"), fault.has_value());
    }
    if (impl.options.access_logger && !dev) {
      impl.options.access_logger(
          access_line(call, reply, std::chrono::steady_clock::now() - started));
    }
    if (reply.produce) {
      write_stream(reply, fault, front_id, res);
      return;
    }
    write(reply, fault, res);
  }

  // A streamed answer: the endpoint's producer writes chunks while the request stays open.
  class SinkWriter : public StreamWriter {
   public:
    SinkWriter(httplib::DataSink &sink, Server::Impl &server, uint64_t front_id)
        : sink_(sink), server_(server), front_id_(front_id) {}
    bool write(std::string_view bytes) override {
      return bytes.empty() || sink_.write(bytes.data(), bytes.size());
    }
    bool client_gone() const override {
      return front_id_ != 0 && server_.front.client_closed(front_id_);
    }
    bool server_running() const override { return !server_.stopped; }

   private:
    httplib::DataSink &sink_;
    Server::Impl &server_;
    uint64_t front_id_;
  };

  void write_stream(Reply &reply, const std::optional<Fault> &fault, uint64_t front_id,
                    httplib::Response &res) const {
    res.status = reply.status;
    bool has_type = false;
    std::string content_type = take_content_type(reply.headers, has_type);
    for (const auto &[name, value] : reply.headers)
      res.set_header(name, value);
    Server::Impl *server = &impl;
    res.set_chunked_content_provider(content_type,
                                     [server, produce = std::move(reply.produce), fault, front_id](
                                         size_t, httplib::DataSink &sink) {
                                       SinkWriter base(sink, *server, front_id);
                                       auto writer = make_faulted_writer(base, fault);
                                       if (!produce(*writer))
                                         return false;  // cut: the connection ends mid-stream
                                       sink.done();
                                       return true;
                                     });
  }

  void write(Reply &reply, const std::optional<Fault> &fault, httplib::Response &res) const {
    res.status = reply.status;
    bool has_type = false;
    std::string content_type = take_content_type(reply.headers, has_type);
    for (const auto &[name, value] : reply.headers)
      res.set_header(name, value);
    auto bytes = std::make_shared<ReplyBytes>();
    bytes->body = std::move(reply.body);
    bytes->stream = reply.stream;
    uint64_t size = bytes->size();
    Server::Impl *server = &impl;

    if (fault && fault->close_after_bytes) {
      uint64_t cut = std::min<uint64_t>(*fault->close_after_bytes, size);
      res.set_content_provider(static_cast<size_t>(size), content_type,
                               [bytes, cut](size_t, size_t, httplib::DataSink &sink) {
                                 send_range(*bytes, 0, cut, sink);
                                 return false;  // ends the connection short of the body
                               });
      return;
    }
    if (fault && !fault->chunk_sizes.empty()) {
      auto pieces = fault->chunk_sizes;
      auto pause = fault->chunk_pause;
      auto send_pieces = [bytes, pieces, pause, server, size](httplib::DataSink &sink) {
        uint64_t offset = 0;
        for (size_t i = 0; offset < size; ++i) {
          uint64_t piece = i < pieces.size() ? std::max<size_t>(pieces[i], 1) : size - offset;
          piece = std::min<uint64_t>(piece, size - offset);
          if (i > 0 && pause.count() > 0 && !server->pause(pause)) return false;
          if (!send_range(*bytes, offset, offset + piece, sink)) return false;
          offset += piece;
        }
        return true;
      };
      if (fault->chunked_encoding) {
        res.set_chunked_content_provider(content_type,
                                         [send_pieces](size_t, httplib::DataSink &sink) {
                                           if (!send_pieces(sink)) return false;
                                           sink.done();
                                           return true;
                                         });
      } else {
        res.set_content_provider(static_cast<size_t>(size), content_type,
                                 [send_pieces](size_t offset, size_t, httplib::DataSink &sink) {
                                   return offset == 0 && send_pieces(sink);
                                 });
      }
      return;
    }
    // An empty stream is an empty body with its length: a content provider for zero bytes would
    // leave the answer without a Content-Length and without an end.
    if (bytes->stream && size > 0) {
      res.set_content_provider(static_cast<size_t>(size), content_type,
                               [bytes](size_t offset, size_t length, httplib::DataSink &sink) {
                                 uint64_t end = offset + std::min<size_t>(length, kPieceBuffer);
                                 return send_range(*bytes, offset, end, sink);
                               });
      return;
    }
    if (has_type) res.set_header("Content-Type", content_type);
    res.body = std::move(bytes->body);
  }
};

// The HTTP library listens with a backlog of 5: when ten or so clients connect at once, the
// kernel drops the extra handshakes and they retry a second later. Listening again on the bound
// socket widens the queue (the library keeps no other handle to it than the descriptor).
void widen_listen_backlog(int port) {
  DIR *fds = opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (dirent *entry = readdir(fds)) {
    char *end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(fds)) continue;
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
        listening == 0)
      continue;
    sockaddr_in address{};
    length = sizeof address;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
      ::listen(static_cast<int>(fd), 128);
    }
  }
  closedir(fds);
}

}  // namespace

void Server::Impl::start() {
  if (started.exchange(true)) return;
  if (options.data_dir.empty()) {
    data_dir = make_temp_dir("stavo-devserver");
    own_data_dir = true;
  } else {
    data_dir = options.data_dir;
  }
  store = std::make_unique<Store>(clock, data_dir);
  context = std::make_unique<EndpointContext>(EndpointContext{*store, options});
  add_lease_endpoints(routes, *context);
  add_state_endpoints(routes, *context);
  add_attachment_endpoints(routes, *context);
  add_admin_endpoints(routes, *context);
  queues = std::make_unique<QueueService>(*store, options);
  add_queue_endpoints(routes, *queues);
  add_queue_dev_endpoints(dev_routes, *queues);
  add_dev_endpoints(dev_routes, *this);

  front.bind(options.host, options.port);
  front.set_interceptor(hostile_interceptor(hostile));

  httplib::Server &svr = http->server;
  size_t threads = std::max<size_t>(options.threads, 4);
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // No cap on requests per connection: the TLS front pools backend connections, and one the
  // library closed after its cap would be handed the next request and fail it.
  svr.set_keep_alive_max_count(std::numeric_limits<size_t>::max());
  svr.set_tcp_nodelay(true);  // pieces of a body go out as they are written
  svr.set_keep_alive_timeout(5);
  svr.set_read_timeout(30);
  svr.set_write_timeout(60);
  svr.set_payload_max_length(
      static_cast<size_t>(std::max<uint64_t>(options.attachment_limit, options.state_limit)) + 1);
  svr.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
    // Only these methods stream their bodies through the endpoints; others would be buffered.
    bool streams = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                   req.method == "DELETE";
    if (!streams && (req.get_header_value<uint64_t>("Content-Length") > 65536 ||
                     req.has_header("Transfer-Encoding"))) {
      res.status = 413;
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Answers the HTTP library produces itself (unparsable requests, limits) get an error body too.
  svr.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request &req, httplib::Response &res) {
        if (res.has_header("X-Correlation-Id")) return httplib::Server::HandlerResponse::Unhandled;
        std::string cid = req.get_header_value("X-Correlation-Id");
        res.set_header("X-Correlation-Id", cid.empty() ? "cid-" + random_hex(12) : cid);
        res.set_content(default_error(res.status).dump(), "application/json");
        return httplib::Server::HandlerResponse::Handled;
      }));
  svr.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                               std::exception_ptr) {
    res.status = 500;
    res.set_header("X-Correlation-Id", "cid-" + random_hex(12));
    res.set_content(json({{"error", "internal_error"}, {"detail", "unexpected failure"}}).dump(),
                    "application/json");
  });

  RequestHandler handler{*this};
  auto plain = [handler](const httplib::Request &req, httplib::Response &res) {
    handler(req, res, nullptr);
  };
  auto streamed = [handler](const httplib::Request &req, httplib::Response &res,
                            const httplib::ContentReader &reader) { handler(req, res, &reader); };
  const std::string any = ".*";
  svr.Get(any, plain);
  svr.Post(any, plain);
  svr.Post(any, streamed);
  svr.Put(any, plain);
  svr.Put(any, streamed);
  svr.Patch(any, plain);
  svr.Patch(any, streamed);
  svr.Delete(any, plain);
  svr.Delete(any, streamed);
  svr.Options(any, plain);

  int internal = svr.bind_to_any_port("127.0.0.1");
  if (internal < 0) throw std::runtime_error("cannot bind the internal HTTP socket");
  widen_listen_backlog(internal);
  http->thread = std::thread([&svr] { svr.listen_after_bind(); });
  // stop() must not run before the library's loop has started, or the loop would never end.
  for (int i = 0; i < 5000 && !svr.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  front.start(internal);
}

void Server::Impl::stop() {
  if (!started || stopped.exchange(true)) return;
  if (store) store->stop();
  if (queues) queues->stop();
  faults.stop();
  {
    std::lock_guard<std::mutex> lock(pause_mutex);
    pause_changed.notify_all();
  }
  front.stop();
  http->server.stop();
  if (http->thread.joinable()) http->thread.join();
  queues.reset();
  store.reset();
  if (own_data_dir) remove_tree(data_dir);
}

}  // namespace stavo::devserver
