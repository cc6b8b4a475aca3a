// The version rule as a lease holder meets it: every answer reports the key's latest state (the
// lease's staged writes included), every write checks its X-If-Version against that same state,
// and only public reads see the committed bytes and version. A holder that refreshes its view from
// each answer and sends the view's version with each write never meets a spurious conflict.
#include "helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

// What a lease handle keeps: its lease and the last version and state ETag it was told.
struct HolderView {
  const DevServer &dev;
  std::string key;
  TestLease lease;
  int64_t version = 0;
  std::string etag;  // empty: no state

  std::string query() const { return "?key=" + key + "&namespace=default"; }
  HeaderList guarded(bool with_precondition) const {
    HeaderList headers = {{"Content-Type", "application/json"}};
    for (auto &header : lease.headers())
      headers.push_back(header);
    if (with_precondition) headers.emplace_back("X-If-Version", std::to_string(version));
    return headers;
  }
  // Refreshes the view from a JSON answer's members.
  void take(const json &body, const char *version_member, const char *etag_member) {
    ASSERT_TRUE(body.contains(version_member)) << body.dump();
    version = body[version_member].get<int64_t>();
    etag = body.value(etag_member, "");
  }

  HttpResponse save(const std::string &doc) {
    HttpResponse response = http_post(dev.http_url() + "/v1/update" + query(), doc, guarded(true));
    if (response.status == 200) take(body_of(response), "new_version", "new_state_etag");
    return response;
  }
  HttpResponse mutate(const std::string &expression) {
    json body = {{"mutations", {expression}}};
    HttpResponse response =
        http_post(dev.http_url() + "/v1/mutate" + query(), body.dump(), guarded(true));
    if (response.status == 200) take(body_of(response), "new_version", "new_state_etag");
    return response;
  }
  HttpResponse metadata(bool hidden) {
    json body = {{"query_hidden", hidden}};
    HttpResponse response =
        http_post(dev.http_url() + "/v1/metadata" + query(), body.dump(), guarded(true));
    if (response.status == 200) version = body_of(response)["version"].get<int64_t>();
    return response;
  }
  HttpResponse remove() {
    HttpResponse response = http_post(dev.http_url() + "/v1/remove" + query(), "", guarded(true));
    if (response.status == 200) {
      version = body_of(response)["new_version"].get<int64_t>();
      etag.clear();
    }
    return response;
  }
  HttpResponse get() {
    HttpResponse response = http_get(dev.http_url() + "/v1/get" + query(), guarded(false));
    if (response.status == 200 || response.status == 204) {
      version = std::stoll(response.header("X-Key-Version").value_or("-1"));
      std::string quoted = response.header("ETag").value_or("");
      etag = quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : "";
    }
    return response;
  }
  HttpResponse keepalive() {
    json body = {
        {"namespace", "default"}, {"key", key}, {"lease_id", lease.lease_id}, {"ttl_seconds", 30}};
    HttpResponse response =
        http_post(dev.http_url() + "/v1/keepalive", body.dump(), guarded(false));
    if (response.status == 200) take(body_of(response), "version", "state_etag");
    return response;
  }
  HttpResponse describe() {
    HttpResponse response = http_get(dev.http_url() + "/v1/describe" + query());
    if (response.status == 200) take(body_of(response), "version", "state_etag");
    return response;
  }
};

HolderView holder(const DevServer &dev, const std::string &key) {
  HolderView view{dev, key, must_acquire(dev, key), 0, ""};
  json described = body_of(http_get(dev.http_url() + "/v1/describe" + view.query()));
  view.version = described.value("version", int64_t{0});
  view.etag = described.value("state_etag", "");
  return view;
}

enum class Op { Save, Mutate, Metadata, Remove, Get, Keepalive, Describe };
constexpr Op kOps[] = {Op::Save, Op::Mutate,    Op::Metadata, Op::Remove,
                       Op::Get,  Op::Keepalive, Op::Describe};
const char *name(Op op) {
  switch (op) {
    case Op::Save:
      return "save";
    case Op::Mutate:
      return "mutate";
    case Op::Metadata:
      return "metadata";
    case Op::Remove:
      return "remove";
    case Op::Get:
      return "get";
    case Op::Keepalive:
      return "keepalive";
    case Op::Describe:
      return "describe";
  }
  return "?";
}

HttpResponse run(HolderView &view, Op op, int step) {
  switch (op) {
    case Op::Save:
      return view.save(R"({"step":)" + std::to_string(step) + "}");
    case Op::Mutate:
      return view.mutate("/step=" + std::to_string(step + 1));
    case Op::Metadata:
      return view.metadata(step % 2 == 0);
    case Op::Remove:
      return view.remove();
    case Op::Get:
      return view.get();
    case Op::Keepalive:
      return view.keepalive();
    case Op::Describe:
      return view.describe();
  }
  return {};
}

// Runs one sequence on a fresh key (seeded, so remove and get have something to act on) and
// checks each answer and, at the end, that the committed version is the view's.
void run_sequence(DevServer &dev, const std::vector<Op> &ops, int index) {
  std::string key = "seq-" + std::to_string(index);
  std::string label;
  for (Op op : ops)
    label += std::string(label.empty() ? "" : " -> ") + name(op);
  dev.seed_state(key, R"({"seeded":true})");
  HolderView view = holder(dev, key);
  for (size_t i = 0; i < ops.size(); ++i) {
    HttpResponse response = run(view, ops[i], static_cast<int>(i));
    ASSERT_TRUE(response.status == 200 || response.status == 204)
        << label << ": step " << i << " (" << name(ops[i]) << ") " << response.status << " "
        << response.body;
  }
  int64_t seen = view.version;
  ASSERT_EQ(release(dev, key, view.lease).status, 200) << label;
  KeyState committed = dev.state(key);
  EXPECT_EQ(committed.version, seen) << label;
  EXPECT_EQ(committed.has_state ? committed.state_etag : "", view.etag) << label;
}

TEST(DevServerVersions, EveryTwoAndThreeStepSequenceWithImplicitPreconditionsSucceeds) {
  DevServer dev;
  int index = 0;
  for (Op first : kOps) {
    for (Op second : kOps) {
      run_sequence(dev, {first, second}, index++);
      for (Op third : kOps)
        run_sequence(dev, {first, second, third}, index++);
    }
  }
  EXPECT_EQ(index, 7 * 7 + 7 * 7 * 7);
}

TEST(DevServerVersions, EachStagedWriteAdvancesTheVersionAndPublicReadsSeeTheCommittedOne) {
  DevServer dev;
  dev.seed_state("k", R"({"a":0})");  // committed version 1
  HolderView view = holder(dev, "k");
  ASSERT_EQ(view.version, 1);
  ASSERT_EQ(view.save(R"({"a":1})").status, 200);
  EXPECT_EQ(view.version, 2);
  ASSERT_EQ(view.save(R"({"a":2})").status, 200);
  EXPECT_EQ(view.version, 3);  // a second write is a new version, not the same one again
  ASSERT_EQ(view.keepalive().status, 200);
  EXPECT_EQ(view.version, 3);
  EXPECT_EQ(view.etag, sha256_hex(R"({"a":2})"));

  // A public read sees only the committed bytes and their version.
  HttpResponse outside = get_state(dev, "k", nullptr);
  EXPECT_EQ(outside.body, R"({"a":0})");
  EXPECT_EQ(outside.header("X-Key-Version"), "1");
  EXPECT_EQ(outside.header("ETag"), "\"" + sha256_hex(R"({"a":0})") + "\"");

  // A stale version is refused and the answer names the latest one.
  HttpResponse stale = update(dev, "k", view.lease, "{}", {{"X-If-Version", "2"}});
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(error_code(stale), "version_conflict");
  EXPECT_EQ(body_of(stale)["current_version"], 3);

  ASSERT_EQ(release(dev, "k", view.lease).status, 200);
  HttpResponse committed = get_state(dev, "k", nullptr);
  EXPECT_EQ(committed.body, R"({"a":2})");
  EXPECT_EQ(committed.header("X-Key-Version"), "3");
}

TEST(DevServerVersions, AWriteByAnotherHolderInBetweenMakesTheNextWriteConflict) {
  DevServer dev;
  HolderView first = holder(dev, "k");
  ASSERT_EQ(first.save(R"({"by":"first"})").status, 200);
  ASSERT_EQ(release(dev, "k", first.lease).status, 200);

  HolderView second = holder(dev, "k");
  ASSERT_EQ(second.save(R"({"by":"second"})").status, 200);
  ASSERT_EQ(release(dev, "k", second.lease).status, 200);

  // The first holder comes back with a new lease but its old view.
  first.lease = must_acquire(dev, "k");
  HttpResponse refused = first.save(R"({"by":"first again"})");
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(error_code(refused), "version_conflict");
  EXPECT_EQ(body_of(refused)["current_version"], second.version);
  EXPECT_EQ(body_of(refused)["current_etag"], sha256_hex(R"({"by":"second"})"));
  EXPECT_EQ(dev.state("k").state, R"({"by":"second"})");
}

TEST(DevServerVersions, DiscardedWritesNeverLendTheirVersionToLaterOnes) {
  DevServer dev;
  // The first holder's write is staged as version 1, then its lease runs out and the write is
  // discarded. The next holder's write must not be version 1 again, or the first holder's stale
  // view would match it.
  HolderView first = holder(dev, "k");
  ASSERT_EQ(first.save(R"({"by":"first"})").status, 200);
  ASSERT_EQ(first.version, 1);
  dev.advance_clock(31s);

  HolderView second = holder(dev, "k");
  EXPECT_EQ(second.version, 0);  // nothing was committed
  ASSERT_EQ(second.save(R"({"by":"second"})").status, 200);
  EXPECT_EQ(second.version, 2);
  ASSERT_EQ(release(dev, "k", second.lease).status, 200);

  first.lease = must_acquire(dev, "k");
  EXPECT_EQ(error_code(first.save(R"({"by":"first again"})")), "version_conflict");
  ASSERT_EQ(release(dev, "k", first.lease).status, 200);

  // A rollback discards the same way.
  HolderView third = holder(dev, "k");
  ASSERT_EQ(third.save(R"({"by":"third"})").status, 200);
  EXPECT_EQ(third.version, 3);
  ASSERT_EQ(release(dev, "k", third.lease, true).status, 200);
  EXPECT_EQ(dev.state("k").version, 2);
  HolderView fourth = holder(dev, "k");
  ASSERT_EQ(fourth.save(R"({"by":"fourth"})").status, 200);
  EXPECT_EQ(fourth.version, 4);
}

}  // namespace
}  // namespace stavo::test
