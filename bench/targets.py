"""The performance targets btree.BTree is held to, judged on one run.

Every target compares btree with one peer on one operation and key type at
10^6 keys. A run without that size is judged at its largest size, and the
heading says so. Most targets ask btree to be some factor faster: the
measured ratio is peer time / btree time and must reach the factor. Those
against dict ask btree to stay within a factor of it: the ratio is then
btree time / dict time and must not exceed the factor; so must btree's
memory per item over SortedDict's.
"""

from dataclasses import dataclass

from datasets import KEY_TYPES
from report import LABELS
from systems import BASELINE

SIZE = 10**6
SORTED_DICT = "sortedcontainers"


@dataclass(frozen=True)
class Target:
    op: str
    peer: str
    need: float
    kinds: tuple = KEY_TYPES
    within: bool = False     # btree / peer <= need, not peer / btree >= need
    strict: bool = False     # peer / btree > need

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
)
# btree's memory per item, without the key objects, over SortedDict's.
MEMORY_NEED = 0.75
LABEL_WIDTH = 30


def judge_size(records):
    sizes = {r["size"] for r in records}
    return SIZE if SIZE in sizes or not sizes else max(sizes)


def evaluate(records, memory, field="min_ns"):
    """records: timing records of any sizes; memory: memory records (may be
    empty). Returns one verdict per target and key type measured."""
    size = judge_size(records)
    value = {(r["kind"], r["system"], r["op"]): r[field] for r in records
             if r["size"] == size and r.get("status") == "ok"}
    verdicts = []
    for t in TARGETS:
        for kind in t.kinds:
            base, peer = value.get((kind, BASELINE, t.op)), value.get((kind, t.peer, t.op))
            if base is None and peer is None:
                continue
            measured = None if base is None or peer is None else (
                base / peer if t.within else peer / base)
            verdicts.append({"op": t.op, "peer": t.peer, "kind": kind, "size": size,
                             "need": t.wording(), "ratio": measured,
                             "met": None if measured is None else t.met(measured)})
    verdicts += _memory_verdicts(memory)
    return verdicts


def _memory_verdicts(memory):
    per_item = {(r["system"], r["traced"]): r["bytes_per_item"] for r in memory
                if not r["count_keys"] and r.get("status", "ok") == "ok"}
    verdicts = []
    for traced in (False, True):
        base, peer = per_item.get((BASELINE, traced)), per_item.get((SORTED_DICT, traced))
        if base is None or peer is None:
            continue
        measured = base / peer
        verdicts.append({"op": f"memory per item, {'traced' if traced else 'RSS'}",
                         "peer": SORTED_DICT, "kind": "int", "size": memory[0]["n"],
                         "need": f"<= {MEMORY_NEED:g}x", "ratio": measured,
                         "met": measured <= MEMORY_NEED})
    return verdicts


def table(verdicts, unit="time"):
    """The verdicts as text, one line per operation and peer, one column
    per key type."""
    if not verdicts:
        return "targets: nothing measured to judge"
    size = verdicts[0]["size"]
    heading = f"targets at n = {size:,}"
    if size != SIZE:
        heading += f" (they are set at n = {SIZE:,}; this run is smaller)"
    kinds = [k for k in KEY_TYPES if any(v["kind"] == k for v in verdicts)]
    lines = [f"{heading}: x = peer {unit} / {BASELINE} {unit}; for need <= x: "
             f"{BASELINE} {unit} / peer {unit}",
             f"{'operation':<{LABEL_WIDTH}} {'peer':<17} {'need':>8}"
             + "".join(f"  {k:<13}" for k in kinds)]
    rows = {}
    for v in verdicts:
        rows.setdefault((v["op"], v["peer"], v["need"]), {})[v["kind"]] = v
    for (op, peer, need), cells in rows.items():
        line = f"{LABELS.get(op, op):<{LABEL_WIDTH}} {peer:<17} {need:>8}"
        for kind in kinds:
            v = cells.get(kind)
            text = "" if v is None else "n/a" if v["met"] is None else (
                f"{'met' if v['met'] else 'MISSED'} {v['ratio']:.2f}x")
            line += f"  {text:<13}"
        lines.append(line.rstrip())
    missed = sum(v["met"] is False for v in verdicts)
    met = sum(v["met"] is True for v in verdicts)
    lines.append(f"{met} met, {missed} missed, {len(verdicts) - met - missed} not measured")
    return "\n".join(lines)
