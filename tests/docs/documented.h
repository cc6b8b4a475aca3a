/*
 * A header in the public headers' comment style, every item documented: build-docs passes it.
 */
#ifndef DOCS_FIXTURE_DOCUMENTED_H
#define DOCS_FIXTURE_DOCUMENTED_H

#include <stdint.h>

/* ---- Records ------------------------------------------------------------------------------ */

/* A record whose members are documented after them; its text keeps escapes such as "\n", \t and
 * \u00xx, and code such as config.consumers = &consumer; as written. */
typedef struct fixture_record {
  int32_t count; /* how many */
  /* A member documented above it. */
  const char *name;
} fixture_record;

/* The kinds of a fixture. */
enum {
  FIXTURE_KIND_ONE = 1, /* the first kind */
  FIXTURE_KIND_TWO = 2  /* the second kind */
};

#define FIXTURE_LIMIT 16 /* a macro documented after its value */

/* Zeroes record; NULL is ignored. */
void fixture_record_init(fixture_record *record);

#endif /* DOCS_FIXTURE_DOCUMENTED_H */
