// Temporary weak stand-ins for the value-member functions the record module and the parser
// call, so that this branch links before the values module is merged. The real definitions
// override these; this file goes away with that merge.
#include <cstring>

#include "values_internal.h"

#define BRINDLE_PENDING __attribute__((weak))

BRINDLE_PENDING bool brindle__spooled_marker_ok(const brindle_spooled *spooled) noexcept {
  return spooled != nullptr && spooled->marker == brindle__marker(spooled, BRINDLE_MARKER_SPOOLED);
}
BRINDLE_PENDING void brindle__spooled_release(brindle_spooled *) noexcept {}
BRINDLE_PENDING void brindle__spooled_set_allocator(brindle_spooled *,
                                                    const brindle_allocator *) noexcept {}
BRINDLE_PENDING bool brindle__json_value_marker_ok(const brindle_json_value *value) noexcept {
  return value != nullptr && value->marker == brindle__marker(value, BRINDLE_MARKER_JSON_VALUE);
}
BRINDLE_PENDING void brindle__json_value_release(brindle_json_value *) noexcept {}
BRINDLE_PENDING brindle_status brindle__json_value_parse_begin(brindle_json_value *,
                                                               brindle_error *error) noexcept {
  return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value members are not available");
}
BRINDLE_PENDING brindle_status brindle__json_value_parse_text(brindle_json_value *, const char *,
                                                              size_t,
                                                              brindle_error *error) noexcept {
  return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value members are not available");
}
BRINDLE_PENDING brindle_status brindle__json_value_parse_end(brindle_json_value *,
                                                             brindle_error *error) noexcept {
  return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value members are not available");
}

extern "C" {

BRINDLE_PENDING BRINDLE_API void brindle_spooled_init_with_allocator(
    brindle_spooled *spooled, const brindle_spool_options *, const brindle_allocator *) noexcept {
  std::memset(spooled, 0, sizeof(*spooled));
  spooled->marker = brindle__marker(spooled, BRINDLE_MARKER_SPOOLED);
}
BRINDLE_PENDING BRINDLE_API void brindle_spooled_reset(brindle_spooled *) noexcept {}
BRINDLE_PENDING BRINDLE_API brindle_status brindle_spooled_append(brindle_spooled *, const char *,
                                                                  size_t,
                                                                  brindle_error *error) noexcept {
  return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "spooled members are not available");
}
BRINDLE_PENDING BRINDLE_API void brindle_source_cleanup(brindle_source *source) noexcept {
  std::memset(source, 0, sizeof(*source));
  source->fd = -1;
}
BRINDLE_PENDING BRINDLE_API void brindle_json_value_init_with_allocator(
    brindle_json_value *value, const brindle_allocator *) noexcept {
  std::memset(value, 0, sizeof(*value));
  value->fd = -1;
  value->marker = brindle__marker(value, BRINDLE_MARKER_JSON_VALUE);
}
BRINDLE_PENDING BRINDLE_API void brindle_json_value_cleanup(brindle_json_value *) noexcept {}

}  // extern "C"
