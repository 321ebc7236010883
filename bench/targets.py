"""The performance targets btree.BTree and btreemap.BTreeMap are held to,
judged on one run.

Every target compares one of them (the system) with one peer on one
operation and key type at 10^6 keys, and is judged only there: a run without
that size (a quick run) reports it not judged. Most targets ask the system to be
some factor faster: the measured ratio is peer time / system time and must
reach the factor. Those against dict ask btree to stay within a factor of
it: the ratio is then system time / dict time and must not exceed the
factor; so must btree's memory per item over SortedDict's, BTreeMap's over
btree's, and BTreeMap's floor_key time over its own bisect_right's. In the
rows of `in` and get, btree's figure is that of search (with except KeyError
on a miss), which BTreeMap is measured against.

The list and set family is judged on int and str elements: BTreeList
against SortedList (and, for `in`, against SortedSet, which it must not
trail by more than half), BTreeSet's union and intersection against
SortedSet's; BTreeList's whole-process memory per element against
SortedList's and against a BTreeMap of the same keys with None values, for
each way of filling them.
"""

from dataclasses import dataclass
from itertools import product

import family
from datasets import KEY_TYPES
from report import LABELS
from systems import BASELINE, MAP

SIZE = 10**6
SORTED_DICT = "sortedcontainers"
LIST = "btreelist"
SORTED_LIST = "SortedList"
SORTED_SET = "SortedSet"


@dataclass(frozen=True)
class Target:
    op: str
    peer: str
    need: float
    kinds: tuple = KEY_TYPES
    within: bool = False     # system / peer <= need, not peer / system >= need
    strict: bool = False     # peer / system > need
    system: str = BASELINE
    peer_op: str = ""        # the peer's operation, when not `op`

    def met(self, measured):
        if self.within:
            return measured <= self.need
        return measured > self.need if self.strict else measured >= self.need

    def wording(self):
        if self.within:
            return f"<= {self.need:g}x"
        return f"{'>' if self.strict else '>='} {self.need:g}x"


def _faster(ops, peers, **options):
    return tuple(Target(op, peer, need, **options) for op in ops for peer, need in peers)


def _map_faster(ops, peers, **options):
    return _faster(ops, peers, system=MAP, **options)


TARGETS = (
    Target("lookup_hit", "dict", 1.5, kinds=("int",), within=True),
    Target("lookup_hit", "dict", 2.0, kinds=("str",), within=True),
    *_faster(("lookup_hit",), (("BTrees", 1.5), ("pysorteddict", 1.5))),
    *_faster(("insert_random", "delete_random"),
             ((SORTED_DICT, 3), ("BTrees", 1.5), ("pysorteddict", 1.5))),
    *_faster(("bisect_left",), ((SORTED_DICT, 10),)),
    *_faster(("irange_100",), ((SORTED_DICT, 2), ("BTrees", 2))),
    *_faster(("iter_keys", "iter_items"), ((SORTED_DICT, 1),)),
    *_faster(("bulk_sorted",), ((SORTED_DICT, 5),)),
    # BTrees for int keys is a LOBTree.
    Target("bulk_sorted", "BTrees", 2, kinds=("int",)),
    *_faster(("union", "intersection", "difference"), (("BTrees", 1),), strict=True),
    # BTreeMap: btree's own figures are those of search.
    *_map_faster(("lookup_hit", "contains_hit", "get_hit"), ((BASELINE, 1),)),
    *_map_faster(("lookup_hit", "contains_hit", "get_hit"), ((SORTED_DICT, 1.3), ("BTrees", 1.3)),
                 kinds=("int",)),
    *_map_faster(("contains_miss", "get_miss"), ((BASELINE, 1.3),)),
    *_map_faster(("insert_random", "insert_ascending", "delete_random"),
                 ((SORTED_DICT, 5), ("BTrees", 1))),
    *_map_faster(("peekitem", "popitem", "index_of", "index"), ((SORTED_DICT, 5),)),
    *_map_faster(("iter_keys", "iter_items", "iter_keys_reversed", "iter_items_reversed"),
                 ((SORTED_DICT, 1),)),
    *_map_faster(("build_dict",), ((SORTED_DICT, 3),)),
    *_map_faster(("bulk_sorted",), ((SORTED_DICT, 10),)),
    *_map_faster(("pickle",), ((SORTED_DICT, 2),)),
    # A neighbour query is one descent and at most one step, as a bisect is.
    Target("floor_key", MAP, 1.2, kinds=("int",), within=True, system=MAP, peer_op="bisect_right"),
    *_faster(("add", "remove", "discard", "pop", "getitem", "index_of", "bisect_left",
              "bisect_right"), ((SORTED_LIST, 3),), system=LIST, kinds=family.KINDS),
    *_faster(("contains_hit", "contains_miss"), ((SORTED_LIST, 2), (SORTED_SET, 0.5)),
             system=LIST, kinds=family.KINDS),
    *_faster(("iter", "iter_reversed"), ((SORTED_LIST, 1),), system=LIST, kinds=family.KINDS),
    *_faster(("build_unsorted",), ((SORTED_LIST, 1.5),), system=LIST, kinds=family.KINDS),
    *_faster(("build_sorted",), ((SORTED_LIST, 3),), system=LIST, kinds=family.KINDS),
    *_faster(("update",), ((SORTED_LIST, 2),), system=LIST, kinds=family.KINDS),
    *_faster(("union", "intersection"), ((SORTED_SET, 3),), system="btreeset",
             kinds=family.KINDS),
)
# Memory per item, without the key objects: (system, reference, need).
MEMORY_NEEDS = ((BASELINE, SORTED_DICT, 0.75), (MAP, BASELINE, 1.05))
# Whole-process memory per element of the family, each way of filling:
# (system, reference, need).
FAMILY_MEMORY_NEEDS = ((LIST, SORTED_LIST, 1.3), (LIST, MAP, 0.9))
LABEL_WIDTH = 30


def evaluate(records, memory, field="min_ns", family_memory=()):
    """records: timing records of any sizes, of maps and of the family;
    memory, family_memory: memory records (may be empty). Returns one verdict
    per target and key type the run measured at any size. Targets are set at
    SIZE: a verdict is judged (its "judged") only where the run measured
    that size, and its "met" is None where a figure is missing there."""
    value = {(r["kind"], r["system"], r["op"]): r[field] for r in records
             if r["size"] == SIZE and r.get("status") == "ok"}
    ran = {(r["kind"], r["system"], r["op"]) for r in records}
    at_size = {(r["kind"], r["system"], r["op"]) for r in records if r["size"] == SIZE}
    verdicts = []
    for t in TARGETS:
        for kind in t.kinds:
            sides = ((kind, t.system, t.op), (kind, t.peer, t.peer_op or t.op))
            if ran.isdisjoint(sides):
                continue
            base, peer = (value.get(side) for side in sides)
            measured = None if base is None or peer is None else (
                base / peer if t.within else peer / base)
            peer_name = f"{t.peer}.{t.peer_op}" if t.peer_op else t.peer
            verdicts.append({"system": t.system, "op": t.op, "peer": peer_name, "kind": kind,
                             "size": SIZE, "judged": not at_size.isdisjoint(sides),
                             "need": t.wording(), "ratio": measured,
                             "met": None if measured is None else t.met(measured)})
    verdicts += _memory_verdicts(memory)
    verdicts += _family_memory_verdicts(family_memory)
    return verdicts


def _memory_verdict(system, op, reference, n, need, base, peer):
    """The verdict of a memory target, judged at SIZE only: system / reference
    must not exceed `need`."""
    measured = None if base is None or peer is None or n != SIZE else base / peer
    return {"system": system, "op": op, "peer": reference, "kind": "int", "size": SIZE,
            "judged": n == SIZE, "need": f"<= {need:g}x", "ratio": measured,
            "met": None if measured is None else measured <= need}


def _memory_verdicts(memory):
    per_item = {(r["system"], r["traced"]): r["bytes_per_item"] for r in memory
                if not r["count_keys"] and r.get("status", "ok") == "ok"}
    verdicts = []
    for (system, reference, need), traced in product(MEMORY_NEEDS, (False, True)):
        base, peer = per_item.get((system, traced)), per_item.get((reference, traced))
        if base is None or peer is None:
            continue
        verdicts.append(_memory_verdict(system, f"memory per item, {'traced' if traced else 'RSS'}",
                                        reference, memory[0]["n"], need, base, peer))
    return verdicts


def _family_memory_verdicts(memory):
    per_element = {(r["system"], r["mode"]): r["bytes_per_item"] for r in memory
                   if r.get("status", "ok") == "ok"}
    verdicts = []
    for (system, reference, need), (mode, _) in product(FAMILY_MEMORY_NEEDS,
                                                        family.MEMORY_MODES):
        base, peer = per_element.get((system, mode)), per_element.get((reference, mode))
        if base is None and peer is None:
            continue
        verdicts.append(_memory_verdict(system, f"memory per element, {mode}", reference,
                                        memory[0]["n"], need, base, peer))
    return verdicts


def tally(verdicts, unjudged):
    """The verdicts in one line: met, missed, not measured, and not judged
    for `unjudged` (why the run could not judge them)."""
    judged = [v for v in verdicts if v.get("judged", True)]
    met = sum(v["met"] is True for v in judged)
    missed = sum(v["met"] is False for v in judged)
    parts = [f"{met} met", f"{missed} missed"]
    if len(judged) > met + missed:
        parts.append(f"{len(judged) - met - missed} not measured")
    if len(verdicts) > len(judged):
        parts.append(f"{len(verdicts) - len(judged)} not judged ({unjudged})")
    return f"targets at n = {SIZE:,}: " + ", ".join(parts)


def table(verdicts, unit="time"):
    """The judged verdicts as text, one line per operation and peer, one
    column per key type; empty where none was judged."""
    verdicts = [v for v in verdicts if v.get("judged", True)]
    if not verdicts:
        return ""
    kinds = [k for k in KEY_TYPES if any(v["kind"] == k for v in verdicts)]
    lines = [f"targets at n = {SIZE:,}: x = peer {unit} / system {unit}; for need <= x: "
             f"system {unit} / peer {unit}",
             f"{'system':<9} {'operation':<{LABEL_WIDTH}} {'peer':<17} {'need':>8}"
             + "".join(f"  {k:<13}" for k in kinds)]
    rows = {}
    for v in verdicts:
        rows.setdefault((v["system"], v["op"], v["peer"], v["need"]), {})[v["kind"]] = v
    for (system, op, peer, need), cells in rows.items():
        label = (family.LABELS if system in family.SYSTEMS else LABELS).get(op, op)
        if system != BASELINE:
            label = label.removesuffix(" *")   # the mark of btree's C API rows
        line = f"{system:<9} {label:<{LABEL_WIDTH}} {peer:<17} {need:>8}"
        for kind in kinds:
            v = cells.get(kind)
            text = "" if v is None else "n/a" if v["met"] is None else (
                f"{'met' if v['met'] else 'MISSED'} {v['ratio']:.2f}x")
            line += f"  {text:<13}"
        lines.append(line.rstrip())
    return "\n".join(lines)
