"""Every code block of the README runs against the shipped data, and its shown
output is what comes out: Python blocks in order in one namespace (doctest
blocks compared line by line), console blocks as shell scripts, the Quick
start's commands by CI. A block after `<!-- needs: dask -->` runs as a script
of its own, where the Dask tests run; the blocks after `<!-- needs: lake -->` run
in a directory of their own, where duckdb and polars are installed."""

import doctest
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"(?:<!-- needs: (\w+) -->\n)?```(\w+)\n(.*?)```", re.DOTALL)


def blocks():
    return [(m[2], m[3], m[1]) for m in BLOCK.finditer((ROOT / "README.md").read_text())]


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A fresh directory holding the shipped examples, as the README's commands expect."""
    d = tmp_path_factory.mktemp("readme")
    shutil.copytree(ROOT / "examples" / "data", d / "examples" / "data")
    return d


def shown_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{category.__name__}: {message}")


def test_quick_start_commands_are_what_ci_runs():
    lang, text, _ = blocks()[0]
    commands = [line.split("#")[0].strip() for line in text.splitlines() if line.strip()]
    assert lang == "sh" and commands == ["make demo", "make test"]
    ci = (ROOT / ".ci" / "run").read_text().splitlines()
    assert all(c in ci for c in commands)


def test_python_blocks(workdir, monkeypatch, capsys):
    monkeypatch.chdir(workdir)
    namespace: dict = {"__name__": "readme"}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    ran = 0
    for lang, text, needs in blocks():
        if lang != "python" or needs:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = shown_warning
            if ">>>" in text:
                test = doctest.DocTestParser().get_doctest(text, namespace, "README", None, 0)
                result = runner.run(test, clear_globs=False)
                namespace.update(test.globs)
                assert result.failed == 0, text
            else:
                exec(compile(text, "README.md", "exec"), namespace)  # noqa: S102
        ran += 1
    capsys.readouterr()
    assert ran >= 4
    # What the blocks say they make.
    assert (workdir / "selection.blf").exists()
    assert (workdir / "out" / "EngineData.parquet").exists()


def test_dask_block(workdir):
    for module in ("dask", "distributed"):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed")
    (text,) = [text for lang, text, needs in blocks() if needs == "dask"]
    script = workdir / "readme_dask.py"
    script.write_text(text)
    proc = subprocess.run([sys.executable, str(script)], cwd=workdir, capture_output=True,
                          text=True, timeout=600, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    top, frames = proc.stdout.strip().splitlines()[-1].split("] [")
    assert top == "[4250.0, 4250.0, 4250.0, 4250.0" and frames == "10320, 10320, 10320, 10320]"


def console_script(text):
    """The commands of a console block (continuation lines joined) and the output
    it shows (blank lines left out on both sides)."""
    commands, shown, lines = [], [], text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("$ "):
            command = line[2:]
            while command.endswith("\\"):
                i += 1
                command = command[:-1] + " " + lines[i].strip()
            commands.append(command)
        elif line.strip():
            shown.append(line)
        i += 1
    return "\n".join(commands), shown


@pytest.mark.parametrize("n", range(8))
def test_console_blocks(workdir, n):
    consoles = [text for lang, text, needs in blocks() if lang == "console" and not needs]
    assert len(consoles) == 8
    run_console(consoles[n], workdir)


def run_console(text, workdir):
    script, shown = console_script(text)
    env = {**os.environ, "TZ": "UTC", "MPLBACKEND": "Agg",
           "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    env.pop("DISPLAY", None)
    preload = env.pop("LD_PRELOAD", None)
    if preload:
        # Sanitizer runs: only korvel gets the sanitizer runtime; the shell's own
        # tools (dd) may trip its allocator checks.
        script = (f"korvel() {{ LD_PRELOAD='{preload}' command korvel \"$@\"; }}\n"
                  + script)
    proc = subprocess.run(["bash", "-c", script], cwd=workdir, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=600, check=False)
    got = [line for line in proc.stdout.splitlines() if line.strip()]
    assert got == shown


def test_lake_blocks(tmp_path, monkeypatch):
    for module in ("pyarrow", "duckdb", "polars"):
        pytest.importorskip(module)
    shutil.copytree(ROOT / "examples" / "data", tmp_path / "examples" / "data")
    monkeypatch.chdir(tmp_path)
    lake = [(lang, text) for lang, text, needs in blocks() if needs == "lake"]
    assert [lang for lang, _ in lake] == ["console", "python"]
    run_console(lake[0][1], tmp_path)
    test = doctest.DocTestParser().get_doctest(lake[1][1], {}, "README", None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    assert runner.run(test).failed == 0
