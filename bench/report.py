"""Text tables, the JSON file and the optional chart."""

import json

import family
import merges
from systems import BASELINE, MAP
from workloads import CALL_FLOOR, OPS

# btree's positional access less the cost of its ctypes call; peers keep
# their figure, so the ratio compares the accesses themselves.
NET_INDEX = "index_net"
# The status, and so the cell, of a net figure lost in the noise.
BELOW_RESOLUTION = "below resolution"
# Rows that btree, lacking a Python method for them, runs through its C API
# entry called with ctypes, while the peers run their own methods: marked,
# and noted under the table, so that no one reads them as method calls.
C_API_OPS = ("index", "bulk_sorted")
C_API_NOTE = "* btree has no Python method for it: its C API entry, called through ctypes"
# btree has no `in` nor get: its figures in those rows are search's.
SEARCH_OPS = ("contains_hit", "contains_miss", "get_hit", "get_miss")
SEARCH_NOTE = (f"{BASELINE} in the rows of `in` and get: search, with except KeyError on a miss;"
               f" o: ratio to {MAP}, in a row {BASELINE} has no figure in")
LABELS = ({op: label + (" *" if op in C_API_OPS else "") for op, label in OPS}
          | dict(merges.OPS) | {NET_INDEX: "  the same, less btree's ctypes call"})
TABLE_OPS = [name for name, _ in OPS]
TABLE_OPS.insert(TABLE_OPS.index("index") + 1, NET_INDEX)
# What a record's figure is: its unit per operation and what the ratio
# compares.
MEASURES = {"min_ns": ("ns", "time"), "median_ns": ("ns", "time"),
            "ir_per_op": ("instructions", "count")}
# The peer whose figures the memory table divides by.
MEMORY_REFERENCE = "sortedcontainers"
MERGE_NOTES = (
    "btree: C API entries through ctypes; BTrees: its module functions union, intersection,"
    " difference;",
    f"{MAP}: its methods union, intersection, difference;",
    "sortedcontainers: SortedSet.union, .intersection, .difference on two SortedSets;",
    "dict: set operators of two keys views, whose result is an unordered set (a floor, not"
    " a peer)",
)


def _num(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio(peer, base, field="min_ns"):
    """Peer figure over btree's (> 1: btree is faster), or None."""
    if peer.get("status") == "ok" and base.get("status") == "ok":
        return peer[field] / base[field]
    return None


def _cell(record, field):
    return _num(record[field]) if record.get("status") == "ok" else record.get("status", "n/a")


def _spread(record):
    """How far the repetitions of a loop lie apart, in ns/op; 0 without
    them (callgrind's counts, which do not vary)."""
    runs = record.get("runs_ns") or [0]
    return max(runs) - min(runs)


def add_net_index(cells, fields):
    """Adds the NET_INDEX row to cells[(system, op)] where btree's call floor
    was measured: btree's index less the floor, each peer's index as is.

    The difference of two timings means nothing within their noise: where,
    in any of `fields`, it is no larger than the spread of the repetitions of
    either loop, btree's net figure is left out, as BELOW_RESOLUTION."""
    base, floor = cells.get((BASELINE, "index"), {}), cells.get((BASELINE, CALL_FLOOR), {})
    if base.get("status") != "ok" or floor.get("status") != "ok":
        return
    for (name, op), rec in list(cells.items()):
        if op == "index":
            net = dict(rec, op=NET_INDEX)
            if name == BASELINE:
                net = {key: rec[key] for key in ("status", "nops", "size", "kind", "system")
                       if key in rec}
                net.update({f: rec[f] - floor[f] for f in fields}, op=NET_INDEX,
                           derived=f"index less {CALL_FLOOR}")
                noise = max(_spread(rec), _spread(floor))
                if min(net[f] for f in fields) <= noise:
                    for f in fields:
                        del net[f]
                    net.update(status=BELOW_RESOLUTION, reason=(
                        f"index and {CALL_FLOOR} differ by no more than the spread of their"
                        f" repetitions, {noise:.1f} {MEASURES[fields[0]][0]}/op"))
            cells[(name, NET_INDEX)] = net


def table(title, names, cells, ops, field):
    """cells[(system, row)] -> record. Rows: `ops`, each (row, label); per
    peer the figure and its ratio to btree, or to btreemap (marked o) in a
    row without btree's figure."""
    peers = [s for s in names if s != BASELINE]
    label_w = max(len(label) for _, label in ops)
    base_w = max(9, *(len(_cell(cells.get((BASELINE, row), {}), field)) for row, _ in ops))
    head = f"{'':<{label_w}}  {BASELINE:>{base_w}}" + "".join(f"  {p:>17}" for p in peers)
    lines = [title, head, "-" * len(head)]
    for row, label in ops:
        if not any((s, row) in cells for s in names):
            continue
        base = cells.get((BASELINE, row), {})
        line = f"{label:<{label_w}}  {_cell(base, field):>{base_w}}"
        reference, mark = base, "x"
        if base.get("status") != "ok":
            reference, mark = cells.get((MAP, row), {}), "o"
        for p in peers:
            rec = cells.get((p, row), {})
            r = ratio(rec, reference, field) if p != MAP or reference is base else None
            line += f"  {_cell(rec, field):>10} {f'{r:.2f}{mark}' if r else '':>6}"
        lines.append(line)
    return "\n".join(lines)


def _ratio_note(field):
    what = MEASURES[field][1]
    return f"x = peer {what} / {BASELINE} {what} (> 1: {BASELINE} is faster)"


def timing_table(n, kind, detail, names, cells, field="min_ns"):
    """cells[(system, op)] -> record: the map operations of one dataset;
    empty when none was run (a run of merges alone)."""
    ops = [(op, LABELS[op]) for op in TABLE_OPS if any((s, op) in cells for s in names)]
    if not ops:
        return ""
    title = f"n = {n:,}, {kind} keys: {MEASURES[field][0]}/op, {detail}; {_ratio_note(field)}"
    text = table(title, names, cells, ops, field)
    notes = [note for note, rows in ((C_API_NOTE, C_API_OPS), (SEARCH_NOTE, SEARCH_OPS))
             if any(op in rows for op, _ in ops)]
    return "\n".join([text, *notes])


def merges_table(records, names, detail, field="min_ns", notes=True):
    """records: of any operations, sizes and key types; the merges among
    them make one row per (size, key type, merge), followed by what each
    system runs when `notes` is set. Empty without merges."""
    cells, rows = {}, {}
    for r in records:
        if r["op"] in merges.OP_NAMES:
            row = (r["size"], r["kind"], r["op"])
            cells[(r["system"], row)] = r
            rows[row] = f"n = {r['size']:,}, {r['kind']}: {r['op']}"
    title = (f"set merges of two maps of n keys, n/2 of them in both: {MEASURES[field][0]} per"
             f" input item (2n), {detail}; {_ratio_note(field)}")
    ops = [(row, rows[row]) for row in sorted(rows, key=lambda row: (
        row[0], row[1], merges.OP_NAMES.index(row[2])))]
    if not ops:
        return ""
    return "\n".join([table(title, names, cells, ops, field), *(MERGE_NOTES if notes else ())])


def memory_table(n, records):
    """records[(system, count_keys, traced)] -> record with bytes per item."""
    names = list(dict.fromkeys(key[0] for key in records))

    def cell(system, count_keys, traced):
        rec = records.get((system, count_keys, traced), {})
        if rec.get("status", "ok") != "ok":
            return f"{rec.get('status', 'n/a'):>8} {'':>6}"
        ref = records.get((MEMORY_REFERENCE, count_keys, traced), {})
        share = (f"{rec['bytes_per_item'] / ref['bytes_per_item']:.2f}x"
                 if ref.get("status", "ok") == "ok" and ref.get("bytes_per_item") else "")
        return f"{rec['bytes_per_item']:>8.1f} {share:>6}"

    lines = [
        f"memory, bytes per item: {n:,} int keys inserted in random order, values None; "
        f"x = system / {MEMORY_REFERENCE}",
        f"{'':<17}  {'without key objects':>31}  {'with key objects':>31}",
        f"{'system':<17}" + f"  {'RSS':>15} {'traced':>15}" * 2,
    ]
    for s in names:
        lines.append(f"{s:<17}" + "".join(f"  {cell(s, c, False)} {cell(s, c, True)}"
                                          for c in (False, True)))
    lines.append("RSS: growth of the resident set; traced: tracemalloc's count, which "
                 "sees the interpreter's allocators only")
    return "\n".join(lines)


def write_json(path, meta, sections, field="min_ns"):
    """sections: name -> records; each record of a section named "timing"
    or "callgrind" gets its ratio to btree."""
    for name in ("timing", "callgrind"):
        records = sections.get(name, [])
        by_key = {(r["size"], r["kind"], r["system"], r["op"]): r for r in records}
        for r in records:
            base = by_key.get((r["size"], r["kind"], BASELINE, r["op"]), {})
            r["ratio_vs_btree"] = ratio(r, base, field) if r["system"] != BASELINE else None
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"meta": meta, **sections}, indent=1))


SCALING_OPS = ("insert_random", "lookup_hit")


def write_chart(path, timing, sizes, kinds, names):
    """One row per key type: ns/op of every operation and system at the
    largest size, then insert and lookup cost against N for each system.
    Log scales throughout."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ok = [r for r in timing if r.get("status") == "ok" and r.get("min_ns", 0) > 0]
    ops = [op for op in (*(name for name, _ in OPS), *merges.OP_NAMES)
           if any(r["op"] == op for r in ok)]
    labels = LABELS | {op: f"{label}, per input item" for op, label in merges.OPS}
    colour = {s: f"C{i}" for i, s in enumerate(names)}
    largest = max(sizes)
    fig, axes = plt.subplots(len(kinds), 1 + len(SCALING_OPS), squeeze=False,
                             figsize=(16, (0.4 * len(ops) + 1.5) * len(kinds) + 0.5),
                             gridspec_kw={"width_ratios": [1.6] + [1] * len(SCALING_OPS)})
    height = 0.8 / len(names)
    for row, kind in enumerate(kinds):
        ax = axes[row][0]
        for i, s in enumerate(names):
            values = {r["op"]: r["min_ns"] for r in ok if (r["size"], r["kind"], r["system"]) == (largest, kind, s)}
            ys = [y + i * height for y, op in enumerate(ops) if op in values]
            ax.barh(ys, [values[op] for op in ops if op in values], height, label=s, color=colour[s])
        ax.set_yticks([y + 0.4 - height / 2 for y in range(len(ops))], [labels[op] for op in ops], fontsize=8)
        ax.invert_yaxis()
        # A panel without data (every system failed there) cannot take a log scale.
        if ax.has_data():
            ax.set_xscale("log")
        ax.set_title(f"n = {largest:,}, {kind} keys", fontsize=10)
        ax.set_xlabel("ns/op (min, log scale)", fontsize=8)
        for col, op in enumerate(SCALING_OPS, start=1):
            ax = axes[row][col]
            for s in names:
                points = sorted((r["size"], r["min_ns"]) for r in ok
                                if (r["kind"], r["system"], r["op"]) == (kind, s, op))
                if points:
                    ax.plot(*zip(*points), marker="o", label=s, color=colour[s])
            if ax.has_data():
                ax.set_xscale("log")
                ax.set_yscale("log")
            ax.set_xticks(sorted(sizes), [f"{n:.0e}".replace("e+0", "e") for n in sorted(sizes)], fontsize=8)
            ax.set_title(f"{LABELS[op]}, {kind} keys", fontsize=10)
            ax.set_xlabel("n (items in the map)", fontsize=8)
            ax.set_ylabel("ns/op (min)", fontsize=8)
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)


def write_family_chart(path, records, kinds, names):
    """One panel per element type: ns/op of every operation of the list and
    set family at the largest size, each btreemap type beside its
    sortedcontainers counterpart. Log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ok = [r for r in records if r.get("status") == "ok" and r.get("min_ns", 0) > 0]
    largest = max(r["size"] for r in ok)
    ops = [(op, label) for op, label in family.OPS if any(r["op"] == op for r in ok)]
    names = [s for s in names if any(r["system"] == s for r in ok)]
    fig, axes = plt.subplots(1, len(kinds), squeeze=False, sharey=True,
                             figsize=(7 * len(kinds), 0.45 * len(ops) + 1.5))
    height = 0.8 / len(names)
    for col, kind in enumerate(kinds):
        ax = axes[0][col]
        for i, s in enumerate(names):
            values = {r["op"]: r["min_ns"] for r in ok if (r["size"], r["kind"], r["system"]) == (largest, kind, s)}
            ys = [y + i * height for y, (op, _) in enumerate(ops) if op in values]
            ax.barh(ys, [values[op] for op, _ in ops if op in values], height, label=s, color=f"C{i}")
        ax.set_yticks([y + 0.4 - height / 2 for y in range(len(ops))], [label for _, label in ops], fontsize=8)
        if ax.has_data():
            ax.set_xscale("log")
        ax.set_title(f"n = {largest:,}, {kind} elements", fontsize=10)
        ax.set_xlabel("ns/op (min, log scale)", fontsize=8)
        ax.grid(True, axis="x", which="both", alpha=0.3)
    axes[0][0].invert_yaxis()
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)


def family_table(title, names, cells, field):
    """cells[(system, op)] -> record of the list and set family: per system
    its figure and, for one with a counterpart, its ratio to it (> 1: the
    counterpart is faster). Empty when none was run."""
    ops = [(op, label) for op, label in family.OPS if any((s, op) in cells for s in names)]
    if not ops:
        return ""
    label_w = max(len(label) for _, label in ops)
    head = f"{'':<{label_w}}" + "".join(f"  {s:>17}" for s in names)
    lines = [title, head, "-" * len(head)]
    for op, label in ops:
        line = f"{label:<{label_w}}"
        for s in names:
            rec = cells.get((s, op), {})
            counterpart = family.SYSTEMS[s].counterpart
            r = ratio(rec, cells.get((counterpart, op), {}), field) if counterpart else None
            line += f"  {_cell(rec, field):>10} {f'{r:.2f}x' if r else '':>6}"
        lines.append(line)
    pairs = ", ".join(f"{s} / {family.SYSTEMS[s].counterpart}" for s in names
                      if family.SYSTEMS[s].counterpart in names)
    if pairs:
        what = MEASURES[field][1]
        lines.append(f"x = {what} ratios {pairs} (> 1: the btreemap type is faster)")
    if any(family.SYSTEMS[s].keyed for s in names):
        lines.append(family.KEY_NOTE)
    return "\n".join(lines)


def add_family_ratios(records, field):
    """Each record of the family gets ratio_vs_counterpart: its figure over
    its counterpart's at the same size and element type, or None."""
    by_key = {(r["size"], r["kind"], r["system"], r["op"]): r for r in records}
    for r in records:
        counterpart = family.SYSTEMS[r["system"]].counterpart
        other = by_key.get((r["size"], r["kind"], counterpart, r["op"]), {})
        r["ratio_vs_counterpart"] = ratio(r, other, field) if counterpart else None


def family_memory_table(n, records):
    """records[(row, mode)] -> record with bytes per element."""
    rows = list(dict.fromkeys(row for row, _ in records))
    modes = [mode for mode, _ in family.MEMORY_MODES]

    def cell(row, mode):
        rec = records.get((row, mode), {})
        if rec.get("status", "ok") != "ok":
            return f"{rec.get('status', 'n/a'):>9}"
        return f"{rec['bytes_per_item']:>9.1f}"

    lines = [f"memory of the list and set family, whole-process bytes per element: {n:,} int "
             "elements, the int objects included (RSS growth of a fresh process)",
             f"{'':<11}" + "".join(f"  {mode:>9}" for mode in modes)]
    lines += [f"{row:<11}" + "".join(f"  {cell(row, mode)}" for mode in modes) for row in rows]
    lines += [f"{mode}: {text}" for mode, text in family.MEMORY_MODES]
    lines.append("btreemap: the elements as keys of a BTreeMap, values None "
                 "(add: m[v] = None; build: BTreeMap.fromkeys)")
    return "\n".join(lines)
