// Printing delivered messages, shared by queue dequeue and queue subscribe.
#pragma once

#include <string>
#include <string_view>

#include "cli.h"

namespace stavoctl {

// The message's view as JSON (its state lease under "state" for deliveries with state).
JsonObject message_json(sv_message &message);
// Adds the payload as "payload" when it is valid UTF-8, else as "payload_base64".
void add_payload(JsonObject &out, std::string_view payload);
// Reads the rest of the payload into memory.
std::string read_payload(Context &ctx, sv_message &message);
// queue subscribe.
Command subscribe_command();

}  // namespace stavoctl
