"""Popularity and Random through Python: worked examples, the seeded draws,
the constructor, and the classes' texts."""

import pytest

import _vosket as vk


# ------------------------------------------------------------------ Popularity

def test_popularity_worked_example():
    model = vk.Popularity.fit([[1, 2, 2], [3, 2]])
    assert model.num_items() == 3
    assert repr(model) == "Popularity(num_items=3)"
    assert model.recommend([], 2) == [2, 1]
    assert model.recommend([], 10) == [2, 1, 3]  # 1 and 3 tie; 1 appeared first
    assert model.score_all_items([5]) == [(2, 3.0), (1, 1.0), (3, 1.0)]
    assert model.recommend([99], 3) == model.recommend([], 3)
    assert model.recommend([1, 2], 0) == []


def test_popularity_query_items_are_not_excluded():
    assert vk.Popularity.fit([[0, 0, 1]]).recommend([0], 1) == [0]


def test_popularity_report_for_second_ranked_target():
    report = vk.Popularity.fit([[1, 1, 2]]).evaluate_leave_one_out([[1, 2]])
    assert repr(report) == (
        "EvaluationReport(k=10, num_queries=1, hit_rate=1.0000, ndcg=0.6309, mrr=0.5000, "
        "f1=0.1818, map=0.5000, arhr=0.5000)"
    )
    assert report.ndcg == 0.6309297535714575
    assert report.f1 == 0.18181818181818182


def test_popularity_target_below_k_and_unknown_target():
    model = vk.Popularity.fit([[1, 1, 1, 2, 2, 3]])
    below = model.evaluate_leave_one_out([[1, 3]], 2)
    assert (below.hit_rate, below.ndcg, below.f1, below.arhr) == (0.0, 0.0, 0.0, 0.0)
    assert below.mrr == below.map == 1 / 3
    unknown = model.evaluate_leave_one_out([[1, 3], [1, 42]], 10)
    assert unknown.num_queries == 2
    assert unknown.mrr == (1 / 3) / 2


# ---------------------------------------------------------------------- Random

R = 16_777_216  # 2**24

DRAWS = [
    # seed, query, draws r for raw ids 0..4, ranking with k = 5
    (0, [], [3536246, 16589149, 11428932, 10614799, 16758972], [4, 1, 2, 3, 0]),
    (42, [], [15210176, 1989888, 9302147, 8149243, 13102421], [0, 4, 2, 3, 1]),
    (0, [1, 2], [10969159, 11528017, 9489272, 6511135, 14868955], [4, 1, 0, 2, 3]),
    (0, [2, 1], [10274927, 4593969, 5672988, 11143170, 1408178], [3, 0, 2, 1, 4]),
]


@pytest.mark.parametrize("seed, query, draws, ranking", DRAWS)
def test_random_draws_and_ranking(seed, query, draws, ranking):
    model = vk.Random(5, seed=seed)
    assert model.recommend(query, 5) == ranking
    scores = dict(model.score_all_items(query))
    assert [scores[i] * R for i in range(5)] == draws
    assert model.recommend(query, 5) == ranking  # same answer every call


def test_random_scores_keep_every_digit():
    top = vk.Random(5).score_all_items([])[:2]
    assert top == [(4, 0.9989125728607178), (1, 0.9887903332710266)]


def test_random_unknown_ids_dropped():
    model = vk.Random(5)
    assert model.recommend([7, 1, -3, 2], 5) == [4, 1, 0, 2, 3]
    assert model.recommend([7, -3], 5) == model.recommend([], 5)


def test_random_catalogue_size_does_not_change_shared_draws():
    small = dict(vk.Random(3).score_all_items([]))
    large = dict(vk.Random(5).score_all_items([]))
    assert all(small[i] == large[i] for i in range(3))
    assert vk.Random(3).recommend([], 3) == [1, 2, 0]


def test_random_fit_numbers_by_first_appearance():
    model = vk.Random.fit([[10, 20], [20, 30]])
    assert model.num_items() == 3
    assert model.recommend([], 3) == [20, 30, 10]  # ItemIds 1, 2, 0
    assert vk.Random.fit([[10, 20], [20, 30]], seed=42).recommend([], 3) == [10, 30, 20]
    assert vk.Random.fit([[10, 20]], 42).recommend([], 2) == vk.Random.fit([[10, 20]], seed=42).recommend([], 2)


def test_random_repr_and_empty():
    assert repr(vk.Random(5, seed=42)) == "Random(num_items=5)"
    assert vk.Random(0).recommend([1], 3) == []
    assert vk.Random(0).num_items() == 0
    assert vk.Random(num_items=2, seed=2**64 - 1).num_items() == 2


@pytest.mark.parametrize(
    "call, exc, prefix",
    [
        (lambda: vk.Random(-1), OverflowError, None),
        (lambda: vk.Random(3, seed=-1), OverflowError, None),
        (lambda: vk.Random(3, seed=2**64), OverflowError, None),
        (lambda: vk.Random("5"), TypeError, "argument 'num_items': "),
        (lambda: vk.Random(5, 1.5), TypeError, "argument 'seed': "),
        (lambda: vk.Random(5, None), TypeError, "argument 'seed': "),
        (lambda: vk.Random.fit([[1]], seed=None), TypeError, "argument 'seed': "),
        # seed is converted before the data
        (lambda: vk.Random.fit("12", seed="x"), TypeError, "argument 'seed': "),
    ],
)
def test_random_argument_errors(call, exc, prefix):
    with pytest.raises(exc) as info:
        call()
    if prefix is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(prefix)


@pytest.mark.parametrize("num_items", [2**31, 2**32, 2**32 + 1, 2**40, 2**64 - 1])
def test_random_refuses_catalogues_it_cannot_hold(num_items):
    with pytest.raises((MemoryError, ValueError)):
        vk.Random(num_items)


# ----------------------------------------------------------------------- texts

POPULARITY_TEXTS = {
    None: "Popularity baseline recommender. Thin wrapper over [`vosket_core::Popularity`]\n"
          "that expects raw `int` item ids on the Python side.",
    "fit": "fit(sequences)\n--\n\nFits the model.\n\n`sequences` is either a list of interaction sequences, "
           "or a `Sequences`\nbuilt from an interaction table.",
    "num_items": "num_items($self)\n--\n\nReturns the number of distinct items seen during `fit`.",
    "recommend": "recommend($self, sequence, k)\n--\n\nReturns up to `k` recommended item ids for a query "
                 "sequence, best first.",
    "score_all_items": "score_all_items($self, sequence)\n--\n\nReturns every item's score as a list of "
                       "`(item_id, score)` pairs, sorted by\ndescending score.",
    "evaluate_leave_one_out": "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with "
                              "leave-one-out: for each sequence the final item\nis held out as the target and "
                              "the rest form the query. Returns an\n`EvaluationReport`.\n\n`data` is either a "
                              "list of interaction sequences or a `Sequences`. Raises\n`ValueError` if no "
                              "sequence has at least two interactions.",
}

RANDOM_TEXTS = {
    None: "Random(num_items, seed=0)\n--\n\nRandom baseline recommender. Thin wrapper over [`vosket::Random`]; "
          "produces a\nreproducible, seed-determined random ranking.",
    "fit": "fit(data, seed=0)\n--\n\nFits the baseline, taking its catalogue from the data.\n\n`data` is either "
           "a list of interaction sequences (each a list of integer\nitem ids) or a `Sequences`. Only the set of "
           "distinct items is read; the\ninteractions carry no signal for this model.",
    "num_items": "num_items($self)\n--\n\nReturns the catalogue size.",
    "recommend": POPULARITY_TEXTS["recommend"],
    "score_all_items": POPULARITY_TEXTS["score_all_items"],
    "evaluate_leave_one_out": "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with "
                              "leave-one-out over `data` (a list of sequences\nor a `Sequences`). See "
                              "`Popularity.evaluate_leave_one_out`.",
}


def split_doc(combined):
    signature, _, text = combined.partition("\n--\n\n")
    if not text:
        return None, combined
    return signature[signature.index("("):], text


@pytest.mark.parametrize(
    "cls, texts", [(vk.Popularity, POPULARITY_TEXTS), (vk.Random, RANDOM_TEXTS)], ids=["Popularity", "Random"]
)
def test_baseline_texts(cls, texts):
    for member, combined in texts.items():
        obj = cls if member is None else getattr(cls, member)
        signature, text = split_doc(combined)
        assert obj.__doc__ == text, member
        if signature is not None:
            assert obj.__text_signature__ == signature, member
    assert vk.Popularity.__text_signature__ is None
    assert vk.Random.__text_signature__ == "(num_items, seed=0)"
