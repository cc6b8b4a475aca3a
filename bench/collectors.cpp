// The collectors of unmapped document parts, and the visitor bridge.
#include "collectors.h"

#include <charconv>

namespace bench {

void EventsCollector::begin_object() {
  ++depth_;
  if (depth_ == 2) events_.emplace_back();
}

void EventsCollector::key(std::string_view key) {
  if (depth_ != 2) return;
  if (key == "id") {
    key_ = Key::kId;
  } else if (key == "name") {
    key_ = Key::kName;
  } else if (key == "logo") {
    key_ = Key::kLogo;
  } else if (key == "topicIds") {
    key_ = Key::kTopics;
  } else if (key == "subTopicIds") {
    key_ = Key::kSubTopics;
  } else {
    key_ = Key::kOther;
  }
}

void EventsCollector::begin_array() {
  ++depth_;
  list_ = nullptr;
  if (depth_ != 3 || events_.empty()) return;
  if (key_ == Key::kTopics) list_ = &events_.back().topic_ids;
  if (key_ == Key::kSubTopics) list_ = &events_.back().sub_topic_ids;
}

void EventsCollector::end_array() {
  --depth_;
  list_ = nullptr;
}

void EventsCollector::string(std::string_view value) {
  if (depth_ != 2 || events_.empty()) return;
  Event &event = events_.back();
  if (key_ == Key::kName) {
    event.name.assign(value);
    event.has_name = true;
  } else if (key_ == Key::kLogo) {
    event.logo.assign(value);
    event.has_logo = true;
  }
}

void EventsCollector::integer(int64_t value) {
  if (list_ != nullptr && depth_ == 3) {
    list_->push_back(value);
  } else if (depth_ == 2 && key_ == Key::kId && !events_.empty()) {
    events_.back().id = value;
  }
}

void EventsCollector::clear() {
  events_.clear();
  depth_ = 0;
  key_ = Key::kOther;
  list_ = nullptr;
}

void EventsCollector::checksum(Checksum *sum) const {
  sum->value<uint64_t>(events_.size());
  for (const Event &e : events_) {
    ++sum->objects;
    sum->value(e.id);
    sum->text(e.has_name ? e.name.c_str() : nullptr);
    sum->text(e.has_logo ? e.logo.c_str() : nullptr);
    sum->value<uint64_t>(e.topic_ids.size());
    sum->bytes(e.topic_ids.data(), e.topic_ids.size() * 8);
    sum->value<uint64_t>(e.sub_topic_ids.size());
    sum->bytes(e.sub_topic_ids.data(), e.sub_topic_ids.size() * 8);
  }
}

void CoordsCollector::key(std::string_view key) {
  if (coords_depth_ < 0) pending_ = key == "coordinates";
}

void CoordsCollector::begin_array() {
  ++depth_;
  if (pending_) {
    coords_depth_ = depth_;
    pending_ = false;
  }
}

void CoordsCollector::end_array() {
  if (coords_depth_ >= 0) {
    ++arrays_;
    if (depth_ == coords_depth_) coords_depth_ = -1;
  }
  --depth_;
}

void CoordsCollector::real(double value) {
  if (coords_depth_ >= 0) values_.push_back(value);
}

void CoordsCollector::clear() {
  values_.clear();
  arrays_ = 0;
  depth_ = 0;
  coords_depth_ = -1;
  pending_ = false;
}

void CoordsCollector::checksum(Checksum *sum) const {
  sum->objects += values_.size();
  sum->value<uint64_t>(values_.size());
  sum->value(arrays_);
  sum->bytes(values_.data(), values_.size() * sizeof(double));
}

// ---- VisitorBridge ---------------------------------------------------------------------------

namespace {
VisitorBridge &self(void *user) {
  return *static_cast<VisitorBridge *>(user);
}
}  // namespace

const brindle_value_visitor *VisitorBridge::visitor() {
  static const brindle_value_visitor v = [] {
    brindle_value_visitor out = brindle_default_value_visitor();
    out.object_begin = on_object_begin;
    out.object_end = on_object_end;
    out.key_begin = on_begin;
    out.key_chunk = on_chunk;
    out.key_end = on_key_end;
    out.array_begin = on_array_begin;
    out.array_end = on_array_end;
    out.string_begin = on_begin;
    out.string_chunk = on_chunk;
    out.string_end = on_string_end;
    out.number_begin = on_begin;
    out.number_chunk = on_chunk;
    out.number_end = on_number_end;
    out.boolean = on_boolean;
    out.null_value = on_null;
    return out;
  }();
  return &v;
}

brindle_status VisitorBridge::on_object_begin(void *user, brindle_error *) {
  self(user).consumer_->begin_object();
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_object_end(void *user, brindle_error *) {
  self(user).consumer_->end_object();
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_array_begin(void *user, brindle_error *) {
  self(user).consumer_->begin_array();
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_array_end(void *user, brindle_error *) {
  self(user).consumer_->end_array();
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_begin(void *user, brindle_error *) {
  self(user).text_.clear();
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_chunk(void *user, const char *bytes, size_t length,
                                       brindle_error *) {
  self(user).text_.append(bytes, length);
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_key_end(void *user, brindle_error *) {
  self(user).consumer_->key(self(user).text_);
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_string_end(void *user, brindle_error *) {
  self(user).consumer_->string(self(user).text_);
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_number_end(void *user, brindle_error *) {
  const std::string &t = self(user).text_;
  const char *first = t.data(), *last = t.data() + t.size();
  // An integer is read whole as one; a fraction, an exponent or a value past int64 stops the
  // integer read early and the text is read again as a double.
  int64_t integer = 0;
  const std::from_chars_result whole = std::from_chars(first, last, integer);
  if (whole.ec == std::errc() && whole.ptr == last) {
    self(user).consumer_->integer(integer);
    return BRINDLE_OK;
  }
  double value = 0;
  if (std::from_chars(first, last, value).ec != std::errc()) return BRINDLE_CALLBACK_FAILED;
  self(user).consumer_->real(value);
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_boolean(void *user, int32_t value, brindle_error *) {
  self(user).consumer_->boolean(value != 0);
  return BRINDLE_OK;
}
brindle_status VisitorBridge::on_null(void *user, brindle_error *) {
  self(user).consumer_->null();
  return BRINDLE_OK;
}

}  // namespace bench
