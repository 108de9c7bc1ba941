"""A long call responds to Ctrl-C by raising KeyboardInterrupt and leaves every
object as it was."""

import os
import subprocess
import time

import pytest

import _vosket as vk

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")


def interrupt_after(delay: float) -> subprocess.Popen:
    """Sends SIGINT to this process from outside after `delay` seconds, as a
    Ctrl-C would: a thread of ours could not, since the call holds the
    interpreter lock throughout."""
    return subprocess.Popen(["sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])


def test_evaluate_leave_one_out_is_interruptible():
    model = vk.Random(1_000_000, seed=5)
    before = model.recommend([3, 4], 5)
    # Thousands of queries over a catalogue of a million items: many seconds
    # of work if nothing stops it.
    data = [[i, i + 1] for i in range(20_000)]
    start = time.monotonic()
    killer = interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        model.evaluate_leave_one_out(data, 10)
    elapsed = time.monotonic() - start
    killer.wait()
    assert elapsed < 0.3 + 2.0
    assert model.recommend([3, 4], 5) == before
    assert model.num_items() == 1_000_000


@pytest.mark.skipif(os.environ.get("VOSKET_SANITIZED") == "1", reason="too large for a sanitized run")
def test_from_interactions_is_interruptible():
    n = 30_000_000
    rng = np.random.default_rng(1)
    table = pa.table(
        {
            "user_id": pa.array(rng.integers(0, n // 4, n)),
            "item_id": pa.array(rng.integers(0, 1 << 40, n)),
            "timestamp": pa.array(rng.integers(0, 1 << 30, n)),
        }
    )
    start = time.monotonic()
    killer = interrupt_after(0.05)
    try:
        seqs = vk.Sequences.from_interactions(table)
    except KeyboardInterrupt:
        elapsed = time.monotonic() - start
        assert elapsed < 0.05 + 2.0
    else:
        try:  # the signal may still be on its way: let it land here
            killer.wait()
            time.sleep(0.2)
        except KeyboardInterrupt:
            pass
        pytest.skip(f"the call finished before the signal arrived ({seqs!r})")
    killer.wait()
    assert table.num_rows == n
    again = vk.Sequences.from_interactions(table.slice(0, 1000))
    assert again.num_items() <= 1000
