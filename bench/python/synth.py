"""Deterministic synthetic session data for the benchmarks.

Sessions have a length of 2 + a geometric draw (mean about 21), items follow a
Zipf-like popularity (weight 1 / (rank + 20) ** 1.05 over the catalogue, raw ids a
seeded permutation of the ranks), so a few head items sit in a large share of
the sessions and most items are rare. Everything is drawn with numpy from a
fixed seed: the same arguments give the same data on every run.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class SessionData:
    """Sessions as one flat array of raw item ids plus offsets."""

    items: np.ndarray  # int64 raw item ids, session after session
    offsets: np.ndarray  # int64, len(sessions) + 1
    num_items: int

    @property
    def num_sessions(self) -> int:
        return len(self.offsets) - 1

    def session(self, s: int) -> np.ndarray:
        return self.items[self.offsets[s] : self.offsets[s + 1]]


def popularity(num_items: int, exponent: float = 1.05, shift: float = 20.0) -> np.ndarray:
    w = 1.0 / (np.arange(num_items, dtype=np.float64) + shift) ** exponent
    return w / w.sum()


def sessions(num_sessions: int, num_items: int, mean_length: float = 21.0, seed: int = 20261211) -> SessionData:
    rng = np.random.default_rng(seed)
    lengths = 2 + rng.geometric(1.0 / (mean_length - 1.0), size=num_sessions).astype(np.int64) - 1
    np.minimum(lengths, 400, out=lengths)
    offsets = np.zeros(num_sessions + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    cdf = np.cumsum(popularity(num_items))
    cdf[-1] = 1.0
    ranks = np.searchsorted(cdf, rng.random(int(offsets[-1])), side="right")
    raw_of_rank = rng.permutation(num_items).astype(np.int64) * 7 + 1000
    return SessionData(raw_of_rank[ranks], offsets, num_items)


def split(data: SessionData, held_out: int, seed: int = 7) -> tuple[SessionData, list[list[int]], list[int]]:
    """The first sessions for training, the last `held_out` as queries: for
    each, a prefix of seeded length 1 .. len - 1 and the item that follows."""
    train_sessions = data.num_sessions - held_out
    cut = int(data.offsets[train_sessions])
    train = SessionData(data.items[:cut], data.offsets[: train_sessions + 1], data.num_items)
    rng = np.random.default_rng(seed)
    prefixes: list[list[int]] = []
    targets: list[int] = []
    for s in range(train_sessions, data.num_sessions):
        seq = data.session(s)
        n = 1 + int(rng.integers(0, len(seq) - 1))
        prefixes.append(seq[:n].tolist())
        targets.append(int(seq[n]))
    return train, prefixes, targets


def as_lists(data: SessionData) -> list[list[int]]:
    return [part.tolist() for part in np.split(data.items, data.offsets[1:-1])]
