"""The docstrings of btreemap's types, which help() shows and the reference
renders: every call has one and a signature that inspect reads, the names in
it are those the call takes by name, each says what it costs, and every
example in them runs as shown."""

import doctest
import importlib
import inspect
import types

import pytest

# Dunders whose docstrings need neither a cost nor an example.
TRIVIAL = {"__class_getitem__"}

# The calls that a map answers only with a key function.
KEYED_MAP_CALLS = ("bisect_key_left", "bisect_key_right", "bisect_key", "irange_key")

# A fresh object of each type of the module, and an argument it holds, for
# calls made by name.
SAMPLES = {
    "BTreeMap": (lambda mod: mod.BTreeMap({1: "a", 2: "b"}), 1),
    "BTreeMapKeys": (lambda mod: mod.BTreeMap({1: "a", 2: "b"}).keys(), 1),
    "BTreeMapValues": (lambda mod: mod.BTreeMap({1: "a", 2: "b"}).values(), "a"),
    "BTreeMapItems": (lambda mod: mod.BTreeMap({1: "a", 2: "b"}).items(), (1, "a")),
    "_BTreeMapIter": (lambda mod: iter(mod.BTreeMap({1: "a", 2: "b"})), 1),
    "BTreeList": (lambda mod: mod.BTreeList([1, 2, 2]), 1),
    "BTreeSet": (lambda mod: mod.BTreeSet([1, 2]), 1),
}


@pytest.fixture(params=["btreemap", "_btree_test"])
def module(request):
    """The shipped module, then the test build, which compiles the same
    sources under another name."""
    return pytest.importorskip(request.param)


def types_of(mod):
    m = mod.BTreeMap()
    return [mod.BTreeMap, type(m.keys()), type(m.values()), type(m.items()), type(iter(m)), mod.BTreeList,
            mod.BTreeSet]


def members(mod):
    """(owner, name, entry, attribute) for every public attribute that a type
    of `mod` defines: entry as the type's dict holds it, attribute as the
    type gives it."""
    for owner in types_of(mod):
        for name, entry in vars(owner).items():
            if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
                continue
            attribute = getattr(owner, name)
            if callable(attribute) or isinstance(entry, types.GetSetDescriptorType):
                yield owner, name, entry, attribute


def written_here(mod):
    """(label, object) for every docstring the module writes: the types', their
    methods' and their attributes'. Slots such as __getitem__ keep the
    interpreter's own words; the types' docstrings say what they cost."""
    for owner in types_of(mod):
        yield owner.__name__, owner
    for owner, name, entry, attribute in members(mod):
        if isinstance(entry, (types.MethodDescriptorType, types.ClassMethodDescriptorType,
                              types.GetSetDescriptorType)):
            yield f"{owner.__name__}.{name}", entry
    keyed = mod.BTreeMap(abs)
    for name in KEYED_MAP_CALLS:
        yield f"BTreeMap(key).{name}", getattr(keyed, name)
    if mod.__name__ == "btreemap":
        yield "btreemap", mod


def callables(mod):
    """(label, make) for every public call: the types, their methods and
    slots, and the calls of a map with a key function. make() gives the call,
    on a fresh object, and an argument that the object holds."""
    for owner in (mod.BTreeMap, mod.BTreeList, mod.BTreeSet):
        yield owner.__name__, lambda owner=owner: (owner, 1)
    for owner, name, entry, attribute in members(mod):
        if callable(attribute):
            make, held = SAMPLES[owner.__name__]
            yield f"{owner.__name__}.{name}", \
                lambda make=make, held=held, name=name: (getattr(make(mod), name), held)
    for name in KEYED_MAP_CALLS:
        yield f"BTreeMap(key).{name}", lambda name=name: (getattr(mod.BTreeMap(abs, {1: "a", -2: "b"}), name), 1)


def test_every_call_has_a_docstring_and_a_signature(module):
    labels = []
    for label, obj in written_here(module):
        assert obj.__doc__ and obj.__doc__.strip(), label
        labels.append(label)
    for owner, name, entry, attribute in members(module):
        assert attribute.__doc__ and attribute.__doc__.strip(), f"{owner.__name__}.{name}"
        if callable(attribute):
            inspect.signature(attribute)
    for name in KEYED_MAP_CALLS:
        inspect.signature(getattr(module.BTreeMap(abs), name))
    assert str(inspect.signature(module.BTreeList)) == "(iterable=None, key=None)"
    assert str(inspect.signature(module.BTreeMap.get)) == "(self, key, default=None, /)"
    assert str(inspect.signature(module.BTreeMap(abs).irange_key)) == \
        "(min_key=None, max_key=None, inclusive=(True, True), reverse=False)"
    assert {"BTreeMap", "BTreeMap.fromsorted", "BTreeMap.key", "BTreeMapKeys.isdisjoint", "_BTreeMapIter",
            "_BTreeMapIter.__length_hint__", "BTreeList.add", "BTreeSet.union", "BTreeSet.key",
            "BTreeMap(key).irange_key"} <= set(labels)


def test_signature_names_are_the_names_calls_take(module):
    """A parameter that the signature lets come by name is taken by that
    name (its default given, the positional-only ones before it given an
    element held), and a positional-only one is refused by name."""
    checked = 0
    for label, make in callables(module):
        call, held = make()
        parameters = list(inspect.signature(call).parameters.values())
        if any(p.kind is p.VAR_KEYWORD for p in parameters):
            continue
        before = [held for p in parameters if p.kind is p.POSITIONAL_ONLY and p.default is p.empty]
        for p in parameters:
            call, held = make()
            if p.kind is p.POSITIONAL_ONLY:
                with pytest.raises(TypeError, match="keyword"):
                    call(**{p.name: held})
            elif p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY):
                try:
                    call(*before, **{p.name: p.default})
                except TypeError as error:
                    pytest.fail(f"{label}({p.name}=...): {error}")
                except (KeyError, ValueError, IndexError, NotImplementedError):
                    pass
            checked += 1
    assert checked > 100


@pytest.mark.parametrize("type_name, sorted_name", [
    ("BTreeMap", "SortedDict"), ("BTreeList", "SortedList"), ("BTreeSet", "SortedSet")])
def test_names_by_keyword_are_sortedcontainers_names(module, type_name, sorted_name):
    """Where a call of sortedcontainers' peer type has the same name, what
    ours takes by name stands at the same place under the same name."""
    sortedcontainers = pytest.importorskip("sortedcontainers")
    ours, theirs = getattr(module, type_name)(), getattr(sortedcontainers, sorted_name)()
    compared = 0
    for name in dir(ours):
        if name.startswith("_") or not callable(getattr(ours, name, None)) or not hasattr(theirs, name):
            continue
        mine = list(inspect.signature(getattr(ours, name)).parameters.values())
        try:
            peer = list(inspect.signature(getattr(theirs, name)).parameters)
        except ValueError:
            # A call the peer takes from set, whose signature 3.10 cannot read.
            continue
        for at, p in enumerate(mine):
            if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY):
                assert at < len(peer) and peer[at] == p.name, f"{type_name}.{name}: {p.name}"
                compared += 1
    assert compared >= 4


def test_docstrings_state_a_cost_and_show_an_example(module):
    missing = [label for label, obj in written_here(module)
               if label.rpartition(".")[2] not in TRIVIAL and not ("O(" in obj.__doc__ and ">>> " in obj.__doc__)]
    assert missing == []


def test_examples_run_as_shown(module):
    globs = {"BTreeMap": module.BTreeMap, "BTreeList": module.BTreeList, "BTreeSet": module.BTreeSet}
    finder = doctest.DocTestFinder(recurse=False, exclude_empty=True)
    runner = doctest.DocTestRunner()
    report = []
    examples = 0
    for label, obj in written_here(module):
        for test in finder.find(obj, label, module=False, globs=globs):
            examples += len(test.examples)
            runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
    assert examples > 150
