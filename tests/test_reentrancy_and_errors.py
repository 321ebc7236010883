"""The reentrancy guard, and trees staying usable after failed operations."""

import pytest

from helpers import ASCENDING_FULL_LAST, FREE_THREADED, Key, check_tree, needs_path_cache, tree_of

REENTRANT = "BTree reentrant access during comparison"

# Calls into the tree `t` that a comparison callback attempts, by name; `c` is
# the C API client.
INNER_CALLS = {
    "insert": lambda t, c: t.insert(Key(0.5)),
    "delete": lambda t, c: t.delete(Key(3)),
    "search": lambda t, c: t.search(Key(3)),
    "clear": lambda t, c: t.clear(),
    "keys": lambda t, c: t.keys(),
    "values": lambda t, c: t.values(),
    "items": lambda t, c: t.items(),
    "bisect_left": lambda t, c: t.bisect_left(Key(3)),
    "bisect_right": lambda t, c: t.bisect_right(Key(3)),
    "irange": lambda t, c: t.irange(Key(1), Key(5)),
    "irange with a bad inclusive": lambda t, c: t.irange(inclusive=5),
    "capi insert": lambda t, c: c.insert(t, Key(0.5), None),
    "capi delete": lambda t, c: c.delete(t, Key(3)),
    "capi search": lambda t, c: c.search(t, Key(3)),
    "capi bisect_left": lambda t, c: c.bisect_left(t, Key(3)),
    "capi bisect_right": lambda t, c: c.bisect_right(t, Key(3)),
    "capi irange": lambda t, c: c.irange(t),
    "capi get_item_by_index": lambda t, c: c.get_item_by_index(t, 0, 2),
    "capi iter_new": lambda t, c: c.iter_new(t, 0),
    "capi pop_item_by_index": lambda t, c: c.pop_item_by_index(t, 0),
    "capi increment": lambda t, c: c.increment(t, Key(3), 1, 0),
    "capi merge with the tree on the left": lambda t, c: c.merge_union(t, type(t)()),
    "capi merge with the tree on the right": lambda t, c: c.merge_difference(type(t)(), t),
    "capi copy": lambda t, c: c.copy(t),
}

# Operations that compare keys, and what they answer on the tree of keys 0..199.
OUTER_CALLS = {
    "insert": (lambda t, c: t.insert(Key(100), "new"), None),
    "search": (lambda t, c: t.search(Key(100)), 100),
    "delete": (lambda t, c: t.delete(Key(100)), None),
    "bisect_left": (lambda t, c: t.bisect_left(Key(100)), 100),
    "bisect_right": (lambda t, c: t.bisect_right(Key(100)), 101),
    "irange": (lambda t, c: [k.value for k in t.irange(Key(98), Key(101))], [98, 99, 100, 101]),
    "capi insert": (lambda t, c: c.insert(t, Key(100), "new"), None),
    "capi search": (lambda t, c: c.search(t, Key(100)), 100),
    "capi delete": (lambda t, c: c.delete(t, Key(100)), None),
    "capi bisect_left": (lambda t, c: c.bisect_left(t, Key(100)), 100),
    "capi bisect_right": (lambda t, c: c.bisect_right(t, Key(100)), 101),
    "capi irange": (lambda t, c: [k.value for k in c.irange(t, Key(99), Key(100))], [99, 100]),
}


@pytest.mark.parametrize("outer", OUTER_CALLS.values(), ids=OUTER_CALLS.keys())
def test_reentry_from_a_comparison_is_refused(BTree, capi, key_hook, outer):
    operation, answer = outer
    tree = tree_of(BTree, [Key(v) for v in range(200)], value=lambda key: key.value)
    other = tree_of(BTree, [Key(v) for v in range(5)])
    outcomes = {}
    sizes = []

    def hook(a, b):
        if outcomes:
            return
        for name, call in INNER_CALLS.items():
            try:
                call(tree, capi)
                outcomes[name] = "ran"
            except RuntimeError as error:
                outcomes[name] = str(error)
        sizes.append(len(tree))
        # Another tree is not guarded by this one's operation.
        other.insert(Key(9))
        other.search(Key(9))

    key_hook(hook)
    assert operation(tree, capi) == answer
    key_hook(None)
    assert outcomes == {name: REENTRANT for name in INNER_CALLS}
    assert sizes == [200]
    assert len(other) == 6
    # The guard was released: everything works again.
    assert len(tree) in (199, 200)
    tree.insert(Key(1000))
    assert tree.search(Key(1000)) is None


def test_guard_is_held_during_comparisons_and_released_after(bt, dump, key_hook):
    tree = tree_of(bt.BTree, [Key(v) for v in range(10)])
    busy = []
    key_hook(lambda a, b: busy.append(dump(tree)["busy"]))
    tree.search(Key(4))
    key_hook(None)
    assert busy and set(busy) == {1}
    assert dump(tree)["busy"] == 0
    key_hook(lambda a, b: bt.check(tree))
    with pytest.raises(RuntimeError, match=REENTRANT):
        tree.search(Key(4))


class Boom(Exception):
    pass


def explode(a, b):
    raise Boom


FAILING_CALLS = {
    "insert": lambda t: t.insert(Key(50.5)),
    "search": lambda t: t.search(Key(50)),
    "delete": lambda t: t.delete(Key(50)),
    "bisect_left": lambda t: t.bisect_left(Key(50)),
    "bisect_right": lambda t: t.bisect_right(Key(50)),
    "irange": lambda t: t.irange(Key(10), Key(20)),
}


@pytest.mark.parametrize("call", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_failing_comparison_leaves_a_usable_tree(bt, dump, check, key_hook, call):
    keys = [Key(v) for v in range(300)]
    tree = tree_of(bt.BTree, keys)
    tree.search(keys[7])
    key_hook(explode)
    with pytest.raises(Boom):
        call(tree)
    key_hook(None)
    state = dump(tree)
    assert state["busy"] == 0 and len(tree) == 300
    check(tree)
    assert [k.value for k in tree.keys()] == list(range(300))
    assert tree.search(Key(50)) is keys[50]


@needs_path_cache
def test_failed_search_empties_the_path_cache(bt, dump, key_hook):
    keys = [Key(v) for v in range(300)]
    tree = tree_of(bt.BTree, keys)
    tree.search(keys[7])
    assert dump(tree)["cache_key"] is keys[7]
    key_hook(explode)
    with pytest.raises(Boom):
        tree.search(Key(8))
    key_hook(None)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)


def test_incomparable_key_raises_type_error(BTree):
    tree = tree_of(BTree, range(200))
    for call in (tree.search, tree.delete, tree.bisect_left, tree.bisect_right, tree.irange):
        with pytest.raises(TypeError):
            call("x")
    assert list(tree.keys()) == list(range(200))


class Finalised:
    """A value whose finaliser calls into the tree that held it."""

    def __init__(self, tree, action):
        self.tree, self.action = tree, action

    def __del__(self):
        self.action(self.tree)


FINALISER_CALLS = {
    "insert": lambda t: t.insert(10**6),
    "search": lambda t: t.search(5),
    "delete": lambda t: t.delete(7),
    "clear": lambda t: t.clear(),
    "items": lambda t: t.items(),
}

RELEASES = {
    "replace": lambda t: t.insert(500, 0),
    "delete": lambda t: t.delete(500),
    "clear": lambda t: t.clear(),
}


@pytest.mark.parametrize("release", RELEASES)
@pytest.mark.parametrize("action", FINALISER_CALLS)
def test_finaliser_run_by_a_mutation_runs(BTree, monkeypatch, release, action):
    """The value a mutation lets go of is released after the guard: its
    finaliser's call into the tree runs (a lookup of a key a clear removed
    fails as it would anywhere)."""
    raised = []
    monkeypatch.setattr("sys.unraisablehook", lambda info: raised.append(info.exc_value))
    tree = tree_of(BTree, range(1000))
    tree.insert(500, Finalised(tree, FINALISER_CALLS[action]))
    RELEASES[release](tree)
    assert all(isinstance(error, KeyError) for error in raised)
    check_tree(tree)
    kept = [] if release == "clear" else [k for k in range(1000) if k != 500 or release == "replace"]
    expected = {"insert": kept + [10**6], "delete": [k for k in kept if k != 7], "clear": []}
    assert list(tree.keys()) == expected.get(action, kept)


def test_iterators_stepped_mid_insert_stop_once_nodes_move(bt, key_hook):
    keys = [Key(v) for v in range(ASCENDING_FULL_LAST)]  # the last leaf is full
    tree = tree_of(bt.BTree, keys)
    iterators = [tree.keys() for _ in range(3)]
    next(iterators[1])
    seen = [[], [keys[0]], []]

    def hook(a, b):
        for iterator, got in zip(iterators, seen):
            try:
                got.append(next(iterator))
            except RuntimeError as error:
                got.append(str(error))

    key_hook(hook)
    tree.insert(Key(1000))
    key_hook(None)
    for got in seen:
        stepped = [k for k in got if isinstance(k, Key)]
        assert stepped == keys[: len(stepped)]
        # Where threads run at once a step holds the tree, which the
        # insertion of this thread holds: it is refused as a re-entry.
        stop = "BTree reentrant access during comparison" if FREE_THREADED else "BTree mutated during iteration"
        assert got[len(stepped) :] and set(got[len(stepped) :]) == {stop}
