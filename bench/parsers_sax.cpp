// yajl's callbacks driving the record builder (RapidJSON's Reader is in rapid_peer_impl.h).
#include <yajl/yajl_parse.h>

#include <algorithm>
#include <cstring>

#include "builder.h"
#include "parsers.h"

namespace bench {

namespace {

RecordBuilder &builder_of(void *context) {
  return *static_cast<RecordBuilder *>(context);
}

int y_null(void *c) {
  return builder_of(c).null();
}
int y_boolean(void *c, int value) {
  return builder_of(c).boolean(value != 0);
}
int y_integer(void *c, long long value) {
  return builder_of(c).integer(value);
}
int y_double(void *c, double value) {
  return builder_of(c).real(value);
}
int y_string(void *c, const unsigned char *text, size_t length) {
  return builder_of(c).string({reinterpret_cast<const char *>(text), length});
}
int y_start_map(void *c) {
  return builder_of(c).begin_object();
}
int y_key(void *c, const unsigned char *text, size_t length) {
  return builder_of(c).key({reinterpret_cast<const char *>(text), length});
}
int y_end_map(void *c) {
  return builder_of(c).end_object();
}
int y_start_array(void *c) {
  return builder_of(c).begin_array();
}
int y_end_array(void *c) {
  return builder_of(c).end_array();
}

const yajl_callbacks kYajlCallbacks = {y_null,    y_boolean,     y_integer,   y_double,
                                       nullptr,   y_string,      y_start_map, y_key,
                                       y_end_map, y_start_array, y_end_array};

// Feeds bytes to a yajl handle in chunks (0: whole) and completes the parse.
bool run_yajl(yajl_handle handle, const std::string &bytes, size_t chunk, std::string *why) {
  if (chunk == 0) chunk = bytes.size();
  yajl_status status = yajl_status_ok;
  const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
  for (size_t at = 0; status == yajl_status_ok && at < bytes.size(); at += chunk) {
    status = yajl_parse(handle, data + at, std::min(chunk, bytes.size() - at));
  }
  if (status == yajl_status_ok) status = yajl_complete_parse(handle);
  if (status != yajl_status_ok && why != nullptr) {
    unsigned char *message = yajl_get_error(handle, 0, data, bytes.size());
    *why = std::string("yajl: ") + reinterpret_cast<const char *>(message);
    yajl_free_error(handle, message);
  }
  yajl_free(handle);
  return status == yajl_status_ok;
}

}  // namespace

bool parse_yajl(Target &target, const std::string &bytes, size_t chunk, std::string *why) {
  target.prepare_peer();
  RecordBuilder builder(target.map(), target.record(), target.hooks());
  yajl_handle handle = yajl_alloc(&kYajlCallbacks, nullptr, &builder);
  return handle != nullptr && run_yajl(handle, bytes, chunk, why);
}

bool stream_yajl(const brindle_map *map, void *record, const std::string &bytes, size_t chunk,
                 void (*on_element)(void *user, void *record), void *user) {
  std::memset(record, 0, map->struct_size);
  RecordBuilder builder(map, record, {});
  builder.set_element_callback(on_element, user);
  yajl_handle handle = yajl_alloc(&kYajlCallbacks, nullptr, &builder);
  const bool ok = handle != nullptr && run_yajl(handle, bytes, chunk, nullptr);
  free_record(map, record);  // an element left half-built by a failure
  return ok;
}

bool validate_yajl(const std::string &bytes) {
  yajl_handle handle = yajl_alloc(nullptr, nullptr, nullptr);
  return handle != nullptr && run_yajl(handle, bytes, 0, nullptr);
}

}  // namespace bench
