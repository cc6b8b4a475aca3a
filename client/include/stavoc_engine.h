/*
 * The protocol engine of libstavoc: plain functions (prefix sv_engine_) that turn one client
 * call into HTTP exchanges with a stavo server, one request and response record pair per server
 * operation. Applications normally use the public client of stavoc.h; the engine is exported
 * for layers built on top of it.
 *
 * This header includes the whole engine interface:
 *   stavoc_engine_core.h    error record, allocators, buffer, strings, client, TLS bundle and
 *                           the typed HTTP JSON exchange with endpoint failover
 *   stavoc_engine_state.h   lease and state operations (acquire, keepalive, release, get,
 *                           update, mutate, metadata, remove, describe)
 *   stavoc_engine_stream.h  streamed transfers (get_into, update_from, enqueue_from) and
 *                           attachments
 *   stavoc_engine_queue.h   queue statistics, ack, nack, extend, dequeue and subscribe streams,
 *                           queue watch
 *   stavoc_engine_query.h   query and query keys
 *   stavoc_engine_admin.h   namespace, index, transaction and coordinator operations
 */
#ifndef STAVOC_ENGINE_H
#define STAVOC_ENGINE_H

#include "stavoc_engine_admin.h"
#include "stavoc_engine_core.h"
#include "stavoc_engine_query.h"
#include "stavoc_engine_queue.h"
#include "stavoc_engine_state.h"
#include "stavoc_engine_stream.h"

#endif /* STAVOC_ENGINE_H */
