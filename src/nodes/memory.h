// Every allocation the module makes goes through these three functions, so
// that the test build can make the n-th allocation fail on purpose.
#pragma once
#include <Python.h>

#include "hints.h"

// What the module keeps per process under the interpreter lock (node pools,
// the test build's allocation counters) it keeps per thread where threads
// run at once, so that no two threads touch it together.
#ifdef Py_GIL_DISABLED
#define BTREE_PER_THREAD thread_local BTREE_TLS_INITIAL_EXEC
#else
#define BTREE_PER_THREAD
#endif

#ifdef BTREE_TESTING
// Allocation countdown of the test build: when it reaches zero the next
// allocation fails; a negative value never fails.
extern BTREE_PER_THREAD Py_ssize_t btree_fail_countdown;
extern BTREE_PER_THREAD Py_ssize_t btree_alloc_count;
inline bool btree_alloc_should_fail()
{
    btree_alloc_count++;
    if (btree_fail_countdown < 0)
        return false;
    return btree_fail_countdown-- == 0;
}
#else
constexpr bool btree_alloc_should_fail() { return false; }
#endif

// Where threads run at once, blocks come from the raw domain, which any
// thread may use, attached or not: a thread's pools are let go as it exits.
#ifdef Py_GIL_DISABLED
#define BTREE_MEM(call) PyMem_Raw##call
#else
#define BTREE_MEM(call) PyMem_##call
#endif

inline void *btree_mem_malloc(size_t n)
{
    if (btree_alloc_should_fail())
        return nullptr;
    return BTREE_MEM(Malloc)(n);
}

inline void *btree_mem_realloc(void *p, size_t n)
{
    if (btree_alloc_should_fail())
        return nullptr;
    return BTREE_MEM(Realloc)(p, n);
}

inline void btree_mem_free(void *p) { BTREE_MEM(Free)(p); }
