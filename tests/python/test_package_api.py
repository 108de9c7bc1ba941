"""The package surface: re-exports, vosket.InternalError, the embedded sample."""

import pytest

import _vosket
import vosket


def provoke():
    config = _vosket.SknnConfig(similarity=_vosket.Similarity.Dice)
    _vosket.SSknn.fit([[1, 2], [2, 3]], config).recommend([2], 2)


def test_internal_error_is_exposed_by_name_and_catchable():
    assert "InternalError" not in _vosket.__all__
    assert not hasattr(_vosket, "InternalError")
    err = vosket.InternalError
    assert err.__bases__ == (BaseException,)
    assert vosket.InternalError is err  # resolved once
    assert "InternalError" in dir(vosket) and "InternalError" in vosket.__all__
    with pytest.raises(vosket.InternalError, match="reserved"):
        try:
            provoke()
        except Exception:  # an internal failure is not an Exception
            pytest.fail("InternalError was caught by 'except Exception'")
    caught = None
    try:
        provoke()
    except vosket.InternalError as e:
        caught = e
    assert type(caught) is err


def test_unknown_attribute_still_raises_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'nope'"):
        vosket.nope  # noqa: B018


def test_native_names_are_re_exported_unchanged():
    for name in _vosket.__all__:
        assert getattr(vosket, name) is getattr(_vosket, name)
        assert name in vosket.__all__
    for name in vosket.__all__:
        assert hasattr(vosket, name)


def test_sample_is_deterministic_and_consistent():
    first, second = vosket.sample_sessions(), vosket.sample_sessions()
    assert first == second
    assert vosket.sample_sessions(seed=1) != first
    lengths = [len(s.items) for s in first]
    assert len(first) == 3000 and min(lengths) == 2 and max(lengths) > 15
    for s in first:
        assert s.timestamps == sorted(s.timestamps) and len(s.timestamps) == len(s.items)
    # Skewed popularity: the most clicked item is far above the median one.
    counts = {}
    for s in first:
        for i in s.items:
            counts[i] = counts.get(i, 0) + 1
    ranked = sorted(counts.values(), reverse=True)
    assert ranked[0] > 20 * ranked[len(ranked) // 2]
    # The columns grouped per user in time order are the sessions, in the same order.
    pa = pytest.importorskip("pyarrow")
    from vosket._data import table_sequences
    table = pa.table(vosket.sample_interactions())
    assert table_sequences(table, "user_id", "item_id", "timestamp") == [s.items for s in first]


def test_knn_models_beat_the_baselines_on_the_sample():
    sessions = vosket.sample_sessions()
    train, test = [s.items for s in sessions[:2400]], [s.items for s in sessions[2400:]]
    best_baseline = max(m.fit(train).evaluate_leave_one_out(test).ndcg
                        for m in (_vosket.Popularity, _vosket.Random))
    for m in (_vosket.Sknn, _vosket.VSknn, _vosket.SSknn):
        report = m.fit(train).evaluate_leave_one_out(test)
        assert report.ndcg > best_baseline + 0.05, m
