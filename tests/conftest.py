"""Fixtures shared by the suites.

Two builds of the same sources are installed: the shipped modules ``btree``
and ``btreemap``, and the test build ``_btree_test``, which adds functions
that look inside trees (check, dump, pool counts, allocation failures).
``_btree_client`` is a C extension that calls the capsule table the way a
third-party client does. ``make test-3.13`` installs all three. A plain
``pytest`` where only the shipped modules are installed (``pip install
.[test]``) builds the client for the session, runs every behaviour test on
the shipped modules, skips the tests that need the test build, and says how
many at the top of its output.
"""

import importlib

import pytest

from helpers import CLIENT, NO_TEST_BUILD, SURFACES, Key, _btree_client, _btree_test, check_tree, from_test_build, \
    use_capsule_of

# Fixtures that reach into the test build: a test that takes one needs it.
TEST_BUILD_FIXTURES = {"bt", "check", "dump", "test_capi"}
BUILD_FLAG = "-Ccmake.define.BTREE_BUILD_TESTING=ON"


def pytest_configure(config):
    config.addinivalue_line("markers", "test_build: looks inside trees through the test-only build _btree_test")


def pytest_sessionstart(session):
    try:
        importlib.import_module("btree")
    except ImportError as error:
        pytest.exit(f"{error}: install it (pip install .), or run `make test-3.13`, which builds it "
                    "with the test-only modules and runs the tests")


def test_build_need(item):
    """Why a test needs the test build: "invariants" where it looks inside
    trees, "rerun" where it is a behaviour test's run on the test build, or
    None."""
    callspec = getattr(item, "callspec", None)
    if item.get_closest_marker("test_build") or not TEST_BUILD_FIXTURES.isdisjoint(item.fixturenames):
        return "invariants"
    if callspec is not None and callspec.params.get("mod") == "_btree_test":
        return "rerun"
    return None


def pytest_collection_modifyitems(config, items):
    """Without the test build, skips the tests that need it (before any
    other reason to skip, such as an empty table of node shapes)."""
    if _btree_test is not None:
        return
    skip = pytest.mark.skip(reason=NO_TEST_BUILD)
    for item in items:
        if test_build_need(item):
            item.add_marker(skip, append=False)


def pytest_report_collectionfinish(config, start_path, items):
    """One line at the top of the output, shown under -q too: whether the
    tests run against the test build, and what is skipped without it."""
    client = "" if CLIENT == "installed" else f", C API client {CLIENT}"
    if _btree_test is not None:
        return f"btree: test-only build found: all {len(items)} tests run, internal invariant checks included{client}"
    needs = [test_build_need(item) for item in items]
    return (f"btree: test-only build not found: {needs.count('invariants')} tests of internal invariants and "
            f"{needs.count('rerun')} reruns of behaviour tests on it are skipped; the other {needs.count(None)} run "
            f"on the installed btree and btreemap{client}; build with {BUILD_FLAG} (make test-3.13) to run them all")


@pytest.fixture(params=["btree", "_btree_test"])
def mod(request):
    """Each module under test in turn: behaviour must not differ between them."""
    if request.param == "btree":
        return importlib.import_module("btree")
    return from_test_build(request.param)


@pytest.fixture
def BTree(mod):
    return mod.BTree


@pytest.fixture
def BTreeMap(mod):
    """The map type of the build under test (btreemap beside the shipped btree)."""
    if mod.__name__ == "btree":
        return importlib.import_module("btreemap").BTreeMap
    return mod.BTreeMap


@pytest.fixture(params=SURFACES, ids=lambda surface: surface.name)
def surface(request):
    """Each sorted type's record in turn (see helpers.SURFACES)."""
    return request.param


@pytest.fixture
def Type(surface, mod):
    """The type of the surface under test, in the build under test."""
    return surface.type_in(mod)


@pytest.fixture
def bt():
    """The test build, for tests that look inside trees."""
    return from_test_build("_btree_test")


@pytest.fixture
def check(bt):
    return check_tree


@pytest.fixture
def dump(bt):
    return bt.dump


@pytest.fixture
def capi(mod):
    """The client, switched to the capsule table of the module under test."""
    use_capsule_of(mod)
    yield _btree_client
    _btree_client.use_capsule(None)


@pytest.fixture
def test_capi(bt):
    """The client on the test build's table, for trees of the test build."""
    use_capsule_of(bt)
    yield _btree_client
    _btree_client.use_capsule(None)


@pytest.fixture
def key_hook():
    """Sets ``Key.hook`` for one test and always takes it away again."""

    def install(hook):
        Key.hook = hook

    yield install
    Key.hook = None
