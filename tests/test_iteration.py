"""Iterators over keys, values and items, and their invalidation."""

import gc
import importlib
import random

import pytest

from helpers import tree_of

MUTATED = "^BTree mutated during iteration$"


@pytest.fixture
def filled(BTree):
    keys = random.Random(11).sample(range(100_000), 2500)
    return tree_of(BTree, keys, value=lambda key: -key), sorted(keys)


def test_empty_tree(BTree):
    tree = BTree()
    for make in (tree.keys, tree.values, tree.items):
        iterator = make()
        with pytest.raises(StopIteration):
            next(iterator)
        assert list(make()) == []


def test_order_and_kinds(filled):
    tree, keys = filled
    assert list(tree.keys()) == keys
    assert list(tree.values()) == [-k for k in keys]
    assert list(tree.items()) == [(k, -k) for k in keys]


def test_iterator_is_its_own_iterator(filled):
    tree, _ = filled
    for iterator in (tree.keys(), tree.values(), tree.items()):
        assert iter(iterator) is iterator


def test_iterators_advance_independently(filled):
    tree, keys = filled
    first, second = tree.keys(), tree.keys()
    assert [next(first) for _ in range(300)] == keys[:300]
    assert next(second) == keys[0]
    assert list(first) == keys[300:]
    assert list(second) == keys[1:]


def test_exhausted_iterator_keeps_stopping(BTree):
    tree = tree_of(BTree, [1, 2])
    iterator = tree.keys()
    assert list(iterator) == [1, 2]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(iterator)


MUTATIONS = {
    "insert new": lambda t: t.insert(-1),
    "replace value": lambda t: t.insert(t.irange()[0], "v"),
    "delete": lambda t: t.delete(t.irange()[0]),
    "clear": lambda t: t.clear(),
}


@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
@pytest.mark.parametrize("consumed", [0, 1, "all"])
def test_mutation_stops_every_iterator(filled, mutate, consumed):
    tree, keys = filled
    iterators = [tree.keys(), tree.values(), tree.items()]
    for iterator in iterators:
        for _ in range(len(keys) + 1 if consumed == "all" else consumed):
            next(iterator, None)
    mutate(tree)
    for iterator in iterators:
        for _ in range(2):
            with pytest.raises(RuntimeError, match=MUTATED):
                next(iterator)
    assert list(tree.keys()) == sorted(tree.irange())


def test_failed_mutations_leave_iterators_running(BTree):
    tree = tree_of(BTree, range(50))
    iterator = tree.keys()
    next(iterator)
    with pytest.raises(KeyError):
        tree.delete(1000)
    with pytest.raises(TypeError):
        tree.insert("not comparable with ints")
    with pytest.raises(ValueError):
        tree.insert(float("nan"))
    assert list(iterator) == list(range(1, 50))


READS = {
    "search": lambda t: t.search(7),
    "missing search": lambda t: pytest.raises(KeyError, t.search, -7),
    "bisect": lambda t: (t.bisect_left(7), t.bisect_right(7)),
    "irange": lambda t: t.irange(3, 9),
    "len": len,
    "new iterator": lambda t: list(t.items()),
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_reads_leave_iterators_running(BTree, read):
    tree = tree_of(BTree, range(300))
    iterator = tree.items()
    assert next(iterator) == (0, 0)
    read(tree)
    assert list(iterator) == [(k, k) for k in range(1, 300)]


def test_iteration_through_the_capsule(capi, BTree):
    tree = tree_of(BTree, range(200), value=str)
    for kind, expected in [(0, list(range(200))), (1, [str(k) for k in range(200)]), (2, None), (7, None)]:
        iterator = capi.iter_new(tree, kind)
        assert iter(iterator) is iterator
        got = []
        while (item := capi.iter_next(iterator)) is not capi.END:
            got.append(item)
        assert got == (expected or [(k, str(k)) for k in range(200)])
        assert capi.iter_next(iterator) is capi.END
    iterator = capi.iter_new(BTree(), 2)
    assert capi.iter_next(iterator) is capi.END


def test_capsule_iterator_reports_errors_apart_from_the_end(capi, BTree):
    tree = tree_of(BTree, range(3))
    iterator = capi.iter_new(tree, 0)
    assert capi.iter_next(iterator) == 0
    tree.insert(10)
    with pytest.raises(RuntimeError, match=MUTATED):
        capi.iter_next(iterator)
    exhausted = capi.iter_new(tree, 0)
    list(iter(lambda: capi.iter_next(exhausted), capi.END))
    tree.clear()
    with pytest.raises(RuntimeError, match=MUTATED):
        capi.iter_next(exhausted)
    with pytest.raises(TypeError):
        capi.iter_next([1, 2])
    with pytest.raises(TypeError):
        capi.iter_new([], 0)


def map_type(mod):
    return mod.BTreeMap if hasattr(mod, "BTreeMap") else importlib.import_module("btreemap").BTreeMap


# The keys of each walk, in the order it yields them, and the walk over the
# pairs made of them.
ITEM_WALKS = {
    "BTree.items": (range(300), lambda mod, pairs: tree_of(mod.BTree, dict(pairs), value=dict(pairs).get).items()),
    "BTreeMap.items": (range(300), lambda mod, pairs: iter(map_type(mod)(pairs).items())),
    "reversed BTreeMap.items": (range(0, -300, -1), lambda mod, pairs: reversed(map_type(mod)(pairs).items())),
}


@pytest.mark.parametrize("keys, walk", ITEM_WALKS.values(), ids=ITEM_WALKS.keys())
def test_item_tuples_reused_only_when_released(mod, keys, walk):
    """A tuple the caller let go of comes back refilled; one still held is
    never overwritten, and a refilled tuple holding a container is tracked by
    the garbage collector again even if a collection untracked it."""
    def value(k):
        return [k] if k % 2 else k

    pairs = [(k, value(k)) for k in keys]
    iterator = walk(mod, pairs)
    held = []
    for i, pair in enumerate(pairs):
        item = next(iterator)
        assert item == pair
        if isinstance(pair[1], list):
            assert gc.is_tracked(item)
        else:
            gc.collect()  # may untrack a tuple of two ints
        if i % 7 == 0:
            held.append(item)
        del item
    assert held == pairs[::7]
    assert [(k, v) for k, v in walk(mod, pairs)] == pairs
