"""The timed operations and the memory measurement, as run inside one
system's worker process.

Each operation is repeated; every repetition yields one elapsed time for a
whole loop, reported as ns per operation (min and median over the
repetitions). The garbage collector stays off while timing, as timeit does.
An operation a system does not offer, or that raises NotImplementedError, is
reported "n/a"; a result that fails a sanity check is reported "error".
"""

import gc
from bisect import bisect_left
import os
import statistics
import tracemalloc
from collections import deque
from time import perf_counter_ns

from datasets import WINDOW

# (name, label) in report order.
OPS = (
    ("insert_random", "insert, random order"),
    ("insert_ascending", "insert, ascending"),
    ("lookup_hit", "lookup hit"),
    ("lookup_miss", "lookup miss (KeyError)"),
    ("delete_random", "delete, random order"),
    ("bisect_left", "bisect_left, random probe"),
    ("irange_100", f"irange of {WINDOW} keys, as list"),
    ("iter_keys", "iterate keys"),
    ("iter_items", "iterate items"),
    ("bulk_sorted", "build from sorted pairs"),
)
OP_NAMES = tuple(name for name, _ in OPS)
# Operations timed on one map built beforehand and left unchanged.
READ_OPS = ("lookup_hit", "lookup_miss", "bisect_left", "irange_100", "iter_keys", "iter_items")


class Unsound(Exception):
    """A system gave a result that cannot be right; its timing is void."""


def _expect(what, got, want):
    if got != want:
        raise Unsound(f"{what}: got {got}, expected {want}")


class Recorder:
    """Collects the repetitions of each operation and its first failure."""

    def __init__(self, ops):
        self.ops = ops
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
            self.runs[op].append(elapsed)
            self.nops[op] = nops

    def absent(self, op, reason):
        if op in self.ops:
            self.failed[op] = ("n/a", reason)

    def results(self):
        for op in self.ops:
            if op in self.failed:
                status, reason = self.failed[op]
                yield {"op": op, "status": status, "reason": reason}
                continue
            per_op = [ns / self.nops[op] for ns in self.runs[op]]
            yield {"op": op, "status": "ok", "nops": self.nops[op],
                   "min_ns": min(per_op), "median_ns": statistics.median(per_op),
                   "runs_ns": per_op}


def _drain(iterable):
    return deque(iterable, maxlen=0)


def run_timing(system, data, ops, repeat):
    """Times `ops` of `system` on one dataset; returns the result records."""
    kind, n = data["kind"], data["n"]
    keys, ascending = data["keys"], data["ascending"]
    rec = Recorder(ops)
    for op, offered in (("bisect_left", system.bisect), ("irange_100", system.irange),
                        ("bulk_sorted", system.build)):
        if offered is None:
            rec.absent(op, f"{system.name} does not offer it")
    gc.disable()

    def filled(order):
        m = system.new(kind)
        system.insert(m, order)
        _expect("len after inserts", len(m), n)
        return m

    # Every repetition of random insertion leaves a full map that the
    # deletion repetition then empties, so no map is built twice.
    if rec.wants("insert_random") or rec.wants("delete_random"):
        for _ in range(repeat):
            m = system.new(kind)
            rec.time("insert_random", n, lambda: _sized(system.insert(m, keys), m, n))
            if len(m) != n:
                m = filled(keys)
            rec.time("delete_random", n,
                     lambda: _sized(system.delete(m, data["delete_order"]), m, 0))
            del m

    if any(rec.wants(op) for op in READ_OPS):
        _time_reads(system, filled(keys), data, rec, repeat)

    for _ in range(repeat if rec.wants("insert_ascending") else 0):
        m = system.new(kind)
        rec.time("insert_ascending", n, lambda: _sized(system.insert(m, ascending), m, n))
        del m

    values = [None] * n
    for _ in range(repeat if rec.wants("bulk_sorted") else 0):
        rec.time("bulk_sorted", n, lambda: _built(system.build(kind, ascending, values), n))
    gc.enable()
    return list(rec.results())


def _sized(elapsed, m, want):
    _expect("len", len(m), want)
    return elapsed


def _built(result, n):
    elapsed, m = result
    return _sized(elapsed, m, n)


def _time_reads(system, m, data, rec, repeat):
    n = data["n"]
    hits, misses, windows = data["hits"], data["misses"], data["windows"]

    def rank():
        elapsed = system.bisect(m, misses)
        probe = misses[0]
        _expect("rank of a probe", m.bisect_left(probe), bisect_left(data["ascending"], probe))
        return elapsed

    def window():
        elapsed, first = system.irange(m, windows)
        _expect("keys in a window", first, min(n, WINDOW))
        return elapsed

    def drain(view):
        def timed():
            t0 = perf_counter_ns()
            _drain(view())
            return perf_counter_ns() - t0
        return timed

    for _ in range(repeat):
        rec.time("lookup_hit", len(hits), lambda: system.lookup(m, hits))
        rec.time("lookup_miss", len(misses), lambda: system.miss(m, misses))
        rec.time("bisect_left", len(misses), rank)
        rec.time("irange_100", len(windows), window)
        rec.time("iter_keys", n, drain(m.keys))
        rec.time("iter_items", n, drain(m.items))


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
    return {"n": n, "count_keys": count_keys, "traced": traced,
            "bytes_per_item": (after - before) / n}
