/*
 * Definitions shared by every public header of libstavoc: the export macro and the status codes
 * returned by every function (the engine and the public layer use the same numbers).
 */
#ifndef STAVOC_COMMON_H
#define STAVOC_COMMON_H

#if defined(__GNUC__)
#define SV_API __attribute__((visibility("default")))
#else
/* Marks a function the library exports. */
#define SV_API
#endif

#ifdef __cplusplus
/* noexcept for C++ callers, nothing in C. */
#define SV_NOEXCEPT noexcept
#else
#define SV_NOEXCEPT
#endif

/* The library's version, as sv_version_string returns it. */
#define SV_VERSION_STRING "0.7.0"

enum {
  SV_OK = 0,            /* success */
  SV_ERR_INVALID = 1,   /* missing or invalid argument, wrong call order */
  SV_ERR_NOMEM = 2,     /* allocation failed */
  SV_ERR_TRANSPORT = 3, /* network or local input/output failure */
  SV_ERR_PROTOCOL = 4,  /* undecodable or over-limit response, bad client bundle */
  SV_ERR_SERVER = 5     /* the server answered with a non-success HTTP status */
};

/* What a transport failure was (sv_error.transport_cause), so a caller can tell a stream the
 * server ended from a peer that stopped answering without reading the message text. */
typedef enum sv_transport_cause {
  SV_TRANSPORT_CAUSE_NONE = 0,            /* not a transport failure, or not known */
  SV_TRANSPORT_CAUSE_CONNECT = 1,         /* no connection: refused, unreachable, name unknown */
  SV_TRANSPORT_CAUSE_CONNECT_TIMEOUT = 2, /* the connect did not complete in time */
  SV_TRANSPORT_CAUSE_TLS = 3,             /* the TLS handshake or verification failed */
  SV_TRANSPORT_CAUSE_RESET = 4,           /* the connection closed or reset before an answer */
  SV_TRANSPORT_CAUSE_TIMEOUT = 5,         /* the call's deadline passed */
  SV_TRANSPORT_CAUSE_STREAM_IDLE = 6,     /* a running stream stayed silent past its bound */
  SV_TRANSPORT_CAUSE_CUT = 7,             /* a stream or body ended before it was complete */
  SV_TRANSPORT_CAUSE_LOCAL_IO = 8,        /* a local source, sink or file failed */
  SV_TRANSPORT_CAUSE_CANCELLED = 9        /* the caller's cancel check or a stop ended it */
} sv_transport_cause;

#endif /* STAVOC_COMMON_H */
