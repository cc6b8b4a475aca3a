/*
 * libbrindle — schema-mapped JSON.
 *
 * Parse JSON straight into fixed-layout C records described by constant field maps (no document
 * tree, a fixed 4 KiB workspace), serialize records back (compact, pretty, JSON Lines), stream
 * large values through spools and sources, and read whole streams (arrays, object sequences,
 * server-sent events, multipart bodies), also straight from libcurl callbacks.
 *
 * This header includes the whole interface:
 *   brindle_core.h    status codes, error record, allocators, field maps, options, record ops
 *   brindle_values.h  sources, spooled values, raw JSON values, value visitor, validation
 *   brindle_io.h      parsing, serializer, generator, object stream
 *   brindle_stream.h  array stream, server-sent events, multipart
 *   brindle_curl.h    libcurl callback adapters
 */
#ifndef BRINDLE_H
#define BRINDLE_H

#include "brindle_core.h"
#include "brindle_curl.h"
#include "brindle_io.h"
#include "brindle_stream.h"
#include "brindle_values.h"

#endif /* BRINDLE_H */
