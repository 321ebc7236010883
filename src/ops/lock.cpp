#include "ops/lock.h"

#ifdef Py_GIL_DISABLED
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "hints.h"

namespace {

// Sleeping threads wait in one of a few rooms, chosen by the tree's address:
// a tree needs no room of its own, and a wake-up that reaches the waiters of
// another tree only makes them look again.
struct Room {
    std::mutex mutex;
    std::condition_variable changed;
};

constexpr size_t ROOMS = 64;
Room rooms[ROOMS];

Room &room_of(const BTreeCore *tree) { return rooms[(reinterpret_cast<uintptr_t>(tree) >> 6) % ROOMS]; }

// Looks this many times before sleeping: the operations a thread waits for
// mostly last less than a sleep and a wake-up.
constexpr int SPINS = 200;

// A sleep ends after this long even without a wake-up, so that the main
// thread answers a signal.
constexpr auto RECHECK = std::chrono::milliseconds(20);

// Returns once `ready()` holds: 0, or -1 with an exception when a signal
// handler of the main thread raised.
template <class Ready>
int wait_until(BTreeCore *tree, Ready &&ready)
{
    for (int i = 0; i < SPINS; i++) {
        if (ready())
            return 0;
        btree_cpu_relax();
    }
    Room &room = room_of(tree);
    for (;;) {
        // The room is left before the thread attaches again: attaching may
        // wait for a stopped world, and a waker must not wait for us then.
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(room.mutex);
            // Announced before the last look: whoever changes the lock after
            // it sees the announcement and wakes the room.
            btree_lock_state(tree).fetch_or(BTREE_LOCK_SLEEPERS, std::memory_order_seq_cst);
            if (!ready())
                room.changed.wait_for(lock, RECHECK);
        }
        Py_END_ALLOW_THREADS
        if (ready())
            return 0;
        if (PyErr_CheckSignals() < 0)
            return -1;
    }
}

std::atomic<int> next_slot;

}  // namespace

int btree_reader_slot_assign() { return next_slot.fetch_add(1, std::memory_order_relaxed) % BTREE_READER_SLOTS; }

bool btree_held_refuses(const BTreeCore *tree)
{
    for (BTreeHeld *held = btree_held_top(); held; held = held->prev) {
        if (held->tree == tree) {
            PyErr_SetString(PyExc_RuntimeError, tree->texts->reentrant);
            return true;
        }
    }
    return false;
}

int btree_read_wait(BTreeCore *tree)
{
    BTreeAtomicRef<BTreeReaders *> readers(tree->readers);
    if (!readers.load(std::memory_order_acquire)) {
        auto *made = new (std::nothrow) BTreeReaders{};
        if (!made) {
            PyErr_NoMemory();
            return -1;
        }
        BTreeReaders *none = nullptr;
        if (!readers.compare_exchange_strong(none, made, std::memory_order_seq_cst))
            delete made;
    }
    while (!btree_read_try(tree)) {
        auto no_writer = [&] { return !(btree_lock_state(tree).load(std::memory_order_seq_cst) & BTREE_LOCK_WRITER); };
        if (wait_until(tree, no_writer) < 0)
            return -1;
    }
    return 0;
}

int btree_write_wait(BTreeCore *tree, bool have_writer_bit)
{
    BTreeAtomicRef<uint32_t> state = btree_lock_state(tree);
    while (!have_writer_bit) {
        uint32_t now = state.load(std::memory_order_seq_cst);
        if (!(now & BTREE_LOCK_WRITER)) {
            have_writer_bit = state.compare_exchange_weak(now, now | BTREE_LOCK_WRITER, std::memory_order_seq_cst);
            continue;
        }
        if (wait_until(tree, [&] { return !(state.load(std::memory_order_seq_cst) & BTREE_LOCK_WRITER); }) < 0)
            return -1;
    }
    if (wait_until(tree, [&] { return btree_no_readers(tree); }) < 0) {
        btree_write_leave(tree);
        return -1;
    }
    return 0;
}

void btree_lock_wake(BTreeCore *tree)
{
    Room &room = room_of(tree);
    {
        std::lock_guard<std::mutex> lock(room.mutex);
        btree_lock_state(tree).fetch_and(~BTREE_LOCK_SLEEPERS, std::memory_order_seq_cst);
    }
    room.changed.notify_all();
}

void btree_lock_finalize(BTreeCore *tree)
{
    delete tree->readers;
    tree->readers = nullptr;
}
#endif
