"""The sorted maps under comparison, each behind the same small record.

Every timed loop binds what it calls to locals first and runs over a list
built before the clock starts. btreemap.BTreeMap and the peers are driven
through their fastest idiomatic spelling (`m[k] = v`, `m[k]`, `del m[k]`,
`k in m`, `m.get(k, d)`, `for k in m`); btree.BTree through its methods, or
through its C API entries (called with ctypes, see capsule.py) where it has
no method: its rows of `in` and `get` time `search`, with `except KeyError`
on a miss. A field left as None marks an operation the system does not
offer.
"""

import importlib
import pickle
from dataclasses import dataclass
from typing import Callable, Optional

import capsule
import clock


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
    index: Optional[Callable]      # index(m, positions) -> (ns, key at the first)
    contains: Callable = None      # contains(m, keys) -> ns: `k in m`
    get: Callable = None           # get(m, keys) -> ns: m.get(k, default)
    forward: Callable = iter       # forward(m) -> iterator over the keys
    # reverse(m), reverse_items(m) -> iterators in descending key order.
    reverse: Optional[Callable] = None
    reverse_items: Optional[Callable] = None
    # Calls a map offers by name, each timed over a list of arguments.
    peekitem: Optional[Callable] = None    # peekitem(m, positions) -> (ns, first item)
    popitem: Optional[Callable] = None     # popitem(m, positions) -> (ns, popped items)
    index_of: Optional[Callable] = None    # index_of(m, keys) -> (ns, position of the first)
    bisect_right: Optional[Callable] = None  # bisect_right(m, probes) -> (ns, rank of the first)
    floor_key: Optional[Callable] = None   # floor_key(m, probes) -> (ns, floor of the first, or None)
    # build_dict(kind, d) -> (ns, map): construction from an unsorted dict.
    build_dict: Optional[Callable] = None
    # round_trip(m) -> (ns, copy): pickle.loads(pickle.dumps(m)).
    round_trip: Optional[Callable] = None
    # Positions probed at the most, for a peer whose positional access walks
    # the map (None: as many as the other probes).
    index_cap: Optional[int] = None
    # call_floor(sorted keys, positions) -> (ns, key at the first): the part
    # of `index` that is the calling convention alone (btree's is ctypes).
    call_floor: Optional[Callable] = None


# Mapping protocol: dict and the sorted-map peers.

def map_insert(m, keys):
    t0 = clock.now()
    for k in keys:
        m[k] = None
    return clock.now() - t0


def map_lookup(m, keys):
    t0 = clock.now()
    for k in keys:
        m[k]
    return clock.now() - t0


def map_miss(m, keys):
    t0 = clock.now()
    for k in keys:
        try:
            m[k]
        except KeyError:
            pass
    return clock.now() - t0


def map_delete(m, keys):
    t0 = clock.now()
    for k in keys:
        del m[k]
    return clock.now() - t0


def map_contains(m, keys):
    t0 = clock.now()
    for k in keys:
        k in m
    return clock.now() - t0


def map_get(m, keys):
    return each_with_none(m.get, keys)


def dict_build(factory):
    """Construction from a dict of the keys in random order, built before
    the clock starts."""
    def build(kind, d):
        make = factory(kind)
        t0 = clock.now()
        m = make(d)
        return clock.now() - t0, m
    return build


def round_trip(m):
    t0 = clock.now()
    copy = pickle.loads(pickle.dumps(m, pickle.HIGHEST_PROTOCOL))
    return clock.now() - t0, copy


def pairs_build(factory):
    """Construction from a list of (key, value) pairs, which is built before
    the clock starts."""
    def build(kind, keys, values):
        pairs = list(zip(keys, values))
        make = factory(kind)
        t0 = clock.now()
        m = make(pairs)
        return clock.now() - t0, m
    return build


# Loops over a bound method, for btree and for the peers' named methods.

def each(call, items):
    """Calls `call` (a bound method) on every item."""
    t0 = clock.now()
    for x in items:
        call(x)
    return clock.now() - t0


def each_with_none(call, items):
    """Calls `call` on every item, with None as the second argument (a
    value to store, or a default)."""
    t0 = clock.now()
    for x in items:
        call(x, None)
    return clock.now() - t0


def each_absent(call, items):
    """Calls `call` on every item, each raising KeyError."""
    t0 = clock.now()
    for x in items:
        try:
            call(x)
        except KeyError:
            pass
    return clock.now() - t0


def ranges(query, windows):
    """query(lo, hi) returns a list. Returns (ns, length of the first)."""
    t0 = clock.now()
    for lo, hi in windows:
        query(lo, hi)
    elapsed = clock.now() - t0
    return elapsed, len(query(*windows[0]))


def listed_ranges(query, windows):
    """query(lo, hi) returns an iterable, materialised here as a list."""
    t0 = clock.now()
    for lo, hi in windows:
        list(query(lo, hi))
    elapsed = clock.now() - t0
    return elapsed, len(list(query(*windows[0])))


def bisect_each(m, probes):
    return each(m.bisect_left, probes)


def bisect_right_each(m, probes):
    return _calls(m.bisect_right, probes)


def floor_each(m, probes):
    """m.floor_key(k, None): the greatest key not above each probe."""
    floor = m.floor_key
    t0 = clock.now()
    for x in probes:
        floor(x, None)
    return clock.now() - t0, floor(probes[0], None)


# btree.BTree

def btree_insert(t, keys):
    return each_with_none(t.insert, keys)


def btree_build(kind, keys, values):
    """Bulk build through the C API entry BuildFromSortedPairs."""
    run = capsule.build_from_sorted_pairs(keys, values)
    t0 = clock.now()
    tree = run()
    return clock.now() - t0, tree


# Positional access: each returns (ns, the key at the first position).

def _capsule_index(get, seq, positions):
    kind = capsule.KIND_KEYS
    t0 = clock.now()
    for i in positions:
        get(seq, i, kind)
    return clock.now() - t0, get(seq, positions[0], kind)


def btree_index(t, positions):
    return _capsule_index(capsule.get_item_by_index(), t, positions)


def call_floor(keys, positions):
    """What btree_index spends in ctypes alone: the same loop and call,
    reading a list of the keys."""
    return _capsule_index(capsule.call_floor(), keys, positions)


def peek_each(m, positions):
    return _calls(m.peekitem, positions)


def index_each(m, keys):
    return _calls(m.index, keys)


def _calls(call, items):
    """(ns, result of the first call) of `call` on every item."""
    t0 = clock.now()
    for x in items:
        call(x)
    return clock.now() - t0, call(items[0])


def pop_each(m, positions):
    return pop_at(m.popitem, len(m), positions)


def pop_at(pop, size, positions):
    """Calls pop(i) at each position, taken modulo the shrinking length
    (size at first) before the clock starts; returns (ns, what it popped)."""
    popped = []
    keep = popped.append
    at = [p % (size - j) for j, p in enumerate(positions)]
    t0 = clock.now()
    for i in at:
        keep(pop(i))
    return clock.now() - t0, popped


def subscripts(view, positions):
    t0 = clock.now()
    for i in positions:
        view[i]
    return clock.now() - t0, view[positions[0]]


def keys_index(m, positions):
    """keys()[i]: sortedcontainers' keys view indexes its sorted list;
    pysorteddict's walks the map from the nearer end."""
    return subscripts(m.keys(), positions)


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


def _map_factory(kind):
    from btreemap import BTreeMap
    return BTreeMap


def _from_sorted(kind):
    from btreemap import BTreeMap
    return BTreeMap.fromsorted


def _new(factory):
    return lambda kind: factory(kind)()


def _peer(name, module, factory, **ops):
    ops = {"build": pairs_build(factory), "reverse": reversed,
           "reverse_items": lambda m: reversed(m.items()), **ops}
    return System(name=name, module=module, new=_new(factory), insert=map_insert,
                  lookup=map_lookup, miss=map_miss, delete=map_delete, contains=map_contains,
                  get=map_get, build_dict=dict_build(factory), round_trip=round_trip, **ops)


def btree_search(t, keys):
    return each(t.search, keys)


def btree_absent(t, keys):
    """search on keys that may be absent, catching KeyError: btree's `in`
    and `get`."""
    return each_absent(t.search, keys)


def _btree_new(kind):
    import btree
    return btree.BTree()


BASELINE = "btree"
# The sorted mapping most users want; ratios fall back to it in the rows of
# operations that btree does not offer.
MAP = "btreemap"

# Positions probed on a peer whose positional access takes linear time: at
# 10^6 keys each costs milliseconds.
LINEAR_PROBES = 100

SYSTEMS = {
    s.name: s for s in (
        System(name="btree", module="btree", new=_btree_new, insert=btree_insert,
               lookup=btree_search, miss=btree_absent, delete=lambda t, keys: each(t.delete, keys),
               contains=btree_absent, get=btree_absent, forward=lambda t: t.keys(),
               bisect=bisect_each, bisect_right=bisect_right_each, irange=lambda t, w: ranges(t.irange, w),
               build=btree_build, index=btree_index, call_floor=call_floor),
        _peer(MAP, "btreemap", _map_factory, bisect=bisect_each, bisect_right=bisect_right_each,
              floor_key=floor_each,
              irange=lambda m, w: listed_ranges(m.irange, w), index=keys_index,
              peekitem=peek_each, popitem=pop_each, index_of=index_each,
              build=pairs_build(_from_sorted)),
        _peer("sortedcontainers", "sortedcontainers", _sc_factory, bisect=bisect_each,
              bisect_right=bisect_right_each,
              irange=lambda m, w: listed_ranges(m.irange, w), index=keys_index,
              peekitem=peek_each, popitem=pop_each, index_of=index_each),
        # reversed() of a BTrees items() or keys() sequence indexes it from
        # the end, step by step: quadratic, so not offered here.
        _peer("BTrees", "BTrees", zodb_factory, bisect=None,
              irange=lambda m, w: listed_ranges(m.keys, w), index=None, reverse=None,
              reverse_items=None),
        _peer("pysorteddict", "pysorteddict", _psd_factory, bisect=None, irange=None,
              index=keys_index, index_cap=LINEAR_PROBES),
        _peer("dict", "builtins", _dict_factory, bisect=None, irange=None, index=None),
    )
}


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
    dist = {"btree": "quindle-btree", "btreemap": "quindle-btree"}.get(system.module, system.module)
    try:
        return True, metadata.version(dist)
    except metadata.PackageNotFoundError:
        return True, getattr(mod, "__version__", "?")
