"""Differential tests: every native model, metric and the leave-one-out
driver against the plain-Python reference implementations, bit for bit, on
random data (repeated ids, unknown ids, empty queries and sequences, random
kNN configurations)."""

from __future__ import annotations

import random
import struct

import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _vosket as vk
import reference_models as ref

PROPERTY = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

KNN = ("Sknn", "VSknn", "SSknn")
ALL_MODELS = ("Popularity", "Random") + KNN
REPORT_FIELDS = ("k", "num_queries", "hit_rate", "ndcg", "mrr", "f1", "map", "arhr")

# Small ids so that sessions overlap and repeat; the extremes of the raw id
# range now and then.
ids = st.one_of(
    st.integers(-3, 12),
    st.integers(-3, 12),
    st.integers(-3, 12),
    st.sampled_from([-(2**63), 2**63 - 1]),
)
# Queries also hold ids that no training sequence has.
query_ids = st.one_of(ids, st.integers(13, 30))
sequences = st.lists(st.lists(ids, max_size=7), max_size=7)
queries = st.lists(query_ids, max_size=7)
seeds = st.one_of(st.integers(0, 3), st.integers(0, 2**64 - 1), st.just(2**64 - 1))
configs = st.fixed_dictionaries(
    {
        "k_neighbors": st.integers(0, 5),
        "sample_size": st.integers(0, 4),
        "seed": seeds,
        "similarity": st.sampled_from(["Cosine"] * 5 + list(ref.RESERVED_MEASURES)),
        "popularity_backoff": st.booleans(),
    }
)


def native_config(config: dict) -> vk.SknnConfig:
    return vk.SknnConfig(
        k_neighbors=config["k_neighbors"],
        sample_size=config["sample_size"],
        seed=config["seed"],
        similarity=getattr(vk.Similarity, config["similarity"]),
        popularity_backoff=config["popularity_backoff"],
    )


def fit_both(name: str, training, config: dict, seed: int, ref_training=None):
    """The native model and its reference, fitted on the same data
    (`ref_training` when the native one is a Sequences)."""
    if ref_training is None:
        ref_training = training
    if name == "Popularity":
        return vk.Popularity.fit(training), ref.Popularity.fit(ref_training)
    if name == "Random":
        return vk.Random.fit(training, seed=seed), ref.Random.fit(ref_training, seed=seed)
    native_cls = getattr(vk, name)
    return (native_cls.fit(training, native_config(config)),
            ref.MODELS[name].fit(ref_training, config))


def outcome(call):
    """The value of call(), or the kind and text of its failure. The native
    reserved-measure failure derives from BaseException, not Exception."""
    try:
        return ("value", call())
    except ref.ReservedMeasureError as e:
        return ("reserved", str(e))
    except ValueError as e:
        return ("ValueError", str(e))
    except BaseException as e:  # noqa: B036 - the native internal failure
        if isinstance(e, (Exception, KeyboardInterrupt, SystemExit)):
            raise
        assert type(e).__name__ == "InternalError"
        return ("reserved", str(e))


def exact(value):
    """Floats by bit pattern (so that -0.0 != 0.0 and every bit counts),
    recursively through lists and tuples."""
    if isinstance(value, float):
        return ("f", struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return type(value)(exact(v) for v in value)
    return value


def assert_same(native, reference):
    assert exact(native) == exact(reference)


def report_fields(report) -> dict:
    return {name: getattr(report, name) for name in REPORT_FIELDS}


@pytest.mark.parametrize("name", ALL_MODELS)
@PROPERTY
@given(training=sequences, probes=st.lists(queries, min_size=1, max_size=4), config=configs,
       k=st.integers(0, 20))
def test_model_scores_and_recommendations(name, training, probes, config, k):
    native, reference = fit_both(name, training, config, config["seed"])
    n = reference.num_items()
    assert native.num_items() == n
    for query in probes:
        assert_same(outcome(lambda: native.score_all_items(query)),
                    outcome(lambda: reference.score_all_items(query)))
        for cut in sorted({0, 1, k, n, n + 3}):
            assert_same(outcome(lambda: native.recommend(query, cut)),
                        outcome(lambda: reference.recommend(query, cut)))


@PROPERTY
@given(num_items=st.integers(0, 40), seed=seeds, probes=st.lists(queries, min_size=1, max_size=3))
def test_random_constructor(num_items, seed, probes):
    native, reference = vk.Random(num_items, seed=seed), ref.Random(num_items, seed)
    assert native.num_items() == num_items
    for query in probes + [list(range(num_items))[::-1]]:
        assert_same(native.score_all_items(query), reference.score_all_items(query))
        assert native.recommend(query, num_items) == reference.recommend(query, num_items)


@pytest.mark.parametrize("name", ALL_MODELS)
@PROPERTY
@given(training=sequences, data=sequences, config=configs,
       k=st.one_of(st.integers(0, 12), st.just(2**64 - 1)))
def test_leave_one_out_reports(name, training, data, config, k):
    native, reference = fit_both(name, training, config, config["seed"])
    got = outcome(lambda: report_fields(native.evaluate_leave_one_out(data, k)))
    want = outcome(lambda: reference.evaluate_leave_one_out(data, k))
    assert_same(got, want)
    if got[0] == "value":
        assert got[1]["mrr"] == got[1]["map"]


recommended_lists = st.lists(st.one_of(st.integers(-2, 9), st.sampled_from([-(2**63), 2**63 - 1])),
                             max_size=12)
relevant_lists = st.lists(st.one_of(st.integers(-2, 12), st.just(2**63 - 1)), max_size=6)
cutoffs = st.one_of(st.integers(0, 14), st.sampled_from([2**32, 2**63, 2**64 - 1]))

AT_K = ("precision_at_k", "recall_at_k", "f1_at_k", "hit_rate_at_k", "ndcg_at_k", "arhr_at_k")
FULL = ("reciprocal_rank", "average_precision")


@PROPERTY
@given(recommended=recommended_lists, relevant=relevant_lists, k=cutoffs)
def test_metric_functions(recommended, relevant, k):
    relevant_set = set(relevant)
    for name in AT_K:
        got = getattr(vk, name)(recommended, relevant, k)
        assert_same(got, getattr(ref, name)(recommended, relevant_set, k))
        # The relevant argument is any iterable; duplicates collapse.
        assert_same(getattr(vk, name)(tuple(recommended), iter(relevant), k), got)
    for name in FULL:
        got = getattr(vk, name)(recommended, relevant)
        assert_same(got, getattr(ref, name)(recommended, relevant_set))
        assert_same(getattr(vk, name)(recommended, dict.fromkeys(relevant)), got)


def random_workload(seed: int):
    """A larger store: many sessions over a wide catalogue with a few popular
    items, and long queries (more than 32 items, several posting lists, rare
    items far apart in the session order)."""
    rng = random.Random(seed)
    popular = list(range(8))
    training = []
    for _ in range(rng.randint(50, 400)):
        length = rng.choice([0, 1, 2, 5, 12, 40])
        training.append([
            rng.choice(popular) if rng.random() < 0.3 else rng.randint(0, 3000)
            for _ in range(length)
        ])
    vocabulary = sorted({item for seq in training for item in seq}) or [0]
    counts: dict[int, int] = {}
    for seq in training:
        for item in set(seq):
            counts[item] = counts.get(item, 0) + 1
    rare = [item for item, c in counts.items() if c == 1]
    # Distinct items that each sit in one session, scattered over the store.
    probes = [rng.sample(rare, min(len(rare), 12))]
    for _ in range(4):
        length = rng.choice([1, 2, 3, 33, 50])
        probes.append([rng.choice(vocabulary) if rng.random() < 0.8 else rng.randint(-5, 5000)
                       for _ in range(length)])
    config = {
        "k_neighbors": rng.choice([0, 1, 3, 20, 100]),
        "sample_size": rng.choice([0, 1, 5, 30, 1000]),
        "seed": rng.getrandbits(64),
        "similarity": "Cosine",
        "popularity_backoff": rng.random() < 0.5,
    }
    return training, probes, config


@pytest.mark.parametrize("name", KNN)
@settings(PROPERTY, max_examples=25)
@given(seed=st.integers(0, 2**32 - 1))
def test_knn_larger_stores(name, seed):
    training, probes, config = random_workload(seed)
    native, reference = fit_both(name, training, config, 0)
    # A small model scored in between: per-call buffers sized for the large
    # store must not carry anything over to another model.
    small_training = [[1, 2, 3], [2, 3], [3, 4], [5]]
    small_native, small_reference = fit_both(name, small_training, config, 0)
    for query in probes:
        assert_same(native.score_all_items(query), reference.score_all_items(query))
        assert_same(small_native.score_all_items([2, 3]), small_reference.score_all_items([2, 3]))
    data = training[:60]
    assert_same(outcome(lambda: report_fields(native.evaluate_leave_one_out(data, 10))),
                outcome(lambda: reference.evaluate_leave_one_out(data, 10)))


interaction_rows = st.lists(
    st.tuples(st.integers(0, 4), ids, st.integers(-3, 3)), max_size=25
)


def interaction_table(rows, text_users: bool) -> pa.Table:
    users, items, times = (list(column) for column in zip(*rows)) if rows else ([], [], [])
    if text_users:
        users = [str(user) for user in users]
    return pa.table({
        "user_id": pa.array(users, pa.string() if text_users else pa.int64()),
        "item_id": pa.array(items, pa.int64()),
        "timestamp": pa.array(times, pa.int64()),
    })


@pytest.mark.parametrize("name", ALL_MODELS)
@PROPERTY
@given(rows=interaction_rows, eval_rows=interaction_rows, config=configs,
       probes=st.lists(queries, min_size=1, max_size=3), k=st.integers(0, 6),
       text_users=st.booleans())
def test_models_fitted_on_interaction_tables(name, rows, eval_rows, config, probes, k, text_users):
    # Items are numbered in row order, before the per-user time sort, so
    # ties rank differently than after a fit on the sorted lists.
    training = vk.Sequences.from_interactions(interaction_table(rows, text_users))
    data = vk.Sequences.from_interactions(interaction_table(eval_rows, text_users))
    ref_training = ref.InteractionSequences(rows)
    ref_data = ref.InteractionSequences(eval_rows)
    native, reference = fit_both(name, training, config, config["seed"], ref_training)
    assert native.num_items() == reference.num_items() == training.num_items()
    for query in probes:
        assert_same(outcome(lambda: native.score_all_items(query)),
                    outcome(lambda: reference.score_all_items(query)))
        assert_same(outcome(lambda: native.recommend(query, k)),
                    outcome(lambda: reference.recommend(query, k)))
    evaluations = ((data, ref_data), (ref_data.raw(), ref_data), (training, ref_training))
    for native_data, ref_eval in evaluations:
        assert_same(outcome(lambda: report_fields(native.evaluate_leave_one_out(native_data, k))),
                    outcome(lambda: reference.evaluate_leave_one_out(ref_eval, k)))


@pytest.mark.parametrize(
    ("scores", "order"),
    [
        ([1.0, 3.0, 1.0, 3.0], [1, 3, 0, 2]),
        ([-0.0, 0.0], [1, 0]),
        ([float("inf"), float("nan"), 1.0, float("-inf"), -float("nan")], [1, 0, 2, 3, 4]),
        ([0.5, 0.5, 0.5], [0, 1, 2]),
    ],
)
def test_reference_ranking_order(scores, order):
    # The reference's totalOrder key on the fixed cases; the models above
    # check it against the native ranking on real scores.
    assert ref.ranking(scores) == order
