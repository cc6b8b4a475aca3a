// Real libcurl transfers against a local HTTP server: a request body generated through the read
// callback arrives byte for byte, and a response body flushed in tiny chunks is parsed through
// the write callback into the record.
// The library was built with these; its classes must be seen the same way here.
#define CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "serial_support.h"

namespace {

static_assert(BRINDLE_CURL_READFUNC_ABORT == CURL_READFUNC_ABORT);

struct Upload {
  char *name;
  brindle_source content;
  brindle_json_value meta;
  brindle_array sizes;
};
const brindle_field kUploadFields[] = {
    BRINDLE_DECL_STRING(Upload, name, "name", 0),
    BRINDLE_DECL_SOURCE(Upload, content, "content", BRINDLE_FIELD_SOURCE_BYTES, 0),
    BRINDLE_DECL_JSON_VALUE(Upload, meta, "meta", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_ARRAY(Upload, sizes, "sizes", BRINDLE_FIELD_U64_ARRAY, 0),
};
const brindle_map kUploadMap = BRINDLE_MAP("upload_request", Upload, kUploadFields);

// A local server on an ephemeral port, stopped and joined at the end of the test.
class LocalServer {
 public:
  LocalServer() {
    server_.set_tcp_nodelay(true);
    server_.Post("/upload", [this](const httplib::Request &request, httplib::Response &response) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ = request.body;
      chunked_ = request.get_header_value("Transfer-Encoding") == "chunked";
      response.set_content("{}", "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LocalServer() {
    server_.stop();
    thread_.join();
  }
  httplib::Server &server() { return server_; }
  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool chunked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunked_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
  bool chunked_ = false;
};

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

std::string temp_path(const std::string &name) {
  return std::string(::testing::TempDir()) + "brindle-curl-" + std::to_string(getpid()) + "-" +
         name;
}

// Posts the record through the read callback; with known_length the measured length is given,
// otherwise libcurl sends it chunked.
CURLcode post(const std::string &url, brindle_curl_upload *adapter, curl_off_t known_length) {
  CURL *curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, brindle_curl_read_callback);
  curl_easy_setopt(curl, CURLOPT_READDATA, adapter);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, known_length);
  curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 16384L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  struct curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION,
      +[](char *, size_t size, size_t count, void *) { return size * count; });
  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return code;
}

TEST(CurlTransfer, UploadThroughTheReadCallbackArrivesByteForByte) {
  CurlGlobal global;
  LocalServer server;
  std::string content(300000, '\0');
  std::mt19937 random(5);
  for (char &c : content)
    c = static_cast<char>(random());
  const std::string path = temp_path("upload.bin");
  std::ofstream(path, std::ios::binary) << content;

  Upload upload{};
  brindle_source_init(&upload.content);
  brindle_json_value_init(&upload.meta);
  char name[] = "report \"q3\"\n";
  upload.name = name;
  ASSERT_EQ(brindle_source_set_path(&upload.content, path.c_str(), nullptr), BRINDLE_OK);
  const char meta[] = "{\"tags\": [\"a\", \"b\"], \"n\": 1e3}";
  ASSERT_EQ(brindle_json_value_set_buffer(&upload.meta, meta, sizeof(meta) - 1, nullptr),
            BRINDLE_OK);
  std::vector<uint64_t> sizes{1, 2, 18446744073709551615ull};
  upload.sizes = serial_test::fixed_array(sizes);

  for (bool pretty : {false, true}) {
    const std::string expected = serial_test::via_sink(&kUploadMap, &upload, pretty);
    const brindle_write_options options = serial_test::options(pretty);
    size_t measured = 0;
    ASSERT_EQ(brindle_generator_measure(&kUploadMap, &upload, &options, &measured, nullptr),
              BRINDLE_OK);
    ASSERT_EQ(measured, expected.size());
    for (bool chunked : {true, false}) {
      brindle_curl_upload adapter;
      ASSERT_EQ(brindle_curl_upload_init(&adapter, &kUploadMap, &upload, &options), BRINDLE_OK);
      const curl_off_t length = chunked ? -1 : static_cast<curl_off_t>(measured);
      ASSERT_EQ(post(server.url("/upload"), &adapter, length), CURLE_OK);
      EXPECT_EQ(adapter.generator.done, 1);
      brindle_curl_upload_cleanup(&adapter);
      EXPECT_EQ(server.chunked(), chunked);
      const std::string received = server.received();
      EXPECT_EQ(received.size(), expected.size());
      EXPECT_TRUE(received == expected) << "pretty " << pretty << " chunked " << chunked;
    }
  }

  // A record that cannot be generated aborts the transfer; the cause stays in the adapter.
  brindle_source_cleanup(&upload.content);
  ASSERT_EQ(brindle_source_set_path(&upload.content, temp_path("missing").c_str(), nullptr),
            BRINDLE_OK);
  brindle_curl_upload adapter;
  ASSERT_EQ(brindle_curl_upload_init(&adapter, &kUploadMap, &upload, nullptr), BRINDLE_OK);
  EXPECT_EQ(post(server.url("/upload"), &adapter, -1), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(adapter.generator.error.code, BRINDLE_IO_ERROR);
  brindle_curl_upload_cleanup(&adapter);

  brindle_source_cleanup(&upload.content);
  brindle_json_value_cleanup(&upload.meta);
  std::remove(path.c_str());
}

struct Reply {
  char *status;
  int64_t version;
  brindle_array keys;
  brindle_spooled note;
  brindle_json_value state;
};
const brindle_field kReplyFields[] = {
    BRINDLE_DECL_STRING(Reply, status, "status", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_I64(Reply, version, "version", 0),
    BRINDLE_DECL_ARRAY(Reply, keys, "keys", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_SPOOLED(Reply, note, "note", BRINDLE_FIELD_SPOOLED_TEXT, 0, nullptr),
    BRINDLE_DECL_JSON_VALUE(Reply, state, "state", 0),
};
const brindle_map kReplyMap = BRINDLE_MAP("reply_json", Reply, kReplyFields);

struct Download {
  brindle_curl_parse adapter;
  size_t calls = 0;
};

size_t counting_write(char *bytes, size_t size, size_t count, void *user) {
  auto *download = static_cast<Download *>(user);
  ++download->calls;
  return brindle_curl_write_callback(bytes, size, count, &download->adapter);
}

CURLcode get(const std::string &url, Download *download) {
  CURL *curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, counting_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, download);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return code;
}

// The server writes the body a few bytes at a time and flushes each piece as its own chunk.
void serve_in_tiny_chunks(httplib::Server &server, const std::string &path,
                          const std::string &body) {
  server.Get(path, [body](const httplib::Request &, httplib::Response &response) {
    response.set_chunked_content_provider(
        "application/json", [body](size_t offset, httplib::DataSink &sink) {
          if (offset >= body.size()) {
            sink.done();
            return true;
          }
          const size_t n = std::min<size_t>(1 + offset % 5, body.size() - offset);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          return sink.write(body.data() + offset, n);
        });
  });
}

TEST(CurlTransfer, DownloadInTinyChunksFillsTheRecord) {
  CurlGlobal global;
  LocalServer server;
  const std::string body =
      "{\"status\":\"ok \xc3\xa9\\n\",\"version\":-9223372036854775808,"
      "\"keys\":[\"a\",\"b\\\"c\",\"\"],\"note\":\"" +
      std::string(3000, 'n') + "\\t\",\"state\":{\"x\":[1,{\"y\":null}],\"z\":\"w\"}}";
  serve_in_tiny_chunks(server.server(), "/reply", body);
  serve_in_tiny_chunks(server.server(), "/broken", "{\"status\":\"ok\",\"version\":\"v\"}");

  Reply reply;
  brindle_init(&kReplyMap, &reply);
  ASSERT_EQ(brindle_json_value_enable_parse_capture(&reply.state, nullptr), BRINDLE_OK);
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;  // keep the capture set up above
  Download download;
  ASSERT_EQ(brindle_curl_parse_init(&download.adapter, &kReplyMap, &reply, &options), BRINDLE_OK);
  ASSERT_EQ(get(server.url("/reply"), &download), CURLE_OK);
  ASSERT_EQ(brindle_curl_parse_finish(&download.adapter), BRINDLE_OK)
      << download.adapter.error.message;
  brindle_curl_parse_cleanup(&download.adapter);
  EXPECT_GT(download.calls, 10u);  // the body really came in many pieces
  EXPECT_STREQ(reply.status, "ok \xc3\xa9\n");
  EXPECT_EQ(reply.version, std::numeric_limits<int64_t>::min());
  ASSERT_EQ(reply.keys.count, 3u);
  EXPECT_STREQ(static_cast<char **>(reply.keys.items)[1], "b\"c");
  EXPECT_EQ(brindle_spooled_size(&reply.note), 3001u);
  EXPECT_EQ(std::string(reply.state.buffer, reply.state.length),
            "{\"x\":[1,{\"y\":null}],\"z\":\"w\"}");
  // Written back, the record gives the body it came from.
  EXPECT_EQ(serial_test::via_sink(&kReplyMap, &reply, false), body);
  brindle_cleanup(&kReplyMap, &reply);

  // A body that does not fit the map fails the transfer at the write callback.
  Download broken;
  brindle_init(&kReplyMap, &reply);
  ASSERT_EQ(brindle_curl_parse_init(&broken.adapter, &kReplyMap, &reply, nullptr), BRINDLE_OK);
  EXPECT_EQ(get(server.url("/broken"), &broken), CURLE_WRITE_ERROR);
  EXPECT_EQ(broken.adapter.error.code, BRINDLE_TYPE_MISMATCH);
  brindle_curl_parse_cleanup(&broken.adapter);
  brindle_cleanup(&kReplyMap, &reply);
}

}  // namespace
