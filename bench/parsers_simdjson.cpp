// simdjson's DOM and On-Demand front ends, walking the same fields into the same records.
#include <simdjson.h>

#include "parsers.h"

namespace bench {

namespace {

namespace dom = simdjson::dom;
namespace od = simdjson::ondemand;

// ---- DOM ---------------------------------------------------------------------------------------

void emit_dom(dom::element value, Consumer *c) {
  switch (value.type()) {
    case dom::element_type::OBJECT:
      c->begin_object();
      for (dom::key_value_pair member : dom::object(value)) {
        c->key(member.key);
        emit_dom(member.value, c);
      }
      c->end_object();
      break;
    case dom::element_type::ARRAY:
      c->begin_array();
      for (dom::element item : dom::array(value))
        emit_dom(item, c);
      c->end_array();
      break;
    case dom::element_type::STRING:
      c->string(std::string_view(value));
      break;
    case dom::element_type::INT64:
      c->integer(int64_t(value));
      break;
    case dom::element_type::UINT64:
      c->real(static_cast<double>(uint64_t(value)));
      break;
    case dom::element_type::DOUBLE:
      c->real(double(value));
      break;
    case dom::element_type::BOOL:
      c->boolean(bool(value));
      break;
    case dom::element_type::NULL_VALUE:
      c->null();
      break;
  }
}

bool dom_object(dom::object object, const brindle_map *map, void *record, const Hooks &hooks);

bool dom_element(dom::element value, const brindle_field *f, void *record, const Hooks &hooks) {
  switch (value.type()) {
    case dom::element_type::OBJECT:
      return f->kind == BRINDLE_FIELD_OBJECT &&
             dom_object(dom::object(value), f->submap, field_ptr(record, f), hooks);
    case dom::element_type::ARRAY:
      for (dom::element item : dom::array(value)) {
        bool ok = false;
        switch (item.type()) {
          case dom::element_type::OBJECT: {
            void *slot = append_object(record, f);
            ok = slot != nullptr && dom_object(dom::object(item), f->submap, slot, hooks);
            break;
          }
          case dom::element_type::STRING:
            ok = append_string(record, f, std::string_view(item));
            break;
          case dom::element_type::INT64:
            ok = append_i64(record, f, int64_t(item));
            break;
          case dom::element_type::UINT64:
            ok = append_u64(record, f, uint64_t(item));
            break;
          case dom::element_type::DOUBLE:
            ok = append_f64(record, f, double(item));
            break;
          case dom::element_type::BOOL:
            ok = append_bool(record, f, bool(item));
            break;
          case dom::element_type::NULL_VALUE:
            ok = f->kind == BRINDLE_FIELD_STRING_ARRAY && append_string(record, f, "");
            break;
          case dom::element_type::ARRAY:
            break;
        }
        if (!ok) return false;
      }
      return f->kind >= BRINDLE_FIELD_STRING_ARRAY && f->kind <= BRINDLE_FIELD_OBJECT_ARRAY;
    case dom::element_type::STRING:
      return store_string(record, f, std::string_view(value));
    case dom::element_type::INT64:
      return store_i64(record, f, int64_t(value));
    case dom::element_type::UINT64:
      return store_u64(record, f, uint64_t(value));
    case dom::element_type::DOUBLE:
      return store_f64(record, f, double(value));
    case dom::element_type::BOOL:
      return store_bool(record, f, bool(value));
    case dom::element_type::NULL_VALUE:
      return store_null(record, f);
  }
  return false;
}

bool dom_object(dom::object object, const brindle_map *map, void *record, const Hooks &hooks) {
  size_t hint = 0;
  for (dom::key_value_pair member : object) {
    const brindle_field *f = find_field(map, member.key, &hint);
    if (f == nullptr) continue;
    if (f->kind == BRINDLE_FIELD_JSON_VALUE) {
      Consumer *c = hooks.find(f);
      if (c == nullptr) return false;
      emit_dom(member.value, c);
      continue;
    }
    if (!dom_element(member.value, f, record, hooks)) return false;
  }
  return true;
}

// ---- On-Demand ---------------------------------------------------------------------------------

template <typename Scalar, typename Real>
void od_number(od::value value, Scalar integer, Real real) {
  switch (value.get_number_type()) {
    case od::number_type::signed_integer:
      integer(int64_t(value.get_int64()));
      break;
    case od::number_type::unsigned_integer:
      real(static_cast<double>(uint64_t(value.get_uint64())));
      break;
    default:
      real(double(value.get_double()));
      break;
  }
}

void emit_od(od::value value, Consumer *c) {
  switch (value.type()) {
    case od::json_type::object:
      c->begin_object();
      for (od::field member : value.get_object()) {
        c->key(std::string_view(member.unescaped_key()));
        emit_od(member.value(), c);
      }
      c->end_object();
      break;
    case od::json_type::array:
      c->begin_array();
      for (od::value item : value.get_array())
        emit_od(item, c);
      c->end_array();
      break;
    case od::json_type::string:
      c->string(std::string_view(value.get_string()));
      break;
    case od::json_type::number:
      od_number(
          value, [c](int64_t v) { c->integer(v); }, [c](double v) { c->real(v); });
      break;
    case od::json_type::boolean:
      c->boolean(bool(value.get_bool()));
      break;
    case od::json_type::null:
      c->null();
      break;
  }
}

bool od_object(od::object object, const brindle_map *map, void *record, const Hooks &hooks);

// Stores a scalar through store or append; the number's own type picks the i64 or u64 path.
template <typename Sink>
bool od_scalar(od::value value, Sink &&sink) {
  switch (value.type()) {
    case od::json_type::string:
      return sink.string(std::string_view(value.get_string()));
    case od::json_type::number:
      switch (value.get_number_type()) {
        case od::number_type::signed_integer:
          return sink.i64(int64_t(value.get_int64()));
        case od::number_type::unsigned_integer:
          return sink.u64(uint64_t(value.get_uint64()));
        default:
          return sink.f64(double(value.get_double()));
      }
    case od::json_type::boolean:
      return sink.boolean(bool(value.get_bool()));
    case od::json_type::null:
      return value.is_null() && sink.null();
    default:
      return false;
  }
}

struct StoreSink {
  void *record;
  const brindle_field *f;
  bool string(std::string_view v) { return store_string(record, f, v); }
  bool i64(int64_t v) { return store_i64(record, f, v); }
  bool u64(uint64_t v) { return store_u64(record, f, v); }
  bool f64(double v) { return store_f64(record, f, v); }
  bool boolean(bool v) { return store_bool(record, f, v); }
  bool null() { return store_null(record, f); }
};

struct AppendSink {
  void *record;
  const brindle_field *f;
  bool string(std::string_view v) { return append_string(record, f, v); }
  bool i64(int64_t v) { return append_i64(record, f, v); }
  bool u64(uint64_t v) { return append_u64(record, f, v); }
  bool f64(double v) { return append_f64(record, f, v); }
  bool boolean(bool v) { return append_bool(record, f, v); }
  bool null() { return f->kind == BRINDLE_FIELD_STRING_ARRAY && append_string(record, f, ""); }
};

bool od_value(od::value value, const brindle_field *f, void *record, const Hooks &hooks) {
  switch (value.type()) {
    case od::json_type::object:
      return f->kind == BRINDLE_FIELD_OBJECT &&
             od_object(value.get_object(), f->submap, field_ptr(record, f), hooks);
    case od::json_type::array:
      if (f->kind < BRINDLE_FIELD_STRING_ARRAY || f->kind > BRINDLE_FIELD_OBJECT_ARRAY) {
        return false;
      }
      for (od::value item : value.get_array()) {
        if (f->kind == BRINDLE_FIELD_OBJECT_ARRAY) {
          void *slot = append_object(record, f);
          if (slot == nullptr || !od_object(item.get_object(), f->submap, slot, hooks)) {
            return false;
          }
        } else if (!od_scalar(item, AppendSink{record, f})) {
          return false;
        }
      }
      return true;
    default:
      return od_scalar(value, StoreSink{record, f});
  }
}

bool od_object(od::object object, const brindle_map *map, void *record, const Hooks &hooks) {
  size_t hint = 0;
  for (od::field member : object) {
    const brindle_field *f = find_field(map, std::string_view(member.unescaped_key()), &hint);
    if (f == nullptr) continue;  // On-Demand skips the unread value
    if (f->kind == BRINDLE_FIELD_JSON_VALUE) {
      Consumer *c = hooks.find(f);
      if (c == nullptr) return false;
      emit_od(member.value(), c);
      continue;
    }
    if (!od_value(member.value(), f, record, hooks)) return false;
  }
  return true;
}

}  // namespace

bool parse_simdjson_dom(Target &target, dom::parser &parser, const simdjson::padded_string &bytes,
                        std::string *why) {
  target.prepare_peer();
  try {
    dom::element root = parser.parse(bytes);
    if (dom_object(dom::object(root), target.map(), target.record(), target.hooks())) return true;
    *why = "simdjson dom: value does not fit the record";
  } catch (const simdjson::simdjson_error &e) {
    *why = std::string("simdjson dom: ") + e.what();
  }
  return false;
}

bool parse_simdjson_od(Target &target, od::parser &parser, const simdjson::padded_string &bytes,
                       std::string *why) {
  target.prepare_peer();
  try {
    od::document doc = parser.iterate(bytes);
    if (od_object(doc.get_object(), target.map(), target.record(), target.hooks())) return true;
    *why = "simdjson on-demand: value does not fit the record";
  } catch (const simdjson::simdjson_error &e) {
    *why = std::string("simdjson on-demand: ") + e.what();
  }
  return false;
}

bool validate_simdjson_dom(dom::parser &parser, const simdjson::padded_string &bytes) {
  return parser.parse(bytes).error() == simdjson::SUCCESS;
}

}  // namespace bench
