#include "queue_request.h"

#include "queue_store.h"
#include "util.h"

namespace stavo::devserver {

std::optional<Reply> member_duration(const json &body, const char *name, int64_t &out,
                                     int64_t min) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return std::nullopt;
  auto refuse = [&] {
    return error_reply(400, "invalid_duration",
                       std::string("'") + name + "' must be an integer number of seconds from " +
                           std::to_string(min) + " to " + std::to_string(kMaxDurationSeconds));
  };
  if (!it->is_number_integer()) return refuse();
  if (it->is_number_unsigned()) {
    if (it->get<uint64_t>() > static_cast<uint64_t>(kMaxDurationSeconds)) return refuse();
    out = static_cast<int64_t>(it->get<uint64_t>());
    return std::nullopt;
  }
  int64_t value = it->get<int64_t>();
  if (value < min || value > kMaxDurationSeconds) return refuse();
  out = value;
  return std::nullopt;
}

std::optional<Reply> queue_names(const json &body, std::string &ns, std::string &queue) {
  if (auto f = member_string(body, "namespace", false, ns)) return f;
  if (auto f = member_string(body, "queue", true, queue)) return f;
  if (ns.empty()) ns = "default";
  return std::nullopt;
}

std::string correlation_id_of(const Call &call) {
  std::string id = call.header("X-Correlation-Id").value_or("");
  return id.empty() ? "cid-" + random_hex(12) : id;
}

}  // namespace stavo::devserver
