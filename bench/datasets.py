"""Deterministic key sets shared by every system in one benchmark run.

The parent process generates a dataset once per (size, key type), writes it
to a file and every system's worker process loads that same file. Probes
(lookup keys, range bounds, the second map of the set merges) are stored in
a second pickle so that after loading they are objects equal to, but
distinct from, the stored keys, as keys arriving from elsewhere in a program
would be.
"""

import base64
import pickle
import random
from array import array

KEY_TYPES = ("int", "float", "str")

# Point probes (hits, misses, bisect) per timed run; a random sample of this
# many keys gives stable per-operation figures without walking all 10^7.
PROBE_CAP = 200_000
# Positional probes are this many times fewer: btree reaches positional
# access only through a ctypes call, which costs about a microsecond.
POSITION_SHARE = 10
# Range queries per timed run, each spanning WINDOW consecutive keys.
WINDOWS = 2_000
WINDOW = 100
STR_LEN = 12


def _ints(rng, count):
    return [rng.getrandbits(63) for _ in range(count)]


def _floats(rng, count):
    return [rng.random() for _ in range(count)]


def _strs(rng, count):
    # 9 random bytes encode to exactly 12 URL-safe base64 characters.
    text = base64.urlsafe_b64encode(rng.randbytes(9 * count)).decode("ascii")
    return [text[i:i + STR_LEN] for i in range(0, STR_LEN * count, STR_LEN)]


_MAKERS = {"int": _ints, "float": _floats, "str": _strs}


def distinct_keys(rng, kind, count):
    """`count` distinct keys of `kind` in random order."""
    make = _MAKERS[kind]
    seen = dict.fromkeys(make(rng, count))
    while len(seen) < count:
        seen.update(dict.fromkeys(make(rng, count - len(seen))))
    return list(seen)[:count]


def generate(n, kind, seed, probe_cap=PROBE_CAP):
    """Returns (data, probes) for `n` keys of type `kind`, with at most
    `probe_cap` point probes of each sort.

    data: keys (insertion order), ascending, delete_order.
    probes: hits (present keys, random order), misses (absent keys, also
    used as bisect probes), windows ((lo, hi) spanning WINDOW keys each),
    positions (random positions, 0 to n - 1), partner (the sorted keys of
    the second map of the set merges: n keys, half of them equal to keys).
    """
    rng = random.Random(f"{seed}/{kind}/{n}")
    n_probes = min(n, probe_cap)
    shared = n // 2
    pool = distinct_keys(rng, kind, n + n_probes + n - shared)
    keys, misses, others = pool[:n], pool[n:n + n_probes], pool[n + n_probes:]
    ascending = sorted(keys)
    # keys is in random order, so its head is a random half.
    partner = sorted(keys[:shared] + others)
    delete_order = rng.sample(keys, n)
    hits = rng.sample(keys, n_probes)
    span = max(1, n - WINDOW + 1)
    starts = [rng.randrange(span) for _ in range(WINDOWS)]
    last = min(n, WINDOW) - 1
    windows = [(ascending[s], ascending[s + last]) for s in starts]
    n_positions = max(n_probes // POSITION_SHARE, min(n, 1000))
    positions = [rng.randrange(n) for _ in range(n_positions)]
    data = {"n": n, "kind": kind, "keys": keys, "ascending": ascending,
            "delete_order": delete_order}
    probes = {"hits": hits, "misses": misses, "windows": windows, "positions": positions,
              "partner": partner}
    return data, probes


def save(path, data, probes):
    with open(path, "wb") as f:
        pickle.dump(data, f, protocol=pickle.HIGHEST_PROTOCOL)
        pickle.dump(probes, f, protocol=pickle.HIGHEST_PROTOCOL)


def load(path):
    """The dataset as one dict: data and probes merged."""
    with open(path, "rb") as f:
        data = pickle.load(f)
        data.update(pickle.load(f))
    return data


def save_int_array(path, n, seed):
    """The int keys of size `n` as raw int64s, so that a worker can hold
    them without a single int object."""
    rng = random.Random(f"{seed}/int/{n}")
    with open(path, "wb") as f:
        array("q", distinct_keys(rng, "int", n)).tofile(f)


def load_int_array(path, n):
    keys = array("q")
    with open(path, "rb") as f:
        keys.fromfile(f, n)
    return keys
