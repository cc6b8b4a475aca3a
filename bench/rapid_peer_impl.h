// The body of the RapidJSON peer, included by rapid_sse2.cpp and rapid_sse42.cpp after each has
// chosen RapidJSON's SIMD flavour (and namespace). RAPID_PEER_NS names this copy's namespace.
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

#include "builder.h"
#include "rapid_peer.h"

namespace bench::RAPID_PEER_NS {

namespace rj = RAPIDJSON_NAMESPACE;

struct Handler : rj::BaseReaderHandler<rj::UTF8<>, Handler> {
  explicit Handler(RecordBuilder *b) : builder(b) {}
  bool Null() { return builder->null(); }
  bool Bool(bool value) { return builder->boolean(value); }
  bool Int(int value) { return builder->integer(value); }
  bool Uint(unsigned value) { return builder->integer(value); }
  bool Int64(int64_t value) { return builder->integer(value); }
  bool Uint64(uint64_t value) { return builder->uinteger(value); }
  bool Double(double value) { return builder->real(value); }
  bool String(const char *text, rj::SizeType length, bool) {
    return builder->string({text, length});
  }
  bool StartObject() { return builder->begin_object(); }
  bool Key(const char *text, rj::SizeType length, bool) { return builder->key({text, length}); }
  bool EndObject(rj::SizeType) { return builder->end_object(); }
  bool StartArray() { return builder->begin_array(); }
  bool EndArray(rj::SizeType) { return builder->end_array(); }
  RecordBuilder *builder;
};

// Correctly rounded doubles, as the other parsers give.
constexpr unsigned kFlags = rj::kParseFullPrecisionFlag;

bool parse(Target &target, const std::string &bytes, std::string *why) {
  target.prepare_peer();
  RecordBuilder builder(target.map(), target.record(), target.hooks());
  Handler handler(&builder);
  rj::Reader reader;
  rj::StringStream stream(bytes.c_str());
  const rj::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (result.IsError()) *why = std::string("rapidjson: ") + rj::GetParseError_En(result.Code());
  return !result.IsError();
}

bool validate(const std::string &bytes) {
  rj::BaseReaderHandler<> handler;
  rj::Reader reader;
  rj::StringStream stream(bytes.c_str());
  return !reader.Parse(stream, handler).IsError();
}

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
        w.String(s, static_cast<rj::SizeType>(std::strlen(s)));
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
    w.Key(f->json_key, static_cast<rj::SizeType>(f->json_key_len));
    write_field(w, f, static_cast<const char *>(record) + f->offset);
  }
  w.EndObject();
}

std::string serialize(const Target &target, bool pretty) {
  rj::StringBuffer out;
  if (pretty) {
    rj::PrettyWriter<rj::StringBuffer> w(out);
    w.SetIndent(' ', 2);
    write_record(w, target.map(), const_cast<Target &>(target).record());
  } else {
    rj::Writer<rj::StringBuffer> w(out);
    write_record(w, target.map(), const_cast<Target &>(target).record());
  }
  return {out.GetString(), out.GetSize()};
}

}  // namespace bench::RAPID_PEER_NS
