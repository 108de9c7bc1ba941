"""vosket: sequence-aware next-item recommendation with a C++ engine.

The models and metrics come from the native module ``_vosket``; this package adds
the data conveniences (`from_pandas`, `from_arrow`), `evaluate` with an
every-position protocol, an embedded sample (`sample_sessions`,
`sample_interactions`) and the ``vosket`` command line.
"""

from __future__ import annotations

from typing import Any

import _vosket
from _vosket import (
    EvaluationReport,
    Popularity,
    Random,
    Sequences,
    Similarity,
    SknnConfig,
    Sknn,
    SSknn,
    VSknn,
    __version__,
    arhr_at_k,
    average_precision,
    f1_at_k,
    hit_rate_at_k,
    ndcg_at_k,
    precision_at_k,
    recall_at_k,
    reciprocal_rank,
)

from ._data import from_arrow, from_pandas
from ._evaluate import Report, evaluate
from ._synthetic import sample_interactions, sample_sessions

__all__ = [
    "Sequences",
    "Popularity",
    "Random",
    "Sknn",
    "VSknn",
    "SSknn",
    "SknnConfig",
    "Similarity",
    "EvaluationReport",
    "precision_at_k",
    "recall_at_k",
    "hit_rate_at_k",
    "ndcg_at_k",
    "f1_at_k",
    "arhr_at_k",
    "reciprocal_rank",
    "average_precision",
    "__version__",
    "from_arrow",
    "from_pandas",
    "evaluate",
    "Report",
    "sample_sessions",
    "sample_interactions",
    "InternalError",
]

#: The exception a call of the native module raises when it hits a broken internal
#: invariant or an unimplemented path (such as a reserved similarity measure). It
#: derives directly from BaseException, so ``except Exception`` does not catch it;
#: catch it by name: ``except vosket.InternalError``. Resolved on first access.
InternalError: type[BaseException]

_internal_error: type[BaseException] | None = None


def _find_internal_error() -> type[BaseException]:
    # The native module does not publish this class; the one way to reach it is to
    # make a call fail the way only an internal failure does: a reserved similarity
    # measure used by a query that finds a candidate session.
    config = _vosket.SknnConfig(similarity=_vosket.Similarity.Jaccard)
    model = _vosket.Sknn.fit([[1, 2]], config)
    try:
        model.recommend([1], 1)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        if isinstance(e, (KeyboardInterrupt, SystemExit, GeneratorExit)):
            raise
        if type(e).__bases__ != (BaseException,):
            raise RuntimeError(
                f"cannot resolve vosket.InternalError: the native module raised "
                f"{type(e).__name__} instead of its internal-failure exception") from e
        return type(e)
    raise RuntimeError(
        "cannot resolve vosket.InternalError: the native module raised nothing for a "
        "reserved similarity measure")


def __getattr__(name: str) -> Any:
    global _internal_error
    if name == "InternalError":
        if _internal_error is None:
            _internal_error = _find_internal_error()
        return _internal_error
    raise AttributeError(f"module 'vosket' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"InternalError"})
