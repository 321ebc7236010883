"""The timed operations and the memory measurement, as run inside one
system's worker process.

Each operation is repeated; every repetition yields one elapsed time for a
whole loop, reported as ns per operation (min and median over the
repetitions). The garbage collector stays off while timing, as timeit does.
An operation a system does not offer, or that raises NotImplementedError, is
reported "n/a"; a result that fails a sanity check is reported "error".
"""

import gc
from bisect import bisect_left, bisect_right
import os
import statistics
import tracemalloc
from collections import deque

import clock
import merges
from datasets import WINDOW

# (name, label) in report order; the set merges are in merges.OPS.
OPS = (
    ("insert_random", "insert, random order"),
    ("insert_ascending", "insert, ascending"),
    ("lookup_hit", "lookup hit"),
    ("lookup_miss", "lookup miss (KeyError)"),
    ("contains_hit", "k in m, hit"),
    ("contains_miss", "k in m, miss"),
    ("get_hit", "m.get(k, d), hit"),
    ("get_miss", "m.get(k, d), miss"),
    ("delete_random", "delete, random order"),
    ("bisect_left", "bisect_left, random probe"),
    ("bisect_right", "bisect_right, random probe"),
    ("floor_key", "floor_key, random probe"),
    ("irange_100", f"irange of {WINDOW} keys, as list"),
    ("index", "positional access, key at i"),
    ("peekitem", "peekitem(i)"),
    ("index_of", "index(k), position of a key"),
    ("popitem", "popitem(i), random positions"),
    ("iter_keys", "iterate keys"),
    ("iter_items", "iterate items"),
    ("iter_keys_reversed", "iterate keys, reversed"),
    ("iter_items_reversed", "iterate items, reversed"),
    ("bulk_sorted", "build from sorted pairs"),
    ("build_dict", "build from an unsorted dict"),
    ("pickle", "pickle round trip"),
)
OP_NAMES = tuple(name for name, _ in OPS) + merges.OP_NAMES
# Timed along with "index" where the system has a call floor: the part of a
# positional access that is the calling convention alone.
CALL_FLOOR = "index_call_floor"
# Operations timed on a full map, which they leave unchanged.
READ_OPS = ("lookup_hit", "lookup_miss", "contains_hit", "contains_miss", "get_hit", "get_miss",
            "bisect_left", "bisect_right", "floor_key", "irange_100", "index", "peekitem", "index_of", "iter_keys", "iter_items",
            "iter_keys_reversed", "iter_items_reversed", "pickle")
# Timed on the full map, after the reads of each repetition; the items it
# removes are put back untimed.
POP_OPS = ("popitem",)


class Unsound(Exception):
    """A system gave a result that cannot be right; its timing is void."""


def _expect(what, got, want):
    if got != want:
        raise Unsound(f"{what}: got {got}, expected {want}")


class Recorder:
    """Collects the repetitions of each operation and its first failure.

    A repetition is the loop's elapsed ns, or under callgrind (dumps=True)
    the number of the dump that holds the loop (see clock.py).
    """

    def __init__(self, ops, dumps=False):
        self.ops = ops
        self.dumps = dumps
        self.runs = {op: [] for op in ops}
        self.nops = {}
        self.failed = {}

    def wants(self, op):
        return op in self.ops and op not in self.failed

    def time(self, op, nops, fn):
        """Runs fn() -> elapsed ns once, unless op is unwanted or failed."""
        if not self.wants(op):
            return
        try:
            elapsed = fn()
        except NotImplementedError as exc:
            self.failed[op] = ("n/a", str(exc) or "not implemented")
        except Exception as exc:
            self.failed[op] = ("error", f"{type(exc).__name__}: {exc}")
        else:
            self.runs[op].append(clock.dumps if self.dumps else elapsed)
            self.nops[op] = nops

    def absent(self, op, reason):
        if op in self.ops:
            self.failed[op] = ("n/a", reason)

    def results(self):
        for op in self.ops:
            if op in self.failed:
                status, reason = self.failed[op]
                yield {"op": op, "status": status, "reason": reason}
            elif not self.runs[op]:
                continue
            elif self.dumps:
                yield {"op": op, "status": "ok", "nops": self.nops[op], "dumps": self.runs[op]}
            else:
                per_op = [ns / self.nops[op] for ns in self.runs[op]]
                yield {"op": op, "status": "ok", "nops": self.nops[op],
                       "min_ns": min(per_op), "median_ns": statistics.median(per_op),
                       "runs_ns": per_op}


def _drain(iterable):
    return deque(iterable, maxlen=0)


def run_timing(system, data, ops, repeat, cap=None, dumps=False):
    """Times `ops` of `system` on one dataset; returns the result records.

    cap: operations per insertion, deletion and probe loop. Insertions then
    grow a map of n - cap keys to n, deletions shrink one of n keys to
    n - cap; without it they start from an empty map or end with one.
    dumps: the loops run under callgrind (see Recorder).
    """
    kind, n = data["kind"], data["n"]
    keys, ascending = data["keys"], data["ascending"]
    count = n if cap is None else min(n, cap)
    if system.call_floor is not None and "index" in ops:
        ops = [*ops, CALL_FLOOR]
    rec = Recorder(ops, dumps)
    for op, offered in (("bisect_left", system.bisect), ("bisect_right", system.bisect_right),
                        ("floor_key", system.floor_key), ("irange_100", system.irange),
                        ("index", system.index), ("bulk_sorted", system.build),
                        ("peekitem", system.peekitem), ("index_of", system.index_of),
                        ("popitem", system.popitem), ("build_dict", system.build_dict),
                        ("pickle", system.round_trip), ("iter_keys_reversed", system.reverse),
                        ("iter_items_reversed", system.reverse_items),
                        *((op, merges.MERGES.get(system.name)) for op in merges.OP_NAMES)):
        if offered is None:
            rec.absent(op, f"{system.name} does not offer it")
    gc.disable()

    def filled(order, size=n):
        m = system.new(kind)
        system.insert(m, order[:size])
        _expect("len after inserts", len(m), size)
        return m

    # Every repetition of random insertion leaves a full map that the
    # deletion then shrinks. The reads come after the deletions, on a map
    # that no read has touched before them: SortedDict builds its positional
    # index on the first bisect or positional access, and every deletion
    # after that has to maintain it.
    added, removed = keys[n - count:], data["delete_order"][:count]
    full = None
    for _ in range(repeat if rec.wants("insert_random") or rec.wants("delete_random") else 0):
        m = filled(keys, n - count)
        rec.time("insert_random", count, lambda: _sized(system.insert(m, added), m, n))
        if len(m) != n:
            m = filled(keys)
        rec.time("delete_random", count,
                 lambda: _sized(system.delete(m, removed), m, n - count))
        if full is None and len(m) == n - count:
            system.insert(m, removed)
            full = m
        del m

    if any(rec.wants(op) for op in READ_OPS + POP_OPS):
        if full is None or len(full) != n:
            full = filled(keys)
        for _ in range(repeat):
            _time_reads(system, full, data, rec, count)
            _time_pops(system, full, data, rec)
    del full

    appended = ascending[n - count:]
    for _ in range(repeat if rec.wants("insert_ascending") else 0):
        m = filled(ascending, n - count)
        rec.time("insert_ascending", count, lambda: _sized(system.insert(m, appended), m, n))
        del m

    values = [None] * n
    for _ in range(repeat if rec.wants("bulk_sorted") else 0):
        rec.time("bulk_sorted", n, lambda: _built(system.build(kind, ascending, values), n))
    unsorted = dict.fromkeys(keys)
    for _ in range(repeat if rec.wants("build_dict") else 0):
        rec.time("build_dict", n, lambda: _built(system.build_dict(kind, unsorted), n))
    del unsorted

    if any(rec.wants(op) for op in merges.OP_NAMES):
        _time_merges(merges.MERGES[system.name], data, rec, repeat)
    gc.enable()
    return list(rec.results())


def _sized(elapsed, m, want):
    _expect("len", len(m), want)
    return elapsed


def _built(result, n):
    elapsed, m = result
    return _sized(elapsed, m, n)


def _time_reads(system, m, data, rec, count):
    """One repetition of each read operation on the full map m."""
    n, ascending = data["n"], data["ascending"]
    hits, misses, windows = data["hits"][:count], data["misses"][:count], data["windows"]
    positions = data["positions"][:count if system.index_cap is None else system.index_cap]

    def rank():
        elapsed = system.bisect(m, misses)
        probe = misses[0]
        _expect("rank of a probe", m.bisect_left(probe), bisect_left(ascending, probe))
        return elapsed

    def window():
        elapsed, first = system.irange(m, windows)
        _expect("keys in a window", first, min(n, WINDOW))
        return elapsed

    def at(index, seq):
        def timed():
            elapsed, first = index(seq, positions)
            _expect("key at a position", first, ascending[positions[0]])
            return elapsed
        return timed

    def drain(view):
        def timed():
            t0 = clock.now()
            _drain(view())
            return clock.now() - t0
        return timed

    def called(call, args, want):
        def timed():
            elapsed, first = call(m, args)
            _expect("result of the first call", first, want)
            return elapsed
        return timed

    def copied():
        elapsed, copy = system.round_trip(m)
        _expect("len of the copy", len(copy), n)
        return elapsed

    rec.time("lookup_hit", len(hits), lambda: system.lookup(m, hits))
    rec.time("lookup_miss", len(misses), lambda: system.miss(m, misses))
    rec.time("contains_hit", len(hits), lambda: system.contains(m, hits))
    rec.time("contains_miss", len(misses), lambda: system.contains(m, misses))
    rec.time("get_hit", len(hits), lambda: system.get(m, hits))
    rec.time("get_miss", len(misses), lambda: system.get(m, misses))
    rec.time("bisect_left", len(misses), rank)
    rec.time("bisect_right", len(misses),
             called(system.bisect_right, misses, bisect_right(ascending, misses[0])))
    first_floor = bisect_right(ascending, misses[0])
    rec.time("floor_key", len(misses),
             called(system.floor_key, misses, ascending[first_floor - 1] if first_floor else None))
    rec.time("irange_100", len(windows), window)
    rec.time("index", len(positions), at(system.index, m))
    rec.time(CALL_FLOOR, len(positions), at(system.call_floor, ascending))
    rec.time("peekitem", len(positions),
             called(system.peekitem, positions, (ascending[positions[0]], None)))
    rec.time("index_of", len(hits), called(system.index_of, hits, bisect_left(ascending, hits[0])))
    rec.time("iter_keys", n, drain(lambda: system.forward(m)))
    rec.time("iter_items", n, drain(m.items))
    rec.time("iter_keys_reversed", n, drain(lambda: system.reverse(m)))
    rec.time("iter_items_reversed", n, drain(lambda: system.reverse_items(m)))
    rec.time("pickle", n, copied)


def _time_pops(system, m, data, rec):
    """popitem at random positions of the full map m, which gets its items
    back, untimed."""
    positions = data["positions"]
    popped = []

    def timed():
        elapsed, items = system.popitem(m, positions)
        popped.extend(items)
        _sized(0, m, data["n"] - len(positions))
        return elapsed

    rec.time("popitem", len(positions), timed)
    system.insert(m, [k for k, _ in popped])
    _expect("len after putting popped items back", len(m), data["n"])


def _time_merges(system_merges, data, rec, repeat):
    """Each merge of two maps of n keys, n/2 of them in both, reported per
    input item (2n)."""
    n = data["n"]
    shared = n // 2
    a, b = system_merges.inputs(data["kind"], data["ascending"], data["partner"])
    merge = system_merges.ops(data["kind"])
    sizes = {"union": 2 * n - shared, "intersection": shared, "difference": n - shared}
    for _ in range(repeat):
        for op in merges.OP_NAMES:
            rec.time(op, 2 * n, lambda: _built(merges.timed(merge[op], a, b), sizes[op]))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_memory(system, keys, count_keys, traced):
    """Bytes per item of a map of `keys` (an int64 array), inserted in order.

    count_keys: the int objects are created while the map is filled, so they
    are counted; otherwise they exist before the first reading and only the
    structure is counted. traced: tracemalloc's count, which sees the
    interpreter's allocators only (not C++ new or plain malloc); otherwise
    the growth of the resident set, read without tracemalloc, whose own
    tables would inflate it. Each reading needs a fresh process: a map built
    and freed before it would leave recycled memory (node pools, free lists)
    behind.
    """
    source = keys if count_keys else keys.tolist()
    n = len(keys)
    system.new("int")  # imports the module before the first reading
    gc.collect()
    gc.disable()
    if traced:
        tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    m = system.new("int")
    system.insert(m, source)
    after = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    _expect("len", len(m), n)
    return {"op": "memory", "n": n, "count_keys": count_keys, "traced": traced,
            "bytes_per_item": (after - before) / n}
