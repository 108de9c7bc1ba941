"""The eight metric functions and the EvaluationReport class."""

import math

import pytest

import _vosket as vk

AT_K = ["precision_at_k", "recall_at_k", "hit_rate_at_k", "ndcg_at_k", "f1_at_k", "arhr_at_k"]
FULL = ["reciprocal_rank", "average_precision"]

IDCG_3 = 1 + 1 / math.log2(3)

# (function, recommended, relevant, k or None, expected), hand-computed.
CASES = [
    ("precision_at_k", [1, 2, 3], [3], 5, 0.2),  # divides by k, not the list length
    ("precision_at_k", [5, 5, 7], [7], 2, 0.5),
    ("precision_at_k", [1], [1], 10, 0.1),
    ("recall_at_k", [1, 2, 3], {3, 4}, 3, 0.5),
    ("recall_at_k", [1], [1], 10, 1.0),
    ("recall_at_k", [1, 2, 3], [3], 2, 0.0),
    ("hit_rate_at_k", [1, 1, 2], [2], 2, 1.0),  # duplicate dropped: 2 has rank 2
    ("hit_rate_at_k", [1, 2, 2, 3], [3], 2, 0.0),
    ("ndcg_at_k", [1], [1, 2, 3], 2, 1 / IDCG_3),
    ("ndcg_at_k", [1], [1, 2, 3], 2, 0.6131471927654584),
    ("ndcg_at_k", [4, 5, 1], [1], 3, 0.5),
    ("ndcg_at_k", [4, 5, 1], [1], 5, 0.5),
    ("f1_at_k", [1], [1], 10, 0.18181818181818182),
    ("f1_at_k", [1, 2], [2, 3], 2, 0.5),
    ("arhr_at_k", [1, 2, 3, 4], [2, 4], 4, 0.75),
    ("arhr_at_k", [1, 2, 3, 4], [2, 4], 3, 0.5),
    ("arhr_at_k", [1, 2], [3], 5, 0.0),
    ("reciprocal_rank", [4, 4, 5], [5], None, 0.5),
    ("reciprocal_rank", [5, 5, 7], [7], None, 0.5),
    ("reciprocal_rank", [1, 2], [9], None, 0.0),
    ("average_precision", [1, 2, 3, 4], [2, 4, 9], None, 0.3333333333333333),
    ("average_precision", [3, 1, 2], [3, 2], None, (1 / 1 + 2 / 3) / 2),
]


@pytest.mark.parametrize("name, recommended, relevant, k, expected", CASES)
def test_metric_values(name, recommended, relevant, k, expected):
    fn = getattr(vk, name)
    got = fn(recommended, relevant) if k is None else fn(recommended, relevant, k)
    assert type(got) is float
    assert got == expected


@pytest.mark.parametrize("name", AT_K + FULL)
@pytest.mark.parametrize("recommended, relevant", [([], [1]), ([1, 2], []), ([], [])])
def test_empty_inputs_give_zero(name, recommended, relevant):
    fn = getattr(vk, name)
    assert (fn(recommended, relevant) if name in FULL else fn(recommended, relevant, 3)) == 0.0


@pytest.mark.parametrize("name", AT_K)
def test_k_zero_gives_zero(name):
    assert getattr(vk, name)([1, 2], [1], 0) == 0.0


@pytest.mark.parametrize(
    "relevant",
    [[2, 4, 9], (2, 4, 9), {2, 4, 9}, frozenset({2, 4, 9}), (x for x in [2, 4, 9]), {2: "a", 4: "b", 9: "c"},
     [2, 2, 4, 9, 4], iter([9, 4, 2])],
)
def test_relevant_forms(relevant):
    assert vk.average_precision([1, 2, 3, 4], relevant) == 0.3333333333333333


def test_relevant_duplicates_count_once():
    assert vk.recall_at_k([2], [2, 2], 1) == 1.0


def test_keyword_calls():
    assert vk.ndcg_at_k(k=3, relevant=[1], recommended=[1]) == 1.0
    assert vk.reciprocal_rank(relevant=[2], recommended=(1, 2)) == 0.5


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: vk.precision_at_k([1], 5, 1), TypeError, "'int' object is not iterable"),
        (lambda: vk.precision_at_k([1], ["x"], 1), TypeError, None),
        (lambda: vk.precision_at_k([1], [2**63], 1), OverflowError, None),
        (lambda: vk.recall_at_k("12", [1], 1), TypeError, "argument 'recommended': "),
        (lambda: vk.recall_at_k({1, 2}, [1], 1), TypeError,
         "argument 'recommended': 'set' object is not an instance of 'Sequence'"),
        (lambda: vk.recall_at_k([1], [1], "2"), TypeError, "argument 'k': "),
        (lambda: vk.recall_at_k([1], [1], -1), OverflowError, None),
        # conversion order: recommended, then k, then relevant
        (lambda: vk.hit_rate_at_k("12", 5, -1), TypeError, "argument 'recommended': "),
        (lambda: vk.hit_rate_at_k([1], 5, -1), OverflowError, None),
        (lambda: vk.hit_rate_at_k([1], 5, "k"), TypeError, "argument 'k': "),
        (lambda: vk.reciprocal_rank([1], [1], 3), TypeError,
         "reciprocal_rank() takes 2 positional arguments but 3 were given"),
        (lambda: vk.average_precision([1], [1], k=3), TypeError,
         "average_precision() got an unexpected keyword argument 'k'"),
    ],
)
def test_metric_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    text = str(info.value)
    if exc is OverflowError or message is None:
        assert not text.startswith("argument")
    elif message.endswith(": "):
        assert text.startswith(message)
    else:
        assert text == message


def test_relevant_consumed_once_and_after_other_arguments():
    consumed = []

    def gen():
        consumed.append(True)
        yield 1

    with pytest.raises(TypeError):
        vk.ndcg_at_k("bad", gen(), 1)
    assert consumed == []
    assert vk.ndcg_at_k([1], gen(), 1) == 1.0
    assert consumed == [True]


DOCS = {
    "precision_at_k": "Precision@k: fraction of the top `k` recommendations that are relevant.",
    "recall_at_k": "Recall@k: fraction of relevant items present in the top `k`.",
    "f1_at_k": "F1@k: harmonic mean of precision@k and recall@k.",
    "hit_rate_at_k": "Hit Rate@k: 1.0 if any relevant item is in the top `k`, else 0.0.",
    "ndcg_at_k": "Normalized Discounted Cumulative Gain@k.",
    "arhr_at_k": "Average Reciprocal Hit Rank@k.",
    "reciprocal_rank": "Reciprocal Rank: 1 / rank of the first relevant item, over the full ranking.",
    "average_precision": "Average Precision over the full ranking.",
}


@pytest.mark.parametrize("name", DOCS)
def test_metric_texts(name):
    fn = getattr(vk, name)
    assert fn.__name__ == name
    assert fn.__doc__ == DOCS[name]
    params = "(recommended, relevant, k)" if name in AT_K else "(recommended, relevant)"
    assert fn.__text_signature__ == params


# ------------------------------------------------------------ EvaluationReport

def ranked_report(rank, k=10, extra_queries=()):
    """A report for one query whose target the model ranks at `rank`: the
    target is the least popular of `rank` items."""
    train = [[i] * 2 for i in range(1, rank)] + [[0]]
    model = vk.Popularity.fit(train)
    return model.evaluate_leave_one_out([[1, 0], *extra_queries], k)


def test_report_attributes():
    report = ranked_report(2)
    assert (report.k, report.num_queries) == (10, 1)
    assert type(report.k) is int and type(report.num_queries) is int
    assert (report.hit_rate, report.mrr, report.map, report.arhr) == (1.0, 0.5, 0.5, 0.5)
    assert report.ndcg == 1 / math.log2(3)
    assert report.f1 == 2 / 11


@pytest.mark.parametrize(
    "rank, k, text",
    [
        (2, 10, "EvaluationReport(k=10, num_queries=1, hit_rate=1.0000, ndcg=0.6309, mrr=0.5000, f1=0.1818, "
                "map=0.5000, arhr=0.5000)"),
        (1, 10, "EvaluationReport(k=10, num_queries=1, hit_rate=1.0000, ndcg=1.0000, mrr=1.0000, f1=0.1818, "
                "map=1.0000, arhr=1.0000)"),
        # 1/32 = 0.03125 exactly: the tie rounds to even
        (32, 10, "EvaluationReport(k=10, num_queries=1, hit_rate=0.0000, ndcg=0.0000, mrr=0.0312, f1=0.0000, "
                 "map=0.0312, arhr=0.0000)"),
        # 1/3 rounds down, 2/(k+1) = 2/3 rounds up; 1/log2(4) = 0.5
        (3, 2, "EvaluationReport(k=2, num_queries=1, hit_rate=0.0000, ndcg=0.0000, mrr=0.3333, f1=0.0000, "
               "map=0.3333, arhr=0.0000)"),
        (3, 3, "EvaluationReport(k=3, num_queries=1, hit_rate=1.0000, ndcg=0.5000, mrr=0.3333, f1=0.5000, "
               "map=0.3333, arhr=0.3333)"),
        (1, 0, "EvaluationReport(k=0, num_queries=1, hit_rate=0.0000, ndcg=0.0000, mrr=1.0000, f1=0.0000, "
               "map=1.0000, arhr=0.0000)"),
    ],
)
def test_report_repr(rank, k, text):
    report = ranked_report(rank, k)
    assert repr(report) == text
    assert str(report) == text


@pytest.mark.parametrize(
    "extra, mrr, text",
    [
        ([[1, 999]], 1 / 32, "mrr=0.0312,"),  # (1/16 + 0) / 2, an unknown target
        ([[1, 8]], 3 / 32, "mrr=0.0938,"),  # (1/16 + 1/8) / 2
        ([[1, 4]], 5 / 32, "mrr=0.1562,"),  # (1/16 + 1/4) / 2
    ],
)
def test_report_repr_rounds_exact_ties_to_even(extra, mrr, text):
    # Items 1..15 rank 1..15 and the target 0 ranks 16th.
    report = ranked_report(16, 10, extra_queries=extra)
    assert report.num_queries == 2
    assert report.mrr == mrr
    assert text in repr(report)


def test_report_is_read_only_and_has_no_constructor():
    report = ranked_report(2)
    with pytest.raises(AttributeError):
        report.k = 3
    with pytest.raises(AttributeError):
        report.extra = 1
    with pytest.raises(TypeError) as info:
        vk.EvaluationReport()
    assert str(info.value) == "cannot create 'builtins.EvaluationReport' instances"
    other = ranked_report(2)
    assert report != other and report == report


REPORT_DOCS = {
    "k": "The cutoff applied to the `@k` metrics.",
    "num_queries": "The number of queries that were scored.",
    "hit_rate": "Hit Rate@k.",
    "ndcg": "Normalized Discounted Cumulative Gain@k.",
    "mrr": "Mean Reciprocal Rank, over the full ranking.",
    "f1": "F1@k.",
    "map": "Mean Average Precision, over the full ranking.",
    "arhr": "Average Reciprocal Hit Rank@k.",
}


def test_report_texts():
    assert vk.EvaluationReport.__doc__ == (
        "Aggregate metrics from an evaluation run. Construction is internal; instances\n"
        "are returned by a model's `evaluate_leave_one_out`."
    )
    attributes = [name for name in vars(vk.EvaluationReport) if not name.startswith("__")]
    assert attributes == list(REPORT_DOCS)
    for name, doc in REPORT_DOCS.items():
        assert getattr(vk.EvaluationReport, name).__doc__ == doc
