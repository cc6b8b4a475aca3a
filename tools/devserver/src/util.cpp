#include "util.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

namespace stavo::devserver {

namespace {
const char kHex[] = "0123456789abcdef";

std::string to_hex(const unsigned char *data, size_t size) {
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kHex[data[i] >> 4];
    out[2 * i + 1] = kHex[data[i] & 15];
  }
  return out;
}
}  // namespace

std::string random_hex(size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) {
    thread_local std::mt19937_64 fallback{std::random_device{}()};
    for (auto &byte : buffer)
      byte = static_cast<unsigned char>(fallback());
  }
  return to_hex(buffer.data(), bytes);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr ||
      EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(ctx_), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is unavailable");
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(ctx_));
}

void Sha256::update(const void *data, size_t size) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(ctx_), data, size);
}

std::string Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(ctx_), digest, &length);
  return to_hex(digest, length);
}

std::string sha256_hex(std::string_view data) {
  Sha256 hash;
  hash.update(data.data(), data.size());
  return hash.hex_digest();
}

std::optional<int64_t> parse_i64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Reply> check_duration(std::string_view field, int64_t value, int64_t min_seconds) {
  if (value >= min_seconds && value <= kMaxDurationSeconds) return std::nullopt;
  return error_reply(400, "invalid_duration",
                     "'" + std::string(field) + "' must be a whole number of seconds from " +
                         std::to_string(min_seconds) + " to " +
                         std::to_string(kMaxDurationSeconds) + ", got " + std::to_string(value),
                     {{"field", std::string(field)}});
}

namespace {
// An integer member that fits int64_t, or the "invalid_duration" answer naming it.
std::optional<Reply> duration_integer(const json &body, const char *name, bool required,
                                      std::optional<int64_t> &out, std::string_view unit) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) {
    if (required) {
      return error_reply(400, "missing_field", std::string("'") + name + "' is required");
    }
    return std::nullopt;
  }
  bool fits = it->is_number_integer() &&
              !(it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX));
  if (!fits) {
    return error_reply(400, "invalid_duration",
                       std::string("'") + name + "' must be a whole number of " +
                           std::string(unit) + ", got " + it->dump(),
                       {{"field", name}});
  }
  out = it->get<int64_t>();
  return std::nullopt;
}
}  // namespace

std::optional<Reply> member_duration(const json &body, const char *name, bool required,
                                     int64_t &out, int64_t min_seconds) {
  std::optional<int64_t> value;
  if (auto f = duration_integer(body, name, required, value, "seconds")) return f;
  if (!value) return std::nullopt;
  if (auto f = check_duration(name, *value, min_seconds)) return f;
  out = *value;
  return std::nullopt;
}

std::optional<Reply> member_duration_ms(const json &body, const char *name, int64_t &out,
                                        bool required) {
  std::optional<int64_t> value;
  if (auto f = duration_integer(body, name, required, value, "milliseconds")) return f;
  if (!value) return std::nullopt;
  if (*value < 0 || *value > kMaxDurationSeconds * 1000) {
    return error_reply(
        400, "invalid_duration",
        std::string("'") + name + "' must be a whole number of milliseconds from 0 to " +
            std::to_string(kMaxDurationSeconds * 1000) + ", got " + std::to_string(*value),
        {{"field", name}});
  }
  out = *value;
  return std::nullopt;
}

std::string base64_encode(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                               reinterpret_cast<const unsigned char *>(data.data()),
                               static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3 + 1, '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                               reinterpret_cast<const unsigned char *>(text.data()),
                               static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<size_t>(length) - padding);
  return out;
}

std::string make_temp_dir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory: " +
                             std::string(std::strerror(errno)));
  }
  return buffer.data();
}

void remove_tree(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace stavo::devserver
