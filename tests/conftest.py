"""Fixtures shared by the suites.

Two builds of the same sources are installed: the shipped module ``btree`` and
the test build ``_btree_test``, which adds functions that look inside trees
(check, dump, pool counts, allocation failures). ``_btree_client`` is a C
extension that calls the capsule table the way a third-party client does.
``make test-3.13`` installs all three; a plain ``pytest`` with only ``btree``
installed runs the tests of ``btree`` alone and skips the others.
"""

import importlib

import pytest

from helpers import SURFACES, TEST_CAPSULE, Key, check_tree, from_test_build


def pytest_sessionstart(session):
    try:
        importlib.import_module("btree")
    except ImportError as error:
        pytest.exit(f"{error}: install it (pip install .), or run `make test-3.13`, which builds it "
                    "with the test-only modules and runs the tests")


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
    client = from_test_build("_btree_client")
    if mod.__name__ == "btree":
        client.use_capsule(None)
    else:
        client.use_capsule(mod._C_API, TEST_CAPSULE)
    yield client
    client.use_capsule(None)


@pytest.fixture
def test_capi(bt):
    """The client on the test build's table, for trees of the test build."""
    client = from_test_build("_btree_client")
    client.use_capsule(bt._C_API, TEST_CAPSULE)
    yield client
    client.use_capsule(None)


@pytest.fixture
def key_hook():
    """Sets ``Key.hook`` for one test and always takes it away again."""

    def install(hook):
        Key.hook = hook

    yield install
    Key.hook = None
