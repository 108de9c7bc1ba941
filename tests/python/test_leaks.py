"""Every entry point, on success and on its error paths, many times over:
reference counts of the objects involved and the process's memory stay flat."""

import gc
import os
import sys

import pytest

import _vosket as vk

pa = pytest.importorskip("pyarrow")

SANITIZED = os.environ.get("VOSKET_SANITIZED") == "1"
ROUNDS = 300 if SANITIZED else 3000


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


TRAIN = [[1, 2, 3], [2, 3, 4], [3, 4, 5, 1], [5, 6], [6, 1, 2]]
TABLE = pa.table(
    {
        "user_id": pa.array(["a", "a", "b", "b", "c", "c"]),
        "item_id": pa.array([1, 2, 2, 3, 3, 1], pa.int64()),
        "timestamp": pa.array([1, 2, 1, 2, 1, 2], pa.int64()),
    }
)
BAD_TABLE = pa.table({"user_id": [1], "item_id": pa.array([1], pa.int32()), "timestamp": [1]})


class NotAStream:
    def __arrow_c_stream__(self, requested_schema=None):
        return 42


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def exercise(seqs, models, config, jaccard):
    vk.Sequences.from_interactions(TABLE)
    expect(ValueError, vk.Sequences.from_interactions, BAD_TABLE)
    expect(TypeError, vk.Sequences.from_interactions, NotAStream())
    expect(ValueError, vk.Sequences.from_interactions, object())
    expect(TypeError, vk.Sequences.from_interactions, TABLE, user_col=3)
    repr(seqs), len(seqs), seqs.num_items()
    for m in models:
        m.recommend([1, 2, 99], 3)
        m.score_all_items([3])
        m.evaluate_leave_one_out(TRAIN, 2)
        m.evaluate_leave_one_out(seqs)
        expect(ValueError, m.evaluate_leave_one_out, [[1]])
        expect(TypeError, m.recommend, "12", 3)
        expect(OverflowError, m.recommend, [1], -1)
        expect(TypeError, m.recommend, [1])
        expect(TypeError, m.recommend, [1], 2, k=3)
        repr(m), m.num_items()
    vk.Popularity.fit(TRAIN)
    vk.Popularity.fit(seqs)
    vk.Random(10, seed=3)
    vk.Random.fit(TRAIN, 1)
    expect(TypeError, vk.Random, "5")
    for cls in (vk.Sknn, vk.VSknn, vk.SSknn):
        cls.fit(TRAIN, config)
        cls.fit(seqs)
        expect(TypeError, cls.fit, TRAIN, 5)
        expect(TypeError, cls.fit, ["ab"])
    expect(BaseException, jaccard.recommend, [1], 2)
    vk.SknnConfig(5, 0, 7, vk.Similarity.Dot, False)
    expect(TypeError, vk.SknnConfig, popularity_backoff=1)
    repr(config), config.sample_size, config.similarity
    vk.Similarity.Dice == 2, vk.Similarity.Dice != "x"
    for fn in (vk.precision_at_k, vk.recall_at_k, vk.f1_at_k, vk.hit_rate_at_k, vk.ndcg_at_k, vk.arhr_at_k):
        fn([1, 2, 3], {2, 9}, 2)
        expect(TypeError, fn, "12", [1], 2)
        expect(TypeError, fn, [1], 5, 2)
    vk.reciprocal_rank([1, 2], (x for x in [2]))
    vk.average_precision([1, 2], {2: 0})
    report = models[0].evaluate_leave_one_out(TRAIN)
    repr(report), report.k, report.map


def test_no_leaks_across_entry_points():
    seqs = vk.Sequences.from_interactions(TABLE)
    config = vk.SknnConfig(k_neighbors=3, sample_size=2)
    models = [
        vk.Popularity.fit(TRAIN),
        vk.Random(7, seed=1),
        vk.Sknn.fit(TRAIN, config),
        vk.VSknn.fit(TRAIN),
        vk.SSknn.fit(seqs, config),
    ]
    jaccard = vk.Sknn.fit(TRAIN, vk.SknnConfig(similarity=vk.Similarity.Jaccard))
    watched = [TABLE, BAD_TABLE, seqs, config, *models, jaccard, *(type(m) for m in models),
               vk.Sequences, vk.EvaluationReport, vk.SknnConfig, vk.Similarity, vk.Similarity.Dot]
    for _ in range(50):
        exercise(seqs, models, config, jaccard)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    rss_before = rss_bytes()
    for _ in range(ROUNDS):
        exercise(seqs, models, config, jaccard)
    gc.collect()
    refs_after = [sys.getrefcount(o) for o in watched]
    grown = rss_bytes() - rss_before
    assert refs_after == refs_before
    if not SANITIZED:
        assert grown < 8 * 1024 * 1024, f"process memory grew by {grown} bytes"
