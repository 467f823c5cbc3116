"""The examples run and print what they promise, the README's quickstart prints the output the
README shows, and the type stub matches the module and type-checks the examples."""

import ast
import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
STUB = REPO / "src" / "tarnwick.pyi"
RAY_PACKAGE = REPO / "python" / "tarnwick_ray"


def run_python(args, cwd, env=None):
    environment = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, *args], cwd=cwd, env=environment,
                          capture_output=True, text=True)


def has_module(name):
    return importlib.util.find_spec(name) is not None


def has_distribution(name):
    try:
        importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


# Each example with small sizes, and patterns that must each match a whole output line.
EXAMPLE_CASES = {
    "quickstart.py": (["600"], {}, [
        re.escape("cosine (higher is better):      "
                  "[(1, 0.9805806875228882), (3, 0.8320503830909729), (2, 0.1961161494255066)]"),
        re.escape("euclidean (lower is better):    "
                  "[(1, 0.20000000298023224), (3, 0.800000011920929), (2, 1.2806248664855957)]"),
        re.escape("tenant acme only:               "
                  "[(1, 0.9805806875228882), (3, 0.8320503830909729)]"),
        re.escape("unknown tenant:                 []"),
        re.escape("batch of two queries:           [[(2, 0.0)], [(4, 0.5)]]"),
        re.escape("with payloads:                  [(1, 0.9805806875228882, {'tenant_id': 'acme', "
                  "'title': 'east'}), (3, 0.8320503830909729, {'rank': 3, 'tenant_id': 'acme'})]"),
        re.escape("point 3:                        ([1.0, 1.0], {'rank': 3, 'tenant_id': 'acme'})"),
        re.escape("points stored:                  (4, True, False)"),
        "stored 600 points of dimension 64",
        "batch of 100 queries, answers of 5: True",
        "batch answers equal single searches: True",
        "tenant answers hold only that tenant: True",
        "a wider search for one call, answers of 5: True",
        "same answers after reload: True",
    ]),
    "multi_tenant.py": (["800"], {}, [
        r"acme: \d+ points, 10 results, all its own: True",
        r"globex: \d+ points, 10 results, all its own: True",
        r"initech with a limit above its size: (\d+) of \1 points",
        re.escape("tenant '7' (stored as a number): []"),
        re.escape("tenant 'ACME' (other case): []"),
        "batch for globex, all globex: True",
    ]),
    "persistence.py": (["600"], {}, [
        "saved 600 points",
        "identical answers in the second process: True",
        re.escape("load failed: Failed to open snapshot file: No such file or directory (os error 2)"),
        re.escape("load failed: Postcard binary deserialization pipeline failure (possible "
                  "corruption): Hit the end of buffer, expected more data"),
        "store unchanged after the failed loads: True",
    ]),
    "threads.py": (["60"], {}, [
        "4 writers stored 240 points while 3 readers searched",
        "malformed answers: 0",
        re.escape("points found per writer: [60, 60, 60, 60]"),
    ]),
    "numpy_bulk.py": ([], {"TARNWICK_EXAMPLE_ROWS": "600"}, [
        "stored 600 rows of dimension 128",
        r"batch_search of 200 float64 queries: own row first in \d+",
    ]),
    "sharded_ray.py": (["400"], {}, [
        r"stored 400 points on 3 shards: \[\d+, \d+, \d+\]",
        "best match of point 0 is itself: True",
        "tenant acme only: True",
        "batch answers equal single searches: True",
        "same answers as one VectorStorage: True",
        "after losing an actor: ShardUnavailableError for shard 1",
        "after load: 400 points, same answers as at the save: True",
    ]),
}


def test_every_example_is_a_documented_script_with_a_case():
    scripts = sorted(path.name for path in EXAMPLES.glob("*.py"))
    assert scripts == sorted(EXAMPLE_CASES)
    for name in scripts:
        tree = ast.parse((EXAMPLES / name).read_text())
        functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
        assert ast.get_docstring(tree), name
        assert "main" in functions, name


@pytest.mark.parametrize("name", sorted(EXAMPLE_CASES))
def test_example_runs_and_prints_its_key_lines(name, tmp_path):
    if name == "numpy_bulk.py" and not (has_module("numpy") and has_module("tqdm")):
        pytest.skip("numpy_bulk.py needs numpy and tqdm")
    if name == "sharded_ray.py" and not has_module("ray"):
        pytest.skip("sharded_ray.py needs ray (pip install 'tarnwick[ray]')")
    args, env, patterns = EXAMPLE_CASES[name]
    result = run_python([str(EXAMPLES / name), *args], tmp_path, env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for pattern in patterns:
        assert any(re.fullmatch(pattern, line) for line in lines), (pattern, result.stdout)
    assert list(tmp_path.iterdir()) == []  # examples clean up after themselves


def readme_quickstart():
    """The quickstart's code block and the Output block that follows it, from README.md."""
    readme = (REPO / "README.md").read_text()
    section = readme.split("\n## Quickstart\n", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"^```python\n(.*?)^```$", section, re.S | re.M)
    output = re.search(r"^Output:\n\n```text\n(.*?)^```$", section, re.S | re.M)
    assert code and output, "README.md's Quickstart needs a python block and an Output block"
    return code.group(1), output.group(1)


def test_readme_quickstart_prints_the_output_it_shows(tmp_path):
    code, output = readme_quickstart()
    script = tmp_path / "quickstart.py"
    script.write_text(code)
    result = run_python([str(script)], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == output


def run_mypy(args, cwd, mypypath=None):
    env = {"MYPYPATH": str(mypypath)} if mypypath else {}
    return run_python(["-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *args], cwd, env)


needs_mypy = pytest.mark.skipif(not has_module("mypy"), reason="mypy is not installed")


@needs_mypy
def test_stub_examples_and_tarnwick_ray_pass_mypy_strict(tmp_path):
    missing = [name for name, found in (("numpy", has_module("numpy")),
                                        ("types-tqdm", has_distribution("types-tqdm")),
                                        ("ray", has_module("ray")))
               if not found]
    if missing:
        pytest.skip(f"type-checking numpy_bulk.py and tarnwick_ray needs {' and '.join(missing)}")
    result = run_mypy(["--strict", str(STUB), str(EXAMPLES), str(RAY_PACKAGE)], tmp_path,
                      mypypath=f"{STUB.parent}:{RAY_PACKAGE.parent}")
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stub_matches_the_module_at_run_time(tmp_path):
    # stubtest compares names, parameter names, kinds and defaults with the imported module.
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    result = run_python(["-m", "mypy.stubtest", "--allowlist", str(allowlist), "tarnwick"], tmp_path,
                        {"MYPYPATH": str(STUB.parent)})
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_installed_stub_is_the_source_stub_and_visible_to_mypy(tmp_path):
    shipped = [file for file in importlib.metadata.files("tarnwick") or []
               if file.name.endswith(".pyi")]
    if not shipped:
        pytest.skip("the installed tarnwick ships no type stub")
    for file in shipped:
        assert Path(file.locate()).read_text() == STUB.read_text(), file
    probe = tmp_path / "probe.py"
    probe.write_text("from tarnwick import VectorStorage\n"
                     "reveal_type(VectorStorage().search([1.0], 1, 'cosine'))\n")
    # A top-level tarnwick.pyi in site-packages is invisible to mypy (PEP 561 covers packages
    # only); a stub-only package tarnwick-stubs/__init__.pyi is found.
    result = run_mypy(["--strict", str(probe)], tmp_path)
    revealed = r'Revealed type is "list\[tuple\[(builtins\.)?int, (builtins\.)?float\]\]"'
    hint = "mypy sees stubs of a single-module distribution only as tarnwick-stubs/__init__.pyi"
    assert re.search(revealed, result.stdout), f"{hint}\n{result.stdout}"
    assert result.returncode == 0, result.stdout
