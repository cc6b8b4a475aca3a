// The queue rows: enqueue of 1 KiB messages and dequeue_batch by the client and by the peer
// (plain HTTP, per call and with connections reused), and the consumer service's end-to-end
// throughput with 1 and 4 workers. Their numbers are per message.
#pragma once

#include <string>

#include "server_process.h"

namespace stavoc_bench {

// Messages one dequeue_batch asks for.
constexpr int kBatchSize = 16;

// Checks that the client and the peer send the same queue requests and read the same messages,
// then registers the rows. False (with why) when anything is wrong.
bool prepare_queue_rows(const ServerProcess &server, std::string &why);

// Rows that failed while being timed.
int queue_row_failures();

}  // namespace stavoc_bench
