"""Type stubs for the native module ``_vosket``."""

from collections.abc import Iterable, Sequence as _Sequence
from typing import Any, ClassVar, Protocol, Self, SupportsIndex, final


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
]

__version__: str

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = ..., /) -> object: ...

# Item ids are 64-bit signed integers: an int or any object with __index__.
_ItemIds = _Sequence[SupportsIndex]
_Data = Sequences | _Sequence[_Sequence[SupportsIndex]]

@final
class Sequences:
    """Interaction sequences ready to be consumed by a model."""

    @staticmethod
    def from_interactions(
        table: _ArrowStreamExportable,
        *,
        user_col: str = "user_id",
        item_col: str = "item_id",
        timestamp_col: str = "timestamp",
    ) -> Sequences: ...
    def num_items(self) -> int: ...
    def __len__(self) -> int: ...

@final
class Popularity:
    @staticmethod
    def fit(sequences: _Data) -> Popularity: ...
    def num_items(self) -> int: ...
    def recommend(self, sequence: _ItemIds, k: SupportsIndex) -> list[int]: ...
    def score_all_items(self, sequence: _ItemIds) -> list[tuple[int, float]]: ...
    def evaluate_leave_one_out(self, data: _Data, k: SupportsIndex = 10) -> EvaluationReport: ...

@final
class Random:
    def __new__(cls, num_items: SupportsIndex, seed: SupportsIndex = 0) -> Self: ...
    @staticmethod
    def fit(data: _Data, seed: SupportsIndex = 0) -> Random: ...
    def num_items(self) -> int: ...
    def recommend(self, sequence: _ItemIds, k: SupportsIndex) -> list[int]: ...
    def score_all_items(self, sequence: _ItemIds) -> list[tuple[int, float]]: ...
    def evaluate_leave_one_out(self, data: _Data, k: SupportsIndex = 10) -> EvaluationReport: ...

@final
class Sknn:
    @staticmethod
    def fit(data: _Data, config: SknnConfig | None = None) -> Sknn: ...
    def num_items(self) -> int: ...
    def recommend(self, sequence: _ItemIds, k: SupportsIndex) -> list[int]: ...
    def score_all_items(self, sequence: _ItemIds) -> list[tuple[int, float]]: ...
    def evaluate_leave_one_out(self, data: _Data, k: SupportsIndex = 10) -> EvaluationReport: ...

@final
class VSknn:
    @staticmethod
    def fit(data: _Data, config: SknnConfig | None = None) -> VSknn: ...
    def num_items(self) -> int: ...
    def recommend(self, sequence: _ItemIds, k: SupportsIndex) -> list[int]: ...
    def score_all_items(self, sequence: _ItemIds) -> list[tuple[int, float]]: ...
    def evaluate_leave_one_out(self, data: _Data, k: SupportsIndex = 10) -> EvaluationReport: ...

@final
class SSknn:
    @staticmethod
    def fit(data: _Data, config: SknnConfig | None = None) -> SSknn: ...
    def num_items(self) -> int: ...
    def recommend(self, sequence: _ItemIds, k: SupportsIndex) -> list[int]: ...
    def score_all_items(self, sequence: _ItemIds) -> list[tuple[int, float]]: ...
    def evaluate_leave_one_out(self, data: _Data, k: SupportsIndex = 10) -> EvaluationReport: ...

@final
class SknnConfig:
    """Hyper-parameters shared by the SKNN family."""

    def __new__(
        cls,
        k_neighbors: SupportsIndex = 100,
        sample_size: SupportsIndex = 1000,
        seed: SupportsIndex = 0,
        similarity: Similarity | None = None,
        popularity_backoff: bool = True,
    ) -> Self: ...
    @property
    def k_neighbors(self) -> int: ...
    @property
    def sample_size(self) -> int:
        """The neighbour sub-sampling cap, or ``0`` when sampling is disabled."""
    @property
    def seed(self) -> int: ...
    @property
    def similarity(self) -> Similarity: ...
    @property
    def popularity_backoff(self) -> bool: ...

@final
class Similarity:
    """Neighbour similarity measure for the SKNN family."""

    Cosine: ClassVar[Similarity]
    Jaccard: ClassVar[Similarity]
    Dice: ClassVar[Similarity]
    Dot: ClassVar[Similarity]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __int__(self) -> int: ...

@final
class EvaluationReport:
    """Aggregate metrics from an evaluation run."""

    @property
    def k(self) -> int:
        """The cutoff applied to the `@k` metrics."""
    @property
    def num_queries(self) -> int:
        """The number of queries that were scored."""
    @property
    def hit_rate(self) -> float:
        """Hit Rate@k."""
    @property
    def ndcg(self) -> float:
        """Normalized Discounted Cumulative Gain@k."""
    @property
    def mrr(self) -> float:
        """Mean Reciprocal Rank, over the full ranking."""
    @property
    def f1(self) -> float:
        """F1@k."""
    @property
    def map(self) -> float:
        """Mean Average Precision, over the full ranking."""
    @property
    def arhr(self) -> float:
        """Average Reciprocal Hit Rank@k."""

def precision_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def recall_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def hit_rate_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def ndcg_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def f1_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def arhr_at_k(recommended: _ItemIds, relevant: Iterable[SupportsIndex], k: SupportsIndex) -> float: ...
def reciprocal_rank(recommended: _ItemIds, relevant: Iterable[SupportsIndex]) -> float: ...
def average_precision(recommended: _ItemIds, relevant: Iterable[SupportsIndex]) -> float: ...
