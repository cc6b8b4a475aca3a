// At-least-once delivery under faults: two consumers of three workers each handle a queue of
// distinct messages while handlers fail, close early, read partially or run long, and the test
// drops and stalls streams, flips the server passive and restarts the TLS front. In the end every
// message was acked exactly once and the queue is empty.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "consumer_fixture.h"
#include "devserver/dev_certs.h"
#include "devserver/nghttpx.h"
#include "support/http_client.h"

namespace {

using consumer_test::Error;
using stavo::test::Fault;
using namespace std::chrono_literals;

// Sanitizer builds run several times slower and a request through the TLS front can take
// seconds on a loaded machine: they soak fewer messages (150 under ThreadSanitizer, 200 under
// AddressSanitizer), run the virtual clock only four times as fast as real time (a lease must
// outlast several requests) and give every request more time. Each handler that closes its
// message early parks its worker until the lease runs out, so large runs close fewer.
#if defined(__SANITIZE_THREAD__)
constexpr int kMessages = 150;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kMessages = 200;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kClockStep = 200ms;     // per 50 ms tick: a 30 s lease lasts 7.5 s
constexpr auto kQuietBeforeJump = 2s;  // longer than a slow request
constexpr int64_t kTimeoutMs = 8000;
constexpr auto kFaultRound = 750ms;
constexpr int kHoldEvery = 75;      // handlers that outlive their first lease
constexpr int kLargeEvery = 10;     // payloads larger than the pipe
constexpr int kClosePerMille = 30;  // handlers that close their message early
#else
constexpr int kMessages = 5000;
constexpr auto kClockStep = 1000ms;  // per 50 ms tick: a 30 s lease lasts 1.5 s
constexpr auto kQuietBeforeJump = 1s;
constexpr int64_t kTimeoutMs = 4000;
constexpr auto kFaultRound = 400ms;
constexpr int kHoldEvery = 500;
constexpr int kLargeEvery = 50;
constexpr int kClosePerMille = 5;
#endif
constexpr int64_t kVisibilitySeconds = 30;
constexpr const char *kQueue = "soak";
constexpr const char *kSubscribe = "/v1/queue/subscribe";

bool queue_is_empty(stavo::test::DevServer &server) {
  const auto reply = stavo::test::http_get(server.http_url() + "/_dev/queue?queue=" + kQueue +
                                           "&namespace=default");
  return reply.status == 200 && reply.body.find("\"messages\":[]") != std::string::npos;
}

size_t thread_count() {
  size_t count = 0;
  if (DIR *dir = opendir("/proc/self/task")) {
    while (const dirent *entry = readdir(dir))
      count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
  }
  return count;
}

std::string payload_of(int index) {
  std::string payload = "msg-" + std::to_string(index) + ":";
  // Mostly small, a few larger than the pipe so that writers block on slow readers.
  const size_t size = index % kLargeEvery == 0 ? 150000 + index : 100 + (index * 37) % 2000;
  for (size_t i = payload.size(); i < size; ++i)
    payload.push_back(static_cast<char>('a' + (i + index) % 26));
  return payload;
}

struct Ledger {
  std::mutex mutex;
  std::map<std::string, int> acked;  // payload id -> successful acks
  std::map<std::string, int> handled;
  // Acks that failed: when the answer was lost on the way back (a restarted front, a cut
  // connection) the server may have removed the message all the same, so it never comes back.
  std::set<std::string> ack_failed;
  int corrupt = 0;
  std::atomic<int> successes{0};
  std::atomic<uint64_t> activity{0};  // handler starts and ends, watched by the soak clock
  std::atomic<int> holding{0};        // handlers waiting to outlive their lease
  std::atomic<int> held_and_acked{0};
  stavo::test::DevServer *server = nullptr;
};

// Counts a handler's start and end as activity.
struct Activity {
  explicit Activity(Ledger &ledger) : ledger_(ledger) { ++ledger_.activity; }
  ~Activity() { ++ledger_.activity; }
  Activity(const Activity &) = delete;
  Activity &operator=(const Activity &) = delete;

 private:
  Ledger &ledger_;
};

// Waits until the virtual clock has passed the message's first lease, which only the automatic
// extend keeps alive meanwhile (bounded in real time).
void outlive_lease(Ledger &ledger, const sv_message *message) {
  const int64_t until_ms = (message->lease_expires_at_unix + 2) * 1000;
  const auto limit = std::chrono::steady_clock::now() + 60s;
  ++ledger.holding;
  while (ledger.server->now_ms() < until_ms && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(10ms);
  --ledger.holding;
}

// The soak's virtual clock: it runs at a steady multiple of real time, slow enough that a lease
// outlasts several requests even under a sanitizer on a loaded machine, and it jumps past every
// lease once no handler started or ended for a while, so that deliveries stranded by a closed
// message or a broken stream come back without a long wait.
class SoakClock {
 public:
  SoakClock(stavo::test::DevServer &server, Ledger &ledger) {
    thread_ = std::thread([this, &server, &ledger] {
      uint64_t seen = ledger.activity.load();
      auto quiet_since = std::chrono::steady_clock::now();
      std::unique_lock<std::mutex> lock(mutex_);
      while (!changed_.wait_for(lock, 50ms, [this] { return stop_; })) {
        server.advance_clock(std::chrono::duration_cast<std::chrono::milliseconds>(kClockStep));
        const auto now = std::chrono::steady_clock::now();
        const uint64_t activity = ledger.activity.load();
        if (activity != seen || ledger.holding.load() > 0) {
          seen = activity;
          quiet_since = now;
        } else if (now - quiet_since >= kQuietBeforeJump) {
          server.advance_clock(std::chrono::seconds(kVisibilitySeconds + 1));
          ++jumps_;
          quiet_since = now;
        }
      }
    });
  }
  ~SoakClock() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    thread_.join();
  }
  SoakClock(const SoakClock &) = delete;
  SoakClock &operator=(const SoakClock &) = delete;
  int jumps() const { return jumps_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::atomic<int> jumps_{0};
  std::thread thread_;
};

int soak_handler(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
  auto *ledger = static_cast<Ledger *>(context);
  const Activity activity(*ledger);
  thread_local std::mt19937 random(std::random_device{}());
  const int roll = static_cast<int>(random() % 1000);
  sv_message *message = delivery->message;
  int status = 0;
  if (roll < 100) {  // fails: the service nacks
    consumer_test::read_payload(message, nullptr, 50);
    sv_error_set(error, SV_ERR_TRANSPORT, 0, "soak handler failed", nullptr, nullptr, nullptr);
    return 1;
  }
  if (roll < 100 + kClosePerMille) {  // closes early: back after its visibility
    consumer_test::read_payload(message, nullptr, 10);
    sv_message_close(message);
    return 0;
  }
  std::string payload;
  if (roll < 330) {
    payload = consumer_test::read_payload(message, &status, 64);  // the rest is dropped
  } else {
    payload = consumer_test::read_payload(message, &status);
    if (roll < 380) std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 40));
  }
  if (status != 0) return status;  // the stream broke under the payload
  const std::string id = payload.substr(0, payload.find(':'));
  const int index = std::atoi(id.c_str() + 4);
  const std::string expected = payload_of(index);
  const bool hold = index % kHoldEvery == 7 && message->attempts == 1;
  if (hold) outlive_lease(*ledger, message);
  Error ack;
  const int acked = sv_message_ack(message, ack.get());
  const std::lock_guard<std::mutex> lock(ledger->mutex);
  ++ledger->handled[id];
  if (expected.compare(0, payload.size(), payload) != 0 ||
      (roll >= 330 && payload.size() != expected.size())) {
    ++ledger->corrupt;
  }
  if (acked == SV_OK) {
    ++ledger->acked[id];
    ++ledger->successes;
    if (hold) ++ledger->held_and_acked;
  } else {
    ledger->ack_failed.insert(id);
  }
  return 0;
}

// The TLS front that the test restarts on the same port.
class Front {
 public:
  Front(int backend_port, const std::string &work_dir) {
    certs_ = stavo::devserver::ensure_dev_certs(work_dir + "/certs");
    options_.backend_port = backend_port;
    options_.tls = true;
    options_.cert_dir = certs_.dir;
    options_.work_dir = work_dir;
    start();
    options_.tls_port = proxy_->tls_port();
  }
  void restart() {
    proxy_->stop();
    std::this_thread::sleep_for(100ms);
    start();
  }
  std::string url() const { return "https://localhost:" + std::to_string(proxy_->tls_port()); }
  std::string bundle() const { return certs_.client_bundle(); }

 private:
  void start() {
    proxy_ = std::make_unique<stavo::devserver::Nghttpx>(options_);
    proxy_->start();
  }
  stavo::devserver::DevCerts certs_;
  stavo::devserver::NghttpxOptions options_;
  std::unique_ptr<stavo::devserver::Nghttpx> proxy_;
};

// Enqueues every stride-th message from first over plain HTTP, straight to the server.
bool enqueue_messages(const std::string &url, int first, int stride) {
  const char *endpoints[] = {url.c_str()};
  sv_engine_client_config config;
  sv_engine_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  sv_engine_client *enqueuer = nullptr;
  sv_engine_error error;
  sv_engine_error_init(&error);
  bool ok = sv_engine_client_open(&config, &enqueuer, &error) == SV_OK;
  for (int i = first; ok && i < kMessages; i += stride) {
    const std::string payload = payload_of(i);
    struct Reader {
      const std::string *bytes;
      size_t at;
    } reader{&payload, 0};
    sv_engine_enqueue_request request{};
    request.queue = kQueue;
    request.visibility_timeout_seconds = kVisibilitySeconds;
    request.max_attempts = 1000;
    // The server refuses while the test flips it passive; a refused message was not stored.
    int status = SV_ERR_SERVER;
    for (int attempt = 0; status != SV_OK && attempt < 100; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(20ms);
      reader.at = 0;
      sv_engine_enqueue_response response{};
      status = sv_engine_client_enqueue_from(
          enqueuer, &request,
          [](void *context, char *buffer, size_t capacity, sv_engine_error *) -> size_t {
            auto *r = static_cast<Reader *>(context);
            const size_t count = std::min(capacity, r->bytes->size() - r->at);
            std::memcpy(buffer, r->bytes->data() + r->at, count);
            r->at += count;
            return count;
          },
          &reader, &response, &error);
      sv_engine_enqueue_response_cleanup(&response);
    }
    ok = status == SV_OK;
    if (!ok) std::printf("enqueue failed: %s\n", error.message != nullptr ? error.message : "");
  }
  sv_engine_error_reset(&error);
  sv_engine_client_close(enqueuer);
  return ok;
}

TEST(ConsumerSoak, EveryMessageIsAckedExactlyOnceUnderFaults) {
  stavo::test::DevServer server;
  char pattern[] = "/tmp/stavo-soak-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string work_dir = pattern;
  auto front = std::make_unique<Front>(server.http_port(), work_dir);

  const auto setup = std::chrono::steady_clock::now();
  const std::string url = front->url();
  const std::string bundle = front->bundle();
  const char *endpoints[] = {url.c_str()};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.client_bundle_path = bundle.c_str();
  config.timeout_ms = kTimeoutMs;
  config.stream_idle_timeout_ms = kTimeoutMs;  // ends stalled streams
  // Acks and extends skip the TLS handshake; the front's restarts drop the pooled connections.
  config.reuse_connections = 1;
  sv_client *client = nullptr;
  Error error;
  ASSERT_EQ(sv_client_open(&config, &client, error.get()), SV_OK) << error.message();

  const size_t threads_before = thread_count();
  Ledger ledger;
  ledger.server = &server;
  std::vector<sv_consumer_config> consumers;
  for (const char *name : {"soak-a", "soak-b"}) {
    sv_consumer_config consumer = consumer_test::consumer_for(kQueue, soak_handler, &ledger);
    consumer.name = name;
    consumer.workers = 3;
    consumer.restart_policy.initial_delay_ms = 10;
    consumer.restart_policy.max_delay_ms = 200;
    consumer.restart_policy.jitter_ms = 5;
    consumers.push_back(consumer);
  }
  {
    auto service = consumer_test::make_service(client, consumers);
    ASSERT_NE(service, nullptr);
    sv_consumer_service_set_clock(
        service.get(),
        ConsumerClock{[](void *context) -> int64_t {
                        return static_cast<stavo::test::DevServer *>(context)->now_ms();
                      },
                      &server});
    const SoakClock clock(server, ledger);
    ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
    // The queue fills while the consumers already take from it.
    std::atomic<int> enqueued{0};
    std::vector<std::thread> enqueuers;
    for (int first = 0; first < 2; ++first) {
      enqueuers.emplace_back([&, first] {
        if (enqueue_messages(server.http_url(), first, 2)) ++enqueued;
      });
    }

    // Done when every message was acked or its ack's outcome is unknown, and the server's queue
    // is empty (a refused ack leaves the message there until another delivery acks it).
    const auto finished = [&] {
      {
        const std::lock_guard<std::mutex> lock(ledger.mutex);
        std::set<std::string> seen = ledger.ack_failed;
        for (const auto &entry : ledger.acked)
          seen.insert(entry.first);
        if (seen.size() < static_cast<size_t>(kMessages)) return false;
      }
      return queue_is_empty(server);
    };
    const auto began = std::chrono::steady_clock::now();
    const auto deadline = began + 100s;
    int round = 0;
    while (!finished() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kFaultRound);
      const int cycle = round / 10;
      switch (round++ % 10) {
        case 0:
          // Cut right after a meta part, so inside the multipart framing of its message.
          server.add_fault(Fault::stream_cut_after_parts(kSubscribe, 3).repeat(2));
          break;
        case 2: {
          // Cut anywhere: inside a meta part, a payload or between them.
          Fault cut;
          cut.method = "POST";
          cut.path = kSubscribe;
          cut.close_after_bytes = 500 + static_cast<size_t>(round) * 7919 % 200000;
          server.add_fault(cut);
          break;
        }
        case 4:
          // A stalled stream holds its worker until the idle bound: every other cycle.
          if (cycle % 2 == 0) server.add_fault(Fault::stream_stall_after_parts(kSubscribe, 3));
          break;
        case 6:
          server.set_passive(true);
          std::this_thread::sleep_for(150ms);
          server.set_passive(false);
          break;
        case 8:
          if (cycle < 5) front->restart();
          break;
        default:
          break;
      }
    }
    for (std::thread &enqueuer : enqueuers)
      enqueuer.join();
    EXPECT_EQ(enqueued.load(), 2) << "every message was enqueued";
    server.clear_faults();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    {
      const std::lock_guard<std::mutex> lock(ledger.mutex);
      std::printf(
          "soak: started in %.1f s; %d messages in %.1f s, %d acks, %zu acks failed, %d held past "
          "a lease and acked, %d clock jumps\n",
          std::chrono::duration<double>(began - setup).count(), kMessages, seconds,
          ledger.successes.load(), ledger.ack_failed.size(), ledger.held_and_acked.load(),
          clock.jumps());
    }
    sv_consumer_service_stop(service.get());
    EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  }
  // The dev server's connection threads wind down on their own; ours are joined by now.
  const auto settle = std::chrono::steady_clock::now() + 5s;
  while (thread_count() > threads_before && std::chrono::steady_clock::now() < settle) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_LE(thread_count(), threads_before) << "every worker, handler and extender was joined";
  sv_client_close(client);

  // Every message was acked once, or its one ack's answer was lost after the server took it.
  for (int i = 0; i < kMessages; ++i) {
    const std::string id = "msg-" + std::to_string(i);
    const auto acked = ledger.acked.find(id);
    if (acked == ledger.acked.end()) {
      EXPECT_EQ(ledger.ack_failed.count(id), 1u) << id << " was lost";
    } else {
      EXPECT_EQ(acked->second, 1) << id << " acked twice";
    }
  }
  EXPECT_GE(ledger.successes.load(), kMessages - static_cast<int>(ledger.ack_failed.size()));
  EXPECT_EQ(ledger.corrupt, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Ten handlers outlive their first lease; the automatic extend keeps most of them acking (a
  // sanitizer build holds too few to expect it of them).
  EXPECT_GE(ledger.held_and_acked.load(), 1);
#endif
  const auto reply = stavo::test::http_get(server.http_url() + "/_dev/queue?queue=" + kQueue +
                                           "&namespace=default");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find("\"messages\":[]"), std::string::npos) << reply.body.substr(0, 400);
  EXPECT_NE(reply.body.find("\"dead_letters\":[]"), std::string::npos);
  front.reset();
  std::filesystem::remove_all(work_dir);
  std::printf("soak: %.1f s in all\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - setup).count());
}

}  // namespace
