// Request checks shared by the queue endpoints.
#pragma once

#include <optional>
#include <string>

#include "exchange.h"

namespace stavo::devserver {

// namespace (default "default") and queue (required) of a queue request body.
std::optional<Reply> queue_names(const json &body, std::string &ns, std::string &queue);

// The correlation id of the request, or a new one; the answer must carry it.
std::string correlation_id_of(const Call &call);

}  // namespace stavo::devserver
