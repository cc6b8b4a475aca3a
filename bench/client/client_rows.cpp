#include "client_rows.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "peer.h"
#include "stavoc.h"

namespace stavoc_bench {

namespace {

std::atomic<int> failures{0};
constexpr size_t kDocumentSize = 1024;

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A JSON document of exactly kDocumentSize bytes.
std::string document_1k() {
  std::string text = R"({"data":")";
  text.append(kDocumentSize - text.size() - 2, 'x');
  return text + "\"}";
}

// ---- Our client ---------------------------------------------------------------------------

struct StringSource {
  sv_source base{};
  const std::string *text = nullptr;
  size_t position = 0;
  explicit StringSource(const std::string &bytes) : text(&bytes) {
    base.read = [](sv_source *source, char *buffer, size_t capacity, sv_error *) -> size_t {
      auto *self = reinterpret_cast<StringSource *>(source);
      const size_t count = std::min(capacity, self->text->size() - self->position);
      std::memcpy(buffer, self->text->data() + self->position, count);
      self->position += count;
      return count;
    };
    base.reset = [](sv_source *source, sv_error *) -> int {
      reinterpret_cast<StringSource *>(source)->position = 0;
      return SV_OK;
    };
    base.close = [](sv_source *) {};
  }
};

struct StringSink {
  sv_sink base{};
  std::string data;
  StringSink() {
    base.write = [](sv_sink *sink, const char *bytes, size_t length, sv_error *) {
      reinterpret_cast<StringSink *>(sink)->data.append(bytes, length);
      return 1;
    };
    base.close = [](sv_sink *) {};
  }
};

struct Error {
  sv_error record{};
  Error() { sv_error_init(&record); }
  ~Error() { sv_error_cleanup(&record); }
  std::string text() const { return record.message != nullptr ? record.message : "(no message)"; }
};

struct Lease {
  std::string key;
  std::string lease_id;
  std::string txn_id;
  int64_t fencing_token = 0;
};

class Ours {
 public:
  Ours(const ServerProcess &server, bool tls, bool reuse) {
    endpoint_ = tls ? server.https_url : server.http_url;
    const char *endpoints[] = {endpoint_.c_str()};
    sv_client_config config;
    sv_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.reuse_connections = reuse ? 1 : 0;
    if (tls) {
      config.client_bundle_path = server.bundle_path.c_str();
    } else {
      config.disable_mtls = 1;
    }
    Error error;
    if (sv_client_open(&config, &client_, &error.record) != SV_OK) open_error_ = error.text();
  }
  ~Ours() { sv_client_close(client_); }
  Ours(const Ours &) = delete;
  Ours &operator=(const Ours &) = delete;
  bool ok(std::string &why) const {
    if (client_ == nullptr) why = "client open failed: " + open_error_;
    return client_ != nullptr;
  }

  bool acquire(const std::string &key, Lease *held, std::string &why, bool release = true) {
    Error error;
    sv_acquire_req req;
    sv_acquire_req_init(&req);
    req.key = key.c_str();
    req.owner = "bench";
    req.ttl_seconds = 3600;
    sv_lease *lease = nullptr;
    if (sv_acquire(client_, &req, &lease, &error.record) != SV_OK) {
      why = "acquire: " + error.text();
      return false;
    }
    if (held != nullptr) *held = Lease{key, lease->lease_id, lease->txn_id, lease->fencing_token};
    if (!release) {
      sv_lease_close(lease);
      return true;
    }
    sv_release_req release_req;
    sv_release_req_init(&release_req);
    if (sv_lease_release(lease, &release_req, &error.record) != SV_OK) {
      why = "release: " + error.text();
      sv_lease_close(lease);  // a failed release leaves the handle open
      return false;
    }
    return true;  // released: the handle is gone
  }

  bool release(const Lease &lease, std::string &why) {
    Error error;
    sv_release_op op;
    sv_release_op_init(&op);
    op.key = lease.key.c_str();
    op.lease_id = lease.lease_id.c_str();
    op.txn_id = lease.txn_id.c_str();
    op.fencing_token = lease.fencing_token;
    sv_release_res res{};
    const int status = sv_release(client_, &op, &res, &error.record);
    sv_release_res_cleanup(&res);
    if (status != SV_OK) why = "release: " + error.text();
    return status == SV_OK;
  }

  bool get(const std::string &key, std::string &out, std::string &why) {
    Error error;
    sv_get_opts opts;
    sv_get_opts_init(&opts);
    opts.public_read = 1;
    sink_.data.clear();
    sv_get_res res{};
    const int status = sv_get(client_, key.c_str(), &opts, &sink_.base, &res, &error.record);
    sv_get_res_cleanup(&res);
    if (status != SV_OK) {
      why = "get: " + error.text();
      return false;
    }
    out.swap(sink_.data);
    return true;
  }

  bool update(const Lease &lease, const std::string &document, int64_t *version, std::string &why) {
    Error error;
    sv_update_req req;
    sv_update_req_init(&req);
    req.key = lease.key.c_str();
    req.lease_id = lease.lease_id.c_str();
    req.txn_id = lease.txn_id.c_str();
    req.fencing_token = lease.fencing_token;
    StringSource source(document);
    sv_update_res res{};
    const int status = sv_update(client_, &req, &source.base, &res, &error.record);
    if (version != nullptr) *version = res.new_version;
    sv_update_res_cleanup(&res);
    if (status != SV_OK) why = "update: " + error.text();
    return status == SV_OK;
  }

 private:
  std::string endpoint_;
  sv_client *client_ = nullptr;
  std::string open_error_;
  StringSink sink_;
};

// ---- The peer's requests, taken from what our client sent -------------------------------------

// Placeholders for the values that differ between calls.
constexpr const char *kKey = "{KEY}";
constexpr const char *kLease = "{LEASE}";
constexpr const char *kTxn = "{TXN}";
constexpr const char *kFence = "{FENCE}";

struct Templates {
  PeerRequest acquire;
  PeerRequest release;
  PeerRequest get;
  PeerRequest update;
};

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

// The dev server's request log (plain HTTP control path).
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

bool is_transport_header(const std::string &name) {
  std::string lower;
  for (const char c : name)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  // Transfer-Encoding and Expect stay: with them libcurl sends the peer's body chunked after a
  // 100 Continue, as the client's streamed body goes.
  return lower == "host" || lower == "content-length";
}

PeerRequest request_of(const nlohmann::json &entry, const Lease &lease) {
  PeerRequest request;
  request.method = entry.value("method", "");
  request.target = entry.value("target", "");
  for (const auto &pair : entry["headers"]) {
    const std::string name = pair[0].get<std::string>();
    if (is_transport_header(name)) continue;
    std::string value = pair[1].get<std::string>();
    if (name == "X-Fencing-Token") value = kFence;
    request.headers.push_back(name + ": " + value);
  }
  request.body = base64_decode(entry.value("body_base64", ""));
  std::vector<std::pair<std::string, std::string>> placeholders;
  if (!lease.lease_id.empty()) placeholders.emplace_back(lease.lease_id, kLease);
  if (!lease.txn_id.empty()) placeholders.emplace_back(lease.txn_id, kTxn);
  placeholders.emplace_back(lease.key, kKey);
  return substitute(request, placeholders);
}

PeerRequest fill(const PeerRequest &request, const Lease &lease) {
  return substitute(request, {{kKey, lease.key},
                              {kLease, lease.lease_id},
                              {kTxn, lease.txn_id},
                              {kFence, std::to_string(lease.fencing_token)}});
}

std::string header_names(const nlohmann::json &entry) {
  std::string names;
  for (const auto &pair : entry["headers"])
    names += pair[0].get<std::string>() + ",";
  return names;
}

// ---- The peer's operations ---------------------------------------------------------------------

class PeerClient {
 public:
  PeerClient(const ServerProcess &server, const Templates &templates, const PeerTls *tls,
             bool reuse)
      : peer_(tls != nullptr ? server.https_url : server.http_url, tls, reuse),
        templates_(templates) {}

  bool acquire(const std::string &key, Lease *held, std::string &why, bool release = true) {
    Lease lease{key, {}, {}, 0};
    if (!peer_.perform(fill(templates_.acquire, lease), answer_) || answer_.status != 200) {
      why = "peer acquire: " + std::to_string(answer_.status) + " " + answer_.body;
      return false;
    }
    lease.lease_id = json_member(answer_.body, "lease_id");
    lease.txn_id = json_member(answer_.body, "txn_id");
    lease.fencing_token = std::atoll(json_member(answer_.body, "fencing_token").c_str());
    if (held != nullptr) *held = lease;
    if (!release) return true;
    if (!peer_.perform(fill(templates_.release, lease), answer_) || answer_.status != 200) {
      why = "peer release: " + std::to_string(answer_.status) + " " + answer_.body;
      return false;
    }
    return true;
  }

  bool get(const std::string &key, std::string &out, std::string &why) {
    if (!peer_.perform(fill(templates_.get, Lease{key, {}, {}, 0}), answer_) ||
        answer_.status != 200) {
      why = "peer get: " + std::to_string(answer_.status) + " " + answer_.body;
      return false;
    }
    out.swap(answer_.body);
    return true;
  }

  bool update(const PeerRequest &filled, int64_t *version, std::string &why) {
    if (!peer_.perform(filled, answer_) || answer_.status != 200) {
      why = "peer update: " + std::to_string(answer_.status) + " " + answer_.body;
      return false;
    }
    if (version != nullptr) *version = std::atoll(json_member(answer_.body, "new_version").c_str());
    return true;
  }

 private:
  Peer peer_;
  const Templates &templates_;
  PeerAnswer answer_;
};

// ---- Fixtures and rows -------------------------------------------------------------------------

struct Fixture {
  std::string label;  // "http/per_call"
  std::unique_ptr<Ours> ours;
  std::unique_ptr<PeerClient> peer;
  Lease ours_update;
  Lease peer_update;
  PeerRequest peer_update_request;  // filled once: the lease does not change
};

struct State {
  const ServerProcess *server = nullptr;
  std::string document;
  PeerTls tls;
  Templates templates;
  std::vector<std::unique_ptr<Fixture>> fixtures;
};

State &state() {
  static State instance;
  return instance;
}

void fail(benchmark::State &st, const std::string &why) {
  ++failures;
  st.SkipWithError(why.c_str());
}

// Takes our client's four requests from the log and turns them into the peer's templates.
bool capture_templates(const ServerProcess &server, State &s, std::string &why) {
  Ours ours(server, false, false);
  if (!ours.ok(why)) return false;
  Lease seed;
  if (!ours.acquire("bench-get", &seed, why, false) ||
      !ours.update(seed, s.document, nullptr, why) || !ours.release(seed, why)) {
    return false;
  }
  Lease probe_update;
  if (!ours.acquire("bench-upd-ours", &probe_update, why, false)) return false;
  if (!clear_log(server)) {
    why = "cannot clear the request log";
    return false;
  }
  Lease probe;
  if (!ours.acquire("bench-ar-ours", &probe, why)) return false;
  std::string got;
  if (!ours.get("bench-get", got, why)) return false;
  if (!ours.update(probe_update, s.document, nullptr, why)) return false;
  nlohmann::json log;
  if (!fetch_log(server, log, why)) return false;
  if (log.size() != 4) {
    why = "expected 4 logged requests, found " + std::to_string(log.size());
    return false;
  }
  s.templates.acquire = request_of(log[0], Lease{"bench-ar-ours", {}, {}, 0});
  s.templates.release = request_of(log[1], probe);
  s.templates.get = request_of(log[2], Lease{"bench-get", {}, {}, 0});
  s.templates.update = request_of(log[3], probe_update);
  const char *expected[] = {"/v1/acquire", "/v1/release", "/v1/get", "/v1/update"};
  for (size_t i = 0; i < 4; ++i) {
    if (log[i].value("path", "") != expected[i]) {
      why = "unexpected request " + log[i].value("path", "") + " in the log";
      return false;
    }
  }
  return true;
}

// The peer, from its templates, must send what our client sent and get the same answers.
bool verify_peer(const ServerProcess &server, State &s, std::string &why) {
  nlohmann::json ours_log;
  if (!fetch_log(server, ours_log, why)) return false;
  if (!clear_log(server)) {
    why = "cannot clear the request log";
    return false;
  }
  PeerClient peer(server, s.templates, nullptr, false);
  Lease held;
  if (!peer.acquire("bench-upd-peer", &held, why, false)) return false;
  if (!clear_log(server)) return false;
  if (!peer.acquire("bench-ar-peer", nullptr, why)) return false;
  std::string got;
  if (!peer.get("bench-get", got, why)) return false;
  if (got != s.document) {
    why = "the peer read another document than was written";
    return false;
  }
  int64_t version = 0;
  if (!peer.update(fill(s.templates.update, held), &version, why)) return false;
  if (version <= 0) {
    why = "the peer's update reported no new version";
    return false;
  }
  nlohmann::json peer_log;
  if (!fetch_log(server, peer_log, why)) return false;
  if (peer_log.size() != 4) {
    why = "the peer sent " + std::to_string(peer_log.size()) + " requests instead of 4";
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    const auto &a = ours_log[i];
    const auto &b = peer_log[i];
    if (a.value("method", "") != b.value("method", "") ||
        a.value("path", "") != b.value("path", "") || header_names(a) != header_names(b) ||
        a.value("body_size", 0) != b.value("body_size", 0) || a.value("status", 0) != 200 ||
        b.value("status", 0) != 200) {
      why = "the peer's " + b.value("path", "") + " differs from the client's: headers " +
            header_names(b) + " vs " + header_names(a);
      return false;
    }
  }
  return true;
}

// Every fixture's clients answer correctly before anything is timed.
bool open_fixture(const ServerProcess &server, State &s, bool tls, bool reuse, std::string &why) {
  auto fixture = std::make_unique<Fixture>();
  const std::string t = tls ? "https" : "http";
  const std::string m = reuse ? "reuse" : "per_call";
  fixture->label = t + "/" + m;
  fixture->ours = std::make_unique<Ours>(server, tls, reuse);
  if (!fixture->ours->ok(why)) return false;
  fixture->peer = std::make_unique<PeerClient>(server, s.templates, tls ? &s.tls : nullptr, reuse);
  const std::string suffix = std::string(tls ? "s" : "p") + (reuse ? "r" : "c");
  if (!fixture->ours->acquire("upd-ours-" + suffix, &fixture->ours_update, why, false) ||
      !fixture->peer->acquire("upd-peer-" + suffix, &fixture->peer_update, why, false)) {
    why = fixture->label + ": " + why;
    return false;
  }
  fixture->peer_update_request = fill(s.templates.update, fixture->peer_update);
  std::string ours_doc, peer_doc;
  int64_t v1 = 0, v2 = 0;
  if (!fixture->ours->get("bench-get", ours_doc, why) ||
      !fixture->peer->get("bench-get", peer_doc, why) ||
      !fixture->ours->update(fixture->ours_update, s.document, &v1, why) ||
      !fixture->peer->update(fixture->peer_update_request, &v2, why)) {
    why = fixture->label + ": " + why;
    return false;
  }
  if (ours_doc != s.document || peer_doc != s.document || v1 <= 0 || v2 <= 0) {
    why = fixture->label + ": a check read the wrong document or version";
    return false;
  }
  s.fixtures.push_back(std::move(fixture));
  return true;
}

void register_rows(State &s) {
  for (const auto &owned : s.fixtures) {
    Fixture *f = owned.get();
    const std::string &doc = s.document;
    const std::string ar_ours = "ar-ours-" + f->label;
    const std::string ar_peer = "ar-peer-" + f->label;
    auto add = [](const std::string &name, auto body) {
      benchmark::RegisterBenchmark(name.c_str(), body)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    };
    add("acquire_release/" + f->label + "/stavoc", [f, ar_ours](benchmark::State &st) {
      std::string why;
      for (auto _ : st)
        if (!f->ours->acquire(ar_ours, nullptr, why)) return fail(st, why);
    });
    add("acquire_release/" + f->label + "/curl", [f, ar_peer](benchmark::State &st) {
      std::string why;
      for (auto _ : st)
        if (!f->peer->acquire(ar_peer, nullptr, why)) return fail(st, why);
    });
    add("get_1k/" + f->label + "/stavoc", [f](benchmark::State &st) {
      std::string why, out;
      for (auto _ : st)
        if (!f->ours->get("bench-get", out, why) || out.size() != kDocumentSize)
          return fail(st, why.empty() ? "wrong size" : why);
    });
    add("get_1k/" + f->label + "/curl", [f](benchmark::State &st) {
      std::string why, out;
      for (auto _ : st)
        if (!f->peer->get("bench-get", out, why) || out.size() != kDocumentSize)
          return fail(st, why.empty() ? "wrong size" : why);
    });
    add("update_1k/" + f->label + "/stavoc", [f, &doc](benchmark::State &st) {
      std::string why;
      for (auto _ : st)
        if (!f->ours->update(f->ours_update, doc, nullptr, why)) return fail(st, why);
    });
    add("update_1k/" + f->label + "/curl", [f](benchmark::State &st) {
      std::string why;
      for (auto _ : st)
        if (!f->peer->update(f->peer_update_request, nullptr, why)) return fail(st, why);
    });
  }
}

}  // namespace

bool prepare_client_rows(const ServerProcess &server, std::string &why) {
  State &s = state();
  s.server = &server;
  s.document = document_1k();
  s.tls.cert_pem = read_file(server.cert_path);
  s.tls.key_pem = read_file(server.key_path);
  s.tls.ca_pem = read_file(server.ca_path);
  if (s.tls.cert_pem.empty() || s.tls.key_pem.empty() || s.tls.ca_pem.empty()) {
    why = "cannot read the dev certificates";
    return false;
  }
  if (!capture_templates(server, s, why) || !verify_peer(server, s, why)) return false;
  for (const bool tls : {false, true}) {
    for (const bool reuse : {false, true}) {
      if (!open_fixture(server, s, tls, reuse, why)) return false;
    }
  }
  register_rows(s);
  return true;
}

int client_row_failures() {
  return failures.load();
}

}  // namespace stavoc_bench
