import gc
import weakref

import pyarrow as pa
import polars as pl
import pytest

import _vosket
from _vosket import Sequences

from_interactions = Sequences.from_interactions


def table(users, items, timestamps, **types):
    return pa.table(
        {
            "user_id": pa.array(users, type=types.get("user", pa.int64())),
            "item_id": pa.array(items, type=types.get("item", pa.int64())),
            "timestamp": pa.array(timestamps, type=types.get("ts", pa.int64())),
        }
    )


class Producer:
    """Exposes only the stream dunder."""

    def __init__(self, result):
        self.result = result

    def __arrow_c_stream__(self, requested_schema=None):
        return self.result() if callable(self.result) else self.result


def test_class_surface():
    assert Sequences.__module__ == "builtins"
    assert Sequences.__doc__ == (
        "Interaction sequences ready to be consumed by a model.\n\n"
        "Build one with `Sequences.from_interactions` from an Arrow table, or via\n"
        "`vosket.from_pandas` from a pandas DataFrame."
    )
    assert from_interactions.__text_signature__ == (
        '(table, *, user_col="user_id", item_col="item_id", timestamp_col="timestamp")'
    )
    assert from_interactions.__doc__ == (
        "Builds sequences from a flat interaction table.\n\n"
        "`table` is any Arrow-compatible tabular object (`pyarrow.Table`, polars\n"
        "DataFrame, etc) that exposes the Arrow PyCapsule interface. Rows are grouped by\n"
        "`user_col` and ordered within each user by `timestamp_col`. `item_col` must\n"
        "hold integer ids; `user_col` may be integer or string; `timestamp_col` may\n"
        "be integer or an Arrow timestamp. Nulls in any of the three columns, a\n"
        "missing column, or an unsupported column type raise `ValueError`."
    )
    assert Sequences.num_items.__text_signature__ == "($self)"
    assert Sequences.num_items.__doc__ == "Returns the number of distinct items across all sequences."
    with pytest.raises(TypeError, match=r"^cannot create 'builtins.Sequences' instances$"):
        Sequences()


def test_default_columns_group_and_order():
    s = from_interactions(table([1, 1, 2, 1, 3], [30, 10, 5, 30, 10], [2, 1, 0, -5, 7]))
    assert len(s) == 3
    assert s.num_items() == 3
    assert repr(s) == str(s) == "Sequences(num_sequences=3, num_items=3)"
    with pytest.raises(TypeError):
        s[0]
    with pytest.raises(TypeError):
        iter(s)
    with pytest.raises(TypeError) as info:
        s.num_items(1)
    assert str(info.value) == "Sequences.num_items() takes 0 positional arguments but 1 was given"


def test_custom_column_names_and_extra_columns():
    t = pa.table({"who": ["b", "a", "b"], "what": [1, 2, 3], "when": [3, 2, 1], "note": [None, "x", None]})
    s = from_interactions(t, user_col="who", item_col="what", timestamp_col="when")
    assert (len(s), s.num_items()) == (2, 3)


def test_string_users_are_exact():
    s = from_interactions(table(["a", "A", "a ", "a", ""], [1, 1, 1, 2, 3], [0, 0, 0, 0, 0], user=pa.string()))
    assert (len(s), s.num_items()) == (4, 3)


def test_sliced_chunked_and_multi_batch_tables():
    t = table([1, 2, 3, 4, 5, 6], [10, 20, 30, 40, 50, 60], [0, 0, 0, 0, 0, 0])
    assert len(from_interactions(t.slice(2, 3))) == 3
    assert from_interactions(t.slice(2, 3)).num_items() == 3
    chunked = pa.concat_tables([t.slice(0, 2), t.slice(1, 3), t.slice(5)])
    assert chunked.column(0).num_chunks == 3
    s = from_interactions(chunked)  # rows 0, 1, 1, 2, 3, 5
    assert (len(s), s.num_items()) == (5, 5)
    reader = pa.RecordBatchReader.from_batches(t.schema, t.slice(3).to_batches(max_chunksize=1))
    assert repr(from_interactions(reader)) == "Sequences(num_sequences=3, num_items=3)"


def test_slice_hides_nulls_outside_it():
    t = table([None, 1, 2], [1, 2, 3], [0, 0, 0])
    with pytest.raises(ValueError):
        from_interactions(t)
    assert len(from_interactions(t.slice(1))) == 2


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "UTC", "Asia/Kolkata"])
def test_timestamp_columns_of_any_unit_and_zone(unit, tz):
    t = table([1, 1, 1], [7, 8, 9], [3, -1, 2], ts=pa.timestamp(unit, tz=tz))
    s = from_interactions(t)
    assert (len(s), s.num_items()) == (1, 3)


def test_zero_row_batches_and_empty_streams():
    empty = table([], [], [])
    s = from_interactions(empty)
    assert repr(s) == "Sequences(num_sequences=0, num_items=0)"
    assert (len(s), s.num_items()) == (0, 0)
    reader = pa.RecordBatchReader.from_batches(empty.schema, [])
    assert len(from_interactions(reader)) == 0
    zero = pa.RecordBatch.from_pydict({n: pa.array([], pa.int64()) for n in empty.column_names})
    batches = [zero] + table([1], [2], [3]).to_batches() + [zero]
    assert len(from_interactions(pa.RecordBatchReader.from_batches(empty.schema, batches))) == 1


def missing(col):
    return f'interaction table is missing required column "{col}"'


def nulls(col):
    return f'interaction column "{col}" contains nulls, which are not permitted'


def unsupported(col, rendered):
    return f'column "{col}" has unsupported type {rendered} for interaction ingestion'


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: pa.table({"item_id": [1], "timestamp": [1]}), missing("user_id")),
        (lambda: pa.table({"user_id": [1], "timestamp": [1]}), missing("item_id")),
        (lambda: pa.table({"user_id": [1], "item_id": [1]}), missing("timestamp")),
        (lambda: table([1, 2], [1, 2], [1, None]), nulls("timestamp")),
        (lambda: pa.table({"user_id": [1], "item_id": pa.array([None], pa.int64())}), nulls("item_id")),
        (lambda: table([1], [1], [1], item=pa.int32()), unsupported("item_id", "Int32")),
        (lambda: table([1], [1], [1], item=pa.uint64()), unsupported("item_id", "UInt64")),
        (lambda: table([1], [1.0], [1], item=pa.float64()), unsupported("item_id", "Float64")),
        (lambda: table(["a"], [1], [1], user=pa.large_string()), unsupported("user_id", "LargeUtf8")),
        (lambda: table(["a"], [1], [1], user=pa.string_view()), unsupported("user_id", "Utf8View")),
        (lambda: table([None], [1], [1], user=pa.null()), unsupported("user_id", "Null")),
        (lambda: table([1], [1], [1], user=pa.int16()), unsupported("user_id", "Int16")),
        (
            lambda: pa.table({"user_id": pa.array(["a"]).dictionary_encode(), "item_id": [1], "timestamp": [1]}),
            unsupported("user_id", "Dictionary(Int32, Utf8)"),
        ),
        (lambda: table([1], [1], [0], ts=pa.date64()), unsupported("timestamp", "Date64")),
        (lambda: table([1], [1], [0], ts=pa.time32("s")), unsupported("timestamp", "Time32(Second)")),
        (lambda: table([1], [1], [0], ts=pa.time64("ns")), unsupported("timestamp", "Time64(Nanosecond)")),
        (lambda: table([1], [1], [0], ts=pa.duration("ms")), unsupported("timestamp", "Duration(Millisecond)")),
        (
            lambda: table([1], [[1]], [0], item=pa.list_(pa.int64())),
            unsupported("item_id", "List(Int64)"),
        ),
    ],
)
def test_column_failures(make, message):
    with pytest.raises(ValueError) as info:
        from_interactions(make())
    assert str(info.value) == message
    assert type(info.value) is ValueError


def test_polars_frames():
    s = from_interactions(pl.DataFrame({"user_id": [1, 1, 2], "item_id": [5, 6, 5], "timestamp": [2, 1, 0]}))
    assert (len(s), s.num_items()) == (2, 2)
    with pytest.raises(ValueError) as info:
        from_interactions(pl.DataFrame({"user_id": ["a"], "item_id": [1], "timestamp": [1]}))
    assert str(info.value) == unsupported("user_id", "Utf8View")


def test_failure_in_batch_two_leaves_nothing():
    good = table([1], [1], [1])
    bad = pa.table({"item_id": [2], "timestamp": [2], "user_id": pa.array([None], pa.int64())})
    reader = pa.RecordBatchReader.from_batches(
        good.schema, good.to_batches() + bad.select(["user_id", "item_id", "timestamp"]).to_batches()
    )
    with pytest.raises(ValueError, match=r"^interaction column \"user_id\" contains nulls"):
        from_interactions(reader)


def test_column_name_arguments():
    t = table([1], [1], [1])
    with pytest.raises(TypeError) as info:
        from_interactions(t, item_col=3)
    assert str(info.value) == "argument 'item_col': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        from_interactions(t, "user_id")
    assert str(info.value) == "Sequences.from_interactions() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as info:
        from_interactions(t, user="x")
    assert str(info.value) == "Sequences.from_interactions() got an unexpected keyword argument 'user'"
    with pytest.raises(TypeError) as info:
        from_interactions()
    assert str(info.value) == "Sequences.from_interactions() missing 1 required positional argument: 'table'"
    with pytest.raises(ValueError) as info:
        from_interactions(t, user_col='a"b\n')
    assert str(info.value) == missing('a\\"b\\n')


def test_stream_is_read_before_column_names_are_converted():
    with pytest.raises(ValueError, match="missing required column"):
        from_interactions(table([1], [1], [1]), user_col="nope", item_col="x")
    with pytest.raises(TypeError, match="^argument 'user_col'"):
        from_interactions(table([1], [1], [1]), user_col=None, item_col=3)


def test_objects_without_the_dunder():
    for obj in [None, 3, [1, 2], {"user_id": [1]}]:
        with pytest.raises(ValueError) as info:
            from_interactions(obj)
        assert str(info.value) == "Expected an object with dunder __arrow_c_stream__"


def test_producer_with_only_the_dunder():
    t = table([1, 2], [3, 3], [0, 0])
    s = from_interactions(Producer(lambda: t.__arrow_c_stream__()))
    assert (len(s), s.num_items()) == (2, 1)


@pytest.mark.parametrize("result, type_name", [(None, "NoneType"), (3, "int"), ("capsule", "str")])
def test_dunder_returning_a_non_capsule(result, type_name):
    with pytest.raises(TypeError) as info:
        from_interactions(Producer(result))
    assert str(info.value) == f"argument 'table': '{type_name}' object is not an instance of 'PyCapsule'"


def test_capsule_of_another_name():
    t = table([1], [1], [1])
    schema_capsule = t.schema.__arrow_c_schema__()
    with pytest.raises(ValueError) as info:
        from_interactions(Producer(schema_capsule))
    assert "PyCapsule_GetPointer called with incorrect name" in str(info.value)


def test_dunder_exceptions_propagate():
    def boom():
        raise KeyError("producer")

    with pytest.raises(KeyError):
        from_interactions(Producer(boom))

    def type_error():
        raise TypeError("bad request")

    with pytest.raises(TypeError) as info:
        from_interactions(Producer(type_error))
    assert str(info.value) == "argument 'table': bad request"


def test_get_next_failure_is_a_table_type_error():
    t = table([1], [1], [1])

    def batches():
        yield t.to_batches()[0]
        raise RuntimeError("batch source broke")

    reader = pa.RecordBatchReader.from_batches(t.schema, batches())
    with pytest.raises(TypeError) as info:
        from_interactions(reader)
    message = str(info.value)
    assert message.startswith("argument 'table': ")
    assert "batch source broke" in message


def test_stream_is_consumed_and_released():
    t = table([1], [1], [1])
    capsule = t.__arrow_c_stream__()
    from_interactions(Producer(capsule))
    # The capsule's stream was moved out: reading it again finds it released.
    with pytest.raises(ValueError, match="already released"):
        from_interactions(Producer(capsule))
    del capsule

    class Tracked:
        pass

    marker = Tracked()
    ref = weakref.ref(marker)

    class Source:
        """An iterator that keeps `held` alive for as long as it lives."""

        def __init__(self, held):
            self.held = held
            self.done = False

        def __iter__(self):
            return self

        def __next__(self):
            if self.done:
                raise RuntimeError("source broke")
            self.done = True
            return t.to_batches()[0]

    capsule = pa.RecordBatchReader.from_batches(t.schema, Source(marker)).__arrow_c_stream__()
    del marker
    gc.collect()
    assert ref() is not None
    with pytest.raises(TypeError, match="source broke"):
        from_interactions(Producer(capsule))
    # Released by the call itself, while the capsule is still alive.
    gc.collect()
    assert ref() is None


def test_many_rows_match_a_reference_grouping():
    import random

    rng = random.Random(7)
    n = 20000
    users = [rng.randrange(300) for _ in range(n)]
    items = [rng.randrange(1000) - 500 for _ in range(n)]
    stamps = [rng.randrange(50) - 25 for _ in range(n)]
    s = from_interactions(table(users, items, stamps))
    assert len(s) == len(set(users))
    assert s.num_items() == len(set(items))
    # Models read the sequences; the Popularity model exposes counts per item.
    if hasattr(_vosket, "Popularity"):
        model = _vosket.Popularity.fit(s)
        assert model.num_items() == s.num_items()
