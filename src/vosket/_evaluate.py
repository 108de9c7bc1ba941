"""`vosket.evaluate`: leave-one-out ("last") and every-position ("all") evaluation."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Literal, Protocol

import _vosket

from ._data import _is_pandas_frame, interaction_table, native_sequences, table_sequences

__all__ = ["Report", "evaluate", "all_position_queries"]

Protocol_ = Literal["last", "all"]

#: Item ids handed to one native call under protocol "all"; bounds the memory of the
#: prefix lists (8 bytes per id in Python lists, plus the native copy).
CHUNK_IDS = 2_000_000


class _Evaluable(Protocol):
    def evaluate_leave_one_out(self, data: Any, k: int = ...) -> _vosket.EvaluationReport: ...


@dataclasses.dataclass(frozen=True)
class Report:
    """The metrics of one evaluation, as means over its predictions.

    The fields are those of `EvaluationReport` plus the protocol. ``mrr`` and
    ``map`` are computed over the full ranking, the others at ``k``.
    """

    protocol: str
    k: int
    num_queries: int
    hit_rate: float
    ndcg: float
    mrr: float
    f1: float
    map: float
    arhr: float

    @classmethod
    def from_native(cls, report: _vosket.EvaluationReport, protocol: str = "last") -> Report:
        """Copies an `EvaluationReport` (numbers unchanged)."""
        return cls(protocol, report.k, report.num_queries, report.hit_rate, report.ndcg,
                   report.mrr, report.f1, report.map, report.arhr)

    def as_dict(self) -> dict[str, Any]:
        """The fields as a plain dict, ready for ``json.dumps``."""
        return dataclasses.asdict(self)

    def __repr__(self) -> str:
        return (f"Report(protocol={self.protocol!r}, k={self.k}, num_queries={self.num_queries}, "
                f"hit_rate={self.hit_rate:.4f}, ndcg={self.ndcg:.4f}, mrr={self.mrr:.4f}, "
                f"f1={self.f1:.4f}, map={self.map:.4f}, arhr={self.arhr:.4f})")


_METRICS = ("hit_rate", "ndcg", "mrr", "f1", "map", "arhr")


def combine(reports: Sequence[_vosket.EvaluationReport], protocol: str) -> Report:
    """Merges reports of disjoint query sets into one per-query mean.

    Each report's means are weighted by its ``num_queries``, so the result is the
    mean over all queries, as if one call had scored them all (up to the last bits
    of floating-point rounding).
    """
    if len(reports) == 1:
        return Report.from_native(reports[0], protocol)
    total = sum(r.num_queries for r in reports)
    sums = {m: sum(getattr(r, m) * r.num_queries for r in reports) for m in _METRICS}
    return Report(protocol, reports[0].k, total, *(sums[m] / total for m in _METRICS))


def all_position_queries(sequences: Sequence[Sequence[int]],
                         chunk_ids: int = CHUNK_IDS) -> Iterator[list[list[int]]]:
    """Yields the every-position queries in chunks of about `chunk_ids` item ids.

    For a sequence ``[a, b, c, d]`` the queries are ``[a, b]``, ``[a, b, c]`` and
    ``[a, b, c, d]``: leave-one-out over each predicts ``b`` from ``[a]``, ``c``
    from ``[a, b]`` and ``d`` from ``[a, b, c]``. Sequences shorter than two give
    none. A sequence of length L gives L - 1 queries holding L(L + 1)/2 - 1 ids.
    """
    chunk: list[list[int]] = []
    size = 0
    for seq in sequences:
        if isinstance(seq, (str, bytes)):
            raise TypeError("a sequence of item ids cannot be a string")
        seq = list(seq)
        for end in range(2, len(seq) + 1):
            chunk.append(seq[:end])
            size += end
            if size >= chunk_ids:
                yield chunk
                chunk, size = [], 0
    if chunk:
        yield chunk


def _as_lists(data: object, user_col: str, item_col: str, timestamp_col: str) -> Any:
    """Lists of item ids from a table, or the data unchanged when it is not a table."""
    if isinstance(data, _vosket.Sequences) or isinstance(data, (list, tuple)):
        return data
    if hasattr(data, "__arrow_c_stream__") or _is_pandas_frame(data) or _is_arrow_object(data):
        table = interaction_table(data, user_col=user_col, item_col=item_col,
                                  timestamp_col=timestamp_col, what="vosket.evaluate")
        return table, table_sequences(table, user_col, item_col, timestamp_col)
    return data


def _is_arrow_object(data: object) -> bool:
    return type(data).__module__.startswith("pyarrow")


def evaluate(
    model: _Evaluable,
    data: Any,
    k: int = 10,
    *,
    protocol: Protocol_ = "last",
    user_col: str = "user_id",
    item_col: str = "item_id",
    timestamp_col: str = "timestamp",
    progress: Callable[[int, int], None] | None = None,
) -> Report:
    """Evaluates a fitted model on `data` and returns a `Report`.

    `data` is a list of interaction sequences (lists of item ids, oldest first),
    a `Sequences` (protocol "last" only), or an interaction table (anything with
    ``__arrow_c_stream__`` or a pandas DataFrame, read with the column names
    given, as `from_arrow` does).

    ``protocol="last"`` is leave-one-out: one query per sequence of at least two
    items, predicting its last item from the rest; the numbers are exactly those
    of ``model.evaluate_leave_one_out(data, k)``.

    ``protocol="all"`` predicts the next item after every prefix of every sequence:
    a sequence of length L gives L - 1 queries. Every metric is the mean over all
    those predictions (each prediction weighs the same, so long sequences weigh
    more than short ones). Cost: time grows with the number of predictions,
    sum(L - 1), times the cost of one ranking of the whole catalogue; the prefixes
    hold sum(L(L + 1)/2) item ids, built in Python lists and scored in chunks of
    about two million ids, so peak memory stays near 100 MB however long the
    sequences are. A `Sequences` cannot be read item by item from Python, so
    "all" needs the lists or the table.

    `progress`, if given, is called as ``progress(done, total)`` with the number
    of predictions scored so far (protocol "all").

    Raises ``ValueError`` when no sequence has at least two items.
    """
    if protocol not in ("last", "all"):
        raise ValueError(f"protocol must be 'last' or 'all', not {protocol!r}")
    converted = _as_lists(data, user_col, item_col, timestamp_col)
    if protocol == "last":
        if isinstance(converted, tuple):
            table = converted[0]
            data = native_sequences(table, user_col, item_col, timestamp_col)
        return Report.from_native(model.evaluate_leave_one_out(data, k), "last")
    if isinstance(converted, _vosket.Sequences):
        raise TypeError(
            "protocol 'all' needs the sequences as lists or as an interaction table: a "
            "Sequences cannot be read item by item from Python")
    sequences = converted[1] if isinstance(converted, tuple) else converted
    if isinstance(sequences, (str, bytes)) or not isinstance(sequences, Sequence):
        raise TypeError(f"data must be a list of sequences, a Sequences or an interaction "
                        f"table, not {type(sequences).__name__!r}")
    total = sum(max(len(s) - 1, 0) for s in sequences)
    reports = []
    done = 0
    for chunk in all_position_queries(sequences, CHUNK_IDS):
        reports.append(model.evaluate_leave_one_out(chunk, k))
        done += len(chunk)
        if progress is not None:
            progress(done, total)
    if not reports:
        raise ValueError("no sequences with at least two interactions to evaluate")
    return combine(reports, "all")
