"""Starting worker processes and collecting their records."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

WORKER = Path(__file__).resolve().parent / "worker.py"
WORKER_TIMEOUT = 3600


def run_worker(args, label, prefix=()):
    """Runs worker.py with `args`, behind the command `prefix` if any;
    returns (records, failure reason or None)."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    t0 = time.perf_counter()
    try:
        proc = subprocess.run([*prefix, sys.executable, str(WORKER), *args], capture_output=True,
                              text=True, env=env, timeout=WORKER_TIMEOUT)
    except subprocess.TimeoutExpired:
        return [], f"timed out after {WORKER_TIMEOUT} s"
    records = [json.loads(line) for line in proc.stdout.splitlines() if line]
    print(f"  {label}: {time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        print(f"  {label} died:\n{proc.stderr}", file=sys.stderr)
        return records, tail[0]
    return records, None


def run_system(label, available, args, ops, prefix=()):
    """The records of one system's worker, one per operation in `ops`: an
    operation the worker did not report is "n/a" for a system that is not
    installed and "crash" for one whose worker died."""
    ok, info = available
    records, failure = run_worker(args, label, prefix) if ok else ([], info)
    got = {r["op"] for r in records}
    return records + [{"op": op, "status": "crash" if ok else "n/a", "reason": failure}
                      for op in ops if op not in got]
