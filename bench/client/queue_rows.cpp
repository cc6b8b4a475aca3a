#include "queue_rows.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "peer.h"
#include "stavoc.h"

namespace stavoc_bench {

namespace {

std::atomic<int> failures{0};

constexpr size_t kPayloadSize = 1024;
// Timed dequeue_batch calls per row: the queue is filled for exactly this many beforehand, so
// that nothing but the dequeue is timed and every row leaves the server as loaded as the others.
constexpr int kBatchCalls = 60;
// Messages the consumer service handles per run.
constexpr int kConsumerMessages = 400;
constexpr const char *kQueue = "{QUEUE}";
constexpr const char *kMarker = "MSG:";

// 1 KiB payload starting with the marker, so that messages can be counted in a raw answer.
std::string payload_1k() {
  std::string text = kMarker;
  text.append(kPayloadSize - text.size(), 'q');
  return text;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

struct Error {
  sv_error record{};
  Error() { sv_error_init(&record); }
  ~Error() { sv_error_cleanup(&record); }
  std::string text() const { return record.message != nullptr ? record.message : "(no message)"; }
};

class Client {
 public:
  Client(const ServerProcess &server, bool reuse) {
    const char *endpoints[] = {server.http_url.c_str()};
    sv_client_config config;
    sv_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.reuse_connections = reuse ? 1 : 0;
    Error error;
    if (sv_client_open(&config, &client_, &error.record) != SV_OK) why_ = error.text();
  }
  ~Client() { sv_client_close(client_); }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;
  sv_client *get() const { return client_; }
  bool ok(std::string &why) const {
    if (client_ == nullptr) why = "client open failed: " + why_;
    return client_ != nullptr;
  }

  bool enqueue(const std::string &queue, const std::string &payload, std::string &why) {
    sv_enqueue_req req;
    sv_enqueue_req_init(&req);
    req.queue = queue.c_str();
    Error error;
    sv_source *source = nullptr;
    int status = sv_source_from_memory(payload.data(), payload.size(), &source, &error.record);
    sv_enqueue_res res{};
    if (status == SV_OK) status = sv_enqueue(client_, &req, source, &res, &error.record);
    sv_enqueue_res_cleanup(&res);
    sv_source_close(source);
    if (status != SV_OK) why = "enqueue: " + error.text();
    return status == SV_OK;
  }

  // One dequeue_batch; every payload is read to its end. Returns the messages received.
  int dequeue_batch(const std::string &queue, std::string &why) {
    sv_dequeue_req req;
    sv_dequeue_req_init(&req);
    req.queue = queue.c_str();
    req.owner = "bench";
    req.page_size = kBatchSize;
    req.visibility_timeout_seconds = 3600;
    Error error;
    sv_dequeue_batch_res batch{};
    int status = sv_dequeue_batch(client_, &req, &batch, &error.record);
    int received = 0;
    if (status == SV_OK) {
      for (size_t i = 0; i < batch.count; ++i) {
        uint64_t written = 0;
        sink_.clear();
        if (sv_message_write_payload(batch.items[i], sink_.get(), &written, &error.record) !=
                SV_OK ||
            written != kPayloadSize) {
          why = "dequeue_batch: a payload was not read whole";
          status = SV_ERR_PROTOCOL;
          break;
        }
        ++received;
      }
    } else {
      why = "dequeue_batch: " + error.text();
    }
    sv_dequeue_batch_cleanup(&batch);
    return status == SV_OK ? received : -1;
  }

 private:
  // A sink that only counts: the payload bytes are checked on the way through.
  class CountingSink {
   public:
    CountingSink() {
      base_.write = [](sv_sink *sink, const char *bytes, size_t length, sv_error *) -> int {
        auto *self = reinterpret_cast<CountingSink *>(sink);
        if (self->seen_ == 0 && (length < 4 || std::string(bytes, 4) != kMarker)) return 0;
        self->seen_ += length;
        return 1;
      };
      base_.close = [](sv_sink *) {};
    }
    sv_sink *get() { return &base_; }
    void clear() { seen_ = 0; }

   private:
    sv_sink base_{};  // first: the sink pointer converts to this object
    size_t seen_ = 0;
  };

  sv_client *client_ = nullptr;
  std::string why_;
  CountingSink sink_;
};

// ---- The peer's requests, taken from what the client sent ------------------------------------

bool fetch_log(const ServerProcess &server, nlohmann::json &log, std::string &why) {
  Peer control(server.http_url, nullptr, false);
  PeerAnswer answer;
  if (!control.perform({"GET", "/_dev/requests", {}, {}}, answer) || answer.status != 200) {
    why = "cannot read the request log: " + answer.body;
    return false;
  }
  log = nlohmann::json::parse(answer.body, nullptr, false);
  if (!log.is_array()) {
    why = "the request log is not a JSON array";
    return false;
  }
  return true;
}

bool clear_log(const ServerProcess &server) {
  Peer control(server.http_url, nullptr, false);
  PeerAnswer answer;
  return control.perform({"DELETE", "/_dev/requests", {}, {}}, answer) && answer.status == 200;
}

std::string base64_decode(const std::string &text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const size_t value = alphabet.find(c);
    if (value == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

// The logged request with the queue's name replaced by a placeholder.
bool template_of(const nlohmann::json &entry, const std::string &queue, PeerRequest &out,
                 std::string &why) {
  out = PeerRequest{};
  out.method = entry.value("method", "");
  out.target = entry.value("target", "");
  for (const auto &pair : entry["headers"]) {
    const std::string name = pair[0].get<std::string>();
    if (name == "Host" || name == "Content-Length") continue;
    out.headers.push_back(name + ": " + pair[1].get<std::string>());
  }
  out.body = base64_decode(entry.value("body_base64", ""));
  if (entry.value("body_size", 0u) != out.body.size()) {
    why = "the request log kept only part of " + entry.value("path", "");
    return false;
  }
  out = substitute(out, {{queue, kQueue}});
  return true;
}

struct Templates {
  PeerRequest enqueue;
  PeerRequest dequeue;
};

class PeerQueue {
 public:
  PeerQueue(const ServerProcess &server, const Templates &templates, bool reuse)
      : peer_(server.http_url, nullptr, reuse), templates_(templates) {}

  bool enqueue(const std::string &queue, std::string &why) {
    if (!peer_.perform(substitute(templates_.enqueue, {{kQueue, queue}}), answer_) ||
        answer_.status != 200) {
      why = "peer enqueue: " + std::to_string(answer_.status) + " " + answer_.body;
      return false;
    }
    return true;
  }
  // Returns the messages in the answer (payload markers), -1 on failure.
  int dequeue_batch(const PeerRequest &filled, std::string &why) {
    if (!peer_.perform(filled, answer_) || answer_.status != 200) {
      why = "peer dequeue_batch: " + std::to_string(answer_.status) + " " + answer_.body;
      return -1;
    }
    return static_cast<int>(count_of(answer_.body, kMarker));
  }
  PeerRequest dequeue_for(const std::string &queue) const {
    return substitute(templates_.dequeue, {{kQueue, queue}});
  }

 private:
  Peer peer_;
  const Templates &templates_;
  PeerAnswer answer_;
};

// ---- The consumer service ---------------------------------------------------------------------

struct Handled {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  int bad = 0;
};

int handle_message(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *handled = static_cast<Handled *>(context);
  char buffer[4096];
  size_t total = 0;
  sv_source *payload = sv_message_payload(delivery->message);
  sv_error error;
  sv_error_init(&error);
  for (size_t n;
       payload != nullptr && (n = payload->read(payload, buffer, sizeof buffer, &error)) > 0;)
    total += n;
  sv_error_cleanup(&error);
  const std::lock_guard<std::mutex> lock(handled->mutex);
  ++handled->count;
  if (total != kPayloadSize) ++handled->bad;
  handled->changed.notify_all();
  return SV_OK;  // the service acks
}

// Handles `messages` already enqueued on queue with `workers` workers; the seconds from start
// to the last handled message, or a negative number (with why).
double run_consumer(sv_client *client, const std::string &queue, size_t workers, int messages,
                    std::string &why) {
  Handled handled;
  sv_consumer_config consumer;
  sv_consumer_config_init(&consumer);
  consumer.request.queue = queue.c_str();
  consumer.request.page_size = 4;
  consumer.workers = workers;
  consumer.handle = handle_message;
  consumer.context = &handled;
  sv_consumer_service_config config;
  sv_consumer_service_config_init(&config);
  config.consumers = &consumer;
  config.consumer_count = 1;
  sv_consumer_service *service = nullptr;
  Error error;
  if (sv_client_new_consumer_service(client, &config, &service, &error.record) != SV_OK) {
    why = "consumer service: " + error.text();
    return -1;
  }
  const auto start = std::chrono::steady_clock::now();
  double seconds = -1;
  if (sv_consumer_service_start(service, &error.record) != SV_OK) {
    why = "consumer service start: " + error.text();
  } else {
    std::unique_lock<std::mutex> lock(handled.mutex);
    if (!handled.changed.wait_for(lock, std::chrono::seconds(120),
                                  [&] { return handled.count >= messages; })) {
      why = "the consumer service handled " + std::to_string(handled.count) + " of " +
            std::to_string(messages) + " messages";
    } else if (handled.bad > 0) {
      why = "the consumer service read a wrong payload";
    } else {
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  }
  sv_consumer_service_close(service);
  return seconds;
}

// ---- Preparation and rows ---------------------------------------------------------------------

struct State {
  const ServerProcess *server = nullptr;
  std::string payload;
  Templates templates;
  std::unique_ptr<PeerQueue> filler;  // fills queues before the timed rows
  std::unique_ptr<Client> ours[2];    // per call, reused
  std::unique_ptr<PeerQueue> peer[2];
};

State &state() {
  static State instance;
  return instance;
}

void fail(benchmark::State &st, const std::string &why) {
  ++failures;
  st.SkipWithError(why.c_str());
}

bool capture_templates(const ServerProcess &server, State &s, std::string &why) {
  Client ours(server, false);
  if (!ours.ok(why) || !ours.enqueue("bench-probe", s.payload, why)) return false;
  if (!clear_log(server)) {
    why = "cannot clear the request log";
    return false;
  }
  if (!ours.enqueue("bench-probe", s.payload, why)) return false;
  const int received = ours.dequeue_batch("bench-probe", why);
  if (received != 2) {
    why = "the probe dequeue_batch received " + std::to_string(received) + " of 2 messages " + why;
    return false;
  }
  nlohmann::json log;
  if (!fetch_log(server, log, why)) return false;
  if (log.size() != 2 || log[0].value("path", "") != "/v1/queue/enqueue" ||
      log[1].value("path", "") != "/v1/queue/dequeue") {
    why = "expected an enqueue and a dequeue in the request log";
    return false;
  }
  return template_of(log[0], "bench-probe", s.templates.enqueue, why) &&
         template_of(log[1], "bench-probe", s.templates.dequeue, why);
}

// The peer's requests reach the server as the client's did and read the same messages.
bool verify_peer(const ServerProcess &server, State &s, std::string &why) {
  nlohmann::json ours_log;
  if (!fetch_log(server, ours_log, why) || !clear_log(server)) return false;
  PeerQueue peer(server, s.templates, false);
  if (!peer.enqueue("bench-peerq", why) || !peer.enqueue("bench-peerq", why)) {
    return false;
  }
  const int received = peer.dequeue_batch(peer.dequeue_for("bench-peerq"), why);
  if (received != 2) {
    why = "the peer's dequeue_batch read " + std::to_string(received) + " of 2 messages " + why;
    return false;
  }
  nlohmann::json peer_log;
  if (!fetch_log(server, peer_log, why)) return false;
  const nlohmann::json *pairs[][2] = {{&ours_log[0], &peer_log[0]}, {&ours_log[1], &peer_log[2]}};
  for (const auto &pair : pairs) {
    const auto &a = *pair[0];
    const auto &b = *pair[1];
    if (a.value("path", "") != b.value("path", "") ||
        a.value("body_size", 0) != b.value("body_size", 0) || b.value("status", 0) != 200) {
      why = "the peer's " + b.value("path", "") + " (" + std::to_string(b.value("body_size", 0)) +
            " bytes, status " + std::to_string(b.value("status", 0)) +
            ") differs from the client's " + a.value("path", "") + " (" +
            std::to_string(a.value("body_size", 0)) + " bytes)";
      return false;
    }
  }
  return true;
}

// Fills queue with kBatchCalls batches before a dequeue_batch row.
bool fill(State &s, const std::string &queue, std::string &why) {
  for (int i = 0; i < kBatchCalls * kBatchSize; ++i)
    if (!s.filler->enqueue(queue, why)) return false;
  return true;
}

void register_rows(State &s) {
  auto add = [](const std::string &name, auto body) {
    return benchmark::RegisterBenchmark(name.c_str(), body)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  };
  for (const int reuse : {0, 1}) {
    const std::string mode = reuse != 0 ? "reuse" : "per_call";
    Client *ours = s.ours[reuse].get();
    PeerQueue *peer = s.peer[reuse].get();
    const std::string *payload = &s.payload;
    add("enqueue_1k/http/" + mode + "/stavoc", [ours, payload, mode](benchmark::State &st) {
      std::string why;
      const std::string queue = "bench-enq-ours-" + mode;
      for (auto _ : st)
        if (!ours->enqueue(queue, *payload, why)) return fail(st, why);
      st.SetItemsProcessed(st.iterations());
    });
    add("enqueue_1k/http/" + mode + "/curl", [peer, mode](benchmark::State &st) {
      std::string why;
      const std::string queue = "bench-enq-peer-" + mode;
      for (auto _ : st)
        if (!peer->enqueue(queue, why)) return fail(st, why);
      st.SetItemsProcessed(st.iterations());
    });
    State *shared = &s;
    add("dequeue_batch/http/" + mode + "/stavoc", [shared, ours, mode](benchmark::State &st) {
      std::string why;
      const std::string queue = "bench-deq-ours-" + mode;
      if (!fill(*shared, queue, why)) return fail(st, why);
      for (auto _ : st)
        if (ours->dequeue_batch(queue, why) != kBatchSize) return fail(st, "short batch " + why);
      st.SetItemsProcessed(st.iterations() * kBatchSize);
    })->Iterations(kBatchCalls);
    add("dequeue_batch/http/" + mode + "/curl", [shared, peer, mode](benchmark::State &st) {
      std::string why;
      const std::string queue = "bench-deq-peer-" + mode;
      const PeerRequest request = peer->dequeue_for(queue);
      if (!fill(*shared, queue, why)) return fail(st, why);
      for (auto _ : st)
        if (peer->dequeue_batch(request, why) != kBatchSize) return fail(st, "short batch " + why);
      st.SetItemsProcessed(st.iterations() * kBatchSize);
    })->Iterations(kBatchCalls);
  }
  for (const size_t workers : {size_t{1}, size_t{4}}) {
    State *shared = &s;
    const std::string name = "consumer/http/reuse/w" + std::to_string(workers);
    benchmark::RegisterBenchmark(
        name.c_str(),
        [shared, workers](benchmark::State &st) {
          std::string why;
          int run = 0;
          for (auto _ : st) {
            const std::string queue =
                "bench-consumer-w" + std::to_string(workers) + "-" + std::to_string(run++);
            for (int i = 0; i < kConsumerMessages; ++i)
              if (!shared->filler->enqueue(queue, why)) return fail(st, why);
            const double seconds =
                run_consumer(shared->ours[1]->get(), queue, workers, kConsumerMessages, why);
            if (seconds < 0) return fail(st, why);
            st.SetIterationTime(seconds);
          }
          st.SetItemsProcessed(st.iterations() * kConsumerMessages);
        })
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(2);
  }
}

}  // namespace

bool prepare_queue_rows(const ServerProcess &server, std::string &why) {
  State &s = state();
  s.server = &server;
  s.payload = payload_1k();
  if (!capture_templates(server, s, why) || !verify_peer(server, s, why)) return false;
  s.filler = std::make_unique<PeerQueue>(server, s.templates, true);
  for (const int reuse : {0, 1}) {
    s.ours[reuse] = std::make_unique<Client>(server, reuse != 0);
    if (!s.ours[reuse]->ok(why)) return false;
    s.peer[reuse] = std::make_unique<PeerQueue>(server, s.templates, reuse != 0);
  }
  register_rows(s);
  return true;
}

int queue_row_failures() {
  return failures.load();
}

}  // namespace stavoc_bench
