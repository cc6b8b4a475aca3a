/*
 * ember — small structured logging.
 *
 * A logger writes one JSON Lines record per call:
 *
 *   {"time":"2026-12-08T14:13:01.123Z","level":"info","message":"client.init","sys":"client.stavo",
 *    "endpoint_count":1}
 *
 * members in this order: time (UTC, milliseconds), level, message, then the fields the logger
 * inherited through ember_with (outermost first), then the fields of the call. Keys and string
 * values are escaped, so every record is valid JSON whatever bytes the values hold (bytes of
 * 0x80 and above are passed through; invalid UTF-8 is not repaired).
 *
 * Each record is built whole and written with one write, so records of concurrent threads never
 * interleave. Loggers are thread-safe: any thread may log through any logger at any time.
 *
 * Field constructors return fields by value and never allocate; the strings they point to must
 * stay valid until the log call returns. ember_with copies what it needs.
 */
#ifndef EMBER_H
#define EMBER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define EMBER_API __attribute__((visibility("default")))
#else
/* Marks a function the library exports. */
#define EMBER_API
#endif

#ifdef __cplusplus
/* noexcept for C++ callers, nothing in C. */
#define EMBER_NOEXCEPT noexcept
extern "C" {
#else
#define EMBER_NOEXCEPT
#endif

/* Levels, lowest first. A logger drops records below its minimum level. */
typedef enum ember_level {
  EMBER_LEVEL_TRACE = 0, /* "trace": the finest detail */
  EMBER_LEVEL_DEBUG = 1, /* "debug" */
  EMBER_LEVEL_INFO = 2,  /* "info": the default minimum level */
  EMBER_LEVEL_WARN = 3,  /* "warn" */
  EMBER_LEVEL_ERROR = 4, /* "error" */
  EMBER_LEVEL_OFF = 127  /* as a minimum level: suppress every record */
} ember_level;

/* Type of a field's value. */
typedef enum ember_field_type {
  EMBER_FIELD_NULL = 0, /* no value: written as null */
  EMBER_FIELD_STR = 1,  /* value.str */
  EMBER_FIELD_BOOL = 2, /* value.boolean */
  EMBER_FIELD_I64 = 3,  /* value.i64 */
  EMBER_FIELD_U64 = 4   /* value.u64 */
} ember_field_type;

/* One field of a record: a key and a typed value. Build with the constructors below. */
typedef struct ember_field {
  const char *key; /* the field's key */
  int32_t type;    /* ember_field_type */
  int32_t
      trusted; /* 1: str points to storage that outlives every logger (ember_with need not copy) */
  union {
    const char *str; /* EMBER_FIELD_STR; NULL is written as null */
    int64_t i64;     /* EMBER_FIELD_I64 */
    uint64_t u64;    /* EMBER_FIELD_U64 */
    int32_t boolean; /* EMBER_FIELD_BOOL: non-zero is true */
  } value;           /* the value, in the member that type names */
} ember_field;

/* Receives each finished record (without the trailing newline when newline is 0). */
typedef void (*ember_write_fn)(void *user, const char *record, size_t length);

/* Configuration of a root logger. Fill with ember_default_config, change, pass to ember_new. */
typedef struct ember_config {
  int32_t min_level;     /* ember_level; default EMBER_LEVEL_INFO; 127 suppresses everything */
  FILE *file;            /* when set (and write is NULL): records go to this stream */
  ember_write_fn write;  /* when set: each record is handed to this callback instead */
  void *write_user;      /* passed to write */
  int32_t include_time;  /* default 1: records begin with "time" */
  int32_t write_newline; /* default 1: the callback receives the record with its final '\n' */
} ember_config;

/* A logger handle. Destroy it through its own destroy operation (or ember_destroy). */
typedef struct ember_logger ember_logger;
struct ember_logger {
  void (*destroy)(ember_logger *self); /* frees the logger; called by ember_destroy */
  struct ember_logger_state *state;    /* private */
};

/* Fills *config with the defaults: level info, output stderr, time included, newline written. */
EMBER_API void ember_default_config(ember_config *config) EMBER_NOEXCEPT;

/* Creates a root logger; NULL config means the defaults. Returns NULL when out of memory. */
EMBER_API ember_logger *ember_new(const ember_config *config) EMBER_NOEXCEPT;

/* Creates a child that adds the given fields to every record it writes, after the fields of
 * base. The child shares the base's output and level; it stays usable when the base is destroyed
 * and the base stays usable when the child is destroyed. Returns NULL on failure (NULL base,
 * out of memory). Field keys and string values are copied unless the field is trusted. */
EMBER_API ember_logger *ember_with(ember_logger *base, const ember_field *fields, size_t count)
    EMBER_NOEXCEPT;

/* Destroys a logger through its destroy operation; NULL is ignored. */
EMBER_API void ember_destroy(ember_logger *logger) EMBER_NOEXCEPT;

/* Minimum level of the logger's output (EMBER_LEVEL_OFF for a NULL logger). */
EMBER_API int ember_min_level(const ember_logger *logger) EMBER_NOEXCEPT;

/* Field constructors: return the field by value, allocate nothing. A NULL string in ember_str or
 * ember_trusted_str is written as null. */
EMBER_API ember_field ember_str(const char *key, const char *value) EMBER_NOEXCEPT;
/* A string field whose key and value outlive every logger, so ember_with need not copy them. */
EMBER_API ember_field ember_trusted_str(const char *key, const char *value) EMBER_NOEXCEPT;
/* A null field. */
EMBER_API ember_field ember_null(const char *key) EMBER_NOEXCEPT;
/* A boolean field (non-zero: true). */
EMBER_API ember_field ember_bool(const char *key, int value) EMBER_NOEXCEPT;
/* A signed integer field. */
EMBER_API ember_field ember_i64(const char *key, int64_t value) EMBER_NOEXCEPT;
/* An unsigned integer field. */
EMBER_API ember_field ember_u64(const char *key, uint64_t value) EMBER_NOEXCEPT;

/* Log functions: one record at the given level with the call's fields (fields may be NULL when
 * count is 0). A NULL logger or message writes nothing. Never fails the caller: a record that
 * cannot be built (out of memory) is dropped. */
EMBER_API void ember_trace(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) EMBER_NOEXCEPT;
/* Logs at EMBER_LEVEL_DEBUG. */
EMBER_API void ember_debug(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) EMBER_NOEXCEPT;
/* Logs at EMBER_LEVEL_INFO. */
EMBER_API void ember_info(ember_logger *logger, const char *message, const ember_field *fields,
                          size_t count) EMBER_NOEXCEPT;
/* Logs at EMBER_LEVEL_WARN. */
EMBER_API void ember_warn(ember_logger *logger, const char *message, const ember_field *fields,
                          size_t count) EMBER_NOEXCEPT;
/* Logs at EMBER_LEVEL_ERROR. */
EMBER_API void ember_error(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) EMBER_NOEXCEPT;

/* The level's name as written in records ("trace" ... "error"; "unknown" otherwise). */
EMBER_API const char *ember_level_name(int level) EMBER_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* EMBER_H */
