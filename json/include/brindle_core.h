/*
 * libbrindle core vocabulary: status codes, the error record, allocators, field maps and the
 * records they describe, option records, and the whole-record operations.
 *
 * A caller describes a record type once, as a constant brindle_map of brindle_field descriptors,
 * and then parses JSON straight into such a record or serializes it. The BRINDLE_DECL_* macros
 * below fill descriptors (key length, first and last key byte, offsets) from C and C++:
 *
 *   typedef struct point { int64_t x; int64_t y; char *label; } point;
 *   static const brindle_field point_fields[] = {
 *     BRINDLE_DECL_I64(point, x, "x", BRINDLE_FIELD_REQUIRED),
 *     BRINDLE_DECL_I64(point, y, "y", BRINDLE_FIELD_REQUIRED),
 *     BRINDLE_DECL_STRING(point, label, "label", BRINDLE_FIELD_OMIT_NULL),
 *   };
 *   static const brindle_map point_map = BRINDLE_MAP("point_json", point, point_fields);
 */
#ifndef BRINDLE_CORE_H
#define BRINDLE_CORE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define BRINDLE_API __attribute__((visibility("default")))
#else
/* Marks a function the library exports. */
#define BRINDLE_API
#endif

#ifdef __cplusplus
/* noexcept for C++ callers, nothing in C. */
#define BRINDLE_NOEXCEPT noexcept
extern "C" {
#else
#define BRINDLE_NOEXCEPT
#endif

/* The library's version. */
#define BRINDLE_VERSION_STRING "0.12.0"

/* ---- Status codes ------------------------------------------------------------------------ */

/* Every operation returns one of these; 0 is success. BRINDLE_TRUNCATED is success with loss. */
typedef enum brindle_status {
  BRINDLE_OK = 0,                     /* success */
  BRINDLE_INVALID_ARGUMENT = 1,       /* a missing or invalid argument */
  BRINDLE_INVALID_JSON = 2,           /* the input is not valid JSON */
  BRINDLE_TYPE_MISMATCH = 3,          /* a value's JSON type does not fit its member */
  BRINDLE_MISSING_REQUIRED_FIELD = 4, /* a BRINDLE_FIELD_REQUIRED key did not occur */
  BRINDLE_DUPLICATE_FIELD = 5,        /* a key occurred twice (with reject_duplicates) */
  BRINDLE_OVERFLOW = 6,               /* a value exceeds its storage or a limit */
  BRINDLE_TRUNCATED = 7,              /* success, but something was cut to fit */
  BRINDLE_ALLOCATION_FAILED = 8,      /* the allocator refused */
  BRINDLE_CALLBACK_FAILED = 9,        /* a caller's callback failed */
  BRINDLE_IO_ERROR = 10,              /* a file or descriptor failed; see system_errno */
  BRINDLE_INTERNAL_ERROR = 11         /* an internal failure */
} brindle_status;

/* The status's name ("ok", "invalid_json", ...); "unknown" for any other value. */
BRINDLE_API const char *brindle_status_string(int status) BRINDLE_NOEXCEPT;

/* ---- Error record ------------------------------------------------------------------------ */

/* Bytes of brindle_error's message, with its NUL. */
#define BRINDLE_ERROR_MESSAGE_SIZE 160

/* Optional out-parameter of every operation. Position members are 0 for failures that are not
 * tied to an input position. */
typedef struct brindle_error {
  int32_t code;                             /* a brindle_status */
  size_t line;                              /* 1-based line of the input position */
  size_t column;                            /* bytes consumed since the last newline */
  size_t offset;                            /* bytes consumed */
  int32_t system_errno;                     /* errno of BRINDLE_IO_ERROR failures, else 0 */
  int32_t truncated;                        /* 1 once anything was truncated */
  char message[BRINDLE_ERROR_MESSAGE_SIZE]; /* NUL-terminated, cut at 159 characters */
} brindle_error;

/* Zeroes the record (code BRINDLE_OK, empty message). NULL is ignored. */
BRINDLE_API void brindle_error_init(brindle_error *error) BRINDLE_NOEXCEPT;

/* ---- Allocators -------------------------------------------------------------------------- */

/* Exact statistics of one allocator: counts and payload bytes. Updated without locks. */
typedef struct brindle_alloc_stats {
  uint64_t allocations;   /* successful malloc calls */
  uint64_t reallocations; /* successful realloc calls */
  uint64_t frees;         /* free calls */
  uint64_t current_bytes; /* payload bytes now held */
  uint64_t peak_bytes;    /* largest current_bytes seen */
} brindle_alloc_stats;

/* Give all three callbacks or none (none = the system's malloc, realloc and free). */
typedef struct brindle_allocator {
  void *(*malloc)(void *ctx, size_t size);             /* allocates size bytes */
  void *(*realloc)(void *ctx, void *ptr, size_t size); /* resizes ptr to size bytes */
  void (*free)(void *ctx, void *ptr);                  /* frees ptr */
  void *ctx;                                           /* passed to the three callbacks */
  brindle_alloc_stats *stats;                          /* optional */
} brindle_allocator;

/* The default allocator record (system functions, no context, no statistics). */
BRINDLE_API brindle_allocator brindle_default_allocator(void) BRINDLE_NOEXCEPT;

/* ---- Readers and sinks ------------------------------------------------------------------- */

/* Result of a reader call. */
typedef struct brindle_read_result {
  size_t bytes;        /* bytes placed in the buffer */
  int32_t eof;         /* no more input after these bytes */
  int32_t would_block; /* no input now; try again later (streaming readers only) */
  int32_t error;       /* non-zero: failure, reported with this value as system_errno */
} brindle_read_result;

/* A read result of 0 bytes with every flag 0. */
BRINDLE_API brindle_read_result brindle_default_read_result(void) BRINDLE_NOEXCEPT;

/* Pulls input: fills up to capacity bytes of buffer. */
typedef brindle_read_result (*brindle_reader)(void *user, char *buffer, size_t capacity);

/* Takes output: returns BRINDLE_OK, BRINDLE_TRUNCATED to go on with loss, or any other status to
 * stop the operation. */
typedef brindle_status (*brindle_sink)(void *user, const char *bytes, size_t length,
                                       brindle_error *error);

/* ---- Field maps -------------------------------------------------------------------------- */

/* Kind of a mapped member; the comment gives the member's C type. */
typedef enum brindle_field_kind {
  BRINDLE_FIELD_STRING = 0,        /* char * (dynamic) or char[capacity] (fixed) */
  BRINDLE_FIELD_SPOOLED_TEXT = 1,  /* brindle_spooled: decoded string text */
  BRINDLE_FIELD_SPOOLED_BYTES = 2, /* brindle_spooled: bytes decoded from a base64 string */
  BRINDLE_FIELD_SOURCE_TEXT = 3,   /* brindle_source: written as a string; never parsed */
  BRINDLE_FIELD_SOURCE_BYTES = 4,  /* brindle_source: written as base64; never parsed */
  BRINDLE_FIELD_JSON_VALUE = 5,    /* brindle_json_value: any JSON value, kept raw */
  BRINDLE_FIELD_I64 = 6,           /* int64_t */
  BRINDLE_FIELD_U64 = 7,           /* uint64_t */
  BRINDLE_FIELD_F64 = 8,           /* double */
  BRINDLE_FIELD_BOOL = 9,          /* int32_t, 0 or 1 */
  BRINDLE_FIELD_OBJECT = 10,       /* nested record of submap->struct_size bytes */
  BRINDLE_FIELD_STRING_ARRAY = 11, /* brindle_array of char * */
  BRINDLE_FIELD_I64_ARRAY = 12,    /* brindle_array of int64_t */
  BRINDLE_FIELD_U64_ARRAY = 13,    /* brindle_array of uint64_t */
  BRINDLE_FIELD_F64_ARRAY = 14,    /* brindle_array of double */
  BRINDLE_FIELD_BOOL_ARRAY = 15,   /* brindle_array of int32_t */
  BRINDLE_FIELD_OBJECT_ARRAY = 16, /* brindle_object_array of submap records */
  BRINDLE_FIELD_STRING_STREAM = 17 /* brindle_string_array_stream; parse-only */
} brindle_field_kind;

/* Storage of strings and arrays. */
enum {
  BRINDLE_STORAGE_DYNAMIC = 0, /* allocated by the library */
  BRINDLE_STORAGE_FIXED = 1    /* caller storage of capacity bytes or elements */
};

/* What happens when fixed storage is too small. */
enum {
  BRINDLE_OVERFLOW_FAIL = 0,           /* fail with BRINDLE_OVERFLOW */
  BRINDLE_OVERFLOW_TRUNCATE = 1,       /* keep what fits; the parse ends with BRINDLE_TRUNCATED */
  BRINDLE_OVERFLOW_TRUNCATE_SILENT = 2 /* keep what fits; a parse also ends BRINDLE_TRUNCATED */
};

/* Field flags. */
#define BRINDLE_FIELD_REQUIRED 0x1u    /* the key must occur in the object */
#define BRINDLE_FIELD_OMIT_NULL 0x2u   /* omit NULL strings and none sources / JSON values */
#define BRINDLE_FIELD_OMIT_EMPTY 0x4u  /* also omit empty arrays, spools and objects */
#define BRINDLE_FIELD_HAS_PRESENT 0x8u /* an int32 present flag at present_offset */
/* Numbers and bools (kinds 6 to 9) accept null: the parser leaves the member as it was and sets
   the present flag, if any, to 0; the serializer writes null for such a member whose present
   flag is 0 instead of omitting it. Without this flag a null there is a type mismatch. Other
   kinds take null anyway and ignore the flag. */
#define BRINDLE_FIELD_NULLABLE 0x10u

typedef struct brindle_map brindle_map;

/* Options of a spooled member. */
typedef struct brindle_spool_options {
  size_t memory_limit;  /* bytes kept in memory before spilling (default 65536) */
  size_t max_bytes;     /* largest value (0 = unlimited) */
  const char *temp_dir; /* spill directory (NULL: an anonymous temporary file) */
} brindle_spool_options;

/* One member of a mapped record. */
typedef struct brindle_field {
  const char *json_key;      /* the JSON key, NUL-terminated */
  size_t json_key_len;       /* its length (0: the empty key) */
  char key_first;            /* first byte of the key (0 for the empty key) */
  char key_last;             /* last byte of the key */
  size_t offset;             /* position of the member in the record */
  int32_t kind;              /* brindle_field_kind */
  int32_t storage;           /* BRINDLE_STORAGE_* */
  int32_t overflow;          /* BRINDLE_OVERFLOW_* */
  uint32_t flags;            /* BRINDLE_FIELD_* flags */
  size_t capacity;           /* fixed strings: bytes with the NUL; fixed arrays: elements */
  size_t element_size;       /* object arrays: size of one element record */
  const brindle_map *submap; /* objects and object arrays */
  const brindle_spool_options *spool_options; /* spooled kinds; NULL = defaults */
  size_t present_offset;                      /* with BRINDLE_FIELD_HAS_PRESENT */
} brindle_field;

/* A record type: its fields in JSON output order. */
struct brindle_map {
  const char *name;            /* diagnostic name, not interpreted */
  size_t struct_size;          /* sizeof the record type */
  const brindle_field *fields; /* the record's field descriptors, field_count of them */
  size_t field_count;          /* entries in fields */
};

/* Array record flags. */
#define BRINDLE_ARRAY_OWNED 0x1 /* the library owns items and frees it */
#define BRINDLE_ARRAY_FIXED 0x2 /* items is caller storage of capacity elements; never grown */

/* Member of kinds 11 to 15. For fixed storage set items, capacity and flags = 0x2 after init. */
typedef struct brindle_array {
  void *items;     /* the elements; owned by the library with BRINDLE_ARRAY_OWNED */
  size_t count;    /* elements in use */
  size_t capacity; /* elements allocated */
  int32_t flags;   /* BRINDLE_ARRAY_* */
} brindle_array;

/* Member of kind 16: elements are records of element_size bytes. */
typedef struct brindle_object_array {
  void *items;         /* the element records */
  size_t count;        /* elements in use */
  size_t capacity;     /* elements allocated */
  size_t element_size; /* copied from the descriptor at initialisation */
  int32_t flags;       /* BRINDLE_ARRAY_* */
} brindle_object_array;

typedef struct brindle_string_array_stream brindle_string_array_stream;

/* Receives the strings of a kind-17 member piecewise; chunk is mandatory. */
typedef struct brindle_string_stream_handler {
  /* A string element starts; optional. */
  brindle_status (*begin)(void *user, brindle_error *error, brindle_string_array_stream *stream);
  /* The next decoded bytes of the element; required. */
  brindle_status (*chunk)(void *user, const char *bytes, size_t length, brindle_error *error);
  brindle_status (*end)(void *user, brindle_error *error); /* the element is complete; optional */
} brindle_string_stream_handler;

/* Member of kind 17. Initialise with brindle_string_array_stream_init (or brindle_init), then
 * install a handler with brindle_string_array_stream_set_handler before parsing. */
struct brindle_string_array_stream {
  brindle_string_stream_handler handler; /* the installed handler */
  void *user;                            /* the handler's user pointer */
  int32_t active;                        /* a string is being delivered */
  int32_t marker;                        /* derived from the record's address */
};

/* Zeroes the stream (no handler installed) and sets its marker; NULL is ignored. */
BRINDLE_API void brindle_string_array_stream_init(brindle_string_array_stream *stream)
    BRINDLE_NOEXCEPT;
/* Installs a copy of handler and its user pointer on a kind-17 member; BRINDLE_INVALID_ARGUMENT
 * "string array stream and chunk handler are required" without a chunk function. */
BRINDLE_API brindle_status brindle_string_array_stream_set_handler(
    brindle_string_array_stream *stream, const brindle_string_stream_handler *handler, void *user,
    brindle_error *error) BRINDLE_NOEXCEPT;

/* ---- Map declaration helpers ------------------------------------------------------------- */

#ifdef __cplusplus
/* sizeof the member of type, in C and C++ (a helper of the macros below). */
#define BRINDLE_MEMBER_SIZE_(type, member) sizeof(static_cast<type *>(nullptr)->member)
#else
#define BRINDLE_MEMBER_SIZE_(type, member) sizeof(((type *)0)->member)
#endif

/* json_key, json_key_len, key_first, key_last from a string literal. */
#define BRINDLE_KEY_(key) \
  (key), (sizeof(key) - 1), (key)[0], (key)[sizeof(key) > 1 ? sizeof(key) - 2 : 0]

/* Any descriptor, member by member. */
#define BRINDLE_DECL_FIELD(type, member, key, kind, storage, overflow, flags, capacity,            \
                           element_size, submap, spool_options, present_offset)                    \
  {                                                                                                \
    BRINDLE_KEY_(key), offsetof(type, member), (kind), (storage), (overflow), (flags), (capacity), \
        (element_size), (submap), (spool_options), (present_offset)                                \
  }

/* A dynamic descriptor without capacity, submap or spool options (a helper of the macros below). */
#define BRINDLE_DECL_SIMPLE_(type, member, key, kind, flags)                                  \
  BRINDLE_DECL_FIELD(type, member, key, kind, BRINDLE_STORAGE_DYNAMIC, BRINDLE_OVERFLOW_FAIL, \
                     flags, 0, 0, NULL, NULL, 0)

/* char *member: a library-allocated string. */
#define BRINDLE_DECL_STRING(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_STRING, flags)
/* char member[N]: an inline string of N bytes with the NUL; overflow is a BRINDLE_OVERFLOW_*. */
#define BRINDLE_DECL_FIXED_STRING(type, member, key, flags, overflow)                          \
  BRINDLE_DECL_FIELD(type, member, key, BRINDLE_FIELD_STRING, BRINDLE_STORAGE_FIXED, overflow, \
                     flags, BRINDLE_MEMBER_SIZE_(type, member), 0, NULL, NULL, 0)
/* int64_t member. */
#define BRINDLE_DECL_I64(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_I64, flags)
/* uint64_t member. */
#define BRINDLE_DECL_U64(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_U64, flags)
/* double member. */
#define BRINDLE_DECL_F64(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_F64, flags)
/* int32_t member holding 0 or 1. */
#define BRINDLE_DECL_BOOL(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_BOOL, flags)
/* A number or bool member with an int32 present flag (kinds 6 to 9). */
#define BRINDLE_DECL_PRESENT(type, member, key, kind, flags, present_member)                  \
  BRINDLE_DECL_FIELD(type, member, key, kind, BRINDLE_STORAGE_DYNAMIC, BRINDLE_OVERFLOW_FAIL, \
                     (flags) | BRINDLE_FIELD_HAS_PRESENT, 0, 0, NULL, NULL,                   \
                     offsetof(type, present_member))
/* Nested record of the submap's type. */
#define BRINDLE_DECL_OBJECT(type, member, key, flags, submap)                          \
  BRINDLE_DECL_FIELD(type, member, key, BRINDLE_FIELD_OBJECT, BRINDLE_STORAGE_DYNAMIC, \
                     BRINDLE_OVERFLOW_FAIL, flags, 0, 0, submap, NULL, 0)
/* brindle_array member; kind is BRINDLE_FIELD_STRING_ARRAY ... BRINDLE_FIELD_BOOL_ARRAY. */
#define BRINDLE_DECL_ARRAY(type, member, key, kind, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, kind, flags)
/* brindle_array member backed by caller storage of capacity elements (never allocates). */
#define BRINDLE_DECL_FIXED_ARRAY(type, member, key, kind, flags, overflow, capacity)               \
  BRINDLE_DECL_FIELD(type, member, key, kind, BRINDLE_STORAGE_FIXED, overflow, flags, capacity, 0, \
                     NULL, NULL, 0)
/* brindle_object_array member of element_type records described by submap. */
#define BRINDLE_DECL_OBJECT_ARRAY(type, member, key, flags, submap, element_type)            \
  BRINDLE_DECL_FIELD(type, member, key, BRINDLE_FIELD_OBJECT_ARRAY, BRINDLE_STORAGE_DYNAMIC, \
                     BRINDLE_OVERFLOW_FAIL, flags, 0, sizeof(element_type), submap, NULL, 0)
/* brindle_spooled member; kind BRINDLE_FIELD_SPOOLED_TEXT or _BYTES; options may be NULL. */
#define BRINDLE_DECL_SPOOLED(type, member, key, kind, flags, spool_options)                   \
  BRINDLE_DECL_FIELD(type, member, key, kind, BRINDLE_STORAGE_DYNAMIC, BRINDLE_OVERFLOW_FAIL, \
                     flags, 0, 0, NULL, spool_options, 0)
/* brindle_source member; kind BRINDLE_FIELD_SOURCE_TEXT or _BYTES. */
#define BRINDLE_DECL_SOURCE(type, member, key, kind, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, kind, flags)
/* brindle_json_value member. */
#define BRINDLE_DECL_JSON_VALUE(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_JSON_VALUE, flags)
/* brindle_string_array_stream member. */
#define BRINDLE_DECL_STRING_STREAM(type, member, key, flags) \
  BRINDLE_DECL_SIMPLE_(type, member, key, BRINDLE_FIELD_STRING_STREAM, flags)

/* A map over a constant field array. */
#define BRINDLE_MAP(name, type, fields) \
  { (name), sizeof(type), (fields), sizeof(fields) / sizeof((fields)[0]) }

/* ---- Option records ---------------------------------------------------------------------- */

/* Options of every parse; brindle_default_parse_options gives the defaults. */
typedef struct brindle_parse_options {
  int32_t clear_destination;          /* 1: brindle_init the destination before parsing */
  int32_t reject_duplicates;          /* 1: a repeated key fails with BRINDLE_DUPLICATE_FIELD */
  size_t max_depth;                   /* open objects and arrays (64; 0 disables the check) */
  const brindle_allocator *allocator; /* NULL: default */
} brindle_parse_options;

/* Options of every serializer and the generator; brindle_default_write_options gives the
 * defaults. */
typedef struct brindle_write_options {
  int32_t overflow; /* fixed buffers: 0 fail, 1 truncate (BRINDLE_TRUNCATED), 2 truncate (OK) */
  int32_t pretty;   /* pretty-printed output */
  const brindle_allocator *allocator; /* NULL: default */
  size_t max_output_bytes;            /* owned/allocated output limit (8 MiB; 0 means 8 MiB) */
} brindle_write_options;

/* Bounds of the value visitor and of raw JSON values; the numbers are the defaults. */
typedef struct brindle_value_limits {
  size_t max_depth;        /* 64 */
  size_t max_string_bytes; /* 1048576: decoded bytes of one string */
  size_t max_number_bytes; /* 256: characters of one number */
  size_t max_key_bytes;    /* 65536: decoded bytes of one key */
  size_t max_total_bytes;  /* 0: unlimited; bytes of the whole value */
} brindle_value_limits;

/* The parse defaults: clear_destination 1, reject_duplicates 1, max_depth 64, NULL allocator. */
BRINDLE_API brindle_parse_options brindle_default_parse_options(void) BRINDLE_NOEXCEPT;
/* The write defaults: compact, overflow 0, NULL allocator, max_output_bytes 8 MiB. */
BRINDLE_API brindle_write_options brindle_default_write_options(void) BRINDLE_NOEXCEPT;
/* The value limits noted on brindle_value_limits. */
BRINDLE_API brindle_value_limits brindle_default_value_limits(void) BRINDLE_NOEXCEPT;
/* The spool defaults: memory_limit 65536, no maximum, an anonymous spill file. */
BRINDLE_API brindle_spool_options brindle_default_spool_options(void) BRINDLE_NOEXCEPT;

/* Output of the owned serializers; remembers its allocator for brindle_owned_buffer_free. */
typedef struct brindle_owned_buffer {
  char *data;                                          /* the NUL-terminated output, or NULL */
  size_t length;                                       /* bytes of output, without the NUL */
  size_t capacity;                                     /* bytes allocated for data */
  void *(*malloc)(void *ctx, size_t size);             /* the allocator that made data */
  void *(*realloc)(void *ctx, void *ptr, size_t size); /* the allocator that made data */
  void (*free)(void *ctx, void *ptr);                  /* frees data */
  void *ctx;                  /* the first argument of the three functions */
  brindle_alloc_stats *stats; /* the allocator's statistics, or NULL */
} brindle_owned_buffer;

/* An empty owned buffer over the system malloc, realloc and free. */
BRINDLE_API brindle_owned_buffer brindle_default_owned_buffer(void) BRINDLE_NOEXCEPT;
/* Sets *buffer to brindle_default_owned_buffer(); NULL is ignored. */
BRINDLE_API void brindle_owned_buffer_init(brindle_owned_buffer *buffer) BRINDLE_NOEXCEPT;
/* Frees data with the buffer's own allocator and resets the record. NULL is ignored. */
BRINDLE_API void brindle_owned_buffer_free(brindle_owned_buffer *buffer) BRINDLE_NOEXCEPT;

/* ---- Whole-record operations ------------------------------------------------------------- */

/* Initialises every member described by the map (fresh records only: frees nothing). */
BRINDLE_API void brindle_init(const brindle_map *map, void *record) BRINDLE_NOEXCEPT;
/* Empties the record for reuse, keeping caller storage (fixed arrays, fixed strings). */
BRINDLE_API void brindle_reset(const brindle_map *map, void *record) BRINDLE_NOEXCEPT;
/* Frees everything the library allocated into the record and leaves every member empty. Does
 * nothing when the map's layout is invalid or an argument is NULL. */
BRINDLE_API void brindle_cleanup(const brindle_map *map, void *record) BRINDLE_NOEXCEPT;

/* ---- Filling records ---------------------------------------------------------------------
 *
 * Ownership rule: brindle_cleanup (and brindle_reset, and a parse that replaces a value) frees
 * every non-NULL dynamic string member (char *) and every string array element as a block of the
 * library, and the items of an array whose flags have BRINDLE_ARRAY_OWNED. A record filled by a
 * caller for serialization therefore holds, in those places, either blocks made by the
 * functions below (or by a parse), or the caller's own pointers (string literals, strdup,
 * arrays on the stack without BRINDLE_ARRAY_OWNED) that the caller sets back to NULL, or the
 * array's count to 0, before brindle_cleanup sees the record. Fixed strings and fixed arrays
 * (BRINDLE_ARRAY_FIXED) are caller storage and are never freed.
 *
 * Each function makes its blocks with allocator (NULL: the default); cleanup frees every block
 * with the allocator that made it. On failure the member is unchanged. */

/* Sets the dynamic string member *member to a copy of the length bytes at text, with a NUL
 * added (text may be NULL when length is 0); the string it held before is freed. Failures:
 * BRINDLE_INVALID_ARGUMENT "string member is required", "text is required", "allocator must
 * provide either all callbacks or none"; BRINDLE_ALLOCATION_FAILED "failed to allocate
 * string". */
BRINDLE_API brindle_status brindle_string_set(char **member, const char *text, size_t length,
                                              const brindle_allocator *allocator,
                                              brindle_error *error) BRINDLE_NOEXCEPT;
/* Appends a copy of the length bytes at text (NUL added) to a string array member. Failures as
 * brindle_string_set ("array is required"; "failed to allocate array string"), and those of
 * brindle_array_append. */
BRINDLE_API brindle_status brindle_string_array_append(brindle_array *array, const char *text,
                                                       size_t length,
                                                       const brindle_allocator *allocator,
                                                       brindle_error *error) BRINDLE_NOEXCEPT;
/* Appends the element_size bytes at element to a scalar array member (int64_t, uint64_t,
 * double, or int32_t 0/1 for booleans), growing an owned block by doubling; elements the
 * library does not own are first copied into a block of its own. Failures:
 * BRINDLE_INVALID_ARGUMENT "array and element are required"; BRINDLE_OVERFLOW "array capacity
 * exceeded" (a full fixed array), "array too large"; BRINDLE_ALLOCATION_FAILED "failed to grow
 * array". */
BRINDLE_API brindle_status brindle_array_append(brindle_array *array, const void *element,
                                                size_t element_size,
                                                const brindle_allocator *allocator,
                                                brindle_error *error) BRINDLE_NOEXCEPT;
/* Appends one element to an object array member, initialised with element_map (brindle_init),
 * and stores its address in *element: fill its members by the same rule. The address holds until
 * the next append. Failures as brindle_array_append ("array, element map and element are
 * required"). */
BRINDLE_API brindle_status brindle_object_array_append(brindle_object_array *array,
                                                       const brindle_map *element_map,
                                                       const brindle_allocator *allocator,
                                                       void **element, brindle_error *error)
    BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_CORE_H */
