// Consumers of the parts of the corpus that no fixed map can name (citm's events keyed by id,
// canada's nested coordinate arrays), and the bridge that feeds them from a brindle visitor.
#pragma once

#include <brindle.h>

#include <string>
#include <vector>

#include "store.h"

namespace bench {

// citm "events": one entry per member of the object, with its id, name, logo and topic lists.
class EventsCollector final : public Consumer {
 public:
  struct Event {
    int64_t id = 0;
    std::string name, logo;
    bool has_name = false, has_logo = false;
    std::vector<int64_t> topic_ids, sub_topic_ids;
  };
  void begin_object() override;
  void end_object() override { --depth_; }
  void key(std::string_view key) override;
  void begin_array() override;
  void end_array() override;
  void string(std::string_view value) override;
  void integer(int64_t value) override;
  void real(double) override {}
  void boolean(bool) override {}
  void null() override {}
  void clear();
  void checksum(Checksum *sum) const;
  size_t count() const { return events_.size(); }

 private:
  enum class Key { kOther, kId, kName, kLogo, kTopics, kSubTopics };
  std::vector<Event> events_;
  int depth_ = 0;
  Key key_ = Key::kOther;
  std::vector<int64_t> *list_ = nullptr;
};

// canada "features": every number under a "coordinates" key, and the count of arrays there.
class CoordsCollector final : public Consumer {
 public:
  void begin_object() override { ++depth_; }
  void end_object() override { --depth_; }
  void key(std::string_view key) override;
  void begin_array() override;
  void end_array() override;
  void string(std::string_view) override {}
  void integer(int64_t value) override { real(static_cast<double>(value)); }
  void real(double value) override;
  void boolean(bool) override {}
  void null() override {}
  void clear();
  void checksum(Checksum *sum) const;
  size_t count() const { return values_.size(); }

 private:
  std::vector<double> values_;
  uint64_t arrays_ = 0;
  int depth_ = 0;
  int coords_depth_ = -1;  // depth of the open "coordinates" array, -1 outside
  bool pending_ = false;   // the next value is the one under "coordinates"
};

// Turns brindle visitor callbacks into Consumer events, gathering chunked keys, strings and
// numbers first.
class VisitorBridge {
 public:
  explicit VisitorBridge(Consumer *consumer) : consumer_(consumer) {}
  static const brindle_value_visitor *visitor();

 private:
  static brindle_status on_object_begin(void *user, brindle_error *);
  static brindle_status on_object_end(void *user, brindle_error *);
  static brindle_status on_array_begin(void *user, brindle_error *);
  static brindle_status on_array_end(void *user, brindle_error *);
  static brindle_status on_begin(void *user, brindle_error *);
  static brindle_status on_chunk(void *user, const char *bytes, size_t length, brindle_error *);
  static brindle_status on_key_end(void *user, brindle_error *);
  static brindle_status on_string_end(void *user, brindle_error *);
  static brindle_status on_number_end(void *user, brindle_error *);
  static brindle_status on_boolean(void *user, int32_t value, brindle_error *);
  static brindle_status on_null(void *user, brindle_error *);
  Consumer *consumer_;
  std::string text_;
};

}  // namespace bench
