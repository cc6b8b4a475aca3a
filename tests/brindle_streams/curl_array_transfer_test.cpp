// The libcurl array adapters under real transfers from a local server that flushes its body in
// small chunks: every element arrives, each as soon as it is complete, and broken or cut-off
// bodies end the transfer with the cause in the adapter.
// The library was built with these; its classes must be seen the same way here.
#define CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "brindle_curl.h"
#include "streams_support.h"

namespace {

using streams_test::describe;
using streams_test::Item;
using streams_test::kItemMap;

// Sends body in pieces of piece bytes, each its own HTTP chunk, pausing now and then so that the
// client sees many small writes. With cut_at, the connection is dropped after that many bytes.
httplib::ContentProviderWithoutLength trickle(std::string body, size_t piece,
                                              size_t cut_at = std::string::npos) {
  return [body, piece, cut_at](size_t offset, httplib::DataSink &sink) {
    if (offset >= std::min(body.size(), cut_at)) {
      if (cut_at != std::string::npos) return false;
      sink.done();
      return true;
    }
    const size_t n = std::min({piece, body.size() - offset, cut_at - offset});
    if (!sink.write(body.data() + offset, n)) return false;
    if ((offset / piece) % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  };
}

std::string items_body(int count) {
  std::string body = "{\"total\":" + std::to_string(count) + ",\"items\":[\n";
  for (int i = 0; i < count; ++i) {
    body += (i > 0 ? ",\n" : "") + std::string("{\"id\":") + std::to_string(i) +
            ",\"name\":\"item \\u00e9 " + std::to_string(i) + "\",\"tags\":[\"t\"]}";
  }
  return body + "\n],\"more\":false}";
}

class LocalServer {
 public:
  LocalServer() {
    server_.set_tcp_nodelay(true);
    server_.Get("/items", [](const httplib::Request &, httplib::Response &response) {
      response.set_chunked_content_provider("application/json", trickle(items_body(200), 5));
    });
    server_.Get("/names", [](const httplib::Request &, httplib::Response &response) {
      std::string body = "[";
      for (int i = 0; i < 100; ++i) {
        body += (i > 0 ? "," : "") + std::string("\"name ") + std::to_string(i) +
                " \\\"quoted\\\" \\ud83d\\ude00\"";
      }
      response.set_chunked_content_provider("application/json", trickle(body + "]", 3));
    });
    server_.Get("/broken", [](const httplib::Request &, httplib::Response &response) {
      response.set_chunked_content_provider(
          "application/json", trickle("[{\"id\":1},{\"id\":2},{\"id\":x},{\"id\":4}]", 4));
    });
    server_.Get("/cut", [](const httplib::Request &, httplib::Response &response) {
      response.set_chunked_content_provider("application/json",
                                            trickle("[{\"id\":1},{\"id\":2},{\"id\":3}]", 4, 22));
    });
    // The rest of the body is held back until the client has handled the first element.
    server_.Get("/gated", [this](const httplib::Request &, httplib::Response &response) {
      response.set_chunked_content_provider(
          "application/json", [this](size_t offset, httplib::DataSink &sink) {
            if (offset == 0) return sink.write("[{\"id\":1},", 10);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!first_handled.load() && std::chrono::steady_clock::now() < deadline) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            sink.write("{\"id\":2}]", 9);
            sink.done();
            return true;
          });
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
  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::atomic<bool> first_handled{false};

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// Counts libcurl's write calls and forwards them to the adapter's write callback.
template <typename Adapter>
struct Counted {
  Adapter *adapter;
  size_t (*write)(char *, size_t, size_t, void *);
  size_t calls = 0;
  static size_t forward(char *bytes, size_t size, size_t count, void *user) {
    auto *self = static_cast<Counted *>(user);
    ++self->calls;
    return self->write(bytes, size, count, self->adapter);
  }
};

template <typename Adapter>
CURLcode fetch(const std::string &url, Counted<Adapter> *counted) {
  CURL *curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Counted<Adapter>::forward);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, counted);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return code;
}

class CurlArrayTransfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  static void TearDownTestSuite() { curl_global_cleanup(); }
  LocalServer server_;
};

int collect_item(void *user, void *destination) {
  static_cast<std::vector<std::string> *>(user)->push_back(
      describe(*static_cast<Item *>(destination)));
  return 0;
}

TEST_F(CurlArrayTransfer, MappedElementsOfASelectedMember) {
  std::vector<std::string> seen;
  Item item{};
  brindle_curl_array_parse adapter;
  ASSERT_EQ(brindle_curl_array_parse_init(&adapter, "items", &kItemMap, &item, nullptr,
                                          collect_item, &seen),
            BRINDLE_OK);
  Counted<brindle_curl_array_parse> counted{&adapter, brindle_curl_array_write_callback};
  EXPECT_EQ(fetch(server_.url("/items"), &counted), CURLE_OK) << adapter.error.message;
  EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_OK) << adapter.error.message;
  EXPECT_GT(counted.calls, 20u) << "the body should arrive in many small writes";
  ASSERT_EQ(seen.size(), 200u);
  EXPECT_EQ(seen[0], "0|item \xC3\xA9 0|t|");
  EXPECT_EQ(seen[199], "199|item \xC3\xA9 199|t|");
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST_F(CurlArrayTransfer, StringsInChunksAndWhole) {
  struct Chunks {
    std::vector<std::string> items;
    std::string current;
    size_t chunks = 0;
  } chunks;
  const brindle_array_string_handlers handlers{
      [](void *user, brindle_error *) {
        static_cast<Chunks *>(user)->current.clear();
        return BRINDLE_OK;
      },
      [](void *user, const char *bytes, size_t length, brindle_error *) {
        static_cast<Chunks *>(user)->current.append(bytes, length);
        ++static_cast<Chunks *>(user)->chunks;
        return BRINDLE_OK;
      },
      [](void *user, brindle_error *) {
        auto *self = static_cast<Chunks *>(user);
        self->items.push_back(self->current);
        return BRINDLE_OK;
      }};
  brindle_curl_string_array_parse array;
  ASSERT_EQ(brindle_curl_string_array_parse_init(&array, nullptr, nullptr, &handlers, &chunks),
            BRINDLE_OK);
  Counted<brindle_curl_string_array_parse> counted{&array,
                                                   brindle_curl_string_array_write_callback};
  EXPECT_EQ(fetch(server_.url("/names"), &counted), CURLE_OK);
  EXPECT_EQ(brindle_curl_string_array_parse_finish(&array), BRINDLE_OK);
  brindle_curl_string_array_parse_cleanup(&array);
  ASSERT_EQ(chunks.items.size(), 100u);
  EXPECT_EQ(chunks.items[42], "name 42 \"quoted\" \xF0\x9F\x98\x80");
  EXPECT_GT(chunks.chunks, 100u) << "strings split across writes arrive in several chunks";

  std::vector<std::string> whole;
  brindle_curl_string_items_parse items;
  ASSERT_EQ(brindle_curl_string_items_parse_init(
                &items, nullptr, nullptr,
                [](void *user, const char *text, size_t length) {
                  static_cast<std::vector<std::string> *>(user)->emplace_back(text, length);
                  return 0;
                },
                &whole),
            BRINDLE_OK);
  Counted<brindle_curl_string_items_parse> counted_items{&items,
                                                         brindle_curl_string_items_write_callback};
  EXPECT_EQ(fetch(server_.url("/names"), &counted_items), CURLE_OK);
  EXPECT_EQ(brindle_curl_string_items_parse_finish(&items), BRINDLE_OK);
  brindle_curl_string_items_parse_cleanup(&items);
  EXPECT_EQ(whole, chunks.items);
}

TEST_F(CurlArrayTransfer, EachElementIsHandledBeforeTheBodyEnds) {
  struct Gate {
    LocalServer *server;
    std::vector<int64_t> ids;
  } gate{&server_, {}};
  Item item{};
  brindle_curl_array_parse adapter;
  ASSERT_EQ(brindle_curl_array_parse_init(
                &adapter, nullptr, &kItemMap, &item, nullptr,
                [](void *user, void *destination) {
                  auto *self = static_cast<Gate *>(user);
                  self->ids.push_back(static_cast<Item *>(destination)->id);
                  self->server->first_handled.store(true);
                  return 0;
                },
                &gate),
            BRINDLE_OK);
  Counted<brindle_curl_array_parse> counted{&adapter, brindle_curl_array_write_callback};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(server_.url("/gated"), &counted), CURLE_OK);
  EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_OK);
  // Had the first element waited for the end of the body, the server would have held the rest
  // back until its deadline.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(gate.ids, (std::vector<int64_t>{1, 2}));
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST_F(CurlArrayTransfer, ABrokenBodyAbortsTheTransfer) {
  std::vector<std::string> seen;
  Item item{};
  brindle_curl_array_parse adapter;
  ASSERT_EQ(brindle_curl_array_parse_init(&adapter, nullptr, &kItemMap, &item, nullptr,
                                          collect_item, &seen),
            BRINDLE_OK);
  Counted<brindle_curl_array_parse> counted{&adapter, brindle_curl_array_write_callback};
  EXPECT_EQ(fetch(server_.url("/broken"), &counted), CURLE_WRITE_ERROR);
  EXPECT_EQ(adapter.error.code, BRINDLE_INVALID_JSON);
  EXPECT_STREQ(adapter.error.message, "expected JSON value");
  EXPECT_EQ(adapter.error.offset, 26u);
  EXPECT_EQ(seen, (std::vector<std::string>{"1|<null>||", "2|<null>||"}));
  EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_INVALID_JSON);
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

TEST_F(CurlArrayTransfer, ABodyCutOffInsideTheArrayFailsAtFinish) {
  std::vector<std::string> seen;
  Item item{};
  brindle_curl_array_parse adapter;
  ASSERT_EQ(brindle_curl_array_parse_init(&adapter, nullptr, &kItemMap, &item, nullptr,
                                          collect_item, &seen),
            BRINDLE_OK);
  Counted<brindle_curl_array_parse> counted{&adapter, brindle_curl_array_write_callback};
  EXPECT_NE(fetch(server_.url("/cut"), &counted), CURLE_OK);
  EXPECT_EQ(seen, (std::vector<std::string>{"1|<null>||", "2|<null>||"}));
  EXPECT_EQ(brindle_curl_array_parse_finish(&adapter), BRINDLE_INTERNAL_ERROR);
  EXPECT_STREQ(adapter.error.message, "push array stream blocked at EOF");
  brindle_curl_array_parse_cleanup(&adapter);
  brindle_cleanup(&kItemMap, &item);
}

}  // namespace
