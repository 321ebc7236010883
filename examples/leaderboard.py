"""A game leaderboard: scores change all the time, and every player wants to
know their rank.

The map is keyed by (-score, name), so the best score comes first and ties
are listed by name. A player's rank is one more than the number of players
with a better score, which bisect_left answers in one descent, however many
players there are and however often their scores change.

Run: python examples/leaderboard.py
"""

from __future__ import annotations

from btreemap import BTreeMap


class Leaderboard:
    def __init__(self) -> None:
        self._board: BTreeMap[tuple[int, str], None] = BTreeMap()
        self._scores: dict[str, int] = {}

    def __len__(self) -> int:
        return len(self._board)

    def record(self, name: str, score: int) -> None:
        """Sets a player's score, replacing an earlier one."""
        old = self._scores.get(name)
        if old is not None:
            del self._board[-old, name]
        self._scores[name] = score
        self._board[-score, name] = None

    def rank(self, name: str) -> int:
        """1 for the leader; players with equal scores share a rank."""
        return self.rank_of_score(self._scores[name])

    def rank_of_score(self, score: int) -> int:
        """The rank a player with this score has, or would have."""
        # (-score, "") sorts before every player with this score.
        return self._board.bisect_left((-score, "")) + 1

    def top(self, n: int) -> list[tuple[str, int]]:
        return [(name, -neg) for neg, name in self._board.islice(stop=n)]

    def scoring_between(self, low: int, high: int) -> list[str]:
        """Players whose score lies in [low, high], best first."""
        # (-high, "") sorts before every player with score high, and
        # (1 - low, "") after every player with score low: the bounds take in
        # whole score groups whatever the names.
        keys = self._board.irange((-high, ""), (1 - low, ""), inclusive=(True, False))
        return [name for _, name in keys]


def main() -> None:
    board = Leaderboard()
    results = [("ada", 3120), ("bob", 2890), ("cy", 3120), ("di", 1500), ("eve", 2999), ("fay", 2400)]
    for name, score in results:
        board.record(name, score)

    print("top 3:", board.top(3))
    for name in ("ada", "cy", "eve", "di"):
        print(f"rank of {name}: {board.rank(name)}")

    board.record("di", 3500)  # di's comeback
    print("after di's comeback, top 3:", board.top(3))
    print("rank of ada:", board.rank("ada"))
    print("players between 2400 and 3000:", board.scoring_between(2400, 3000))
    print("a score of 3000 would rank:", board.rank_of_score(3000))
    print("players:", len(board))


if __name__ == "__main__":
    main()
