"""The examples of the documentation site: every `pycon` block of every page
under docs/ runs as a doctest, the blocks of one page in one namespace and in
order, and so do the examples of the btreemap docstrings that the reference
pages render. The page mapping sortedcontainers, dict, set and list onto
these types names every call of theirs."""

import doctest
import re
from pathlib import Path

import pytest
import sortedcontainers

import btreemap

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(path for path in DOCS.rglob("*.md") if "_build" not in path.parts)
FENCE = re.compile(r"^\s*(`{3,}|~{3,})\s*(\S*)")
FLAGS = doctest.ELLIPSIS


def pycon_text(path):
    """The page with every line outside a `pycon` fence blanked, so that the
    doctest parser sees only the examples and reports the page's own line
    numbers."""
    lines, fence = [], None
    for line in path.read_text(encoding="utf-8").splitlines():
        match = FENCE.match(line)
        if fence is None and match and match.group(2) == "pycon":
            fence = match.group(1)
            lines.append("")
        elif fence is not None and line.strip() == fence:
            fence = None
            lines.append("")
        else:
            lines.append(line if fence is not None else "")
    return "\n".join(lines) + "\n"


def run_examples(test):
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    failures = []
    runner.run(test, out=failures.append)
    return runner.summarize(verbose=False), "".join(failures)


@pytest.mark.parametrize("page", [p for p in PAGES if ">>> " in pycon_text(p)],
                         ids=lambda p: str(p.relative_to(DOCS)))
def test_page_examples(page):
    test = doctest.DocTestParser().get_doctest(pycon_text(page), {"__name__": "__docs__"},
                                               str(page.relative_to(DOCS)), str(page), 0)
    results, report = run_examples(test)
    assert results.attempted > 0
    assert results.failed == 0, report


def test_no_example_outside_the_pycon_fences():
    """An example in another fence, or in the text, is one that nothing runs."""
    stray = [f"{page.relative_to(DOCS)}:{number}"
             for page in PAGES
             for number, (line, kept) in enumerate(zip(page.read_text(encoding="utf-8").splitlines(),
                                                       pycon_text(page).splitlines()), 1)
             if ">>>" in line and not kept]
    assert stray == []


_MAP = btreemap.BTreeMap()
DOCUMENTED = [btreemap.BTreeMap, btreemap.BTreeList, btreemap.BTreeSet,
              type(_MAP.keys()), type(_MAP.values()), type(_MAP.items())]


@pytest.mark.parametrize("cls", DOCUMENTED, ids=lambda cls: cls.__name__)
def test_docstring_examples(cls):
    for test in doctest.DocTestFinder(recurse=True).find(cls, cls.__name__, module=False,
                                                         globs={**vars(btreemap)}):
        results, report = run_examples(test)
        assert results.failed == 0, report


# How the coming-from page spells each operator of the peers, as regular
# expressions over its Markdown ("|" is escaped in tables).
SPELLINGS = {
    "__getitem__": r"\w\[\w", "__setitem__": r"\w\[\w+\] = ", "__delitem__": r"del \w+\[",
    "__contains__": r"\w in \w", "__len__": r"len\(", "__iter__": r"iter\(", "__reversed__": r"reversed\(",
    "__copy__": r"copy\.copy\(",
    "__or__": r"\w \\?\| \w", "__ror__": r"other \\?\| \w", "__ior__": r"\\?\|= ",
    "__and__": r"\w & \w", "__rand__": r"other & \w", "__iand__": r"&= ",
    "__sub__": r"\w - \w", "__rsub__": r"other - \w", "__isub__": r"-= ",
    "__xor__": r"\w \^ \w", "__rxor__": r"other \^ \w", "__ixor__": r"\^= ",
    "__add__": r"\w \+ \w", "__radd__": r"other \+ \w", "__iadd__": r"\+= ",
    "__mul__": r"\w \* n", "__rmul__": r"n \* \w", "__imul__": r"\*= ",
}
NOT_CALLS = {"__dict__", "__module__", "__weakref__", "__slots__", "__abstractmethods__", "__firstlineno__",
             "__static_attributes__", "__class_getitem__"}


def public_calls(names):
    """The regular expression that finds each public call among `names` in a
    table: the name of a method, the spelling of an operator."""
    calls = {name: rf"\b{name}\b" for name in names if not name.startswith("_")}
    for name in names - set(dir(object)) - NOT_CALLS:
        if name.startswith("__"):
            calls[name] = SPELLINGS[name]
    return calls


PEERS = [sortedcontainers.SortedDict, sortedcontainers.SortedList, sortedcontainers.SortedKeyList,
         sortedcontainers.SortedSet, dict, set, frozenset, list]


@pytest.mark.parametrize("peer", PEERS, ids=lambda cls: cls.__name__)
def test_coming_from_names_every_call(peer):
    """Each call of the peer, those it gives its instances included, appears
    in the table of its section."""
    page = (DOCS / "coming-from.md").read_text(encoding="utf-8")
    section = re.search(rf"<!-- calls: [^>]*\b{peer.__name__}\b[^>]*-->(.*?)<!-- end -->", page, re.S)
    assert section, f"no table of {peer.__name__}'s calls"
    instance = peer() if peer is not sortedcontainers.SortedKeyList else peer(key=abs)
    calls = public_calls(set(dir(peer)) | set(dir(instance)))
    missing = sorted(name for name, spelling in calls.items() if not re.search(spelling, section.group(1)))
    assert missing == []
