"""The stubs of _vosket match the runtime module, and the package type-checks."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

pytest.importorskip("mypy", reason="mypy is not installed")
if importlib.util.find_spec("_vosket") is None:
    pytest.skip("the native module _vosket is not importable", allow_module_level=True)

MYPY_CONFIG = """\
[mypy]
strict = True
warn_unused_ignores = True
[mypy-pyarrow.*,matplotlib.*,tqdm.*,rich.*]
ignore_missing_imports = True
"""


def run(args, tmp_path, config_flag="--config-file"):
    import vosket

    env = dict(os.environ)
    # mypy must see the very modules this test process imports: the package's own
    # folder, and in a checkout the stub in python/ (installed, it sits in site-packages).
    package_root = pathlib.Path(vosket.__file__).parents[1]
    installed = {pathlib.Path(p) for p in (sysconfig.get_paths()["purelib"],
                                           sysconfig.get_paths()["platlib"])}
    paths = [] if package_root in installed else [str(package_root)]  # mypy refuses those
    stubs = REPO / "python"
    if (stubs / "_vosket.pyi").exists():
        paths.insert(0, str(stubs))
    env["MYPYPATH"] = os.pathsep.join(paths)
    # The runtime side of stubtest imports _vosket: the same one, whatever the cwd.
    import _vosket

    runtime = {pathlib.Path(_vosket.__file__).parent, package_root} - installed
    env["PYTHONPATH"] = os.pathsep.join([*map(str, runtime), env.get("PYTHONPATH", "")])
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    return subprocess.run([sys.executable, "-m", *args, config_flag, str(config)],
                          capture_output=True, text=True, env=env, cwd=tmp_path)


def test_stubs_match_the_runtime_module(tmp_path):
    out = run(["mypy.stubtest", "_vosket"], tmp_path, "--mypy-config-file")
    assert out.returncode == 0, out.stdout + out.stderr


def test_package_type_checks_against_the_stubs(tmp_path):
    import vosket

    package = pathlib.Path(vosket.__file__).parent
    assert (package / "py.typed").exists()
    out = run(["mypy", "-p", "vosket"], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stub_types_reach_users(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "import vosket\n"
        "model = vosket.Sknn.fit([[1, 2]], vosket.SknnConfig(k_neighbors=5))\n"
        "ids: list[int] = model.recommend([1], 3)\n"
        "bad: str = model.num_items()\n"
        "try:\n"
        "    pass\n"
        "except vosket.InternalError:\n"
        "    pass\n")
    out = run(["mypy", str(user)], tmp_path)
    # Exactly the one planted error: the types come from the stubs, not from Any.
    assert out.returncode == 1
    assert 'Incompatible types in assignment (expression has type "int", variable has type "str")' \
        in out.stdout
    assert "Found 1 error" in out.stdout
