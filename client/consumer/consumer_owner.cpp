// Generated lease owners of consumer workers: "consumer-<name>-<host>-<pid>-<sequence>", unique
// per worker within the process.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "consumer_internal.h"

namespace {

std::mutex owner_mutex;
int64_t owner_sequence = 0;

bool token_byte(unsigned char byte) {
  return std::isalnum(byte) != 0 || byte == '-' || byte == '.' || byte == '_';
}

}  // namespace

size_t sv_consumer_sanitize_token(const char *text, char *out, size_t capacity) noexcept {
  if (capacity == 0) return 0;
  out[0] = '\0';
  if (text == nullptr) return 0;
  while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text)) != 0)
    ++text;
  size_t length = 0;
  for (; *text != '\0' && length + 1 < capacity; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (token_byte(byte)) {
      out[length++] = static_cast<char>(byte);
    } else if (length > 0 && out[length - 1] != '-') {
      out[length++] = '-';  // a run of other bytes becomes one dash
    }
  }
  while (length > 0 && out[length - 1] == '-')
    --length;
  out[length] = '\0';
  return length;
}

int64_t sv_consumer_next_owner_sequence() noexcept {
  const std::lock_guard<std::mutex> lock(owner_mutex);
  return ++owner_sequence;
}

void sv_consumer_generate_owner(const char *name, const char *host, char *out,
                                size_t capacity) noexcept {
  char name_token[128];
  char host_token[256];
  if (sv_consumer_sanitize_token(name, name_token, sizeof name_token) == 0) {
    std::strcpy(name_token, "consumer");
  }
  if (sv_consumer_sanitize_token(host, host_token, sizeof host_token) == 0) {
    std::strcpy(host_token, "unknown-host");
  }
  const int64_t sequence = sv_consumer_next_owner_sequence();
  std::snprintf(out, capacity < 512 ? capacity : 512, "consumer-%s-%s-%ld-%ld", name_token,
                host_token, static_cast<long>(getpid()), static_cast<long>(sequence));
}
