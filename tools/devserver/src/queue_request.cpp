#include "queue_request.h"

#include "queue_store.h"
#include "util.h"

namespace stavo::devserver {

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
