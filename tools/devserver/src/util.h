// Small helpers: hashing, random identifiers, number parsing, base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

std::string base64_encode(std::string_view data);
std::optional<std::string> base64_decode(std::string_view text);

// A new directory under TMPDIR (or /tmp) named prefix-XXXXXX; throws on failure.
std::string make_temp_dir(const std::string &prefix);
void remove_tree(const std::string &path);

}  // namespace stavo::devserver
