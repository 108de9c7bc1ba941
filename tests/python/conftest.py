"""Shared fixtures: the model classes, a small training set, and the real
interaction logs of the shared data directory read as per-user sequences."""

from __future__ import annotations

import functools
from pathlib import Path

import pytest

import _vosket as vk

DATA_DIR = Path(__file__).resolve().parents[3] / "shared" / "data"
if not DATA_DIR.is_dir():
    DATA_DIR = Path("/work/shared/data")

MODEL_CLASSES = [vk.Popularity, vk.Random, vk.Sknn, vk.VSknn, vk.SSknn]
KNN_CLASSES = [vk.Sknn, vk.VSknn, vk.SSknn]

#: Small training data with repeats, an empty sequence and ties in popularity.
TRAIN = [[10, 20, 30], [20, 30, 40], [30, 50], [], [60, 10, 10]]


@pytest.fixture(params=MODEL_CLASSES, ids=lambda c: c.__name__)
def model_class(request):
    return request.param


def fit(cls, data):
    """Fits any model class on `data` with its defaults."""
    return cls.fit(data)


@functools.lru_cache(maxsize=None)
def read_sequences(name: str) -> tuple[tuple[int, ...], ...]:
    """The per-user item sequences of a shared CSV, users in order of first
    appearance, each in file order (the files are sorted by user and time)."""
    csv = pytest.importorskip("pyarrow.csv")
    path = DATA_DIR / name
    if not path.exists():
        pytest.skip(f"{path} is not available")
    table = csv.read_csv(path)
    users = table.column("user_id").to_pylist()
    items = table.column("item_id").to_pylist()
    groups: dict[int, list[int]] = {}
    for user, item in zip(users, items):
        groups.setdefault(user, []).append(item)
    return tuple(tuple(seq) for seq in groups.values())


@pytest.fixture(scope="session")
def yoochoose():
    return read_sequences("yoochoose_clicks_100k.csv")


@pytest.fixture(scope="session")
def movielens():
    return read_sequences("ml_latest_small.csv")
