"""Sknn, VSknn and SSknn through Python: texts, fit arguments, the worked
examples of the three scorers, and the reserved similarity measures."""

import pytest

import _vosket as vk

from conftest import KNN_CLASSES

np = pytest.importorskip("numpy")
f32 = np.float32

STORE_A = [[1, 2, 3], [2, 3], [3, 4], [5]]
COUNTS_A = {1: 1.0, 2: 2.0, 3: 3.0, 4: 1.0, 5: 1.0}
STORE_B = [[0, 1, 2, 1, 3]]


def cosine(overlap, query_size, session_size):
    """The neighbour similarity, in 32-bit arithmetic."""
    return f32(overlap) / np.sqrt(f32(query_size) * f32(session_size))


def total(*weights):
    """Scores are summed in 64 bits in neighbour order, then narrowed."""
    acc = 0.0
    for w in weights:
        acc += float(w)
    return float(f32(acc))


def scores(model, query):
    return dict(model.score_all_items(query))


def expect(catalogue, **nonzero):
    out = {item: 0.0 for item in catalogue}
    out.update({int(k[1:]): v for k, v in nonzero.items()})
    return out


A_ITEMS = [1, 2, 3, 4, 5]
S3, S2, S4, S6 = cosine(1, 1, 3), cosine(1, 1, 2), cosine(1, 2, 2), cosine(1, 2, 3)

SKNN_CASES = [
    # config, query, expected scores by raw id
    (vk.SknnConfig(k_neighbors=2), [2], expect(A_ITEMS, i1=total(S3), i2=total(S2, S3), i3=total(S2, S3))),
    (vk.SknnConfig(k_neighbors=1), [2], expect(A_ITEMS, i2=total(S2), i3=total(S2))),
    (vk.SknnConfig(k_neighbors=2, sample_size=1, seed=0), [2], expect(A_ITEMS, i2=total(S2), i3=total(S2))),
    (vk.SknnConfig(), [3, 4],
     expect(A_ITEMS, i3=total(1.0, 0.5, cosine(1, 2, 3)), i4=1.0, i2=total(0.5, cosine(1, 2, 3)),
            i1=total(cosine(1, 2, 3)))),
    (vk.SknnConfig(), [9], COUNTS_A),
    (vk.SknnConfig(), [], COUNTS_A),
    (vk.SknnConfig(popularity_backoff=False), [9], expect(A_ITEMS)),
    (vk.SknnConfig(popularity_backoff=False), [], expect(A_ITEMS)),
    (vk.SknnConfig(k_neighbors=0), [2], COUNTS_A),
    (vk.SknnConfig(k_neighbors=0, popularity_backoff=False), [2, 3], expect(A_ITEMS)),
]


@pytest.mark.parametrize("config, query, expected", SKNN_CASES)
def test_sknn_worked_examples(config, query, expected):
    assert scores(vk.Sknn.fit(STORE_A, config), query) == expected


def test_sknn_repeats_in_query_do_not_count():
    model = vk.Sknn.fit(STORE_A)
    assert model.score_all_items([2, 2]) == model.score_all_items([2])


def test_sknn_default_backoff_example():
    # 9 is dropped, the empty query finds no neighbours, counts decide.
    assert vk.Sknn.fit([[1, 2], [3, 3, 4]]).recommend([9], 2) == [3, 1]


def test_sknn_tied_neighbours_keep_the_earlier_session():
    # Sessions 0 and 1 both have similarity 1/sqrt(2) with query [1]; only
    # the earlier survives k_neighbors = 1.
    model = vk.Sknn.fit([[1, 7], [1, 8]], vk.SknnConfig(k_neighbors=1))
    assert scores(model, [1]) == {1: total(S2), 7: total(S2), 8: 0.0}


W23 = f32(2) / f32(3)

VSKNN_CASES = [
    (vk.SknnConfig(k_neighbors=2), [2, 3], expect(A_ITEMS, i1=1.5, i2=3.0, i3=3.0)),
    (vk.SknnConfig(k_neighbors=3), [2, 3], expect(A_ITEMS, i1=1.5, i2=3.0, i3=4.0, i4=1.0)),
    (vk.SknnConfig(k_neighbors=3), [3, 2], expect(A_ITEMS, i1=1.5, i2=3.0, i3=3.5, i4=0.5)),
    (vk.SknnConfig(), [4, 2, 4],
     expect(A_ITEMS, i3=total(1.0, W23, W23), i2=total(W23, W23), i4=1.0, i1=total(W23))),
    (vk.SknnConfig(), [], COUNTS_A),
    (vk.SknnConfig(k_neighbors=2, similarity=vk.Similarity.Dot), [2, 3], expect(A_ITEMS, i1=1.5, i2=3.0, i3=3.0)),
]


@pytest.mark.parametrize("config, query, expected", VSKNN_CASES)
def test_vsknn_worked_examples(config, query, expected):
    assert scores(vk.VSknn.fit(STORE_A, config), query) == expected


def test_vsknn_ranks_tied_sessions_by_index():
    model = vk.VSknn.fit(STORE_A, vk.SknnConfig(k_neighbors=1))
    # Sessions 0 and 1 tie at 1.5 for [2, 3]; session 0 ([1, 2, 3]) is kept.
    assert scores(model, [2, 3]) == expect(A_ITEMS, i1=1.5, i2=1.5, i3=1.5)


B_ITEMS = [0, 1, 2, 3]
WB2 = cosine(2, 2, 4)

SSKNN_CASES = [
    (STORE_A, vk.SknnConfig(), [2], expect(A_ITEMS, i3=total(S2, S3))),
    (STORE_A, vk.SknnConfig(), [3], expect(A_ITEMS, i4=total(S2))),
    (STORE_A, vk.SknnConfig(), [5], COUNTS_A),
    (STORE_A, vk.SknnConfig(popularity_backoff=False), [5], expect(A_ITEMS)),
    (STORE_B, vk.SknnConfig(), [0], expect(B_ITEMS, i1=total(0.5 + 0.5 / 3), i2=0.25, i3=0.125)),
    (STORE_B, vk.SknnConfig(), [1], expect(B_ITEMS, i3=0.5)),
    (STORE_B, vk.SknnConfig(), [2, 0],
     expect(B_ITEMS, i1=total(float(WB2) + (1.0 / 3) * float(WB2)), i2=total((1.0 / 2) * float(WB2)),
            i3=total((1.0 / 4) * float(WB2)))),
    (STORE_B, vk.SknnConfig(), [0, 2], expect(B_ITEMS, i1=total(WB2), i3=total((1.0 / 2) * float(WB2)))),
]


@pytest.mark.parametrize("train, config, query, expected", SSKNN_CASES)
def test_ssknn_worked_examples(train, config, query, expected):
    assert scores(vk.SSknn.fit(train, config), query) == expected


# ------------------------------------------------------------- fit arguments

@pytest.mark.parametrize("cls", KNN_CLASSES, ids=lambda c: c.__name__)
def test_fit_config_forms_agree(cls):
    data = [[1, 2, 3], [2, 4], [4, 1, 5], [5, 6, 1, 2]]
    models = [cls.fit(data), cls.fit(data, None), cls.fit(data, config=None), cls.fit(data, vk.SknnConfig()),
              cls.fit(config=vk.SknnConfig(), data=data)]
    for query in ([], [1], [2, 4], [6, 5, 9]):
        answers = [m.score_all_items(query) for m in models]
        assert all(a == answers[0] for a in answers)


@pytest.mark.parametrize("cls", KNN_CLASSES, ids=lambda c: c.__name__)
def test_fit_repr_and_errors(cls):
    name = cls.__name__
    model = cls.fit([[1, 2], [2, 3]])
    assert model.num_items() == 3
    assert repr(model) == f"{name}(num_items=3)"
    with pytest.raises(TypeError) as info:
        cls.fit("ab", config=5)  # config is checked before data
    assert str(info.value) == "argument 'config': 'int' object is not an instance of 'SknnConfig'"
    with pytest.raises(TypeError) as info:
        cls.fit([[1]], vk.Similarity.Cosine)
    assert str(info.value) == "argument 'config': 'Similarity' object is not an instance of 'SknnConfig'"
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"
    with pytest.raises(TypeError) as info:
        cls.fit("ab")
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("cls", KNN_CLASSES, ids=lambda c: c.__name__)
def test_config_is_copied_at_fit(cls):
    config = vk.SknnConfig(k_neighbors=1)
    model = cls.fit(STORE_A, config)
    del config
    assert model.score_all_items([2, 3]) == cls.fit(STORE_A, vk.SknnConfig(k_neighbors=1)).score_all_items([2, 3])


def test_sample_size_zero_means_no_sampling():
    data = [[i, i + 1, 100] for i in range(50)]
    off = vk.Sknn.fit(data, vk.SknnConfig(sample_size=0))
    huge = vk.Sknn.fit(data, vk.SknnConfig(sample_size=10**6))
    small = vk.Sknn.fit(data, vk.SknnConfig(sample_size=3))
    assert off.score_all_items([100]) == huge.score_all_items([100])
    assert off.score_all_items([100]) != small.score_all_items([100])


RESERVED = [vk.Similarity.Jaccard, vk.Similarity.Dice, vk.Similarity.Dot]


@pytest.mark.parametrize("measure", RESERVED, ids=repr)
@pytest.mark.parametrize("cls", [vk.Sknn, vk.SSknn], ids=lambda c: c.__name__)
def test_reserved_measures_fail_when_used(cls, measure):
    name = repr(measure).split(".")[1]
    message = f"not implemented: {name} similarity is reserved but not yet implemented"
    model = cls.fit(STORE_A, vk.SknnConfig(similarity=measure))
    calls = [lambda: model.recommend([2], 3), lambda: model.score_all_items([3, 4]),
             lambda: model.evaluate_leave_one_out([[1, 2]])]
    for call in calls:
        with pytest.raises(BaseException) as info:
            call()
        assert not isinstance(info.value, Exception)
        assert str(info.value) == message
    # Queries without candidates never reach the measure.
    assert model.recommend([], 5) == [3, 2, 1, 4, 5]
    assert model.recommend([99], 2) == [3, 2]
    assert model.evaluate_leave_one_out([[9, 7]]).num_queries == 1


@pytest.mark.parametrize("measure", RESERVED, ids=repr)
def test_vsknn_never_reads_the_measure(measure):
    reserved = vk.VSknn.fit(STORE_A, vk.SknnConfig(similarity=measure))
    cosine_model = vk.VSknn.fit(STORE_A)
    for query in ([2], [3, 4], [4, 2, 4]):
        assert reserved.score_all_items(query) == cosine_model.score_all_items(query)


# ----------------------------------------------------------------------- texts

KNN_TEXTS = {
    "fit": "fit(data, config=None)\n--\n\nFits the model.\n\n`data` is either a list of interaction sequences "
           "(each a list of\ninteger item ids, oldest to newest) or a `Sequences`. `config` is\nan optional "
           "`SknnConfig`; defaults are used when it is omitted.",
    "num_items": "num_items($self)\n--\n\nReturns the number of distinct items seen during `fit`.",
    "recommend": "recommend($self, sequence, k)\n--\n\nReturns up to `k` recommended item ids for a query "
                 "sequence, best\nfirst.",
    "score_all_items": "score_all_items($self, sequence)\n--\n\nReturns every item's score as a list of "
                       "`(item_id, score)` pairs,\nsorted by descending score.",
    "evaluate_leave_one_out": "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with "
                              "leave-one-out over `data` (a list of\nsequences or a `Sequences`). See "
                              "`Popularity.evaluate_leave_one_out`.",
}


@pytest.mark.parametrize("cls", KNN_CLASSES, ids=lambda c: c.__name__)
def test_knn_texts(cls):
    assert cls.__doc__ == ""
    assert cls.__module__ == "builtins"
    for member, combined in KNN_TEXTS.items():
        signature, text = combined.split("\n--\n\n")
        method = getattr(cls, member)
        assert method.__doc__ == text, member
        assert method.__text_signature__ == signature[signature.index("("):], member


def test_knn_on_sequences_leaves_it_usable():
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"user_id": [1, 1, 1, 2, 2, 3, 3], "item_id": [1, 2, 3, 2, 3, 3, 4],
                      "timestamp": [1, 2, 3, 1, 2, 1, 2]})
    seqs = vk.Sequences.from_interactions(table)
    first = vk.VSknn.fit(seqs)
    second = vk.SSknn.fit(seqs)
    report = second.evaluate_leave_one_out(seqs, 2)
    assert repr(vk.VSknn.fit(seqs).evaluate_leave_one_out(seqs)) == repr(first.evaluate_leave_one_out(seqs))
    assert report.num_queries == 3
    assert vk.Sknn.fit(seqs).num_items() == seqs.num_items() == 4
