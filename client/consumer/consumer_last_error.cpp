// The handler's error as the JSON document that a failure nack stores as the message's last
// error, so that whoever sees the message next (or reads the queue) learns why it came back.
#include "brindle.h"
#include "consumer_internal.h"

namespace {

struct LastError {
  int64_t code;
  char *message;
  char *detail;
};

const brindle_field kLastErrorFields[] = {
    BRINDLE_DECL_I64(LastError, code, "code", 0),
    BRINDLE_DECL_STRING(LastError, message, "message", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_STRING(LastError, detail, "detail", BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map kLastErrorMap =
    BRINDLE_MAP("sv_consumer_last_error_json", LastError, kLastErrorFields);

}  // namespace

const char *sv_consumer_last_error_json(const sv_error *error, char *buffer,
                                        size_t capacity) noexcept {
  if (error == nullptr || error->message == nullptr || buffer == nullptr || capacity == 0) {
    return nullptr;
  }
  // The serializer only reads the record; the casts do not hand it ownership.
  const LastError record{error->code, const_cast<char *>(error->message),
                         const_cast<char *>(error->detail)};
  brindle_write_options options = brindle_default_write_options();
  options.overflow = 0;  // a cut document would not be JSON: then there is no last error
  brindle_error failure;
  brindle_error_init(&failure);
  if (brindle_serialize_buffer(&kLastErrorMap, &record, buffer, capacity, nullptr, &options,
                               &failure) != BRINDLE_OK) {
    return nullptr;
  }
  return buffer;
}
