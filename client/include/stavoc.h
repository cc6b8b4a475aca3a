/*
 * libstavoc, the client of a stavo server: the one header an application includes.
 *
 * A stavo server grants time-limited leases on keys, keeps one JSON state document per key,
 * stores attachments beside each key, runs message queues and answers queries. Open a client
 * for one or more endpoints, then call the operations; every function returns an SV_* status
 * (SV_OK is 0) and reports details through an optional sv_error that the caller cleans up.
 *
 *   stavoc_common.h   export macro, version and status codes
 *   stavoc_types.h    the error record and the shapes of byte sources and sinks
 *   stavoc_client.h   allocators, error functions, client configuration, the client handle and
 *                     its operations
 *   stavoc_lease.h    the key operations' records and the lease handle
 *   stavoc_queue.h    the queue operations' records, the message handle and queue handlers
 *   stavoc_io.h       ready-made sources and sinks, sv_copy, the stream pipe, engine bridges
 *                     and JSON file helpers
 *   stavoc_numbers.h  checked base-10 conversions
 *   stavoc_admin.h    query, namespace, index, transaction and coordinator records
 *   stavoc_mutate.h   mutation expressions, plans and their streaming apply (local mutate)
 *   stavoc_consumer.h the multi-threaded queue consumer service
 *   stavoc_keeper.h   the lease keeper, which renews leases in the background
 *
 * The protocol engine underneath (sv_engine_*) has its own umbrella header, stavoc_engine.h.
 */
#ifndef STAVOC_H
#define STAVOC_H

#include "stavoc_admin.h"
#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_consumer.h"
#include "stavoc_io.h"
#include "stavoc_keeper.h"
#include "stavoc_lease.h"
#include "stavoc_mutate.h"
#include "stavoc_numbers.h"
#include "stavoc_queue.h"
#include "stavoc_types.h"

#endif /* STAVOC_H */
