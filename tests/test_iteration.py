"""Iterators over keys, values and items, and their invalidation, on every
sorted type."""

import gc
import random

import pytest

from helpers import MAP, by_surface, filled, in_order, tree_of

MUTATED = "^BTree mutated during iteration$"


@pytest.fixture
def walked(surface, Type):
    keys = random.Random(11).sample(range(100_000), 2500)
    # Every fifth key twice: a list keeps both, in the order they came.
    inserted = keys + keys[::5]
    return filled(surface, Type, inserted, value=lambda key: -key), in_order(surface, inserted)


def test_empty_tree(surface, Type):
    tree = Type()
    for walk in [*surface.walks.values(), surface.entries]:
        iterator = walk(tree)
        with pytest.raises(StopIteration):
            next(iterator)
        assert list(walk(tree)) == []


def test_order_and_kinds(surface, walked):
    tree, keys = walked
    assert list(surface.walks["keys"](tree)) == keys
    assert list(surface.entries(tree)) == [surface.entry(k, -k) for k in keys]
    if surface.valued:
        assert list(surface.walks["values"](tree)) == [-k for k in keys]
        assert list(surface.walks["items"](tree)) == [(k, -k) for k in keys]


def test_iterator_is_its_own_iterator(surface, walked):
    tree, _ = walked
    for walk in [*surface.walks.values(), surface.entries]:
        iterator = walk(tree)
        assert iter(iterator) is iterator


def test_iterators_advance_independently(surface, walked):
    tree, keys = walked
    first, second = surface.walks["keys"](tree), surface.walks["keys"](tree)
    assert [next(first) for _ in range(300)] == keys[:300]
    assert next(second) == keys[0]
    assert list(first) == keys[300:]
    assert list(second) == keys[1:]


def test_exhausted_iterator_keeps_stopping(surface, Type):
    tree = filled(surface, Type, [1, 2])
    iterator = surface.walks["keys"](tree)
    assert list(iterator) == in_order(surface, [1, 2])
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(iterator)


@pytest.mark.parametrize("surface, mutation", by_surface("mutations"), indirect=["surface"])
@pytest.mark.parametrize("consumed", [0, 1, "all"])
def test_mutation_stops_every_iterator(surface, walked, mutation, consumed):
    tree, keys = walked
    iterators = [walk(tree) for walk in surface.walks.values()]
    for iterator in iterators:
        for _ in range(len(keys) + 1 if consumed == "all" else consumed):
            next(iterator, None)
    surface.mutations[mutation](tree)
    for iterator in iterators:
        for _ in range(2):
            with pytest.raises(RuntimeError, match=f"^{surface.mutated}$"):
                next(iterator)
    _, irange = surface.iranges[0]
    assert list(surface.walks["keys"](tree)) == sorted(irange(tree, None, None, (True, True)), key=surface.order)


def test_failed_mutations_leave_iterators_running(surface, Type):
    tree = filled(surface, Type, range(50))
    iterator = surface.walks["keys"](tree)
    next(iterator)
    insert, delete = next(iter(surface.inserts.values())), next(iter(surface.deletes.values()))
    with pytest.raises(surface.missing[0]):
        delete(tree, 1000)
    with pytest.raises(TypeError):
        insert(tree, "not comparable with ints")
    with pytest.raises(ValueError):
        insert(tree, float("nan"))
    assert list(iterator) == in_order(surface, range(50))[1:]


@pytest.mark.parametrize("surface, read", by_surface("reads"), indirect=["surface"])
def test_reads_leave_iterators_running(surface, Type, read):
    tree = filled(surface, Type, range(300))
    entries = [surface.entry(k, k) for k in in_order(surface, range(300))]
    iterator = surface.entries(tree)
    assert next(iterator) == entries[0]
    surface.reads[read](tree)
    assert list(iterator) == entries[1:]


def test_iteration_allows_values_stored_over_others(BTreeMap):
    m = BTreeMap.fromsorted((i, i) for i in range(2000))
    for k, v in m.items():
        m[k] = v * 2
    assert list(m.values()) == [2 * i for i in range(2000)]
    for k in reversed(m.keys()):
        m[k] += 1
    assert m[1999] == 3999


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


# The keys of each walk, in the order it yields them, and the walk over the
# pairs made of them.
ITEM_WALKS = {
    "BTree.items": (range(300), lambda mod, pairs: tree_of(mod.BTree, dict(pairs), value=dict(pairs).get).items()),
    "BTreeMap.items": (range(300), lambda mod, pairs: iter(MAP.type_in(mod)(pairs).items())),
    "reversed BTreeMap.items": (range(0, -300, -1), lambda mod, pairs: reversed(MAP.type_in(mod)(pairs).items())),
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
