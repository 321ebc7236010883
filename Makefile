# make test      checks that no layer of the sources includes one above it,
#                sets up one virtual environment per Python (3.13, 3.10, and
#                the free-threaded 3.13t, built once into ~/.cache/btree when
#                none is found), builds the module with its test-only
#                companions, runs every test in each (3.13t with the
#                interpreter lock off), then checks the packaging: sdist and
#                wheel, and the sdist installed into a fresh environment;
#                last, builds the documentation site (make docs) with every
#                warning an error. 3.13 and 3.13t build with GCC; 3.10 is
#                the leg of make test-clang. The legs run two at a time
#                (make -j2, the longest first), each leg's output printed
#                whole once it ends: on two cores the run takes the time of
#                the longest leg plus about the next, not of all.
# make layers    the check of the include lines alone.
# make test-all  the same on every supported Python (3.10 to 3.13), all
#                with GCC.
# make test-3.12 the suite on one Python only (any of PYTHONS, or 3.13t).
# make test-clang  the suite on 3.10 built with Clang and libc++ (installed
#                when missing, scripts/clang.sh), warnings as errors, and
#                with BTREE_PUBLIC_API_ONLY: no interpreter structure read,
#                the public calls instead.
# make package   the packaging check alone.
# make bench     sets up .venv-bench, builds the shipped module and runs the
#                benchmark against the peers.
# make bench-threads  thread scaling of BTreeMap on 3.13t, and 3.13 beside.
PYTHONS = 3.10 3.11 3.12 3.13 3.13t
# The legs of make test, the longest first (3.13t may first build its
# interpreter): the 3.10 one is test-clang.
TEST_LEGS = 3.13t 3.13 clang
VENV ?= .venv
# The packaging check has an environment of its own, so that it may run
# beside the 3.13 leg.
PACKAGE_VENV ?= .venv-package
BENCH_VENV ?= .venv-bench
PIP_BUILD = -m pip install -q --no-build-isolation --force-reinstall --no-deps
# The 3.13 environment keeps the name .venv; the others are .venv-3.X.
venv = $(if $(filter 3.13,$(1)),$(VENV),.venv-$(1))
# The free-threaded interpreter runs with its lock off and without mypy,
# which it cannot install here.
requirements = requirements/$(if $(filter %t,$(1)),test-free,test).txt
run_env = $(if $(filter %t,$(1)),PYTHON_GIL=0)

.PHONY: test test-all layers package bench bench-threads clean test-clang $(PYTHONS:%=test-%)

test: layers
	$(MAKE) --no-print-directory -j2 --output-sync=target $(TEST_LEGS:%=test-%) package docs

test-all: layers $(PYTHONS:%=test-%) package

layers:
	scripts/check-layers.sh

$(PYTHONS:%=test-%): test-%:
	scripts/venv.sh $(call venv,$*) $* $(call requirements,$*)
	$(call venv,$*)/bin/python $(PIP_BUILD) -Cbuild-dir=build/test-$* -Ccmake.define.BTREE_BUILD_TESTING=ON .
	$(call run_env,$*) $(call venv,$*)/bin/python -m pytest -q $(PYTEST_ARGS)

CLANG_VENV ?= .venv-clang
CLANG_BUILD = -Ccmake.define.CMAKE_C_COMPILER=clang -Ccmake.define.CMAKE_CXX_COMPILER=clang++ \
	-Ccmake.define.BTREE_LIBCXX=ON -Ccmake.define.BTREE_WERROR=ON -Ccmake.define.BTREE_PUBLIC_API_ONLY=ON

# The test build knows it was asked for the public calls only; the suite is
# told to expect so.
test-clang:
	scripts/clang.sh
	scripts/venv.sh $(CLANG_VENV) 3.10 requirements/test.txt
	$(CLANG_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/test-clang $(TEST_BUILD) $(CLANG_BUILD) .
	BTREE_EXPECT_PUBLIC_API_ONLY=1 $(CLANG_VENV)/bin/python -m pytest -q $(PYTEST_ARGS)

# Needs only the environment: the check builds and installs its own copies.
package:
	scripts/venv.sh $(PACKAGE_VENV) 3.13 requirements/test.txt
	$(PACKAGE_VENV)/bin/python -m pytest -q --noconftest -m package tests/test_package.py

# Thread scaling: on the free-threaded 3.13t with the lock off, then on 3.13
# for the single-thread cost with the lock (bench/threads.py).
bench-threads:
	scripts/venv.sh $(BENCH_VENV)-3.13t 3.13t requirements/build.txt
	$(BENCH_VENV)-3.13t/bin/python $(PIP_BUILD) -Cbuild-dir=build/bench-3.13t .
	PYTHON_GIL=0 $(BENCH_VENV)-3.13t/bin/python bench/threads.py $(BENCH_ARGS)
	scripts/venv.sh $(BENCH_VENV) 3.13 requirements/bench.txt
	$(BENCH_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/bench .
	$(BENCH_VENV)/bin/python bench/threads.py $(BENCH_ARGS)

bench:
	scripts/venv.sh $(BENCH_VENV) 3.13 requirements/bench.txt
	$(BENCH_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/bench .
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build dist $(VENV) $(PACKAGE_VENV) $(PYTHONS:%=.venv-%) $(CLANG_VENV) $(BENCH_VENV)

# Reliability checks, each in an environment and build directory of its own
# (Python 3.13):
# make test-asan      the whole suite on a build with AddressSanitizer and
#                     UndefinedBehaviorSanitizer (about 12 minutes).
# make test-valgrind  a subset under valgrind memcheck; fails on any error
#                     whose stacks reach the module's code.
# make test-long      10**7 int keys, 10**6 str keys and 10**7 operations of
#                     the differential model test.
# make coverage       line and branch coverage of src/ from the whole suite;
#                     fails under 95% of lines.
ASAN_VENV ?= .venv-asan
VALGRIND_VENV ?= .venv-valgrind
LONG_VENV ?= .venv-long
COVERAGE_VENV ?= .venv-cov
TEST_BUILD = -Ccmake.define.BTREE_BUILD_TESTING=ON
# The interpreter is not instrumented: the sanitizer runtime is preloaded and
# Python's own allocator is bypassed so that every block is watched.
ASAN_ENV = LD_PRELOAD=$(shell c++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:malloc_context_size=5 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
VALGRIND_TESTS ?= tests/test_memory_steady.py tests/test_capsule.py tests/test_delete.py tests/test_iteration.py \
	tests/test_hostile_keys.py::test_finaliser_run_by_a_mutation tests/test_scale.py::test_recursion_limit_reached_inside_the_module
VALGRIND_LOG = build/valgrind/memcheck.log

.PHONY: test-asan test-valgrind test-long coverage test-tsan clean-checks

# make test-tsan      the thread tests (the stress test for 8 s a run: the
#                     sanitizer slows every call) on a build with ThreadSanitizer,
#                     against a free-threaded 3.13 built with it (once, into
#                     ~/.cache/btree, about 20 minutes); fails on any report
#                     whose stacks reach the module's code.
TSAN_PREFIX ?= $(HOME)/.cache/btree/python-3.13.5t-tsan
TSAN_VENV ?= .venv-tsan
TSAN_TESTS ?= tests/test_threads.py
TSAN_LOGS = build/tsan/logs
TSAN_SUPPRESSIONS = build/tsan/suppressions.txt
TSAN_FLAGS = -fsanitize=thread -g -O1

test-asan:
	scripts/venv.sh $(ASAN_VENV) 3.13 requirements/test.txt
	$(ASAN_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/asan $(TEST_BUILD) -Ccmake.define.BTREE_SANITIZE=ON .
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

test-valgrind:
	scripts/venv.sh $(VALGRIND_VENV) 3.13 requirements/test.txt
	$(VALGRIND_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/valgrind -Ccmake.build-type=RelWithDebInfo $(TEST_BUILD) .
	PYTHONMALLOC=malloc valgrind -q --tool=memcheck --leak-check=no --num-callers=40 --log-file=$(VALGRIND_LOG) \
		$(VALGRIND_VENV)/bin/python -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	@sed 's/^==[0-9]*== \{0,1\}//' $(VALGRIND_LOG) | awk -v RS= '/[Bb][Tt]ree|introspect/ { print; print ""; n++ } \
		END { print n + 0, "memcheck errors reach the module (all errors: $(VALGRIND_LOG))"; exit n > 0 }'

test-long:
	scripts/venv.sh $(LONG_VENV) 3.13 requirements/test.txt
	$(LONG_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/long $(TEST_BUILD) .
	BTREE_LONG=1 $(LONG_VENV)/bin/python -m pytest -q -s -p no:cacheprovider tests/test_scale.py tests/test_model_long.py

# The interpreter reports races of its own in pip's subprocesses: they are
# logged, not fatal, while the environment is set up and the module built.
test-tsan:
	test -x $(TSAN_PREFIX)/bin/python3.13t || scripts/free-threaded-python.sh $(TSAN_PREFIX) --with-thread-sanitizer
	mkdir -p $(TSAN_LOGS) && rm -f $(TSAN_LOGS)/*
	tar -xJOf $(HOME)/.cache/btree/python-src/Python-3.13.5.tar.xz \
		Python-3.13.5/Tools/tsan/suppressions_free_threading.txt > $(TSAN_SUPPRESSIONS)
	export TSAN_OPTIONS="suppressions=$(CURDIR)/$(TSAN_SUPPRESSIONS) exitcode=0 log_path=$(CURDIR)/build/tsan/setup"; \
	test -x $(TSAN_VENV)/bin/python || $(TSAN_PREFIX)/bin/python3.13t -m venv $(TSAN_VENV) && \
	$(TSAN_VENV)/bin/python -m pip install -q --only-binary=hypothesis -r requirements/test-free.txt && \
	CFLAGS="$(TSAN_FLAGS)" CXXFLAGS="$(TSAN_FLAGS)" LDFLAGS=-fsanitize=thread \
		$(TSAN_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/tsan/build -Ccmake.build-type=RelWithDebInfo $(TEST_BUILD) .
	TSAN_OPTIONS="suppressions=$(CURDIR)/$(TSAN_SUPPRESSIONS) exitcode=0 log_path=$(CURDIR)/$(TSAN_LOGS)/report" \
		PYTHON_GIL=0 BTREE_STRESS_SECONDS=8 $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(TSAN_TESTS)
	@cat $(TSAN_LOGS)/report.* 2>/dev/null | awk -v RS='==================' '/btree|btreemap|src\/(ops|nodes|keys|bulk)/ { print; n++ } \
		END { print n + 0, "ThreadSanitizer reports reach the module (all reports: $(TSAN_LOGS))"; exit n > 0 }'

# A fresh build: notes of sources since removed would otherwise stop gcovr.
coverage:
	scripts/venv.sh $(COVERAGE_VENV) 3.13 requirements/coverage.txt
	rm -rf build/cov
	$(COVERAGE_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/cov -Ccmake.build-type=Debug $(TEST_BUILD) \
		-Ccmake.define.CMAKE_CXX_FLAGS=--coverage -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=--coverage .
	find build/cov -name '*.gcda' -delete
	$(COVERAGE_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
	$(COVERAGE_VENV)/bin/gcovr -r . --filter 'src/' --exclude-unreachable-branches --merge-lines --txt-metric branch \
		build/cov/CMakeFiles/_btree_test.dir
	$(COVERAGE_VENV)/bin/gcovr -r . --filter 'src/' --exclude-unreachable-branches --merge-lines --fail-under-line 95 \
		build/cov/CMakeFiles/_btree_test.dir

clean: clean-checks
clean-checks:
	rm -rf $(ASAN_VENV) $(VALGRIND_VENV) $(LONG_VENV) $(COVERAGE_VENV) $(TSAN_VENV)

# The documentation site (Python 3.13):
# make docs        sets up .venv-docs, builds and installs the shipped module
#                  into it and builds the site with Sphinx into
#                  docs/_build/html, every warning an error.
# make docs-check  opens the built pages in headless Chromium (Debian's
#                  package, installed by scripts/chromium.sh when missing):
#                  screenshots into docs/_build/html/_screenshots, and fails
#                  on a broken internal link, a missing image or an empty
#                  reference section.
DOCS_VENV ?= .venv-docs

.PHONY: docs docs-check

# A fresh environment (-E): autodoc reads the module, whose changes Sphinx
# does not see.
docs:
	scripts/venv.sh $(DOCS_VENV) 3.13 requirements/docs.txt
	$(DOCS_VENV)/bin/python $(PIP_BUILD) -Cbuild-dir=build/docs .
	$(DOCS_VENV)/bin/python -m sphinx -W --keep-going -E -q -b html docs docs/_build/html

docs-check: docs
	CHROMIUM=$$(scripts/chromium.sh) $(DOCS_VENV)/bin/python -m pytest -q -p no:cacheprovider --noconftest \
		-m site tests/test_docs_site.py

# Wheels, in an environment of their own tools (.venv-wheels, Python 3.13):
# make wheels       a wheel for each CPython 3.10 to 3.13 found here, and the
#                   free-threaded 3.13t when one is installed (none is built
#                   for it), repaired to a manylinux tag in dist/wheels/,
#                   checked and smoke-tested in a fresh environment each
#                   (scripts/wheels.py); not part of make test.
#                   WHEELS_PYTHONS="3.12 3.13t" builds those only.
# make wheels-plan  the release job's cibuildwheel builds for Linux, macOS
#                   and Windows, from [tool.cibuildwheel] in pyproject.toml.
WHEELS_VENV ?= .venv-wheels

.PHONY: wheels wheels-plan clean-wheels

wheels:
	scripts/venv.sh $(WHEELS_VENV) 3.13 requirements/wheels.txt
	$(WHEELS_VENV)/bin/python scripts/wheels.py $(WHEELS_PYTHONS)

wheels-plan:
	scripts/venv.sh $(WHEELS_VENV) 3.13 requirements/wheels.txt
	$(WHEELS_VENV)/bin/python scripts/wheels.py --plan

clean: clean-wheels
clean-wheels:
	rm -rf $(WHEELS_VENV)
