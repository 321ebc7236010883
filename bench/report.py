"""Text tables, the JSON file and the optional chart."""

import json

from systems import BASELINE
from workloads import OPS

LABELS = dict(OPS)


def _ns(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio(peer, base):
    """Peer time over btree time (> 1: btree is faster), or None."""
    if peer.get("status") == "ok" and base.get("status") == "ok":
        return peer["min_ns"] / base["min_ns"]
    return None


def _cell(record):
    return _ns(record["min_ns"]) if record.get("status") == "ok" else record.get("status", "n/a")


def timing_table(n, kind, repeat, names, cells):
    """cells[(system, op)] -> record. Rows: operations; per peer the ns/op
    and its ratio to btree."""
    peers = [s for s in names if s != BASELINE]
    label_w = max(len(label) for label in LABELS.values())
    head = f"{'operation':<{label_w}}  {BASELINE:>9}" + "".join(f"  {p:>17}" for p in peers)
    lines = [
        f"n = {n:,}, {kind} keys: ns/op, best of {repeat}; "
        f"x = peer time / {BASELINE} time (> 1: {BASELINE} is faster)",
        head,
        "-" * len(head),
    ]
    for op, label in OPS:
        if not any((s, op) in cells for s in names):
            continue
        base = cells.get((BASELINE, op), {})
        row = f"{label:<{label_w}}  {_cell(base):>9}"
        for p in peers:
            rec = cells.get((p, op), {})
            r = ratio(rec, base)
            row += f"  {_cell(rec):>10} {f'{r:.2f}x' if r else '':>6}"
        lines.append(row)
    return "\n".join(lines)


def memory_table(n, records):
    """records[(system, count_keys, traced)] -> record with bytes per item."""
    names = list(dict.fromkeys(key[0] for key in records))

    def cell(system, count_keys, traced):
        rec = records.get((system, count_keys, traced), {})
        if rec.get("status", "ok") != "ok":
            return f"{rec.get('status', 'n/a'):>8}"
        return f"{rec['bytes_per_item']:>8.1f}"

    lines = [
        f"memory, bytes per item: {n:,} int keys inserted in random order, values None",
        f"{'':<17}  {'structure only':>17}  {'with key objects':>17}",
        f"{'system':<17}" + f"  {'RSS':>8} {'traced':>8}" * 2,
    ]
    for s in names:
        lines.append(f"{s:<17}" + "".join(f"  {cell(s, c, False)} {cell(s, c, True)}"
                                          for c in (False, True)))
    lines.append("RSS: growth of the resident set; traced: tracemalloc's count, which "
                 "sees the interpreter's allocators only")
    return "\n".join(lines)


def write_json(path, meta, timing, memory):
    by_key = {(r["size"], r["kind"], r["system"], r["op"]): r for r in timing}
    for r in timing:
        base = by_key.get((r["size"], r["kind"], BASELINE, r["op"]), {})
        r["ratio_vs_btree"] = ratio(r, base) if r["system"] != BASELINE else None
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"meta": meta, "timing": timing, "memory": memory}, indent=1))


def write_chart(path, timing, sizes, kinds, names):
    """One panel per (key type, size): ns/op per operation and system, log
    scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ops = [op for op, _ in OPS if any(r["op"] == op for r in timing)]
    fig, axes = plt.subplots(len(kinds), len(sizes), squeeze=False,
                             figsize=(6 * len(sizes), 0.45 * len(ops) * len(kinds) + 2))
    height = 0.8 / len(names)
    for row, kind in enumerate(kinds):
        for col, n in enumerate(sizes):
            ax = axes[row][col]
            for i, s in enumerate(names):
                values = {r["op"]: r["min_ns"] for r in timing
                          if (r["size"], r["kind"], r["system"]) == (n, kind, s)
                          and r["status"] == "ok"}
                ys = [y + i * height for y, op in enumerate(ops) if op in values]
                ax.barh(ys, [values[op] for op in ops if op in values], height, label=s)
            ax.set_yticks([y + 0.4 - height / 2 for y in range(len(ops))],
                          [LABELS[op] for op in ops], fontsize=7)
            ax.invert_yaxis()
            ax.set_xscale("log")
            ax.set_title(f"n = {n:,}, {kind} keys", fontsize=9)
            ax.set_xlabel("ns/op (min)", fontsize=8)
    axes[0][0].legend(fontsize=7)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
