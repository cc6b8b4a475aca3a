// Fills a mapped record from SAX events, the way the peer SAX parsers (RapidJSON, yajl) are
// given the same job as the mapped parser: known keys stored, unknown values skipped, JSON value
// members handed to their consumers.
#pragma once

#include <string_view>
#include <vector>

#include "store.h"

namespace bench {

class RecordBuilder {
 public:
  RecordBuilder(const brindle_map *map, void *record, Hooks hooks)
      : root_map_(map), root_(record), hooks_(hooks) {
    stack_.reserve(64);
  }
  // Element mode: the document is an array of objects, each built into record, handed to
  // on_element and freed before the next, as an array stream does.
  using ElementCallback = void (*)(void *user, void *record);
  void set_element_callback(ElementCallback on_element, void *user) {
    on_element_ = on_element;
    element_user_ = user;
  }

  bool begin_object();
  bool end_object();
  bool key(std::string_view key);
  bool begin_array();
  bool end_array();
  bool string(std::string_view value);
  bool integer(int64_t value);
  bool uinteger(uint64_t value);
  bool real(double value);
  bool boolean(bool value);
  bool null();

 private:
  enum class Type { kObject, kArray, kSkip, kHook, kElements };
  struct Frame {
    Type type;
    const brindle_map *map;      // kObject
    void *record;                // kObject: the record; kArray: the record holding the array
    const brindle_field *field;  // kObject: the current key's field; kArray: the array field
    size_t hint;                 // kObject: the field after the last match
    int depth;                   // kSkip, kHook: open containers
    Consumer *consumer;          // kHook
  };
  // The frame that receives a value, or NULL at the root.
  Frame *top() { return stack_.empty() ? nullptr : &stack_.back(); }
  bool open(bool object);
  bool close();
  template <typename Store, typename Append, typename Forward>
  bool scalar(Store store, Append append, Forward forward);

  const brindle_map *root_map_;
  void *root_;
  Hooks hooks_;
  ElementCallback on_element_ = nullptr;
  void *element_user_ = nullptr;
  std::vector<Frame> stack_;
};

}  // namespace bench
