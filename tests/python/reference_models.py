"""Plain-Python session-kNN recommenders, baselines, ranking metrics and the
leave-one-out protocol.

Everything here is written the direct way: dicts, sets, full sorts, one pass
per step, no caching and no clever indexing. It serves two purposes: the
differential tests compare the native module with it bit for bit, and the
benchmarks use it as the ordinary pure-Python way of writing these models.

Numbers follow the native engine exactly:

* scores are 32-bit floats (kept here as Python floats holding a float32
  value); every 32-bit operation goes through ``numpy.float32`` so that it is
  rounded to 32 bits once, as a C++ ``float`` operation is;
* kNN item scores are summed as Python floats (IEEE 754 doubles) in neighbour
  order and narrowed to 32 bits once at the end;
* metrics are doubles throughout, with ``math.log2`` for the discount.

Models work on dense item numbers 0..n-1 assigned in order of first
appearance in the training data (``Interner``); the public methods
``recommend``, ``score_all_items`` and ``evaluate_leave_one_out`` take and
return raw integer item ids like the native classes.
"""

from __future__ import annotations

import math
import struct
from typing import Iterable, Sequence

import numpy as np

MASK64 = (1 << 64) - 1

#: SplitMix64 increment and mixing constants.
GOLDEN_GAMMA = 0x9E3779B97F4A7C15
MIX1 = 0xBF58476D1CE4E5B9
MIX2 = 0x94D049BB133111EB

#: FNV-1a prime and the constant that the seed is xored with for the basis.
FNV_PRIME = 0x100000001B3
RANDOM_BASIS = 0x517CC1B727220A95

DEFAULT_CONFIG = {
    "k_neighbors": 100,
    "sample_size": 1000,
    "seed": 0,
    "similarity": "Cosine",
    "popularity_backoff": True,
}

RESERVED_MEASURES = ("Jaccard", "Dice", "Dot")


class ReservedMeasureError(Exception):
    """A similarity measure that is accepted but not implemented was used."""


# ------------------------------------------------------------------ 32-bit floats


def f32(x: float) -> float:
    """x rounded to the nearest 32-bit float (ties to even)."""
    return float(np.float32(x))


def add32(a: float, b: float) -> float:
    return float(np.float32(a) + np.float32(b))


def mul32(a: float, b: float) -> float:
    return float(np.float32(a) * np.float32(b))


def div32(a: float, b: float) -> float:
    return float(np.float32(a) / np.float32(b))


def sqrt32(a: float) -> float:
    """Correctly rounded 32-bit square root."""
    return float(np.sqrt(np.float32(a)))


def float32_bits(x: float) -> int:
    """The bit pattern of x as a 32-bit float, as an unsigned integer."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


# ------------------------------------------------------------------ ranking


def total_order_key(score: float) -> int:
    """Signed integer key of the IEEE 754 totalOrder on 32-bit floats: a
    larger key ranks first. -0.0 ranks below +0.0, NaNs rank by sign and
    payload beyond the infinities."""
    bits = float32_bits(score)
    signed = bits - (1 << 32) if bits & 0x80000000 else bits
    return signed ^ 0x7FFFFFFF if signed < 0 else signed


def ranking(scores: Sequence[float]) -> list[int]:
    """Every position of `scores`, best first: score descending under the
    totalOrder, equal bit patterns to the lower position."""
    return sorted(range(len(scores)), key=lambda i: (-total_order_key(scores[i]), i))


def top_k(scores: Sequence[float], k: int) -> list[int]:
    return ranking(scores)[:k]


# ------------------------------------------------------------------ SplitMix64


def splitmix64_outputs(seed: int):
    """The SplitMix64 output stream for `seed`."""
    state = seed & MASK64
    while True:
        state = (state + GOLDEN_GAMMA) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * MIX1) & MASK64
        z = ((z ^ (z >> 27)) * MIX2) & MASK64
        yield z ^ (z >> 31)


# ------------------------------------------------------------------ interner


class Interner:
    """Raw item id <-> dense item number, in order of first sight."""

    def __init__(self) -> None:
        self.ids: dict[int, int] = {}
        self.values: list[int] = []

    def intern(self, raw: int) -> int:
        if raw not in self.ids:
            self.ids[raw] = len(self.values)
            self.values.append(raw)
        return self.ids[raw]

    def __len__(self) -> int:
        return len(self.values)


class InteractionSequences:
    """Per-user item sequences from (user, item, timestamp) rows: items are
    numbered in row order, users kept in order of first appearance, each
    user's items sorted by timestamp (stable, so equal times keep row
    order)."""

    def __init__(self, rows: Iterable[tuple[object, int, int]]) -> None:
        self.interner = Interner()
        groups: dict[object, list[tuple[int, int]]] = {}
        for user, raw, timestamp in rows:
            item = self.interner.intern(raw)
            groups.setdefault(user, []).append((timestamp, item))
        self.sequences = [
            [item for _, item in sorted(group, key=lambda pair: pair[0])]
            for group in groups.values()
        ]

    def raw(self) -> list[list[int]]:
        return [[self.interner.values[item] for item in seq] for seq in self.sequences]


def intern_sequences(data) -> tuple[Interner, list[list[int]]]:
    """Numbers every raw id in order, sequence after sequence; an
    InteractionSequences keeps its own numbering."""
    if isinstance(data, InteractionSequences):
        interner = Interner()
        for raw in data.interner.values:
            interner.intern(raw)
        return interner, [list(seq) for seq in data.sequences]
    interner = Interner()
    sequences = [[interner.intern(raw) for raw in seq] for seq in data]
    return interner, sequences


# ------------------------------------------------------------------ models


class ReferenceModel:
    """The shared model protocol: a catalogue of dense items, a scoring
    function over it, and the raw-id conversions around it."""

    def __init__(self, interner: Interner) -> None:
        self.interner = interner

    def num_items(self) -> int:
        return len(self.interner)

    def scores(self, query: list[int]) -> list[float]:
        """One 32-bit score per item number for a query of item numbers."""
        raise NotImplementedError

    def to_query(self, raw_query: Iterable[int]) -> list[int]:
        """Raw ids to item numbers; ids the model does not know are dropped."""
        return [self.interner.ids[raw] for raw in raw_query if raw in self.interner.ids]

    def recommend(self, raw_query: Iterable[int], k: int) -> list[int]:
        order = top_k(self.scores(self.to_query(raw_query)), k)
        return [self.interner.values[i] for i in order]

    def score_all_items(self, raw_query: Iterable[int]) -> list[tuple[int, float]]:
        scores = self.scores(self.to_query(raw_query))
        return [(self.interner.values[i], scores[i]) for i in ranking(scores)]

    def evaluate_leave_one_out(self, data: Iterable[Iterable[int]], k: int = 10) -> dict:
        return leave_one_out_report(self, data, k)


class Popularity(ReferenceModel):
    """Occurrence counts as 32-bit floats; the query is ignored."""

    def __init__(self, training: Iterable[Iterable[int]]) -> None:
        interner, sequences = intern_sequences(training)
        super().__init__(interner)
        self.counts = [0.0] * len(interner)
        for seq in sequences:
            for item in seq:
                self.counts[item] = add32(self.counts[item], 1.0)

    @classmethod
    def fit(cls, training: Iterable[Iterable[int]]) -> "Popularity":
        return cls(training)

    def scores(self, query: list[int]) -> list[float]:
        return list(self.counts)


class Random(ReferenceModel):
    """Seeded uniform draws: SplitMix64 keyed by an FNV-1a hash of the query."""

    def __init__(self, num_items: int, seed: int = 0, interner: Interner | None = None) -> None:
        if interner is None:
            interner = Interner()
            for raw in range(num_items):
                interner.intern(raw)
        super().__init__(interner)
        self.size = num_items
        self.seed = seed

    @classmethod
    def fit(cls, data: Iterable[Iterable[int]], seed: int = 0) -> "Random":
        interner, _ = intern_sequences(data)
        return cls(len(interner), seed, interner)

    def num_items(self) -> int:
        return self.size

    def query_hash(self, query: list[int]) -> int:
        h = (self.seed ^ RANDOM_BASIS) & MASK64
        for q in query:
            h = ((h ^ q) * FNV_PRIME) & MASK64
        return h

    def scores(self, query: list[int]) -> list[float]:
        h = self.query_hash(query)
        out = []
        for i in range(self.size):
            z = (h + (i + 1) * GOLDEN_GAMMA) & MASK64
            z = ((z ^ (z >> 30)) * MIX1) & MASK64
            z = ((z ^ (z >> 27)) * MIX2) & MASK64
            r = z >> 40
            out.append(mul32(float(r), 2.0**-24))
        return out


class SessionStore:
    """Every training sequence as one session, with an inverted index from
    item to the sessions that hold it."""

    def __init__(self, sequences: list[list[int]], num_items: int) -> None:
        self.num_items = num_items
        self.sessions: list[list[int]] = []
        self.session_sizes: list[float] = []
        self.postings: list[list[int]] = [[] for _ in range(num_items)]
        self.item_counts: list[float] = [0.0] * num_items
        for s, seq in enumerate(sequences):
            for item in seq:
                self.item_counts[item] = add32(self.item_counts[item], 1.0)
            seen: set[int] = set()
            for item in seq:
                if item not in seen:
                    seen.add(item)
                    self.postings[item].append(s)
            self.session_sizes.append(f32(len(seen)))
            self.sessions.append(list(seq))

    def candidates(self, query_vector: list[tuple[int, float]]) -> list[tuple[int, float]]:
        """(session, overlap) for every session holding a query item, by
        ascending session; overlaps are float32 sums in query-entry order."""
        overlap: dict[int, float] = {}
        for item, weight in query_vector:
            if item >= len(self.postings):
                continue
            for s in self.postings[item]:
                overlap[s] = add32(overlap.get(s, 0.0), weight)
        return sorted(overlap.items())

    def finalize(self, scores: list[float], popularity_backoff: bool) -> list[float]:
        if popularity_backoff and all(v == 0.0 for v in scores):
            return list(self.item_counts)
        return [f32(v) for v in scores]


def sample_candidates(candidates: list, sample_size: int | None, seed: int) -> list:
    """At most `sample_size` candidates by a seeded partial Fisher-Yates
    shuffle; None means no cap."""
    if sample_size is None or len(candidates) <= sample_size:
        return list(candidates)
    out = list(candidates)
    length = len(out)
    rng = splitmix64_outputs(seed)
    for i in range(sample_size):
        j = i + next(rng) % (length - i)
        out[i], out[j] = out[j], out[i]
    return out[:sample_size]


def binary_query(query: list[int]) -> list[tuple[int, float]]:
    """Distinct items in order of first occurrence, weight 1.0."""
    seen: set[int] = set()
    out = []
    for item in query:
        if item not in seen:
            seen.add(item)
            out.append((item, 1.0))
    return out


def recency_weighted_query(query: list[int]) -> list[tuple[int, float]]:
    """Each distinct item with weight p / n (float32), p the 1-based position
    of its last occurrence, n the query length. Entries by ascending last
    position (the order only matters for the last bit of float32 sums)."""
    if not query:
        return []
    n = len(query)
    last: dict[int, int] = {}
    for p, item in enumerate(query, start=1):
        last[item] = p
    entries = sorted(last.items(), key=lambda entry: entry[1])
    return [(item, div32(float(p), float(n))) for item, p in entries]


def cosine(similarity: str, overlap: float, query_size: float, session_size: float) -> float:
    if similarity != "Cosine":
        raise ReservedMeasureError(
            f"not implemented: {similarity} similarity is reserved but not yet implemented"
        )
    d = mul32(query_size, session_size)
    if d > 0.0:
        return div32(overlap, sqrt32(d))
    return 0.0


def rank_neighbours(
    candidates: list[tuple[int, float]], k_neighbors: int
) -> list[tuple[int, float]]:
    """Weight descending under the totalOrder, ties to the lower session."""
    ordered = sorted(candidates, key=lambda c: (-total_order_key(c[1]), c[0]))
    return ordered[:k_neighbors]


def make_config(config: dict | None) -> dict:
    merged = dict(DEFAULT_CONFIG)
    if config:
        merged.update(config)
    if merged["sample_size"] == 0:
        merged["sample_size"] = None
    return merged


class _SessionKnn(ReferenceModel):
    """The pipeline the three kNN scorers share: query vector, candidates,
    sampling, neighbour weights, ranking, accumulation, finalize."""

    def __init__(self, training: Iterable[Iterable[int]], config: dict | None = None) -> None:
        interner, sequences = intern_sequences(training)
        super().__init__(interner)
        self.config = make_config(config)
        self.store = SessionStore(sequences, len(interner))

    @classmethod
    def fit(cls, training, config: dict | None = None):
        return cls(training, config)

    def num_items(self) -> int:
        return self.store.num_items

    def neighbours(self, query: list[int]) -> list[tuple[int, float]]:
        raise NotImplementedError

    def accumulate(self, query: list[int], neighbours: list[tuple[int, float]]) -> list[float]:
        """Each neighbour adds its weight once to every distinct item of its
        session, in neighbour order, in double precision."""
        scores = [0.0] * self.store.num_items
        for s, weight in neighbours:
            seen: set[int] = set()
            for item in self.store.sessions[s]:
                if item not in seen:
                    seen.add(item)
                    scores[item] += weight
        return scores

    def scores(self, query: list[int]) -> list[float]:
        neighbours = self.neighbours(query)
        scores = self.accumulate(query, neighbours)
        return self.store.finalize(scores, self.config["popularity_backoff"])


class Sknn(_SessionKnn):
    """Neighbours by set cosine between the query and each session."""

    def neighbours(self, query: list[int]) -> list[tuple[int, float]]:
        cfg = self.config
        vector = binary_query(query)
        q = f32(len(vector))
        found = self.store.candidates(vector)
        found = sample_candidates(found, cfg["sample_size"], cfg["seed"])
        weighted = [
            (s, cosine(cfg["similarity"], overlap, q, self.store.session_sizes[s]))
            for s, overlap in found
        ]
        return rank_neighbours(weighted, cfg["k_neighbors"])


class VSknn(_SessionKnn):
    """Neighbours by recency-weighted overlap; no similarity measure."""

    def neighbours(self, query: list[int]) -> list[tuple[int, float]]:
        cfg = self.config
        found = self.store.candidates(recency_weighted_query(query))
        found = sample_candidates(found, cfg["sample_size"], cfg["seed"])
        return rank_neighbours(found, cfg["k_neighbors"])


class SSknn(Sknn):
    """Sknn neighbours; each recommends what follows its anchor, weighted by
    1 / distance."""

    def accumulate(self, query: list[int], neighbours: list[tuple[int, float]]) -> list[float]:
        scores = [0.0] * self.store.num_items
        for s, weight in neighbours:
            session = self.store.sessions[s]
            if not session:
                continue
            last: dict[int, int] = {}
            for j, item in enumerate(session, start=1):
                last[item] = j
            anchor = None
            for item in reversed(query):
                if item in last:
                    anchor = last[item]
                    break
            if anchor is None:
                continue
            for j in range(anchor + 1, len(session) + 1):
                d = j - anchor
                scores[session[j - 1]] += (1.0 / float(d)) * weight
        return scores


# ------------------------------------------------------------------ metrics


def distinct_with_ranks(recommended: Sequence[int]) -> list[tuple[int, int]]:
    seen: set[int] = set()
    out = []
    for item in recommended:
        if item not in seen:
            seen.add(item)
            out.append((len(out) + 1, item))
    return out


def hits_at_k(recommended, relevant: set, k: int) -> int:
    if not relevant:
        return 0
    ranked = distinct_with_ranks(recommended)
    return sum(1 for rank, item in ranked if rank <= k and item in relevant)


def precision_at_k(recommended, relevant: set, k: int) -> float:
    if k == 0:
        return 0.0
    return float(hits_at_k(recommended, relevant, k)) / float(k)


def recall_at_k(recommended, relevant: set, k: int) -> float:
    if not relevant:
        return 0.0
    return float(hits_at_k(recommended, relevant, k)) / float(len(relevant))


def f1_at_k(recommended, relevant: set, k: int) -> float:
    p = precision_at_k(recommended, relevant, k)
    r = recall_at_k(recommended, relevant, k)
    s = p + r
    if s != 0.0:
        return ((p + p) * r) / s
    return 0.0


def hit_rate_at_k(recommended, relevant: set, k: int) -> float:
    return 1.0 if hits_at_k(recommended, relevant, k) >= 1 else 0.0


def ndcg_at_k(recommended, relevant: set, k: int) -> float:
    if k == 0:
        return 0.0
    dcg = 0.0
    for rank, item in distinct_with_ranks(recommended):
        if rank <= k and item in relevant:
            dcg += 1.0 / math.log2(float(rank) + 1.0)
    if not relevant:
        return 0.0
    idcg = 0.0
    for i in range(1, min(k, len(relevant)) + 1):
        idcg += 1.0 / math.log2(float(i) + 1.0)
    return dcg / idcg if idcg != 0.0 else 0.0


def arhr_at_k(recommended, relevant: set, k: int) -> float:
    if k == 0:
        return 0.0
    total = 0.0
    for rank, item in distinct_with_ranks(recommended):
        if rank <= k and item in relevant:
            total += 1.0 / float(rank)
    return total


def reciprocal_rank(recommended, relevant: set) -> float:
    ranked = distinct_with_ranks(recommended)
    if not ranked or not relevant:
        return 0.0
    for rank, item in ranked:
        if item in relevant:
            return 1.0 / float(rank)
    return 0.0


def average_precision(recommended, relevant: set) -> float:
    if not relevant:
        return 0.0
    hits = 0
    total = 0.0
    for rank, item in distinct_with_ranks(recommended):
        if item in relevant:
            hits += 1
            total += float(hits) / float(rank)
    return total / float(len(relevant))


# ------------------------------------------------------------------ leave-one-out

NO_SEQUENCES_TO_EVALUATE = "no sequences with at least two interactions to evaluate"


def leave_one_out_report(model: ReferenceModel, data: Iterable[Iterable[int]], k: int) -> dict:
    """Holds out the last item of every sequence with two or more items,
    ranks the whole catalogue for the rest and averages six metrics.
    Raises ValueError when no sequence qualifies."""
    sums = dict.fromkeys(("hit_rate", "ndcg", "mrr", "f1", "map", "arhr"), 0.0)
    count = 0
    if isinstance(data, InteractionSequences):
        data = data.raw()
    for seq in data:
        seq = list(seq)
        if len(seq) < 2:
            continue
        target, prefix = seq[-1], seq[:-1]
        query = model.to_query(prefix)
        ranked = top_k(model.scores(query), model.num_items())
        relevant = {model.interner.ids[target]} if target in model.interner.ids else set()
        sums["hit_rate"] += hit_rate_at_k(ranked, relevant, k)
        sums["ndcg"] += ndcg_at_k(ranked, relevant, k)
        sums["mrr"] += reciprocal_rank(ranked, relevant)
        sums["f1"] += f1_at_k(ranked, relevant, k)
        sums["map"] += average_precision(ranked, relevant)
        sums["arhr"] += arhr_at_k(ranked, relevant, k)
        count += 1
    if count == 0:
        raise ValueError(NO_SEQUENCES_TO_EVALUATE)
    n = float(count)
    report = {"k": k, "num_queries": count}
    report.update({name: total / n for name, total in sums.items()})
    return report


MODELS = {
    "Popularity": Popularity,
    "Random": Random,
    "Sknn": Sknn,
    "VSknn": VSknn,
    "SSknn": SSknn,
}
