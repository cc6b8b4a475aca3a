// Field constructors: plain values, nothing allocated.
#include "ember.h"

namespace {

ember_field make_field(const char *key, int32_t type) noexcept {
  ember_field field{};
  field.key = key;
  field.type = type;
  return field;
}

}  // namespace

extern "C" {

EMBER_API ember_field ember_str(const char *key, const char *value) noexcept {
  ember_field field = make_field(key, value != nullptr ? EMBER_FIELD_STR : EMBER_FIELD_NULL);
  field.value.str = value;
  return field;
}

EMBER_API ember_field ember_trusted_str(const char *key, const char *value) noexcept {
  ember_field field = ember_str(key, value);
  field.trusted = 1;
  return field;
}

EMBER_API ember_field ember_null(const char *key) noexcept {
  return make_field(key, EMBER_FIELD_NULL);
}

EMBER_API ember_field ember_bool(const char *key, int value) noexcept {
  ember_field field = make_field(key, EMBER_FIELD_BOOL);
  field.value.boolean = value != 0 ? 1 : 0;
  return field;
}

EMBER_API ember_field ember_i64(const char *key, int64_t value) noexcept {
  ember_field field = make_field(key, EMBER_FIELD_I64);
  field.value.i64 = value;
  return field;
}

EMBER_API ember_field ember_u64(const char *key, uint64_t value) noexcept {
  ember_field field = make_field(key, EMBER_FIELD_U64);
  field.value.u64 = value;
  return field;
}

}  // extern "C"
