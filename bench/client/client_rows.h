// The per-call rows: acquire + release, get of a 1 KiB state and update of a 1 KiB state, by
// the client and by the peer, over plain HTTP and mutual TLS (HTTP/2), with a connection per
// call and with connections reused.
#pragma once

#include <string>

#include "server_process.h"

namespace stavoc_bench {

// Checks that the client and the peer send the same requests and get the right answers, then
// registers the rows. False (with why) when anything is wrong: nothing is timed then.
bool prepare_client_rows(const ServerProcess &server, std::string &why);

// Rows that failed while being timed.
int client_row_failures();

}  // namespace stavoc_bench
