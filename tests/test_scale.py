"""Large trees, and the recursion limit reached inside the module.

The sizes are those of a short run; BTREE_LONG=1 (make test-long) runs the
full sizes: 10**7 int keys, 10**6 str keys and half as many bytes keys.
"""

import functools
import os
import random
import sys

import pytest

from helpers import TESTED, _btree_client as capi, _btree_test, check_tree, use_capsule_of

LONG = os.environ.get("BTREE_LONG") == "1"
INT_KEYS = 10**7 if LONG else 10**6
STR_KEYS = 10**6 if LONG else 10**5


@pytest.fixture(autouse=True)
def client():
    use_capsule_of(TESTED)
    yield
    capi.use_capsule(None)


def exercise(tree, keys, rng):
    """Inserts the keys in random order, looks each one up, iterates, ranks,
    deletes them all in another random order and clears the tree, checking
    every invariant on the way."""
    order = list(keys)
    rng.shuffle(order)
    for n, key in enumerate(order):
        tree.insert(key, n)
    assert len(tree) == len(keys)
    check_tree(tree)
    for n, key in enumerate(order):
        assert tree.search(key) == n
    assert list(tree.keys()) == keys
    assert sum(1 for _ in tree.items()) == len(keys)
    for key in rng.sample(keys, 1000):
        rank = tree.bisect_left(key)
        assert keys[rank] == key and capi.get_item_by_index(tree, rank, 0) == key
    rng.shuffle(order)
    half = len(order) // 2
    for key in order[:half]:
        tree.delete(key)
    check_tree(tree)
    assert list(tree.keys()) == sorted(order[half:])
    for key in order[half:-1000]:
        tree.delete(key)
    assert len(tree) == 1000
    tree.clear()
    assert len(tree) == 0 and list(tree.items()) == []
    check_tree(tree)


def test_int_keys():
    exercise(TESTED.BTree(), list(range(-INT_KEYS // 2, INT_KEYS - INT_KEYS // 2)), random.Random(1))


def test_str_keys():
    exercise(TESTED.BTree(), sorted(f"{k * 7919 % STR_KEYS:09d}/{k}" for k in range(STR_KEYS)), random.Random(2))


def test_bytes_keys():
    # Numbers as digits: many keys are prefixes of others.
    keys = sorted(str(k * 7919 % 10**6).encode() for k in range(STR_KEYS // 2))
    exercise(TESTED.BTree(), keys, random.Random(3))


def nested(depth, call):
    """call() run `depth` levels down a recursion that passes through C at
    every level, as a chain of callbacks does."""
    if depth == 0:
        return call()
    return functools.partial(nested, depth - 1, call)()


def failure_at(depth, call):
    try:
        nested(depth, call)
    except RecursionError as error:
        return str(error)
    return None


class Hashed:
    """Runs a call from its __hash__: hash(Hashed(call)) puts one C level
    more below the call than calling it directly does."""

    def __init__(self, call):
        self.call = call

    def __hash__(self):
        self.call()
        return 0


# Each level of nested() costs two C levels, so whether the module's check or
# the interpreter's at the level above runs out first depends on the parity of
# the levels below the test (`pytest` and `python -m pytest` differ by one):
# of these two bottoms one meets the limit inside the module.
BOTTOMS = [lambda run: run(), lambda run: hash(Hashed(run))]


# Each operation on a fresh copy of a tree of three levels, whose every level
# counts against the recursion limit.
DEEP_CALLS = {
    " in btree_count_lt": lambda t: t.bisect_left(12345),
    " in btree_remove": lambda t: t.delete(12345),
    " in btree_increment_nonfull": lambda t: capi.increment(t, 12345, 1, 0),
}


@pytest.mark.parametrize("suffix", DEEP_CALLS)
def test_recursion_limit_reached_inside_the_module(suffix):
    template = TESTED.BTree()
    for key in range(20_000):
        template.insert(key, key)
    if _btree_test is not None:
        assert not _btree_test.dump(template)["root"]["children"][0]["leaf"]
    call = DEEP_CALLS[suffix]
    tree = None

    def attempt(depth, bottom):
        nonlocal tree
        tree = capi.copy(template)
        return failure_at(depth, lambda: bottom(lambda: call(tree)))

    # Up to 3.11 one limit counts both Python and C levels, and a low one
    # keeps the search short; from 3.12 C levels have a fixed budget of
    # their own, and the Python limit is only raised out of its way.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400 if sys.version_info < (3, 12) else 100_000)
    messages = []
    try:
        for bottom in BOTTOMS:
            high = 64
            while attempt(high, bottom) is None:
                high *= 2
            low = high // 2
            while low + 1 < high:  # the first depth at which the call fails
                middle = (low + high) // 2
                low, high = (low, middle) if attempt(middle, bottom) else (middle, high)
            messages.append(attempt(high, bottom))
            if messages[-1].endswith(suffix):
                break
    finally:
        sys.setrecursionlimit(limit)
    assert all(m.startswith("maximum recursion depth exceeded") for m in messages), messages
    assert messages[-1].endswith(suffix), messages
    # The failed operation left the tree whole and working.
    check_tree(tree)
    assert list(tree.items()) == list(template.items())
    call(tree)
    check_tree(tree)
