"""The type information installed with the module: it matches the module
(stubtest), type checkers find it where it is installed, the examples check
under --strict, and misuse is caught with precise types.

mypy runs outside the repository, so what it finds is what was installed."""

import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed here (the free-threaded environment has none)")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
TYPED_EXAMPLES = [*sorted(EXAMPLES.glob("*.py")), EXAMPLES / "c_client" / "demo.py"]
# Types that the stubs describe ahead of the module: stubtest lets their
# absence pass, and only while they are absent.
PENDING = {"btreemap": ("BTreeList", "BTreeSet")}


def mypy(*args, cwd):
    proc = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *args],
                          capture_output=True, text=True, cwd=cwd, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("module", ["btree", "btreemap"])
def test_stubs_match_the_built_module(tmp_path, module):
    absent = [name for name in PENDING.get(module, ()) if not hasattr(importlib.import_module(module), name)]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(rf"{module}\.{name}(\..*)?" + "\n" for name in absent))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", module, "--allowlist", str(allowlist)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def test_examples_check_strictly(tmp_path):
    assert len(TYPED_EXAMPLES) >= 4
    code, out = mypy("--strict", *map(str, TYPED_EXAMPLES), cwd=tmp_path)
    assert code == 0, out


USE = '''
from btree import BTree

t: BTree[int, str] = BTree()
t.insert(1, "one")
reveal_type(t.search(1))
reveal_type(t.keys())
reveal_type(t.values())
reveal_type(t.items())
reveal_type(t.irange(1, 5, inclusive=(True, False)))
reveal_type(t.bisect_left(3))
reveal_type(len(t))
maybe: BTree[str, int | None] = BTree()
maybe.insert("no value")
flags: BTree[float, None] = BTree()
flags.insert(1)
flags.insert(2.5)
t.insert(2)
t.insert("two", "2")
t.search("one")
t.irange(min="a")
BTree(1)
t.no_such_method()
bad: BTree[dict[str, int], int] = BTree()
'''

REVEALED = {
    6: "str",
    7: "typing.Iterator[int]",
    8: "typing.Iterator[str]",
    9: "typing.Iterator[tuple[int, str]]",
    10: "list[int]",
    11: "int",
    12: "int",
}
# Lines 13 to 17 are correct: no value where the value type admits None, int
# keys in a float tree. Every line from 18 on is a mistake.
ERRORS = {18: "insert", 19: "insert", 20: "search", 21: "irange", 22: "BTree", 23: "no_such_method",
          24: "dict"}

# The sorted list and set: mypy reads only the stubs, so this runs whether or
# not the module has the types yet.
USE_FAMILY = '''
from operator import neg

from btreemap import BTreeList, BTreeMap, BTreeSet

s = BTreeList([3, 1, 2])
reveal_type(s[0])
reveal_type(s[1:])
reveal_type(s.pop(0))
reveal_type(s.irange(1, 2, reverse=True))
reveal_type(s + [4])
reveal_type(s.remove_range(maximum=2))
k = BTreeList(["b", "A"], key=str.lower)
reveal_type(k.bisect_key_left("a"))
t = BTreeSet([1, 2], key=neg)
reveal_type(t | {"x"})
reveal_type(t & [1])
reveal_type(t.pop())
reveal_type(t <= {1})
reveal_type(t.islice(0, 1))
m = BTreeMap(str.lower, [("b", 1)])
reveal_type(m.irange_key("a", reverse=True))
reveal_type(m.bisect_key("a"))
s += [5, 6]
t -= {1}
objects: BTreeSet[object] = BTreeSet(key=id)
s.add("x")
BTreeList([object()])
BTreeSet([1], key=len)
t.union(1)
s.no_such_method()
'''

FAMILY_REVEALED = {
    7: "int",
    8: "list[int]",
    9: "int",
    10: "typing.Iterator[int]",
    11: "btreemap.BTreeList[int]",
    12: "int",
    14: "int",
    16: "btreemap.BTreeSet[int | str]",
    17: "btreemap.BTreeSet[int]",
    18: "int",
    19: "bool",
    20: "typing.Iterator[int]",
    22: "typing.Iterator[str]",
    23: "int",
}
# Lines 24 to 26 are correct: in-place operators, elements ordered by a key
# that are not ordered themselves. Every line from 27 on is a mistake.
FAMILY_ERRORS = {27: "add", 28: "BTreeList", 29: "key", 30: "union", 31: "no_such_method"}


@pytest.mark.parametrize("program, revealed_types, error_words", [(USE, REVEALED, ERRORS),
                                                                   (USE_FAMILY, FAMILY_REVEALED, FAMILY_ERRORS)],
                         ids=["btree", "family"])
def test_misuse_is_caught_with_precise_types(tmp_path, program, revealed_types, error_words):
    source = tmp_path / "use.py"
    source.write_text(program)
    code, out = mypy("--strict", "--show-error-codes", "--no-pretty", "--hide-error-context", str(source),
                     cwd=tmp_path)
    assert code == 1, out
    revealed, errors = {}, {}
    for line in out.splitlines():
        m = re.match(r".*use\.py:(\d+): (note|error): (.*)", line)
        if m and m.group(2) == "note" and m.group(3).startswith("Revealed type is"):
            # Older mypy releases spell out the builtins module.
            revealed[int(m.group(1))] = m.group(3).split('"')[1].replace("builtins.", "")
        elif m and m.group(2) == "error":
            errors.setdefault(int(m.group(1)), []).append(m.group(3))
    assert revealed == revealed_types, out
    assert sorted(errors) == sorted(error_words), out
    for line, word in error_words.items():
        assert any(word in message for message in errors[line]), (line, out)
