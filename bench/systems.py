"""The sorted maps under comparison, each behind the same small record.

Every timed loop binds what it calls to locals first and runs over a list
built before the clock starts. Peers are driven through their fastest
idiomatic spelling (`m[k] = v`, `m[k]`, `del m[k]`); btree.BTree through its
methods. A field left as None marks an operation the system does not offer.
"""

import ctypes
import importlib
from dataclasses import dataclass
from time import perf_counter_ns
from typing import Callable, Optional


@dataclass
class System:
    name: str
    module: str                    # import name, for availability and version
    new: Callable                  # new(kind) -> empty map
    insert: Callable               # insert(m, keys) -> ns
    lookup: Callable               # lookup(m, keys) -> ns, every key present
    miss: Callable                 # miss(m, keys) -> ns, every key absent
    delete: Callable               # delete(m, keys) -> ns
    bisect: Optional[Callable]     # bisect(m, probes) -> ns
    irange: Optional[Callable]     # irange(m, windows) -> (ns, size of first)
    build: Optional[Callable]      # build(kind, keys, values) -> (ns, map)


# Mapping protocol: dict and the sorted-map peers.

def map_insert(m, keys):
    t0 = perf_counter_ns()
    for k in keys:
        m[k] = None
    return perf_counter_ns() - t0


def map_lookup(m, keys):
    t0 = perf_counter_ns()
    for k in keys:
        m[k]
    return perf_counter_ns() - t0


def map_miss(m, keys):
    t0 = perf_counter_ns()
    for k in keys:
        try:
            m[k]
        except KeyError:
            pass
    return perf_counter_ns() - t0


def map_delete(m, keys):
    t0 = perf_counter_ns()
    for k in keys:
        del m[k]
    return perf_counter_ns() - t0


def pairs_build(factory):
    """Construction from a list of (key, value) pairs, which is built before
    the clock starts."""
    def build(kind, keys, values):
        pairs = list(zip(keys, values))
        make = factory(kind)
        t0 = perf_counter_ns()
        m = make(pairs)
        return perf_counter_ns() - t0, m
    return build


# Loops over a bound method, for btree and for the peers' named methods.

def each(call, items):
    """Calls `call` (a bound method) on every item."""
    t0 = perf_counter_ns()
    for x in items:
        call(x)
    return perf_counter_ns() - t0


def each_absent(call, items):
    """Calls `call` on every item, each raising KeyError."""
    t0 = perf_counter_ns()
    for x in items:
        try:
            call(x)
        except KeyError:
            pass
    return perf_counter_ns() - t0


def ranges(query, windows):
    """query(lo, hi) returns a list. Returns (ns, length of the first)."""
    t0 = perf_counter_ns()
    for lo, hi in windows:
        query(lo, hi)
    elapsed = perf_counter_ns() - t0
    return elapsed, len(query(*windows[0]))


def listed_ranges(query, windows):
    """query(lo, hi) returns an iterable, materialised here as a list."""
    t0 = perf_counter_ns()
    for lo, hi in windows:
        list(query(lo, hi))
    elapsed = perf_counter_ns() - t0
    return elapsed, len(list(query(*windows[0])))


def bisect_each(m, probes):
    return each(m.bisect_left, probes)


# btree.BTree

def btree_insert(t, keys):
    insert = t.insert
    t0 = perf_counter_ns()
    for k in keys:
        insert(k, None)
    return perf_counter_ns() - t0


def btree_build(kind, keys, values):
    """Bulk build through the C API entry BuildFromSortedPairs (slot 14),
    which takes over one reference per array slot and clears the slot."""
    import btree

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = (ctypes.c_void_p * 16).from_address(get_pointer(btree._C_API, b"btree._C_API"))
    entry = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p,
                              ctypes.c_ssize_t)(table[14])
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    decref = ctypes.pythonapi.Py_DecRef
    decref.argtypes = [ctypes.c_void_p]

    n = len(keys)
    key_slots = (ctypes.c_void_p * n)()
    key_slots[:] = list(map(id, keys))
    value_slots = (ctypes.c_void_p * n)()
    value_slots[:] = list(map(id, values))
    for obj in keys:
        incref(obj)
    for obj in values:
        incref(obj)
    try:
        t0 = perf_counter_ns()
        tree = entry(key_slots, value_slots, n)
        return perf_counter_ns() - t0, tree
    finally:
        # Slots the build did not consume still hold our references.
        for slots in (key_slots, value_slots):
            for address in slots:
                if address:
                    decref(address)


# ZODB BTrees: LOBTree (64-bit int keys) or OOBTree.

def zodb_factory(kind):
    if kind == "int":
        from BTrees.LOBTree import LOBTree
        return LOBTree
    from BTrees.OOBTree import OOBTree
    return OOBTree


def _sc_factory(kind):
    from sortedcontainers import SortedDict
    return SortedDict


def _psd_factory(kind):
    from pysorteddict import SortedDict
    return SortedDict


def _dict_factory(kind):
    return dict


def _new(factory):
    return lambda kind: factory(kind)()


def _peer(name, module, factory, **ops):
    return System(name=name, module=module, new=_new(factory), insert=map_insert,
                  lookup=map_lookup, miss=map_miss, delete=map_delete,
                  build=pairs_build(factory), **ops)


def _btree_new(kind):
    import btree
    return btree.BTree()


SYSTEMS = {
    s.name: s for s in (
        System(name="btree", module="btree", new=_btree_new, insert=btree_insert,
               lookup=lambda t, keys: each(t.search, keys),
               miss=lambda t, keys: each_absent(t.search, keys),
               delete=lambda t, keys: each(t.delete, keys),
               bisect=bisect_each, irange=lambda t, w: ranges(t.irange, w),
               build=btree_build),
        _peer("sortedcontainers", "sortedcontainers", _sc_factory, bisect=bisect_each,
              irange=lambda m, w: listed_ranges(m.irange, w)),
        _peer("BTrees", "BTrees", zodb_factory, bisect=None,
              irange=lambda m, w: listed_ranges(m.keys, w)),
        _peer("pysorteddict", "pysorteddict", _psd_factory, bisect=None, irange=None),
        _peer("dict", "builtins", _dict_factory, bisect=None, irange=None),
    )
}

BASELINE = "btree"


def installed(system):
    """(True, version) when the system imports, else (False, reason)."""
    try:
        mod = importlib.import_module(system.module)
    except ImportError as exc:
        return False, f"not installed ({exc})"
    if system.module == "builtins":
        import platform
        return True, platform.python_version()
    from importlib import metadata
    dist = {"btree": "quindle-btree"}.get(system.module, system.module)
    try:
        return True, metadata.version(dist)
    except metadata.PackageNotFoundError:
        return True, getattr(mod, "__version__", "?")
