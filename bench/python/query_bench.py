"""Query latency, leave-one-out throughput and memory of Sknn, VSknn and SSknn
on a synthetic set (bench/python/synth.py), against a dict-based pure-Python
implementation of the same algorithm (bench/python/dict_sknn.py) and against
the floor of bench/cpp/floor_bench.cpp, all in one run.

* Latency: recommend(prefix, 20) with default settings for each held-out
  prefix; thread CPU time per call (time.thread_time_ns), models interleaved
  per query; per run the median and 99th percentile, reported as the median
  over runs.
* Dict baseline: the same prefixes (the first --dict-queries of them), one
  pass per model; also the share of queries whose top 20 equals vosket's.
* Floor: the training sessions and prefixes are written as dense ItemIds and
  floor_bench runs on them right after the Python timings.
* Evaluation: evaluate_leave_one_out(held-out sessions, k=10), queries/s.
* Memory: resident bytes a fitted model adds (per stored interaction) and the
  peak resident memory during fit above the level before it.

Usage: PYTHONPATH=build/perf-rel:src python3 bench/python/query_bench.py
           [--sessions N] [--queries Q] [--runs R] [--dict-queries D]
           [--floor-bench PATH] [--quick] [--json PATH]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import dict_sknn  # noqa: E402
import synth  # noqa: E402
from memory import status_kib  # noqa: E402

CACHE = Path(os.environ.get("VOSKET_BENCH_CACHE", "/tmp/vosket_bench_cache"))
MODELS = ("Sknn", "VSknn", "SSknn")
VARIANT = {"Sknn": "sknn", "VSknn": "vsknn", "SSknn": "ssknn"}




def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def load_data(num_sessions: int, num_items: int) -> synth.SessionData:
    path = CACHE / f"sessions_{num_sessions}_{num_items}.npz"
    if path.exists():
        z = np.load(path)
        return synth.SessionData(z["items"], z["offsets"], num_items)
    data = synth.sessions(num_sessions, num_items)
    CACHE.mkdir(parents=True, exist_ok=True)
    np.savez(path.with_suffix(".tmp.npz"), items=data.items, offsets=data.offsets)
    path.with_suffix(".tmp.npz").rename(path)
    return data


def percentile(values: list[float], p: float) -> float:
    v = sorted(values)
    rank = int(np.ceil(p * len(v)))
    return v[min(len(v) - 1, max(rank, 1) - 1)]


def write_floor_input(path: Path, train: synth.SessionData, prefixes: list[list[int]]) -> None:
    """Dense ItemIds in order of first appearance, as Sequences.from_interactions
    numbers them for these rows."""
    uniq, first, inverse = np.unique(train.items, return_index=True, return_inverse=True)
    dense_of_uniq = np.empty(len(uniq), dtype=np.uint32)
    dense_of_uniq[np.argsort(first, kind="stable")] = np.arange(len(uniq), dtype=np.uint32)
    items = dense_of_uniq[inverse]
    flat = np.fromiter((x for q in prefixes for x in q), dtype=np.int64)
    lengths = np.array([len(q) for q in prefixes], dtype=np.int64)
    pos = np.searchsorted(uniq, flat)
    pos_c = np.minimum(pos, len(uniq) - 1)
    known = uniq[pos_c] == flat
    q_items = dense_of_uniq[pos_c][known]
    owner = np.repeat(np.arange(len(prefixes)), lengths)[known]
    q_offsets = np.zeros(len(prefixes) + 1, dtype=np.uint64)
    np.cumsum(np.bincount(owner, minlength=len(prefixes)), out=q_offsets[1:])
    with open(path, "wb") as f:
        np.array([len(uniq), train.num_sessions, len(items)], dtype=np.uint64).tofile(f)
        train.offsets.astype(np.uint64).tofile(f)
        items.astype(np.uint32).tofile(f)
        np.array([len(prefixes)], dtype=np.uint64).tofile(f)
        q_offsets.tofile(f)
        q_items.astype(np.uint32).tofile(f)


def training_sequences(args):
    import pyarrow as pa

    import _vosket as vk

    data = load_data(args.sessions, args.items)
    train, prefixes, _ = synth.split(data, args.queries)
    lengths = np.diff(train.offsets)
    table = pa.table({
        "user_id": np.repeat(np.arange(train.num_sessions, dtype=np.int64), lengths),
        "item_id": train.items,
        "timestamp": np.arange(len(train.items), dtype=np.int64),
    })
    t0 = time.perf_counter()
    seqs = vk.Sequences.from_interactions(table)
    return data, train, prefixes, seqs, time.perf_counter() - t0


def fit_child(args) -> int:
    import _vosket as vk

    data, train, prefixes, seqs, _ = training_sequences(args)
    del data, train, prefixes
    gc.collect()
    cls = getattr(vk, args.fit_child)
    reset_peak()
    before = status_kib()
    t0 = time.perf_counter()
    model = cls.fit(seqs)
    sec = time.perf_counter() - t0
    after = status_kib()
    print(json.dumps({"seconds": sec, "retained_bytes": (after["VmRSS"] - before["VmRSS"]) * 1024,
                      "peak_extra_bytes": (after["VmHWM"] - before["VmRSS"]) * 1024,
                      "num_items": model.num_items()}))
    return 0


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--sessions", type=int, default=1_000_000)
    ap.add_argument("--items", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=10_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dict-queries", type=int, default=200)
    ap.add_argument("--eval-runs", type=int, default=5)
    ap.add_argument("--floor-bench", type=Path, default=None)
    ap.add_argument("--quick", action="store_true", help="100 000 sessions, 1000 queries, 3 runs")
    ap.add_argument("--json", type=Path)
    ap.add_argument("--fit-child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.fit_child:
        return fit_child(args)
    if args.quick:
        args.sessions, args.queries, args.runs, args.dict_queries, args.eval_runs = 100_000, 1000, 3, 50, 3

    import pyarrow as pa

    import _vosket as vk

    report: dict = {"args": {k: str(v) for k, v in vars(args).items()}}
    data, train, prefixes, seqs, ingest_seconds = training_sequences(args)
    held_out = [data.session(s).tolist() for s in range(train.num_sessions, data.num_sessions)]
    n_train = len(train.items)
    print(f"synthetic: {data.num_sessions:,} sessions, {len(data.items):,} interactions; training "
          f"{train.num_sessions:,} sessions, {n_train:,} interactions; {len(prefixes):,} held-out prefixes "
          f"(mean length {np.mean([len(p) for p in prefixes]):.1f})")
    print(f"Sequences.from_interactions: {ingest_seconds:.2f} s, {seqs.num_items():,} items")
    gc.collect()
    models = {name: getattr(vk, name).fit(seqs) for name in MODELS}

    # Fit memory, each model in a fresh process (fixed mmap threshold, so
    # that freed blocks go back to the system and deltas are the model's).
    report["fit"] = {}
    print("| model | fit s | retained bytes / interaction | fit peak extra MiB | fit peak / interaction |")
    print("|---|---:|---:|---:|---:|")
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    for name in MODELS:
        out = subprocess.run([sys.executable, __file__, "--fit-child", name, "--sessions", str(args.sessions),
                              "--items", str(args.items), "--queries", str(args.queries)],
                             check=True, capture_output=True, text=True, env=env)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        report["fit"][name] = r
        print(f"| {name} | {r['seconds']:.2f} | {r['retained_bytes'] / n_train:.2f} | "
              f"{r['peak_extra_bytes'] / 2**20:.0f} | {r['peak_extra_bytes'] / n_train:.2f} |")

    # Latency of vosket, interleaved per query.
    for q in prefixes[:100]:
        for name in MODELS:
            models[name].recommend(q, 20)
    runs: dict[str, list[tuple[float, float]]] = {name: [] for name in MODELS}
    clock = time.thread_time_ns
    for _ in range(args.runs):
        samples = {name: [] for name in MODELS}
        for q in prefixes:
            for name in MODELS:
                rec = models[name].recommend
                t0 = clock()
                rec(q, 20)
                samples[name].append((clock() - t0) * 1e-9)
        for name in MODELS:
            runs[name].append((statistics.median(samples[name]), percentile(samples[name], 0.99)))
    latency = {name: (statistics.median(m for m, _ in runs[name]), statistics.median(p for _, p in runs[name]))
               for name in MODELS}
    report["latency"] = {name: {"median": m, "p99": p, "runs": runs[name]} for name, (m, p) in latency.items()}

    # Dict-based baseline on the same store and the first prefixes.
    gc.collect()
    t0 = time.perf_counter()
    base = dict_sknn.DictSknn(synth.as_lists(train))
    dict_build = time.perf_counter() - t0
    subset = prefixes[: args.dict_queries]
    dict_lat = {}
    agree = {}
    for name in MODELS:
        ref = base.share(base, VARIANT[name])
        times = []
        same = 0
        for q in subset:
            t0 = clock()
            top = ref.recommend(q, 20)
            times.append((clock() - t0) * 1e-9)
            same += top == models[name].recommend(q, 20)
        dict_lat[name] = (statistics.median(times), percentile(times, 0.99))
        agree[name] = same / len(subset)
    # vosket on exactly the same subset, same run.
    sub_lat = {}
    for name in MODELS:
        times = []
        for _ in range(args.runs):
            for q in subset:
                t0 = clock()
                models[name].recommend(q, 20)
                times.append((clock() - t0) * 1e-9)
        sub_lat[name] = statistics.median(times)
    del base, ref
    gc.collect()
    report["dict"] = {"build_seconds": dict_build, "queries": len(subset),
                      "latency": dict_lat, "agreement": agree, "vosket_subset_median": sub_lat}

    # Floor, on the same store and prefixes.
    floor = None
    exe = args.floor_bench
    if exe is None:
        for cand in (HERE.parent.parent / "build" / "perf-rel" / "floor_bench",):
            if cand.exists():
                exe = cand
    if exe is not None and Path(exe).exists():
        path = CACHE / f"floor_{args.sessions}_{args.queries}.bin"
        write_floor_input(path, train, prefixes)
        out_json = CACHE / "floor_result.json"
        proc = subprocess.run([str(exe), str(path), "--runs", str(args.runs), "--json", str(out_json)],
                              check=True, capture_output=True, text=True)
        print(proc.stdout, end="")
        floor = json.loads(out_json.read_text())
        report["floor"] = floor
    else:
        print("floor_bench not found: build the Release tree with -DVOSKET_BUILD_BENCH=ON")

    print(f"\nrecommend(prefix, 20), {len(prefixes):,} prefixes, median of {args.runs} runs "
          f"(thread CPU time, microseconds); dict baseline on the first {len(subset)} prefixes, one pass "
          f"(its store built in {dict_build:.0f} s)")
    print("| model | median us | p99 us | dict median us | dict p99 us | vosket median on the same prefixes us "
          "| dict / vosket (median) | floor median us | vosket / floor (median) | vosket / floor (p99) "
          "| same top 20 as dict |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name in MODELS:
        m, p = latency[name]
        dm, dp = dict_lat[name]
        fkey = "vfloor" if name == "VSknn" else "floor"
        fm, fp = floor[fkey] if floor else (float("nan"), float("nan"))
        print(f"| {name} | {m * 1e6:.1f} | {p * 1e6:.1f} | {dm * 1e6:.0f} | {dp * 1e6:.0f} | "
              f"{sub_lat[name] * 1e6:.1f} | {dm / sub_lat[name]:.0f}x | {fm * 1e6:.1f} | {m / fm:.2f}x | "
              f"{p / fp:.2f}x | {agree[name]:.0%} |")

    # Leave-one-out throughput on the held-out sessions.
    print(f"\nevaluate_leave_one_out(held-out sessions, k=10): {len(held_out):,} queries, "
          f"median of {args.eval_runs} runs (thread CPU time)")
    print("| model | seconds | queries/s | hit_rate | mrr |")
    print("|---|---:|---:|---:|---:|")
    report["evaluation"] = {}
    for name in MODELS:
        times = []
        for _ in range(args.eval_runs):
            t0 = clock()
            rep = models[name].evaluate_leave_one_out(held_out, 10)
            times.append((clock() - t0) * 1e-9)
        sec = statistics.median(times)
        report["evaluation"][name] = {"seconds": sec, "qps": rep.num_queries / sec,
                                      "hit_rate": rep.hit_rate, "mrr": rep.mrr}
        print(f"| {name} | {sec:.2f} | {rep.num_queries / sec:,.0f} | {rep.hit_rate:.4f} | {rep.mrr:.4f} |")

    if args.json:
        args.json.write_text(json.dumps(report, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
