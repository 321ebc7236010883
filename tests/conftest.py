"""Fixtures shared by the suites.

Two builds of the same sources are installed: the shipped module ``btree`` and
the test build ``_btree_test``, which adds functions that look inside trees
(check, dump, pool counts, allocation failures). ``_btree_client`` is a C
extension that calls the capsule table the way a third-party client does.
"""

import importlib

import pytest

import _btree_client
import _btree_test
from helpers import TEST_CAPSULE, Key, check_tree


@pytest.fixture(params=["btree", "_btree_test"])
def mod(request):
    """Each module under test in turn: behaviour must not differ between them."""
    return importlib.import_module(request.param)


@pytest.fixture
def BTree(mod):
    return mod.BTree


@pytest.fixture
def bt():
    """The test build, for tests that look inside trees."""
    return _btree_test


@pytest.fixture
def check():
    return check_tree


@pytest.fixture
def dump():
    return _btree_test.dump


@pytest.fixture
def capi(mod):
    """The client, switched to the capsule table of the module under test."""
    if mod.__name__ == "btree":
        _btree_client.use_capsule(None)
    else:
        _btree_client.use_capsule(mod._C_API, TEST_CAPSULE)
    yield _btree_client
    _btree_client.use_capsule(None)


@pytest.fixture
def test_capi():
    """The client on the test build's table, for trees of the test build."""
    _btree_client.use_capsule(_btree_test._C_API, TEST_CAPSULE)
    yield _btree_client
    _btree_client.use_capsule(None)


@pytest.fixture
def key_hook():
    """Sets ``Key.hook`` for one test and always takes it away again."""

    def install(hook):
        Key.hook = hook

    yield install
    Key.hook = None
