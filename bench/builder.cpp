// The SAX-driven record builder of the peer parsers.
#include "builder.h"

namespace bench {

bool RecordBuilder::open(bool object) {
  Frame *f = top();
  if (f == nullptr) {
    if (!object) {
      // The root must be an object, as for the mapped parser, except in element mode.
      if (on_element_ == nullptr) return false;
      stack_.push_back({Type::kElements, nullptr, nullptr, nullptr, 0, 0, nullptr});
      return true;
    }
    stack_.push_back({Type::kObject, root_map_, root_, nullptr, 0, 0, nullptr});
    return true;
  }
  switch (f->type) {
    case Type::kElements:
      if (!object) return false;
      stack_.push_back({Type::kObject, root_map_, root_, nullptr, 0, 0, nullptr});
      return true;
    case Type::kSkip:
      ++f->depth;
      return true;
    case Type::kHook:
      ++f->depth;
      if (object) {
        f->consumer->begin_object();
      } else {
        f->consumer->begin_array();
      }
      return true;
    case Type::kObject: {
      const brindle_field *field = f->field;
      if (field == nullptr) {
        stack_.push_back({Type::kSkip, nullptr, nullptr, nullptr, 0, 1, nullptr});
        return true;
      }
      if (field->kind == BRINDLE_FIELD_JSON_VALUE) {
        Consumer *c = hooks_.find(field);
        if (c == nullptr) return false;
        stack_.push_back({Type::kHook, nullptr, nullptr, nullptr, 0, 1, c});
        if (object) {
          c->begin_object();
        } else {
          c->begin_array();
        }
        return true;
      }
      void *record = f->record;
      if (object) {
        if (field->kind != BRINDLE_FIELD_OBJECT) return false;
        stack_.push_back(
            {Type::kObject, field->submap, field_ptr(record, field), nullptr, 0, 0, nullptr});
        return true;
      }
      if (field->kind < BRINDLE_FIELD_STRING_ARRAY || field->kind > BRINDLE_FIELD_OBJECT_ARRAY) {
        return false;
      }
      stack_.push_back({Type::kArray, nullptr, record, field, 0, 0, nullptr});
      return true;
    }
    case Type::kArray: {
      if (!object) return false;  // mapped arrays do not nest
      void *slot = append_object(f->record, f->field);
      if (slot == nullptr) return false;
      const brindle_map *submap = f->field->submap;
      stack_.push_back({Type::kObject, submap, slot, nullptr, 0, 0, nullptr});
      return true;
    }
  }
  return false;
}

bool RecordBuilder::close() {
  Frame *f = top();
  if (f == nullptr) return false;
  if (f->type == Type::kSkip || f->type == Type::kHook) {
    if (--f->depth > 0) return true;
  }
  const bool element =
      f->type == Type::kObject && stack_.size() == 2 && stack_.front().type == Type::kElements;
  stack_.pop_back();
  if (element) {
    on_element_(element_user_, root_);
    free_record(root_map_, root_);
  }
  return true;
}

bool RecordBuilder::begin_object() {
  return open(true);
}
bool RecordBuilder::begin_array() {
  return open(false);
}

bool RecordBuilder::end_object() {
  Frame *f = top();
  if (f != nullptr && f->type == Type::kHook) f->consumer->end_object();
  return close();
}

bool RecordBuilder::end_array() {
  Frame *f = top();
  if (f != nullptr && f->type == Type::kHook) f->consumer->end_array();
  return close();
}

bool RecordBuilder::key(std::string_view key) {
  Frame *f = top();
  if (f == nullptr) return false;
  if (f->type == Type::kHook) f->consumer->key(key);
  if (f->type == Type::kObject) f->field = find_field(f->map, key, &f->hint);
  return true;
}

// A scalar goes to the current key's field, into the open array, to a consumer, or nowhere.
template <typename Store, typename Append, typename Forward>
bool RecordBuilder::scalar(Store store, Append append, Forward forward) {
  Frame *f = top();
  if (f == nullptr) return false;
  switch (f->type) {
    case Type::kElements:
      return false;
    case Type::kSkip:
      return true;
    case Type::kHook:
      forward(f->consumer);
      return true;
    case Type::kArray:
      return append(f->record, f->field);
    case Type::kObject:
      if (f->field == nullptr) return true;
      if (f->field->kind == BRINDLE_FIELD_JSON_VALUE) {
        Consumer *c = hooks_.find(f->field);
        if (c == nullptr) return false;
        forward(c);
        return true;
      }
      return store(f->record, f->field);
  }
  return false;
}

bool RecordBuilder::string(std::string_view value) {
  return scalar([&](void *r, const brindle_field *fd) { return store_string(r, fd, value); },
                [&](void *r, const brindle_field *fd) { return append_string(r, fd, value); },
                [&](Consumer *c) { c->string(value); });
}

bool RecordBuilder::integer(int64_t value) {
  return scalar([&](void *r, const brindle_field *fd) { return store_i64(r, fd, value); },
                [&](void *r, const brindle_field *fd) { return append_i64(r, fd, value); },
                [&](Consumer *c) { c->integer(value); });
}

bool RecordBuilder::uinteger(uint64_t value) {
  return scalar([&](void *r, const brindle_field *fd) { return store_u64(r, fd, value); },
                [&](void *r, const brindle_field *fd) { return append_u64(r, fd, value); },
                [&](Consumer *c) {
                  if (value <= INT64_MAX) {
                    c->integer(static_cast<int64_t>(value));
                  } else {
                    c->real(static_cast<double>(value));
                  }
                });
}

bool RecordBuilder::real(double value) {
  return scalar([&](void *r, const brindle_field *fd) { return store_f64(r, fd, value); },
                [&](void *r, const brindle_field *fd) { return append_f64(r, fd, value); },
                [&](Consumer *c) { c->real(value); });
}

bool RecordBuilder::boolean(bool value) {
  return scalar([&](void *r, const brindle_field *fd) { return store_bool(r, fd, value); },
                [&](void *r, const brindle_field *fd) { return append_bool(r, fd, value); },
                [&](Consumer *c) { c->boolean(value); });
}

bool RecordBuilder::null() {
  return scalar([&](void *r, const brindle_field *fd) { return store_null(r, fd); },
                [&](void *r, const brindle_field *fd) {
                  return fd->kind == BRINDLE_FIELD_STRING_ARRAY && append_string(r, fd, "");
                },
                [&](Consumer *c) { c->null(); });
}

}  // namespace bench
