"""The sorted list and set family: btreemap.BTreeList and btreemap.BTreeSet
against sortedcontainers' SortedList, SortedKeyList and SortedSet.

Each system is a type made from an iterable, with or without a key function;
a counterpart names the system whose figures its ratio is taken against.
The key rows use one cheap built-in key per element type that computes a
new object of the same type, so that they time the key calls and the
handling of keys apart from elements, not a Python-level function:
operator.neg for int elements (the order reversed) and str.lower for str
elements. The same dataset files as the map benchmark are read, for int and
str elements only.

Every loop binds what it calls to a local and runs over a list built before
the clock starts; results are checked, untimed, against the elements sorted
by the system's key. Point loops make at most PROBES calls (count). One
structure, built from n - count elements in random order, serves each
repetition of: add (count new elements, to n), remove and discard (count
present elements, each put back untimed), then the reads, pop(i) at random
positions (the popped elements put back untimed) and update (the last tenth
of the elements removed untimed, then given back in one call, reported per
element given). The constructions run on the elements in random order and
sorted; union and intersection on two sets of n elements with n/2 in
common, reported per input element (2n).
"""

import gc
import importlib
import operator
from functools import partial
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from typing import Callable, Optional

import clock
import systems
from systems import each, map_contains
from workloads import Recorder, Unsound, _built, _drain, _expect, _sized

KINDS = ("int", "str")
KEYS = {"int": operator.neg, "str": str.lower}
KEY_NOTE = "key rows: operator.neg for int elements, str.lower for str elements"

# (name, label) in report order. Names shared with the map benchmark mean the
# same operation, so that --ops selects it in both.
OPS = (
    ("add", "add(v), random order"),
    ("remove", "remove(v), random order"),
    ("discard", "discard(v), random order"),
    ("pop", "pop(i), random positions"),
    ("getitem", "s[i], random positions"),
    ("index_of", "index(v), present values"),
    ("bisect_left", "bisect_left, random probe"),
    ("bisect_right", "bisect_right, random probe"),
    ("contains_hit", "v in s, present"),
    ("contains_miss", "v in s, absent"),
    ("iter", "iterate"),
    ("iter_reversed", "iterate, reversed"),
    ("build_unsorted", "build from an unsorted list"),
    ("build_sorted", "build from a sorted list"),
    ("update", "update with n/10 new, per new"),
    ("union", "union, per input item"),
    ("intersection", "intersection, per input item"),
)
OP_NAMES = tuple(name for name, _ in OPS)
LABELS = dict(OPS)
SET_OPS = ("union", "intersection")
MUTATIONS = ("add", "remove", "discard")
READS = ("contains_hit", "contains_miss", "getitem", "index_of", "bisect_left", "bisect_right",
         "iter", "iter_reversed")
# Point probes and positions per loop at the most: enough for steady
# figures, while the constructions at 10^6 elements stay the bulk of a run.
PROBES = 20_000


@dataclass
class System:
    name: str
    module: str
    attribute: str              # the type, which a module may lack
    counterpart: Optional[str]  # the system its ratio is taken against
    keyed: bool = False
    is_set: bool = False

    def type(self):
        return getattr(importlib.import_module(self.module), self.attribute)

    def key(self, kind):
        return KEYS[kind] if self.keyed else None

    def maker(self, kind):
        """make(iterable) -> a new structure of the elements."""
        cls, key = self.type(), self.key(kind)
        return cls if key is None else partial(cls, key=key)


SYSTEMS = {s.name: s for s in (
    System("btreelist", "btreemap", "BTreeList", None),
    System("SortedList", "sortedcontainers", "SortedList", "btreelist"),
    System("btreelist_key", "btreemap", "BTreeList", None, keyed=True),
    System("SortedKeyList", "sortedcontainers", "SortedKeyList", "btreelist_key", keyed=True),
    System("btreeset", "btreemap", "BTreeSet", None, is_set=True),
    System("SortedSet", "sortedcontainers", "SortedSet", "btreeset", is_set=True),
)}


def installed(system):
    """(True, version) when the module has the type, else (False, reason)."""
    ok, info = systems.installed(system)
    if ok and not hasattr(importlib.import_module(system.module), system.attribute):
        return False, f"{system.module} has no {system.attribute}"
    return ok, info


def timed(call, *args):
    """(ns, result) of one call."""
    t0 = clock.now()
    result = call(*args)
    return clock.now() - t0, result


def run_timing(system, data, ops, repeat, dumps=False):
    """Times `ops` of `system` on one dataset; returns the result records.
    dumps: the loops run under callgrind (see workloads.Recorder)."""
    data = dict(data, **{probe: data[probe][:PROBES] for probe in ("hits", "misses", "positions")})
    kind, n, keys, hits = data["kind"], data["n"], data["keys"], data["hits"]
    key = system.key(kind)
    make = system.maker(kind)
    order = data["ascending"] if key is None else sorted(keys, key=key)
    ranks = order if key is None else [key(v) for v in order]
    rank_of = (lambda v: v) if key is None else key
    count = len(hits)
    rec = Recorder(ops, dumps)
    if not system.is_set:
        for op in SET_OPS:
            rec.absent(op, f"{system.name} is not a set")
    gc.disable()

    # One structure serves every repetition of the mutations, then the
    # reads, pops and updates: each leaves it as it found it, untimed.
    added = keys[n - count:]
    mutating = any(rec.wants(op) for op in MUTATIONS)
    s = make(keys[:n - count] if mutating else keys)
    for _ in range(repeat if mutating else 0):
        if len(s) == n:
            each(s.remove, added)
        rec.time("add", count, lambda: _sized(each(s.add, added), s, n))
        if len(s) == n - count:
            each(s.add, added)
        for op in ("remove", "discard"):
            rec.time(op, count, lambda: _sized(each(getattr(s, op), hits), s, n - count))
            if len(s) == n - count:
                each(s.add, hits)
            if len(s) != n:
                s = make(keys)
    _expect("len after the mutations", len(s), n)

    if any(rec.wants(op) for op in READS + ("pop",)):
        # SortedList builds its positional index at the first positional
        # access after a change of shape: not a cost of one loop of reads.
        s[n // 2]
        for _ in range(repeat):
            _time_reads(s, data, rec, order, ranks, rank_of)
            _time_pops(s, data["positions"], rec, n)

    fresh = keys[n - max(1, n // 10):]
    for _ in range(repeat if rec.wants("update") else 0):
        each(s.remove, fresh)
        rec.time("update", len(fresh),
                 lambda: _sized(timed(s.update, fresh)[0], s, n))
        if len(s) != n:
            s = make(keys)
    del s

    for _ in range(repeat if rec.wants("build_unsorted") else 0):
        rec.time("build_unsorted", n, lambda: _built(timed(make, keys), n))
    for _ in range(repeat if rec.wants("build_sorted") else 0):
        rec.time("build_sorted", n, lambda: _built(timed(make, order), n))

    if system.is_set and any(rec.wants(op) for op in SET_OPS):
        a, b = make(data["ascending"]), make(data["partner"])
        shared = n // 2
        sizes = {"union": 2 * n - shared, "intersection": shared}
        for _ in range(repeat):
            for op in SET_OPS:
                rec.time(op, 2 * n, lambda: _built(timed(getattr(a, op), b), sizes[op]))
    gc.enable()
    return list(rec.results())


def _time_reads(s, data, rec, order, ranks, rank_of):
    """One repetition of each read on the full structure s; order: its
    elements in its order, ranks: the keys they are ordered by."""
    n, hits, misses, positions = data["n"], data["hits"], data["misses"], data["positions"]

    def checked(loop, items, result, want):
        def run():
            elapsed = loop(items)
            _expect("result of the first call", result(items[0]), want)
            return elapsed
        return run

    def drained(make_iterator, first):
        def run():
            t0 = clock.now()
            _drain(make_iterator())
            elapsed = clock.now() - t0
            _expect("first element", next(iter(make_iterator())), first)
            return elapsed
        return run

    probe, hit, at = misses[0], hits[0], positions[0]
    rec.time("contains_hit", len(hits),
             checked(lambda items: map_contains(s, items), hits, lambda v: v in s, True))
    rec.time("contains_miss", len(misses),
             checked(lambda items: map_contains(s, items), misses, lambda v: v in s, False))
    rec.time("getitem", len(positions),
             checked(lambda items: systems.subscripts(s, items)[0], positions, s.__getitem__, order[at]))
    rec.time("index_of", len(hits), checked(lambda items: each(s.index, items), hits, s.index,
                                            bisect_left(ranks, rank_of(hit))))
    rec.time("bisect_left", len(misses),
             checked(lambda items: each(s.bisect_left, items), misses, s.bisect_left,
                     bisect_left(ranks, rank_of(probe))))
    rec.time("bisect_right", len(misses),
             checked(lambda items: each(s.bisect_right, items), misses, s.bisect_right,
                     bisect_right(ranks, rank_of(probe))))
    rec.time("iter", n, drained(lambda: iter(s), order[0]))
    rec.time("iter_reversed", n, drained(lambda: reversed(s), order[-1]))


def _time_pops(s, positions, rec, n):
    popped = []

    def run():
        elapsed, items = systems.pop_at(s.pop, len(s), positions)
        popped.extend(items)
        _expect("len", len(s), n - len(positions))
        return elapsed

    rec.time("pop", len(positions), run)
    if popped:
        s.update(popped)
    _expect("len after putting popped elements back", len(s), n)


# Memory: whole-process bytes per element, the element objects included.
# "list" is the floor; "btreemap" a BTreeMap of the same elements as keys,
# values None.
MEMORY_MODES = (("add", "added one by one in random order"),
                ("build", "built from an iterable in random order"))


def memory_fillers(name):
    """(add(array) -> structure, build(array) -> structure) of a memory
    row; both create the element objects from an int64 array as they go."""
    if name == "list":
        def add(array):
            s = []
            append = s.append
            for v in array:
                append(v)
            return s
        # Sized from the array's length, as a list built from a list is.
        return add, list
    if name == "btreemap":
        from btreemap import BTreeMap

        def add_keys(array):
            m = BTreeMap()
            for v in array:
                m[v] = None
            return m
        return add_keys, lambda array: BTreeMap.fromkeys(iter(array))
    cls = SYSTEMS[name].type()

    def add_elements(array):
        s = cls()
        add = s.add
        for v in array:
            add(v)
        return s
    return add_elements, lambda array: cls(iter(array))


MEMORY_SYSTEMS = ("list", "SortedList", "SortedSet", "btreelist", "btreeset", "btreemap")


def run_memory(name, array, mode):
    """Bytes per element of the structure `name` filled from `array` by
    `mode`, as growth of the resident set of this fresh process."""
    from workloads import rss_bytes
    add, build = memory_fillers(name)
    fill = add if mode == "add" else build
    fill(array[:1])
    gc.collect()
    gc.disable()
    before = rss_bytes()
    s = fill(array)
    after = rss_bytes()
    if len(s) != len(array):
        raise Unsound(f"len: got {len(s)}, expected {len(array)}")
    return {"op": "memory", "n": len(array), "mode": mode,
            "bytes_per_item": (after - before) / len(array)}
