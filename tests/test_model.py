"""Differential test: a tree against a dict plus a sorted list.

One state machine per family of keys runs random sequences of operations on a
tree of the test build and on the model, compares every answer, and checks
every invariant of the tree after each step. Operations without a Python
method go through the C API client. To cover a new operation, add a rule.
"""

import bisect
import random

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
    run_state_machine_as_test,
)

from helpers import TEST_CAPSULE, built, check_tree, from_test_build

_btree_test = from_test_build("_btree_test")
_btree_client = from_test_build("_btree_client")

ALPHABET = "abcxyz\u00e9\u4e2d\U0001f600"


def random_str(rng):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 4)))


class StrSub(str):
    pass


# Keys sharing long leading parts, so that the stored prefixes of a string
# tree tie and whole strings decide; now and then a str subclass, which turns
# the tree into a tree of general objects.
LONG_HEADS = ["", "user_000", "user_0000", "\u00e9\u00e9\u00e9\u00e9", "\x00\x00", "\u4e2d\u4e2d\u4e2d", "\U0001f600\U0001f600"]


def long_str(head, tail, sub):
    return StrSub(head + tail) if sub else head + tail


def random_long_str(rng):
    return long_str(rng.choice(LONG_HEADS), random_str(rng) + rng.choice(["", "\x00"]), rng.random() < 0.001)


def random_mixed(rng):
    return rng.choice([rng.randint(-700, 700), rng.randint(-2800, 2800) / 4, rng.random() < 0.5])


def random_big(rng):
    return rng.choice([rng.randint(-(2**70), 2**70), rng.randint(-(2**64), 2**64), rng.randint(-300, 300)])


# Each family: a strategy for single keys, and a generator of many keys from a
# seeded random source (hypothesis draws stay small; trees must grow deep).
KEY_FAMILIES = {
    "int": (
        st.integers(-3000, 3000) | st.sampled_from([-(2**63), 2**63 - 1, 0, -1]),
        lambda rng: rng.randint(-30_000, 30_000),
    ),
    "float": (
        st.integers(-3000, 3000).map(lambda i: i / 4)
        | st.floats(allow_nan=False)
        | st.sampled_from([0.0, -0.0, float("inf"), -float("inf")]),
        lambda rng: rng.randint(-120_000, 120_000) / 4,
    ),
    "str": (st.text(ALPHABET, max_size=4), random_str),
    "long str": (
        st.builds(long_str, st.sampled_from(LONG_HEADS), st.text(ALPHABET + "\x00", max_size=4),
                  st.integers(0, 30).map(lambda i: i == 0)),
        random_long_str,
    ),
    "mixed numbers": (
        st.integers(-700, 700)
        | st.integers(-2800, 2800).map(lambda i: i / 4)
        | st.booleans()
        | st.sampled_from([2**63, -(2**63) - 1, 1.0, 0.0, -0.0]),
        random_mixed,
    ),
    "big int": (
        st.integers(-(2**70), 2**70)
        | st.integers(-300, 300)
        | st.sampled_from([2**63 - 1, 2**63, -(2**63), -(2**63) - 1]),
        random_big,
    ),
}

VALUES = st.integers(0, 1000)
SEEDS = st.integers(0, 2**32)
ITERATOR_KINDS = ["keys", "values", "items"]


def machine_for(keys, many_keys):
    class TreeModel(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.tree = _btree_test.BTree()
            # The dict keeps the first key object of each equivalence class
            # and the latest value, as the tree does.
            self.model = {}
            # Open iterators: [iterator, kind, expected items, position, state]
            # with state "live", "stale" (the tree has changed) or "unsure"
            # (a failed deletion may have rebalanced).
            self.iterators = []
            # A tree made by the bulk build may keep the last node of a level
            # below the minimum fill.
            self.strict = True
            _btree_client.use_capsule(_btree_test._C_API, TEST_CAPSULE)

        def teardown(self):
            _btree_client.use_capsule(None)

        # Helpers

        def sorted_items(self):
            return sorted(self.model.items(), key=lambda item: item[0])

        def sorted_keys(self):
            return sorted(self.model)

        def key(self, data):
            """A new key or, half of the time, one the tree holds."""
            if self.model and data.draw(st.booleans(), label="existing"):
                return data.draw(st.sampled_from(list(self.model)), label="key")
            return data.draw(keys, label="key")

        def changed(self):
            for entry in self.iterators:
                entry[4] = "stale"

        def maybe_changed(self):
            for entry in self.iterators:
                if entry[4] == "live":
                    entry[4] = "unsure"

        # Mutations

        @rule(data=st.data(), value=VALUES)
        def insert(self, data, value):
            key = self.key(data)
            self.tree.insert(key, value)
            self.model[key] = value
            self.changed()

        @rule(data=st.data(), value=VALUES)
        def insert_through_capsule(self, data, value):
            key = self.key(data)
            _btree_client.insert(self.tree, key, value)
            self.model[key] = value
            self.changed()

        def fill(self, seed, count, value):
            rng = random.Random(seed)
            for _ in range(count):
                key = many_keys(rng)
                self.tree.insert(key, value)
                self.model[key] = value

        # Trees of one leaf, of two levels and of three levels (from about
        # 11,000 keys in random order).
        @initialize(seed=SEEDS, count=st.sampled_from([0, 60, 500, 4000, 13_000]), value=VALUES)
        def start(self, seed, count, value):
            self.fill(seed, count, value)

        @rule(seed=SEEDS, count=st.sampled_from([1, 100, 1000]), value=VALUES)
        def insert_many(self, seed, count, value):
            self.fill(seed, count, value)
            self.changed()

        @rule(data=st.data())
        def delete(self, data):
            key = self.key(data)
            if key in self.model:
                self.tree.delete(key)
                del self.model[key]
                self.changed()
            else:
                with pytest.raises(KeyError) as info:
                    self.tree.delete(key)
                assert info.value.args == (key,)
                self.maybe_changed()

        @precondition(lambda self: self.model)
        @rule(data=st.data(), seed=SEEDS, share=st.floats(0, 1))
        def delete_many(self, data, seed, share):
            chosen = random.Random(seed).sample(list(self.model), int(len(self.model) * share))
            through_capsule = data.draw(st.booleans(), label="through capsule")
            for key in chosen:
                if through_capsule:
                    _btree_client.delete(self.tree, key)
                else:
                    self.tree.delete(key)
                del self.model[key]
            if chosen:
                self.changed()

        @precondition(lambda self: self.model)
        @rule(data=st.data())
        def delete_after_search(self, data):
            # The same key object, just found: the deletion walks the cached path.
            key = data.draw(st.sampled_from(list(self.model)), label="key")
            assert self.tree.search(key) == self.model[key]
            self.tree.delete(key)
            del self.model[key]
            self.changed()

        @rule(data=st.data())
        def pop_item_by_index(self, data):
            n = len(self.model)
            index = data.draw(st.integers(-n - 2, n + 1), label="index")
            if -n <= index < n:
                key, value = self.sorted_items()[index]
                popped = _btree_client.pop_item_by_index(self.tree, index)
                assert popped[0] is key and popped[1] == value
                del self.model[key]
                self.changed()
            else:
                with pytest.raises(IndexError, match="^index out of range$"):
                    _btree_client.pop_item_by_index(self.tree, index)

        @rule(data=st.data(), delta=VALUES, start=VALUES)
        def increment(self, data, delta, start):
            key = self.key(data)
            expected = self.model.get(key, start) + delta
            assert _btree_client.increment(self.tree, key, delta, start) == expected
            self.model[key] = expected
            self.changed()

        @rule(data=st.data())
        def copy(self, data):
            copy = _btree_client.copy(self.tree)
            check_tree(copy, self.strict)
            items = self.sorted_items()
            assert list(copy.items()) == items
            # The copy goes its own way; the invariants check the original.
            copy.insert(data.draw(keys, label="key"), -1)
            for key, _ in items[:: len(items) // 40 + 1]:
                copy.delete(key)
            check_tree(copy, False)

        @rule(
            seed=SEEDS,
            count=st.sampled_from([0, 20, 400]),
            shared=st.sampled_from([0, 10, 300]),
            merge=st.sampled_from(["union", "intersection", "difference"]),
            tree_on_left=st.booleans(),
        )
        def merge(self, seed, count, shared, merge, tree_on_left):
            # Another tree: new keys and some of this one's.
            rng = random.Random(seed)
            other = {many_keys(rng): 0 for _ in range(count)}
            for key in rng.sample(list(self.model), min(shared, len(self.model))):
                other.setdefault(key, 0)
            other_tree = _btree_test.BTree()
            for key in other:
                other_tree.insert(key)
            left, right = (self.tree, other_tree) if tree_on_left else (other_tree, self.tree)
            left_keys, right_keys = (self.model, other) if tree_on_left else (other, self.model)
            expected = {
                "union": list(left_keys) + [k for k in right_keys if k not in left_keys],
                "intersection": [k for k in left_keys if k in right_keys],
                "difference": [k for k in left_keys if k not in right_keys],
            }[merge]
            expected.sort()
            result = getattr(_btree_client, "merge_" + merge)(left, right)
            check_tree(result, False)
            got = list(result.items())
            assert [k for k, _ in got] == expected and all(a is b for (a, _), b in zip(got, expected))
            assert all(v is None for _, v in got)

        @rule(adopt=st.booleans())
        def build_from_sorted(self, adopt):
            items = self.sorted_items()
            tree = built(_btree_client, [k for k, _ in items], [v for _, v in items])
            check_tree(tree, False)
            got = list(tree.items())
            assert got == items and all(a is b for (a, _), (b, _) in zip(got, items))
            if adopt:
                # Carry on with the built tree; iterators of the old one are
                # left behind.
                self.tree, self.strict = tree, False
                self.iterators.clear()

        @rule()
        def clear(self):
            self.tree.clear()
            self.model.clear()
            self.changed()

        # Reads

        @rule(data=st.data())
        def search(self, data):
            key = self.key(data)
            if key in self.model:
                assert self.tree.search(key) == self.model[key]
            else:
                with pytest.raises(KeyError) as info:
                    self.tree.search(key)
                assert info.value.args == (key,)

        @rule(data=st.data())
        def bisect(self, data):
            key = self.key(data)
            ordered = self.sorted_keys()
            assert self.tree.bisect_left(key) == bisect.bisect_left(ordered, key)
            assert self.tree.bisect_right(key) == bisect.bisect_right(ordered, key)
            assert _btree_client.bisect_left(self.tree, key) == bisect.bisect_left(ordered, key)
            assert _btree_client.bisect_right(self.tree, key) == bisect.bisect_right(ordered, key)

        @rule(data=st.data(), low_bounded=st.booleans(), high_bounded=st.booleans(), inclusive=st.tuples(st.booleans(), st.booleans()))
        def irange(self, data, low_bounded, high_bounded, inclusive):
            low = self.key(data) if low_bounded else None
            high = self.key(data) if high_bounded else None
            expected = [
                k
                for k in self.sorted_keys()
                if (low is None or low < k or (inclusive[0] and low == k))
                and (high is None or k < high or (inclusive[1] and high == k))
            ]
            got = self.tree.irange(low, high, inclusive)
            assert got == expected
            assert all(a is b for a, b in zip(got, expected))
            assert _btree_client.irange(self.tree, low, high, inclusive) == expected

        @rule(data=st.data(), kind=st.sampled_from([0, 1, 2]))
        def get_item_by_index(self, data, kind):
            n = len(self.model)
            index = data.draw(st.integers(-n - 2, n + 1), label="index")
            if -n <= index < n:
                key, value = self.sorted_items()[index]
                expected = (key, value, (key, value))[kind]
                assert _btree_client.get_item_by_index(self.tree, index, kind) == expected
            else:
                with pytest.raises(IndexError, match="^index out of range$"):
                    _btree_client.get_item_by_index(self.tree, index, kind)

        # Iterators

        @precondition(lambda self: len(self.iterators) < 3)
        @rule(kind=st.sampled_from(ITERATOR_KINDS))
        def open_iterator(self, kind):
            items = self.sorted_items()
            expected = {"keys": [k for k, _ in items], "values": [v for _, v in items], "items": items}[kind]
            self.iterators.append([getattr(self.tree, kind)(), kind, expected, 0, "live"])

        @precondition(lambda self: self.iterators)
        @rule(data=st.data())
        def step_iterator(self, data):
            entry = data.draw(st.sampled_from(self.iterators), label="iterator")
            iterator, _, expected, position, state = entry
            if state == "stale":
                with pytest.raises(RuntimeError, match="^BTree mutated during iteration$"):
                    next(iterator)
                self.iterators.remove(entry)
                return
            try:
                item = next(iterator)
            except RuntimeError:
                assert state == "unsure"
                self.iterators.remove(entry)
                return
            except StopIteration:
                assert position == len(expected)
                self.iterators.remove(entry)
                return
            assert item == expected[position]
            entry[3] += 1

        @invariant()
        def matches_the_model(self):
            assert len(self.tree) == len(self.model)
            check_tree(self.tree, self.strict)

        @invariant()
        def iterates_in_order(self):
            assert list(self.tree.items()) == self.sorted_items()

    return TreeModel


@pytest.mark.parametrize("family", KEY_FAMILIES)
def test_tree_matches_model(family):
    run_state_machine_as_test(
        machine_for(*KEY_FAMILIES[family]),
        settings=settings(
            max_examples=300,
            stateful_step_count=30,
            deadline=None,
            suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
        ),
    )
