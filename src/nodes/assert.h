// Preconditions of the structural steps (split, borrow, merge, removal). The
// test build checks them and stops at the first one broken; the shipped
// module compiles them out.
#pragma once

#ifdef BTREE_TESTING
#include <cstdio>
#include <cstdlib>
#define BTREE_ASSERT(cond)                                                                  \
    ((cond) ? static_cast<void>(0)                                                          \
            : (fprintf(stderr, "%s:%d: precondition broken: %s\n", __FILE__, __LINE__, #cond), \
               abort()))
#else
#define BTREE_ASSERT(cond) static_cast<void>(0)
#endif
