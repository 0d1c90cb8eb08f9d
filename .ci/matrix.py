"""The version matrix: the whole test suite (quick profile) on every CPython
from 3.9 up that pyenv has, with the newest NumPy each supports and, where
NumPy 1.26 supports the interpreter, on NumPy 1.26 as well.

The module is built once per interpreter, against NumPy 2.x headers, with
warnings as errors; the installed build then runs first against the newest
NumPy and then, unchanged, against NumPy 1.26 swapped into the same
environment. Each run prints the NumPy version and the digest of the ondulix
binary that its own process imported.

    python3 .ci/matrix.py [--python 3.11] [--jobs 2]

Prints each cell's log, then a summary table (also written to
build/ci/matrix-summary.md); exits non-zero if any cell failed.
"""
import argparse
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from cilib import (BUILD, LOGS, Log, StepFailed, banner, build_wheel, install_wheel,
                   make_venv, require_flags, run_pytest, show, table)

MINIMUM = (3, 9)
# NumPy 1.26 declares requires-python ">=3.9,<3.13".
NUMPY_1_26 = ((3, 9), (3, 13))


def pyenv_root():
    try:
        out = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True)
        return Path(out.stdout.strip())
    except (OSError, subprocess.CalledProcessError):
        import os
        return Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))


def discover_pythons():
    """Every CPython X.Y.Z >= 3.9 under $(pyenv root)/versions, oldest first,
    as (version string, interpreter path); also the names passed over, with
    the reason."""
    versions = pyenv_root() / "versions"
    found, passed_over = [], []
    for entry in sorted(versions.iterdir()) if versions.is_dir() else []:
        match = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", entry.name)
        if not match:
            passed_over.append(f"{entry.name} (not a plain X.Y.Z release name)")
            continue
        if tuple(map(int, match.groups()[:2])) < MINIMUM:
            passed_over.append(f"{entry.name} (older than 3.9)")
            continue
        python = entry / "bin" / "python3"
        probe = subprocess.run(
            [python, "-c", "import sys; print(sys.implementation.name, "
             "'.'.join(map(str, sys.version_info[:3])))"],
            capture_output=True, text=True) if python.exists() else None
        if probe is None or probe.returncode != 0 or probe.stdout.split() != ["cpython", entry.name]:
            passed_over.append(f"{entry.name} (its bin/python3 is not that CPython)")
            continue
        found.append((entry.name, python))
    found.sort(key=lambda item: tuple(map(int, item[0].split("."))))
    return found, passed_over


def minor(version):
    return tuple(map(int, version.split(".")[:2]))


def run_cell(version, python):
    """Build, install and test on one interpreter; returns the summary rows."""
    name = f"py{version}"
    log = Log(LOGS / f"matrix-{name}.log")
    build_log = Log(LOGS / f"matrix-{name}-build.log")
    home = BUILD / "matrix" / name
    rows = []
    headers = "-"
    numpy_1_26 = NUMPY_1_26[0] <= minor(version) < NUMPY_1_26[1]
    try:
        venv = make_venv(log, python, home / "venv")
        wheel, headers, build_text = build_wheel(
            log, venv, home / "wheel", build_log,
            defines=[("ONDULIX_WERROR", "ON")])
        require_flags(log, build_text, ["-Werror"])
        install_wheel(log, venv, wheel)

        newest = run_pytest(log, venv, "quick")
        rows.append((version, headers, f"{newest['numpy']} (newest)", newest))
        if numpy_1_26:
            log.run([venv, "-m", "pip", "install", "--only-binary=numpy", "numpy==1.26.*"])
            old = run_pytest(log, venv, "quick", expected_numpy="1.26.")
            if old["sha256"] != newest["sha256"]:
                old["code"] = old["code"] or 1
                log.write(f"a different ondulix binary ran on NumPy 1.26: "
                          f"{old['sha256']} != {newest['sha256']}")
            rows.append((version, headers, old["numpy"], old))
    except StepFailed as failure:
        log.write(f"FAILED: {failure}")
        rows.append((version, headers, "-", {"code": 1, "summary": str(failure), "seconds": 0}))
    if not numpy_1_26:
        rows.append((version, headers, "1.26", None))
    return log, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", default=[],
                        help="only these X.Y versions (repeatable)")
    parser.add_argument("--jobs", type=int, default=1, help="cells run at once")
    options = parser.parse_args()

    pythons, passed_over = discover_pythons()
    if options.python:
        pythons = [(v, p) for v, p in pythons if ".".join(v.split(".")[:2]) in options.python]
    banner("version matrix: " + ", ".join(v for v, _ in pythons))
    print(f"found under {pyenv_root() / 'versions'}; passed over: {', '.join(passed_over) or 'none'}")
    if not pythons:
        print("no CPython 3.9 or later found under $(pyenv root)/versions")
        return 1

    started = time.monotonic()
    results = {}
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = {pool.submit(run_cell, v, p): v for v, p in pythons}
        for future in futures:
            log, rows = future.result()
            results[futures[future]] = rows
            banner(f"matrix cell CPython {futures[future]}")
            show(log.path)

    header = ["CPython", "NumPy headers (build)", "NumPy (run)", "result", "tests", "time"]
    body, failed = [], 0
    for version, _ in pythons:
        for python, headers, numpy, run in results[version]:
            if run is None:
                body.append((python, headers, numpy, "n/a", "NumPy 1.26 does not support it", "-"))
                continue
            ok = run["code"] == 0
            failed += not ok
            body.append((python, headers, numpy, "passed" if ok else "FAILED",
                         run["summary"], f"{run['seconds']:.0f} s"))
    summary = table(header, body)
    (BUILD / "matrix-summary.md").write_text(summary + "\n")
    banner(f"version matrix summary ({time.monotonic() - started:.0f} s)")
    print(summary)
    print(f"matrix: {len(body) - failed - sum(r[3] == 'n/a' for r in body)} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
