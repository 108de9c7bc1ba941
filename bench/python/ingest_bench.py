"""Ingestion: Sequences.from_interactions against pandas and polars doing the
same grouping (stable sort by user and time, group per user, list of items).

Each measurement runs in a fresh subprocess that loads the table, resets the
peak-RSS counter (/proc/self/clear_refs), times the one call and reports the
peak resident memory above the level before the call (VmHWM - VmRSS), so
memory held by C++, numpy or Arrow allocators is all seen. Runs are
interleaved (run 1 of every tool, then run 2, ...) and the median of the
runs is reported, with ratios against vosket.

Usage: PYTHONPATH=build/perf-rel:src python3 bench/python/ingest_bench.py
           [--rows N] [--runs R] [--quick] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from memory import status_kib  # noqa: E402

CACHE = Path(os.environ.get("VOSKET_BENCH_CACHE", "/tmp/vosket_bench_cache"))
TOOLS = ("vosket", "pandas", "polars")
USER_KINDS = ("int64", "string")


def table_path(rows: int, user_kind: str) -> Path:
    return CACHE / f"ingest_{rows}_{user_kind}.arrow"


def make_table(rows: int, user_kind: str) -> Path:
    """Rows in random order (users interleaved, timestamps unsorted): about
    20 rows per user, Zipf-like item popularity over 100 000 items, timestamps
    with many ties per user."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    sys.path.insert(0, str(HERE))
    import synth

    path = table_path(rows, user_kind)
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(42)
    num_users = max(1, rows // 20)
    users = rng.integers(0, num_users, size=rows, dtype=np.int64) * 13 + 5
    cdf = np.cumsum(synth.popularity(100_000))
    cdf[-1] = 1.0
    items = np.searchsorted(cdf, rng.random(rows), side="right").astype(np.int64) * 7 + 1000
    timestamps = rng.integers(1_600_000_000, 1_600_000_000 + 86_400 * 30, size=rows, dtype=np.int64)
    user_col = pa.array(users)
    if user_kind == "string":
        user_col = pc.binary_join_element_wise("user-", user_col.cast(pa.string()), "")
    table = pa.table({"user_id": user_col, "item_id": pa.array(items), "timestamp": pa.array(timestamps)})
    tmp = path.with_suffix(".tmp")
    with pa.OSFile(str(tmp), "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table, max_chunksize=1 << 20)
    tmp.rename(path)
    return path




def measure(tool: str, path: Path) -> dict:
    """Runs in the child: load, convert to the tool's own frame, time the grouping."""
    import pyarrow as pa

    # Read into ordinary memory (not a memory map), keeping the file's
    # batches of 2^20 rows as chunks.
    with pa.OSFile(str(path), "rb") as source:
        table = pa.ipc.open_file(source).read_all()
    arrow_bytes = table.nbytes
    if tool == "vosket":
        import _vosket

        def run():
            return _vosket.Sequences.from_interactions(table)

        frame = table
    elif tool == "pandas":
        frame = table.to_pandas()

        def run():
            ordered = frame.sort_values(["user_id", "timestamp"], kind="stable")
            return ordered.groupby("user_id", sort=False)["item_id"].agg(list)

    else:
        import polars as pl

        frame = pl.from_arrow(table)

        def run():
            return (
                frame.sort(["user_id", "timestamp"], maintain_order=True)
                .group_by("user_id", maintain_order=True)
                .agg(pl.col("item_id"))
            )

    if tool != "vosket":
        del table
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib()
    t0 = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - t0
    after = status_kib()
    groups = len(result)
    return {
        "seconds": seconds,
        "extra_bytes": (after["VmHWM"] - before["VmRSS"]) * 1024,
        "arrow_bytes": arrow_bytes,
        "groups": groups,
    }


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="1 million rows, 3 runs")
    ap.add_argument("--json", type=Path)
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(measure(args.child[0], Path(args.child[1]))))
        return 0
    if args.quick:
        args.rows, args.runs = 1_000_000, 3

    paths = {kind: make_table(args.rows, kind) for kind in USER_KINDS}
    samples: dict[tuple[str, str], list[dict]] = {(k, t): [] for k in USER_KINDS for t in TOOLS}
    for run in range(args.runs):
        for kind in USER_KINDS:
            for tool in TOOLS:
                out = subprocess.run(
                    [sys.executable, __file__, "--child", tool, str(paths[kind])],
                    check=True, capture_output=True, text=True, env=os.environ,
                )
                samples[(kind, tool)].append(json.loads(out.stdout.strip().splitlines()[-1]))
        print(f"run {run + 1}/{args.runs} done", file=sys.stderr)

    report = {"rows": args.rows, "runs": args.runs, "results": []}
    print(f"Ingestion of {args.rows:,} rows, median of {args.runs} runs (fresh process each)")
    print("| users | tool | seconds | rows/s | vs vosket | extra MiB | extra / Arrow input | groups |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for kind in USER_KINDS:
        base = statistics.median(s["seconds"] for s in samples[(kind, "vosket")])
        for tool in TOOLS:
            ss = samples[(kind, tool)]
            sec = statistics.median(s["seconds"] for s in ss)
            extra = statistics.median(s["extra_bytes"] for s in ss)
            arrow = ss[0]["arrow_bytes"]
            row = {"users": kind, "tool": tool, "seconds": sec, "ratio": sec / base,
                   "extra_bytes": extra, "arrow_bytes": arrow, "groups": ss[0]["groups"],
                   "all_seconds": [s["seconds"] for s in ss]}
            report["results"].append(row)
            print(f"| {kind} | {tool} | {sec:.3f} | {args.rows / sec / 1e6:.2f} M | {sec / base:.2f}x | "
                  f"{extra / 2**20:.0f} | {extra / arrow:.2f} | {ss[0]['groups']:,} |")
    if args.json:
        args.json.write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
