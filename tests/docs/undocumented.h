/*
 * A header with items that lack their own comment: build-docs must fail and list them.
 */
#ifndef DOCS_FIXTURE_UNDOCUMENTED_H
#define DOCS_FIXTURE_UNDOCUMENTED_H

#include <stdint.h>

/* ---- A section rule documents nothing ------------------------------------------------------ */

struct fixture_after_rule {
  int32_t documented; /* has a comment */
  int32_t bare_member;
};

#endif /* DOCS_FIXTURE_UNDOCUMENTED_H */
