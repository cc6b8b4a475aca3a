#include "exchange.h"

namespace stavo::devserver {

std::optional<std::string> Call::param(std::string_view name) const {
  for (const auto &[key, value] : params) {
    if (key == name) return value;
  }
  return std::nullopt;
}

bool Call::flag(std::string_view name) const {
  auto value = param(name);
  return value && (*value == "1" || *value == "true");
}

std::optional<std::string> Call::header(std::string_view name) const {
  for (const auto &[key, value] : headers) {
    if (header_name_equals(key, name)) return value;
  }
  return std::nullopt;
}

void Reply::set_header(std::string name, std::string value) {
  for (auto &entry : headers) {
    if (header_name_equals(entry.first, name)) {
      entry.second = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> Reply::header(std::string_view name) const {
  for (const auto &[key, value] : headers) {
    if (header_name_equals(key, name)) return value;
  }
  return std::nullopt;
}

Reply error_reply(int status, std::string_view code, std::string_view detail, const json &extra) {
  json body = {{"error", code}, {"detail", detail}};
  for (const auto &[key, value] : extra.items())
    body[key] = value;
  return json_reply(body, status);
}

Reply json_reply(const json &body, int status) {
  Reply reply;
  reply.status = status;
  reply.body = body.dump();
  reply.headers.emplace_back("Content-Type", "application/json");
  return reply;
}

std::optional<Reply> read_body_limited(Call &call, size_t limit, std::string &out,
                                       std::string_view too_large_code) {
  out.clear();
  bool too_large = false;
  // Keep reading past the limit (discarding) so the client gets the answer rather than a reset.
  bool ok = call.read_body([&](const char *data, size_t size) {
    if (too_large || out.size() + size > limit) {
      too_large = true;
      return true;
    }
    out.append(data, size);
    return true;
  });
  if (!ok) return error_reply(400, "body_read_failed", "the request body could not be read");
  if (too_large) {
    return error_reply(413, too_large_code,
                       "request body exceeds " + std::to_string(limit) + " bytes");
  }
  return std::nullopt;
}

std::optional<Reply> read_json_object(Call &call, size_t limit, json &out) {
  std::string text;
  if (auto failure = read_body_limited(call, limit, text)) return failure;
  if (text.empty()) {
    out = json::object();
    return error_reply(400, "invalid_json", "request body must be a JSON object");
  }
  out = json::parse(text, nullptr, false);
  if (out.is_discarded() || !out.is_object()) {
    return error_reply(400, "invalid_json", "request body must be a JSON object");
  }
  return std::nullopt;
}

std::optional<Reply> member_string(const json &body, const char *name, bool required,
                                   std::string &out) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) {
    if (required) {
      return error_reply(400, "missing_field", std::string("'") + name + "' is required");
    }
    return std::nullopt;
  }
  if (!it->is_string()) {
    return error_reply(400, "invalid_field", std::string("'") + name + "' must be a string");
  }
  out = it->get<std::string>();
  if (required && out.empty()) {
    return error_reply(400, "missing_field", std::string("'") + name + "' must not be empty");
  }
  return std::nullopt;
}

std::optional<Reply> member_int(const json &body, const char *name, bool required, int64_t &out) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) {
    if (required) {
      return error_reply(400, "missing_field", std::string("'") + name + "' is required");
    }
    return std::nullopt;
  }
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    return error_reply(400, "invalid_field", std::string("'") + name + "' is out of range");
  }
  if (!it->is_number_integer()) {
    return error_reply(400, "invalid_field", std::string("'") + name + "' must be an integer");
  }
  out = it->get<int64_t>();
  return std::nullopt;
}

std::optional<Reply> member_bool(const json &body, const char *name, bool &out) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) {
    return error_reply(400, "invalid_field", std::string("'") + name + "' must be a boolean");
  }
  out = it->get<bool>();
  return std::nullopt;
}

}  // namespace stavo::devserver
