"""The calling conventions every entry point shares: binding messages,
conversion errors and their argument prefix, classes without a constructor,
and the internal-failure exception."""

import re

import pytest

import _vosket as vk

from conftest import TRAIN

REGISTERED = [
    "Sequences", "Popularity", "Random", "Sknn", "VSknn", "SSknn", "SknnConfig", "Similarity",
    "EvaluationReport", "precision_at_k", "recall_at_k", "hit_rate_at_k", "ndcg_at_k", "f1_at_k",
    "arhr_at_k", "reciprocal_rank", "average_precision", "__version__",
]


def test_registration_order_and_class_module():
    assert vk.__all__ == REGISTERED
    for name in REGISTERED[:9]:
        cls = getattr(vk, name)
        assert cls.__module__ == "builtins"
        assert cls.__bases__ == (object,)
    for name in REGISTERED[9:17]:
        assert getattr(vk, name).__name__ == name


POP = vk.Popularity.fit(TRAIN)

BINDING_CASES = [
    # too many positional arguments, fixed count, "were" and "was"
    (lambda: vk.precision_at_k([1], [1], 1, 2),
     "precision_at_k() takes 3 positional arguments but 4 were given"),
    (lambda: vk.reciprocal_rank([1], [1], 3),
     "reciprocal_rank() takes 2 positional arguments but 3 were given"),
    (lambda: POP.num_items(1), "Popularity.num_items() takes 0 positional arguments but 1 was given"),
    # count with defaults
    (lambda: vk.Random(1, 2, 3), "Random.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: POP.evaluate_leave_one_out(TRAIN, 1, 2),
     "Popularity.evaluate_leave_one_out() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: vk.SknnConfig(1, 2, 3, None, True, 6),
     "SknnConfig.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    # unexpected keyword, multiple values
    (lambda: vk.ndcg_at_k([1], [1], 1, kk=2), "ndcg_at_k() got an unexpected keyword argument 'kk'"),
    (lambda: vk.Sknn.fit(TRAIN, confg=None), "Sknn.fit() got an unexpected keyword argument 'confg'"),
    (lambda: POP.num_items(k=1), "Popularity.num_items() got an unexpected keyword argument 'k'"),
    (lambda: vk.recall_at_k([1], [1], 1, k=2), "recall_at_k() got multiple values for argument 'k'"),
    (lambda: POP.recommend([1], sequence=[2]),
     "Popularity.recommend() got multiple values for argument 'sequence'"),
    # missing required arguments: one, two, three names
    (lambda: vk.reciprocal_rank([1]), "reciprocal_rank() missing 1 required positional argument: 'relevant'"),
    (lambda: vk.average_precision(),
     "average_precision() missing 2 required positional arguments: 'recommended' and 'relevant'"),
    (lambda: vk.precision_at_k(),
     "precision_at_k() missing 3 required positional arguments: 'recommended', 'relevant', and 'k'"),
    (lambda: vk.f1_at_k(relevant=[1]),
     "f1_at_k() missing 2 required positional arguments: 'recommended' and 'k'"),
    (lambda: vk.Random(), "Random.__new__() missing 1 required positional argument: 'num_items'"),
    (lambda: vk.VSknn.fit(), "VSknn.fit() missing 1 required positional argument: 'data'"),
    (lambda: POP.recommend(), "Popularity.recommend() missing 2 required positional arguments: 'sequence' and 'k'"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class IndexRaising:
    """An integer-like object whose __index__ fails with a chained error."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_type_error_gets_prefix_and_keeps_cause():
    root = ValueError("root cause")
    original = TypeError("bad index")
    original.__cause__ = root
    with pytest.raises(TypeError) as info:
        POP.recommend([1], IndexRaising(original))
    assert str(info.value) == "argument 'k': bad index"
    assert info.value is not original
    assert info.value.__cause__ is root


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: POP.recommend([1], "3"), "argument 'k': "),
        (lambda: POP.recommend("12", 3), "argument 'sequence': "),
        (lambda: POP.recommend([1, "x"], 3), "argument 'sequence': "),
        (lambda: POP.evaluate_leave_one_out(TRAIN, None), "argument 'k': "),
        (lambda: vk.Random("5"), "argument 'num_items': "),
        (lambda: vk.Random(5, None), "argument 'seed': "),
        (lambda: vk.Random.fit(TRAIN, seed=None), "argument 'seed': "),
        (lambda: vk.SknnConfig(popularity_backoff=1), "argument 'popularity_backoff': "),
        (lambda: vk.ndcg_at_k({1, 2}, [1], 1), "argument 'recommended': "),
    ],
)
def test_conversion_type_errors_are_prefixed(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)
    assert str(info.value).count("argument '") == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda: POP.recommend([1], -1),
        lambda: POP.recommend([1], 2**64),
        lambda: POP.recommend([2**63], 1),
        lambda: vk.Random(-1),
        lambda: vk.Random(3, seed=-1),
        lambda: vk.SknnConfig(seed=2**64),
        lambda: vk.precision_at_k([1], [1], -1),
    ],
)
def test_overflow_passes_unprefixed(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


def test_non_type_errors_from_index_pass_unchanged():
    error = ValueError("no index today")
    with pytest.raises(ValueError) as info:
        POP.recommend([1], IndexRaising(error))
    assert info.value is error


def test_data_argument_errors_carry_no_prefix():
    with pytest.raises(TypeError) as info:
        vk.Popularity.fit({1, 2})
    assert str(info.value) == "'set' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        vk.Popularity.fit([[1], iter([2])])
    assert str(info.value) == "'list_iterator' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as str_error:
        vk.Popularity.fit("12")
    with pytest.raises(TypeError) as inner_str_error:
        vk.Popularity.fit(["12"])
    assert str(str_error.value) == str(inner_str_error.value)
    assert not str(str_error.value).startswith("argument")
    with pytest.raises(OverflowError):
        vk.Popularity.fit([[2**63]])


def test_integers_bools_and_sequences_accepted():
    assert POP.recommend([], True) == POP.recommend([], 1)
    assert len(POP.recommend((10, 20), 2)) == 2
    assert POP.recommend(range(3), 3) == POP.recommend([0, 1, 2], 3)
    model = vk.Popularity.fit(((1, 2), range(2, 4)))
    assert model.num_items() == 3


@pytest.mark.parametrize(
    "cls", [vk.Popularity, vk.Sknn, vk.VSknn, vk.SSknn, vk.Similarity, vk.EvaluationReport],
    ids=lambda c: c.__name__,
)
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'builtins.{cls.__name__}' instances"


def test_internal_failure_is_a_direct_base_exception():
    model = vk.Sknn.fit([[1, 2], [2, 3]], vk.SknnConfig(similarity=vk.Similarity.Dice))
    with pytest.raises(BaseException) as info:
        model.recommend([2], 1)
    exc_type = info.type
    assert exc_type.__bases__ == (BaseException,)
    assert not issubclass(exc_type, Exception)
    assert str(info.value) == "not implemented: Dice similarity is reserved but not yet implemented"
    # The class is created once: a second failure raises the same class.
    with pytest.raises(BaseException) as again:
        model.score_all_items([1])
    assert again.type is exc_type
    # The model stays usable for queries that find no neighbours.
    assert model.recommend([], 1) == [2]


def test_method_receiver_is_checked():
    with pytest.raises(TypeError):
        vk.Popularity.recommend(vk.Random(3), [1], 1)
    with pytest.raises(TypeError, match=re.escape("Popularity")):
        vk.Popularity.num_items(5)
