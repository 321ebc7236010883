// Every allocation the module makes goes through these three functions, so
// that the test build can make the n-th allocation fail on purpose.
#pragma once
#include <Python.h>

#ifdef BTREE_TESTING
// Allocation countdown of the test build: when it reaches zero the next
// allocation fails; a negative value never fails.
extern Py_ssize_t btree_fail_countdown;
extern Py_ssize_t btree_alloc_count;
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

inline void *btree_mem_malloc(size_t n)
{
    if (btree_alloc_should_fail())
        return nullptr;
    return PyMem_Malloc(n);
}

inline void *btree_mem_realloc(void *p, size_t n)
{
    if (btree_alloc_should_fail())
        return nullptr;
    return PyMem_Realloc(p, n);
}

inline void btree_mem_free(void *p) { PyMem_Free(p); }
