"""The vosket command line, driven as a user would: subprocesses on real files.

Every number the CLI prints is checked against direct calls of _vosket on a split
computed here independently.
"""

import importlib.util
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

import _vosket
import vosket

MODELS = ["Popularity", "Random", "Sknn", "VSknn", "SSknn"]
METRICS = ["hit_rate", "ndcg", "mrr", "f1", "map", "arhr"]


def env():
    e = dict(os.environ)
    # Absolute paths, so that the child imports these very modules from any cwd.
    paths = [str(pathlib.Path(_vosket.__file__).parent),
             str(pathlib.Path(vosket.__file__).parents[1])]
    e["PYTHONPATH"] = os.pathsep.join(paths + [e.get("PYTHONPATH", "")])
    return e


def cli(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "vosket", *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=env(), cwd=cwd, timeout=300)


def ok_json(*args, **kw):
    out = cli(*args, "--json", **kw)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


# ----------------------------------------------------------------- the oracle


def split_by_time(users, times, fraction):
    """Test users: the latest `fraction` of users by their last timestamp, ties by first seen."""
    last = {}
    for u, t in zip(users, times, strict=True):
        last[u] = max(last.get(u, t), t)
    order = sorted(last, key=lambda u: last[u])  # dicts keep first appearance; sort is stable
    n_test = min(len(order) - 1, max(1, math.ceil(fraction * len(order))))
    return set(order[len(order) - n_test:])


def native_sequences(users, items, times):
    pa = pytest.importorskip("pyarrow")
    return _vosket.Sequences.from_interactions(
        pa.table({"user_id": users, "item_id": pa.array(items, pa.int64()),
                  "timestamp": pa.array(times, pa.int64())}))


def rows_of(users, items, times, keep):
    picked = [(u, i, t) for u, i, t in zip(users, items, times, strict=True) if keep(u)]
    return [r[0] for r in picked], [r[1] for r in picked], [r[2] for r in picked]


def fit(name, train, k_neighbors=100, sample_size=1000, seed=0, backoff=True):
    if name == "Popularity":
        return _vosket.Popularity.fit(train)
    if name == "Random":
        return _vosket.Random.fit(train, seed=seed)
    cfg = _vosket.SknnConfig(k_neighbors=k_neighbors, sample_size=sample_size, seed=seed,
                             popularity_backoff=backoff)
    return getattr(_vosket, name).fit(train, cfg)


def expected_reports(users, items, times, fraction=0.2, k=10, models=MODELS, **knn):
    test_users = split_by_time(users, times, fraction)
    train = native_sequences(*rows_of(users, items, times, lambda u: u not in test_users))
    test = native_sequences(*rows_of(users, items, times, lambda u: u in test_users))
    return {m: fit(m, train, **knn).evaluate_leave_one_out(test, k) for m in models}


def assert_same(results, expected):
    assert [r["model"] for r in results] == list(expected)
    for r in results:
        e = expected[r["model"]]
        assert (r["k"], r["num_queries"]) == (e.k, e.num_queries)
        got, want = [r[m] for m in METRICS], [getattr(e, m) for m in METRICS]
        assert got == want, r["model"]


def sample_columns():
    cols = vosket.sample_interactions()
    return cols["user_id"], cols["item_id"], cols["timestamp"]


# ----------------------------------------------------------------- evaluate


def test_default_run_prints_the_table_for_all_five_models():
    out = cli()
    assert out.returncode == 0, out.stderr
    expected = expected_reports(*sample_columns())
    lines = out.stdout.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("model "))
    assert lines[header].split() == ["model", "HR@10", "NDCG@10", "MRR", "F1@10", "MAP",
                                     "ARHR@10", "queries", "fit", "s", "eval", "s"]
    rows = [line.split() for line in lines[header + 1:]]
    assert [r[0] for r in rows] == MODELS
    for row in rows:
        e = expected[row[0]]
        if row[0] != "VSknn":  # see assert_same
            assert row[1:7] == [f"{getattr(e, m):.4f}" for m in METRICS], row[0]
        assert row[7] == str(e.num_queries) == "600"
    # The session-kNN models beat both baselines on the sample.
    assert min(expected[m].ndcg for m in MODELS[2:]) > max(expected[m].ndcg
                                                           for m in MODELS[:2])


def test_json_equals_one_leave_one_out_call_and_progress_stays_off_stdout():
    out = cli("evaluate", "--json")
    assert out.returncode == 0, out.stderr
    doc = json.loads(out.stdout)  # nothing but JSON on stdout
    assert "[1/10] Popularity: fitting" in out.stderr
    assert doc["split"] == {"mode": "time", "test_fraction": 0.2, "train_sessions": 2400,
                            "test_sessions": 600}
    assert doc["data"] == {"source": "embedded sample", "interactions": 16815,
                           "sessions": 3000, "items": 400}
    assert_same(doc["results"], expected_reports(*sample_columns()))
    for r in doc["results"]:
        assert r["fit_seconds"] >= 0 and r["eval_seconds"] >= 0
    assert cli("--json", "-q").stderr == ""


def write_interactions(path, fmt, users, items, times, names=("user_id", "item_id", "timestamp")):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({names[0]: users, names[1]: items, names[2]: times, "other": 1.5})
    if fmt == "csv":
        frame.to_csv(path, index=False)
    elif fmt == "pandas-parquet":
        frame.to_parquet(path, index=False)
    else:
        pl = pytest.importorskip("polars")
        pl.from_pandas(frame).write_parquet(path)


def small_log(string_users):
    s = vosket.sample_sessions(400, 60, seed=5)
    rows = sorted((t, x.session_id, i)
                  for x in s for i, t in zip(x.items, x.timestamps, strict=True))
    users = [f"s{r[1]:04d}" if string_users else r[1] for r in rows]
    return users, [r[2] for r in rows], [r[0] for r in rows]


@pytest.mark.parametrize("fmt,name,string_users", [
    ("csv", "log.csv", True),
    ("pandas-parquet", "log.parquet", False),
    ("polars-parquet", "log.pq", True),
])
def test_files_are_evaluated_like_direct_calls(tmp_path, fmt, name, string_users):
    users, items, times = small_log(string_users)
    path = tmp_path / name
    write_interactions(path, fmt, users, items, times, names=("session", "item", "ts"))
    doc = ok_json("evaluate", path, "--user-col", "session", "--item-col", "item",
                  "--timestamp-col", "ts", "--test-fraction", "0.25", "-k", "5", "-q")
    assert doc["data"]["interactions"] == len(users)
    assert_same(doc["results"], expected_reports(users, items, times, 0.25, 5))


def test_csv_users_are_read_as_text_so_leading_zeros_stay_distinct(tmp_path):
    path = tmp_path / "z.csv"
    path.write_text("user_id,item_id,timestamp\n01,1,1\n1,2,2\n01,3,3\n1,4,4\n")
    doc = ok_json("evaluate", path, "--on-train", "-q", "--models", "popularity")
    assert doc["data"]["sessions"] == 2


def test_on_train_and_knn_settings_reach_the_models(tmp_path):
    users, items, times = small_log(True)
    path = tmp_path / "log.csv"
    write_interactions(path, "csv", users, items, times)
    doc = ok_json("evaluate", path, "--on-train", "--models", "random,sknn,ssknn,vsknn",
                  "-k", "3", "--k-neighbors", "5", "--sample-size", "0", "--seed", "3",
                  "--no-backoff", "-q")
    everything = native_sequences(users, items, times)
    expected = {m: fit(m, everything, 5, 0, 3, False).evaluate_leave_one_out(everything, 3)
                for m in ["Random", "Sknn", "SSknn", "VSknn"]}
    assert doc["split"] == {"mode": "train"}
    assert_same(doc["results"], expected)
    # The settings matter: the defaults give other numbers.
    default = ok_json("evaluate", path, "--on-train", "--models", "sknn", "-k", "3", "-q")
    assert default["results"][0]["ndcg"] != doc["results"][1]["ndcg"]


def test_protocol_all_on_a_file(tmp_path):
    users, items, times = small_log(False)
    path = tmp_path / "log.parquet"
    write_interactions(path, "pandas-parquet", users, items, times)
    doc = ok_json("evaluate", path, "--protocol", "all", "--models", "popularity,ssknn", "-q")
    test_users = split_by_time(users, times, 0.2)
    train = native_sequences(*rows_of(users, items, times, lambda u: u not in test_users))
    per_user = {}
    for u, i, _ in sorted(zip(users, items, times, strict=True), key=lambda r: r[2]):
        if u in test_users:
            per_user.setdefault(u, []).append(i)
    test_lists = list(per_user.values())
    assert doc["results"][0]["num_queries"] == sum(len(s) - 1 for s in test_lists)
    for r, name in zip(doc["results"], ["Popularity", "SSknn"], strict=True):
        e = vosket.evaluate(fit(name, train), test_lists, 10, protocol="all")
        assert r["num_queries"] == e.num_queries
        assert [r[m] for m in METRICS] == pytest.approx([getattr(e, m) for m in METRICS],
                                                        rel=1e-12)


def test_plot(tmp_path):
    target = tmp_path / "curves.png"
    if importlib.util.find_spec("matplotlib") is None:
        out = cli("evaluate", "--plot", target)
        assert out.returncode == 1 and not target.exists()
        assert out.stderr == "vosket: error: --plot needs matplotlib; install it with: " \
                             "pip install 'vosket[plot]'\n"
        return
    doc = ok_json("evaluate", "--plot", target, "--plot-k", "1,5,10", "--models",
                  "popularity,ssknn", "-q")
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    cols = sample_columns()
    expected = {m: {k: expected_reports(*cols, k=k, models=[m])[m] for k in (1, 5, 10)}
                for m in ("Popularity", "SSknn")}
    for r in doc["results"]:
        assert [p["k"] for p in r["curve"]] == [1, 5, 10]
        for p in r["curve"]:
            e = expected[r["model"]][p["k"]]
            assert (p["hit_rate"], p["ndcg"]) == (e.hit_rate, e.ndcg)


# ----------------------------------------------------------------- recommend


def test_recommend_prints_the_top_k_of_each_query(tmp_path):
    users, items, times = small_log(True)
    path = tmp_path / "log.csv"
    write_interactions(path, "csv", users, items, times)
    queries = [[items[0], items[5]], [items[3]], [999_999_999]]
    qfile = tmp_path / "queries.txt"
    qfile.write_text(f"# one query per line\n{items[3]}\n\n{items[0]} {items[5]}\n")
    everything = native_sequences(users, items, times)
    for name in ("sknn", "ssknn", "popularity"):
        model = fit({"sknn": "Sknn", "ssknn": "SSknn", "popularity": "Popularity"}[name],
                    everything)
        out = cli("recommend", path, f"{items[0]},{items[5]}", str(items[3]), "999999999",
                  "--model", name, "-k", "4")
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [" ".join(map(str, model.recommend(q, 4)))
                                           for q in queries]
    model = fit("Sknn", everything)
    doc = ok_json("recommend", path, "--queries-file", qfile, "-k", "3")
    assert doc == [{"query": q, "items": model.recommend(q, 3)}
                   for q in ([items[3]], [items[0], items[5]])]
    piped = cli("recommend", path, "--queries-file", "-", "-k", "2", stdin=f"{items[3]}\n")
    assert piped.stdout == " ".join(map(str, model.recommend([items[3]], 2))) + "\n"


# ----------------------------------------------------------------- errors


@pytest.fixture
def files(tmp_path):
    (tmp_path / "good.csv").write_text("user_id,item_id,timestamp\n1,10,1\n1,11,2\n2,10,3\n")
    (tmp_path / "floats.csv").write_text("user_id,item_id,timestamp\n1,1.5,1\n1,2.5,2\n")
    (tmp_path / "huge.csv").write_text(
        f"user_id,item_id,timestamp\n1,{2**64 - 1},1\n1,3,2\n")
    (tmp_path / "ts.csv").write_text("user_id,item_id,timestamp\n1,1,1.25\n1,2,2.5\n")
    (tmp_path / "good.txt").write_text("user_id,item_id,timestamp\n")
    (tmp_path / "broken.parquet").write_bytes(b"not parquet at all")
    (tmp_path / "one.csv").write_text("user_id,item_id,timestamp\n1,10,1\n1,11,2\n")
    return tmp_path


@pytest.mark.parametrize("args,message", [
    (["evaluate", "absent.csv"], "vosket: error: absent.csv: no such file"),
    (["evaluate", "good.csv", "--user-col", "who"],
     'vosket: error: good.csv: interaction table is missing required column "who" '
     "(columns: user_id, item_id, timestamp)"),
    (["evaluate", "floats.csv"], 'vosket: error: floats.csv: column "item_id" must hold '
     "64-bit signed integer ids: In CSV column #1: CSV conversion error to int64: "
     "invalid value '1.5'"),
    (["evaluate", "huge.csv"], 'vosket: error: huge.csv: column "item_id" must hold 64-bit '
     "signed integer ids: In CSV column #1: CSV conversion error to int64: invalid "
     "value '18446744073709551615'"),
    (["evaluate", "ts.csv"], 'vosket: error: ts.csv: column "timestamp" holds floating-point '
     "values (Float64)"),
    (["evaluate", "good.txt"], "vosket: error: good.txt: cannot tell the file format"),
    (["evaluate", "broken.parquet"], "vosket: error: broken.parquet: "),
    (["evaluate", "one.csv"], "vosket: error: a split by time needs at least two sessions"),
    (["evaluate", "-k", "-1"], "vosket evaluate: error: argument -k/--k: expected a "
     "non-negative integer, got '-1'"),
    (["evaluate", "--models", "knn"], "vosket evaluate: error: argument --models: unknown "
     "model 'knn'"),
    (["evaluate", "--test-fraction", "1.5"], "vosket evaluate: error: argument "
     "--test-fraction: expected a number strictly between 0 and 1"),
    (["evaluate", "--on-train", "--test-fraction", "0.3"], "vosket evaluate: error: argument "
     "--test-fraction: not allowed with argument --on-train"),
    (["evaluate", "--seed", str(2**64)], "vosket evaluate: error: argument --seed: a seed "
     "must be below 2**64"),
    (["evaluate", "--bogus"], "vosket: error: unrecognized arguments: --bogus"),
    (["recommend", "good.csv"], "vosket: error: no query given"),
    (["recommend", "good.csv", "10,x"], "vosket: error: query 1: 'x' is not an integer item id"),
    (["recommend", "good.csv", "--queries-file", "absent.txt"],
     "vosket: error: absent.txt: No such file or directory"),
    (["recommend", "good.csv", str(2**63)], "vosket: error: query 1: item id 9223372036854775808"
     " does not fit a 64-bit signed integer"),
])
def test_user_errors_give_one_line_and_a_non_zero_exit(files, args, message):
    out = cli(*args, cwd=files)
    assert out.returncode != 0
    assert out.stdout == ""
    assert "Traceback" not in out.stderr
    assert len(out.stderr.splitlines()) == 1, out.stderr
    assert out.stderr.startswith(message), out.stderr


def test_without_pyarrow_the_sample_still_runs_and_files_say_what_to_install(files):
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "from vosket.__main__ import main\n"
            "sys.exit(main(sys.argv[1:]))\n")

    def run(*args):
        return subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                              text=True, env=env(), cwd=files, timeout=300)

    out = run("--json", "-q")
    assert out.returncode == 0, out.stderr
    assert_same(json.loads(out.stdout)["results"], expected_reports(*sample_columns()))
    out = run("evaluate", "good.csv")
    assert out.returncode == 1
    assert out.stderr == ("vosket: error: reading a data file needs pyarrow; install it with: "
                          "pip install 'vosket[arrow]'\n")
