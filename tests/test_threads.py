"""Trees shared between threads: every call is atomic with respect to the
others. On free-threaded builds the modules run without the interpreter lock,
so these threads really run at once; elsewhere they interleave wherever the
interpreter switches, which includes every comparison written in Python.

Each worker owns the keys equal to its number modulo the number of workers:
only it changes them in the shared trees, so its own model of them must agree
with every atomic view of a tree (a copy, a pickle, a merge, the final state),
whatever the others do meanwhile. Calls that touch everyone's keys (clear,
removal by position or range, bulk rebuilds) go to scratch trees, checked for
their invariants only."""

import os
import pickle
import random
import subprocess
import sys
import sysconfig
import threading
import time
from collections import Counter

import pytest

from helpers import TESTED, _btree_test, check_tree

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
WORKERS = 8
KEYS_PER_WORKER = 300
SECONDS = float(os.environ.get("BTREE_STRESS_SECONDS", "1.5"))


class PyKey:
    """A key whose comparisons run Python code."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __lt__(self, other):
        return self.v < other.v

    def __gt__(self, other):
        return self.v > other.v

    def __le__(self, other):
        return self.v <= other.v

    def __ge__(self, other):
        return self.v >= other.v

    def __eq__(self, other):
        return isinstance(other, PyKey) and self.v == other.v

    def __hash__(self):
        return hash(self.v)

    def __reduce__(self):
        return PyKey, (self.v,)

    def __repr__(self):
        return f"PyKey({self.v})"


def number(key):
    return key.v if isinstance(key, PyKey) else key


def owner(key):
    return number(key) % WORKERS


def mutated(error):
    """An iteration that another thread's change stopped: the one error a
    caller must expect from sharing."""
    return isinstance(error, RuntimeError) and ("mutated" in str(error) or "changed" in str(error))


def walked(iterable):
    """The items of a lazy iterator, or None when another thread's change
    stopped it."""
    try:
        return list(iterable)
    except RuntimeError as error:
        if not mutated(error):
            raise
        return None


def in_order(keys):
    numbers = [number(k) for k in keys]
    return all(a < b for a, b in zip(numbers, numbers[1:]))


def in_order_equal(keys):
    numbers = [number(k) for k in keys]
    return all(a <= b for a, b in zip(numbers, numbers[1:]))


class Shared:
    """The trees all workers share, of one key kind."""

    def __init__(self, make):
        self.make = make
        self.map = TESTED.BTreeMap()
        self.other = TESTED.BTreeMap((make(i), i) for i in range(0, WORKERS * KEYS_PER_WORKER, 3))
        self.tree = TESTED.BTree()
        self.list = TESTED.BTreeList()
        self.set = TESTED.BTreeSet()
        self.scratch_map = TESTED.BTreeMap()
        self.scratch_list = TESTED.BTreeList()
        self.scratch_set = TESTED.BTreeSet()

    def trees(self):
        return [self.map, self.other, self.tree, self.list, self.set, self.scratch_map, self.scratch_list,
                self.scratch_set]


class Worker:
    def __init__(self, shared, me, seed):
        self.s = shared
        self.me = me
        self.rng = random.Random(seed)
        self.map = {}           # key -> value, of this worker's keys in shared.map
        self.tree = {}          # the same for shared.tree
        self.list = Counter()   # key number -> count in shared.list
        self.set = set()        # key numbers in shared.set
        self.errors = []
        self.calls = 0

    def own_key(self):
        return self.s.make(self.rng.randrange(KEYS_PER_WORKER) * WORKERS + self.me)

    def any_key(self):
        return self.s.make(self.rng.randrange(WORKERS * KEYS_PER_WORKER))

    def mine(self, keys):
        return [k for k in keys if owner(k) == self.me]

    def agree(self, what, got, want):
        if got != want:
            self.errors.append(f"{what}: {got!r} != {want!r}")

    # The calls, each a method; run() picks among them.

    def map_store(self):
        k = self.own_key()
        v = self.rng.randrange(1000)
        self.s.map[k] = v
        self.map[k] = v

    def map_delete(self):
        k = self.own_key()
        self.agree("pop", self.s.map.pop(k, None), self.map.pop(k, None))

    def map_setdefault(self):
        k = self.own_key()
        self.agree("setdefault", self.s.map.setdefault(k, 7), self.map.setdefault(k, 7))

    def map_increment(self):
        k = self.own_key()
        self.map[k] = self.map.get(k, 0) + 2
        self.agree("increment", self.s.map.increment(k, 2), self.map[k])

    def map_get(self):
        k = self.own_key()
        self.agree("get", self.s.map.get(k), self.map.get(k))
        self.agree("in", k in self.s.map, k in self.map)

    def map_bulk(self):
        pairs = {self.own_key(): self.rng.randrange(1000) for _ in range(self.rng.randrange(1, 40))}
        self.s.map.update(pairs)
        self.map.update(pairs)

    def map_ranks(self):
        m, k = self.s.map, self.any_key()
        i = m.bisect_left(k)
        if not 0 <= i <= len(m) + WORKERS * KEYS_PER_WORKER:
            self.errors.append(f"bisect_left {i}")
        for probe in (m.floor_key, m.ceiling_key, m.lower_key, m.higher_key):
            try:
                probe(k)
            except KeyError:
                pass
        if k in self.map:
            m.index(k)

    def map_positions(self):
        m = self.s.map
        try:
            key, _ = m.peekitem(self.rng.randrange(-5, 5))
        except IndexError:
            return
        if owner(key) == self.me and key not in self.map:
            self.errors.append(f"peekitem {key!r} is not mine")

    def map_range(self):
        m, a, b = self.s.map, self.any_key(), self.any_key()
        keys = walked(m.irange(a, b)) if number(a) <= number(b) else []
        if keys is not None and not in_order(keys):
            self.errors.append("irange out of order")
        sliced = m.keys()[5:60]
        if not in_order(sliced):
            self.errors.append("slice out of order")

    def map_iterate(self):
        try:
            keys = [k for k in self.s.map]
        except RuntimeError as error:
            if not mutated(error):
                raise
            return
        if not in_order(keys):
            self.errors.append("iteration out of order")

    def map_snapshot(self):
        """A copy and a pickle are each one atomic view."""
        for view in (self.s.map.copy(), pickle.loads(pickle.dumps(self.s.map))):
            keys = list(view)
            if not in_order(keys):
                self.errors.append("snapshot out of order")
            self.agree("snapshot", {k: view[k] for k in self.mine(keys)}, self.map)

    def map_whole(self):
        """Equality and repr read the map as it is at the call, and merges
        hold both maps while their comparisons run Python code: none of them
        stops for another thread's change."""
        m = self.s.map
        if not repr(m).startswith("BTreeMap({"):
            self.errors.append("repr")
        m == self.s.other
        self.s.other == m

    def map_merge(self):
        for keys in (self.s.map | self.s.other, self.s.map.intersection(self.s.other)):
            if not in_order(keys):
                self.errors.append("merge out of order")

    def tree_calls(self):
        t, k = self.s.tree, self.own_key()
        if self.rng.random() < 0.6:
            v = self.rng.randrange(1000)
            t.insert(k, v)
            self.tree[k] = v
        else:
            try:
                t.delete(k)
                gone = True
            except KeyError:
                gone = False
            self.agree("BTree.delete", gone, self.tree.pop(k, None) is not None)
        try:
            got = t.search(k)
        except KeyError:
            got = None
        self.agree("BTree.search", got, self.tree.get(k))
        keys = t.irange(self.any_key(), None)
        if not in_order(keys):
            self.errors.append("BTree.irange out of order")

    def list_calls(self):
        s, k = self.s.list, self.own_key()
        n = number(k)
        roll = self.rng.random()
        if roll < 0.4:
            s.add(k)
            self.list[n] += 1
        elif roll < 0.6:
            more = [self.own_key() for _ in range(self.rng.randrange(1, 30))]
            s.update(more)
            self.list.update(number(x) for x in more)
        elif roll < 0.8:
            had = self.list[n] > 0
            try:
                s.remove(k)
                self.list[n] -= 1
                removed = True
            except ValueError:
                removed = False
            self.agree("list.remove", removed, had)
        else:
            keys = walked(s.irange(self.any_key(), None))
            if keys is not None and not in_order_equal(keys):
                self.errors.append("list.irange out of order")
            # Comparisons read each list once, whatever changes meanwhile.
            s == self.s.scratch_list
            s < self.s.scratch_list
        self.agree("list.count", s.count(k), self.list[n])

    def set_calls(self):
        s, k = self.s.set, self.own_key()
        n = number(k)
        if self.rng.random() < 0.5:
            s.add(k)
            self.set.add(n)
        else:
            s.discard(k)
            self.set.discard(n)
        self.agree("set in", k in s, n in self.set)
        if self.rng.random() < 0.1:
            other = self.s.scratch_set
            for combined in (s | other, s & other, s - other):
                if not in_order(combined):
                    self.errors.append("set algebra out of order")
            s <= self.s.scratch_set
            s.isdisjoint(self.s.scratch_set)
            copied = pickle.loads(pickle.dumps(s))
            self.agree("set snapshot", {number(x) for x in self.mine(copied)}, self.set)

    def scratch(self):
        """Calls that touch every worker's keys, on trees no model follows."""
        roll = self.rng.random()
        m, lst, st = self.s.scratch_map, self.s.scratch_list, self.s.scratch_set
        if roll < 0.1:
            m.clear()
        elif roll < 0.3:
            m.update({self.any_key(): 1 for _ in range(50)})
        elif roll < 0.4:
            lst.update(self.any_key() for _ in range(200))
        elif roll < 0.5:
            del lst[self.rng.randrange(0, 50):self.rng.randrange(50, 100)]
        elif roll < 0.6:
            a = self.rng.randrange(WORKERS * KEYS_PER_WORKER)
            st.remove_range(self.s.make(a), self.s.make(a + 100))
        elif roll < 0.7:
            st.update(self.any_key() for _ in range(100))
        elif roll < 0.8:
            try:
                lst.pop(self.rng.randrange(-10, 10))
            except IndexError:
                pass
        elif roll < 0.9:
            st |= self.s.set
        else:
            try:
                keys = list(reversed(m))
            except RuntimeError as error:
                if not mutated(error):
                    raise
                return
            if not in_order(keys[::-1]):
                self.errors.append("reversed iteration out of order")

    CALLS = ["map_store", "map_store", "map_delete", "map_setdefault", "map_increment", "map_get", "map_get",
             "map_bulk", "map_ranks", "map_positions", "map_range", "map_iterate", "map_snapshot", "map_whole",
             "map_merge",
             "tree_calls", "tree_calls", "list_calls", "list_calls", "set_calls", "set_calls", "scratch",
             "scratch"]

    def run(self, deadline, start):
        start.wait()
        try:
            while time.monotonic() < deadline and len(self.errors) < 5:
                getattr(self, self.rng.choice(self.CALLS))()
                self.calls += 1
        except BaseException as error:  # every failure is reported, none kills the test's thread
            self.errors.append(f"{type(error).__name__}: {error}")


@pytest.mark.parametrize("make", [int, PyKey], ids=["int keys", "keys compared in Python"])
def test_workers_sharing_every_type_agree_with_their_models(make):
    shared = Shared(make)
    workers = [Worker(shared, me, seed=me * 7919 + 1) for me in range(WORKERS)]
    start = threading.Barrier(WORKERS)
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=w.run, args=(deadline + 0.2, start)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
        assert not thread.is_alive(), "a worker is stuck"
    errors = [f"worker {w.me}: {e}" for w in workers for e in w.errors]
    assert not errors, errors[:10]
    assert all(w.calls > 20 for w in workers), [w.calls for w in workers]
    for tree in shared.trees():
        check_tree(tree, strict=False)  # bulk builds may leave the last nodes short
    for w in workers:
        assert {k: v for k, v in shared.map.items() if owner(k) == w.me} == w.map
        assert {k: v for k, v in shared.tree.items() if owner(k) == w.me} == w.tree
        assert Counter(number(k) for k in shared.list if owner(k) == w.me) == +w.list
        assert {number(k) for k in shared.set if owner(k) == w.me} == w.set


def test_threads_sharing_one_iterator_never_hand_out_an_item_twice():
    m = TESTED.BTreeMap((i, i) for i in range(20000))
    items = iter(m.items())
    seen = [[] for _ in range(4)]
    start = threading.Barrier(4)

    def drain(out):
        start.wait()
        for item in items:
            out.append(item)

    threads = [threading.Thread(target=drain, args=(out,)) for out in seen]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    got = sorted(item for out in seen for item in out)
    assert got == list(m.items())


def test_a_merge_of_two_maps_in_either_order_from_two_threads_ends():
    """Each merge holds both maps; two threads taking them in opposite order
    must not wait for each other for ever."""
    a = TESTED.BTreeMap((PyKey(i), i) for i in range(0, 3000, 2))
    b = TESTED.BTreeMap((PyKey(i), i) for i in range(0, 3000, 3))
    start = threading.Barrier(2)
    results = []

    def merge(x, y):
        start.wait()
        for _ in range(20):
            results.append(len(x | y))

    threads = [threading.Thread(target=merge, args=pair) for pair in ((a, b), (b, a))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
        assert not thread.is_alive(), "the merges wait for each other"
    assert results == [len(set(a) | set(b))] * 40


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter lock is on in this build")
def test_importing_the_modules_leaves_the_interpreter_lock_off():
    modules = "btree, btreemap" + ("" if _btree_test is None else ", _btree_test, _btree_client")
    code = f"import sys, {modules}; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False", proc.stdout + proc.stderr
