# make test      sets up one virtual environment per Python (3.13 and 3.10),
#                builds the module with its test-only companions, runs every
#                test in each, then checks the packaging: sdist and wheel,
#                and the sdist installed into a fresh virtual environment.
# make test-all  the same on every supported Python (3.10 to 3.13).
# make test-3.12 the suite on one Python only (any of PYTHONS).
# make package   the packaging check alone.
# make bench     sets up .venv-bench, builds the shipped module and runs the
#                benchmark against the peers.
PYTHONS = 3.10 3.11 3.12 3.13
TEST_PYTHONS = 3.13 3.10
VENV ?= .venv
BENCH_VENV ?= .venv-bench
PIP_BUILD = -m pip install -q --no-build-isolation --force-reinstall --no-deps
# The 3.13 environment keeps the name .venv; the others are .venv-3.X.
venv = $(if $(filter 3.13,$(1)),$(VENV),.venv-$(1))

.PHONY: test test-all package bench clean $(PYTHONS:%=test-%)

test: $(TEST_PYTHONS:%=test-%) package

test-all: $(PYTHONS:%=test-%) package

$(PYTHONS:%=test-%): test-%:
	scripts/venv.sh $(call venv,$*) $* requirements/test.txt
	$(call venv,$*)/bin/python $(PIP_BUILD) -Cbuild-dir=build/test-$* -Ccmake.define.BTREE_BUILD_TESTING=ON .
	$(call venv,$*)/bin/python -m pytest -q $(PYTEST_ARGS)

# Needs only the environment: the check builds and installs its own copies.
package:
	scripts/venv.sh $(VENV) 3.13 requirements/test.txt
	$(VENV)/bin/python -m pytest -q --noconftest -m package tests/test_package.py

bench:
	scripts/venv.sh $(BENCH_VENV) 3.13 requirements/bench.txt
	$(BENCH_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/bench .
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build dist $(VENV) $(PYTHONS:%=.venv-%) $(BENCH_VENV)
