"""Word frequencies, kept in alphabetical order as they are counted.

One sorted map holds each word's count, raised in one descent by
increment(); it answers alphabetical listings and prefix queries at any
moment, with no sort step. A second map, keyed by (-count, word), orders the
words by frequency for the top of the list.

Run: python examples/word_frequency.py [FILE]   (a built-in text without FILE)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

from btreemap import BTreeMap

TEXT = """
It was the best of times, it was the worst of times, it was the age of
wisdom, it was the age of foolishness, it was the epoch of belief, it was the
epoch of incredulity, it was the season of Light, it was the season of
Darkness, it was the spring of hope, it was the winter of despair, we had
everything before us, we had nothing before us, we were all going direct to
Heaven, we were all going direct the other way.
"""


def count_words(text: str) -> BTreeMap[str, int]:
    counts: BTreeMap[str, int] = BTreeMap()
    for word in re.findall(r"[a-z']+", text.lower()):
        counts.increment(word)
    return counts


def with_prefix(counts: BTreeMap[str, int], prefix: str) -> list[str]:
    """The words that start with `prefix` (not empty), in order: they are the
    words from the prefix itself up to, not including, the first string past
    all of them, the prefix with its last letter moved one up."""
    past = prefix[:-1] + chr(ord(prefix[-1]) + 1)
    return list(counts.irange(prefix, past, inclusive=(True, False)))


def by_frequency(counts: BTreeMap[str, int]) -> BTreeMap[tuple[int, str], None]:
    ranked: BTreeMap[tuple[int, str], None] = BTreeMap()
    for word, n in counts.items():
        ranked[-n, word] = None
    return ranked


def main() -> None:
    text = Path(sys.argv[1]).read_text(encoding="utf-8") if len(sys.argv) > 1 else TEXT
    counts = count_words(text)
    total = sum(counts.values())
    print(f"{total} words, {len(counts)} distinct")

    ranked = by_frequency(counts)
    top = [(word, -neg) for neg, word in ranked.islice(stop=5)]
    print("most frequent:", top)
    print("words starting with 'w':", with_prefix(counts, "w"))
    print("distinct words from 'a' to 'e':", counts.bisect_left("f") - counts.bisect_left("a"))
    print("first words alphabetically:", counts.items()[:4])


if __name__ == "__main__":
    main()
