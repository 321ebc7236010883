"""Requests in a time window: a server log keyed by timestamp.

Keys are integer timestamps in milliseconds, so the tree compares machine
integers and never calls back into Python. Counting the requests in a window
takes two rank queries (bisect_left at each end), whatever the size of the
window; listing them takes one range query, which visits only the part of
the tree inside the window. Old entries are dropped from the front as the
window moves on.

Run: python examples/time_window.py
"""

from __future__ import annotations

import random

from btree import BTree

MINUTE = 60_000  # milliseconds


class RequestLog:
    def __init__(self) -> None:
        # timestamp (ms) -> request path; one request per millisecond at most
        self._log: BTree[int, str] = BTree()

    def __len__(self) -> int:
        return len(self._log)

    def record(self, timestamp: int, path: str) -> None:
        self._log.insert(timestamp, path)

    def count(self, start: int, end: int) -> int:
        """Requests with start <= timestamp < end."""
        return self._log.bisect_left(end) - self._log.bisect_left(start)

    def between(self, start: int, end: int) -> list[tuple[int, str]]:
        """The requests with start <= timestamp < end, oldest first."""
        stamps = self._log.irange(start, end, inclusive=(True, False))
        return [(t, self._log.search(t)) for t in stamps]

    def per_minute(self, start: int, minutes: int) -> list[int]:
        """Request counts of consecutive minutes from start: one rank query
        per minute boundary, not one step per request."""
        edges = [self._log.bisect_left(start + i * MINUTE) for i in range(minutes + 1)]
        return [b - a for a, b in zip(edges, edges[1:])]

    def expire(self, before: int) -> int:
        """Drops the requests older than `before`; returns how many."""
        old = self._log.irange(max=before, inclusive=(True, False))
        for stamp in old:
            self._log.delete(stamp)
        return len(old)


def main() -> None:
    rng = random.Random(7)
    log = RequestLog()
    start = 1_700_000_000_000  # a Unix time in milliseconds
    # An hour of traffic, arriving out of order.
    stamps = rng.sample(range(start, start + 60 * MINUTE), 20_000)
    for t in stamps:
        log.record(t, rng.choice(["/", "/search", "/cart", "/checkout"]))

    print("requests logged:", len(log))
    print("in the first 5 minutes:", log.count(start, start + 5 * MINUTE))
    print("per minute, minutes 10 to 14:", log.per_minute(start + 10 * MINUTE, 5))
    first = log.between(start + 30 * MINUTE, start + 30 * MINUTE + 500)
    print("first half second of minute 30:", [(t - start, path) for t, path in first])
    dropped = log.expire(start + 45 * MINUTE)
    print(f"expired {dropped}, kept {len(log)}")
    print("in the first 5 minutes now:", log.count(start, start + 5 * MINUTE))


if __name__ == "__main__":
    main()
