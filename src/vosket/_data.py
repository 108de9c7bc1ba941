"""Interaction tables from pandas, polars, pyarrow and anything else that speaks Arrow.

The native reader accepts exactly: a user column of Int64 or Utf8, an item column of
Int64, a timestamp column of Int64 or Timestamp. Real frames carry other types, so the
three columns are normalised here first, each in one vectorised pass, never silently
changing a value:

========================  ===================================================
column type               becomes
========================  ===================================================
LargeUtf8, Utf8View       Utf8 (a chunk over 2 GiB of text is refused)
Int8 .. Int32, UInt8..32  Int64
UInt64                    Int64 when every value is below 2**63, else refused
Dictionary / categorical  decoded, then normalised as its value type
Date32, Date64            Timestamp (second / millisecond), same instants
Float16 .. Float64        refused: ids and timestamps are never rounded
========================  ===================================================

Everything else reaches the native reader unchanged, which refuses unsupported types
with its own message. All errors are ``ValueError`` naming the column.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import _vosket

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["from_arrow", "from_pandas", "interaction_table", "native_sequences", "table_sequences"]

_INSTALL_HINT = "pip install 'vosket[arrow]'"

_TYPE_NAMES = {
    "int8": "Int8",
    "int16": "Int16",
    "int32": "Int32",
    "int64": "Int64",
    "uint8": "UInt8",
    "uint16": "UInt16",
    "uint32": "UInt32",
    "uint64": "UInt64",
    "halffloat": "Float16",
    "float": "Float32",
    "double": "Float64",
    "string": "Utf8",
    "large_string": "LargeUtf8",
    "string_view": "Utf8View",
    "bool": "Boolean",
    "null": "Null",
}


def require_pyarrow(what: str) -> Any:
    """Imports pyarrow, or raises ImportError saying how to install it."""
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
    except ModuleNotFoundError as e:  # pragma: no cover - exercised without pyarrow only
        raise ImportError(f"{what} needs pyarrow; install it with: {_INSTALL_HINT}") from e
    return pyarrow


def quote_column(name: str) -> str:
    """Quotes a column name the way the native reader's messages do."""
    out = ['"']
    for ch in name:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\0":
            out.append("\\0")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _type_name(t: pa.DataType) -> str:
    return _TYPE_NAMES.get(str(t), str(t))


def _to_table(obj: object, what: str) -> pa.Table:
    pa = require_pyarrow(what)
    if isinstance(obj, pa.Table):
        return obj
    if isinstance(obj, pa.RecordBatch):
        return pa.Table.from_batches([obj])
    if _is_pandas_frame(obj):
        return _pandas_table(obj, None)
    if hasattr(obj, "__arrow_c_stream__"):
        return pa.RecordBatchReader.from_stream(obj).read_all()
    raise TypeError(
        f"{what} expects an object with __arrow_c_stream__ (a pyarrow Table or "
        f"RecordBatchReader, a polars or pandas DataFrame, ...), not {type(obj).__name__!r}"
    )


def _is_pandas_frame(obj: object) -> bool:
    cls = type(obj)
    return cls.__name__ == "DataFrame" and cls.__module__.startswith("pandas")


def _pandas_table(df: Any, columns: list[str] | None) -> pa.Table:
    pa = require_pyarrow("vosket.from_pandas")
    if columns is not None:
        # Only the needed columns are converted; named index levels come along,
        # so a user column that was made the index still works.
        present = set(map(str, df.columns))
        columns = [c for c in dict.fromkeys(columns) if c in present]
    try:
        return pa.Table.from_pandas(df, columns=columns, preserve_index=None)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as e:
        raise ValueError(f"the DataFrame cannot be read as an Arrow table: {e}") from None


def _lossy(name: str, detail: str) -> ValueError:
    return ValueError(f"column {quote_column(name)} {detail}")


def _normalise(col: pa.ChunkedArray, name: str, role: str) -> pa.ChunkedArray:
    """Casts one column to a type the native reader accepts for `role`, without loss."""
    pa = require_pyarrow("vosket")
    types = pa.types
    t = col.type
    if types.is_dictionary(t):
        value_type = t.value_type
        if types.is_string_view(value_type):
            value_type = pa.large_string()  # `take` has no kernel for views
        decoded = pa.chunked_array(
            [pa.compute.take(chunk.dictionary.cast(value_type), chunk.indices)
             for chunk in col.chunks], type=value_type)
        return _normalise(decoded, name, role)
    if types.is_floating(t):
        what = "timestamps must be integers or Arrow timestamps" if role == "timestamp" else (
            f"{role} ids must be integers")
        raise _lossy(
            name,
            f"holds floating-point values ({_type_name(t)}); {what}, and vosket never rounds "
            f"or truncates: convert the column explicitly if every value is whole",
        )
    if types.is_integer(t):
        if t == pa.int64():
            return col
        if t == pa.uint64() and len(col) > 0:
            top = pa.compute.max(col).as_py()
            if top is not None and top >= 2**63:
                raise _lossy(
                    name,
                    f"holds the UInt64 value {top}, which does not fit a 64-bit signed "
                    f"integer; vosket never reinterprets ids",
                )
        return col.cast(pa.int64())
    if role == "user" and (types.is_large_string(t) or types.is_string_view(t)):
        try:
            return col.cast(pa.string())
        except (pa.ArrowInvalid, pa.ArrowCapacityError):
            raise _lossy(
                name,
                "has a chunk of more than 2 GiB of text; split the table into smaller "
                "record batches",
            ) from None
    if role == "timestamp" and types.is_date32(t):
        return col.cast(pa.timestamp("s"))
    if role == "timestamp" and types.is_date64(t):
        return col.cast(pa.timestamp("ms"))
    if role == "item" and (types.is_string(t) or types.is_large_string(t)
                           or types.is_string_view(t)):
        raise _lossy(
            name,
            f"holds text ({_type_name(t)}); item ids must be integers, because "
            f"recommendations are returned as those integers",
        )
    return col  # accepted as it is, or refused by the native reader with its own message


def interaction_table(
    obj: object,
    *,
    user_col: str = "user_id",
    item_col: str = "item_id",
    timestamp_col: str = "timestamp",
    what: str = "vosket.from_arrow",
) -> pa.Table:
    """Returns the three columns of `obj`, normalised, as a pyarrow Table.

    Columns that need no conversion are passed on as they are; a column with nulls
    and the columns after it are left for the native reader to report.
    """
    pa = require_pyarrow(what)
    for param, value in (("user_col", user_col), ("item_col", item_col),
                         ("timestamp_col", timestamp_col)):
        if not isinstance(value, str):
            raise TypeError(f"{param} must be a str, not {type(value).__name__!r}")
    if _is_pandas_frame(obj):
        table = _pandas_table(obj, [user_col, item_col, timestamp_col])
    else:
        table = _to_table(obj, what)
    names = table.schema.names
    columns: list[Any] = []
    out_names: list[str] = []
    for role, name in (("user", user_col), ("item", item_col), ("timestamp", timestamp_col)):
        if name not in names:
            raise ValueError(f"interaction table is missing required column {quote_column(name)}")
        col = table.column(names.index(name))  # the first field of that name, as the reader
        if col.null_count == 0:
            col = _normalise(col, name, role)
        columns.append(col)
        out_names.append(name)
        if col.null_count != 0:
            break  # the reader reports the nulls, in its order of checks
    for name in (user_col, item_col, timestamp_col)[len(columns):]:
        if name in names:
            columns.append(table.column(names.index(name)))
            out_names.append(name)
    return pa.Table.from_arrays(columns, names=out_names)


def native_sequences(table: pa.Table, user_col: str, item_col: str,
                     timestamp_col: str) -> _vosket.Sequences:
    """`Sequences.from_interactions` on a table from `interaction_table`.

    An empty table is handed over as one empty record batch, so that the column
    types are checked even when there are no rows.
    """
    pa = require_pyarrow("vosket")
    source: Any = table
    if table.num_rows == 0:
        empty = pa.RecordBatch.from_pylist([], schema=table.schema)
        source = pa.RecordBatchReader.from_batches(table.schema, [empty])
    return _vosket.Sequences.from_interactions(
        source, user_col=user_col, item_col=item_col, timestamp_col=timestamp_col)


def from_arrow(
    obj: object,
    *,
    user_col: str = "user_id",
    item_col: str = "item_id",
    timestamp_col: str = "timestamp",
) -> _vosket.Sequences:
    """Builds `Sequences` from any Arrow-compatible table.

    `obj` is anything with ``__arrow_c_stream__``: a pyarrow Table or
    RecordBatchReader, a polars DataFrame, a DuckDB relation, a pandas (>= 2.2)
    DataFrame; a pyarrow RecordBatch works too. The three columns are
    normalised without loss (see the module documentation), then rows are
    grouped per user, in order of first appearance, and ordered by timestamp
    within each user (equal timestamps keep their row order).

    Raises ``ValueError`` for a missing column, nulls, or a column that cannot be
    converted without loss; ``ImportError`` when pyarrow is not installed.
    """
    table = interaction_table(obj, user_col=user_col, item_col=item_col,
                              timestamp_col=timestamp_col, what="vosket.from_arrow")
    return native_sequences(table, user_col, item_col, timestamp_col)


def from_pandas(
    df: Any,
    *,
    user_col: str = "user_id",
    item_col: str = "item_id",
    timestamp_col: str = "timestamp",
) -> _vosket.Sequences:
    """Builds `Sequences` from a pandas DataFrame.

    Only the three named columns are converted (a named index level counts as a
    column). Categoricals are decoded, nullable and narrow integers widened,
    ``datetime64`` columns read as timestamps; floats, nulls (``NaN``, ``NA``,
    ``None``) and mixed-type object columns are refused with ``ValueError``.
    Needs pyarrow (``pip install 'vosket[arrow]'``).
    """
    if not _is_pandas_frame(df):
        raise TypeError(f"vosket.from_pandas expects a pandas DataFrame, not {type(df).__name__!r}")
    table = interaction_table(df, user_col=user_col, item_col=item_col,
                              timestamp_col=timestamp_col, what="vosket.from_pandas")
    return native_sequences(table, user_col, item_col, timestamp_col)


def table_sequences(table: pa.Table, user_col: str, item_col: str,
                    timestamp_col: str) -> list[list[int]]:
    """Groups a normalised interaction table into per-user lists of item ids.

    The grouping is the native reader's: users in order of first appearance, each
    user's rows by ascending timestamp, equal timestamps in row order.
    """
    pa = require_pyarrow("vosket")
    pc = pa.compute
    if table.num_rows == 0:
        return []
    users = table.column(user_col)
    rank = pc.index_in(users, value_set=pc.unique(users))
    keyed = pa.table({"rank": rank, "ts": table.column(timestamp_col)})
    order = pc.sort_indices(keyed, sort_keys=[("rank", "ascending"), ("ts", "ascending")])
    items = pc.take(table.column(item_col), order).to_pylist()
    counts = pc.value_counts(rank)
    sizes = dict(zip(counts.field("values").to_pylist(), counts.field("counts").to_pylist(),
                     strict=True))
    out: list[list[int]] = []
    start = 0
    for r in range(len(sizes)):
        end = start + sizes[r]
        out.append(items[start:end])
        start = end
    return out
