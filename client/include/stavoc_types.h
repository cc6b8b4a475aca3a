/*
 * Records shared by every layer of libstavoc: the public error record and the shapes of byte
 * sources and sinks. A source or sink is an object whose first members are its operations, so an
 * application can pass its own implementation wherever the library takes one (for example the
 * client bundle source of the client configuration).
 */
#ifndef STAVOC_TYPES_H
#define STAVOC_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "stavoc_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-owned error record of the public API. Strings are owned by the record (system
 * allocator) and released by its cleanup. code, http_status and message stand first and in the
 * same order as in the engine's error record. */
typedef struct sv_error {
  int32_t code;            /* SV_* status */
  int64_t http_status;     /* HTTP status of a server failure, 0 otherwise */
  char *message;           /* human-readable message */
  char *detail;            /* the server's detail text, or NULL */
  char *server_error_code; /* the "error" member of the server's error body, or NULL */
  char *correlation_id;    /* correlation id of the failed request, or NULL */
  /* What the server answered beside its error, so a caller can retry well: the seconds it asks
   * to wait ("waiting", "cas_mismatch"; 0 when none). */
  int64_t retry_after_seconds;
  int64_t current_version; /* the current version of a conflicting state (0 when none) */
  char *current_etag;      /* the current ETag of a conflicting state (NULL when none) */
  char *leader_endpoint;   /* the leader to talk to (NULL when none) */
  /* For SV_ERR_TRANSPORT, what failed (an sv_transport_cause); 0 otherwise. */
  int32_t transport_cause;
} sv_error;

typedef struct sv_source sv_source;
typedef struct sv_sink sv_sink;

/* A byte source. Implementations may append their own members after these three. */
struct sv_source {
  /* Places up to capacity bytes into buffer and returns how many; 0 means end of data, or
   * failure when the source has set a non-zero code in error. */
  size_t (*read)(sv_source *source, char *buffer, size_t capacity, sv_error *error);
  /* Rewinds to the first byte and returns a status (a source that cannot rewind fails with
   * SV_ERR_INVALID). */
  int (*reset)(sv_source *source, sv_error *error);
  /* Releases the source and whatever it owns. */
  void (*close)(sv_source *source);
};

/* A byte sink. */
struct sv_sink {
  /* Takes length bytes; returns non-zero when all bytes were accepted and 0 on failure, with
   * error filled. */
  int (*write)(sv_sink *sink, const char *bytes, size_t length, sv_error *error);
  /* Releases the sink. */
  void (*close)(sv_sink *sink);
};

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_TYPES_H */
