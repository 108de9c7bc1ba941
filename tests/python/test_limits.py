"""Limits of the numeric arguments and of the catalogue: values at the top of
each integer width work, one past it is an OverflowError, and a catalogue
too large to number or to allocate is a clear exception, never a crash or a
silent wrap."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import _vosket as vk
import reference_models as ref

USIZE_MAX = sys.maxsize * 2 + 1  # the platform word-size unsigned maximum
U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
MAX_ITEMS = 2**32  # the numbering of items is 32 bits wide

TRAIN = [[1, 2, 3], [2, 3], [3, 4], [5], [], [2, 2, 6]]
KNN = [vk.Sknn, vk.VSknn, vk.SSknn]


def models():
    yield vk.Popularity.fit(TRAIN)
    yield vk.Random.fit(TRAIN, seed=3)
    for cls in KNN:
        yield cls.fit(TRAIN)


class Index:
    """An integer-like object through the index protocol only."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


@pytest.mark.parametrize("model", list(models()), ids=repr)
@pytest.mark.parametrize("k", [USIZE_MAX, Index(USIZE_MAX), np.uint64(USIZE_MAX), 2**40])
def test_k_at_the_word_maximum_is_a_large_k(model, k):
    n = model.num_items()
    for query in ([], [2], [3, 9]):
        assert model.recommend(query, k) == model.recommend(query, n)
    report = model.evaluate_leave_one_out(TRAIN, k)
    assert report.k == int(k)
    # Every target is within any k this large.
    whole = model.evaluate_leave_one_out(TRAIN, n)
    assert (report.hit_rate, report.ndcg, report.mrr, report.arhr) == (
        whole.hit_rate, whole.ndcg, whole.mrr, whole.arhr)


@pytest.mark.parametrize("k", [USIZE_MAX + 1, 2**128, -1, I64_MIN, Index(-1), Index(USIZE_MAX + 1),
                               np.int64(-1)])
def test_k_out_of_range_is_overflow_error(k):
    model = vk.Popularity.fit(TRAIN)
    with pytest.raises(OverflowError):
        model.recommend([1], k)
    with pytest.raises(OverflowError):
        model.evaluate_leave_one_out(TRAIN, k)
    for name in ("precision_at_k", "recall_at_k", "f1_at_k", "hit_rate_at_k", "ndcg_at_k",
                 "arhr_at_k"):
        with pytest.raises(OverflowError):
            getattr(vk, name)([1], [1], k)


@pytest.mark.parametrize("name", ["precision_at_k", "recall_at_k", "f1_at_k", "hit_rate_at_k",
                                  "ndcg_at_k", "arhr_at_k"])
def test_metrics_at_the_word_maximum(name):
    recommended, relevant = [4, 1, 4, 2], {1, 2, 7}
    # Precision divides by k, so it is tiny but not zero; the others see the
    # whole list.
    for k in (USIZE_MAX, Index(USIZE_MAX)):
        got = getattr(vk, name)(recommended, relevant, k)
        assert got == getattr(ref, name)(recommended, relevant, USIZE_MAX)
    if name not in ("precision_at_k", "f1_at_k"):
        assert got == getattr(vk, name)(recommended, relevant, len(recommended))


@pytest.mark.parametrize("num_items", [MAX_ITEMS + 1, 2**40, I64_MAX, USIZE_MAX])
def test_random_catalogue_beyond_the_item_numbering_is_value_error(num_items):
    with pytest.raises(ValueError, match="at most 4294967296 items"):
        vk.Random(num_items)


def physical_memory() -> int:
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def test_random_catalogue_too_large_to_allocate_is_memory_error():
    # 2^32 raw ids alone take 32 GiB, and their hash map several times more.
    if physical_memory() >= 256 * 2**30:
        pytest.skip("this machine might hold a 2^32-item catalogue")
    with pytest.raises((MemoryError, ValueError)):
        vk.Random(MAX_ITEMS)
    # Nothing is left half-built: the module keeps working.
    assert vk.Random(5).recommend([], 5) == [4, 1, 2, 3, 0]


@pytest.mark.parametrize("num_items", [USIZE_MAX + 1, -1])
def test_random_catalogue_out_of_range_is_overflow_error(num_items):
    with pytest.raises(OverflowError):
        vk.Random(num_items)


@pytest.mark.parametrize("seed", [U64_MAX, 2**63, Index(U64_MAX), np.uint64(U64_MAX)])
def test_seed_at_the_maximum(seed):
    value = int(seed)
    for model, reference in [
        (vk.Random(7, seed=seed), ref.Random(7, value)),
        (vk.Random.fit(TRAIN, seed=seed), ref.Random.fit(TRAIN, value)),
    ]:
        for query in ([], [1, 2], [6, 6, 1]):
            assert model.score_all_items(query) == reference.score_all_items(query)
    config = vk.SknnConfig(k_neighbors=2, sample_size=1, seed=seed)
    assert config.seed == value
    for cls in KNN:
        model = cls.fit(TRAIN, config)
        reference = ref.MODELS[cls.__name__].fit(
            TRAIN, {"k_neighbors": 2, "sample_size": 1, "seed": value})
        for query in ([2], [3, 2], [2, 6]):
            assert model.score_all_items(query) == reference.score_all_items(query)


@pytest.mark.parametrize("seed", [U64_MAX + 1, -1, Index(-1), 2**100])
def test_seed_out_of_range_is_overflow_error(seed):
    with pytest.raises(OverflowError):
        vk.Random(3, seed=seed)
    with pytest.raises(OverflowError):
        vk.Random.fit(TRAIN, seed=seed)
    with pytest.raises(OverflowError):
        vk.SknnConfig(seed=seed)


@pytest.mark.parametrize("cls", KNN, ids=lambda c: c.__name__)
def test_neighbour_and_sample_caps_at_the_word_maximum(cls):
    config = vk.SknnConfig(k_neighbors=USIZE_MAX, sample_size=USIZE_MAX)
    assert (config.k_neighbors, config.sample_size) == (USIZE_MAX, USIZE_MAX)
    unlimited = cls.fit(TRAIN, vk.SknnConfig(k_neighbors=1000, sample_size=0))
    model = cls.fit(TRAIN, config)
    for query in ([], [2], [3, 2, 9], [2, 2, 6, 1]):
        assert model.score_all_items(query) == unlimited.score_all_items(query)
    assert repr(model.evaluate_leave_one_out(TRAIN, USIZE_MAX)) == repr(
        unlimited.evaluate_leave_one_out(TRAIN, USIZE_MAX))


@pytest.mark.parametrize("field", ["k_neighbors", "sample_size"])
@pytest.mark.parametrize("value", [USIZE_MAX + 1, -1, Index(-1), np.int64(-5)])
def test_caps_out_of_range_are_overflow_error(field, value):
    with pytest.raises(OverflowError):
        vk.SknnConfig(**{field: value})


def test_item_ids_at_the_signed_64_bit_limits():
    training = [[I64_MIN, 0, I64_MAX], [I64_MAX, I64_MIN]]
    for model in (vk.Popularity.fit(training), vk.Sknn.fit(training), vk.SSknn.fit(training)):
        assert set(model.recommend([I64_MIN], 3)) == {I64_MIN, 0, I64_MAX}
        assert model.evaluate_leave_one_out(training).num_queries == 2
    assert vk.reciprocal_rank([I64_MAX, I64_MIN], [I64_MIN]) == 0.5


@pytest.mark.parametrize("raw", [I64_MAX + 1, I64_MIN - 1, 2**64 - 1, Index(2**63)])
def test_item_ids_beyond_64_bits_are_refused_not_wrapped(raw):
    # 2^63 must not wrap onto -2^63, nor 2^64 - 1 onto -1: both are in the
    # catalogue, so a wrap would be visible as an answer.
    training = [[I64_MIN, -1, I64_MAX]]
    model = vk.Popularity.fit(training)
    with pytest.raises(OverflowError):
        model.recommend([raw], 1)
    with pytest.raises(OverflowError):
        model.score_all_items([1, raw])
    with pytest.raises(OverflowError):
        vk.Popularity.fit([[1], [raw]])
    with pytest.raises(OverflowError):
        model.evaluate_leave_one_out([[1, raw]])
    with pytest.raises(OverflowError):
        vk.precision_at_k([raw], [1], 1)
    with pytest.raises(OverflowError):
        vk.precision_at_k([1], [raw], 1)


def test_occurrence_counts_stop_at_float32_integer_precision():
    # Counts are 32-bit floats: exact up to 2^24, where adding 1.0 no longer
    # changes them. They saturate there; they do not wrap or go wrong.
    many = [7] * (2**24 + 3)
    for model in (vk.Popularity.fit([many, [8]]), vk.Sknn.fit([many, [8]])):
        # The empty query falls back to the counts for the kNN model.
        assert model.score_all_items([]) == [(7, 16777216.0), (8, 1.0)]
