"""SknnConfig and Similarity."""

import pytest

import _vosket as vk

S = vk.Similarity
C = vk.SknnConfig

FIELDS = ["k_neighbors", "sample_size", "seed", "similarity", "popularity_backoff"]


def values(config):
    return tuple(getattr(config, f) for f in FIELDS)


@pytest.mark.parametrize(
    "config, expected, text",
    [
        (C(), (100, 1000, 0, S.Cosine, True),
         "SknnConfig(k_neighbors=100, sample_size=1000, seed=0, similarity=Cosine, popularity_backoff=true)"),
        (C(5, 0, 7, S.Dot, False), (5, 0, 7, S.Dot, False),
         "SknnConfig(k_neighbors=5, sample_size=0, seed=7, similarity=Dot, popularity_backoff=false)"),
        (C(sample_size=0), (100, 0, 0, S.Cosine, True),
         "SknnConfig(k_neighbors=100, sample_size=0, seed=0, similarity=Cosine, popularity_backoff=true)"),
        (C(k_neighbors=0, seed=2**64 - 1, similarity=None), (0, 1000, 2**64 - 1, S.Cosine, True),
         "SknnConfig(k_neighbors=0, sample_size=1000, seed=18446744073709551615, similarity=Cosine, "
         "popularity_backoff=true)"),
        (C(popularity_backoff=False, similarity=S.Jaccard, sample_size=True), (100, 1, 0, S.Jaccard, False),
         "SknnConfig(k_neighbors=100, sample_size=1, seed=0, similarity=Jaccard, popularity_backoff=false)"),
        (C(similarity=S.Dice), (100, 1000, 0, S.Dice, True),
         "SknnConfig(k_neighbors=100, sample_size=1000, seed=0, similarity=Dice, popularity_backoff=true)"),
    ],
)
def test_config_values_and_repr(config, expected, text):
    assert values(config) == expected
    assert config.similarity is expected[3]
    assert repr(config) == text
    assert str(config) == text


def test_config_accepts_numpy_bools():
    np = pytest.importorskip("numpy")
    assert C(popularity_backoff=np.bool_(False)).popularity_backoff is False
    assert C(popularity_backoff=np.True_).popularity_backoff is True


@pytest.mark.parametrize(
    "kwargs, exc, prefix",
    [
        (dict(k_neighbors=-1), OverflowError, None),
        (dict(sample_size=-1), OverflowError, None),
        (dict(seed=2**64), OverflowError, None),
        (dict(seed=-1), OverflowError, None),
        (dict(k_neighbors="5"), TypeError, "argument 'k_neighbors': "),
        (dict(k_neighbors=None), TypeError, "argument 'k_neighbors': "),
        (dict(sample_size=1.0), TypeError, "argument 'sample_size': "),
        (dict(similarity=0), TypeError, "argument 'similarity': 'int' object is not an instance of 'Similarity'"),
        (dict(similarity=1), TypeError, "argument 'similarity': "),
        (dict(similarity="Cosine"), TypeError, "argument 'similarity': "),
        (dict(popularity_backoff=1), TypeError,
         "argument 'popularity_backoff': 'int' object is not an instance of 'bool'"),
        (dict(popularity_backoff=None), TypeError, "argument 'popularity_backoff': "),
        # parameter order decides which failure is reported
        (dict(popularity_backoff=1, seed="x"), TypeError, "argument 'seed': "),
        (dict(similarity=0, k_neighbors=-1), OverflowError, None),
        (dict(bogus=1), TypeError, "SknnConfig.__new__() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_config_errors(kwargs, exc, prefix):
    with pytest.raises(exc) as info:
        C(**kwargs)
    if prefix is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(prefix)


def test_config_is_read_only_and_compares_by_identity():
    config = C()
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(config, name, getattr(config, name))
    assert config == config
    assert config != C()
    assert hash(config) == hash(config)


def test_config_texts():
    assert C.__doc__ == "Hyper-parameters shared by the SKNN family."
    assert C.__text_signature__ == (
        "(k_neighbors=100, sample_size=1000, seed=0, similarity=None, popularity_backoff=True)"
    )
    assert C.sample_size.__doc__ == "The neighbour sub-sampling cap, or ``0`` when sampling is disabled."
    for name in ["k_neighbors", "seed", "similarity", "popularity_backoff"]:
        assert not getattr(C, name).__doc__


# ------------------------------------------------------------------ Similarity

MEASURES = [("Cosine", 0), ("Jaccard", 1), ("Dice", 2), ("Dot", 3)]


@pytest.mark.parametrize("name, value", MEASURES)
def test_similarity_members(name, value):
    member = getattr(S, name)
    assert type(member) is S
    assert int(member) == value
    assert repr(member) == f"Similarity.{name}"
    assert member is getattr(S, name)
    assert member == value and value == member and not (member != value)
    assert member != value + 1
    assert member == member and member != object()


def test_similarity_class_attributes_in_order():
    assert [n for n in vars(S) if n in dict(MEASURES)] == [n for n, _ in MEASURES]
    assert S.__doc__ == "Neighbour similarity measure for the SKNN family."
    assert C().similarity is S.Cosine


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "other, equal",
    [
        (2, True), (1, False), (True, False), (Index(2), True), (Index(3), False),
        ("Dice", False), (2.0, False), (None, False), (2**64 + 2, False), (-(2**70), False),
        (S.Dice, True), (S.Dot, False),
    ],
)
def test_similarity_equality(other, equal):
    assert (S.Dice == other) is equal
    assert (S.Dice != other) is (not equal)


def test_similarity_bool_compares_as_integer():
    assert S.Jaccard == True  # noqa: E712
    assert S.Cosine == False  # noqa: E712


@pytest.mark.parametrize("other", [S.Dot, 3, "x"])
def test_similarity_has_no_ordering(other):
    with pytest.raises(TypeError):
        S.Cosine < other  # noqa: B015
    with pytest.raises(TypeError):
        S.Cosine >= other  # noqa: B015


def test_similarity_is_unhashable_and_has_no_constructor():
    with pytest.raises(TypeError):
        hash(S.Cosine)
    with pytest.raises(TypeError):
        {S.Cosine}
    with pytest.raises(TypeError) as info:
        S()
    assert str(info.value) == "cannot create 'builtins.Similarity' instances"
