// Names checked by the public operation's name before a request is built.
#include "name_check.h"

#include <cstdio>
#include <cstring>

#include "utf8_check.h"

namespace sv_names {

int check(sv_error *error, const char *operation, std::initializer_list<Name> names) noexcept {
  char message[160];
  for (const Name &name : names) {
    if (name.value == nullptr || name.value[0] == '\0') {
      if (!name.required) continue;
      std::snprintf(message, sizeof message, "%s requires %s", operation, name.member);
      return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
    }
    sv_text::Utf8Check utf8;
    sv_text::utf8_feed(&utf8, reinterpret_cast<const unsigned char *>(name.value),
                       std::strlen(name.value));
    if (!sv_text::utf8_finished(utf8)) {
      std::snprintf(message, sizeof message, "%s: %s is not valid UTF-8", operation, name.member);
      char detail[64];
      std::snprintf(detail, sizeof detail, "invalid byte at offset %zu", utf8.accepted);
      return sv_error_set(error, SV_ERR_INVALID, 0, message, detail, nullptr, nullptr);
    }
  }
  return SV_OK;
}

}  // namespace sv_names
