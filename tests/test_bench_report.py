"""The benchmark's judging of targets and its closing summary, on made-up
result records: nothing is timed, and the module build is not needed
(`pytest --noconftest tests/test_bench_report.py` runs without it)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import summary  # noqa: E402  (bench/ is a directory of scripts, not a package)
import targets  # noqa: E402

MILLION = targets.SIZE


def rec(system, op, ns, size=MILLION, kind="int", status="ok"):
    """A timing record as the workers write them."""
    return {"system": system, "op": op, "size": size, "kind": kind, "status": status, "min_ns": ns}


def verdict(verdicts, system, op, peer, kind="int"):
    (found,) = [v for v in verdicts if (v["system"], v["op"], v["peer"], v["kind"]) == (system, op, peer, kind)]
    return found


# BTreeMap must insert at least five times as fast as SortedDict: (our time,
# the peer's) -> the verdict's "met".
@pytest.mark.parametrize("ours, theirs, met", [(100, 600, True), (100, 500, True), (100, 499, False),
                                               (None, 500, None)])
def test_a_target_is_judged_at_its_size(ours, theirs, met):
    records = [rec("sortedcontainers", "insert_random", theirs)]
    if ours is not None:
        records.append(rec("btreemap", "insert_random", ours))
    found = verdict(targets.evaluate(records, []), "btreemap", "insert_random", "sortedcontainers")
    assert found["judged"] and found["met"] is met and found["size"] == MILLION
    assert found["ratio"] == (None if ours is None else theirs / ours)


def test_figures_at_other_sizes_judge_nothing():
    # Far behind at 10^3 and 10^4, well ahead at 10^6: only 10^6 counts.
    small = [rec(s, "insert_random", ns, size=n) for n in (10**3, 10**4)
             for s, ns in (("btreemap", 900), ("sortedcontainers", 100))]
    alone = targets.evaluate(small, [])
    assert alone and all(not v["judged"] and v["met"] is None and v["ratio"] is None for v in alone)
    full = targets.evaluate(small + [rec("btreemap", "insert_random", 100), rec("sortedcontainers", "insert_random", 700)], [])
    assert verdict(full, "btreemap", "insert_random", "sortedcontainers")["met"] is True


def test_within_targets_divide_the_other_way():
    # btree's lookup may take at most 1.5 times dict's with int keys.
    records = [rec("btree", "lookup_hit", 150), rec("dict", "lookup_hit", 100),
               rec("btree", "lookup_hit", 250, kind="str"), rec("dict", "lookup_hit", 100, kind="str")]
    verdicts = targets.evaluate(records, [])
    assert verdict(verdicts, "btree", "lookup_hit", "dict")["met"] is True
    assert verdict(verdicts, "btree", "lookup_hit", "dict", kind="str")["met"] is False


@pytest.mark.parametrize("floor, met", [(120, True), (121, False)])
def test_a_target_against_another_operation_of_the_same_system(floor, met):
    records = [rec("btreemap", "floor_key", floor), rec("btreemap", "bisect_right", 100),
               rec("btreemap", "floor_key", 100, kind="str")]
    verdicts = targets.evaluate(records, [])
    found = verdict(verdicts, "btreemap", "floor_key", "btreemap.bisect_right")
    assert found["met"] is met and found["ratio"] == floor / 100
    assert not [v for v in verdicts if v["op"] == "floor_key" and v["kind"] == "str"]


@pytest.mark.parametrize("n, judged", [(MILLION, True), (10**5, False)])
def test_memory_targets_are_judged_at_their_size_only(n, judged):
    memory = [{"system": system, "traced": traced, "count_keys": False, "bytes_per_item": size, "n": n}
              for system, size in (("btree", 35.0), ("sortedcontainers", 52.0), ("btreemap", 35.0))
              for traced in (False, True)]
    verdicts = targets.evaluate([], memory)
    assert len(verdicts) == 4 and all(v["judged"] is judged for v in verdicts)
    assert all(v["met"] is (True if judged else None) for v in verdicts)


def test_the_tally_counts_unjudged_targets_apart():
    verdicts = [{"judged": True, "met": True}, {"judged": True, "met": False}, {"judged": True, "met": None},
                {"judged": False, "met": None}, {"judged": False, "met": None}]
    assert (targets.tally(verdicts, "quick run")
            == f"targets at n = {MILLION:,}: 1 met, 1 missed, 1 not measured, 2 not judged (quick run)")
    assert targets.tally(verdicts[:2], "quick run") == f"targets at n = {MILLION:,}: 1 met, 1 missed"


def test_the_targets_table_shows_judged_verdicts_only():
    records = [rec("btreemap", "insert_random", 100, size=10**4), rec("sortedcontainers", "insert_random", 150, size=10**4)]
    assert targets.table(targets.evaluate(records, [])) == ""
    records += [rec("btreemap", "insert_random", 100), rec("sortedcontainers", "insert_random", 450)]
    lines = targets.table(targets.evaluate(records, [])).splitlines()
    (line,) = [line for line in lines if line.startswith("btreemap") and "sortedcontainers" in line]
    assert "insert, random order" in line and line.endswith("MISSED 4.50x")
    # Targets against peers this run left out are judged, without a figure.
    assert all(line.endswith(("MISSED 4.50x", "n/a")) for line in lines[2:])


@pytest.mark.parametrize("ratio, text", [(1.8, "1.8x vs SortedDict"), (1.0, "1.0x vs SortedDict"),
                                         (12.4, "12x vs SortedDict"), (0.93, "behind SortedDict 0.93x"),
                                         (0.996, "behind SortedDict 0.996x")])
def test_a_lead_reads_as_a_multiple_or_as_behind(ratio, text):
    assert summary.lead_text(ratio, "SortedDict") == text


MAP_SYSTEMS = ["btree", "btreemap", "sortedcontainers", "BTrees", "pysorteddict", "dict"]


def test_the_map_table_names_the_fastest_sorted_peer_at_each_size():
    records = [
        # At 10^3 BTrees is the nearest; dict, faster still, is no peer.
        rec("btreemap", "lookup_hit", 100, size=10**3), rec("sortedcontainers", "lookup_hit", 300, size=10**3),
        rec("BTrees", "lookup_hit", 180, size=10**3), rec("dict", "lookup_hit", 50, size=10**3),
        # At 10^4 SortedDict is faster than BTreeMap; BTrees failed.
        rec("btreemap", "lookup_hit", 100, size=10**4), rec("sortedcontainers", "lookup_hit", 90, size=10**4),
        rec("BTrees", "lookup_hit", 0, size=10**4, status="error"),
        # No peer offers peekitem here: the row is left out.
        rec("btreemap", "peekitem", 100, size=10**4),
    ]
    text = summary.map_glance(records, "min_ns", MAP_SYSTEMS)
    rows = {line.split("  ")[0]: line.split() for line in text.splitlines()}
    assert text.splitlines()[0].startswith("BTreeMap against the fastest sorted peer (SortedDict, BTrees, pysorteddict)")
    assert "n = 1,000" in text and "n = 10,000" in text and "int keys" in text
    assert " ".join(rows["lookup hit"][2:]) == "1.8x vs BTrees behind SortedDict 0.90x"
    assert "dict" not in rows["lookup hit"]
    assert [line.split("  ")[0] for line in text.splitlines()[4:]] == ["lookup hit"]


def test_the_map_table_falls_back_to_btree_without_btreemap():
    records = [rec("btree", "insert_random", 100), rec("sortedcontainers", "insert_random", 400)]
    text = summary.map_glance(records, "min_ns", ["btree", "sortedcontainers"])
    assert text.startswith("BTree against the fastest sorted peer (SortedDict)") and "4.0x vs SortedDict" in text


def test_the_family_table_gives_each_type_against_its_counterpart():
    records = [rec("btreelist", "add", 100, size=n) for n in (10**3, 10**4)]
    records += [rec("SortedList", "add", 570, size=10**3), rec("SortedList", "add", 95, size=10**4),
                rec("btreeset", "add", 100, size=10**3), rec("SortedSet", "add", 200, size=10**3)]
    lines = summary.family_glance(records, "min_ns").splitlines()
    assert "at n = 1,000 / 10,000" in lines[0]
    head, (row,) = lines[3], [line for line in lines if line.startswith("add(v)")]
    assert head.split() == ["BTreeList", "vs", "SortedList", "BTreeSet", "vs", "SortedSet"]
    assert row.split()[3:] == ["5.7x", "/", "behind", "0.95x", "2.0x", "/", "-"]


def test_a_quick_run_says_so_and_judges_nothing():
    records = [rec("btreemap", "insert_random", 900, size=10**4), rec("sortedcontainers", "insert_random", 100, size=10**4)]
    verdicts = targets.evaluate(records, [])
    text = summary.summary(records, [], verdicts, "min_ns", MAP_SYSTEMS, quick=True)
    lines = text.splitlines()
    assert lines[-1] == summary.QUICK and "QUICK RUN" in lines[-1]
    assert "behind SortedDict 0.11x" in text
    assert f"targets at n = {MILLION:,}: 0 met, 0 missed, {len(verdicts)} not judged (quick run)" in lines
    full = summary.summary(records, [], verdicts, "min_ns", MAP_SYSTEMS, quick=False)
    assert "QUICK" not in full and "not judged (this run has no n = 1,000,000)" in full
