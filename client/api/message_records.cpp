// The nack intents and their wire spellings, and the records that message handles and their
// consumers take.
#include <cstring>

#include "message_internal.h"
#include "record_zero.h"

using sv_records::zero;

extern "C" {

SV_API const char *sv_nack_intent_to_string(sv_nack_intent intent) noexcept {
  switch (intent) {
    case SV_NACK_INTENT_UNSPECIFIED:
      return "unspecified";
    case SV_NACK_INTENT_FAILURE:
      return "failure";
    case SV_NACK_INTENT_DEFER:
      return "defer";
    default:
      return "invalid";
  }
}

SV_API int sv_nack_intent_to_wire_string(sv_nack_intent intent, const char **out_string,
                                         sv_error *error) noexcept {
  if (out_string == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "nack intent mapping requires output", nullptr,
                        nullptr, nullptr);
  }
  switch (intent) {
    case SV_NACK_INTENT_UNSPECIFIED:
    case SV_NACK_INTENT_FAILURE:
      *out_string = "failure";
      return SV_OK;
    case SV_NACK_INTENT_DEFER:
      *out_string = "defer";
      return SV_OK;
    default:
      *out_string = nullptr;
      return sv_error_set(error, SV_ERR_INVALID, 0, "invalid nack intent", nullptr, nullptr,
                          nullptr);
  }
}

SV_API void sv_dequeue_req_init(sv_dequeue_req *req) noexcept {
  zero(req);
}
SV_API void sv_nack_req_init(sv_nack_req *req) noexcept {
  zero(req);
}
SV_API void sv_extend_req_init(sv_extend_req *req) noexcept {
  zero(req);
}
SV_API void sv_consumer_init(sv_consumer *consumer) noexcept {
  zero(consumer);
}

}  // extern "C"
