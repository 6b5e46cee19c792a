/* CHECK for the plain-C tests: reports a failed condition with its line and
 * counts it in `failures`, so one run lists every failure; main returns
 * failures == 0 ? 0 : 1. */
#ifndef MOK_CAPI_CHECK_H
#define MOK_CAPI_CHECK_H

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                        \
    }                                                                    \
  } while (0)

#endif /* MOK_CAPI_CHECK_H */
