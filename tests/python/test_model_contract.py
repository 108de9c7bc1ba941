"""The protocol all five model classes share, checked on every class."""

import math
import struct

import pytest

import _vosket as vk

from conftest import KNN_CLASSES, TRAIN, fit

TRAIN_ITEMS = [10, 20, 30, 40, 50, 60]  # in order of first appearance


def as_f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


def total_order_key(score: float) -> int:
    (bits,) = struct.unpack("<i", struct.pack("<f", score))
    return bits ^ 0x7FFFFFFF if bits < 0 else bits


class Text(str):
    pass


QUERIES = [[], [10], [20, 30], [60, 10, 10], [99], [30, 99, 50, -1]]


def test_fit_repr_and_catalogue(model_class):
    model = fit(model_class, TRAIN)
    assert type(model) is model_class
    assert model.num_items() == len(TRAIN_ITEMS)
    assert repr(model) == f"{model_class.__name__}(num_items=6)"
    assert str(model) == repr(model)
    assert sorted(model.recommend([], 100)) == sorted(TRAIN_ITEMS)


@pytest.mark.parametrize("query", QUERIES)
def test_scores_are_the_ranking(model_class, query):
    model = fit(model_class, TRAIN)
    scored = model.score_all_items(query)
    assert len(scored) == 6
    assert all(type(item) is int and type(score) is float for item, score in scored)
    assert sorted(item for item, _ in scored) == sorted(TRAIN_ITEMS)
    # Every score is a 32-bit float widened exactly.
    assert all(as_f32(score) == score or math.isnan(score) for _, score in scored)
    # Descending under totalOrder; equal scores keep first-appearance order.
    keys = [(-total_order_key(score), TRAIN_ITEMS.index(item)) for item, score in scored]
    assert keys == sorted(keys)
    assert model.recommend(query, 6) == [item for item, _ in scored]


@pytest.mark.parametrize("k", [0, 1, 3, 6, 7, 1000, 2**64 - 1])
def test_recommend_length_and_prefix(model_class, k):
    model = fit(model_class, TRAIN)
    full = model.recommend([20], 6)
    got = model.recommend([20], k)
    assert got == full[: min(k, 6)]
    assert len(set(got)) == len(got)


def test_unknown_ids_are_dropped(model_class):
    model = fit(model_class, TRAIN)
    assert model.recommend([99, 20, -5, 30, 2**62], 6) == model.recommend([20, 30], 6)
    assert model.score_all_items([99, 20, 30]) == model.score_all_items([20, 30])
    assert model.recommend([99, -1], 6) == model.recommend([], 6)
    # Queries never extend the catalogue.
    model.recommend([123, 456], 6)
    assert model.num_items() == 6
    assert 123 not in model.recommend([123], 100)


def test_calls_change_nothing(model_class):
    data = [list(s) for s in TRAIN]
    model = fit(model_class, data)
    assert data == TRAIN
    first = (model.recommend([10, 20], 4), model.score_all_items([30]))
    report = model.evaluate_leave_one_out(data, 3)
    query = [10, 20]
    model.recommend(query, 4)
    assert query == [10, 20]
    assert (model.recommend([10, 20], 4), model.score_all_items([30])) == first
    assert repr(model.evaluate_leave_one_out(data, 3)) == repr(report)
    with pytest.raises(AttributeError):
        model.num_items = 3
    with pytest.raises(AttributeError):
        model.anything = 1


def test_fit_returns_independent_objects(model_class):
    a = fit(model_class, TRAIN)
    b = fit(model_class, [[1, 2]])
    assert a is not b
    assert a.num_items() == 6 and b.num_items() == 2


def test_empty_catalogue(model_class):
    model = fit(model_class, [])
    assert model.num_items() == 0
    assert model.recommend([1, 2], 5) == []
    assert model.score_all_items([]) == []
    assert repr(model) == f"{model_class.__name__}(num_items=0)"
    report = model.evaluate_leave_one_out([[1, 2]])
    assert (report.num_queries, report.hit_rate, report.mrr) == (1, 0.0, 0.0)


def test_sequence_forms_are_equivalent(model_class):
    as_lists = fit(model_class, TRAIN)
    as_tuples = fit(model_class, tuple(tuple(s) for s in TRAIN))
    assert as_lists.score_all_items((10, 20)) == as_tuples.score_all_items([10, 20])
    assert as_lists.recommend(range(10, 31, 10), 6) == as_tuples.recommend([10, 20, 30], 6)


@pytest.mark.parametrize(
    "data, exc",
    [("12", TypeError), (["12"], TypeError), (Text("12"), TypeError), ([[1], Text("2")], TypeError), ({1, 2}, TypeError), ([{1, 2}], TypeError),
     (5, TypeError), ([[1, 2.5]], TypeError), ([[2**63]], OverflowError)],
)
def test_bad_data_is_refused(model_class, data, exc):
    with pytest.raises(exc) as info:
        fit(model_class, data)
    assert not str(info.value).startswith("argument")
    model = fit(model_class, TRAIN)
    with pytest.raises(exc) as info:
        model.evaluate_leave_one_out(data)
    assert not str(info.value).startswith("argument")


def test_evaluate_defaults_and_errors(model_class):
    model = fit(model_class, TRAIN)
    assert model.evaluate_leave_one_out(TRAIN).k == 10
    assert repr(model.evaluate_leave_one_out(TRAIN)) == repr(model.evaluate_leave_one_out(TRAIN, k=10))
    for data in ([[1], [2]], [], [[], [5]]):
        with pytest.raises(ValueError) as info:
            model.evaluate_leave_one_out(data)
        assert str(info.value) == "no sequences with at least two interactions to evaluate"
    # k is converted before the data.
    with pytest.raises(TypeError, match="^argument 'k': "):
        model.evaluate_leave_one_out("bad", "k")


def reference_report(model, data, k):
    """Leave-one-out computed from Python through recommend and the metric
    functions: the values the report must hold, summed in the same order."""
    sums = dict(hit_rate=0.0, ndcg=0.0, mrr=0.0, f1=0.0, map=0.0, arhr=0.0)
    n = 0
    for seq in data:
        if len(seq) < 2:
            continue
        ranking = model.recommend(seq[:-1], model.num_items())
        relevant = [seq[-1]]
        sums["hit_rate"] += vk.hit_rate_at_k(ranking, relevant, k)
        sums["ndcg"] += vk.ndcg_at_k(ranking, relevant, k)
        sums["mrr"] += vk.reciprocal_rank(ranking, relevant)
        sums["f1"] += vk.f1_at_k(ranking, relevant, k)
        sums["map"] += vk.average_precision(ranking, relevant)
        sums["arhr"] += vk.arhr_at_k(ranking, relevant, k)
        n += 1
    return n, {name: value / n for name, value in sums.items()}


EVAL_DATA = [[10, 20], [20, 30, 40], [99, 30], [40, 77], [5], [], [60, 10, 60], [10, 20, 10]]


@pytest.mark.parametrize("k", [0, 1, 2, 10])
def test_evaluate_matches_recommend(model_class, k):
    model = fit(model_class, TRAIN)
    report = model.evaluate_leave_one_out(EVAL_DATA, k)
    n, expected = reference_report(model, EVAL_DATA, k)
    assert report.k == k
    assert report.num_queries == n == 6
    for name, value in expected.items():
        assert getattr(report, name) == value, name
    assert report.mrr == report.map


def split_sessions(sequences, every=5):
    train = [list(s) for i, s in enumerate(sequences) if i % every]
    test = [list(s) for i, s in enumerate(sequences) if not i % every]
    return train, test


@pytest.mark.parametrize("k", [1, 20])
def test_leave_one_out_identities_on_real_sessions(model_class, yoochoose, k):
    """On real click sessions (one target per query): mrr equals map, and the
    hit rate at k equals the mean recall at k of recommend's top k."""
    train, test = split_sessions(yoochoose[:6000])
    model = fit(model_class, train)
    report = model.evaluate_leave_one_out(test, k)
    assert report.num_queries == len(test)
    assert report.mrr == report.map
    recall = 0.0
    for seq in test:
        recall += vk.recall_at_k(model.recommend(seq[:-1], k), [seq[-1]], k)
    assert report.hit_rate == recall / len(test)
    assert 0.0 <= report.ndcg <= report.hit_rate <= 1.0
    assert report.arhr <= report.hit_rate


def test_leave_one_out_on_long_histories(model_class, movielens):
    train, test = split_sessions(movielens[:300], every=3)
    model = fit(model_class, train)
    report = model.evaluate_leave_one_out(test)
    n, expected = reference_report(model, test, 10)
    assert report.num_queries == n
    assert report.mrr == report.map == expected["map"]
    assert report.hit_rate == expected["hit_rate"]


@pytest.mark.parametrize("cls", KNN_CLASSES, ids=lambda c: c.__name__)
def test_knn_unknown_ids_also_dropped_for_sequential_anchor(cls):
    # An unknown id at the end of the query must not change the anchor or the
    # recency positions: it is removed before the core sees the query.
    model = cls.fit([[1, 2, 3, 4], [3, 5]])
    assert model.score_all_items([1, 3, 999]) == model.score_all_items([1, 3])


def interaction_table(sequences):
    pa = pytest.importorskip("pyarrow")
    users, items, stamps = [], [], []
    for user, seq in enumerate(sequences):
        for t, item in enumerate(seq):
            users.append(user)
            items.append(item)
            stamps.append(t)
    return pa.table({"user_id": pa.array(users, pa.int64()), "item_id": pa.array(items, pa.int64()),
                     "timestamp": pa.array(stamps, pa.int64())})


def test_sequences_object_is_equivalent_to_lists(model_class):
    lists = [s for s in TRAIN if s]
    seqs = vk.Sequences.from_interactions(interaction_table(lists))
    before = repr(seqs)
    from_seqs = fit(model_class, seqs)
    from_lists = fit(model_class, lists)
    for query in QUERIES:
        assert from_seqs.score_all_items(query) == from_lists.score_all_items(query)
    assert repr(from_seqs.evaluate_leave_one_out(seqs, 2)) == repr(from_lists.evaluate_leave_one_out(lists, 2))
    # The Sequences object is unchanged and serves further fits and evaluations.
    assert repr(seqs) == before
    again = fit(model_class, seqs)
    assert again.recommend([20], 6) == from_lists.recommend([20], 6)
    assert repr(from_lists.evaluate_leave_one_out(seqs)) == repr(from_lists.evaluate_leave_one_out(lists))


def test_sequences_from_real_table(model_class, yoochoose):
    csv = pytest.importorskip("pyarrow.csv")
    from conftest import DATA_DIR

    seqs = vk.Sequences.from_interactions(csv.read_csv(DATA_DIR / "yoochoose_clicks_100k.csv"))
    lists = [list(s) for s in yoochoose]
    from_seqs = fit(model_class, seqs)
    from_lists = fit(model_class, lists)
    assert from_seqs.num_items() == from_lists.num_items() == 2933
    for seq in lists[:50]:
        assert from_seqs.recommend(seq, 20) == from_lists.recommend(seq, 20)
    sample = lists[::40]
    assert repr(from_seqs.evaluate_leave_one_out(sample)) == repr(from_lists.evaluate_leave_one_out(sample))
