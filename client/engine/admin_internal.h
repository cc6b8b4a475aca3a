// Internals of the management operations: one typed exchange with the family's headers and
// success rule, and the copies of answer members into caller-owned responses.
#ifndef STAVOC_ENGINE_ADMIN_INTERNAL_H
#define STAVOC_ENGINE_ADMIN_INTERNAL_H

#include "engine_internal.h"

// One management exchange.
struct sv_engine_admin_call {
  const char *method;
  const char *path;
  const brindle_map *body_map;  // NULL: no body (an empty one for POST)
  const void *body_record;
  const brindle_map *response_map;
  void *response_record;   // initialised by the call; brindle_cleanup it afterwards in any case
  bool content_type_only;  // send only Content-Type, not Accept
  bool only_200;           // success is 200 alone rather than any 2xx
};

// Runs the exchange. On success the answer is parsed into the response record and a copy of the
// correlation id (or NULL) is stored in *correlation_id; any other status gives the server error.
int sv_engine_admin_exchange(const sv_engine_client *client, const sv_engine_admin_call &call,
                             char **correlation_id, sv_engine_error *error) noexcept;

// *out = an owned copy of text (NULL stays NULL); false when the copy fails.
bool sv_engine_admin_copy(char **out, const char *text) noexcept;
// *out = a new array of owned copies of the strings of items; false when a copy fails (what was
// copied stays in *out and *count for the caller's cleanup). allocate_message and copy_message
// name the failure stored in error.
int sv_engine_admin_copy_strings(char ***out, size_t *count, const brindle_array &items,
                                 const char *allocate_message, const char *copy_message,
                                 sv_engine_error *error) noexcept;
// Frees an array made by sv_engine_admin_copy_strings and zeroes both.
void sv_engine_admin_free_strings(char ***strings, size_t *count) noexcept;

#endif
