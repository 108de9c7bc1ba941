"""The ``vosket`` command line: ``vosket evaluate`` and ``vosket recommend``.

``vosket`` (or ``python -m vosket``) without a sub-command runs ``vosket evaluate``.
User errors (a missing file or column, a column that cannot be read without loss,
a bad option) end with one line on stderr and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn, TextIO

import _vosket

from ._data import (interaction_table, native_sequences, quote_column, require_pyarrow,
                    table_sequences)
from ._evaluate import Report, evaluate
from ._synthetic import sample_sessions

PROG = "vosket"

MODEL_NAMES = {
    "popularity": "Popularity",
    "random": "Random",
    "sknn": "Sknn",
    "vsknn": "VSknn",
    "ssknn": "SSknn",
}
KNN_MODELS = ("Sknn", "VSknn", "SSknn")
DEFAULT_PLOT_KS = (1, 2, 3, 5, 10, 15, 20)


class CliError(Exception):
    """A user error: reported as one line on stderr, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# --------------------------------------------------------------------------- options


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def _seed(text: str) -> int:
    value = _count(text)
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"a seed must be below 2**64, got {text!r}")
    return value


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a number between 0 and 1, got {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(
            f"expected a number strictly between 0 and 1, got {text!r}")
    return value


def _models(text: str) -> list[str]:
    names = [part.strip().lower() for part in text.split(",") if part.strip()]
    if not names:
        raise argparse.ArgumentTypeError("expected at least one model name")
    unknown = [n for n in names if n not in MODEL_NAMES]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown model {unknown[0]!r}; choose from {', '.join(MODEL_NAMES)}")
    return [MODEL_NAMES[n] for n in dict.fromkeys(names)]


def _model(text: str) -> str:
    models = _models(text)
    if len(models) != 1:
        raise argparse.ArgumentTypeError("expected one model name")
    return models[0]


def _ks(text: str) -> list[int]:
    try:
        ks = sorted({int(p) for p in text.split(",") if p.strip()})
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected comma-separated positive integers, got {text!r}") from None
    if not ks or ks[0] < 1:
        raise argparse.ArgumentTypeError(
            f"expected comma-separated positive integers, got {text!r}")
    return ks


def _add_data_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("data")
    g.add_argument("--format", choices=("csv", "tsv", "parquet"),
                   help="file format (default: from the file name: .csv, .tsv, .parquet, .pq; "
                        "compressed .csv.gz and the like work too)")
    g.add_argument("--user-col", default="user_id", metavar="NAME",
                   help="user or session column (default: %(default)s)")
    g.add_argument("--item-col", default="item_id", metavar="NAME",
                   help="item column, integer ids (default: %(default)s)")
    g.add_argument("--timestamp-col", default="timestamp", metavar="NAME",
                   help="timestamp column, integers or timestamps (default: %(default)s)")


def _add_knn_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("model settings")
    g.add_argument("--k-neighbors", type=_count, default=100, metavar="N",
                   help="neighbour sessions kept per query (default: %(default)s)")
    g.add_argument("--sample-size", type=_count, default=1000, metavar="N",
                   help="candidate sessions sampled per query, 0 for all (default: %(default)s)")
    g.add_argument("--seed", type=_seed, default=0,
                   help="seed of the kNN candidate sampling and of the Random baseline "
                        "(default: %(default)s)")
    g.add_argument("--no-backoff", action="store_true",
                   help="kNN models: do not fall back to popularity when no neighbour is found")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Sequence-aware next-item recommendation. Without a command, runs "
                    "'vosket evaluate' on the embedded sample.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_vosket.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    ev = sub.add_parser(
        "evaluate", help="fit models and print their ranking metrics",
        description="Fit each model on the training sessions and evaluate it on the test "
                    "sessions: a table of hit rate, NDCG, MRR, F1, MAP and ARHR at k, the "
                    "number of queries, and fit and evaluation times. Without DATA, runs on "
                    "an embedded synthetic sample.")
    ev.add_argument("data", nargs="?", metavar="DATA",
                    help="CSV or Parquet file of interactions (default: the embedded sample)")
    _add_data_options(ev)
    g = ev.add_argument_group("evaluation")
    g.add_argument("--models", type=_models, default=list(MODEL_NAMES.values()), metavar="LIST",
                   help="comma-separated models among popularity, random, sknn, vsknn, ssknn "
                        "(default: all five)")
    g.add_argument("-k", "--k", type=_count, default=10, help="cut-off of the @k metrics "
                   "(default: %(default)s)")
    split = g.add_mutually_exclusive_group()
    split.add_argument("--test-fraction", type=_fraction, default=0.2, metavar="F",
                       help="share of sessions held out for testing: those whose last "
                            "interaction is latest (default: %(default)s)")
    split.add_argument("--on-train", action="store_true",
                       help="fit on all sessions and evaluate on the same sessions")
    g.add_argument("--protocol", choices=("last", "all"), default="last",
                   help="'last': predict the last item of each test session (leave-one-out); "
                        "'all': predict every next item after every prefix (default: last)")
    _add_knn_options(ev)
    out = ev.add_argument_group("output")
    out.add_argument("--json", action="store_true",
                     help="print the results as JSON instead of a table")
    out.add_argument("--plot", metavar="FILE.png",
                     help="save hit rate and NDCG against k for each model (needs matplotlib)")
    out.add_argument("--plot-k", type=_ks, default=list(DEFAULT_PLOT_KS), metavar="LIST",
                     help="values of k for --plot (default: 1,2,3,5,10,15,20)")
    out.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
    ev.set_defaults(func=run_evaluate)

    rec = sub.add_parser(
        "recommend", help="fit one model on a file and print the top k for queries",
        description="Fit one model on DATA and print, for each query, its top-k item ids "
                    "separated by spaces, one line per query. A query is a list of item ids, "
                    "oldest first, separated by commas or spaces.")
    rec.add_argument("data", metavar="DATA", help="CSV or Parquet file of interactions")
    rec.add_argument("queries", nargs="*", metavar="QUERY",
                     help="item ids of one query, such as 12,7,33")
    rec.add_argument("--queries-file", metavar="FILE",
                     help="read queries from FILE, one per line ('-' for stdin); blank lines "
                          "and lines starting with '#' are skipped")
    _add_data_options(rec)
    rec.add_argument("--model", type=_model, default="Sknn",
                     help="popularity, random, sknn, vsknn or ssknn (default: sknn)")
    rec.add_argument("-k", "--k", type=_count, default=10,
                     help="number of items per query (default: %(default)s)")
    _add_knn_options(rec)
    rec.add_argument("--json", action="store_true",
                     help="print a JSON list of {query, items} objects")
    rec.set_defaults(func=run_recommend)
    return parser


# --------------------------------------------------------------------------- progress


class Progress:
    """Step progress on stderr: rich or tqdm on a terminal when installed, else plain lines."""

    def __init__(self, total: int, enabled: bool, stream: TextIO | None = None) -> None:
        self.total = total
        self.done = 0
        self.stream = stream if stream is not None else sys.stderr
        self._rich: Any = None
        self._tqdm: Any = None
        self._task: Any = None
        self.enabled = enabled
        if not enabled:
            return
        tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        if tty:
            try:
                from rich.console import Console
                from rich.progress import BarColumn, Progress as RichProgress, TextColumn
                from rich.progress import TimeElapsedColumn
            except ImportError:
                pass
            else:
                self._rich = RichProgress(TextColumn("{task.description}"), BarColumn(),
                                          TextColumn("{task.completed}/{task.total}"),
                                          TimeElapsedColumn(),
                                          console=Console(file=self.stream), transient=True)
                self._rich.start()
                self._task = self._rich.add_task("vosket", total=total)
                return
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self._tqdm = tqdm(total=total, file=self.stream, leave=False)

    def step(self, description: str) -> None:
        """Announces the next step."""
        if not self.enabled:
            return
        if self._rich is not None:
            self._rich.update(self._task, description=description)
        elif self._tqdm is not None:
            self._tqdm.set_description_str(description)
        else:
            print(f"{PROG}: [{self.done + 1}/{self.total}] {description}", file=self.stream,
                  flush=True)

    def detail(self, description: str) -> None:
        """Updates the current step's description on a terminal display; plain lines skip it."""
        if self._rich is not None:
            self._rich.update(self._task, description=description)
        elif self._tqdm is not None:
            self._tqdm.set_description_str(description)

    def advance(self) -> None:
        self.done += 1
        if self._rich is not None:
            self._rich.update(self._task, advance=1)
        elif self._tqdm is not None:
            self._tqdm.update(1)

    def close(self) -> None:
        if self._rich is not None:
            self._rich.stop()
            self._rich = None
        if self._tqdm is not None:
            self._tqdm.close()
            self._tqdm = None


# --------------------------------------------------------------------------- data


@dataclass
class Dataset:
    """Training and test data ready for the models, with what the output reports of it."""

    source: str
    interactions: int
    sessions: int
    items: int
    train: Any
    test: Any
    test_lists: list[list[int]] | None
    split: dict[str, Any] = field(default_factory=dict)


def _test_count(n: int, fraction: float) -> int:
    if n < 2:
        raise CliError(f"a split by time needs at least two sessions, the data has {n}; "
                       f"use --on-train to evaluate on the training data")
    return min(n - 1, max(1, math.ceil(fraction * n)))


def sample_dataset(args: argparse.Namespace) -> Dataset:
    sessions = sample_sessions()
    lists = [s.items for s in sessions]
    interactions = sum(len(s) for s in lists)
    items = len({i for s in lists for i in s})
    if args.on_train:
        return Dataset("embedded sample", interactions, len(lists), items, lists, lists, lists,
                       {"mode": "train"})
    n_test = _test_count(len(sessions), args.test_fraction)
    # Stable: sessions whose last timestamps tie stay in order of first appearance.
    by_end = sorted(range(len(sessions)), key=lambda i: sessions[i].timestamps[-1])
    held_out = set(by_end[len(sessions) - n_test:])
    train = [s for i, s in enumerate(lists) if i not in held_out]
    test = [s for i, s in enumerate(lists) if i in held_out]
    return Dataset("embedded sample", interactions, len(lists), items, train, test, test,
                   _split_info(args.test_fraction, len(train), len(test)))


def _split_info(fraction: float, train: int, test: int) -> dict[str, Any]:
    return {"mode": "time", "test_fraction": fraction, "train_sessions": train,
            "test_sessions": test}


def _format_of(path: str, given: str | None) -> str:
    if given:
        return given
    name = path.lower()
    for suffix in (".gz", ".bz2", ".zst", ".lz4", ".br"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    if name.endswith(".csv"):
        return "csv"
    if name.endswith(".tsv"):
        return "tsv"
    if name.endswith((".parquet", ".pq", ".parq")):
        return "parquet"
    raise CliError(f"{path}: cannot tell the file format from its name; pass --format csv, "
                   f"tsv or parquet")


def read_interactions(path: str, args: argparse.Namespace) -> Any:
    """Reads the three columns of a CSV or Parquet file into a normalised pyarrow Table."""
    try:
        pa = require_pyarrow("reading a data file")
    except ImportError as e:
        raise CliError(str(e)) from None
    fmt = _format_of(path, args.format)
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a data file")
    wanted = [args.user_col, args.item_col, args.timestamp_col]
    try:
        if fmt == "parquet":
            import pyarrow.parquet as pq
            names = pq.read_schema(path).names
            _check_columns(path, names, wanted)
            table = pq.read_table(path, columns=list(dict.fromkeys(wanted)))
        else:
            import pyarrow.csv as pacsv
            parse = pacsv.ParseOptions(delimiter="\t" if fmt == "tsv" else ",")
            with pacsv.open_csv(path, parse_options=parse) as reader:
                names = reader.schema.names
            _check_columns(path, names, wanted)
            # Users are only grouping keys: read as text they never merge ("01" vs "1").
            # Items are read as int64 outright: inference would turn an id beyond the
            # int64 range into a float.
            types = {args.item_col: pa.int64(), args.user_col: pa.string()}
            convert = pacsv.ConvertOptions(include_columns=list(dict.fromkeys(wanted)),
                                           column_types=types)
            try:
                table = pacsv.read_csv(path, parse_options=parse, convert_options=convert)
            except pa.ArrowInvalid as e:
                if "conversion error to int64" not in str(e):
                    raise
                raise CliError(f"{path}: column {quote_column(args.item_col)} must hold "
                               f"64-bit signed integer ids: {_one_line(e)}") from None
        return interaction_table(table, user_col=args.user_col, item_col=args.item_col,
                                 timestamp_col=args.timestamp_col)
    except CliError:
        raise
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    except (ValueError, TypeError, pa.ArrowException) as e:
        raise CliError(f"{path}: {_one_line(e)}") from None


def _check_columns(path: str, names: list[str], wanted: list[str]) -> None:
    for name in wanted:
        if name not in names:
            shown = ", ".join(names) if len(names) <= 12 else ", ".join(names[:12]) + ", ..."
            raise CliError(f"{path}: interaction table is missing required column "
                           f"{quote_column(name)} (columns: {shown})")


def _one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


def _sequences(table: Any, args: argparse.Namespace) -> _vosket.Sequences:
    return native_sequences(table, args.user_col, args.item_col, args.timestamp_col)


def file_dataset(path: str, args: argparse.Namespace) -> Dataset:
    table = read_interactions(path, args)  # says what to install when pyarrow is missing
    pa = require_pyarrow("reading a data file")
    pc = pa.compute
    try:
        everything = _sequences(table, args)
    except ValueError as e:
        raise CliError(f"{path}: {_one_line(e)}") from None
    rows = table.num_rows
    sessions = len(everything)
    items = everything.num_items()
    if args.on_train:
        lists = _lists(table, args) if args.protocol == "all" else None
        return Dataset(path, rows, sessions, items, everything, everything, lists,
                       {"mode": "train"})
    n_test = _test_count(sessions, args.test_fraction)
    keyed = pa.table({"u": table.column(args.user_col), "t": table.column(args.timestamp_col)})
    ends = keyed.group_by("u", use_threads=False).aggregate([("t", "max")])
    # sort_indices is stable: equal last timestamps keep the order of first appearance.
    order = pc.sort_indices(ends.column("t_max"))
    test_users = pc.take(ends.column("u"), order.slice(sessions - n_test))
    in_test = pc.is_in(table.column(args.user_col), value_set=test_users)
    train_table = table.filter(pc.invert(in_test))
    test_table = table.filter(in_test)
    test_lists = _lists(test_table, args) if args.protocol == "all" else None
    return Dataset(path, rows, sessions, items, _sequences(train_table, args),
                   _sequences(test_table, args), test_lists,
                   _split_info(args.test_fraction, sessions - n_test, n_test))


def _lists(table: Any, args: argparse.Namespace) -> list[list[int]]:
    return table_sequences(table, args.user_col, args.item_col, args.timestamp_col)


# --------------------------------------------------------------------------- models


def knn_config(args: argparse.Namespace) -> _vosket.SknnConfig:
    return _vosket.SknnConfig(k_neighbors=args.k_neighbors, sample_size=args.sample_size,
                              seed=args.seed, popularity_backoff=not args.no_backoff)


def fit_model(name: str, train: Any, args: argparse.Namespace) -> Any:
    if name == "Popularity":
        return _vosket.Popularity.fit(train)
    if name == "Random":
        return _vosket.Random.fit(train, seed=args.seed)
    cls = getattr(_vosket, name)
    return cls.fit(train, knn_config(args))


# --------------------------------------------------------------------------- evaluate


@dataclass
class ModelResult:
    model: str
    report: Report
    fit_seconds: float
    eval_seconds: float
    curve: list[dict[str, float]] = field(default_factory=list)


def _score(model: Any, data: Dataset, k: int, protocol: str,
           report_progress: Callable[[int, int], None] | None = None) -> Report:
    if protocol == "last":
        return Report.from_native(model.evaluate_leave_one_out(data.test, k))
    return evaluate(model, data.test_lists, k, protocol="all", progress=report_progress)


def run_evaluate(args: argparse.Namespace) -> int:
    if args.plot:
        _check_plot_target(args.plot)
    data = file_dataset(args.data, args) if args.data else sample_dataset(args)
    plot_ks = args.plot_k if args.plot else []
    progress = Progress(len(args.models) * (2 + len(plot_ks)), enabled=not args.quiet)
    results: list[ModelResult] = []
    try:
        for name in args.models:
            progress.step(f"{name}: fitting")
            start = time.perf_counter()
            model = fit_model(name, data.train, args)
            fit_seconds = time.perf_counter() - start
            progress.advance()
            label = f"{name}: evaluating at k={args.k}"
            progress.step(label)

            def show(done: int, total: int, label: str = label) -> None:
                progress.detail(f"{label} ({done}/{total} predictions)")

            start = time.perf_counter()
            try:
                report = _score(model, data, args.k, args.protocol, show)
            except ValueError as e:
                raise CliError(_one_line(e)) from None
            eval_seconds = time.perf_counter() - start
            progress.advance()
            result = ModelResult(name, report, fit_seconds, eval_seconds)
            for k in plot_ks:
                progress.step(f"{name}: evaluating at k={k} for the plot")
                r = report if k == args.k else _score(model, data, k, args.protocol)
                result.curve.append({"k": k, "hit_rate": r.hit_rate, "ndcg": r.ndcg})
                progress.advance()
            results.append(result)
    finally:
        progress.close()
    if args.plot:
        save_plot(args.plot, results, args.protocol)
    if args.json:
        print(json.dumps(_json_document(data, results, args), indent=2))
    else:
        print(render_table(data, results, args))
        if args.plot:
            print(f"\nplot saved to {args.plot}")
    return 0


def _json_document(data: Dataset, results: list[ModelResult],
                   args: argparse.Namespace) -> dict[str, Any]:
    rows = []
    for r in results:
        row: dict[str, Any] = {"model": r.model}
        row.update(r.report.as_dict())
        del row["protocol"]
        row["fit_seconds"] = r.fit_seconds
        row["eval_seconds"] = r.eval_seconds
        if r.curve:
            row["curve"] = r.curve
        rows.append(row)
    return {
        "data": {"source": data.source, "interactions": data.interactions,
                 "sessions": data.sessions, "items": data.items},
        "split": data.split,
        "protocol": args.protocol,
        "k": args.k,
        "knn": {"k_neighbors": args.k_neighbors, "sample_size": args.sample_size,
                "seed": args.seed, "popularity_backoff": not args.no_backoff},
        "results": rows,
    }


def render_table(data: Dataset, results: list[ModelResult], args: argparse.Namespace) -> str:
    k = args.k
    lines = [f"data: {data.source}: {data.interactions} interactions, {data.sessions} "
             f"sessions, {data.items} items"]
    if data.split["mode"] == "time":
        lines.append(f"split by time: {data.split['train_sessions']} training sessions, "
                     f"{data.split['test_sessions']} test sessions (the latest "
                     f"{args.test_fraction:g} by last interaction)")
    else:
        lines.append("evaluated on the training sessions (--on-train)")
    what = ("the last item of each test session" if args.protocol == "last"
            else "every next item of each test session")
    lines.append(f"protocol {args.protocol}: predicting {what}; MRR and MAP over the full ranking")
    lines.append("")
    header = ["model", f"HR@{k}", f"NDCG@{k}", "MRR", f"F1@{k}", "MAP", f"ARHR@{k}",
              "queries", "fit s", "eval s"]
    body = []
    for r in results:
        rep = r.report
        body.append([r.model] + [f"{v:.4f}" for v in (rep.hit_rate, rep.ndcg, rep.mrr, rep.f1,
                                                      rep.map, rep.arhr)]
                    + [str(rep.num_queries), f"{r.fit_seconds:.3f}", f"{r.eval_seconds:.3f}"])
    widths = [max(len(row[i]) for row in [header] + body) for i in range(len(header))]
    for row in [header] + body:
        cells = [row[0].ljust(widths[0])]
        cells += [c.rjust(w) for c, w in zip(row[1:], widths[1:], strict=True)]
        lines.append("  ".join(cells))
    return "\n".join(lines)


def _check_plot_target(path: str) -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CliError("--plot needs matplotlib; install it with: pip install 'vosket[plot]'") \
            from None
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"--plot {path}: no such directory {directory}")


def save_plot(path: str, results: list[ModelResult], protocol: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(10, 4), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(1, 2)
    for ax, metric, label in ((axes[0], "hit_rate", "hit rate@k"), (axes[1], "ndcg", "NDCG@k")):
        for r in results:
            ks = [point["k"] for point in r.curve]
            ax.plot(ks, [point[metric] for point in r.curve], marker="o", label=r.model)
        if results and results[0].curve:
            ax.set_xticks([point["k"] for point in results[0].curve])
        ax.set_xlabel("k")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
    axes[0].legend()
    fig.suptitle(f"vosket evaluate (protocol {protocol})")
    try:
        fig.savefig(path)
    except (OSError, ValueError) as e:
        raise CliError(f"--plot {path}: {_one_line(e)}") from None


# --------------------------------------------------------------------------- recommend


def parse_query(text: str, where: str) -> list[int]:
    ids = []
    for token in text.replace(",", " ").split():
        try:
            value = int(token)
        except ValueError:
            raise CliError(f"{where}: {token!r} is not an integer item id") from None
        if not -(2**63) <= value < 2**63:
            raise CliError(f"{where}: item id {token} does not fit a 64-bit signed integer")
        ids.append(value)
    return ids


def read_queries(args: argparse.Namespace) -> list[list[int]]:
    queries = [parse_query(q, f"query {i + 1}") for i, q in enumerate(args.queries)]
    if args.queries_file:
        name = args.queries_file
        try:
            if name == "-":
                lines = sys.stdin.read().splitlines()
            else:
                with open(name, encoding="utf-8") as f:
                    lines = f.read().splitlines()
        except OSError as e:
            raise CliError(f"{name}: {e.strerror or e}") from None
        except UnicodeDecodeError:
            raise CliError(f"{name}: not UTF-8 text") from None
        for number, line in enumerate(lines, 1):
            if line.strip() and not line.lstrip().startswith("#"):
                queries.append(parse_query(line, f"{name}, line {number}"))
    if not queries:
        raise CliError("no query given: pass item ids such as 12,7,33 or --queries-file FILE")
    return queries


def run_recommend(args: argparse.Namespace) -> int:
    queries = read_queries(args)
    table = read_interactions(args.data, args)
    try:
        model = fit_model(args.model, _sequences(table, args), args)
    except ValueError as e:
        raise CliError(f"{args.data}: {_one_line(e)}") from None
    answers = [model.recommend(q, args.k) for q in queries]
    if args.json:
        pairs = zip(queries, answers, strict=True)
        print(json.dumps([{"query": q, "items": a} for q, a in pairs]))
    else:
        for a in answers:
            print(" ".join(map(str, a)))
    return 0


# --------------------------------------------------------------------------- entry


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("evaluate", "recommend", "-h", "--help", "--version"):
        argv.insert(0, "evaluate")
    args = build_parser().parse_args(argv)
    func: Callable[[argparse.Namespace], int] = args.func
    try:
        return func(args)
    except CliError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
