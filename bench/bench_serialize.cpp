// Serialization of parsed records: brindle's owned-buffer serializer (compact and pretty) and
// its pull generator read in 16 KiB pieces, against RapidJSON's Writer and PrettyWriter writing
// the same records. Outputs are checked once: byte-equal, or else equal once parsed.
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <map>
#include <memory>

#include "parsers.h"
#include "registry.h"

namespace bench {

namespace {

template <typename Writer>
void write_record(Writer &w, const brindle_map *map, const void *record);

template <typename Writer>
void write_field(Writer &w, const brindle_field *f, const char *member) {
  const auto *array = reinterpret_cast<const brindle_array *>(member);
  switch (f->kind) {
    case BRINDLE_FIELD_STRING: {
      const char *s = *reinterpret_cast<char *const *>(member);
      if (s == nullptr) {
        w.Null();
      } else {
        w.String(s, static_cast<rapidjson::SizeType>(std::strlen(s)));
      }
      break;
    }
    case BRINDLE_FIELD_I64:
      w.Int64(*reinterpret_cast<const int64_t *>(member));
      break;
    case BRINDLE_FIELD_U64:
      w.Uint64(*reinterpret_cast<const uint64_t *>(member));
      break;
    case BRINDLE_FIELD_F64:
      w.Double(*reinterpret_cast<const double *>(member));
      break;
    case BRINDLE_FIELD_BOOL:
      w.Bool(*reinterpret_cast<const int32_t *>(member) != 0);
      break;
    case BRINDLE_FIELD_OBJECT:
      write_record(w, f->submap, member);
      break;
    case BRINDLE_FIELD_I64_ARRAY:
      w.StartArray();
      for (size_t k = 0; k < array->count; ++k)
        w.Int64(static_cast<int64_t *>(array->items)[k]);
      w.EndArray();
      break;
    case BRINDLE_FIELD_OBJECT_ARRAY: {
      const auto *objects = reinterpret_cast<const brindle_object_array *>(member);
      w.StartArray();
      for (size_t k = 0; k < objects->count; ++k) {
        write_record(w, f->submap, static_cast<const char *>(objects->items) + k * f->element_size);
      }
      w.EndArray();
      break;
    }
    default:  // the corpus records hold no other array kinds; JSON values were not kept
      w.Null();
      break;
  }
}

template <typename Writer>
void write_record(Writer &w, const brindle_map *map, const void *record) {
  w.StartObject();
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *f = &map->fields[i];
    w.Key(f->json_key, static_cast<rapidjson::SizeType>(f->json_key_len));
    write_field(w, f, static_cast<const char *>(record) + f->offset);
  }
  w.EndObject();
}

std::string rapid_serialize(const Target &target, bool pretty) {
  rapidjson::StringBuffer out;
  if (pretty) {
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(out);
    w.SetIndent(' ', 2);
    write_record(w, target.map(), const_cast<Target &>(target).record());
  } else {
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    write_record(w, target.map(), const_cast<Target &>(target).record());
  }
  return {out.GetString(), out.GetSize()};
}

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

enum class Impl { kBrindle, kBrindleGenerator, kRapid };

void serialize_benchmark(benchmark::State &state, Doc doc, Impl impl, bool pretty) {
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
        if (text != nullptr) {
          *text = rapid_serialize(*target, pretty);
          *length = text->size();
        } else {
          *length = rapid_serialize(*target, pretty).size();
        }
        return true;
    }
    return false;
  };
  std::string mine, reference = rapid_serialize(*target, pretty);
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
    }
    add_benchmark("generate_16k/" + name, kBrindleColumn, [doc](benchmark::State &s) {
      serialize_benchmark(s, doc, Impl::kBrindleGenerator, false);
    });
    add_benchmark("generate_16k/" + name, kRapidColumn,
                  [doc](benchmark::State &s) { serialize_benchmark(s, doc, Impl::kRapid, false); });
  }
}

}  // namespace bench
