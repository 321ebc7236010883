"""The programs in examples/: each runs as a script, and what each computes
agrees with a plain Python model of the same data."""

import importlib.util
import os
import random
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
C_CLIENT = EXAMPLES / "c_client"
SCRIPTS = ["leaderboard.py", "time_window.py", "word_frequency.py"]


def load(path):
    module_spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def run(script, *args, env=None, cwd):
    """Runs a script and returns its output; it must succeed."""
    proc = subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("script", SCRIPTS)
def test_script_runs(script, tmp_path):
    out = run(EXAMPLES / script, cwd=tmp_path)
    assert out.count("\n") >= 5


def test_word_frequency_reads_a_file(tmp_path):
    text = tmp_path / "text.txt"
    text.write_text("b a b c b a\n", encoding="utf-8")
    out = run(EXAMPLES / "word_frequency.py", str(text), cwd=tmp_path)
    assert out.splitlines()[:2] == ["6 words, 3 distinct", "most frequent: [('b', 3), ('a', 2), ('c', 1)]"]


leaderboard = load(EXAMPLES / "leaderboard.py")
time_window = load(EXAMPLES / "time_window.py")
word_frequency = load(EXAMPLES / "word_frequency.py")

names = st.sampled_from(["ada", "bob", "cy", "di", "eve", "fay", "gus", "hal"])


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(names, st.integers(0, 20)), min_size=1, max_size=40),
       st.integers(0, 20), st.integers(0, 20))
def test_leaderboard_agrees_with_a_dict(records, low, high):
    board = leaderboard.Leaderboard()
    scores = {}
    for name, score in records:
        board.record(name, score)
        scores[name] = score
    assert len(board) == len(scores)
    for name, score in scores.items():
        assert board.rank(name) == 1 + sum(s > score for s in scores.values())
    ordered = sorted(scores.items(), key=lambda item: (-item[1], item[0]))
    assert board.top(3) == ordered[:3]
    assert board.scoring_between(low, high) == [n for n, s in ordered if low <= s <= high]


@settings(max_examples=60, deadline=None)
@given(st.sets(st.integers(0, 10 * time_window.MINUTE), max_size=200),
       st.integers(0, 10 * time_window.MINUTE), st.integers(0, 3 * time_window.MINUTE))
def test_request_log_agrees_with_a_sorted_list(stamps, start, span):
    log = time_window.RequestLog()
    for t in stamps:
        log.record(t, f"/{t % 7}")
    ordered = sorted(stamps)
    inside = [t for t in ordered if start <= t < start + span]
    assert log.count(start, start + span) == len(inside)
    assert log.between(start, start + span) == [(t, f"/{t % 7}") for t in inside]
    minute = time_window.MINUTE
    assert log.per_minute(start, 3) == [
        sum(start + i * minute <= t < start + (i + 1) * minute for t in ordered) for i in range(3)]
    assert log.expire(start) == sum(t < start for t in ordered)
    assert len(log) == sum(t >= start for t in ordered)
    assert log.count(0, start) == 0


@settings(max_examples=60, deadline=None)
@given(st.text(alphabet="abc xyz'.,\n", max_size=300), st.text(alphabet="abcxyz", min_size=1, max_size=2))
def test_word_counts_agree_with_counter(text, prefix):
    counts = word_frequency.count_words(text)
    expected = Counter(w for w in text.lower().replace(".", " ").replace(",", " ").split())
    assert dict(counts.items()) == expected
    assert list(counts.keys()) == sorted(expected)
    assert word_frequency.with_prefix(counts, prefix) == sorted(w for w in expected if w.startswith(prefix))
    ranked = word_frequency.by_frequency(counts)
    assert [(w, -n) for n, w in ranked.keys()] == sorted(expected.items(), key=lambda i: (-i[1], i[0]))


@pytest.fixture(scope="module")
def rankstats(tmp_path_factory):
    """The C client example, built the way its setup.py builds it, with every
    warning an error, and imported from where it was built."""
    out = tmp_path_factory.mktemp("rankstats")
    env = dict(os.environ, CFLAGS="-Wall -Wextra -Werror")
    proc = subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--build-lib", str(out / "lib"),
                           "--build-temp", str(out / "tmp")], cwd=C_CLIENT, env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    sys.path.insert(0, str(out / "lib"))
    try:
        module = importlib.import_module("rankstats")
    finally:
        sys.path.remove(str(out / "lib"))
    module.lib_dir = out / "lib"
    return module


def test_c_client_demo_runs(rankstats, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(rankstats.lib_dir))
    out = run(C_CLIENT / "demo.py", env=env, cwd=tmp_path)
    assert "next jobs: [((1, 1), 'bill'), ((1, 3), 'ship'), ((2, 2), 'mail')]" in out
    assert "active on both days: 200, first [0, 15, 30, 45]" in out


@settings(max_examples=40, deadline=None)
@given(st.sets(st.integers(-1000, 1000), min_size=1, max_size=300), st.floats(0, 1),
       st.integers(-1100, 1100), st.integers(-1100, 1100))
def test_c_client_queries_agree_with_a_sorted_list(rankstats, keys, q, low, high):
    from btree import BTree

    tree = BTree()
    for k in keys:
        tree.insert(k, -k)
    ordered = sorted(keys)
    assert rankstats.quantile(tree, q) == ordered[int(q * (len(ordered) - 1))]
    assert rankstats.count_between(tree, low, high) == sum(low <= k <= high for k in ordered)
    assert rankstats.pop_lowest(tree, 3) == [(k, -k) for k in ordered[:3]]
    assert list(tree.keys()) == ordered[3:]


def test_c_client_tally_and_common(rankstats):
    from btree import BTree

    rng = random.Random(5)
    words = [rng.choice("abcdefgh") for _ in range(500)]
    counts = BTree()
    rankstats.tally(counts, words)
    assert list(counts.items()) == sorted(Counter(words).items())
    a = rankstats.from_sorted([(k, "a") for k in range(0, 200, 2)])
    b = rankstats.from_sorted([(k, "b") for k in range(0, 200, 3)])
    assert list(a.items()) == [(k, "a") for k in range(0, 200, 2)]
    assert list(rankstats.common(a, b).items()) == [(k, None) for k in range(0, 200, 6)]


def test_c_client_reports_errors(rankstats):
    from btree import BTree

    with pytest.raises(ValueError, match="empty tree"):
        rankstats.quantile(BTree(), 0.5)
    with pytest.raises(ValueError, match=r"q must lie in \[0, 1\]"):
        rankstats.quantile(BTree(), 1.5)
    with pytest.raises(TypeError, match="expected btree.BTree"):
        rankstats.count_between([], 1, 2)
    with pytest.raises(TypeError, match="expected BTree objects"):
        rankstats.common(BTree(), {})
    numbers = BTree()
    numbers.insert(1, 1)
    with pytest.raises(TypeError):
        rankstats.tally(numbers, ["one"])
    with pytest.raises(ValueError, match="NaN keys are not supported"):
        rankstats.tally(BTree(), [float("nan")])


def test_c_client_from_sorted_checks_order_and_keeps_references(rankstats):
    key, value = object(), object()
    before = sys.getrefcount(key), sys.getrefcount(value)
    for bad in ([(2, 0), (1, 0)], [(1, 0), (1, 0)]):
        with pytest.raises(ValueError, match="strictly ascending"):
            rankstats.from_sorted(bad)
    with pytest.raises(TypeError, match=r"\(key, value\) tuples"):
        rankstats.from_sorted([(1, 2), [3, 4]])
    with pytest.raises(TypeError):
        rankstats.from_sorted([(key, value), (object(), 0)])
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before
    tree = rankstats.from_sorted([("k", value)])
    assert sys.getrefcount(value) == before[1] + 1
    del tree
    assert sys.getrefcount(value) == before[1]
    assert len(rankstats.from_sorted([])) == 0


def test_c_client_from_sorted_survives_keys_that_empty_the_input(rankstats):
    pairs = []

    class EmptiesTheList:
        def __init__(self, n):
            self.n = n

        def __lt__(self, other):
            pairs.clear()
            return self.n < other.n

    keys = [EmptiesTheList(n) for n in range(200)]
    pairs.extend((key, n) for n, key in enumerate(keys))
    tree = rankstats.from_sorted(pairs)
    assert pairs == []
    assert list(tree.items()) == [(key, n) for n, key in enumerate(keys)]
