// Base64 (RFC 4648): the standard alphabet with padding for payloads, the URL alphabet without
// padding for receipts.
#include <array>
#include <cstdint>

#include "queue_message.h"

namespace stavoctl {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view bytes, const char *alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t index = 0;
  for (; index + 2 < bytes.size(); index += 3) {
    const uint32_t group =
        (static_cast<uint32_t>(static_cast<unsigned char>(bytes[index])) << 16) |
        (static_cast<uint32_t>(static_cast<unsigned char>(bytes[index + 1])) << 8) |
        static_cast<unsigned char>(bytes[index + 2]);
    for (int shift = 18; shift >= 0; shift -= 6)
      out += alphabet[(group >> shift) & 0x3f];
  }
  const size_t rest = bytes.size() - index;
  if (rest > 0) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[index])) << 16;
    if (rest == 2)
      group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[index + 1])) << 8;
    out += alphabet[(group >> 18) & 0x3f];
    out += alphabet[(group >> 12) & 0x3f];
    if (rest == 2) {
      out += alphabet[(group >> 6) & 0x3f];
    } else if (pad) {
      out += '=';
    }
    if (pad) out += '=';
  }
  return out;
}

}  // namespace

std::string base64(std::string_view bytes) {
  return encode(bytes, kStandard, true);
}

std::string base64url(std::string_view bytes) {
  return encode(bytes, kUrl, false);
}

std::optional<std::string> base64url_decode(std::string_view text) {
  std::array<int, 256> value{};
  value.fill(-1);
  for (int i = 0; i < 64; ++i)
    value[static_cast<unsigned char>(kUrl[i])] = i;
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    const int digit = value[static_cast<unsigned char>(c)];
    if (digit < 0) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((group >> bits) & 0xff);
    }
  }
  return out;
}

}  // namespace stavoctl
