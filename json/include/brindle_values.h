/*
 * Members that carry content beyond a fixed field — sources (outgoing file content), spooled
 * values (incoming strings that spill from memory to a temporary file) and raw JSON values —
 * plus the value visitor and validation, which look at JSON without a map.
 */
#ifndef BRINDLE_VALUES_H
#define BRINDLE_VALUES_H

#include "brindle_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sources ----------------------------------------------------------------------------- */

enum {
  BRINDLE_SOURCE_NONE = 0, /* no content */
  BRINDLE_SOURCE_FILE = 1, /* a FILE*, not owned */
  BRINDLE_SOURCE_FD = 2,   /* a descriptor, not owned */
  BRINDLE_SOURCE_PATH = 3  /* a path, copied */
};

/* Where the text or bytes of an outgoing string come from. Read from its start on every use. */
typedef struct brindle_source {
  int32_t kind; /* BRINDLE_SOURCE_* */
  FILE *file;   /* the FILE* of kind file, not owned */
  int32_t fd;   /* -1 when unused */
  char *path;   /* owned copy */
} brindle_source;

/* Zeroes the source: kind none, fd -1, no path. NULL is ignored. */
BRINDLE_API void brindle_source_init(brindle_source *source) BRINDLE_NOEXCEPT;
/* Free the owned path, then as init (the two are identical). */
BRINDLE_API void brindle_source_cleanup(brindle_source *source) BRINDLE_NOEXCEPT;
/* The same as brindle_source_cleanup. */
BRINDLE_API void brindle_source_reset(brindle_source *source) BRINDLE_NOEXCEPT;
/* The bytes of an open FILE*, not owned; replaces what the source held. */
BRINDLE_API brindle_status brindle_source_set_file(brindle_source *source, FILE *file,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* The bytes of a descriptor, not owned; replaces what the source held. */
BRINDLE_API brindle_status brindle_source_set_fd(brindle_source *source, int fd,
                                                 brindle_error *error) BRINDLE_NOEXCEPT;
/* The bytes of the file at path (copied); replaces what the source held. */
BRINDLE_API brindle_status brindle_source_set_path(brindle_source *source, const char *path,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* Passes the source's bytes, from its start, to the sink in blocks of up to 4096 bytes. */
BRINDLE_API brindle_status brindle_source_write_to_sink(const brindle_source *source,
                                                        brindle_sink sink, void *user,
                                                        brindle_error *error) BRINDLE_NOEXCEPT;
/* 1 when the source can be read again from its start (none, path, seekable FILE* or fd). */
BRINDLE_API int brindle_source_is_rewindable(const brindle_source *source) BRINDLE_NOEXCEPT;

/* ---- Spooled values ---------------------------------------------------------------------- */

/* A possibly large value: the first memory_limit bytes in memory, the rest in a spill file. */
typedef struct brindle_spooled {
  char *prefix;                  /* memory prefix (library allocation) */
  size_t prefix_length;          /* bytes in prefix */
  size_t size;                   /* total bytes appended */
  size_t read_pos;               /* cursor of brindle_spooled_read */
  brindle_spool_options options; /* the spool options in force */
  FILE *file;                    /* spill file, NULL until the first spill */
  int32_t spilled;               /* 1 once a spill file exists */
  char path[512];                /* name of a spill file made in temp_dir; empty when anonymous */
  brindle_allocator allocator;   /* makes the prefix */
  int32_t marker;                /* derived from the record's address */
} brindle_spooled;

/* options NULL: memory limit 65536, no maximum, anonymous spill file. */
BRINDLE_API void brindle_spooled_init(brindle_spooled *spooled,
                                      const brindle_spool_options *options) BRINDLE_NOEXCEPT;
/* As brindle_spooled_init with an allocator (default when NULL or incomplete). */
BRINDLE_API void brindle_spooled_init_with_allocator(brindle_spooled *spooled,
                                                     const brindle_spool_options *options,
                                                     const brindle_allocator *allocator)
    BRINDLE_NOEXCEPT;
/* Appends bytes, spilling to the file past the memory limit; fails past max_bytes. */
BRINDLE_API brindle_status brindle_spooled_append(brindle_spooled *spooled, const char *bytes,
                                                  size_t length, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Total bytes appended. */
BRINDLE_API size_t brindle_spooled_size(const brindle_spooled *spooled) BRINDLE_NOEXCEPT;
/* 1 once a spill file exists. */
BRINDLE_API int brindle_spooled_spilled(const brindle_spooled *spooled) BRINDLE_NOEXCEPT;
/* Moves the read cursor back to the first byte. */
BRINDLE_API brindle_status brindle_spooled_rewind(brindle_spooled *spooled, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Reads from the cursor; a read never crosses from the memory prefix into the file. */
BRINDLE_API brindle_read_result brindle_spooled_read(brindle_spooled *spooled, char *buffer,
                                                     size_t capacity) BRINDLE_NOEXCEPT;
/* Passes the whole content, from the start, to the sink (the read cursor does not move). */
BRINDLE_API brindle_status brindle_spooled_write_to_sink(brindle_spooled *spooled,
                                                         brindle_sink sink, void *user,
                                                         brindle_error *error) BRINDLE_NOEXCEPT;
/* Empties the value (a named spill file is removed), keeping options and allocator. */
BRINDLE_API void brindle_spooled_reset(brindle_spooled *spooled) BRINDLE_NOEXCEPT;
/* Frees the prefix and the spill file (a named one is removed), then initialises the value as
 * brindle_spooled_init with NULL options. */
BRINDLE_API void brindle_spooled_cleanup(brindle_spooled *spooled) BRINDLE_NOEXCEPT;

/* ---- Value visitor ----------------------------------------------------------------------- */

/* Events of one JSON value; any member may be NULL (the event is skipped). A status other than
 * BRINDLE_OK and BRINDLE_TRUNCATED stops the walk and is returned. */
typedef struct brindle_value_visitor {
  brindle_status (*object_begin)(void *user, brindle_error *error); /* '{' */
  brindle_status (*object_end)(void *user, brindle_error *error);   /* '}' */
  brindle_status (*key_begin)(void *user, brindle_error *error);    /* a key starts */
  /* Decoded bytes of the key. */
  brindle_status (*key_chunk)(void *user, const char *bytes, size_t length, brindle_error *error);
  brindle_status (*key_end)(void *user, brindle_error *error);      /* the key is complete */
  brindle_status (*array_begin)(void *user, brindle_error *error);  /* '[' */
  brindle_status (*array_end)(void *user, brindle_error *error);    /* ']' */
  brindle_status (*string_begin)(void *user, brindle_error *error); /* a string value starts */
  /* Decoded bytes of the string. */
  brindle_status (*string_chunk)(void *user, const char *bytes, size_t length,
                                 brindle_error *error);
  brindle_status (*string_end)(void *user, brindle_error *error);   /* the string is complete */
  brindle_status (*number_begin)(void *user, brindle_error *error); /* a number starts */
  /* Characters of the number as written. */
  brindle_status (*number_chunk)(void *user, const char *bytes, size_t length,
                                 brindle_error *error);
  brindle_status (*number_end)(void *user, brindle_error *error); /* the number is complete */
  /* True (1) or false (0). */
  brindle_status (*boolean)(void *user, int32_t value, brindle_error *error);
  brindle_status (*null_value)(void *user, brindle_error *error); /* null */
} brindle_value_visitor;

/* A visitor with every member NULL. */
BRINDLE_API brindle_value_visitor brindle_default_value_visitor(void) BRINDLE_NOEXCEPT;

/* Walk exactly one JSON value (whitespace around it allowed). limits NULL: the defaults; zero
 * members of a given record mean their defaults (max_total_bytes 0: no total limit). */
BRINDLE_API brindle_status brindle_visit_value_buffer(const char *bytes, size_t length,
                                                      const brindle_value_visitor *visitor,
                                                      void *user,
                                                      const brindle_value_limits *limits,
                                                      brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_visit_value_buffer, over a NUL-terminated text. */
BRINDLE_API brindle_status brindle_visit_value_cstr(const char *text,
                                                    const brindle_value_visitor *visitor,
                                                    void *user, const brindle_value_limits *limits,
                                                    brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_visit_value_buffer, reading from reader. */
BRINDLE_API brindle_status brindle_visit_value_reader(brindle_reader reader, void *reader_user,
                                                      const brindle_value_visitor *visitor,
                                                      void *user,
                                                      const brindle_value_limits *limits,
                                                      brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_visit_value_buffer, reading an open file (not closed). */
BRINDLE_API brindle_status brindle_visit_value_filep(FILE *file,
                                                     const brindle_value_visitor *visitor,
                                                     void *user, const brindle_value_limits *limits,
                                                     brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_visit_value_buffer, over the file at path. */
BRINDLE_API brindle_status brindle_visit_value_path(const char *path,
                                                    const brindle_value_visitor *visitor,
                                                    void *user, const brindle_value_limits *limits,
                                                    brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_visit_value_buffer, reading a descriptor (not closed). */
BRINDLE_API brindle_status brindle_visit_value_fd(int fd, const brindle_value_visitor *visitor,
                                                  void *user, const brindle_value_limits *limits,
                                                  brindle_error *error) BRINDLE_NOEXCEPT;

/* ---- Validation -------------------------------------------------------------------------- */

/* Syntax check of one JSON document of any root type, with the parser's positions. */
BRINDLE_API brindle_status brindle_validate_buffer(const char *bytes, size_t length,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_validate_buffer, over a NUL-terminated text. */
BRINDLE_API brindle_status brindle_validate_cstr(const char *text, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* As brindle_validate_buffer, reading from reader. */
BRINDLE_API brindle_status brindle_validate_reader(brindle_reader reader, void *user,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_validate_buffer, reading an open file (not closed). */
BRINDLE_API brindle_status brindle_validate_filep(FILE *file, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* As brindle_validate_buffer, over the file at path. */
BRINDLE_API brindle_status brindle_validate_path(const char *path, brindle_error *error)
    BRINDLE_NOEXCEPT;

/* ---- Raw JSON values --------------------------------------------------------------------- */

enum {
  BRINDLE_JSON_VALUE_NONE = 0,   /* no content; written as null */
  BRINDLE_JSON_VALUE_BUFFER = 1, /* owned compact text */
  BRINDLE_JSON_VALUE_READER = 2, /* pulled from reader */
  BRINDLE_JSON_VALUE_FILE = 3,   /* FILE*, not owned */
  BRINDLE_JSON_VALUE_FD = 4,     /* descriptor, not owned */
  BRINDLE_JSON_VALUE_PATH = 5    /* owned path copy */
};

enum {
  BRINDLE_JSON_PARSE_NONE = 0,    /* no parse configuration */
  BRINDLE_JSON_PARSE_SINK = 1,    /* the value's compact text goes to parse_sink */
  BRINDLE_JSON_PARSE_VISITOR = 2, /* the value is delivered as visitor events */
  BRINDLE_JSON_PARSE_CAPTURE = 3  /* the value's compact text is kept in buffer */
};

/* An embedded JSON value: content to write, or a parse target. */
typedef struct brindle_json_value {
  int32_t kind;                         /* BRINDLE_JSON_VALUE_* */
  char *buffer;                         /* owned, NUL-terminated compact JSON text */
  size_t length;                        /* bytes in buffer, without the NUL */
  brindle_reader reader;                /* content reader (kind reader) */
  void *reader_user;                    /* the reader's user pointer */
  FILE *file;                           /* content file (kind file), not owned */
  int32_t fd;                           /* -1 when unused */
  char *path;                           /* content path (kind path), owned copy */
  int32_t parse_mode;                   /* BRINDLE_JSON_PARSE_* */
  brindle_sink parse_sink;              /* receives the compact text (parse mode sink) */
  void *parse_sink_user;                /* the sink's user pointer */
  const brindle_value_visitor *visitor; /* receives the events (parse mode visitor) */
  void *visitor_user;                   /* the visitor's user pointer */
  brindle_value_limits limits;          /* bounds of reading and re-emitting the value */
  brindle_allocator allocator;          /* makes buffer and path */
  int32_t marker;                       /* derived from the record's address */
} brindle_json_value;

/* Initialises an empty value (kind none) with the default allocator. */
BRINDLE_API void brindle_json_value_init(brindle_json_value *value) BRINDLE_NOEXCEPT;
/* As brindle_json_value_init, with allocator (default when NULL). */
BRINDLE_API void brindle_json_value_init_with_allocator(brindle_json_value *value,
                                                        const brindle_allocator *allocator)
    BRINDLE_NOEXCEPT;
/* Free owned content and clear the parse configuration, keeping the allocator. */
BRINDLE_API void brindle_json_value_cleanup(brindle_json_value *value) BRINDLE_NOEXCEPT;
/* The same as brindle_json_value_cleanup. */
BRINDLE_API void brindle_json_value_reset(brindle_json_value *value) BRINDLE_NOEXCEPT;
/* Parses exactly one value and stores its compact form; on failure the value is unchanged. */
BRINDLE_API brindle_status brindle_json_value_set_buffer(brindle_json_value *value,
                                                         const char *bytes, size_t length,
                                                         brindle_error *error) BRINDLE_NOEXCEPT;
/* Content pulled from a reader when the value is written (a reader cannot be rewound). */
BRINDLE_API brindle_status brindle_json_value_set_reader(brindle_json_value *value,
                                                         brindle_reader reader, void *user,
                                                         brindle_error *error) BRINDLE_NOEXCEPT;
/* Content from an open FILE*, not owned. */
BRINDLE_API brindle_status brindle_json_value_set_file(brindle_json_value *value, FILE *file,
                                                       brindle_error *error) BRINDLE_NOEXCEPT;
/* Content from a descriptor, not owned. */
BRINDLE_API brindle_status brindle_json_value_set_fd(brindle_json_value *value, int fd,
                                                     brindle_error *error) BRINDLE_NOEXCEPT;
/* Content from the file at path (copied). */
BRINDLE_API brindle_status brindle_json_value_set_path(brindle_json_value *value, const char *path,
                                                       brindle_error *error) BRINDLE_NOEXCEPT;
/* Parse configurations, used when the value is the target of a mapped parse. */
BRINDLE_API brindle_status brindle_json_value_set_parse_sink(brindle_json_value *value,
                                                             brindle_sink sink, void *user,
                                                             brindle_error *error) BRINDLE_NOEXCEPT;
/* A parse delivers the value as visitor events under limits (NULL: defaults). */
BRINDLE_API brindle_status brindle_json_value_set_parse_visitor(
    brindle_json_value *value, const brindle_value_visitor *visitor, void *user,
    const brindle_value_limits *limits, brindle_error *error) BRINDLE_NOEXCEPT;
/* Makes a parse keep the value's compact text in buffer. */
BRINDLE_API brindle_status brindle_json_value_enable_parse_capture(brindle_json_value *value,
                                                                   brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Writes the value as compact JSON (null for kind none). Content other than stored text is read
 * from its start and re-emitted under the value's limits: at most limits.max_depth levels of
 * nesting and, when non-zero, limits.max_total_bytes of input. */
BRINDLE_API brindle_status brindle_json_value_write_to_sink(const brindle_json_value *value,
                                                            brindle_sink sink, void *user,
                                                            brindle_error *error) BRINDLE_NOEXCEPT;
/* 1 for none, buffer and path, and for seekable FILE* / fd; 0 for a reader. */
BRINDLE_API int brindle_json_value_is_rewindable(const brindle_json_value *value) BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_VALUES_H */
