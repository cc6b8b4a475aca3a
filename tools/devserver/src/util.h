// Small helpers: hashing, random identifiers, number parsing, durations, base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "exchange.h"

namespace stavo::devserver {

std::string random_hex(size_t bytes);

// Incremental SHA-256 (hex digest).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;
  void update(const void *data, size_t size);
  std::string hex_digest();  // once

 private:
  void *ctx_;
};

std::string sha256_hex(std::string_view data);

// Whole-text base-10 signed integer (optional leading '-'), no spaces.
std::optional<int64_t> parse_i64(std::string_view text);

// Durations in requests: whole seconds from 0 to one year unless an endpoint documents a wider
// lower bound (a block of -1). The bound keeps every `now + duration` far from overflowing.
constexpr int64_t kMaxDurationSeconds = 31536000;

// The 400 "invalid_duration" answer when `value` lies outside [min_seconds, kMaxDurationSeconds].
std::optional<Reply> check_duration(std::string_view field, int64_t value, int64_t min_seconds = 0);

// Reads the duration member `name` of a JSON body into `out` (left alone when absent). A missing
// required member is "missing_field"; a non-integer or out-of-range value is "invalid_duration".
std::optional<Reply> member_duration(const json &body, const char *name, bool required,
                                     int64_t &out, int64_t min_seconds = 0);

// The same for a millisecond member (0 to one year in milliseconds). Every "invalid_duration"
// answer names the member in "field" as well as in the detail.
std::optional<Reply> member_duration_ms(const json &body, const char *name, int64_t &out,
                                        bool required = false);

std::string base64_encode(std::string_view data);
std::optional<std::string> base64_decode(std::string_view text);

// A new directory under TMPDIR (or /tmp) named prefix-XXXXXX; throws on failure.
std::string make_temp_dir(const std::string &prefix);
void remove_tree(const std::string &path);

}  // namespace stavo::devserver
