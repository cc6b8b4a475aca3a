// Mapped parsing and validation of the corpus documents, brindle against its peers on the same
// bytes. Each benchmark first checks once that its parser stored what brindle stored.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <map>
#include <memory>

#include "parsers.h"
#include "registry.h"

namespace bench {

namespace {

enum class Impl { kBrindle, kBrindlePush, kRapid, kYajl, kYajlPush, kSimdDom, kSimdOd };
constexpr size_t kPushChunk = 4096;

struct Peers {
  simdjson::dom::parser dom;
  simdjson::ondemand::parser od;
};

Peers &peers() {
  static Peers p;
  return p;
}

const simdjson::padded_string &padded(Doc doc, const std::string &bytes) {
  static std::map<Doc, simdjson::padded_string> copies;
  auto found = copies.find(doc);
  if (found == copies.end()) found = copies.emplace(doc, simdjson::padded_string(bytes)).first;
  return found->second;
}

bool is_brindle(Impl impl) {
  return impl == Impl::kBrindle || impl == Impl::kBrindlePush;
}

bool run(Impl impl, Doc doc, Target &target, const std::string &bytes, std::string *why) {
  switch (impl) {
    case Impl::kBrindle:
      return parse_brindle(target, bytes, why);
    case Impl::kBrindlePush:
      return parse_brindle_push(target, bytes, kPushChunk, why);
    case Impl::kRapid:
      return parse_rapidjson(target, bytes, why);
    case Impl::kYajl:
      return parse_yajl(target, bytes, 0, why);
    case Impl::kYajlPush:
      return parse_yajl(target, bytes, kPushChunk, why);
    case Impl::kSimdDom:
      return parse_simdjson_dom(target, peers().dom, padded(doc, bytes), why);
    case Impl::kSimdOd:
      return parse_simdjson_od(target, peers().od, padded(doc, bytes), why);
  }
  return false;
}

void release(Impl impl, Target &target) {
  if (is_brindle(impl)) {
    target.release_brindle();
  } else {
    target.release_peer();
  }
}

// What brindle's one-shot parse stores, computed once per document.
const Summary *reference(Doc doc, std::string *why) {
  static std::map<Doc, Summary> done;
  auto found = done.find(doc);
  if (found != done.end()) return &found->second;
  const std::string *bytes = doc_bytes(doc, why);
  if (bytes == nullptr) return nullptr;
  Target target(doc);
  const bool ok = parse_brindle(target, *bytes, why);
  const Summary summary = target.summary();
  target.release_brindle();
  if (!ok) return nullptr;
  return &done.emplace(doc, summary).first->second;
}

void parse_benchmark(benchmark::State &state, Doc doc, Impl impl) {
  std::string why;
  const std::string *bytes = doc_bytes(doc, &why);
  const Summary *expected = bytes != nullptr ? reference(doc, &why) : nullptr;
  if (expected == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  Target target(doc);
  const bool ok = run(impl, doc, target, *bytes, &why);
  const Summary got = target.summary();
  release(impl, target);
  if (!ok || !(got == *expected)) {
    if (ok) why = "MISMATCH: stored " + got.text() + ", brindle stored " + expected->text();
    state.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : state) {
    if (!run(impl, doc, target, *bytes, &why)) {
      state.SkipWithError(why.c_str());
      break;
    }
    release(impl, target);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes->size()));
  state.SetLabel(expected->text());
}

enum class Check { kBrindle, kRapid, kYajl, kSimdDom };

void validate_benchmark(benchmark::State &state, Doc doc, Check check) {
  std::string why;
  const std::string *bytes = doc_bytes(doc, &why);
  if (bytes == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  auto once = [&] {
    switch (check) {
      case Check::kBrindle:
        return validate_brindle(*bytes);
      case Check::kRapid:
        return validate_rapidjson(*bytes);
      case Check::kYajl:
        return validate_yajl(*bytes);
      case Check::kSimdDom:
        return validate_simdjson_dom(peers().dom, padded(doc, *bytes));
    }
    return false;
  };
  if (!once()) {
    state.SkipWithError("MISMATCH: the document was rejected");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(once());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes->size()));
}

}  // namespace

void register_parse_benchmarks() {
  const std::pair<const char *, Impl> whole[] = {{kBrindleColumn, Impl::kBrindle},
                                                 {kRapidColumn, Impl::kRapid},
                                                 {kYajlColumn, Impl::kYajl},
                                                 {kSimdDomColumn, Impl::kSimdDom},
                                                 {kSimdOdColumn, Impl::kSimdOd}};
  const std::pair<const char *, Impl> pushed[] = {{kBrindleColumn, Impl::kBrindlePush},
                                                  {kYajlColumn, Impl::kYajlPush}};
  const std::pair<const char *, Check> checks[] = {{kBrindleColumn, Check::kBrindle},
                                                   {kRapidColumn, Check::kRapid},
                                                   {kYajlColumn, Check::kYajl},
                                                   {kSimdDomColumn, Check::kSimdDom}};
  for (Doc doc : kDocs) {
    const std::string name = doc_name(doc);
    for (auto [column, impl] : whole) {
      add_benchmark("parse/" + name, column,
                    [doc, impl = impl](benchmark::State &s) { parse_benchmark(s, doc, impl); });
    }
    for (auto [column, impl] : pushed) {
      add_benchmark("parse_4k_chunks/" + name, column,
                    [doc, impl = impl](benchmark::State &s) { parse_benchmark(s, doc, impl); });
    }
    for (auto [column, check] : checks) {
      add_benchmark("validate/" + name, column, [doc, check = check](benchmark::State &s) {
        validate_benchmark(s, doc, check);
      });
    }
  }
}

}  // namespace bench
