#include "nodes/scratch.h"

#include <cstring>

#include "nodes/memory.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

// Smaller blocks come from the interpreter's allocator, which reuses them
// cheaply; a mapping costs a system call and fresh pages.
constexpr size_t MAP_FROM = size_t{1} << 20;

// Precedes every block: its size, and whether it is mapped. Sixteen bytes
// keep the block aligned for any element.
struct alignas(16) Header {
    size_t bytes;
    bool mapped;
};

Header *header_of(void *block)
{
    return static_cast<Header *>(block) - 1;
}

void *block_of(Header *header)
{
    return header + 1;
}

Header *map_pages(size_t total)
{
#if defined(_WIN32)
    return static_cast<Header *>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#else
    void *p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
#if defined(MADV_HUGEPAGE)
    // Fresh pages fault in one at a time, each costing more than filling
    // it; where the system offers large pages, a few faults map the whole.
    madvise(p, total, MADV_HUGEPAGE);
#endif
    return static_cast<Header *>(p);
#endif
}

void unmap_pages(Header *header)
{
#if defined(_WIN32)
    VirtualFree(header, 0, MEM_RELEASE);
#else
    munmap(header, sizeof(Header) + header->bytes);
#endif
}

// A new block of `bytes`, from the allocator or mapped by size.
Header *make(size_t bytes)
{
    size_t total = sizeof(Header) + bytes;
    bool mapped = bytes >= MAP_FROM;
    auto *header = mapped ? map_pages(total) : static_cast<Header *>(BTREE_MEM(Malloc)(total));
    if (header) {
        header->bytes = bytes;
        header->mapped = mapped;
    }
    return header;
}

void release(Header *header)
{
    if (header->mapped)
        unmap_pages(header);
    else
        BTREE_MEM(Free)(header);
}

}  // namespace

void *btree_scratch_malloc(size_t bytes)
{
    if (btree_alloc_should_fail())
        return nullptr;
    Header *header = make(bytes);
    return header ? block_of(header) : nullptr;
}

void *btree_scratch_realloc(void *block, size_t bytes)
{
    if (btree_alloc_should_fail())
        return nullptr;
    if (!block) {
        Header *header = make(bytes);
        return header ? block_of(header) : nullptr;
    }
    Header *old = header_of(block);
    if (!old->mapped && bytes < MAP_FROM) {
        auto *header = static_cast<Header *>(BTREE_MEM(Realloc)(old, sizeof(Header) + bytes));
        if (!header)
            return nullptr;
        header->bytes = bytes;
        return block_of(header);
    }
#if defined(__linux__)
    // The kernel moves the pages without copying them.
    if (old->mapped && bytes >= MAP_FROM) {
        void *p = mremap(old, sizeof(Header) + old->bytes, sizeof(Header) + bytes, MREMAP_MAYMOVE);
        if (p == MAP_FAILED)
            return nullptr;
        auto *header = static_cast<Header *>(p);
        header->bytes = bytes;
        return block_of(header);
    }
#endif
    Header *header = make(bytes);
    if (!header)
        return nullptr;
    memcpy(block_of(header), block, old->bytes < bytes ? old->bytes : bytes);
    release(old);
    return block_of(header);
}

void btree_scratch_free(void *block)
{
    if (block)
        release(header_of(block));
}
