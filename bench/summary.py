"""The summary a run ends with, readable at a glance: for each operation and
size, how far BTreeMap leads the fastest sorted peer (or trails it), the same
for each sorted list and set type against its sortedcontainers counterpart,
and the tally of the targets. A quick run says so at the top and bottom."""

import family
import targets
from report import LABELS, NET_INDEX
from systems import BASELINE, MAP
from workloads import CALL_FLOOR

# Peers by the name of the type they are timed through; dict keeps no order
# and is the floor of point operations, not a peer.
PEER_NAMES = {"sortedcontainers": "SortedDict", "BTrees": "BTrees", "pysorteddict": "pysorteddict"}
QUICK = ("QUICK RUN (--quick): small sizes and few repetitions, a check that the benchmark runs; its figures "
         "are rough and no target is judged")


def ratio_text(ratio):
    """A peer's time over ours: '1.8x' where we lead, 'behind 0.93x' where
    the peer is faster."""
    if ratio >= 1:
        return f"{ratio:.0f}x" if ratio >= 10 else f"{ratio:.1f}x"
    return f"behind {_below_one(ratio)}"


def _below_one(ratio):
    # Two places, or three where two would round a lag up to 1.00.
    return f"{ratio:.2f}x" if ratio < 0.995 else f"{ratio:.3f}x"


def lead_text(ratio, peer):
    """The lead over one peer: '1.8x vs SortedDict', 'behind SortedDict 0.93x'."""
    if ratio >= 1:
        return f"{ratio_text(ratio)} vs {peer}"
    return f"behind {peer} {_below_one(ratio)}"


def figures(records, field):
    """{(size, kind, system, op): figure} of the records that succeeded."""
    return {(r["size"], r["kind"], r["system"], r["op"]): r[field] for r in records
            if r.get("status") == "ok" and r.get(field)}


def nearest_peer(value, size, kind, ours, op, peers):
    """(ratio, peer) of the fastest peer measured against `ours`, ratio =
    peer figure / ours; None where either side has no figure."""
    mine = value.get((size, kind, ours, op))
    if mine is None:
        return None
    leads = [(value[(size, kind, peer, op)] / mine, peer) for peer in peers
             if (size, kind, peer, op) in value]
    return min(leads) if leads else None


def _table(title, head, rows):
    """rows: (label, cells); each column as wide as its widest text."""
    label_width = max(len(label) for label, _ in rows) + 3
    widths = [max(len(text) for text in column) + 3 for column in zip(head, *(cells for _, cells in rows))]
    lines = [title, f"{'':<{label_width}}" + "".join(f"{h:<{w}}" for h, w in zip(head, widths)).rstrip()]
    lines += [f"{label:<{label_width}}" + "".join(f"{c:<{w}}" for c, w in zip(cells, widths)).rstrip()
              for label, cells in rows]
    return "\n".join(lines)


def type_name(system):
    """The name a user knows a system of ours or a peer of the family by."""
    if system in family.SYSTEMS:
        s = family.SYSTEMS[system]
        return s.attribute + (", key" if s.keyed and s.counterpart is None else "")
    return {MAP: "BTreeMap", BASELINE: "BTree"}.get(system, PEER_NAMES.get(system, system))


def map_glance(records, field, systems):
    """One table per key type: operation x size -> BTreeMap's lead over the
    fastest sorted peer (btree's, where the run leaves BTreeMap out)."""
    ours = MAP if MAP in systems else BASELINE
    peers = [s for s in systems if s in PEER_NAMES]
    value = figures(records, field)
    sizes = sorted({key[0] for key in value})
    tables = []
    for kind in dict.fromkeys(r["kind"] for r in records):
        rows = []
        for op, label in LABELS.items():
            if op in (NET_INDEX, CALL_FLOOR):   # btree's calling convention, not an operation
                continue
            cells = [nearest_peer(value, size, kind, ours, op, peers) for size in sizes]
            if any(cells):
                rows.append((label.removesuffix(" *"), [
                    "-" if c is None else lead_text(c[0], type_name(c[1])) for c in cells]))
        if rows:
            tables.append(_table(f"{kind} keys", [f"n = {n:,}" for n in sizes], rows))
    if not tables:
        return ""
    heading = (f"{type_name(ours)} against the fastest sorted peer ({', '.join(PEER_NAMES[p] for p in peers)}):"
               f" 1.8x = the peer takes 1.8 times as long; behind = the peer is faster")
    return "\n\n".join([heading, *tables])


def family_glance(records, field):
    """One table per element type: operation x (type, size) -> the type's
    lead over its sortedcontainers counterpart."""
    value = figures(records, field)
    sizes = sorted({key[0] for key in value})
    pairs = [(s.counterpart, name) for name, s in family.SYSTEMS.items()
             if s.counterpart and any(key[2] == name for key in value)]
    tables = []
    for kind in dict.fromkeys(r["kind"] for r in records):
        rows = []
        for op, label in family.OPS:
            cells = []
            for ours, theirs in pairs:
                leads = [nearest_peer(value, size, kind, ours, op, [theirs]) for size in sizes]
                cells.append(" / ".join("-" if c is None else ratio_text(c[0]) for c in leads))
            if any(cell.strip("-/ ") for cell in cells):
                rows.append((label, cells))
        if rows:
            tables.append(_table(f"{kind} elements", [f"{type_name(ours)} vs {type_name(theirs)}"
                                                      for ours, theirs in pairs], rows))
    if not tables:
        return ""
    heading = (f"list and set family against sortedcontainers, at n = {' / '.join(f'{n:,}' for n in sizes)}:"
               " the counterpart's time / ours")
    return "\n\n".join([heading, *tables])


def summary(records, family_records, verdicts, field, systems, quick):
    """The closing summary of a run, with the quick run's banner at its end
    (run.py prints it at the start too)."""
    unjudged = "quick run" if quick else f"this run has no n = {targets.SIZE:,}"
    parts = ["=== summary ===", map_glance(records, field, systems), family_glance(family_records, field),
             targets.tally(verdicts, unjudged)]
    if quick:
        parts.append(QUICK)
    return "\n\n".join(part for part in parts if part)
