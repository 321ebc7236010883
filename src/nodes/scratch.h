// Scratch arrays of the bulk operations: gathered input, sort buffers, merge
// output, references held for release. Large ones are mapped from the system
// and returned to it whole when let go. From the process's heap they would
// stay behind the tree they helped build, as free memory that the allocator
// keeps: tens of bytes per element of a large build.
#pragma once
#include <cstddef>

// As btree_mem_malloc, btree_mem_realloc and btree_mem_free (the test build
// fails them on the same countdown); a block from one is grown or let go
// only by the others. The contents up to the smaller size survive a growth.
void *btree_scratch_malloc(size_t bytes);
void *btree_scratch_realloc(void *block, size_t bytes);
void btree_scratch_free(void *block);
