// Mapped parsing and validation of the corpus documents, brindle against its peers on the same
// bytes. Each benchmark first checks once that its parser stored what brindle stored.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <map>
#include <memory>

#include "parsers.h"
#include "rapid_peer.h"
#include "registry.h"

namespace bench {

namespace {

enum class Impl { kBrindle, kBrindlePush, kRapid, kRapid42, kYajl, kYajlPush, kSimdDom, kSimdOd };
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
  const char *unused = nullptr;
  switch (impl) {
    case Impl::kBrindle:
      return parse_brindle(target, bytes, why);
    case Impl::kBrindlePush:
      return parse_brindle_push(target, bytes, kPushChunk, why);
    case Impl::kRapid:
      return rapid_sse2().parse(target, bytes, why);
    case Impl::kRapid42:
      return rapid_sse42(&unused)->parse(target, bytes, why);
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

// The SSE4.2 copy of RapidJSON is skipped, with the reason, where it cannot run.
bool available(benchmark::State &state, bool sse42) {
  const char *why = nullptr;
  if (!sse42 || rapid_sse42(&why) != nullptr) return true;
  state.SkipWithError(why);
  return false;
}

void parse_benchmark(benchmark::State &state, Doc doc, Impl impl) {
  if (!available(state, impl == Impl::kRapid42)) return;
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

enum class Check { kBrindle, kRapid, kRapid42, kYajl, kSimdDom };

void validate_benchmark(benchmark::State &state, Doc doc, Check check) {
  if (!available(state, check == Check::kRapid42)) return;
  std::string why;
  const std::string *bytes = doc_bytes(doc, &why);
  if (bytes == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  const char *unused = nullptr;
  auto once = [&] {
    switch (check) {
      case Check::kBrindle:
        return validate_brindle(*bytes);
      case Check::kRapid:
        return rapid_sse2().validate(*bytes);
      case Check::kRapid42:
        return rapid_sse42(&unused)->validate(*bytes);
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
  const std::pair<const char *, Impl> whole[] = {
      {kBrindleColumn, Impl::kBrindle}, {kRapidColumn, Impl::kRapid},
      {kRapid42Column, Impl::kRapid42}, {kYajlColumn, Impl::kYajl},
      {kSimdDomColumn, Impl::kSimdDom}, {kSimdOdColumn, Impl::kSimdOd}};
  const std::pair<const char *, Impl> pushed[] = {{kBrindleColumn, Impl::kBrindlePush},
                                                  {kYajlColumn, Impl::kYajlPush}};
  const std::pair<const char *, Check> checks[] = {{kBrindleColumn, Check::kBrindle},
                                                   {kRapidColumn, Check::kRapid},
                                                   {kRapid42Column, Check::kRapid42},
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
