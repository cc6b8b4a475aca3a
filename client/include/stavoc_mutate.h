/*
 * Local mutation of JSON state documents: mutation expressions parsed into plans, plans applied
 * to a document while it streams from one file into another, and the lease's local mutate,
 * which reads the key's state, applies a plan and uploads the result with preconditions.
 *
 *   const char *exprs[] = {"/count=3", "/owner=\"me\"", "rm:/draft", "time:/seen=now"};
 *   sv_mutation_plan *plan = NULL;
 *   FILE *result = NULL;
 *   if (sv_mutation_plan_build(exprs, 4, NULL, &plan, &error) == SV_OK &&
 *       sv_mutation_plan_apply(plan, input, &result, &error) == SV_OK) {
 *     ... read result, then fclose(result) ...
 *   }
 *   sv_mutation_plan_close(plan);
 *
 * Expressions, one location each, named by a JSON pointer ("/a/b", "~1" for '/', "~0" for '~'):
 *   /p=text        sets a literal: true, false, null (any case), an integer, a double, else the
 *                  text; white space around it and one pair of matching quotes are removed
 *   /p=5           a bare number (no white space around it) adds that number instead;
 *                  /p= 5 or /p='5' stores 5
 *   /p++  /p--     adds 1 or -1
 *   rm:/p          removes the member (also remove:, delete:, del:)
 *   time:/p=now    sets a normalised UTC timestamp (now, or an RFC 3339 date-time)
 *   file:/p=path   sets the contents of a file: as text when it is valid UTF-8, else base64;
 *                  textfile: (text, refusing invalid UTF-8) and base64file: (always base64);
 *                  a relative path resolves against file_value_base_dir, "~/" against HOME
 *   /p/{a=1,b=2}   expands into /p/a=1 and /p/b=2 (items split at ',' or a line feed outside
 *                  quotes and nested braces)
 * Wildcard segments (*, **, [], ...) are refused.
 */
#ifndef STAVOC_MUTATE_H
#define STAVOC_MUTATE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "stavoc_common.h"
#include "stavoc_lease.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mutation kinds. */
enum {
  SV_MUTATION_SET = 1,       /* /p=value, time:, file: */
  SV_MUTATION_INCREMENT = 2, /* /p++, /p-- and a bare number */
  SV_MUTATION_REMOVE = 3     /* rm:/p */
};

/* Value kinds of a set. */
enum {
  SV_MUTATION_VALUE_STRING = 1, /* string_value: a text or a normalised timestamp */
  SV_MUTATION_VALUE_BOOL = 2,   /* bool_value */
  SV_MUTATION_VALUE_NULL = 3,   /* null */
  SV_MUTATION_VALUE_INT = 4,    /* int_value */
  SV_MUTATION_VALUE_DOUBLE = 5, /* double_value */
  SV_MUTATION_VALUE_FILE = 6    /* the contents of file_path, read as file_kind says */
};

/* Kinds of a file-backed value. */
enum {
  SV_MUTATION_FILE_AUTO = 1,  /* file: text when it is valid UTF-8, else base64 */
  SV_MUTATION_FILE_TEXT = 2,  /* textfile: text, refusing invalid UTF-8 */
  SV_MUTATION_FILE_BASE64 = 3 /* base64file: always base64 */
};

/* Opens a file-backed value as a source; the caller closes the source. Returns an SV_* status
 * and fills error on failure. */
typedef struct sv_mutation_file_opener {
  /* Opens path as a new source in *out; returns an SV_* status. */
  int (*open)(void *context, const char *path, sv_source **out, sv_error *error);
  void *context; /* the first argument of open */
} sv_mutation_file_opener;

/* One parsed expression; every text is owned by the plan. */
typedef struct sv_mutation {
  uint32_t kind;                              /* SV_MUTATION_* */
  char **path;                                /* decoded pointer segments */
  size_t path_count;                          /* at least 1 */
  uint32_t value_kind;                        /* SV_MUTATION_VALUE_*, for a set */
  char *string_value;                         /* string values and normalised timestamps */
  int64_t int_value;                          /* an integer set */
  double double_value;                        /* a double set */
  int32_t bool_value;                         /* a boolean set: 0 or 1 */
  char *file_path;                            /* absolute */
  uint32_t file_kind;                         /* SV_MUTATION_FILE_* */
  const sv_mutation_file_opener *file_opener; /* NULL: plain files */
  double delta;                               /* for an increment */
  /* An increment's delta written as an integer within 64 bits: added exactly to an integer
   * target (a fractional delta or target adds as doubles). Valid when has_int_delta is 1. */
  int64_t int_delta;
  int32_t has_int_delta; /* 1 when the delta was an integer within 64 bits */
} sv_mutation;

/* Parsed expressions in expression order. */
typedef struct sv_mutation_plan sv_mutation_plan;

/* Caller-owned options of a build. */
typedef struct sv_mutation_parse_options {
  const char *file_value_base_dir;            /* relative file paths resolve against it */
  const sv_mutation_file_opener *file_opener; /* NULL: file values are opened as plain files */
  struct timespec now;                        /* the instant of "now" time literals */
  int32_t has_now;                            /* 0: "now" reads the real-time clock */
} sv_mutation_parse_options;

/* The local mutate request of a lease (caller-owned). */
struct sv_mutate_local_req {
  const char *const *mutations; /* expressions */
  size_t mutation_count;        /* expressions in mutations */
  /* 0: without an if_state_etag the ETag of the state that was read is required, and without
   * has_if_version its version (when above 0). */
  int32_t skip_preconditions;
  const char *file_value_base_dir; /* relative file paths of file values resolve against it */
  const sv_mutation_file_opener *file_opener; /* opens file-backed values; NULL: plain files */
  sv_update_opts update_options;              /* passed on to the upload */
};

/* Zeroes the request. NULL is ignored. */
SV_API void sv_mutate_local_req_init(sv_mutate_local_req *req) SV_NOEXCEPT;

/* Parses count expressions (NULL and empty entries are skipped) into a new plan. options may be
 * NULL, which disables file-backed values. The first failing expression ends the build with its
 * error (SV_ERR_INVALID with the offending text as detail, or SV_ERR_NOMEM); nothing is left
 * allocated then. "local mutate requires mutation expressions" without expressions, count or
 * out_plan; "local mutate requires at least one mutation" when nothing was parsed. */
SV_API int sv_mutation_plan_build(const char *const *expressions, size_t count,
                                  const sv_mutation_parse_options *options,
                                  sv_mutation_plan **out_plan, sv_error *error) SV_NOEXCEPT;

/* Frees the plan and everything it owns. NULL is ignored. */
SV_API void sv_mutation_plan_close(sv_mutation_plan *plan) SV_NOEXCEPT;

/* The number of mutations in the plan (0 for NULL). */
SV_API size_t sv_mutation_plan_count(const sv_mutation_plan *plan) SV_NOEXCEPT;

/* The mutation at index, owned by the plan; NULL for a NULL plan or an index out of range. */
SV_API const sv_mutation *sv_mutation_plan_at(const sv_mutation_plan *plan, size_t index)
    SV_NOEXCEPT;

/* Applies the plan to the JSON object in input (rewound first, never closed), one streaming
 * pass per mutation through scratch files. On success *out_final is a new temporary file,
 * rewound, holding the compact result; the caller closes it. A failure leaves no scratch file
 * open. "mutation plan apply requires plan, input, and out_final" (SV_ERR_INVALID); document
 * and value failures are SV_ERR_INVALID with the reason ("increment target is not numeric",
 * "local mutate currently requires a JSON object root", ...); file and disk failures
 * SV_ERR_TRANSPORT.
 * A set or increment creates missing object members along its path, but a path that runs
 * through an array (other than by an existing index), a string, number, boolean or null fails
 * with "mutation path cannot be applied", the path and the reason in detail ("/s/b: /s is a
 * string, not an object", "/l/5: index 5 is past the end of the array at /l"). A removal of a
 * missing member changes nothing and succeeds. An integer incremented by an integer delta is
 * exact in 64 bits ("increment result overflows a 64-bit integer" when it does not fit). */
SV_API int sv_mutation_plan_apply(const sv_mutation_plan *plan, FILE *input, FILE **out_final,
                                  sv_error *error) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_MUTATE_H */
