"""Deletion: rebalancing shapes, separators and the cached path; removal of
ranges of keys and positions."""

import gc
import random
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import (ASCENDING_LEAF, MAX_CHILDREN, MAX_KEYS, MIN_KEYS, PATH_CACHE, TESTED, Key, built, check_tree,
                     leaf_sizes, needs_path_cache, node_table, separators, tree_of)

MUTATED = "BTree mutated during iteration"


class Boom(Exception):
    pass


def trimmed(client, sizes, make=int):
    """A two-level tree of keys make(0), make(1), ... whose leaves hold
    `sizes` items (MIN_KEYS to MAX_KEYS each): built full, then cut from the
    end of every leaf, which never rebalances. The last leaf may hold fewer
    than MIN_KEYS, as the bulk build leaves it: it is built short. Returns the tree and
    every key made."""
    keys = [make(v) for v in range(MAX_KEYS * len(sizes))]
    short = sizes[-1] < MIN_KEYS
    tree = built(client, keys[:len(keys) - MAX_KEYS + sizes[-1]] if short else keys)
    for leaf, size in enumerate(sizes[:-1] if short else sizes):
        for v in range(leaf * MAX_KEYS + size, (leaf + 1) * MAX_KEYS):
            tree.delete(keys[v])
    return tree, keys


def test_delete_from_an_empty_tree(BTree):
    tree = BTree()
    with pytest.raises(KeyError) as info:
        tree.delete((1, 2))
    assert info.value.args == ((1, 2),) and len(tree) == 0


def test_delete_missing_key_keeps_everything(BTree):
    tree = tree_of(BTree, range(0, 3000, 3))
    with pytest.raises(KeyError) as info:
        tree.delete(4)
    assert info.value.args == (4,)
    assert list(tree.keys()) == list(range(0, 3000, 3))


def test_two_minimal_leaves_merge_and_the_root_collapses(bt, dump, check):
    tree = tree_of(bt.BTree, range(MAX_KEYS + 1))
    tree.delete(0)
    tree.delete(MAX_KEYS)
    root = dump(tree)["root"]
    assert leaf_sizes(root) == [MIN_KEYS, MIN_KEYS] and root["n"] == 1
    tree.delete(70)
    root = dump(tree)["root"]
    assert root["leaf"] and root["n"] == 2 * MIN_KEYS - 1
    assert root["keys"] == [k for k in range(1, MAX_KEYS) if k != 70]
    check(tree)


def test_deleting_the_last_item_resets_the_tree(bt, dump, check):
    tree = tree_of(bt.BTree, [2.5])
    tree.delete(2.5)
    state = dump(tree)
    assert (state["root"], state["size"], state["key_kind"], state["key_type"]) == (None, 0, -1, None)
    check(tree)


def test_separator_naming_a_deleted_key_lets_it_go(bt, dump, check):
    tree = tree_of(bt.BTree, [Key(v) for v in range(300)])
    separator = dump(tree)["root"]["keys"][1]
    ref, value = weakref.ref(separator), separator.value
    del separator
    tree.delete(Key(value))
    gc.collect()
    assert ref() is None
    check(tree)
    assert [k.value for k in tree.keys()] == [v for v in range(300) if v != value]


def test_deleting_the_smallest_key_changes_no_separator(bt, dump):
    tree = tree_of(bt.BTree, range(1000))
    separators = dump(tree)["root"]["keys"]
    tree.delete(0)
    assert dump(tree)["root"]["keys"] == separators


def test_int_tree_deletes_an_equal_float(bt, dump, check):
    tree = tree_of(bt.BTree, range(500))
    tree.delete(1.0)
    tree.delete(False)
    assert dump(tree)["key_kind"] == 1
    assert list(tree.keys()) == list(range(2, 500))
    check(tree)


def test_cached_path_and_fresh_descent_leave_the_same_tree(bt, dump, check):
    # Keys above 256 are distinct objects when rebuilt from their digits.
    keys = random.Random(2).sample(range(1000, 100_000), 6000)
    by_cache, by_descent = tree_of(bt.BTree, keys), tree_of(bt.BTree, keys)
    for key in random.Random(3).sample(keys, 5000):
        stored = by_cache.search(key)
        by_cache.delete(stored)
        by_descent.delete(int(str(key)))
        state = dump(by_cache)
        assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert dump(by_cache)["root"] == dump(by_descent)["root"]
    check(by_cache)
    check(by_descent)


class Box:
    """A key ordered by a field that can change after a lookup."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value

    def __eq__(self, other):
        return self.value == other.value

    __hash__ = None


# Keys whose probe object changes between the lookup and the deletion, the
# probe's new value, and the number of items: 2 * MIN_KEYS makes two minimal
# leaves, which the cached walk merges under the root before it gives up.
CHANGED_PROBES = node_table(lambda: {
    "list": (lambda v: [v], MAX_KEYS, MAX_KEYS + 1),
    "object with a mutable field": (Box, MAX_KEYS, MAX_KEYS + 1),
    "list, merging the root's leaves": (lambda v: [v], 2 * MIN_KEYS - 1, 2 * MIN_KEYS),
})


@pytest.mark.parametrize("make, new, count", CHANGED_PROBES.values(), ids=CHANGED_PROBES.keys())
def test_deletion_through_the_cache_of_a_probe_that_changed(bt, check, make, new, count):
    """The cached path names the leaf of the probe as it was: when that leaf
    does not hold the changed probe, the deletion descends afresh."""
    tree = tree_of(bt.BTree, [make(v) for v in range(count)], value=lambda key: key)
    target = list(tree.values())[new]
    probe = make(0)
    tree.search(probe)
    if isinstance(probe, list):
        probe[0] = new
    else:
        probe.value = new
    tree.delete(probe)
    check(tree)
    assert len(tree) == count - 1 and not any(value is target for value in tree.values())
    assert list(tree.keys())[0] == make(0)


def test_rebalancing_through_every_level(bt, dump, check):
    keys = list(range(20_000))
    tree = tree_of(bt.BTree, keys)
    assert not dump(tree)["root"]["children"][0]["leaf"]
    order = random.Random(4).sample(keys, len(keys))
    for done, key in enumerate(order, 1):
        tree.delete(key)
        if done % 2500 == 0:
            check(tree)
            assert list(tree.keys()) == sorted(order[done:])
    assert dump(tree)["root"] is None


def fills():
    """{case: (leaf sizes, the leaf that loses its second key, leaf sizes
    afterwards)}. A borrow evens a full and a minimal leaf at `even` each;
    a lender of MIN_KEYS + 17 items lends the 17 above its minimum."""
    low, high, even = MIN_KEYS, MAX_KEYS, (MAX_KEYS + MIN_KEYS) // 2
    return {
        "borrow from the left although the right could lend": ([low + 1, low, high], 1, [low, low, high]),
        "a borrow evens the two leaves, from the left": ([high, low, low], 1, [even, even - 1, low]),
        "a borrow evens the two leaves, from the right": ([low, low, high], 1, [low, even - 1, even]),
        "a borrow leaves the lender no fewer than the minimum": ([high, low + 17, 5], 2, [high, low, 5 + 17 - 1]),
        "first child merges with its right sibling": ([low, low, high], 0, [2 * low - 1, high]),
        "middle child merges with its right sibling": ([low, low, low, high], 1, [low, 2 * low - 1, high]),
        "last child merges into its left sibling": ([high, low, low], 2, [high, 2 * low - 1]),
    }


FILLS = node_table(fills)


@pytest.mark.parametrize("sizes, leaf, after", FILLS.values(), ids=FILLS.keys())
def test_a_minimal_leaf_is_topped_up_before_the_descent_enters_it(test_capi, dump, check, sizes, leaf, after):
    tree, _ = trimmed(test_capi, sizes)
    tree.delete(leaf * MAX_KEYS + 1)
    assert leaf_sizes(dump(tree)["root"]) == after
    check(tree, strict=sizes[-1] >= MIN_KEYS)
    kept = [k for i, size in enumerate(sizes) for k in range(i * MAX_KEYS, i * MAX_KEYS + size)]
    assert list(tree.keys()) == [k for k in kept if k != leaf * MAX_KEYS + 1]


@pytest.mark.parametrize("deleted", [10, 5000], ids=["from the left child", "from the last child"])
def test_two_minimal_internal_nodes_merge_into_a_full_one(bt, dump, check, deleted):
    # Ascending insertion up to here leaves two internal nodes of MIN_KEYS
    # keys under the root.
    tree = tree_of(bt.BTree, range(ASCENDING_LEAF * MAX_CHILDREN + 1))
    root = dump(tree, depth=1)["root"]
    assert [child["n"] for child in root["children"]] == [MIN_KEYS, MIN_KEYS]
    separator = root["keys"][0]
    tree.delete(deleted)
    root = dump(tree, depth=0)["root"]
    assert root["n"] == MAX_KEYS and root["keys"][MIN_KEYS] is separator
    check(tree)


@pytest.mark.parametrize(
    "count, deleted, where",
    # Leaves counted in full leaves: a three-level tree of MAX_CHILDREN + 100
    # has a full first internal node and a second of 100 children.
    node_table(lambda: [
        pytest.param(3 * MAX_KEYS, 2 * MAX_KEYS, ((), 1), id="in the parent"),
        pytest.param((MAX_CHILDREN + 100) * MAX_KEYS, (MAX_CHILDREN + 1) * MAX_KEYS, ((1,), 0),
                     id="in a parent of a three-level tree"),
        pytest.param((MAX_CHILDREN + 100) * MAX_KEYS, MAX_CHILDREN * MAX_KEYS, ((), 0), id="in the grandparent"),
    ]),
)
def test_deleting_the_first_key_of_a_leaf_refreshes_one_separator(test_capi, dump, check, count, deleted, where):
    # Full leaves and internal nodes above MIN_KEYS keys: nothing is rebalanced.
    keys = [10**20 + v for v in range(count)]
    references = sys.getrefcount(keys[deleted])
    tree = built(test_capi, keys)
    before = separators(dump(tree, depth=1)["root"])
    tree.delete(10**20 + deleted)
    after = separators(dump(tree, depth=1)["root"])
    changed = [place for place in before if after[place] is not before[place]]
    assert changed == [where] and after[where] is keys[deleted + 1]
    del before, after
    # Measured outside the assert, whose rewriting holds its operands.
    remaining = sys.getrefcount(keys[deleted])
    assert remaining == references
    check(tree)


@pytest.mark.parametrize("seed", [1, 2])
def test_comparison_failing_during_deletions_keeps_every_item(test_capi, dump, check, key_hook, seed):
    rng = random.Random(seed)
    keys = [Key(v) for v in range(20_000)]
    tree = built(test_capi, keys)
    # Half the keys gone leaves many nodes near the minimum, which a deletion
    # tops up; a deletion whose comparison fails finds its item first and so
    # moves nothing.
    for key in rng.sample(keys, 10_000):
        tree.delete(key)
    kept = list(tree.keys())
    failed = moved = 0
    for key in rng.sample(kept, 60):
        version = dump(tree, depth=0)["version"]
        countdown = [rng.randrange(25)]

        def hook(a, b):
            if countdown[0] == 0:
                raise Boom
            countdown[0] -= 1

        key_hook(hook)
        try:
            tree.delete(Key(key.value))
        except Boom:
            failed += 1
            moved += dump(tree, depth=0)["version"] != version
        else:
            kept = [k for k in kept if k is not key]
        key_hook(None)
    assert failed > 30 and moved == 0
    assert len(tree) == len(kept)
    check(tree)
    assert all(tree.search(Key(key.value)) is None for key in kept)
    assert all(a is b for a, b in zip(tree.keys(), kept))


@pytest.mark.parametrize("failure", ["missing key", "raising comparison"])
@pytest.mark.parametrize(
    "sizes, leaf",
    node_table(lambda: [pytest.param([MAX_KEYS, MAX_KEYS], 1, id="no rebalancing"),
                        pytest.param([MIN_KEYS + 1, MIN_KEYS], 1, id="borrow"),
                        pytest.param([MIN_KEYS, MIN_KEYS], 0, id="merge")]),
)
def test_failed_deletion_moves_nothing_and_keeps_the_path_cache(
    test_capi, dump, check, key_hook, failure, sizes, leaf
):
    tree, _ = trimmed(test_capi, sizes, Key)
    kept = list(tree.keys())
    tree.search(kept[5])
    before = dump(tree, depth=0)
    before_nodes = dump(tree)["root"]
    separator = before["root"]["keys"][0]
    if failure == "missing key":
        doomed, error = Key(leaf * MAX_KEYS + 10.5), KeyError
    else:
        # The root's comparison passes; those in the leaf fail.
        doomed, error = Key(leaf * MAX_KEYS + 10), Boom

        def hook(stored, query):
            if stored is not separator:
                raise Boom

        key_hook(hook)
    with pytest.raises(error):
        tree.delete(doomed)
    key_hook(None)
    state = dump(tree, depth=0)
    cache = (state["cache_key"], state["path_len"], state["cache_version"])
    # The item is found before anything moves: a failure leaves the nodes, the
    # version and the cache as they were, whether or not a removal would have
    # borrowed or merged.
    assert state["version"] == before["version"]
    assert cache == (kept[5] if PATH_CACHE else None, before["path_len"], before["cache_version"])
    assert dump(tree)["root"] == before_nodes
    check(tree)
    assert len(tree) == len(kept) and all(a is b for a, b in zip(tree.keys(), kept))


class Finalised(Key):
    """A key (or a value) whose finaliser calls its `on_release`, if set."""

    on_release = None

    def __del__(self):
        if self.on_release:
            self.on_release()


RELEASED_LAST = ["removed value", "removed key", "removed first key and its separator",
                 pytest.param("cached key", marks=needs_path_cache)]


@pytest.mark.parametrize("released", RELEASED_LAST)
def test_finaliser_run_by_a_deletion_finds_iterators_stopped(test_capi, check, released):
    # Two minimal leaves under the root: the deletion merges them and frees the
    # right leaf and the root, where the iterators below stand.
    tree, keys = trimmed(test_capi, [MIN_KEYS, MIN_KEYS], Finalised)
    doomed = MAX_KEYS if released == "removed first key and its separator" else MAX_KEYS + 5
    iterators, outcomes = [], []

    def on_release():
        for iterator in iterators:
            try:
                next(iterator)
                outcomes.append("stepped")
            except RuntimeError as error:
                outcomes.append(str(error))
        gc.collect()

    if released in ("removed value", "cached key"):
        watched = Finalised(20)
        watched.on_release = on_release
        if released == "removed value":
            tree.insert(keys[doomed], watched)
        else:
            tree.search(watched)
        del watched  # the tree holds the last reference
    else:
        keys[doomed].on_release = on_release
        keys[doomed] = None
    iterators[:] = tree.keys(), tree.values(), tree.items()
    for _ in range(100):
        next(iterators[1])
    list(iterators[2])
    tree.delete(Finalised(doomed))
    assert outcomes == [MUTATED] * 3
    check(tree)
    kept = list(range(MIN_KEYS)) + list(range(MAX_KEYS, MAX_KEYS + MIN_KEYS))
    assert [k.value for k in tree.keys()] == [v for v in kept if v != doomed]


@pytest.mark.parametrize("last_leaves", [1, 3])
def test_internal_merge_with_the_short_last_node_of_a_built_tree(test_capi, dump, check, last_leaves):
    # A built tree's last internal node may hold fewer than MIN_KEYS keys. Deleting
    # from the end has it borrow from its left sibling until that one is at
    # the minimum, and then the two merge under the root, which collapses.
    count = MAX_KEYS * (MAX_CHILDREN + last_leaves - 1) + 1
    tree = built(test_capi, range(count))
    for key in reversed(range(count)):
        before = dump(tree, depth=1)["root"]
        tree.delete(key)
        check(tree, strict=False)
        after = dump(tree, depth=0)["root"]
        if after["n"] != 1:
            break
    else:
        pytest.fail("the two internal nodes never merged")
    left, right = before["children"]
    assert after["n"] == left["n"] + 1 + right["n"]
    # The separator comes down right after the left node's own keys.
    assert after["keys"][left["n"]] is before["keys"][0]
    assert list(tree.keys()) == list(range(key))


# Range removal. Keys made from 0, 1, 2, ... in ascending order, of each kind
# the core keeps apart: primitives of int, float and str, and tuples compared
# as objects.
RANGE_KEYS = {
    "int": lambda i: i,
    "float": lambda i: i / 4 - 100.5,
    "str": lambda i: f"key{i:07d}",
    "tuple": lambda i: (i // 7, str(i % 7)),
}


def shaped_map(BTreeMap, make, size, shape, rng):
    """A map of `size` keys make(0) < make(1) < ..., the keys in order, and
    whether every node keeps the fewest keys: inserted in random order, built
    bottom-up (the last node of each level may be short), or thinned: twice as
    many inserted in random order, then every other one deleted in random
    order."""
    if shape == "built":
        keys = [make(i) for i in range(size)]
        return BTreeMap.fromsorted((k, i) for i, k in enumerate(keys)), keys, False
    count = 2 * size if shape == "thinned" else size
    keys = [make(i) for i in range(count)]
    order = list(range(count))
    rng.shuffle(order)
    m = BTreeMap()
    for i in order:
        m[keys[i]] = i
    if shape == "thinned":
        for i in order:
            if i % 2:
                del m[keys[i]]
        keys = keys[::2]
    return m, keys, True


def remove_and_compare(m, model, strict, cuts, rng):
    """Removes each cut from `m` and from `model` (its keys in order): by
    position through a view, or by the keys at the ends with random
    inclusiveness. The contents and every invariant are checked after each
    call."""
    for low, high, by_keys in cuts:
        a = int(low * (len(model) + 1))
        b = a + int(high * (len(model) + 1 - a))
        if by_keys and model:
            inclusive = (rng.random() < 0.5, rng.random() < 0.5)
            lo = model[min(a, len(model) - 1)] if rng.random() < 0.9 else None
            hi = model[min(b, len(model) - 1)] if rng.random() < 0.9 else None
            gone = [k for k in model if (lo is None or lo < k or (inclusive[0] and lo == k))
                    and (hi is None or k < hi or (inclusive[1] and hi == k))]
            assert m.remove_range(lo, hi, inclusive) == len(gone)
            kept = set(gone)
            model[:] = [k for k in model if k not in kept]
        else:
            view = rng.choice([m.keys(), m.items(), m.values()])
            del view[a:b]
            del model[a:b]
        check_tree(m, strict)
        assert list(m.keys()) == model and len(m) == len(model)


CUTS = st.lists(st.tuples(st.floats(0, 1), st.floats(0, 1), st.booleans()), min_size=1, max_size=6)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kind=st.sampled_from(sorted(RANGE_KEYS)), shape=st.sampled_from(["random", "built", "thinned"]),
       size=st.integers(0, 4000) | st.sampled_from([1, MAX_KEYS or 0, (MAX_KEYS or 0) + 1, 2 * (MAX_KEYS or 0)]),
       seed=st.integers(0, 2**32), cuts=CUTS)
def test_range_removal_on_trees_of_every_shape(kind, shape, size, seed, cuts):
    rng = random.Random(seed)
    m, model, strict = shaped_map(TESTED.BTreeMap, RANGE_KEYS[kind], size, shape, rng)
    remove_and_compare(m, model, strict, cuts, rng)


# Trees of three levels, which no size above reaches: built full, inserted
# at random, and built with a short last node on every level.
DEEP = node_table(lambda: {
    "built full": (MAX_KEYS * MAX_CHILDREN * 3, "built"),
    "random": (MAX_KEYS * MAX_CHILDREN * 2, "random"),
    "built with short ends": (MAX_KEYS * MAX_CHILDREN * 2 + MAX_KEYS + 1, "built"),
})
DEEP_MAPS = {}


@pytest.mark.parametrize("name", DEEP)
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32), cuts=CUTS)
def test_range_removal_on_three_levels(bt, dump, name, seed, cuts):
    size, shape = DEEP[name]
    if name not in DEEP_MAPS:
        DEEP_MAPS[name] = shaped_map(bt.BTreeMap, int, size, shape, random.Random(name))
        root = dump(DEEP_MAPS[name][0], depth=2)["root"]
        assert not root["children"][0]["leaf"] and root["children"][0]["children"][0]["leaf"]
    template, keys, strict = DEEP_MAPS[name]
    remove_and_compare(template.copy(), list(keys), strict, cuts, random.Random(seed))


class Released:
    """A value that records, when let go, whether the map it was in was
    consistent and free then."""

    def __init__(self, log, m):
        self.log, self.m = log, m

    def __del__(self):
        try:
            self.log.append((len(self.m), len(list(self.m.keys())), self.m.get(-1, "free")))
        except RuntimeError as error:
            self.log.append(str(error))


@pytest.mark.parametrize("remove", [lambda m: m.remove_range(100, 3000), lambda m: m.keys().__delitem__(slice(100, 3001)),
                                    lambda m: m.items().__delitem__(slice(3000, 99, -1))],
                         ids=["remove_range", "del keys slice", "del items slice reversed"])
def test_range_removal_releases_items_once_the_map_is_consistent_and_free(BTreeMap, remove):
    m = BTreeMap()
    log = []
    for k in range(4000):
        m[k] = Released(log, m)
    iterator = iter(m.items())
    next(iterator)
    remove(m)
    assert log == [(1099, 1099, "free")] * 2901
    with pytest.raises(RuntimeError, match="mutated during iteration"):
        next(iterator)
    assert list(m) == list(range(100)) + list(range(3001, 4000))


def test_an_empty_range_changes_nothing(BTreeMap):
    m = BTreeMap((k, k) for k in range(0, 1000, 2))
    iterator = iter(m)
    next(iterator)
    assert m.remove_range(11, 11) == 0 and m.remove_range(20, 10) == 0 and m.remove_range(5, 6, (False, False)) == 0
    assert m.remove_range(4, 4, (True, False)) == 0 and m.remove_range(2000) == 0 and m.remove_range(None, -1) == 0
    del m.keys()[10:10]
    del m.items()[10:5]
    del m.values()[5:10:-2]
    assert next(iterator) == 2 and len(m) == 500
    assert BTreeMap().remove_range() == 0
    assert m.remove_range() == 500 and len(m) == 0 and list(m) == []
    m[1] = 1
    assert list(m.items()) == [(1, 1)]


def test_range_removal_refuses_what_irange_refuses(BTreeMap):
    m = BTreeMap((k, k) for k in range(300))
    with pytest.raises(ValueError, match="NaN keys are not supported"):
        m.remove_range(float("nan"), 5)
    with pytest.raises(TypeError):
        m.remove_range("a", 5)
    with pytest.raises(ValueError, match="inclusive must be length 2"):
        m.remove_range(1, 5, (True,))
    with pytest.raises(TypeError):
        m.remove_range(1, 5, 3)
    assert len(m) == 300
    assert m.remove_range(maximum=9, inclusive=(True, False)) == 9 and m.remove_range(minimum=290) == 10
    assert list(m) == list(range(9, 290))
