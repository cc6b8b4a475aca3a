// Request checks shared by the queue endpoints.
#pragma once

#include <optional>
#include <string>

#include "exchange.h"

namespace stavo::devserver {

// An integer number of seconds from `min` to one year; absent leaves `out` unchanged. Outside the
// range: 400 "invalid_duration" naming the member.
std::optional<Reply> member_duration(const json &body, const char *name, int64_t &out,
                                     int64_t min = 0);

// namespace (default "default") and queue (required) of a queue request body.
std::optional<Reply> queue_names(const json &body, std::string &ns, std::string &queue);

// The correlation id of the request, or a new one; the answer must carry it.
std::string correlation_id_of(const Call &call);

}  // namespace stavo::devserver
