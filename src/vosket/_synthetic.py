"""A deterministic synthetic click log, embedded so that ``vosket evaluate`` runs anywhere.

The generator is pure Python on the standard library's ``random.Random`` with a fixed
seed: the same arguments give the same log on every machine and Python version.

What it models:

* skewed item popularity (Zipf-like weights over a shuffled catalogue), so the
  popularity baseline has something to find;
* varied session lengths (2 to 30 clicks, most sessions short);
* sequential structure: every item has a few preferred successors, and most clicks
  follow one of them. Sessions that share items therefore continue alike, which is
  what the session-kNN models exploit and the baselines cannot see;
* occasional repeated clicks on the same item, as real logs have;
* interleaved sessions in time: session ``i`` starts a little after session ``i - 1``
  and its clicks are spread over a few minutes, so a split by time is meaningful.
"""

from __future__ import annotations

import bisect
import itertools
import random
from typing import NamedTuple

__all__ = ["Session", "sample_sessions", "sample_interactions"]

#: Seed of the embedded sample.
DEFAULT_SEED = 20_261_211
#: First timestamp of the embedded sample, in seconds since the Unix epoch.
_EPOCH = 1_700_000_000


class Session(NamedTuple):
    """One synthetic session: its id, its items and their timestamps (seconds), oldest first."""

    session_id: int
    items: list[int]
    timestamps: list[int]


def sample_sessions(
    num_sessions: int = 3000, num_items: int = 400, *, seed: int = DEFAULT_SEED
) -> list[Session]:
    """Returns the synthetic sessions, in order of their first click.

    Session ids are 0, 1, 2, ...; item ids are 1000 and up (not dense, so that
    code relying on ids being positions shows up). Timestamps strictly increase
    within a session; sessions start 45 to 85 seconds apart.
    """
    if num_sessions < 0 or num_items < 1:
        raise ValueError("num_sessions must be >= 0 and num_items >= 1")
    rng = random.Random(seed)

    item_ids = [1000 + 7 * i for i in range(num_items)]
    rng.shuffle(item_ids)
    # Zipf-like popularity: the item at popularity rank r has weight 1 / (r + 1)^1.1.
    popularity = list(itertools.accumulate(1.0 / (r + 1) ** 1.1 for r in range(num_items)))

    def popular_item() -> int:
        return bisect.bisect_left(popularity, rng.random() * popularity[-1])

    # Each item prefers three successors, drawn uniformly: the chain, not popularity,
    # decides most next clicks.
    successors = [[rng.randrange(num_items) for _ in range(3)] for _ in range(num_items)]
    successor_cum = (0.6, 0.85, 1.0)

    sessions: list[Session] = []
    start = _EPOCH
    for session_id in range(num_sessions):
        start += 45 + rng.randrange(40)
        length = 2 + min(int(rng.expovariate(1 / 4.0)), 28)
        current = popular_item()
        positions = [current]
        while len(positions) < length:
            draw = rng.random()
            if draw < 0.05:
                pass  # a repeated click on the same item
            elif draw < 0.80:
                pick = rng.random()
                current = successors[current][bisect.bisect_left(successor_cum, pick)]
            else:
                current = popular_item()
            positions.append(current)
        clock = start
        timestamps = []
        for _ in positions:
            timestamps.append(clock)
            clock += 5 + rng.randrange(120)
        sessions.append(Session(session_id, [item_ids[p] for p in positions], timestamps))
    return sessions


def sample_interactions(
    num_sessions: int = 3000, num_items: int = 400, *, seed: int = DEFAULT_SEED
) -> dict[str, list[int]]:
    """Returns the synthetic log as columns ``user_id``, ``item_id`` and ``timestamp``.

    Rows are sorted by session, then time, so the table read by `from_arrow`
    gives exactly the sessions of :func:`sample_sessions` with the same item
    numbering as the lists: a model fitted on either ranks ties alike. The dict
    can be handed to ``pyarrow.table``, ``polars.DataFrame`` or
    ``pandas.DataFrame`` as it is.
    """
    columns: dict[str, list[int]] = {"user_id": [], "item_id": [], "timestamp": []}
    for s in sample_sessions(num_sessions, num_items, seed=seed):
        columns["user_id"].extend([s.session_id] * len(s.items))
        columns["item_id"].extend(s.items)
        columns["timestamp"].extend(s.timestamps)
    return columns
