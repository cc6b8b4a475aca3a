// Helpers of the queue tests: the enqueue upload, a reader for multipart answers, and a stream
// client that keeps a dequeue/subscribe/watch request open on its own thread.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "helpers.h"

namespace stavo::test {

inline const char *kUploadBoundary = "queue-test-boundary-42";

inline std::string upload_body(const json &meta, const std::string &payload,
                               const std::string &payload_type = "application/octet-stream") {
  std::string b = kUploadBoundary;
  return "--" + b + "\r\nContent-Type: application/json\r\nContent-Disposition: form-data; " +
         "name=\"meta\"\r\n\r\n" + meta.dump() + "\r\n--" + b +
         "\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: " + payload_type +
         "\r\n\r\n" + payload + "\r\n--" + b + "--\r\n";
}

inline HttpResponse enqueue_raw(const DevServer &dev, const std::string &body,
                                const std::string &content_type =
                                    std::string("multipart/related; boundary=") + kUploadBoundary) {
  HttpRequest request;
  request.method = "POST";
  request.url = dev.http_url() + "/v1/queue/enqueue";
  request.headers = {{"Content-Type", content_type}, {"Accept", "application/json"}};
  request.body = body;
  request.chunked = true;  // the client sends uploads chunked
  return http_request(request);
}

inline json enqueue(const DevServer &dev, const std::string &queue, const std::string &payload,
                    json extra = json::object()) {
  json meta = {{"namespace", "default"},
               {"queue", queue},
               {"delay_seconds", 0},
               {"visibility_timeout_seconds", 0},
               {"ttl_seconds", 0},
               {"max_attempts", 0},
               {"payload_content_type", "text/plain"}};
  for (const auto &[name, value] : extra.items())
    meta[name] = value;
  HttpResponse response = enqueue_raw(dev, upload_body(meta, payload, "text/plain"));
  EXPECT_EQ(response.status, 200) << response.body;
  return body_of(response);
}

inline HttpResponse queue_call(const DevServer &dev, const std::string &op, json body) {
  return http_post(dev.http_url() + "/v1/queue/" + op, body.dump(),
                   {{"Content-Type", "application/json"}, {"Accept", "application/json"}});
}

inline json stats(const DevServer &dev, const std::string &queue) {
  return body_of(queue_call(dev, "stats", {{"namespace", "default"}, {"queue", queue}}));
}

inline json inspect_queue(const DevServer &dev, const std::string &queue) {
  return body_of(http_get(dev.http_url() + "/_dev/queue?queue=" + queue));
}

// One part of a multipart answer.
struct Part {
  std::string name;
  HeaderList headers;
  std::string body;
  std::optional<std::string> header(const std::string &wanted) const {
    for (const auto &[key, value] : headers) {
      if (devserver::header_name_equals(key, wanted)) return value;
    }
    return std::nullopt;
  }
};

struct Delivery {
  json message;  // the meta part's "message"
  std::string next_cursor;
  std::string payload;
  std::string payload_type;
  json settle(json extra = json::object()) const {
    json body = {{"namespace", "default"},
                 {"queue", message["queue"]},
                 {"message_id", message["message_id"]},
                 {"lease_id", message["lease_id"]},
                 {"txn_id", message["txn_id"]},
                 {"fencing_token", message["fencing_token"]},
                 {"meta_etag", message["meta_etag"]}};
    for (const auto &[name, value] : extra.items())
      body[name] = value;
    return body;
  }
};

// Parses the complete parts at the front of `body` (every part carries Content-Length).
// `closed` tells whether the closing delimiter was reached.
inline std::vector<Part> parse_parts(const std::string &boundary, const std::string &body,
                                     bool &closed, bool &malformed) {
  std::vector<Part> parts;
  closed = malformed = false;
  size_t pos = 0;
  std::string delimiter = "--" + boundary;
  while (pos < body.size()) {
    if (body.compare(pos, delimiter.size() + 2, delimiter + "--") == 0) {
      closed = true;
      return parts;
    }
    if (body.size() - pos < delimiter.size() + 2) return parts;
    if (body.compare(pos, delimiter.size() + 2, delimiter + "\r\n") != 0) {
      malformed = true;
      return parts;
    }
    size_t head_end = body.find("\r\n\r\n", pos);
    if (head_end == std::string::npos) return parts;
    Part part;
    size_t line = pos + delimiter.size() + 2;
    while (line < head_end + 2) {
      size_t eol = body.find("\r\n", line);
      std::string text = body.substr(line, eol - line);
      size_t colon = text.find(':');
      part.headers.emplace_back(text.substr(0, colon), text.substr(colon + 2));
      line = eol + 2;
    }
    auto length = part.header("Content-Length");
    if (!length) {
      malformed = true;
      return parts;
    }
    size_t size = std::stoull(*length);
    size_t start = head_end + 4;
    if (body.size() < start + size + 2) return parts;
    part.body = body.substr(start, size);
    if (body.compare(start + size, 2, "\r\n") != 0) {
      malformed = true;
      return parts;
    }
    auto disposition = part.header("Content-Disposition").value_or("");
    size_t name_at = disposition.find("name=\"");
    if (name_at != std::string::npos) {
      size_t from = name_at + 6;
      part.name = disposition.substr(from, disposition.find('"', from) - from);
    }
    parts.push_back(std::move(part));
    pos = start + size + 2;
  }
  return parts;
}

inline std::string boundary_of(const std::string &content_type) {
  size_t at = content_type.find("boundary=");
  return at == std::string::npos ? std::string() : content_type.substr(at + 9);
}

// Pairs meta and payload parts into deliveries.
inline std::vector<Delivery> deliveries_of(const std::vector<Part> &parts) {
  std::vector<Delivery> out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    EXPECT_EQ(parts[i].name, "meta");
    EXPECT_EQ(parts[i + 1].name, "payload");
    Delivery delivery;
    json meta = json::parse(parts[i].body, nullptr, false);
    delivery.message = meta.is_object() ? meta["message"] : json();
    delivery.next_cursor = meta.is_object() ? meta.value("next_cursor", "") : "";
    delivery.payload = parts[i + 1].body;
    delivery.payload_type = parts[i + 1].header("Content-Type").value_or("");
    out.push_back(std::move(delivery));
  }
  return out;
}

// A request whose answer streams in on a background thread.
class StreamClient {
 public:
  StreamClient(const DevServer &dev, const std::string &path, json body) {
    url_ = dev.http_url() + path;
    body_ = body.dump();
    thread_ = std::thread([this] { run(); });
  }
  ~StreamClient() { close(); }

  // Drops the connection (like a client that goes away) and waits for the thread.
  void close() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Waits until `count` parts arrived (or the stream ended); returns the parts so far.
  std::vector<Part> wait_for_parts(size_t count,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<Part> parts;
    changed_.wait_for(lock, timeout, [&] {
      parts = parse_locked();
      return parts.size() >= count || done_;
    });
    return parse_locked();
  }
  std::vector<Delivery> wait_for_deliveries(size_t count) {
    return deliveries_of(wait_for_parts(count * 2));
  }

  // Waits for the end of the answer.
  bool wait_done(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done_; });
  }

  long status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  int curl_code() {
    std::lock_guard<std::mutex> lock(mutex_);
    return curl_code_;
  }
  std::string body() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::string header(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[key, value] : headers_) {
      if (devserver::header_name_equals(key, name)) return value;
    }
    return {};
  }
  bool closed_properly() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool closed = false, malformed = false;
    parse_parts(boundary_of(content_type_locked()), received_, closed, malformed);
    return closed && !malformed;
  }

 private:
  std::string content_type_locked() const {
    for (const auto &[key, value] : headers_) {
      if (devserver::header_name_equals(key, "Content-Type")) return value;
    }
    return {};
  }
  std::vector<Part> parse_locked() const {
    bool closed = false, malformed = false;
    return parse_parts(boundary_of(content_type_locked()), received_, closed, malformed);
  }

  static size_t on_body(char *data, size_t size, size_t count, void *context) {
    auto *self = static_cast<StreamClient *>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->received_.append(data, size * count);
    self->changed_.notify_all();
    return size * count;
  }
  static size_t on_header(char *data, size_t size, size_t count, void *context) {
    auto *self = static_cast<StreamClient *>(context);
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (colon != std::string::npos && line.rfind("HTTP/", 0) != 0) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
        value.pop_back();
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->headers_.emplace_back(line.substr(0, colon), value);
    }
    return size * count;
  }
  static int on_progress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<StreamClient *>(context)->stop_.load() ? 1 : 0;
  }

  void run() {
    CURL *curl = curl_easy_init();
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: multipart/related");
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body_.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    std::lock_guard<std::mutex> lock(mutex_);
    curl_code_ = static_cast<int>(code);
    status_ = status;
    done_ = true;
    changed_.notify_all();
  }

  std::string url_, body_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  HeaderList headers_;
  long status_ = 0;
  int curl_code_ = 0;
  bool done_ = false;
};

inline json stream_body(const std::string &queue, json extra = json::object()) {
  json body = {{"namespace", "default"},          {"queue", queue},    {"owner", "tester"},
               {"visibility_timeout_seconds", 0}, {"wait_seconds", 0}, {"page_size", 1}};
  for (const auto &[name, value] : extra.items())
    body[name] = value;
  return body;
}

// A dequeue that runs to its end: the deliveries it carried.
inline std::vector<Delivery> dequeue(const DevServer &dev, const std::string &queue,
                                     json extra = json::object(),
                                     const std::string &path = "/v1/queue/dequeue") {
  StreamClient client(dev, path, stream_body(queue, std::move(extra)));
  EXPECT_TRUE(client.wait_done());
  EXPECT_EQ(client.status(), 200) << client.body();
  EXPECT_TRUE(client.closed_properly()) << client.body();
  bool closed = false, malformed = false;
  return deliveries_of(
      parse_parts(boundary_of(client.header("Content-Type")), client.body(), closed, malformed));
}

}  // namespace stavo::test
