// The tree's lock on free-threaded builds, where threads run at once: any
// number of readers, or one writer. Readers count themselves in slots of
// their own cache line, so that readers on several cores do not write one
// shared word; a writer takes the state's writer bit, which turns new
// readers away, then waits until every slot is empty. A thread holds at most
// one entry of a tree: a call from Python code that its own operation runs
// (a comparison, a finaliser) is refused instead of waiting for itself.
#pragma once
#include <Python.h>

#ifdef Py_GIL_DISABLED
#include <atomic>
#include <cstdint>

#include "hints.h"
#include "nodes/tree.h"

constexpr uint32_t BTREE_LOCK_WRITER = 1;    // a writer holds the tree, or waits for its readers to leave
constexpr uint32_t BTREE_LOCK_SLEEPERS = 2;  // a thread sleeps until the lock changes

constexpr int BTREE_READER_SLOTS = 8;

struct alignas(64) BTreeReaderSlot {
    uint32_t count;  // readers of this slot's threads inside the tree
};

struct BTreeReaders {
    BTreeReaderSlot slot[BTREE_READER_SLOTS];
};

// The entries the running thread holds, innermost first: a chain through
// the holders on its stack.
struct BTreeHeld {
    const BTreeCore *tree;
    BTreeHeld *prev;
};

inline BTreeHeld *&btree_held_top()
{
    static thread_local BTREE_TLS_INITIAL_EXEC BTreeHeld *top;
    return top;
}

// The running thread's reader slot, given out in turn at its first read.
int btree_reader_slot_assign();

inline int btree_reader_slot()
{
    static thread_local BTREE_TLS_INITIAL_EXEC int slot = -1;
    if (slot < 0)
        slot = btree_reader_slot_assign();
    return slot;
}

inline BTreeAtomicRef<uint32_t> btree_lock_state(BTreeCore *tree) { return BTreeAtomicRef<uint32_t>(tree->lock); }

// The slow paths: they wait (spinning briefly, then asleep with the thread
// detached, so that the interpreter can stop the world meanwhile; the main
// thread answers signals) and return 0, or -1 with an exception.
int btree_read_wait(BTreeCore *tree);
int btree_write_wait(BTreeCore *tree, bool have_writer_bit);

// Wakes every thread asleep on the tree's lock.
void btree_lock_wake(BTreeCore *tree);

// Whether no reader is inside the tree.
inline bool btree_no_readers(BTreeCore *tree)
{
    BTreeReaders *readers = BTreeAtomicRef<BTreeReaders *>(tree->readers).load(std::memory_order_seq_cst);
    if (!readers)
        return true;
    for (BTreeReaderSlot &slot : readers->slot) {
        if (BTreeAtomicRef<uint32_t>(slot.count).load(std::memory_order_seq_cst))
            return false;
    }
    return true;
}

// Counts the thread in as a reader unless a writer holds the tree or waits
// for it; false when it had to leave again (or the slots are not made yet).
inline bool btree_read_try(BTreeCore *tree)
{
    BTreeReaders *readers = BTreeAtomicRef<BTreeReaders *>(tree->readers).load(std::memory_order_acquire);
    if (!readers)
        return false;
    BTreeAtomicRef<uint32_t> count(readers->slot[btree_reader_slot()].count);
    count.fetch_add(1, std::memory_order_seq_cst);
    if (!(btree_lock_state(tree).load(std::memory_order_seq_cst) & BTREE_LOCK_WRITER))
        return true;
    count.fetch_sub(1, std::memory_order_seq_cst);
    if (btree_lock_state(tree).load(std::memory_order_seq_cst) & BTREE_LOCK_SLEEPERS)
        btree_lock_wake(tree);
    return false;
}

inline bool btree_read_enter(BTreeCore *tree) { return btree_read_try(tree) || btree_read_wait(tree) == 0; }

inline void btree_read_leave(BTreeCore *tree)
{
    BTreeAtomicRef<uint32_t>(tree->readers->slot[btree_reader_slot()].count).fetch_sub(1, std::memory_order_seq_cst);
    if (btree_lock_state(tree).load(std::memory_order_seq_cst) & BTREE_LOCK_SLEEPERS)
        btree_lock_wake(tree);
}

inline bool btree_write_enter(BTreeCore *tree)
{
    uint32_t expected = 0;
    if (!btree_lock_state(tree).compare_exchange_strong(expected, BTREE_LOCK_WRITER, std::memory_order_seq_cst))
        return btree_write_wait(tree, false) == 0;
    return btree_no_readers(tree) || btree_write_wait(tree, true) == 0;
}

inline void btree_write_leave(BTreeCore *tree)
{
    if (btree_lock_state(tree).fetch_and(~BTREE_LOCK_WRITER, std::memory_order_seq_cst) & BTREE_LOCK_SLEEPERS)
        btree_lock_wake(tree);
}

// RuntimeError with the tree's `reentrant` text when the running thread
// already holds an entry of the tree.
bool btree_held_refuses(const BTreeCore *tree);

// One entry of a tree, shared or exclusive, for one operation; every exit
// path lets it go. Test it after construction: false means refused, with an
// exception set.
class BTreeHold {
public:
    // A NULL tree stands for an entry refused before the lock was looked at.
    BTreeHold(BTreeCore *tree, bool exclusive) : exclusive_(exclusive)
    {
        if (!tree || btree_held_refuses(tree))
            return;
        if (!(exclusive ? btree_write_enter(tree) : btree_read_enter(tree)))
            return;
        tree_ = tree;
        BTreeHeld *&top = btree_held_top();
        held_ = BTreeHeld{tree, top};
        top = &held_;
    }
    ~BTreeHold()
    {
        if (!tree_)
            return;
        btree_held_top() = held_.prev;
        if (exclusive_)
            btree_write_leave(tree_);
        else
            btree_read_leave(tree_);
    }
    BTreeHold(const BTreeHold &) = delete;
    BTreeHold &operator=(const BTreeHold &) = delete;
    explicit operator bool() const { return tree_ != nullptr; }

private:
    BTreeCore *tree_ = nullptr;
    bool exclusive_;
    BTreeHeld held_;
};

// Lets go of the reader slots at deallocation.
void btree_lock_finalize(BTreeCore *tree);
#endif
