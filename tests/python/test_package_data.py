"""vosket.from_arrow / vosket.from_pandas: lossless normalisation of real-world column types."""

import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

import _vosket  # noqa: E402
import vosket  # noqa: E402
from vosket._data import table_sequences  # noqa: E402

# Rows out of time order, two users interleaved, a tie on user "b"'s timestamps, a
# repeated item: grouping, the stable time order and interning all show in the result.
USERS = [7, 3, 7, 3, 7, 9, 3]
ITEMS = [30, 10, 20, 11, 31, 40, 10]
TIMES = [5, 2, 1, 2, 9, 4, 0]
# Per user in order of first appearance, by timestamp, ties in row order.
EXPECTED = [[20, 30, 31], [10, 10, 11], [40]]


def canonical():
    return pa.table({"user_id": pa.array(USERS, pa.int64()),
                     "item_id": pa.array(ITEMS, pa.int64()),
                     "timestamp": pa.array(TIMES, pa.int64())})


def fingerprint(seqs):
    """What a Sequences shows from Python: sizes, item numbering and the sequences' content."""
    probe = _vosket.SSknn.fit(EXPECTED, _vosket.SknnConfig(sample_size=0))
    return (len(seqs), seqs.num_items(),
            _vosket.Popularity.fit(seqs).score_all_items([]),
            repr(probe.evaluate_leave_one_out(seqs, 2)),
            repr(_vosket.Popularity.fit(EXPECTED).evaluate_leave_one_out(seqs, 1)))


def with_column(name, array):
    t = canonical()
    return t.set_column(t.schema.get_field_index(name), name, array)


def test_canonical_table_matches_the_expected_grouping():
    assert table_sequences(canonical(), "user_id", "item_id", "timestamp") == EXPECTED
    assert fingerprint(vosket.from_arrow(canonical())) == fingerprint(
        _vosket.Sequences.from_interactions(canonical()))


STR_USERS = [str(u) for u in USERS]


@pytest.mark.parametrize("name,array", [
    ("user_id", pa.array(USERS, pa.int32())),
    ("user_id", pa.array(USERS, pa.uint8())),
    ("user_id", pa.array(USERS, pa.uint64())),
    ("user_id", pa.array(STR_USERS, pa.large_string())),
    ("user_id", pa.array(STR_USERS, pa.string_view())),
    ("user_id", pa.array(STR_USERS, pa.string()).dictionary_encode()),
    ("user_id", pa.array(STR_USERS, pa.large_string()).dictionary_encode()),
    ("user_id", pa.array(USERS, pa.int16()).dictionary_encode()),
    ("item_id", pa.array(ITEMS, pa.int8())),
    ("item_id", pa.array(ITEMS, pa.int16())),
    ("item_id", pa.array(ITEMS, pa.int32())),
    ("item_id", pa.array(ITEMS, pa.uint16())),
    ("item_id", pa.array(ITEMS, pa.uint32())),
    ("item_id", pa.array(ITEMS, pa.uint64())),
    ("item_id", pa.array(ITEMS, pa.int64()).dictionary_encode()),
    ("timestamp", pa.array(TIMES, pa.int32())),
    ("timestamp", pa.array(TIMES, pa.uint64())),
    ("timestamp", pa.array(TIMES, pa.timestamp("ms", tz="Europe/Paris"))),
    ("timestamp", pa.array(TIMES, pa.date32())),
    ("timestamp", pa.array([t * 86_400_000 for t in TIMES], pa.date64())),
], ids=lambda v: str(v.type) if hasattr(v, "type") else v)
def test_convertible_column_types_give_the_same_sequences(name, array):
    assert fingerprint(vosket.from_arrow(with_column(name, array))) == fingerprint(
        vosket.from_arrow(canonical()))


def test_polars_and_pandas_frames_of_strings_categoricals_and_datetimes():
    ref = fingerprint(vosket.from_arrow(canonical()))
    frame = pl.DataFrame({"u": STR_USERS, "i": ITEMS, "t": TIMES})
    cols = {"user_col": "u", "item_col": "i", "timestamp_col": "t"}
    cat = frame.with_columns(pl.col("u").cast(pl.Categorical), pl.col("i").cast(pl.Int32))
    for obj in (frame, cat, frame.to_arrow(), frame.to_arrow().to_reader()):
        assert fingerprint(vosket.from_arrow(obj, **cols)) == ref
    df = pd.DataFrame({"u": pd.Categorical(STR_USERS), "i": pd.array(ITEMS, "Int32"),
                       "t": pd.to_datetime(TIMES, unit="s"), "extra": [0.5] * 7})
    assert fingerprint(vosket.from_pandas(df, **cols)) == ref
    assert fingerprint(vosket.from_arrow(df, **cols)) == ref
    # A user column that was made the index is still found.
    assert fingerprint(vosket.from_pandas(df.set_index("u"), **cols)) == ref


def test_largest_signed_id_survives_the_uint64_cast():
    top = 2**63 - 1
    t = pa.table({"user_id": [1, 1], "item_id": pa.array([top, 5], pa.uint64()),
                  "timestamp": [1, 2]})
    assert _vosket.Popularity.fit(vosket.from_arrow(t)).recommend([], 2) == [top, 5]


MISSING = 'interaction table is missing required column "timestamp"'


@pytest.mark.parametrize("table,message", [
    (with_column("item_id", pa.array([float(i) for i in ITEMS])),
     'column "item_id" holds floating-point values (Float64)'),
    (with_column("timestamp", pa.array(TIMES, pa.float32())),
     'column "timestamp" holds floating-point values (Float32)'),
    (with_column("item_id", pa.array([2**63] + ITEMS[1:], pa.uint64())),
     'column "item_id" holds the UInt64 value 9223372036854775808'),
    (with_column("user_id", pa.array([2**64 - 1] + USERS[1:], pa.uint64())),
     'column "user_id" holds the UInt64 value 18446744073709551615'),
    (with_column("item_id", pa.array([str(i) for i in ITEMS], pa.large_string())),
     'column "item_id" holds text (LargeUtf8)'),
    (with_column("item_id", pa.array([None] + ITEMS[1:], pa.int32())),
     'interaction column "item_id" contains nulls, which are not permitted'),
    (with_column("timestamp", pa.array(TIMES, pa.duration("s"))),
     'column "timestamp" has unsupported type Duration(Second) for interaction ingestion'),
    (canonical().drop_columns(["timestamp"]), MISSING),
    # An empty table is still checked: its column types and columns.
    (canonical().slice(0, 0).set_column(0, "user_id", pa.array([], pa.bool_())),
     'column "user_id" has unsupported type Boolean for interaction ingestion'),
    (canonical().slice(0, 0).drop_columns(["timestamp"]), MISSING),
], ids=["float-item", "float-ts", "uint64-item", "uint64-user", "text-item", "null-item",
        "duration", "missing", "empty-bool", "empty-missing"])
def test_lossy_or_unsupported_columns_are_refused(table, message):
    with pytest.raises(ValueError) as info:
        vosket.from_arrow(table)
    assert str(info.value).startswith(message)


def test_nulls_are_reported_before_a_later_column_problem():
    # The native reader's order of checks: user, item, timestamp; nulls before types.
    t = canonical().set_column(1, "item_id", pa.array([None] + ITEMS[1:], pa.float64()))
    t = t.drop_columns(["timestamp"])
    with pytest.raises(ValueError, match='interaction column "item_id" contains nulls'):
        vosket.from_arrow(t)


@pytest.mark.parametrize("frame,message", [
    (pd.DataFrame({"user_id": [1, 2], "item_id": [1.0, float("nan")], "timestamp": [1, 2]}),
     'interaction column "item_id" contains nulls'),
    (pd.DataFrame({"user_id": [1, "a"], "item_id": [1, 2], "timestamp": [1, 2]}),
     "the DataFrame cannot be read as an Arrow table"),
    (pd.DataFrame({"user_id": [1, 2], "item_id": [1.5, 2.0], "timestamp": [1, 2]}),
     'column "item_id" holds floating-point values (Float64)'),
])
def test_pandas_frames_that_cannot_be_read_without_loss(frame, message):
    with pytest.raises(ValueError) as info:
        vosket.from_pandas(frame)
    assert str(info.value).startswith(message)


def test_wrong_argument_types():
    with pytest.raises(TypeError, match="expects a pandas DataFrame"):
        vosket.from_pandas(canonical())
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        vosket.from_arrow([[1, 2]])
    with pytest.raises(TypeError, match="user_col must be a str"):
        vosket.from_arrow(canonical(), user_col=3)


def test_without_pyarrow_the_error_says_what_to_install():
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import vosket\n"
            "try:\n"
            "    vosket.from_arrow(object())\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'vosket[arrow]'" in out.stdout
