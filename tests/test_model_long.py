"""The differential model test of test_model.py, run for a chosen number of
tree operations over every sorted type and family of keys, with the
invariant checks at intervals.

BTREE_MODEL_OPERATIONS (default 10**6, or 10**7 with BTREE_LONG=1 as make
test-long sets it; shared among the types and families) sets the number of operations:
each step of the state machine counts as one, or as many as the items it
added or removed, whichever is more. BTREE_MODEL_CHECK_EVERY (default 10)
sets how many steps pass between two checks of every invariant; the last
state of every run is checked too.
"""

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import invariant, run_state_machine_as_test

from test_model import KEY_FAMILIES, VALUED, machine_for

LONG = os.environ.get("BTREE_LONG") == "1"
OPERATIONS = int(os.environ.get("BTREE_MODEL_OPERATIONS", 10**7 if LONG else 10**6))
CHECK_EVERY = int(os.environ.get("BTREE_MODEL_CHECK_EVERY", 10))


def sparse_machine(surface, family):
    """The model machine of one type and family, counting its steps and
    operations and checking the invariants on every CHECK_EVERY-th step."""
    base = machine_for(surface, *KEY_FAMILIES[family])

    class Sparse(base):
        steps = 0
        operations = 0

        def __init__(self):
            super().__init__()
            self.size = 0

        def key(self, data):
            # As the base class does, but drawing an index: sampling from a
            # list costs hypothesis time in proportion to its length.
            if self.model and data.draw(st.booleans(), label="existing"):
                held = list(self.model)
                return held[data.draw(st.integers(0, len(held) - 1), label="key index")]
            return base.key(self, data)

        @invariant()
        def matches_the_model(self):
            Sparse.steps += 1
            Sparse.operations += max(1, abs(len(self.model) - self.size))
            self.size = len(self.model)
            if Sparse.steps % CHECK_EVERY == 0:
                super().matches_the_model()
                super().iterates_in_order()

        @invariant()
        def iterates_in_order(self):
            pass  # checked together with the model above

        def teardown(self):
            super().matches_the_model()
            super().iterates_in_order()
            super().teardown()

    return Sparse


@pytest.mark.parametrize("surface", VALUED, ids=lambda surface: surface.name)
@pytest.mark.parametrize("family", KEY_FAMILIES)
def test_long_differential_run(surface, family):
    machine = sparse_machine(surface, family)
    while machine.operations < OPERATIONS // (len(VALUED) * len(KEY_FAMILIES)):
        run_state_machine_as_test(
            machine,
            settings=settings(
                max_examples=10,
                stateful_step_count=200,
                deadline=None,
                database=None,
                suppress_health_check=list(HealthCheck),
            ),
        )
    print(f"{surface.name}, {family}: {machine.operations} operations in {machine.steps} steps")
