// Serialization of parsed records: brindle's owned-buffer serializer (compact and pretty) and
// its pull generator read in 16 KiB pieces, against RapidJSON's Writer and PrettyWriter writing
// the same records. Outputs are checked once: byte-equal, or else equal once parsed.
#include <rapidjson/document.h>

#include <cstring>
#include <map>
#include <memory>

#include "parsers.h"
#include "rapid_peer.h"
#include "registry.h"

namespace bench {

namespace {

bool brindle_serialize(Target &target, bool pretty, std::string *text, size_t *length) {
  brindle_write_options options = brindle_default_write_options();
  options.pretty = pretty ? 1 : 0;
  brindle_owned_buffer out = brindle_default_owned_buffer();
  const bool ok =
      brindle_serialize_owned(target.map(), target.record(), &out, &options, nullptr) == BRINDLE_OK;
  if (ok && text != nullptr) text->assign(out.data, out.length);
  *length = ok ? out.length : 0;
  brindle_owned_buffer_free(&out);
  return ok;
}

bool brindle_generate(Target &target, std::string *text, size_t *length) {
  static char piece[16384];
  brindle_write_options options = brindle_default_write_options();
  brindle_generator generator;
  bool ok =
      brindle_generator_init(&generator, target.map(), target.record(), &options) == BRINDLE_OK;
  size_t total = 0;
  int done = 0;
  while (ok && !done) {
    size_t got = 0;
    ok = brindle_generator_read(&generator, piece, sizeof piece, &got, &done) == BRINDLE_OK;
    if (text != nullptr) text->append(piece, got);
    total += got;
  }
  brindle_generator_cleanup(&generator);
  *length = total;
  return ok;
}

// A record parsed by brindle, kept for the whole run and cleaned up at exit.
struct Parsed {
  explicit Parsed(Doc doc) : target(doc) {}
  ~Parsed() { target.release_brindle(); }
  Target target;
};

Target *parsed(Doc doc, std::string *why) {
  static std::map<Doc, std::unique_ptr<Parsed>> records;
  auto found = records.find(doc);
  if (found != records.end()) return &found->second->target;
  const std::string *bytes = doc_bytes(doc, why);
  if (bytes == nullptr) return nullptr;
  auto record = std::make_unique<Parsed>(doc);
  if (!parse_brindle(record->target, *bytes, why)) return nullptr;
  return &records.emplace(doc, std::move(record)).first->second->target;
}

bool same_json(const std::string &a, const std::string &b) {
  if (a == b) return true;
  rapidjson::Document da, db;
  da.Parse(a.c_str());
  db.Parse(b.c_str());
  return !da.HasParseError() && !db.HasParseError() && da == db;
}

enum class Impl { kBrindle, kBrindleGenerator, kRapid, kRapid42 };

void serialize_benchmark(benchmark::State &state, Doc doc, Impl impl, bool pretty) {
  const char *unused = nullptr;
  if (impl == Impl::kRapid42 && rapid_sse42(&unused) == nullptr) {
    state.SkipWithError(unused);
    return;
  }
  std::string why;
  Target *target = parsed(doc, &why);
  if (target == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  auto once = [&](std::string *text, size_t *length) {
    switch (impl) {
      case Impl::kBrindle:
        return brindle_serialize(*target, pretty, text, length);
      case Impl::kBrindleGenerator:
        return brindle_generate(*target, text, length);
      case Impl::kRapid:
      case Impl::kRapid42: {
        const RapidPeer *peer = impl == Impl::kRapid ? &rapid_sse2() : rapid_sse42(&unused);
        if (text != nullptr) {
          *text = peer->serialize(*target, pretty);
          *length = text->size();
        } else {
          *length = peer->serialize(*target, pretty).size();
        }
        return true;
      }
    }
    return false;
  };
  std::string mine, reference = rapid_sse2().serialize(*target, pretty);
  size_t length = 0;
  if (!once(&mine, &length)) {
    state.SkipWithError("serialization failed");
    return;
  }
  if (!same_json(mine, reference)) {
    state.SkipWithError("MISMATCH: brindle and RapidJSON wrote different documents");
    return;
  }
  state.SetLabel(mine == reference ? "byte-equal to RapidJSON" : "parses equal to RapidJSON");
  for (auto _ : state) {
    if (!once(nullptr, &length)) {
      state.SkipWithError("serialization failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

}  // namespace

void register_serialize_benchmarks() {
  // canada's record keeps only its type: its coordinates live in the collector.
  for (Doc doc : {Doc::kTwitter, Doc::kCitm}) {
    const std::string name = doc_name(doc);
    for (bool pretty : {false, true}) {
      const std::string workload = (pretty ? "serialize_pretty/" : "serialize/") + name;
      add_benchmark(workload, kBrindleColumn, [doc, pretty](benchmark::State &s) {
        serialize_benchmark(s, doc, Impl::kBrindle, pretty);
      });
      add_benchmark(workload, kRapidColumn, [doc, pretty](benchmark::State &s) {
        serialize_benchmark(s, doc, Impl::kRapid, pretty);
      });
      add_benchmark(workload, kRapid42Column, [doc, pretty](benchmark::State &s) {
        serialize_benchmark(s, doc, Impl::kRapid42, pretty);
      });
    }
    add_benchmark("generate_16k/" + name, kBrindleColumn, [doc](benchmark::State &s) {
      serialize_benchmark(s, doc, Impl::kBrindleGenerator, false);
    });
    add_benchmark("generate_16k/" + name, kRapidColumn,
                  [doc](benchmark::State &s) { serialize_benchmark(s, doc, Impl::kRapid, false); });
    add_benchmark("generate_16k/" + name, kRapid42Column, [doc](benchmark::State &s) {
      serialize_benchmark(s, doc, Impl::kRapid42, false);
    });
  }
}

}  // namespace bench
