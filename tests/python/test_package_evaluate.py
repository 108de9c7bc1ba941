"""vosket.evaluate: protocol "last" is one leave-one-out call, "all" scores every prefix."""

import pytest

import _vosket
import vosket
from vosket import _evaluate

SEQS = [s.items for s in vosket.sample_sessions(120, 40)]
TRAIN, TEST = SEQS[:90], SEQS[90:] + [[], [5]]  # the short ones give no query


def models():
    cfg = _vosket.SknnConfig(k_neighbors=20, sample_size=50, seed=1)
    return [_vosket.Popularity.fit(TRAIN), _vosket.Random.fit(TRAIN, seed=3),
            _vosket.Sknn.fit(TRAIN, cfg), _vosket.VSknn.fit(TRAIN, cfg),
            _vosket.SSknn.fit(TRAIN, cfg)]


def per_prediction_means(model, seqs, k):
    """The every-position protocol written out query by query with the metric functions."""
    n = model.num_items()
    sums = dict.fromkeys(("hit_rate", "ndcg", "mrr", "f1", "map", "arhr"), 0.0)
    count = 0
    for seq in seqs:
        for j in range(1, len(seq)):
            ranking, relevant = model.recommend(seq[:j], n), [seq[j]]
            sums["hit_rate"] += _vosket.hit_rate_at_k(ranking, relevant, k)
            sums["ndcg"] += _vosket.ndcg_at_k(ranking, relevant, k)
            sums["mrr"] += _vosket.reciprocal_rank(ranking, relevant)
            sums["f1"] += _vosket.f1_at_k(ranking, relevant, k)
            sums["map"] += _vosket.average_precision(ranking, relevant)
            sums["arhr"] += _vosket.arhr_at_k(ranking, relevant, k)
            count += 1
    return count, {m: v / count for m, v in sums.items()}


FIELDS = ("k", "num_queries", "hit_rate", "ndcg", "mrr", "f1", "map", "arhr")


@pytest.mark.parametrize("model", models(), ids=repr)
def test_last_is_exactly_one_leave_one_out_call(model):
    native = model.evaluate_leave_one_out(TEST, 5)
    report = vosket.evaluate(model, TEST, 5)
    assert report.protocol == "last"
    assert [getattr(report, f) for f in FIELDS] == [getattr(native, f) for f in FIELDS]


@pytest.mark.parametrize("model", models(), ids=repr)
def test_all_is_the_mean_over_every_next_item_prediction(model, monkeypatch):
    count, means = per_prediction_means(model, TEST, 5)
    report = vosket.evaluate(model, TEST, 5, protocol="all")
    assert (report.protocol, report.k, report.num_queries) == ("all", 5, count)
    assert {m: getattr(report, m) for m in means} == pytest.approx(means, rel=1e-12, abs=1e-15)
    # Scored in many small chunks, the combined means are the same.
    monkeypatch.setattr(_evaluate, "CHUNK_IDS", 7)
    calls = []
    chunked = vosket.evaluate(model, TEST, 5, protocol="all",
                              progress=lambda done, total: calls.append(done))
    assert len(calls) > 10 and calls[-1] == count  # one native call per chunk
    assert chunked.num_queries == count
    assert {m: getattr(chunked, m) for m in means} == pytest.approx(means, rel=1e-12, abs=1e-15)


def test_all_position_queries_and_their_chunks():
    assert list(_evaluate.all_position_queries([[1, 2, 3, 4], [9], [5, 6]])) == [
        [[1, 2], [1, 2, 3], [1, 2, 3, 4], [5, 6]]]
    chunks = list(_evaluate.all_position_queries([[1, 2, 3, 4], [5, 6]], chunk_ids=5))
    assert chunks == [[[1, 2], [1, 2, 3]], [[1, 2, 3, 4], [5, 6]]]


def test_tables_are_grouped_like_the_native_reader():
    pa = pytest.importorskip("pyarrow")
    cols = vosket.sample_interactions(120, 40)
    table = pa.table(cols)
    model = _vosket.Sknn.fit(TRAIN)
    # The table holds all 120 sessions in time order; grouped they are SEQS.
    for protocol in ("last", "all"):
        assert vosket.evaluate(model, table, 10, protocol=protocol) == vosket.evaluate(
            model, SEQS, 10, protocol=protocol)
    renamed = pa.table({"s": cols["user_id"], "i": cols["item_id"], "t": cols["timestamp"]})
    assert vosket.evaluate(model, renamed, 3, protocol="all", user_col="s", item_col="i",
                           timestamp_col="t") == vosket.evaluate(model, SEQS, 3, protocol="all")
    assert vosket.evaluate(model, vosket.from_arrow(table), 4) == vosket.evaluate(model, SEQS, 4)


def test_progress_callback_counts_predictions():
    calls = []
    vosket.evaluate(_vosket.Popularity.fit(TRAIN), [[1, 2, 3], [4, 5]], 3, protocol="all",
                    progress=lambda done, total: calls.append((done, total)))
    assert calls == [(3, 3)]


def test_refusals():
    model = _vosket.Popularity.fit(TRAIN)
    seqs = _vosket.Sequences.from_interactions(
        pytest.importorskip("pyarrow").table(vosket.sample_interactions(10, 5)))
    with pytest.raises(TypeError, match="protocol 'all' needs the sequences as lists"):
        vosket.evaluate(model, seqs, 10, protocol="all")
    with pytest.raises(ValueError, match="protocol must be 'last' or 'all'"):
        vosket.evaluate(model, TEST, 10, protocol="every")
    for protocol in ("last", "all"):
        with pytest.raises(ValueError, match="no sequences with at least two interactions"):
            vosket.evaluate(model, [[1], []], 10, protocol=protocol)
    with pytest.raises(TypeError):
        vosket.evaluate(model, ["ab"], 10, protocol="all")


def test_report_repr_and_dict():
    report = vosket.evaluate(_vosket.Popularity.fit([[1, 2]]), [[1, 2]], 10)
    assert repr(report) == ("Report(protocol='last', k=10, num_queries=1, hit_rate=1.0000, "
                            "ndcg=0.6309, mrr=0.5000, f1=0.1818, map=0.5000, arhr=0.5000)")
    assert report.as_dict()["num_queries"] == 1
