"""Union, intersection and difference of two maps, per system.

The inputs are built from sorted keys before the clock starts and are left
unchanged, so every repetition merges the same two. Each system uses its
nearest equivalent of btree's merges, which combine the key sets of two
trees into a new tree whose values are None:

- btree: the C API entries MergeUnion, MergeIntersection, MergeDifference
  (capsule slots 9, 10, 11), called through ctypes, on two BTrees;
- btreemap: the methods union, intersection, difference of two BTreeMaps,
  which give a BTreeMap (values: the left map's, or the right's for a key
  only there);
- BTrees: the module functions union, intersection, difference of
  BTrees.LOBTree (int keys) or BTrees.OOBTree, on two LOBTrees or OOBTrees;
  they give a flat set (the difference: a bucket of the left items);
- sortedcontainers: SortedSet.union, .intersection, .difference on two
  SortedSets, which give a SortedSet;
- dict: the set operators of two keys views (`a.keys() | b.keys()`), which
  give an unordered set: a floor, not a sorted result;
- pysorteddict offers none.
"""

import importlib
from dataclasses import dataclass
from typing import Callable

import capsule
import clock
import systems

# (name, label) in report order.
OPS = (
    ("union", "union"),
    ("intersection", "intersection"),
    ("difference", "difference"),
)
OP_NAMES = tuple(name for name, _ in OPS)


@dataclass
class Merges:
    inputs: Callable   # inputs(kind, left_keys, right_keys), both sorted -> (a, b)
    ops: Callable      # ops(kind) -> {op name: f(a, b) -> merged}


def timed(merge, a, b):
    """(ns, result) of one merge."""
    t0 = clock.now()
    result = merge(a, b)
    return clock.now() - t0, result


def _built(system):
    """Inputs made by the system's own construction from sorted pairs."""
    def inputs(kind, left, right):
        return tuple(system.build(kind, keys, [None] * len(keys))[1] for keys in (left, right))
    return inputs


def _btree_ops(kind):
    return {op: capsule.merge(slot) for op, slot in zip(OP_NAMES, (
        capsule.MERGE_UNION, capsule.MERGE_INTERSECTION, capsule.MERGE_DIFFERENCE))}


def _zodb_ops(kind):
    module = importlib.import_module(systems.zodb_factory(kind).__module__)
    return {op: getattr(module, op) for op in OP_NAMES}


def _sorted_sets(kind, left, right):
    from sortedcontainers import SortedSet
    return SortedSet(left), SortedSet(right)


def _methods(module, name):
    """ops() of a type whose methods union, intersection, difference merge."""
    def ops(kind):
        cls = getattr(importlib.import_module(module), name)
        return {op: getattr(cls, op) for op in OP_NAMES}
    return ops


def _keys_view_ops(kind):
    return {"union": lambda a, b: a.keys() | b.keys(),
            "intersection": lambda a, b: a.keys() & b.keys(),
            "difference": lambda a, b: a.keys() - b.keys()}


MERGES = {
    "btree": Merges(_built(systems.SYSTEMS["btree"]), _btree_ops),
    systems.MAP: Merges(_built(systems.SYSTEMS[systems.MAP]),
                        _methods("btreemap", "BTreeMap")),
    "BTrees": Merges(_built(systems.SYSTEMS["BTrees"]), _zodb_ops),
    "sortedcontainers": Merges(_sorted_sets, _methods("sortedcontainers", "SortedSet")),
    "dict": Merges(_built(systems.SYSTEMS["dict"]), _keys_view_ops),
}
