"""Differential tests: every sorted type against a dict plus a sorted list,
and BTreeMap's mapping protocol against sortedcontainers.SortedDict.

One state machine per sorted type and family of keys runs random sequences of
operations on a tree of the test build (of the shipped modules where it is
missing) and on the model, compares every answer, and checks every invariant
of the tree of the test build after each step. Each type's
operations are those of its record in helpers.SURFACES; BTree's without a
Python method go through the C API client. To cover a new operation, add a
rule; a new type joins with its record.
"""

import bisect
import copy as copying
import operator
import pickle
import random

import pytest
import sortedcontainers
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

from helpers import COMPARISONS, SET_OPS, SURFACES, TESTED, _btree_client, check_tree, use_capsule_of

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


def machine_for(surface, keys, many_keys):
    class TreeModel(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.type = surface.type_in(TESTED)
            self.tree = self.type()
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
            use_capsule_of(TESTED)

        def teardown(self):
            _btree_client.use_capsule(None)

        # Helpers

        def sorted_items(self):
            return sorted(self.model.items(), key=lambda item: item[0])

        def sorted_keys(self):
            return sorted(self.model)

        def within(self, low, high, inclusive):
            """The keys between the bounds (None: unbounded), in order."""
            return [
                k
                for k in self.sorted_keys()
                if (low is None or low < k or (inclusive[0] and low == k))
                and (high is None or k < high or (inclusive[1] and high == k))
            ]

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

        def store(self, key, value):
            """Records `value` under `key`: a new key stops every iterator; a
            value stored over a held key stops them too where the type says
            so, or else they go on to yield it."""
            if key not in self.model or surface.replace_stops_iterators:
                self.changed()
            else:
                seeing = [entry for entry in self.iterators if entry[4] != "stale" and entry[1] != "keys"]
                position = bisect.bisect_left(self.sorted_keys(), key) if seeing else None
                for entry in seeing:
                    old = entry[2][position]
                    entry[2][position] = value if entry[1] == "values" else (old[0], value)
            self.model[key] = value

        # Mutations

        @rule(data=st.data(), value=VALUES, how=st.sampled_from(sorted(surface.inserts)))
        def insert(self, data, value, how):
            key = self.key(data)
            self.store(key, value)
            surface.inserts[how](self.tree, key, value)

        def fill(self, seed, count, value):
            insert = next(iter(surface.inserts.values()))
            rng = random.Random(seed)
            for _ in range(count):
                key = many_keys(rng)
                insert(self.tree, key, value)
                self.store(key, value)

        # Trees of one leaf, of two levels and of three levels (from about
        # 11,000 keys in random order).
        @initialize(seed=SEEDS, count=st.sampled_from([0, 60, 500, 4000, 13_000]), value=VALUES)
        def start(self, seed, count, value):
            self.fill(seed, count, value)

        @rule(seed=SEEDS, count=st.sampled_from([1, 100, 1000]), value=VALUES)
        def insert_many(self, seed, count, value):
            self.fill(seed, count, value)

        @rule(data=st.data(), how=st.sampled_from(sorted(surface.deletes)))
        def delete(self, data, how):
            key = self.key(data)
            if key in self.model:
                surface.deletes[how](self.tree, key)
                del self.model[key]
                self.changed()
            else:
                with pytest.raises(KeyError) as info:
                    surface.deletes[how](self.tree, key)
                assert info.value.args == (key,)
                self.maybe_changed()

        @precondition(lambda self: self.model)
        @rule(seed=SEEDS, share=st.floats(0, 1), how=st.sampled_from(sorted(surface.deletes)))
        def delete_many(self, seed, share, how):
            chosen = random.Random(seed).sample(list(self.model), int(len(self.model) * share))
            for key in chosen:
                surface.deletes[how](self.tree, key)
                del self.model[key]
            if chosen:
                self.changed()

        @precondition(lambda self: self.model)
        @rule(data=st.data())
        def delete_after_search(self, data):
            # The same key object, just found: the deletion walks the cached path.
            key = data.draw(st.sampled_from(list(self.model)), label="key")
            assert surface.search(self.tree, key) == self.model[key]
            next(iter(surface.deletes.values()))(self.tree, key)
            del self.model[key]
            self.changed()

        @rule(data=st.data())
        def pop_item_by_index(self, data):
            n = len(self.model)
            index = data.draw(st.integers(-n - 2, n + 1), label="index")
            if -n <= index < n:
                key, value = self.sorted_items()[index]
                popped = surface.pop_at(self.tree, index)
                assert popped[0] is key and popped[1] == value
                del self.model[key]
                self.changed()
            else:
                error, message = surface.empty_pop if n == 0 else (IndexError, "^index out of range$")
                with pytest.raises(error, match=message):
                    surface.pop_at(self.tree, index)

        @precondition(lambda self: surface.range_removals)
        @rule(data=st.data(), low_bounded=st.booleans(), high_bounded=st.booleans(),
              inclusive=st.tuples(st.booleans(), st.booleans()))
        def remove_range(self, data, low_bounded, high_bounded, inclusive):
            low = self.key(data) if low_bounded else None
            high = self.key(data) if high_bounded else None
            gone = self.within(low, high, inclusive)
            how = data.draw(st.sampled_from(sorted(surface.range_removals)), label="how")
            assert surface.range_removals[how](self.tree, low, high, inclusive) == len(gone)
            for k in gone:
                del self.model[k]
            if gone:
                self.changed()

        @precondition(lambda self: surface.span_removals)
        @rule(data=st.data())
        def remove_positions(self, data):
            n = len(self.model)
            bound = st.none() | st.integers(-n - 2, n + 2)
            index = data.draw(st.integers(-n - 2, n + 1)
                              | st.builds(slice, bound, bound, st.sampled_from([None, 1, -1, 2, -3, 50])), label="index")
            how = data.draw(st.sampled_from(sorted(surface.span_removals)), label="how")
            if isinstance(index, int) and not -n <= index < n:
                with pytest.raises(IndexError, match="^index out of range$"):
                    surface.span_removals[how](self.tree, index)
                return
            gone = self.sorted_keys()[index]
            gone = gone if isinstance(index, slice) else [gone]
            surface.span_removals[how](self.tree, index)
            for k in gone:
                del self.model[k]
            if gone:
                self.changed()

        @rule(data=st.data(), delta=VALUES, start=VALUES)
        def increment(self, data, delta, start):
            key = self.key(data)
            start = start if surface.starts else 0
            expected = self.model.get(key, start) + delta
            assert surface.increment(self.tree, key, delta, start) == expected
            self.store(key, expected)

        @rule(data=st.data())
        def copy(self, data):
            copy = surface.copy(self.tree)
            check_tree(copy, self.strict)
            items = self.sorted_items()
            assert list(surface.walks["items"](copy)) == items
            # The copy goes its own way; the invariants check the original.
            next(iter(surface.inserts.values()))(copy, data.draw(keys, label="key"), -1)
            for key, _ in items[:: len(items) // 40 + 1]:
                next(iter(surface.deletes.values()))(copy, key)
            check_tree(copy, False)

        @rule(
            seed=SEEDS,
            count=st.sampled_from([0, 20, 400]),
            shared=st.sampled_from([0, 10, 300]),
            merge=st.sampled_from(sorted(surface.merges)),
            tree_on_left=st.booleans(),
        )
        def merge(self, seed, count, shared, merge, tree_on_left):
            # Another tree: new keys and some of this one's.
            rng = random.Random(seed)
            other = {many_keys(rng): None for _ in range(count)}
            for key in rng.sample(list(self.model), min(shared, len(self.model))):
                other.setdefault(key, None)
            other_tree = self.type()
            insert = next(iter(surface.inserts.values()))
            for key in other:
                insert(other_tree, key, None)
            left, right = (self.tree, other_tree) if tree_on_left else (other_tree, self.tree)
            left_keys, right_keys = (self.model, other) if tree_on_left else (other, self.model)
            expected = {
                "union": list(left_keys) + [k for k in right_keys if k not in left_keys],
                "intersection": [k for k in left_keys if k in right_keys],
                "difference": [k for k in left_keys if k not in right_keys],
            }[merge]
            expected.sort()
            result = surface.merges[merge](left, right)
            check_tree(result, False)
            got = list(surface.walks["items"](result))
            assert [k for k, _ in got] == expected and all(a is b for (a, _), b in zip(got, expected))
            if surface.merged_values:
                assert [v for _, v in got] == [left_keys[k] if k in left_keys else right_keys[k] for k in expected]
            else:
                assert all(v is None for _, v in got)

        @rule(adopt=st.booleans())
        def build_from_sorted(self, adopt):
            items = self.sorted_items()
            tree = surface.packed(self.type, [k for k, _ in items], [v for _, v in items])
            check_tree(tree, False)
            got = list(surface.walks["items"](tree))
            assert got == items and all(a is b for (a, _), (b, _) in zip(got, items))
            if adopt:
                # Carry on with the built tree; iterators of the old one are
                # left behind.
                self.tree, self.strict = tree, False
                self.iterators.clear()

        @rule()
        def clear(self):
            surface.clear(self.tree)
            self.model.clear()
            self.changed()

        # Reads

        @rule(data=st.data())
        def search(self, data):
            key = self.key(data)
            if key in self.model:
                assert surface.search(self.tree, key) == self.model[key]
            else:
                with pytest.raises(KeyError) as info:
                    surface.search(self.tree, key)
                assert info.value.args == (key,)

        @rule(data=st.data())
        def bisect(self, data):
            key = self.key(data)
            ordered = self.sorted_keys()
            for _, both in surface.bisects:
                assert both(self.tree, key) == (bisect.bisect_left(ordered, key), bisect.bisect_right(ordered, key))

        @rule(data=st.data(), low_bounded=st.booleans(), high_bounded=st.booleans(), inclusive=st.tuples(st.booleans(), st.booleans()))
        def irange(self, data, low_bounded, high_bounded, inclusive):
            low = self.key(data) if low_bounded else None
            high = self.key(data) if high_bounded else None
            expected = self.within(low, high, inclusive)
            for _, irange in surface.iranges:
                got = irange(self.tree, low, high, inclusive)
                assert got == expected
                assert all(a is b for a, b in zip(got, expected))

        @rule(data=st.data(), kind=st.sampled_from([0, 1, 2]))
        def get_item_by_index(self, data, kind):
            n = len(self.model)
            index = data.draw(st.integers(-n - 2, n + 1), label="index")
            if -n <= index < n:
                key, value = self.sorted_items()[index]
                expected = (key, value, (key, value))[kind]
                assert surface.item_at(self.tree, index, kind) == expected
            else:
                with pytest.raises(IndexError, match="^index out of range$"):
                    surface.item_at(self.tree, index, kind)

        # Iterators

        @precondition(lambda self: len(self.iterators) < 3)
        @rule(kind=st.sampled_from(ITERATOR_KINDS))
        def open_iterator(self, kind):
            items = self.sorted_items()
            expected = {"keys": [k for k, _ in items], "values": [v for _, v in items], "items": items}[kind]
            self.iterators.append([surface.walks[kind](self.tree), kind, expected, 0, "live"])

        @precondition(lambda self: self.iterators)
        @rule(data=st.data())
        def step_iterator(self, data):
            entry = data.draw(st.sampled_from(self.iterators), label="iterator")
            iterator, _, expected, position, state = entry
            if state == "stale":
                with pytest.raises(RuntimeError, match=f"^{surface.mutated}$"):
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
            assert list(surface.walks["items"](self.tree)) == self.sorted_items()

    return TreeModel


# The model is a dict: the types that keep one value per key.
VALUED = [surface for surface in SURFACES if surface.valued]


@pytest.mark.parametrize("surface", VALUED, ids=lambda surface: surface.name)
@pytest.mark.parametrize("family", KEY_FAMILIES)
def test_tree_matches_model(surface, family):
    # 300 examples per family, shared among the types.
    run_state_machine_as_test(
        machine_for(surface, *KEY_FAMILIES[family]),
        settings=settings(
            max_examples=300 // len(VALUED),
            stateful_step_count=30,
            deadline=None,
            suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
        ),
    )


# Keys of one kind per map (the int, float and str kinds of the core, tuples
# and a mix of ints and floats compared as objects).
MAP_KEY_KINDS = {
    "int": st.integers(-50, 50),
    "float": st.floats(-50, 50, allow_nan=False).map(lambda f: round(f, 1)),
    "str": st.text("abcde", max_size=3),
    "cased": st.text("abAB", max_size=3),
    "tuple": st.tuples(st.integers(0, 5), st.text("ab", max_size=2)),
    "mixed": st.one_of(st.integers(-50, 50), st.floats(-50, 50, allow_nan=False)),
}



def seven(k):
    return k % 7


# The key functions of keyed maps, each with the kinds of keys it takes;
# str.lower and modulo make runs of keys with equal key(k).
MAP_KEY_FUNCTIONS = {
    "none": (None, ["int", *sorted(set(MAP_KEY_KINDS) - {"int"})]),
    "negation": (operator.neg, ["int", "float", "mixed"]),
    "lower": (str.lower, ["cased", "str"]),
    "modulo": (seven, ["int"]),
}


class MapProtocol(RuleBasedStateMachine):
    """Drives a map of the test build and a SortedDict (the reference: a dict
    with its keys kept sorted) through the same calls: the mapping protocol,
    its views and their set operations, beyond the operations every sorted
    type shares (test_tree_matches_model). A subclass names a key function
    (`key_func`, with the kinds of keys it takes) given to both."""

    key_func = None
    kinds = MAP_KEY_FUNCTIONS["none"][1]

    def __init__(self):
        super().__init__()
        self.m = TESTED.BTreeMap(self.key_func)
        self.ref = sortedcontainers.SortedDict(self.key_func)
        self.keys = None

    def order(self, k):
        return k if self.key_func is None else self.key_func(k)

    @rule(data=st.data())
    @precondition(lambda self: self.keys is None)
    def choose_kind(self, data):
        self.keys = MAP_KEY_KINDS[data.draw(st.sampled_from(self.kinds))]
        pairs = data.draw(st.lists(st.tuples(self.keys, st.integers()), max_size=300))
        self.m = TESTED.BTreeMap(self.key_func, pairs)
        self.ref = sortedcontainers.SortedDict(self.key_func, pairs)
        assert self.m.key is self.key_func

    def strategy(self):
        return self.keys if self.keys is not None else MAP_KEY_KINDS[self.kinds[0]]

    def key(self, data):
        return data.draw(self.strategy())

    @rule(data=st.data(), value=st.integers())
    def setitem(self, data, value):
        k = self.key(data)
        self.m[k] = value
        self.ref[k] = value

    @rule(data=st.data())
    def delitem(self, data):
        k = self.key(data)
        if k in self.ref:
            del self.ref[k]
            del self.m[k]
        else:
            with pytest.raises(KeyError):
                del self.m[k]

    @rule(data=st.data())
    def lookups(self, data):
        k = self.key(data)
        assert (k in self.m) == (k in self.ref)
        assert self.m.get(k, "absent") == self.ref.get(k, "absent")
        assert self.m.bisect_left(k) == self.ref.bisect_left(k)
        assert self.m.bisect_right(k) == self.m.bisect(k) == self.ref.bisect_right(k)
        if k in self.ref:
            assert self.m[k] == self.ref[k]
            assert self.m.index(k) == self.ref.index(k)
        else:
            with pytest.raises(KeyError):
                self.m[k]
            with pytest.raises(ValueError):
                self.m.index(k)

    @rule(data=st.data())
    def neighbours(self, data):
        k = self.key(data)
        keys, at = list(self.ref), self.order(k)
        below_or_at = [x for x in keys if self.order(x) <= at]
        below = [x for x in keys if self.order(x) < at]
        above_or_at = [x for x in keys if self.order(x) >= at]
        above = [x for x in keys if self.order(x) > at]
        assert self.m.floor_key(k, None) == (below_or_at[-1] if below_or_at else None)
        assert self.m.lower_key(k, None) == (below[-1] if below else None)
        assert self.m.ceiling_key(k, None) == (above_or_at[0] if above_or_at else None)
        assert self.m.higher_key(k, None) == (above[0] if above else None)
        if not above:
            with pytest.raises(KeyError):
                self.m.higher_key(k)

    @rule(data=st.data(), default=st.integers())
    def pop(self, data, default):
        k = self.key(data)
        assert self.m.pop(k, default) == self.ref.pop(k, default)

    @rule(data=st.data(), value=st.integers())
    def setdefault(self, data, value):
        k = self.key(data)
        assert self.m.setdefault(k, value) == self.ref.setdefault(k, value)

    @rule(data=st.data(), delta=st.integers(-3, 3))
    def increment(self, data, delta):
        k = self.key(data)
        self.ref[k] = self.ref.get(k, 0) + delta
        assert self.m.increment(k, delta) == self.ref[k]

    @rule(data=st.data())
    def update(self, data):
        pairs = data.draw(st.lists(st.tuples(self.strategy(), st.integers()), max_size=20))
        self.m.update(pairs)
        self.ref.update(pairs)

    @rule(data=st.data())
    def index_between(self, data):
        """index() of the map, with the bounds SortedDict.index takes, and of
        its views, which take them as a list's index() does (None for an end,
        which SortedDict's views, as collections.abc.Sequence, refuse)."""
        n = len(self.ref)
        bound = st.none() | st.integers(-n - 2, n + 2)
        start, stop = data.draw(bound), data.draw(bound)
        k = data.draw(st.sampled_from(list(self.ref)) | self.strategy()) if self.ref else self.key(data)
        v = self.ref.get(k, data.draw(st.integers()))
        by_name = data.draw(st.booleans())
        args, kwargs = ((), {"start": start, "stop": stop}) if by_name else ((start, stop), {})
        ends = (0 if start is None else start, n if stop is None else stop)
        for mine, ref, element in ((self.m, self.ref, k), (self.m.keys(), list(self.ref.keys()), k),
                                   (self.m.items(), list(self.ref.items()), (k, v)),
                                   (self.m.values(), list(self.ref.values()), v)):
            try:
                expected = ref.index(element, *args, **kwargs) if mine is self.m else ref.index(element, *ends)
            except ValueError:
                with pytest.raises(ValueError, match="is not in the"):
                    mine.index(element, *args, **kwargs)
            else:
                assert mine.index(element, *args, **kwargs) == expected

    @rule(data=st.data(), by_name=st.booleans())
    @precondition(lambda self: self.ref)
    def popitem(self, data, by_name):
        i = data.draw(st.integers(-len(self.ref), len(self.ref) - 1))
        assert (self.m.popitem(index=i) if by_name else self.m.popitem(i)) == self.ref.popitem(index=i)

    @rule(data=st.data())
    @precondition(lambda self: self.ref)
    def positions(self, data):
        i = data.draw(st.integers(-len(self.ref), len(self.ref) - 1))
        assert self.m.peekitem(i) == self.m.peekitem(index=i) == self.ref.peekitem(index=i)
        assert self.m.keys()[i] == self.ref.keys()[i]
        assert self.m.values()[i] == self.ref.values()[i]
        assert self.m.items()[i] == self.ref.items()[i]
        j = data.draw(st.integers(-len(self.ref) - 2, len(self.ref) + 2))
        step = data.draw(st.sampled_from([1, 2, -1, -3]))
        assert self.m.keys()[i:j:step] == list(self.ref.keys())[i:j:step]
        assert list(self.m.islice(i, j)) == list(self.ref.islice(i, j))
        assert list(self.m.islice(i, j, reverse=True)) == list(self.ref.islice(i, j, reverse=True))

    @rule(data=st.data(), inclusive=st.tuples(st.booleans(), st.booleans()), reverse=st.booleans())
    def irange(self, data, inclusive, reverse):
        lo = data.draw(st.none() | self.strategy())
        hi = data.draw(st.none() | self.strategy())
        expected = list(self.ref.irange(lo, hi, inclusive, reverse))
        assert list(self.m.irange(lo, hi, inclusive, reverse)) == expected

    @rule(data=st.data(), inclusive=st.tuples(st.booleans(), st.booleans()), reverse=st.booleans())
    def key_space(self, data, inclusive, reverse):
        """The calls that take values of the key function's results; a map
        without a key function has them no more than SortedDict has."""
        names = ("bisect_key_left", "bisect_key_right", "bisect_key", "irange_key")
        if self.key_func is None:
            for name in names:
                assert not hasattr(self.ref, name)
                with pytest.raises(AttributeError, match=name):
                    getattr(self.m, name)
            return
        at = self.order(self.key(data))
        assert self.m.bisect_key_left(at) == self.ref.bisect_key_left(at)
        assert self.m.bisect_key_right(at) == self.m.bisect_key(at) == self.ref.bisect_key_right(at)
        lo, hi = (data.draw(st.none() | st.builds(self.order, self.strategy())) for _ in range(2))
        expected = list(self.ref.irange_key(lo, hi, inclusive, reverse))
        assert list(self.m.irange_key(lo, hi, inclusive, reverse)) == expected
        assert list(self.m.irange_key(min_key=lo, max_key=hi, inclusive=inclusive, reverse=reverse)) == expected

    @rule(data=st.data(), inclusive=st.tuples(st.booleans(), st.booleans()))
    def remove_range(self, data, inclusive):
        lo = data.draw(st.none() | self.strategy())
        hi = data.draw(st.none() | self.strategy())
        gone = list(self.ref.irange(lo, hi, inclusive))
        assert self.m.remove_range(lo, hi, inclusive) == len(gone)
        for k in gone:
            del self.ref[k]

    @rule(data=st.data(), view=st.sampled_from(["keys", "values", "items"]))
    def delete_from_views(self, data, view):
        n = len(self.ref)
        bound = st.none() | st.integers(-n - 2, n + 2)
        index = data.draw(st.integers(-n - 2, n + 1) | st.builds(slice, bound, bound, st.sampled_from([None, 1, -1, 2, -3])))
        mine, theirs = getattr(self.m, view)(), getattr(self.ref, view)()
        if isinstance(index, int) and not -n <= index < n:
            with pytest.raises(IndexError, match="^index out of range$"):
                del mine[index]
            return
        del theirs[index]
        del mine[index]

    def other_pairs(self, data):
        """Some of the map's own pairs, some with another value, and new ones."""
        own = data.draw(st.lists(st.sampled_from(list(self.ref.items())), max_size=10)) if self.ref else []
        changed = [(k, v + 1) for k, v in data.draw(st.lists(st.sampled_from(own), max_size=3))] if own else []
        return own + changed + data.draw(st.lists(st.tuples(self.strategy(), st.integers(-2, 2)), max_size=10))

    @rule(data=st.data(), op=st.sampled_from(sorted(SET_OPS)), reflected=st.booleans(),
          other=st.sampled_from(["view", "list", "set"]))
    def view_set_operations(self, data, op, reflected, other):
        pairs = self.other_pairs(data)
        fn = SET_OPS[op]
        for items in (False, True):
            mine, ref = (self.m.items(), dict(self.ref).items()) if items else (self.m.keys(), dict(self.ref).keys())
            if other == "view":
                theirs = TESTED.BTreeMap(pairs).items() if items else TESTED.BTreeMap(pairs).keys()
            else:
                elements = pairs if items else [k for k, _ in pairs]
                theirs = set(elements) if other == "set" else elements
            result = fn(theirs, mine) if reflected else fn(mine, theirs)
            expected = fn(set(theirs), ref) if reflected else fn(ref, set(theirs))
            assert isinstance(result, type(self.m.keys()))
            assert set(result) == expected and len(result) == len(expected)
            assert list(result) == sorted(expected)
            assert result == expected and mine.isdisjoint(theirs) == ref.isdisjoint(set(theirs))
            if other == "list":
                # isdisjoint() reads an iterator up to its first common element only.
                rest = iter(theirs)
                first = next((i for i, e in enumerate(theirs) if e in ref), len(theirs))
                assert mine.isdisjoint(rest) == (first == len(theirs)) and list(rest) == theirs[first + 1:]

    @rule(data=st.data())
    def view_comparisons(self, data):
        pairs = self.other_pairs(data)
        ref = dict(self.ref)
        for mine, expected_view, elements in ((self.m.keys(), ref.keys(), {k for k, _ in pairs}),
                                             (self.m.items(), ref.items(), set(pairs))):
            for theirs in (elements, expected_view, set(expected_view) | elements, set(expected_view) & elements):
                for compare in COMPARISONS:
                    assert compare(mine, theirs) == compare(expected_view, set(theirs))
                    assert compare(theirs, mine) == compare(set(theirs), expected_view)
        other = TESTED.BTreeMap(pairs)
        for compare in COMPARISONS:
            assert compare(self.m.keys(), other.keys()) == compare(ref.keys(), dict(pairs).keys())
            assert compare(self.m.items(), other.items()) == compare(ref.items(), dict(pairs).items())

    @rule()
    def copies(self):
        f = self.key_func
        for other in (self.m.copy(), copying.deepcopy(self.m), pickle.loads(pickle.dumps(self.m)),
                      TESTED.BTreeMap(f, self.ref.items()), TESTED.BTreeMap(f, dict(self.ref)),
                      TESTED.BTreeMap(f, self.m), TESTED.BTreeMap(f) | self.m):
            check_tree(other, strict=False)
            assert list(other.items()) == list(self.ref.items()) and other.key is f
        assert list(TESTED.BTreeMap.fromsorted(sorted(self.ref.items())).items()) == sorted(self.ref.items())
        assert repr(self.m) == repr(self.ref).replace("SortedDict", "BTreeMap")

    @invariant()
    def same_contents(self):
        assert len(self.m) == len(self.ref)
        assert list(self.m.items()) == list(self.ref.items())
        assert list(reversed(self.m.items())) == list(reversed(self.ref.items()))
        assert self.m == dict(self.ref)
        check_tree(self.m, strict=False)


@pytest.mark.parametrize("key_function", sorted(MAP_KEY_FUNCTIONS))
def test_map_matches_sorteddict(key_function):
    key_func, kinds = MAP_KEY_FUNCTIONS[key_function]
    machine = type("KeyedMapProtocol", (MapProtocol,), {"key_func": staticmethod(key_func) if key_func else None,
                                                        "kinds": kinds})
    run_state_machine_as_test(machine, settings=settings(max_examples=60 if key_func is None else 30,
                                                         stateful_step_count=40, deadline=None))
