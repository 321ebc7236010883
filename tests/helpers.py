"""Helpers shared by the suites: watched key objects, tree builders and the
invariant check of the test build."""

import atexit
import functools
import importlib
import operator
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parent.parent


def build_client():
    """The C API client compiled here from tests/native, for an environment
    where only the shipped modules are installed (`pip install .`): it calls
    their capsule as any client extension does. (module, None), or (None,
    why it could not be built)."""
    out = Path(tempfile.mkdtemp(prefix="btree-client-"))
    atexit.register(shutil.rmtree, out, ignore_errors=True)
    setup = ("import sys; from setuptools import Extension, setup; setup(ext_modules=[Extension("
             "'_btree_client', ['tests/native/client.c'], include_dirs=['include', 'src'], "
             "extra_compile_args=['-std=c99'])], script_args=['-q', 'build_ext', '--build-lib', sys.argv[1], "
             "'--build-temp', sys.argv[2]])")
    try:
        proc = subprocess.run([sys.executable, "-c", setup, str(out / "lib"), str(out / "tmp")], cwd=ROOT,
                              capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    if proc.returncode:
        last = (proc.stderr.strip() or proc.stdout.strip() or "no output").splitlines()[-1]
        return None, f"building it from tests/native/client.c failed: {last}"
    sys.path.insert(0, str(out / "lib"))
    return importlib.import_module("_btree_client"), None


class MissingClient:
    """Stands for the client that could not be built: a test that calls it
    skips, saying why."""

    def __init__(self, why):
        self.why = why

    def __getattr__(self, name):
        pytest.skip(f"the C API client is missing: {self.why}")


try:
    import _btree_test
except ImportError:  # only the shipped modules are installed: see from_test_build
    _btree_test = None
# The client is test-only too, but plain C on the public header: where it is
# not installed it is built for the session. CLIENT says where it came from,
# or why it is missing.
try:
    import _btree_client
    CLIENT = "installed"
except ImportError:
    _btree_client, _why = build_client()
    CLIENT = "built for this session" if _why is None else f"missing: {_why}"
    if _btree_client is None:
        _btree_client = MissingClient(_why)

# The set operators of views and the comparisons, by name.
SET_OPS = {"&": operator.and_, "|": operator.or_, "-": operator.sub, "^": operator.xor}
COMPARISONS = [operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge]

# Free-threaded builds let readers share a tree, and none of them fills the
# path cache of the last lookup.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PATH_CACHE = not FREE_THREADED
needs_path_cache = pytest.mark.skipif(not PATH_CACHE, reason="readers share a tree on free-threaded builds and "
                                      "fill no path cache")

NO_TEST_BUILD = "needs the test-only build _btree_test, which `make test-3.13` builds"
TEST_CAPSULE = "_btree_test._C_API"
# Marks a test that looks inside trees through the test build, so that it is
# counted and skipped where the build is missing (see conftest.py). The
# fixtures bt, check, dump and test_capi, and the mod fixture's test build,
# mark a test by themselves.
needs_test_build = pytest.mark.test_build

try:
    import btree
    import btreemap
except ImportError:  # conftest.py stops the session with the reason
    btree = btreemap = None
# The build that tests without the `mod` fixture (hypothesis's property
# tests, state machines) run on: the test build where it is installed, whose
# trees check_tree looks inside, else the shipped modules.
TESTED = _btree_test if _btree_test is not None else SimpleNamespace(
    __name__="btree", BTree=btree and btree.BTree, _C_API=btree and btree._C_API,
    **{name: btreemap and getattr(btreemap, name) for name in ("BTreeMap", "BTreeList", "BTreeSet")})

# The node constants of the core and the capsule table's slot count, as the
# test build reports them. Every test that reads one needs the test build, so
# without it they are None and node_table() gives empty tables.
MAX_KEYS, MAX_CHILDREN, MIN_KEYS, MAX_DEPTH, POOL_MAX, CAPI_SLOTS = (
    (None,) * 6 if _btree_test is None else
    (_btree_test.MAX_KEYS, _btree_test.MAX_CHILDREN, _btree_test.MIN_KEYS, _btree_test.MAX_DEPTH,
     _btree_test.FREELIST_MAX, _btree_test.CAPI_SLOTS))
# Ascending insertion splits each full leaf into MIN_KEYS + 1 and MIN_KEYS
# items and goes on in the right half: every leaf but the last keeps
# ASCENDING_LEAF items, and the last is full at ASCENDING_FULL_LAST items.
ASCENDING_LEAF = None if MIN_KEYS is None else MIN_KEYS + 1
ASCENDING_FULL_LAST = None if MIN_KEYS is None else ASCENDING_LEAF + MAX_KEYS
# The keys a node holds, for tests that size trees to reach a shape and
# assert nothing of it: the test build's constant, else the one the sources
# (and so the shipped build) define.
NODE_KEYS = MAX_KEYS if MAX_KEYS is not None else int(
    re.search(r"BTREE_MAX_KEYS = (\d+);", (ROOT / "src" / "nodes" / "node.h").read_text()).group(1))


def node_table(make):
    """The parametrisation table (a list or a dict) `make()` builds from the
    node constants, or an empty one, whose test is skipped, where the test
    build is missing."""
    return {} if _btree_test is None else make()


def from_test_build(name):
    """The test-only module `name`. Where a plain `pytest` runs with only the
    shipped modules installed, it skips the test that asks."""
    return pytest.importorskip(name, reason=NO_TEST_BUILD)


TEST_BUILD_TYPES = () if _btree_test is None else (
    _btree_test.BTree, _btree_test.BTreeMap, _btree_test.BTreeList, _btree_test.BTreeSet)


def use_capsule_of(build):
    """Switches the C API client to the capsule table of `build` (btree, or
    the test build, which publishes its own)."""
    if build.__name__ == "_btree_test":
        _btree_client.use_capsule(build._C_API, TEST_CAPSULE)
    else:
        _btree_client.use_capsule(None)


def check_tree(tree, strict=True):
    """The invariant check of a tree of the test build. The shipped modules
    cannot be looked inside: their trees are left to the behaviour the test
    asserts."""
    if isinstance(tree, TEST_BUILD_TYPES):
        _btree_test.check(tree, strict)


class Key:
    """An orderable key object whose comparisons can be watched or sabotaged.

    ``Key.hook``, when set, is called with both operands before every ``<``
    and ``==``; it may raise or call back into a tree.
    """

    hook = None

    def __init__(self, value):
        self.value = value

    # The hook is read once: another thread may take it away meanwhile.
    def __lt__(self, other):
        if (hook := Key.hook) is not None:
            hook(self, other)
        return self.value < other.value

    def __eq__(self, other):
        if (hook := Key.hook) is not None:
            hook(self, other)
        return isinstance(other, Key) and self.value == other.value

    __hash__ = None

    def __neg__(self):
        # The key function of the keyed records: the opposite order, its
        # comparisons watched as the element's are.
        return type(self)(-self.value)

    def __repr__(self):
        return f"Key({self.value!r})"


def tree_of(BTree, keys, value=lambda key: key):
    """A tree holding each key (inserted in the given order) with value(key)."""
    tree = BTree()
    for key in keys:
        tree.insert(key, value(key))
    return tree


def built(client, keys, values=None):
    """A tree made by the capsule's bulk build from sorted keys (values None
    unless given), through the table the client is switched to."""
    keys = list(keys)
    values = [None] * len(keys) if values is None else list(values)
    tree, taken_keys, taken_values = client.build_from_sorted_pairs(keys, values)
    assert all(taken_keys) and all(taken_values)
    return tree


def references(objects):
    """The reference count of each object."""
    return [sys.getrefcount(obj) for obj in objects]


def shape(node):
    """A dumped node as its leaf item counts: an int for a leaf, a list of the
    children's shapes for an internal node."""
    if node["leaf"]:
        return node["n"]
    return [shape(child) for child in node["children"]]


def separators(node, path=()):
    """{(child indices leading to the node, slot): separator} of every internal
    node of a dumped tree (down to the depth it was dumped to)."""
    if node["leaf"]:
        return {}
    found = {(path, slot): key for slot, key in enumerate(node["keys"])}
    for i, child in enumerate(node["children"] or ()):
        found.update(separators(child, path + (i,)))
    return found


def leaf_sizes(node):
    """Item counts of the leaves of a dumped node, left to right."""
    if node["leaf"]:
        return [node["n"]]
    return [size for child in node["children"] for size in leaf_sizes(child)]


def drain_pools(copy=None):
    """Trees that hold every recycled node of the pools, so that the next
    nodes come from the allocator. Keep them alive while that matters.
    `copy`, the client's copy on the test build's table, makes each holder
    in one call instead of MAX_KEYS + 1 insertions."""
    # The key after a full root leaf splits it: two leaves and one internal node.
    seed = tree_of(_btree_test.BTree, range(MAX_KEYS + 1))
    holders = [seed]
    # Lists and sets take their leaves, which keep no values, from a pool of
    # their own.
    while _btree_test.keys_leaf_pool_count():
        holders.append(_btree_test.BTreeList(range(MAX_KEYS + 1)))
    while any(_btree_test.pool_counts()):
        holders.append(copy(seed) if copy else tree_of(_btree_test.BTree, range(MAX_KEYS + 1)))
    return holders


def drain_leaf_pool():
    """A tree that has taken every recycled leaf out of the pool, so that the
    next leaves come from the allocator. Keep it alive while that matters."""
    holder = _btree_test.BTree()
    key = 0
    while _btree_test.pool_counts()[0]:
        for _ in range(MIN_KEYS + 1):
            holder.insert(key)
            key += 1
    return holder


# The sorted types as the shared tables reach them: each table that holds for
# every type is parametrised over SURFACES, so that a new type joins them with
# one record. `type_in(mod)` is the type in the build of `mod` (btree or
# _btree_test). Entries named "capsule" call the C API client, which the
# caller has switched to the table of the tree's build; the rest is Python.
#   walks: iterators over "keys", "values" and "items" (and others of the type)
#   mutations: changes that stop every iterator of the tree
#   reads: calls on a tree of the keys 0..299 that stop no iterator
#   inserts, deletes: ways to store or remove one key
#   range_removals: ways to remove the keys within bounds, (t, lo, hi,
#   inclusive) -> how many went; span_removals: ways to remove by position,
#   (t, index or slice)
#   lookup: the name of the method that finds a key's value (search(t, k)
#   calls it; a test that counts the interpreter's allocations calls the
#   bound method itself, with no Python frame between)
#   bisects, iranges: (name, call) pairs that must agree with each other
#   item_at(t, i, kind): the key, value or item (kind 0, 1, 2) at position i
#   pop_at(t, i): the item at position i, removed; empty_pop: the error and
#   message of pop_at on an empty tree
#   starts: whether increment takes a start value for a missing key
#   packed(T, keys, values): a tree built from sorted input
#   merged_values: whether merges carry the values (of the left tree first)
#   replace_stops_iterators: whether storing over a key stops iterators
#   reentrant: the error of a call from a comparison of the same tree
#   insert(t, k, v), delete(t, k): the plain ways to store and remove a key
#   walk(t), step(it): an iterator over the items and one step of it
#   remove_range(t, lo, hi), remove_positions(t, i): removal of the keys in a
#   range or of the items at positions (a slice), or None
#   entries(t): an iterator over what the tree holds; entry(k, v): what
#   storing value v under key k adds to it (an item, or the element k alone);
#   stored(k, v): what search finds for it (the value, or the element)
#   valued: whether the type keeps a value beside each key (tests of values
#   skip the types without); unique: whether a key equal to a held one stores
#   over it (else it goes after its equals); order: the sort key of the keys
#   (None: their own order); missing, unfound: the error of delete and of
#   search of a key not held, and its arguments as a function of the key
#   increment: None where the type offers none
TREE = SimpleNamespace(
    name="BTree", type_name="BTree", key=None, type_in=lambda mod: mod.BTree, mutated="BTree mutated during iteration",
    reentrant="BTree reentrant access during comparison",
    insert=lambda t, k, v=None: t.insert(k, v), delete=lambda t, k: t.delete(k),
    walk=lambda t: _btree_client.iter_new(t, 2), step=lambda it: _btree_client.iter_next(it),
    remove_range=None, remove_positions=None,
    walks={"keys": lambda t: t.keys(), "values": lambda t: t.values(), "items": lambda t: t.items()},
    mutations={
        "insert new": lambda t: t.insert(-1),
        "replace value": lambda t: t.insert(t.irange()[0], "v"),
        "delete": lambda t: t.delete(t.irange()[0]),
        "clear": lambda t: t.clear(),
    },
    reads={
        "search": lambda t: t.search(7),
        "missing search": lambda t: pytest.raises(KeyError, t.search, -7),
        "bisect": lambda t: (t.bisect_left(7), t.bisect_right(7)),
        "irange": lambda t: t.irange(3, 9),
        "len": len,
        "new iterator": lambda t: list(t.items()),
    },
    inserts={"method": lambda t, k, v=None: t.insert(k, v),
             "capsule": lambda t, k, v=None: _btree_client.insert(t, k, v)},
    deletes={"method": lambda t, k: t.delete(k), "capsule": lambda t, k: _btree_client.delete(t, k)},
    range_removals={},
    span_removals={},
    lookup="search",
    search=lambda t, k: t.search(k),
    clear=lambda t: t.clear(),
    bisects=[("method", lambda t, k: (t.bisect_left(k), t.bisect_right(k))),
             ("capsule", lambda t, k: (_btree_client.bisect_left(t, k), _btree_client.bisect_right(t, k)))],
    iranges=[("method", lambda t, lo, hi, inc: t.irange(lo, hi, inc)),
             ("capsule", lambda t, lo, hi, inc: _btree_client.irange(t, lo, hi, inc))],
    item_at=lambda t, i, kind: _btree_client.get_item_by_index(t, i, kind),
    pop_at=lambda t, i: _btree_client.pop_item_by_index(t, i),
    empty_pop=(IndexError, "^index out of range$"),
    increment=lambda t, k, delta, start: _btree_client.increment(t, k, delta, start),
    starts=True,
    copy=lambda t: _btree_client.copy(t),
    packed=lambda T, keys, values: built(_btree_client, keys, values),
    merges={"union": lambda a, b: _btree_client.merge_union(a, b),
            "intersection": lambda a, b: _btree_client.merge_intersection(a, b),
            "difference": lambda a, b: _btree_client.merge_difference(a, b)},
    merged_values=False,
    replace_stops_iterators=True,
    entries=lambda t: t.items(), entry=lambda k, v: (k, v), stored=lambda k, v: v,
    valued=True, unique=True, order=None, missing=(KeyError, lambda k: (k,)), unfound=(KeyError, lambda k: (k,)),
)
MAP = SimpleNamespace(
    name="BTreeMap", type_name="BTreeMap", key=None, mutated="BTreeMap mutated during iteration",
    reentrant="BTreeMap reentrant access during comparison",
    insert=lambda m, k, v=None: m.__setitem__(k, v), delete=operator.delitem,
    walk=lambda m: iter(m.items()), step=next,
    remove_range=lambda m, lo, hi: m.remove_range(lo, hi), remove_positions=lambda m, i: m.items().__delitem__(i),
    type_in=lambda mod: mod.BTreeMap if hasattr(mod, "BTreeMap") else importlib.import_module("btreemap").BTreeMap,
    walks={"keys": iter, "values": lambda m: iter(m.values()), "items": lambda m: iter(m.items()),
           "keys view": lambda m: iter(m.keys()), "reversed": reversed, "irange": lambda m: m.irange(3, 900)},
    mutations={
        "insert new": lambda m: m.__setitem__(10**6, 0),
        "delete": lambda m: m.__delitem__(m.keys()[5]),
        "pop": lambda m: m.pop(m.keys()[6]),
        "popitem": lambda m: m.popitem(),
        "remove_range": lambda m: m.remove_range(m.keys()[3], m.keys()[900]),
        "del view position": lambda m: m.items().__delitem__(3),
        "del view slice": lambda m: m.keys().__delitem__(slice(2, 40)),
        "del view slice by steps": lambda m: m.values().__delitem__(slice(40, 2, -5)),
        "clear": lambda m: m.clear(),
    },
    reads={
        "lookup": lambda m: m[7],
        "missing lookup": lambda m: pytest.raises(KeyError, operator.getitem, m, -7),
        "bisect": lambda m: (m.bisect_left(7), m.bisect_right(7)),
        "irange": lambda m: list(m.irange(3, 9)),
        "len": len,
        "new iterator": lambda m: list(m.items()),
        "peekitem": lambda m: m.peekitem(5),
        "store over a key": lambda m: m.__setitem__(7, 7),
        "increment of a key": lambda m: m.increment(7, 0),
        "setdefault of a key": lambda m: m.setdefault(7, 0),
    },
    inserts={"setitem": lambda m, k, v=None: m.__setitem__(k, v), "update": lambda m, k, v=None: m.update([(k, v)])},
    deletes={"delitem": operator.delitem, "pop": lambda m, k: m.pop(k)},
    range_removals={"remove_range": lambda m, lo, hi, inc: m.remove_range(lo, hi, inc)},
    span_removals={"del keys": lambda m, i: m.keys().__delitem__(i), "del items": lambda m, i: m.items().__delitem__(i),
                   "del values": lambda m, i: m.values().__delitem__(i)},
    lookup="__getitem__",
    search=operator.getitem,
    clear=lambda m: m.clear(),
    bisects=[("method", lambda m, k: (m.bisect_left(k), m.bisect_right(k)))],
    iranges=[("method", lambda m, lo, hi, inc: list(m.irange(lo, hi, inc)))],
    item_at=lambda m, i, kind: (m.keys(), m.values(), m.items())[kind][i],
    pop_at=lambda m, i: m.popitem(i),
    empty_pop=(KeyError, "is empty"),
    increment=lambda m, k, delta, start: m.increment(k, delta),
    starts=False,
    copy=lambda m: m.copy(),
    packed=lambda M, keys, values: M.fromsorted(zip(keys, values)),
    merges={"union": lambda a, b: a.union(b), "intersection": lambda a, b: a.intersection(b),
            "difference": lambda a, b: a.difference(b)},
    merged_values=True,
    replace_stops_iterators=False,
    entries=lambda m: iter(m.items()), entry=lambda k, v: (k, v), stored=lambda k, v: v,
    valued=True, unique=True, order=None, missing=(KeyError, lambda k: (k,)), unfound=(KeyError, lambda k: (k,)),
)


def seq_type(name, key):
    """type_in of BTreeList or BTreeSet, made with the key function `key`."""
    def type_in(mod):
        T = getattr(mod, name) if hasattr(mod, name) else getattr(importlib.import_module("btreemap"), name)
        return T if key is None else functools.partial(T, key=key)

    return type_in


def sequence(name, key=None):
    """The record of BTreeList or BTreeSet with the key function `key`. An
    element is its own key (or key(element) orders it); a value given to
    insert is dropped, and what search finds is the element held."""
    is_set = name == "BTreeSet"
    # The bounds of an irange over the middle of a tree of the keys 0..999.
    low, high = (900, 3) if key else (3, 900)
    mutations = {
        "add new": lambda s: s.add(10**6),
        "discard": lambda s: s.discard(s[5]),
        "remove": lambda s: s.remove(s[6]),
        "pop": lambda s: s.pop(),
        "pop first": lambda s: s.pop(0),
        "remove_range": lambda s: s.remove_range(s[3], s[900]),
        "del position": lambda s: s.__delitem__(3),
        "del slice": lambda s: s.__delitem__(slice(2, 40)),
        "del slice by steps": lambda s: s.__delitem__(slice(40, 2, -5)),
        "update": lambda s: s.update([10**6, -(10**6)]),
        "clear": lambda s: s.clear(),
    }
    reads = {
        "in": lambda s: 7 in s,
        "missing in": lambda s: -7 in s,
        "count": lambda s: s.count(7),
        "index": lambda s: s.index(7),
        "missing index": lambda s: pytest.raises(ValueError, s.index, -7),
        "missing discard": lambda s: s.discard(-7),
        "bisect": lambda s: (s.bisect_left(7), s.bisect_right(7)),
        "irange": lambda s: list(s.irange(low, high)),
        "islice": lambda s: list(s.islice(3, 9)),
        "len": len,
        "new iterator": list,
        "position": lambda s: s[5],
        "slice": lambda s: s[2:40:3],
        "copy": lambda s: s.copy(),
        "== list": lambda s: s == list(s),
        "empty remove_range": lambda s: s.remove_range(-9, -8),
    }
    if is_set:
        mutations.update({
            "|=": lambda s: s.__ior__([10**6]),
            "&=": lambda s: s.__iand__(list(s)[::2]),
            "-=": lambda s: s.__isub__([s[4]]),
            "^=": lambda s: s.__ixor__([s[4], 10**6]),
            "intersection_update": lambda s: s.intersection_update(list(s)[1:]),
            "difference_update": lambda s: s.difference_update([s[8]]),
            "symmetric_difference_update": lambda s: s.symmetric_difference_update([10**6]),
        })
        reads.update({
            "add of a held element": lambda s: s.add(7),
            "union": lambda s: s | [1, 10**6],
            "intersection": lambda s: s & [1, -1],
            "difference": lambda s: s - [1],
            "<= set": lambda s: s <= set(s),
            "isdisjoint": lambda s: s.isdisjoint([-1, 5]),
        })
        inserts = {"add": lambda s, k, v=None: s.add(k), "update": lambda s, k, v=None: s.update([k]),
                   "|=": lambda s, k, v=None: s.__ior__([k])}
        deletes = {"remove": lambda s, k: s.remove(k)}
        merges = {"union": lambda a, b: a.union(b), "intersection": lambda a, b: a.intersection(b),
                  "difference": lambda a, b: a.difference(b)}
        missing = (KeyError, lambda k: (k,))
        unfound = (ValueError, lambda k: (f"{k!r} is not in set",))
    else:
        mutations.update({
            "add equal": lambda s: s.add(s[5]),
            "+=": lambda s: s.__iadd__([10**6]),
            "*=": lambda s: s.__imul__(2),
        })
        reads.update({"+": lambda s: s + [1], "*": lambda s: s * 2})
        inserts = {"add": lambda s, k, v=None: s.add(k), "update": lambda s, k, v=None: s.update([k]),
                   "+=": lambda s, k, v=None: s.__iadd__([k])}
        deletes = {"remove": lambda s, k: s.remove(k), "del by index": lambda s, k: s.__delitem__(s.index(k))}
        merges = {}
        missing = (ValueError, lambda k: (f"{k!r} not in list",))
        unfound = (ValueError, lambda k: (f"{k!r} is not in list",))
    bisects = [("method", lambda s, k: (s.bisect_left(k), s.bisect_right(k)))]
    iranges = [("method", lambda s, lo, hi, inc: list(s.irange(lo, hi, inc)))]
    if key is not None:
        bisects.append(("by key", lambda s, k: (s.bisect_key_left(key(k)), s.bisect_key_right(key(k)))))
        iranges.append(("by key", lambda s, lo, hi, inc: list(s.irange_key(
            None if lo is None else key(lo), None if hi is None else key(hi), inc))))
    return SimpleNamespace(
        name=name if key is None else f"{name} with key", type_name=name, type_in=seq_type(name, key), key=key,
        mutated=f"{name} mutated during iteration", reentrant=f"{name} reentrant access during comparison",
        insert=lambda s, k, v=None: s.add(k), delete=lambda s, k: s.remove(k),
        walk=iter, step=next,
        remove_range=lambda s, lo, hi: s.remove_range(lo, hi), remove_positions=lambda s, i: s.__delitem__(i),
        walks={"keys": iter, "reversed": reversed, "irange": lambda s: s.irange(low, high),
               "islice": lambda s: s.islice(2), "irange reversed": lambda s: s.irange(reverse=True)},
        mutations=mutations,
        reads=reads,
        inserts=inserts,
        deletes=deletes,
        range_removals={"remove_range": lambda s, lo, hi, inc: s.remove_range(lo, hi, inc)},
        span_removals={"del": lambda s, i: s.__delitem__(i)},
        lookup="index",
        search=lambda s, k: s[s.index(k)],
        clear=lambda s: s.clear(),
        bisects=bisects,
        iranges=iranges,
        item_at=lambda s, i, kind: s[i],
        pop_at=lambda s, i: s.pop(i),
        empty_pop=(IndexError, "^pop index out of range$"),
        increment=None,
        starts=False,
        copy=lambda s: s.copy(),
        packed=lambda T, keys, values: T(keys),
        merges=merges,
        merged_values=False,
        replace_stops_iterators=False,
        entries=iter, entry=lambda k, v: k, stored=lambda k, v: k,
        valued=False, unique=is_set, order=key, missing=missing, unfound=unfound,
    )


LIST = sequence("BTreeList")
KEYED_LIST = sequence("BTreeList", key=operator.neg)
SET = sequence("BTreeSet")
KEYED_SET = sequence("BTreeSet", key=operator.neg)
SURFACES = [TREE, MAP, LIST, KEYED_LIST, SET, KEYED_SET]


def by_surface(table):
    """pytest params (surface, name) for every entry of each surface's
    `table` attribute."""
    return [pytest.param(s, name, id=f"{s.name}: {name}") for s in SURFACES for name in getattr(s, table)]


def filled(surface, T, keys, value=lambda key: key):
    """A tree of type T holding each key (inserted in the given order, by the
    surface's first way to insert) with value(key)."""
    insert = next(iter(surface.inserts.values()))
    tree = T()
    for key in keys:
        insert(tree, key, value(key))
    return tree


def in_order(surface, keys):
    """The keys as the surface's tree holds them once inserted in the given
    order: equal keys after the first dropped where the type keeps one of
    each, and in the order of insertion otherwise."""
    if surface.unique:
        seen = []
        for key in keys:
            if key not in seen:
                seen.append(key)
        keys = seen
    return sorted(keys, key=surface.order)
