"""What the module and its types show to Python code."""

import collections.abc
import gc
import inspect
import weakref

import pytest

import btree
from helpers import MAX_CHILDREN, MAX_KEYS

METHODS = ["insert", "delete", "search", "clear", "keys", "values", "items", "bisect_left", "bisect_right", "irange"]


def test_module_doc_and_public_attributes():
    assert btree.__doc__ == "B-tree data structure for Quindle."
    assert [name for name in dir(btree) if not name.startswith("__")] == ["BTree", "_C_API"]
    assert not hasattr(btree, "_BTreeIter")


def test_capsules_are_named_after_their_module(mod):
    assert type(mod._C_API).__name__ == "PyCapsule"
    assert f'"{mod.__name__}._C_API"' in repr(mod._C_API)


def test_type_and_iterator_names(BTree):
    assert BTree.__name__ == "BTree"
    assert BTree.__module__ == "btree"
    it_type = type(BTree().keys())
    assert (it_type.__module__, it_type.__name__) == ("btree", "_BTreeIter")


def test_methods(BTree):
    assert [name for name in METHODS if callable(getattr(BTree, name, None))] == METHODS
    tree = BTree()
    assert not hasattr(tree, "__dict__")
    with pytest.raises(AttributeError):
        tree.extra = 1


def test_neither_type_can_be_subclassed(BTree):
    with pytest.raises(TypeError):
        type("Sub", (BTree,), {})
    with pytest.raises(TypeError):
        type("SubIter", (type(BTree().keys()),), {})


def test_iterator_cannot_be_made_from_python(BTree):
    with pytest.raises(TypeError):
        type(BTree().keys())()


@pytest.mark.parametrize("args, kwargs", [((1, 2), {"x": 3}), (({1: 2},), {}), ((), {"x": 3})])
def test_constructor_refuses_arguments(BTree, args, kwargs):
    """Arguments would be data the caller expects to find in the tree."""
    with pytest.raises(TypeError, match=r"^BTree\(\) takes no arguments$"):
        BTree(*args, **kwargs)
    assert len(BTree()) == 0


SIGNATURES = {
    "insert": "(self, key, value=None, /)",
    "delete": "(self, key, /)",
    "search": "(self, key, /)",
    "clear": "(self, /)",
    "keys": "(self, /)",
    "values": "(self, /)",
    "items": "(self, /)",
    "bisect_left": "(self, key, /)",
    "bisect_right": "(self, key, /)",
    "irange": "(self, /, min=None, max=None, inclusive=None)",
}


def test_docstrings_and_signatures(BTree):
    assert "sorted map" in BTree.__doc__
    assert str(inspect.signature(BTree)) == "()"
    assert {name: str(inspect.signature(getattr(BTree, name))) for name in METHODS} == SIGNATURES
    assert all(getattr(BTree, name).__doc__.strip() for name in METHODS)


def test_len_and_truth(BTree):
    tree = BTree()
    assert len(tree) == 0 and not bool(tree)
    tree.insert("a")
    assert len(tree) == 1 and bool(tree)
    tree.insert("a", 2)
    assert len(tree) == 1
    tree.insert("b")
    assert len(tree) == 2


def test_weak_references(Type):
    tree = Type()
    ref = weakref.ref(tree)
    assert ref() is tree
    del tree
    assert ref() is None


@pytest.mark.parametrize("as_key", [False, True], ids=["value", "key"])
def test_tree_holding_itself_is_collected(BTree, as_key):
    tree = BTree()
    if as_key:
        # Trees have no order of their own; one key alone is never compared.
        tree.insert(tree, 1)
    else:
        tree.insert(1, tree)
    ref = weakref.ref(tree)
    del tree
    gc.collect()
    assert ref() is None


def test_iterator_stored_in_its_own_tree_is_collected(BTree):
    tree = BTree()
    tree.insert(0)
    iterator = tree.items()
    tree.insert(1, iterator)
    ref = weakref.ref(tree)
    del tree, iterator
    gc.collect()
    assert ref() is None


def test_cycle_through_a_cached_key_is_collected(BTree):
    class Holder:
        def __lt__(self, other):
            return id(self) < id(other)

    tree = BTree()
    key = Holder()
    key.tree = tree
    tree.insert(key)
    tree.search(key)  # the path cache now holds the key too
    ref = weakref.ref(tree)
    del tree, key
    gc.collect()
    assert ref() is None


def test_iterator_keeps_its_tree_alive(BTree):
    tree = BTree()
    for key in range(300):
        tree.insert(key)
    iterator = tree.keys()
    ref = weakref.ref(tree)
    del tree
    gc.collect()
    assert ref() is not None
    assert list(iterator) == list(range(300))


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.insert(),
        lambda t: t.insert(1, 2, 3),
        lambda t: t.insert(1, value=2),
        lambda t: t.insert(key=1),
        lambda t: t.search(),
        lambda t: t.search(1, 2),
        lambda t: t.search(key=1),
        lambda t: t.delete(),
        lambda t: t.delete(1, 2),
        lambda t: t.clear(1),
        lambda t: t.keys(1),
        lambda t: t.values(1),
        lambda t: t.items(1),
        lambda t: t.bisect_left(),
        lambda t: t.bisect_right(1, 2),
        lambda t: t.irange(1, 2, None, 4),
        lambda t: t.irange(low=1),
        lambda t: t.irange(1, min=1),
        lambda t: t.irange(1, 2, (1, 1), min=1),
    ],
)
def test_argument_errors(BTree, call):
    tree = BTree()
    tree.insert(1)
    with pytest.raises(TypeError):
        call(tree)
    assert list(tree.items()) == [(1, None)]


def test_irange_takes_keywords(BTree):
    tree = BTree()
    for key in range(5):
        tree.insert(key)
    assert tree.irange(min=1, max=3, inclusive=(False, True)) == [2, 3]
    assert tree.irange(1, inclusive=(False, True), max=3) == [2, 3]
    assert tree.irange(None, 2) == tree.irange(max=2) == [0, 1, 2]
    assert tree.irange(3) == tree.irange(min=3) == [3, 4]
    with pytest.raises(TypeError, match="given by name .'max'. and position .2."):
        tree.irange(1, 2, max=3)


def test_map_type_registrations_and_generic_alias(BTreeMap):
    assert issubclass(BTreeMap, collections.abc.MutableMapping)
    alias = BTreeMap[int, str]
    assert alias.__origin__ is BTreeMap and alias.__args__ == (int, str)
    with pytest.raises(TypeError):
        hash(BTreeMap())


def test_sizeof_counts_the_nodes(bt, BTreeMap):
    small, big = BTreeMap(), BTreeMap.fromsorted((i, None) for i in range(10_000))
    leaves = -(-10_000 // MAX_KEYS)  # full leaves under one root
    grown = big.__sizeof__() - small.__sizeof__()
    # A leaf keeps MAX_KEYS keys, values and primitives of 8 bytes each and a
    # header; the root keeps as many separators and primitives, MAX_CHILDREN
    # children and their counts, and a header.
    leaf, root = 3 * 8 * MAX_KEYS, 2 * 8 * (MAX_KEYS + MAX_CHILDREN)
    assert any((grown - fixed) % leaves == 0 and leaf <= (grown - fixed) // leaves <= leaf + 200
               for fixed in range(root, root + 200))
