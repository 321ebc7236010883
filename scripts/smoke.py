"""Smoke test of an installed quindle-btree, run by `make wheels` and the
release job's cibuildwheel in a fresh environment of each wheel, by the
packaging check on the installed sdist, and by the suite on its own build.

Usage: python smoke.py [VERSION]

Imports both modules from the installation (not from a source tree), uses
every type, view, iterator and pickle of them once, finds the capsule, and
finds the type information (btree.pyi and btree-stubs/ with py.typed, the
same for btreemap) in the distribution's record. With VERSION, the
installed distribution must have that version. On a free-threaded
interpreter started without PYTHON_GIL, importing the modules must leave the
interpreter lock off. Prints one line starting with "ok" or fails."""

import collections.abc as abc
import copy
import ctypes
import importlib.metadata
import os
import pickle
import sys
import sysconfig
from pathlib import Path

import btree
import btreemap

DISTRIBUTION = "quindle-btree"
PUBLIC = {btree: ["BTree", "_C_API"], btreemap: ["BTreeList", "BTreeMap", "BTreeSet"]}


def check_installation(expected_version):
    version = importlib.metadata.version(DISTRIBUTION)
    assert expected_version is None or version == expected_version, (version, expected_version)
    record = {f.as_posix(): f for f in importlib.metadata.files(DISTRIBUTION)}
    for module, names in PUBLIC.items():
        name = module.__name__
        assert Path(module.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()), module.__file__
        assert [n for n in dir(module) if not n.startswith("__")] == names, dir(module)
        for typing_file in [f"{name}.pyi", f"{name}-stubs/__init__.pyi", f"{name}-stubs/py.typed"]:
            assert typing_file in record, f"{typing_file} is not in the installed distribution"
            assert record[typing_file].locate().is_file(), typing_file
        stub = record[f"{name}.pyi"].locate().read_text(encoding="utf-8")
        assert stub == record[f"{name}-stubs/__init__.pyi"].locate().read_text(encoding="utf-8")
        for type_name in names:
            assert f"class {type_name}(" in stub or f"{type_name}: CapsuleType" in stub, type_name
    return version


def check_interpreter_lock():
    if sysconfig.get_config_var("Py_GIL_DISABLED") and "PYTHON_GIL" not in os.environ:
        assert not sys._is_gil_enabled(), "importing btree or btreemap turned the interpreter lock on"


def check_capsule():
    assert type(btree._C_API).__name__ == "PyCapsule"
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(btree._C_API, b"btree._C_API") == 1


def check_btree():
    assert btree.__doc__ == "B-tree data structure for Quindle."
    tree = btree.BTree()
    for k in range(1000, 0, -1):
        tree.insert(k, str(k))
    tree.delete(500)
    assert len(tree) == 999 and tree.search(7) == "7"
    assert tree.bisect_left(501) == 499 and tree.bisect_right(501) == 500
    assert tree.irange(498, 502) == [498, 499, 501, 502]
    assert tree.irange(498, 502, (False, False)) == [499, 501]
    keys = tree.keys()
    assert next(keys) == 1 and next(keys) == 2
    assert list(tree.values())[-1] == "1000"
    assert list(tree.items())[:2] == [(1, "1"), (2, "2")]
    tree.clear()
    assert len(tree) == 0 and list(tree.items()) == []


def check_btreemap():
    m = btreemap.BTreeMap({"pear": 3, "apple": 5, "fig": 7})
    m["kiwi"] = 2
    assert isinstance(m, abc.MutableMapping) and list(m) == ["apple", "fig", "kiwi", "pear"]
    assert m.peekitem(0) == ("apple", 5) and m.index("kiwi") == 2
    assert list(m.irange("b", "l")) == ["fig", "kiwi"] and list(m.islice(1, 3, reverse=True)) == ["kiwi", "fig"]
    assert m.floor_key("grape") == "fig" and m.higher_key("pear", None) is None
    assert m.increment("fig", 2) == 9 and m.popitem(0) == ("apple", 5)
    keys, values, items = m.keys(), m.values(), m.items()
    assert isinstance(keys, abc.KeysView) and isinstance(items, abc.ItemsView)
    assert isinstance(values, abc.ValuesView)
    assert keys[-1] == "pear" and values[0] == 9 and items[1] == ("kiwi", 2)
    assert list(reversed(keys)) == ["pear", "kiwi", "fig"] and ("fig", 9) in items
    assert list(keys & {"fig", "plum"}) == ["fig"] and list(items - {("fig", 9)}) == [("kiwi", 2), ("pear", 3)]
    iterator = iter(items)
    assert next(iterator) == ("fig", 9)
    del m["kiwi"]
    assert dict(m) == {"fig": 9, "pear": 3} and m.get("kiwi") is None
    assert m | {"plum": 1} == {"fig": 9, "pear": 3, "plum": 1}
    assert m.copy() == m and copy.deepcopy(m) == m

    big = btreemap.BTreeMap.fromsorted((k, k * k) for k in range(10_000))
    assert big.remove_range(100, 9_899) == 9_800 and len(big) == 200 and big[9_999] == 9_999**2
    keyed = btreemap.BTreeMap(abs, [(-3, "a"), (2, "b"), (-1, "c")])
    assert list(keyed) == [-1, 2, -3] and keyed.bisect_key_left(2) == 1
    for original in [m, big, keyed]:
        restored = pickle.loads(pickle.dumps(original))
        assert type(restored) is btreemap.BTreeMap and restored == original
        assert list(restored.items()) == list(original.items())
    assert pickle.loads(pickle.dumps(keyed)).key is abs


def check_btreelist_and_btreeset():
    scores = btreemap.BTreeList([70, 95, 70, 88])
    scores.add(90)
    assert isinstance(scores, abc.Sequence) and list(scores) == [70, 70, 88, 90, 95]
    assert scores.count(70) == 2 and scores.index(88) == 2 and scores.bisect_right(88) == 3
    assert scores[-1] == 95 and scores[1:3] == [70, 88] and list(reversed(scores))[0] == 95
    assert list(scores.irange(80, 92)) == [88, 90] and scores.remove_range(0, 75) == 2
    del scores[0]
    assert scores == [90, 95] and scores + [1] == [1, 90, 95]
    by_length = btreemap.BTreeList(["pear", "fig", "banana"], key=len)
    assert list(by_length) == ["fig", "pear", "banana"] and by_length.bisect_key_left(4) == 1

    seen = btreemap.BTreeSet([5, 1, 3])
    assert isinstance(seen, abc.MutableSet) and isinstance(seen, abc.Sequence)
    assert seen | {4} == {1, 3, 4, 5} and seen & {1, 5} == {1, 5} and seen - {1} == {3, 5}
    assert seen.symmetric_difference([3, 7]) == {1, 5, 7} and seen[0] == 1 and seen.pop() == 5
    seen.discard(1)
    iterator = iter(seen.union(range(10, 13)))
    assert list(iterator) == [3, 10, 11, 12]

    for original in [scores, by_length, seen]:
        restored = pickle.loads(pickle.dumps(original))
        assert type(restored) is type(original) and list(restored) == list(original)
        assert restored.key is original.key


def main():
    version = check_installation(sys.argv[1] if len(sys.argv) > 1 else None)
    check_interpreter_lock()
    check_capsule()
    check_btree()
    check_btreemap()
    check_btreelist_and_btreeset()
    print(f"ok: {DISTRIBUTION} {version} on {sys.implementation.name} {sys.version.split()[0]}"
          f"{' free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}")


if __name__ == "__main__":
    main()
