"""Session-kNN written the way it is usually written in plain Python: a dict
from item to the set of sessions holding it, dicts for the per-query
accumulators, heapq for the top neighbours and the top items.

It runs the same algorithm as the native Sknn, VSknn and SSknn (binary or
recency-weighted query, overlap per candidate session, SplitMix64 partial
Fisher-Yates sampling of the candidates in ascending session order, cosine
similarity, the k most similar neighbours with ties to the lower session,
accumulation, popularity backoff, top-k with ties to the earlier item), but
in Python floats (doubles) rather than the native 32-bit rounding, so an
occasional tie or last-bit difference can change a ranking. It is the
baseline of the query benchmark, not a bit-exact reference (that is
tests/python/reference_models.py).
"""

from __future__ import annotations

import heapq
import math
from collections import defaultdict

MASK64 = (1 << 64) - 1


def splitmix64(seed: int):
    state = seed
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        yield z ^ (z >> 31)


class DictSknn:
    """variant: "sknn", "vsknn" or "ssknn"."""

    def __init__(self, sessions: list[list[int]], variant: str = "sknn", k_neighbors: int = 100,
                 sample_size: int | None = 1000, seed: int = 0, popularity_backoff: bool = True):
        self.variant = variant
        self.k_neighbors = k_neighbors
        self.sample_size = sample_size
        self.seed = seed
        self.popularity_backoff = popularity_backoff
        self.sessions = sessions
        self.item_sessions: dict[int, set[int]] = defaultdict(set)
        self.session_size: list[int] = []
        self.item_count: dict[int, int] = defaultdict(int)
        self.first_seen: dict[int, int] = {}
        for s, session in enumerate(sessions):
            for item in session:
                self.item_count[item] += 1
                if item not in self.first_seen:
                    self.first_seen[item] = len(self.first_seen)
            distinct = set(session)
            for item in distinct:
                self.item_sessions[item].add(s)
            self.session_size.append(len(distinct))
        self.items_by_id = sorted(self.first_seen, key=self.first_seen.__getitem__)

    def share(self, other: "DictSknn", variant: str) -> "DictSknn":
        """The same store under another variant (the index is built once)."""
        clone = object.__new__(DictSknn)
        clone.__dict__.update(self.__dict__)
        clone.variant = variant
        return clone

    def query_vector(self, query: list[int]) -> dict[int, float]:
        if self.variant == "vsknn":
            n = len(query)
            return {item: p / n for p, item in enumerate(query, start=1)}
        return dict.fromkeys(query, 1.0)

    def neighbours(self, query: list[int]) -> list[tuple[int, float]]:
        vector = self.query_vector(query)
        overlap: dict[int, float] = defaultdict(float)
        for item, weight in vector.items():
            for s in self.item_sessions.get(item, ()):
                overlap[s] += weight
        candidates = sorted(overlap.items())
        if self.sample_size is not None and len(candidates) > self.sample_size:
            rng = splitmix64(self.seed)
            length = len(candidates)
            for i in range(self.sample_size):
                j = i + next(rng) % (length - i)
                candidates[i], candidates[j] = candidates[j], candidates[i]
            del candidates[self.sample_size:]
        if self.variant != "vsknn":
            q = len(vector)
            candidates = [(s, o / math.sqrt(q * self.session_size[s])) for s, o in candidates]
        return heapq.nlargest(self.k_neighbors, candidates, key=lambda c: (c[1], -c[0]))

    def scores(self, query: list[int]) -> dict[int, float]:
        scores: dict[int, float] = defaultdict(float)
        for s, weight in self.neighbours(query):
            session = self.sessions[s]
            if self.variant == "ssknn":
                last = {item: j for j, item in enumerate(session, start=1)}
                anchor = next((last[item] for item in reversed(query) if item in last), None)
                if anchor is None:
                    continue
                for j in range(anchor + 1, len(session) + 1):
                    scores[session[j - 1]] += (1.0 / (j - anchor)) * weight
            else:
                for item in set(session):
                    scores[item] += weight
        return scores

    def recommend(self, query: list[int], k: int) -> list[int]:
        first = self.first_seen
        query = [item for item in query if item in first]  # unknown ids are dropped
        scores = self.scores(query)
        if self.popularity_backoff and all(v == 0.0 for v in scores.values()):
            scores = self.item_count
        best = heapq.nlargest(k, ((v, -first[item], item) for item, v in scores.items() if v != 0.0))
        out = [item for _, _, item in best]
        for item in self.items_by_id:  # fewer than k scored items: zeros, earliest first
            if len(out) >= k:
                break
            if scores.get(item, 0.0) == 0.0:
                out.append(item)
        return out
