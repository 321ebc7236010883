# make test   sets up .venv (python3.13), builds the module with its test-only
#             companions and runs every test.
# make bench  sets up .venv-bench, builds the shipped module and runs the
#             benchmark against the peers.
VENV ?= .venv
BENCH_VENV ?= .venv-bench
PIP_BUILD = -m pip install -q --no-build-isolation --force-reinstall --no-deps

.PHONY: test bench clean

test:
	scripts/venv.sh $(VENV) requirements/test.txt
	$(VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/test -Ccmake.define.BTREE_BUILD_TESTING=ON .
	$(VENV)/bin/python -m pytest -q $(PYTEST_ARGS)

bench:
	scripts/venv.sh $(BENCH_VENV) requirements/bench.txt
	$(BENCH_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/bench .
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(BENCH_VENV)
