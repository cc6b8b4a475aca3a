// The record loop shared by every serializer form: one record, or JSON Lines (each record
// followed by a newline), written to one of the outputs.
#ifndef BRINDLE_CORE_SERIALIZER_BUFFERS_H
#define BRINDLE_CORE_SERIALIZER_BUFFERS_H

#include "serializer_emit.h"

struct brindle__record_run {
  const brindle_map *map;
  const char *items;
  size_t count;
  size_t stride;
  bool lines;
  bool pretty;
};

// Instantiated for the sink, fixed, growing and counting outputs.
template <class Out>
brindle_status brindle__write_records(Out &out, const brindle__record_run &run,
                                      brindle_error *error) noexcept;

#endif  // BRINDLE_CORE_SERIALIZER_BUFFERS_H
