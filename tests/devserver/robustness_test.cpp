// The dev server against careless or hostile input: out-of-range durations, unknown fault members,
// a Unix socket path that holds someone's file, a missing nghttpx, held answers next to ordinary
// requests on the same key, and the one-line-per-request log.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>

#include "devserver/nghttpx.h"
#include "helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

void expect_invalid_duration(const HttpResponse &response, const std::string &field,
                             const std::string &what) {
  EXPECT_EQ(response.status, 400) << what << ": " << response.body;
  EXPECT_EQ(error_code(response), "invalid_duration") << what << ": " << response.body;
  EXPECT_NE(body_of(response).value("detail", "").find("'" + field + "'"), std::string::npos)
      << what << ": " << response.body;
}

TEST(DevServerDurations, OutOfRangeDurationsAreRefusedAndNothingOverflows) {
  DevServer dev;
  // The largest int64 once overflowed "now + ttl * 1000" into a lease that had already expired.
  expect_invalid_duration(acquire(dev, "k", {{"ttl_seconds", INT64_MAX}}), "ttl_seconds", "max");
  expect_invalid_duration(acquire(dev, "k", {{"ttl_seconds", INT64_MIN}}), "ttl_seconds", "min");
  expect_invalid_duration(http_post(dev.http_url() + "/v1/acquire",
                                    R"({"key":"k","ttl_seconds":18446744073709551615})"),
                          "ttl_seconds", "uint64 max");
  expect_invalid_duration(acquire(dev, "k", {{"ttl_seconds", 31536001}}), "ttl_seconds", "year+1");
  expect_invalid_duration(acquire(dev, "k", {{"ttl_seconds", 0}}), "ttl_seconds", "zero ttl");
  expect_invalid_duration(acquire(dev, "k", {{"ttl_seconds", 1.5}}), "ttl_seconds", "fraction");
  expect_invalid_duration(acquire(dev, "k", {{"block_seconds", INT64_MAX}}), "block_seconds",
                          "block max");
  expect_invalid_duration(acquire(dev, "k", {{"block_seconds", -2}}), "block_seconds", "block -2");
  EXPECT_FALSE(dev.state("k").lease.has_value());  // none of these granted anything

  // The bounds themselves are fine; a block of -1 means "do not wait", like 0.
  TestLease lease = must_acquire(dev, "k", {{"ttl_seconds", 31536000}});
  EXPECT_EQ(dev.state("k").lease->expires_at_ms, dev.now_ms() + 31536000000);
  HttpResponse busy = acquire(dev, "k", {{"block_seconds", -1}});
  EXPECT_EQ(error_code(busy), "lease_held");

  json keepalive = {{"key", "k"}, {"lease_id", lease.lease_id}, {"ttl_seconds", INT64_MAX}};
  HttpResponse kept = http_post(dev.http_url() + "/v1/keepalive", keepalive.dump(),
                                {{"Content-Type", "application/json"}, {"X-Fencing-Token", "1"}});
  expect_invalid_duration(kept, "ttl_seconds", "keepalive");
  EXPECT_EQ(dev.state("k").lease->expires_at_ms, dev.now_ms() + 31536000000);  // unchanged
}

TEST(DevServerDurations, DevControlsBoundTheirDurationsToo) {
  DevServer dev;
  std::string base = dev.http_url() + "/_dev";
  int64_t before = dev.now_ms();
  expect_invalid_duration(http_post(base + "/clock/advance", R"({"seconds":9223372036854775807})"),
                          "seconds", "clock seconds");
  expect_invalid_duration(http_post(base + "/clock/advance", R"({"ms":-1})"), "ms", "clock ms");
  EXPECT_EQ(dev.now_ms(), before);
  expect_invalid_duration(http_post(base + "/faults", R"({"delay_ms":9223372036854775807})"),
                          "delay_ms", "fault delay");
  expect_invalid_duration(http_post(base + "/faults", R"({"chunk_pause_ms":-5})"), "chunk_pause_ms",
                          "fault pause");
  EXPECT_EQ(dev.pending_faults(), 0u);
}

TEST(DevServerFaults, UnknownMembersAndWrongTypesAreRefusedNamingTheMember) {
  DevServer dev;
  std::string url = dev.http_url() + "/_dev/faults";
  struct Case {
    std::string body;
    std::string code;
    std::string field;
  } cases[] = {
      {R"({"path":"/v1/get","count":1})", "unknown_field", "count"},
      {R"({"path":"/v1/get","status":503,"Status":500})", "unknown_field", "Status"},
      {R"({"times":"2"})", "invalid_field", "times"},
      {R"({"times":0})", "invalid_field", "times"},
      {R"({"hold":1})", "invalid_field", "hold"},
      {R"({"status":99})", "invalid_field", "status"},
      {R"({"status":4294967496})", "invalid_field", "status"},
      {R"({"headers":[["X-A"]]})", "invalid_field", "headers"},
      {R"({"chunk_sizes":[0]})", "invalid_field", "chunk_sizes"},
      {R"({"close_after_bytes":-1})", "invalid_field", "close_after_bytes"},
  };
  for (const auto &c : cases) {
    HttpResponse response = http_post(url, c.body);
    EXPECT_EQ(response.status, 400) << c.body;
    EXPECT_EQ(error_code(response), c.code) << c.body;
    EXPECT_NE(body_of(response).value("detail", "").find("'" + c.field + "'"), std::string::npos)
        << c.body << ": " << response.body;
  }
  EXPECT_EQ(dev.pending_faults(), 0u);
  // Every documented member together is accepted.
  json all = {{"method", "GET"},
              {"path", "/v1/describe"},
              {"times", 2},
              {"status", 0},
              {"body", ""},
              {"headers", json::array({json::array({"X-A", "1"})})},
              {"delay_ms", 0},
              {"hold", false},
              {"chunk_sizes", {1, 2}},
              {"chunk_pause_ms", 0},
              {"chunked_encoding", true},
              {"close_after_bytes", nullptr},
              {"drop_connection", false}};
  HttpResponse accepted = http_post(url, all.dump());
  EXPECT_EQ(accepted.status, 200) << accepted.body;
  EXPECT_EQ(dev.pending_faults(), 1u);
}

TEST(DevServerFaults, AHeldOrDelayedAnswerHoldsNoLockOfItsKey) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");
  dev.add_fault(Fault::held("POST", "/v1/update"));
  auto held = std::async(std::launch::async, [&] { return update(dev, "k", lease, R"({"a":1})"); });
  ASSERT_TRUE(dev.wait_for_held(1));
  // While that answer waits, the same key serves reads and writes, and other keys are leased.
  HttpResponse mine = get_state(dev, "k", &lease);
  EXPECT_EQ(mine.status, 200);
  EXPECT_EQ(mine.body, R"({"a":1})");  // the held request itself was handled
  EXPECT_EQ(update(dev, "k", lease, R"({"a":2})").status, 200);
  EXPECT_EQ(http_get(dev.http_url() + "/v1/describe?key=k").status, 200);
  must_acquire(dev, "other");
  EXPECT_EQ(held.wait_for(0ms), std::future_status::timeout);
  dev.release_held();
  EXPECT_EQ(held.get().status, 200);

  dev.add_fault(Fault::delayed("GET", "/v1/get", 60s));
  HttpRequest slow;
  slow.url = dev.http_url() + "/v1/get?key=k";
  slow.headers = {{"X-Lease-ID", lease.lease_id}};
  slow.timeout_ms = 300;
  auto delayed = std::async(std::launch::async, [&] { return http_request(slow); });
  EXPECT_EQ(release(dev, "k", lease).status, 200);  // not stuck behind the delayed answer
  EXPECT_EQ(delayed.get().curl_code, 28);           // the client gave up on the delayed one
}

TEST(DevServerLog, EachLineCarriesStatusErrorCodeAndTimeTaken) {
  std::mutex mutex;
  std::vector<std::string> lines;
  devserver::ServerOptions options;
  options.access_logger = [&](const std::string &line) {
    std::lock_guard<std::mutex> guard(mutex);
    lines.push_back(line);
  };
  devserver::Server server(options);
  server.start();
  http_post(server.base_url() + "/v1/acquire", R"({"key":"k","ttl_seconds":5})");
  http_post(server.base_url() + "/v1/acquire", R"({"key":"k","ttl_seconds":5})");
  server.stop();
  std::lock_guard<std::mutex> guard(mutex);
  ASSERT_EQ(lines.size(), 2u);
  std::regex ok(R"(^POST /v1/acquire 200 \d+\.\d{3}ms$)");
  std::regex refused(R"(^POST /v1/acquire 409 lease_held \d+\.\d{3}ms$)");
  EXPECT_TRUE(std::regex_match(lines[0], ok)) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], refused)) << lines[1];
}

class UnixSocketPath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("stavo-socket-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    server_.start();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  devserver::NghttpxOptions options(const std::string &path) {
    devserver::NghttpxOptions out;
    out.backend_port = server_.port();
    out.tls = false;
    out.unix_socket = path;
    return out;
  }

  std::filesystem::path dir_;
  devserver::Server server_;
};

TEST_F(UnixSocketPath, ARegularFileIsRefusedAndKept) {
  std::string path = (dir_ / "precious.txt").string();
  std::ofstream(path) << "do not lose me";
  devserver::Nghttpx proxy(options(path));
  try {
    proxy.start();
    FAIL() << "started on a regular file";
  } catch (const std::runtime_error &e) {
    EXPECT_NE(std::string(e.what()).find("not a socket"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  proxy.stop();
  std::string content;
  std::getline(std::ifstream(path), content);
  EXPECT_EQ(content, "do not lose me");
}

TEST_F(UnixSocketPath, AStaleSocketIsReplacedAndALiveOneRefused) {
  std::string path = (dir_ / "devserver.sock").string();
  {
    // A socket file nobody listens on any more.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
  }
  devserver::Nghttpx proxy(options(path));
  ASSERT_NO_THROW(proxy.start());
  HttpRequest request;
  request.url = "http://localhost/v1/describe?key=none";
  request.unix_socket = path;
  EXPECT_EQ(http_request(request).status, 404);

  devserver::Nghttpx second(options(path));
  EXPECT_THROW(second.start(), std::runtime_error);  // the first one still serves there
  EXPECT_EQ(http_request(request).status, 404);
  proxy.stop();
  EXPECT_FALSE(std::filesystem::exists(path));  // its own socket goes with it
}

TEST_F(UnixSocketPath, AMissingNghttpxIsReportedWithTheReason) {
  devserver::NghttpxOptions missing = options((dir_ / "s.sock").string());
  missing.binary = (dir_ / "no-such-nghttpx").string();
  devserver::Nghttpx proxy(missing);
  try {
    proxy.start();
    FAIL() << "started a missing binary";
  } catch (const std::runtime_error &e) {
    std::string text = e.what();
    EXPECT_NE(text.find(missing.binary), std::string::npos) << text;
    EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace stavo::test
